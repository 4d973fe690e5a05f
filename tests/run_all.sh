#!/usr/bin/env bash
# The whole test suite: a release build and an AddressSanitizer +
# UndefinedBehaviorSanitizer build, each with all tests, then the Windows
# build under Wine where the cross compiler and Wine are installed.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
failed=0

run_suite() {  # name, build folder, extra cmake arguments...
  local name=$1 dir=$2
  shift 2
  echo "=== $name: configure and build in $dir"
  if ! cmake -S . -B "$dir" -G Ninja "$@" >/dev/null ||
     ! cmake --build "$dir" -j "$jobs"; then
    echo "=== $name: build FAILED"
    failed=1
    return
  fi
  echo "=== $name: tests"
  if ! (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600); then
    echo "=== $name: tests FAILED"
    failed=1
  fi
}

run_suite release build -DCMAKE_BUILD_TYPE=Release
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite sanitizers build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEX_SANITIZE=ON

if [[ -f tests/windows/run.sh ]]; then
  echo "=== windows: cross build and Wine tests"
  bash tests/windows/run.sh "$PWD/build" || failed=1
fi

if [[ $failed -ne 0 ]]; then
  echo "=== some suites FAILED"
  exit 1
fi
echo "=== all suites passed"
