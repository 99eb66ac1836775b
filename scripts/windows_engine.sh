#!/usr/bin/env bash
# The engine and its test program for Windows, built here with Debian's
# mingw-w64 and run under wine: configures a fresh build folder, builds it
# and runs CTest, which starts the test program through wine.
#   scripts/windows_engine.sh [build folder]   (from the repository's root; build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath -m "${1:-build-windows}")
for tool in x86_64-w64-mingw32-g++-posix wine; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 2; }
done
rm -rf "$build"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
# A unity build: a few large translation units cross-compile in a fraction
# of the time.
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DVELK_ENGINE_ONLY=ON -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=16
cmake --build "$build" -j2
# wine makes its prefix at the first start: one of the build's own, so that
# nothing outside the build folder is touched, and quiet.
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
cd "$build"
ctest --output-on-failure --verbose
