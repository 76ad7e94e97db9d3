#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer and runs the test
# suite against that build. Usage: bash tools/sanitize.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
build="build-sanitize"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRIN_SANITIZE=ON \
  -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$build"
# The interpreter is neither instrumented nor C++, so the sanitizer runtime and the C++ runtime
# (whose throw the sanitizer intercepts) have to be loaded first. The leak
# checker is off because the interpreter keeps memory until exit by design.
asan="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
LD_PRELOAD="$asan" \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
PYTHONMALLOC=malloc PYTHONPATH="$PWD/$build" \
  "$python" -m pytest -q -p no:cacheprovider "$@"
