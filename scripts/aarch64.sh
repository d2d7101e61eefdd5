#!/usr/bin/env bash
# Cross build for AArch64 and the unit tests under qemu-user, as root on a
# Debian 12 amd64 machine:
#   bash scripts/aarch64.sh [build|test] [BUILD_DIR]   (default build/aarch64)
# Installs the cross compiler, qemu-user-static and the arm64 development
# packages (multiarch), configures with cmake/aarch64-linux-gnu.cmake, builds
# everything (daemon, tools, tests) and runs the unit, concurrent and
# fuzz-corpus tests through qemu-aarch64. End-to-end tests need real daemons
# in mount namespaces and are left out. Last, cpack makes the arm64 .deb.
# "build" stops after the build, "test" tests what a build left in BUILD_DIR;
# without either, both.
# Exit status 77: the arm64 packages could not be installed (nothing tested).
set -euo pipefail
cd "$(dirname "$0")/.."
step=all
case "${1:-}" in build | test) step=$1; shift ;; esac
dir=${1:-build/aarch64}
jobs=$(nproc)

if [ "$step" != test ]; then
  bash scripts/setup.sh  # host tools (cmake, pkg-config) and the service user

  arch_packages=(libstdc++6:arm64 libcjson-dev:arm64 libmxml-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64)
  host_packages=(g++-aarch64-linux-gnu qemu-user-static)
  missing=()
  for p in "${host_packages[@]}" "${arch_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    added=no
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
      dpkg --add-architecture arm64; added=yes
    fi
    # A mirror without arm64 packages is the machine's limit, not a fault of
    # the code: say so and exit 77 (skipped), leaving the machine as it was.
    if ! { apt-get update -qq &&
           apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"; }; then
      echo "aarch64: SKIPPED: the package mirror did not provide: ${missing[*]}" >&2
      if [ "$added" = yes ]; then dpkg --remove-architecture arm64 && apt-get update -qq || true; fi
      exit 77
    fi
  fi

  launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  start=$SECONDS
  # The code under test optimised, the tests' own code not: it is most of
  # what this build compiles, and -O0 takes a fifth off the build.
  cmake -S . -B "$dir" -G Ninja "${launcher[@]}" \
        -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" \
        -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" "-DSPK_TEST_FLAGS=-O0;-g0" >/dev/null
  cmake --build "$dir" -j "$jobs"
  file "$dir/spindlekeepd" | grep -q "ARM aarch64" || { echo "spindlekeepd is not an AArch64 program"; exit 1; }
  echo "==== aarch64: build $((SECONDS - start)) s"
fi
[ "$step" = build ] && exit 0
start=$SECONDS
# A program under qemu-user runs foreign programs only where the kernel
# knows to start them through qemu (binfmt_misc, as systemd-binfmt sets up
# from qemu-user-static). Without it gtest's threadsafe death tests, which
# re-execute their own binary, cannot run: leave them out and say so.
exclude=()
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
  # The tests whose body sets that style, as Suite.Name.
  death=$(find tests -name '*_test.cpp' -exec awk '
            /^TEST(_F)?\(/ { gsub(/^TEST(_F)?\(|\).*$|[ ]/, ""); split($0, n, ","); name = n[1] "." n[2] }
            /death_test_style, "threadsafe"/ { print name }' {} +)
  if [ -n "$death" ]; then
    exclude=(-E "$(echo "$death" | paste -sd'|')")
    echo "no binfmt_misc entry for qemu-aarch64: skipping the re-executing death tests:" "$(echo "$death" | paste -sd" ")"
  fi
fi
# Emulation is several times slower than the host and some tests wait for
# answers within seconds: one test per core.
ctest --test-dir "$dir" -j "$jobs" --output-on-failure -L 'unit|concurrent|fuzz-replay' \
      "${exclude[@]}"
# The target's Debian package (scripts/package-test.sh checks the host's).
(cd "$dir" && cpack -G DEB >/dev/null)
echo "==== aarch64: tests and package $((SECONDS - start)) s, $(ls "$dir"/spindlekeep_*_arm64.deb)"
