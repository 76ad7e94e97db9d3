#!/usr/bin/env bash
# The thread tests under ThreadSanitizer: the module built with it, on a free-threaded CPython
# 3.13 built with it (made once in the interpreter root, see tools/interpreters.sh; about a
# quarter of an hour on two cores the first time). A report of a data race fails the run.
#
#   bash tools/tsan.sh [pytest arguments]   (default: tests/test_threads.py tests/test_borrow.py)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
python=$(bash tools/interpreters.sh tsan | tail -n 1)
[ $# -gt 0 ] || set -- tests/test_threads.py tests/test_borrow.py
bash tools/interpreters.sh run --bind "$repo" -- /bin/bash -c '
  set -euo pipefail
  python=$1 repo=$2
  shift 2
  venv=/tmp/kestrin-tsan-venv
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  # The test tools pinned as the wheels are tested with.
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --require-hashes -r "$repo/tools/requirements/test.lock"
  cd "$repo"
  cmake -S . -B build-tsan-313t -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread \
    -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
  ninja -C build-tsan-313t >/dev/null
  # pytest captures standard error, and a halting report would be lost with it: reports go to
  # files instead, and any file fails the run.
  rm -f /tmp/kestrin-tsan.*
  status=0
  TSAN_OPTIONS="halt_on_error=1 log_path=/tmp/kestrin-tsan" PYTHONPATH=build-tsan-313t \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
  if ls /tmp/kestrin-tsan.* >/dev/null 2>&1; then cat /tmp/kestrin-tsan.*; exit 1; fi
  exit $status
' tsan "$python" "$repo" "$@"
