#!/usr/bin/env bash
# Installs each wheel scripts/build_wheels.sh made into a fresh venv of its
# own CPython, on a PATH that reaches no C or C++ compiler, and tests the
# installed wheel there: the README's first command on the example, then
# the whole suite, run from outside the source tree so that the package
# imported is the wheel's.
#   scripts/test_wheels.sh              # every wheel in dist/
#   scripts/test_wheels.sh FOLDER       # every wheel in FOLDER
#   scripts/test_wheels.sh A.whl B.whl  # these wheels
# The test extras come from PyPI. The ARM GNU toolchain stays reachable: it
# is a cross-compiler for the test firmware, and builds nothing for this
# machine. Tests that build the module or the engine again skip.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
wheels=()
if [ $# -eq 0 ] || { [ $# -eq 1 ] && [ -d "$1" ]; }; then
    for wheel in "${1:-dist}"/*.whl; do [ -f "$wheel" ] && wheels+=("$(realpath "$wheel")"); done
else
    for wheel in "$@"; do wheels+=("$(realpath "$wheel")"); done
fi
[ ${#wheels[@]} -gt 0 ] || { echo "test_wheels.sh: no wheels found" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The tools the tests run, and nothing that compiles for this machine.
tools=$work/tools
mkdir -p "$tools"
for name in sh bash env cat cp mv rm ls ln mkdir rmdir chmod touch true false sleep kill \
            timeout dirname basename tr sed awk grep head tail sort uniq wc cmp diff date \
            mktemp readlink realpath uname id setpriv git make \
            qemu-system-arm srec_cat srec_cmp srec_info openssl objcopy objdump readelf \
            dfu-suffix dfu-util \
            arm-none-eabi-gcc arm-none-eabi-objcopy arm-none-eabi-objdump \
            arm-none-eabi-readelf arm-none-eabi-nm arm-none-eabi-size; do
    path=$(command -v "$name") && ln -s "$path" "$tools/$name"
done
for compiler in cc c++ gcc g++ clang clang++ zig x86_64-w64-mingw32-g++-posix; do
    if PATH=$tools command -v "$compiler" >/dev/null; then
        echo "test_wheels.sh: $compiler is reachable on the test PATH" >&2
        exit 1
    fi
done

# The interpreter a wheel was built for, from its tag (cp312 -> 3.12).
python_for() {
    local tag version dir
    tag=$(basename "$1" | grep -o -- '-cp3[0-9]*-' | head -1 | tr -d -- '-')
    version=3.${tag#cp3}
    for dir in "$(pyenv root 2>/dev/null || echo ~/.pyenv)"/versions/"$version".*; do
        [ -x "$dir/bin/python$version" ] && { echo "$dir/bin/python$version"; return 0; }
    done
    command -v "python$version"
}

status=0
summary=()
for wheel in "${wheels[@]}"; do
    name=$(basename "$wheel")
    python=$(python_for "$wheel") || { summary+=("$name: no interpreter for it"); status=1; continue; }
    echo "== $name with $python"
    venv=$work/venv-$(basename "$(dirname "$(dirname "$python")")")
    rm -rf "$venv"
    "$python" -m venv "$venv"
    # Only the venv's own commands and the tools above.
    path=$venv/bin:$tools
    if ! PATH=$path "$venv/bin/python" -m pip install -q "$wheel[test]" > "$work/install.log" 2>&1; then
        tail -20 "$work/install.log"
        summary+=("$name: install failed")
        status=1
        continue
    fi
    run=$work/run
    rm -rf "$run" && mkdir -p "$run/example"
    cp "$root/examples/blinky.elf" "$run/example/"
    # The package and both modules are the installed wheel's.
    where=$(cd "$run" && PATH=$path "$venv/bin/python" -c \
        'import velk_crc, velk_crc._core, VELK_CRC; print(velk_crc._core.__file__, VELK_CRC.__file__)')
    case "$where" in
        "$venv"/*" $venv"/*) ;;
        *) summary+=("$name: not imported from the wheel ($where)"); status=1; continue ;;
    esac
    if ! (cd "$run/example" && PATH=$path velk-crc FLASH blinky.elf --ncrc_value) ||
       [ ! -s "$run/example/blinky_CRC.hex" ]; then
        summary+=("$name: velk-crc FLASH blinky.elf --ncrc_value failed")
        status=1
        continue
    fi
    # pytest's rootdir is the source tree (its configuration), but nothing of
    # it is importable but the tests: python/ is not on the path.
    (cd "$run" && PATH=$path "$venv/bin/python" -m pytest -q -p no:cacheprovider \
        "$root/tests") > "$work/pytest.log" 2>&1
    result=$?
    tail -15 "$work/pytest.log"
    cp "$work/pytest.log" "$(dirname "$wheel")/test-${name%.whl}.log" 2>/dev/null
    summary+=("$name: FLASH blinky.elf ok; $(grep -E '(passed|failed|error)' "$work/pytest.log" | tail -1)")
    [ $result -eq 0 ] || status=1
done
echo
printf '%s\n' "${summary[@]}"
exit $status
