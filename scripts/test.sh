#!/usr/bin/env bash
# Sets up a fresh machine, builds everything and runs every test: the normal build, then the
# AddressSanitizer+UBSan and ThreadSanitizer builds of the in-process suites.
# TONVIA_SANITIZERS=0 skips the two sanitizer builds.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

scripts/build.sh build
(cd build && ctest --output-on-failure --timeout 600)

if [ "${TONVIA_SANITIZERS:-1}" != "0" ]; then
  export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"

  scripts/build.sh build-asan -DTONVIA_SANITIZER=address -DTONVIA_BUILD_PLUGIN=OFF -DTONVIA_BUILD_BENCHMARKS=OFF -- tonvia_tests
  (cd build-asan && ctest --output-on-failure --timeout 900)

  scripts/build.sh build-tsan -DTONVIA_SANITIZER=thread -DTONVIA_BUILD_PLUGIN=OFF -DTONVIA_BUILD_BENCHMARKS=OFF -- tonvia_tests
  (cd build-tsan && ctest --output-on-failure --timeout 900)
fi
