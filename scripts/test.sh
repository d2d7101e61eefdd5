#!/usr/bin/env bash
# The whole test suite, from a fresh machine: set-up, the normal build with
# every test, the ASan+UBSan build with every test but the end-to-end ones,
# and the TSan build with the concurrent modules' tests. Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/setup.sh

# run_suite DIR CMAKE_OPTION TARGETS CTEST_ARGS...  (TARGETS "all" or a list)
run_suite() {
  local dir=$1 opt=$2 targets=$3; shift 3
  echo "==== $dir ($opt)"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$opt" >/dev/null
  # shellcheck disable=SC2086
  cmake --build "$dir" -j "$jobs" --target $targets
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300 "$@"
}

# Only the threaded modules' tests run under TSan, so only they are built there.
concurrent=$(grep -rl --include='*_test.cpp' '^// test-labels:.*concurrent' tests \
             | xargs -n1 basename | sed 's/\.cpp$//' | tr '\n' ' ')

run_suite build/release -DSPK_TESTS=ON all
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite build/asan -DSPK_ASAN=ON all -LE e2e
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_suite build/tsan -DSPK_TSAN=ON "$concurrent" -L concurrent
echo "==== all suites passed"
