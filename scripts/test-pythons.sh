#!/usr/bin/env bash
# Builds the module warning-free (-Werror) and runs the whole test suite on
# each supported CPython, each in a fresh virtual environment:
#   scripts/test-pythons.sh            # 3.11 3.12 3.13
#   scripts/test-pythons.sh 3.12       # one version
# Interpreters come from PATH (python3.X) or from pyenv.
set -uo pipefail
cd "$(dirname "$0")/.."
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.11 3.12 3.13)

find_python() {
    local v=$1 dir
    if command -v pyenv >/dev/null; then
        for dir in "$(pyenv root)"/versions/"$v".*; do
            [ -x "$dir/bin/python$v" ] && { echo "$dir/bin/python$v"; return 0; }
        done
    fi
    command -v "python$v" 2>/dev/null && "python$v" -c pass 2>/dev/null
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
summary=()
for v in "${versions[@]}"; do
    python=$(find_python "$v") || { summary+=("$v: no interpreter found"); status=1; continue; }
    venv="$work/venv-$v"
    "$python" -m venv "$venv"
    echo "== CPython $v ($("$venv/bin/python" -V 2>&1)) in $venv"
    if ! PATH="$venv/bin:$PATH" "$venv/bin/pip" install -q \
            --config-settings=cmake.define.CMAKE_CXX_FLAGS=-Werror '.[test]' \
            > "$work/install-$v.log" 2>&1; then
        tail -30 "$work/install-$v.log"
        summary+=("$v: build failed")
        status=1
        continue
    fi
    start=$(date +%s)
    PATH="$venv/bin:$PATH" "$venv/bin/python" -m pytest -q -p no:cacheprovider 2>&1 |
        tee "$work/test-$v.log" | tail -5
    result=${PIPESTATUS[0]}
    line=$(grep -E "passed|failed|error" "$work/test-$v.log" | tail -1)
    summary+=("$v: $line ($(( $(date +%s) - start )) s)")
    [ "$result" -eq 0 ] || status=1
done
echo
printf '%s\n' "${summary[@]}"
exit $status
