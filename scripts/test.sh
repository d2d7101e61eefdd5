#!/usr/bin/env bash
# The whole test suite, from a fresh machine: set-up, then every test (unit,
# fuzz-corpus replay, end-to-end) in an ASan+UBSan build, then the concurrent
# modules' tests in a TSan build, then the AArch64 cross build with its unit
# tests under qemu-user, then the Debian package test. Needs root: from
# another user it re-runs itself through sudo.
#
# The ASan tests mostly wait on sockets and timers, so the other three builds
# run beside them in a background lane at the lowest CPU priority (the tests'
# daemons keep their timing); each later stage waits for its build, prints
# the build's log and runs its tests. Logs: build/logs/.
set -euo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")/.."
if [ "$(id -u)" != 0 ]; then exec sudo -E bash "$self" "$@"; fi
jobs=$(nproc)
logs=build/logs

# build_suite DIR CMAKE_OPTION TARGETS (TARGETS "all" or a list): a sanitizer
# build with clang at -O0, which compiles in less than half the time gcc at
# -O1 takes; the tests wait rather than compute. gcc's warnings hold in the
# package and AArch64 builds. Line tables only: sanitizer reports still name
# lines. lld links the many test programs in half the time of ld.bfd.
build_suite() {
  local dir=$1 opt=$2 targets=$3
  cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O0 -g1" \
        -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld "$opt" >/dev/null
  # shellcheck disable=SC2086
  cmake --build "$dir" -j "$jobs" --target $targets
}

# Only the threaded modules' tests run under TSan, so only they are built there.
concurrent_tests() {
  grep -rl --include='*_test.cpp' '^// test-labels:.*concurrent' tests | xargs -n1 basename |
    sed 's/\.cpp$//' | tr '\n' ' '
}

# run_step NAME COMMAND...: the command's output in $logs/NAME.log, its exit
# status in $logs/NAME.status once it has ended.
run_step() {
  local name=$1 rc=0; shift
  "$@" >"$logs/$name.log" 2>&1 || rc=$?
  echo "$rc" >"$logs/$name.status"
}

if [ "${1:-}" = --background-lane ]; then
  # setsid gave the lane a scheduler autogroup of its own, which shares the
  # CPU equally with the tests' whatever its processes' nice value: lower
  # the group itself.
  echo 19 >/proc/self/autogroup 2>/dev/null || true
  run_step tsan-build build_suite build/tsan -DSPK_TSAN=ON "$(concurrent_tests)"
  # The AArch64 tests run beside the package build, which fills the time
  # they spend waiting.
  run_step aarch64-build bash scripts/aarch64.sh build build/aarch64
  run_step package-build bash scripts/package-test.sh build
  exit 0
fi

# wait_step NAME: waits for a background step, prints its log, returns its status.
wait_step() {
  echo "==== $1 (background), waited for at ${SECONDS} s"
  until [ -e "$logs/$1.status" ]; do
    kill -0 "$lane" 2>/dev/null || { echo "the background lane died before $1 ended"; return 1; }
    sleep 1
  done
  cat "$logs/$1.log"
  return "$(cat "$logs/$1.status")"
}

bash scripts/setup.sh
mkdir -p "$logs"
rm -f "$logs"/*.status
setsid nice -n 19 bash "$self" --background-lane &
lane=$!
trap 'kill -- -$lane 2>/dev/null || true' EXIT

echo "==== build/asan (-DSPK_ASAN=ON, clang), at ${SECONDS} s"
build_suite build/asan -DSPK_ASAN=ON all
# Most tests wait on sockets and sleeps, so run more of them than cores.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan -j $((jobs * 3)) --output-on-failure --timeout 600

wait_step tsan-build
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan -j $((jobs * 2)) --output-on-failure --timeout 600 -L concurrent

# The daemon's target: the AArch64 cross build with its unit tests under
# qemu-user. Only a mirror without arm64 packages may skip it (status 77),
# and then the run says so at its end.
aarch64=passed
rc=0
wait_step aarch64-build || rc=$?
if [ $rc = 77 ]; then
  aarch64="SKIPPED (no arm64 packages on the mirror)"
elif [ $rc != 0 ]; then
  exit $rc
else
  echo "==== AArch64 tests, at ${SECONDS} s"
  bash scripts/aarch64.sh test build/aarch64
fi

# The Debian package: install, run, remove and purge in a throw-away overlay
# of this system; lintian ran after the build.
wait_step package-build
echo "==== Debian package checks, at ${SECONDS} s"
bash scripts/package-test.sh check
echo "==== all suites passed in ${SECONDS} s; AArch64: $aarch64"
