#!/usr/bin/env bash
# Runs one core fuzzer for a while, building it first when needed.
#   fuzz/cores/run.sh <hex_reader|srec_reader|symbol_scan|elf_reader|layout|uf2|records> <seconds> [libFuzzer options]
# Corpus: fuzz/cores/corpus-<name>/ (seeded from the test firmware on each
# run); findings: fuzz/cores/findings-<name>/crash-* etc. Replay one with
#   fuzz/cores/build/fuzz_<name> <file>
# (FUZZ_TRACE=1 makes fuzz_layout print the decoded headers and request).
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
name="${1:?usage: run.sh <hex_reader|srec_reader|symbol_scan|elf_reader|layout|uf2|records> <seconds> [options]}"
seconds="${2:?usage: run.sh <name> <seconds> [options]}"
shift 2

binary="$HERE/build/fuzz_$name"
newest_source=$(find "$HERE" "$HERE/../../src/engine" \( -name '*.cpp' -o -name '*.h' \) \
    -newer "$binary" 2>/dev/null | head -n 1 || true)
if [ ! -x "$binary" ] || [ -n "$newest_source" ]; then
    "$HERE/build.sh" "$name"
fi

corpus="$HERE/corpus-$name"
findings="$HERE/findings-$name"
mkdir -p "$corpus" "$findings"
python3 "$HERE/seeds.py" "$name" "$corpus"

# Readers take whole files: room for a small firmware's HEX text.
max_len=4096
case "$name" in
    hex_reader|srec_reader) max_len=20000 ;;
    symbol_scan) max_len=12000 ;;
    # room for the test firmware, the largest seeds
    elf_reader) max_len=12000 ;;
    layout) max_len=1024 ;;
    # 16 blocks and the bytes that say what they are
    uf2) max_len=8200 ;;
esac

# Exact boundaries (a 64 KiB gap, an entry size) are found by comparison
# values rather than by coverage alone.
extra=()
case "$name" in
    layout|symbol_scan|elf_reader|uf2) extra=(-use_value_profile=1) ;;
esac

exec "$binary" "$corpus" -max_total_time="$seconds" -max_len="$max_len" \
    -artifact_prefix="$findings/" -print_final_stats=1 "${extra[@]}" "$@"
