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

# Each harness and the core sources it needs (none includes Python.h).
sources_of() {
    case "$1" in
        hex_reader) echo "$SRC/engine/hexfile/hex_reader.cpp $SRC/engine/hexfile/intel_hex.cpp $SRC/engine/layout/file_data.cpp $SRC/engine/layout/file_kind.cpp $SRC/engine/uf2/uf2.cpp $SRC/engine/uf2/families.cpp $SRC/engine/layout/memory_map.cpp $SRC/engine/layout/flash_layout.cpp" ;;
        srec_reader) echo "$SRC/engine/srecord/srec_reader.cpp $SRC/engine/srecord/srec_writer.cpp $SRC/engine/layout/file_data.cpp $SRC/engine/layout/file_kind.cpp $SRC/engine/uf2/uf2.cpp $SRC/engine/uf2/families.cpp $SRC/engine/layout/memory_map.cpp $SRC/engine/layout/flash_layout.cpp" ;;
        symbol_scan) echo "$SRC/engine/elfsyms/symbol_scan.cpp" ;;
        elf_reader) echo "$SRC/engine/elf/elf_reader.cpp" ;;
        uf2) echo "$SRC/engine/uf2/uf2.cpp $SRC/engine/uf2/families.cpp $SRC/engine/layout/file_data.cpp $SRC/engine/layout/memory_map.cpp" ;;
        layout) echo "$SRC/engine/layout/flash_layout.cpp $SRC/engine/layout/memory_map.cpp $SRC/engine/layout/file_data.cpp $SRC/engine/layout/file_kind.cpp $SRC/engine/uf2/uf2.cpp $SRC/engine/uf2/families.cpp $SRC/engine/hexfile/hex_reader.cpp $SRC/engine/hexfile/intel_hex.cpp $SRC/engine/srecord/srec_reader.cpp $SRC/engine/srecord/srec_writer.cpp" ;;
        *) echo "unknown harness: $1 (hex_reader, srec_reader, symbol_scan, elf_reader, layout, uf2)" >&2; return 1 ;;
    esac
}

NAMES=(hex_reader srec_reader symbol_scan elf_reader layout uf2)
[ $# -gt 0 ] && NAMES=("$@")

command -v "$CXX" >/dev/null || { echo "$CXX not found: apt-get install -y clang libclang-rt-14-dev" >&2; exit 1; }
mkdir -p "$OUT"
for name in "${NAMES[@]}"; do
    srcs=$(sources_of "$name")
    if grep -l 'Python.h' $srcs >/dev/null 2>&1; then
        echo "a core source of $name includes Python.h" >&2; exit 1
    fi
    echo "building fuzz_$name"
    # shellcheck disable=SC2086
    "$CXX" "${FLAGS[@]}" "$HERE/fuzz_$name.cpp" $srcs -o "$OUT/fuzz_$name"
done
