#!/usr/bin/env bash
# Builds the libFuzzer harnesses of the pure C++ cores into fuzz/cores/build/.
#   fuzz/cores/build.sh            every harness
#   fuzz/cores/build.sh layout     one (fuzz_layout)
# Needs clang with libFuzzer (Debian: apt-get install clang libclang-rt-14-dev).
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
SRC="$(cd "$HERE/../../src" && pwd)"
OUT="$HERE/build"
CXX="${CXX:-clang++}"
FLAGS=(-std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=undefined -fno-omit-frame-pointer -Wall -Wextra)

# The engine (no source of it includes Python.h), built once with the
# harnesses' sanitizers into an archive each harness links.
ENGINE_FLAGS=(-std=c++17 -g -O1 -fsanitize=fuzzer-no-link,address,undefined
              -fno-sanitize-recover=undefined -fno-omit-frame-pointer -Wall -Wextra)
build_engine() {
    local objs=() src obj
    mkdir -p "$OUT/engine"
    # A changed header may change any object: build them all again.
    if [ -e "$OUT/libengine.a" ] && [ -n "$(find "$SRC/engine" -name '*.h' -newer "$OUT/libengine.a" | head -n 1)" ]; then
        rm -f "$OUT"/engine/*.o
    fi
    while IFS= read -r src; do
        if grep -q 'Python.h' "$src"; then
            echo "an engine source includes Python.h: $src" >&2; exit 1
        fi
        obj="$OUT/engine/$(echo "${src#"$SRC"/engine/}" | tr / _).o"
        if [ ! -e "$obj" ] || [ "$src" -nt "$obj" ]; then
            "$CXX" "${ENGINE_FLAGS[@]}" -c "$src" -o "$obj"
        fi
        objs+=("$obj")
    done < <(find "$SRC/engine" -name '*.cpp' | sort)
    rm -f "$OUT/libengine.a"
    ar rcs "$OUT/libengine.a" "${objs[@]}"
}

NAMES=(hex_reader srec_reader symbol_scan elf_reader layout uf2 records)
[ $# -gt 0 ] && NAMES=("$@")

command -v "$CXX" >/dev/null || { echo "$CXX not found: apt-get install -y clang libclang-rt-14-dev" >&2; exit 1; }
mkdir -p "$OUT"
echo "building the engine"
build_engine
for name in "${NAMES[@]}"; do
    [ -e "$HERE/fuzz_$name.cpp" ] || { echo "unknown harness: $name (${NAMES[*]})" >&2; exit 1; }
    echo "building fuzz_$name"
    "$CXX" "${FLAGS[@]}" "$HERE/fuzz_$name.cpp" "$OUT/libengine.a" -lpthread -o "$OUT/fuzz_$name"
done
