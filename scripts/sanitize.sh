#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the whole test suite against that build. Reports that touch our
# code fail the run; the interpreter's own leaks at exit are not ours.
#   scripts/sanitize.sh [pytest args]
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-asan
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELK_CRC_SANITIZE=ON -DPython_EXECUTABLE="$(command -v python3)" \
  -DSKBUILD_PROJECT_VERSION="$(python3 -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')" \
  > /dev/null
cmake --build "$build"

logs=$(mktemp -d)
# The interpreter is not built with the sanitizers: load their runtimes first.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=1:log_path=$logs/asan:abort_on_error=0:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0:exitcode=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=0:log_path=$logs/ubsan"
status=0
PYTHONPATH="$PWD/$build" python -m pytest -q -p no:cacheprovider "$@" || status=$?
unset LD_PRELOAD
python scripts/sanitizer_reports.py "$logs" || status=1
echo "sanitizer logs: $logs"
exit $status
