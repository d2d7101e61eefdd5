#!/usr/bin/env bash
# The whole test suite, from a fresh machine: set-up, then every test (unit,
# fuzz-corpus replay, end-to-end) in an ASan+UBSan build, then the concurrent
# modules' tests in a TSan build, then the Debian package test, then the
# AArch64 cross build with its unit tests under qemu-user. Needs root: from
# another user it re-runs itself through sudo.
set -euo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")/.."
if [ "$(id -u)" != 0 ]; then exec sudo -E bash "$self" "$@"; fi
jobs=$(nproc)

bash scripts/setup.sh

# run_suite DIR CMAKE_OPTION TARGETS CTEST_ARGS...  (TARGETS "all" or a list)
# Test builds use light optimisation and line tables only: they compile much
# faster than release builds and still give sanitizer reports with lines.
run_suite() {
  local dir=$1 opt=$2 targets=$3; shift 3
  echo "==== $dir ($opt), at ${SECONDS} s"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" "$opt" >/dev/null
  # shellcheck disable=SC2086
  cmake --build "$dir" -j "$jobs" --target $targets
  # Most tests wait on sockets and sleeps, so run more of them than cores.
  ctest --test-dir "$dir" -j $((jobs * 2)) --output-on-failure --timeout 600 "$@"
}

# Only the threaded modules' tests run under TSan, so only they are built there.
concurrent=$(grep -rl --include='*_test.cpp' '^// test-labels:.*concurrent' tests \
             | xargs -n1 basename | sed 's/\.cpp$//' | tr '\n' ' ')

ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite build/asan -DSPK_ASAN=ON all
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_suite build/tsan -DSPK_TSAN=ON "$concurrent" -L concurrent
# The Debian package: install, run, remove and purge in a throw-away overlay
# of this system, and lintian.
echo "==== Debian package, at ${SECONDS} s"
bash scripts/package-test.sh
# The daemon's target: the AArch64 cross build with its unit tests under
# qemu-user. Only a mirror without arm64 packages may skip it (status 77),
# and then the run says so at its end.
echo "==== AArch64, at ${SECONDS} s"
aarch64=passed
bash scripts/aarch64.sh build/aarch64 || { rc=$?; [ $rc = 77 ] || exit $rc; aarch64="SKIPPED (no arm64 packages on the mirror)"; }
echo "==== all suites passed in ${SECONDS} s; AArch64: $aarch64"
