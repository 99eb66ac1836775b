#!/usr/bin/env bash
# Compiles and links the engine and its test program for macOS with zig's
# clang (PyPI's ziglang), warning-free: the macOS build's proof on a machine
# that cannot run it.
#   scripts/macos_engine.sh                         # aarch64-macos and x86_64-macos
#   scripts/macos_engine.sh x86_64-macos            # one target
#   PYTHON=/path/to/python scripts/macos_engine.sh  # the interpreter that has ziglang
#   OPTIMISE=-O0 scripts/macos_engine.sh            # quicker, for a link check alone
# The sources are the ones CMakeLists.txt gives the engine and its test
# program, so a file added there is built here too. Objects and programs go
# to build-macos/<target>/; zig's cache makes a second run take a second.
set -euo pipefail
cd "$(dirname "$0")/.."
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(aarch64-macos x86_64-macos)
python=${PYTHON:-python3}
zig=$("$python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
# zig's cache stays in the build folder, not the user's home.
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$PWD/build-macos/zig-cache}
export ZIG_LOCAL_CACHE_DIR=$ZIG_GLOBAL_CACHE_DIR
jobs=${JOBS:-$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)}

# The source files named in one CMake command, up to its closing
# parenthesis (a generator expression that picks a platform's file counts
# each name in it).
sources_of() {
    awk -v start="$1" '
        !inside && (at = index($0, start)) { inside = 1; $0 = substr($0, at + length(start)) }
        inside {
            line = $0
            while (match(line, /[A-Za-z0-9_.\/-]+\.cpp/)) {
                print substr(line, RSTART, RLENGTH)
                line = substr(line, RSTART + RLENGTH)
            }
            if ($0 ~ /^[^$#]*\)/) inside = 0
        }' CMakeLists.txt
}
# macOS takes the POSIX file of the platform folder, not Windows' ones.
engine=$(sources_of "add_library(velk_engine STATIC" |
         grep -v '/platform/windows' ; echo src/engine/platform/posix.cpp)
tests=$(sources_of "add_executable(velk_engine_test")
if [ "$(echo $engine | wc -w)" -lt 2 ] || [ -z "$tests" ]; then
    echo "macos_engine.sh: no engine or test sources found in CMakeLists.txt" >&2
    exit 1
fi

flags=(-std=c++17 "${OPTIMISE:--O2}" -Wall -Wextra -Wpedantic -Werror -fvisibility=hidden
       -fvisibility-inlines-hidden -DVELK_CRC_VERSION="\"macos link check\"")
for target in "${targets[@]}"; do
    out=build-macos/$target
    mkdir -p "$out"
    # One object per source, named after its path so equal names do not meet.
    printf '%s\n' $engine $tests |
        xargs -P "$jobs" -I{} sh -c 'source=$1 out=$2; shift 2
            exec "$@" -c "$source" -o "$out/$(echo "$source" | tr / _).o"' \
            sh {} "$out" "$zig" c++ -target "$target" "${flags[@]}"
    objects_of() { for source in "$@"; do echo "$out/$(echo "$source" | tr / _).o"; done; }
    rm -f "$out/libvelk_engine.a"
    "$zig" ar rcs "$out/libvelk_engine.a" $(objects_of $engine)
    "$zig" c++ -target "$target" -o "$out/velk_engine_test" $(objects_of $tests) \
        "$out/libvelk_engine.a" -lpthread
    echo "$target: $(echo $engine | wc -w) engine files and $(echo $tests | wc -w) test files linked into $out/velk_engine_test"
done
