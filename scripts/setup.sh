#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need, and creates the
# service group and user. Idempotent; run as root.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libcjson-dev libmxml-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-dev lld
  util-linux procps python3 jq
  prometheus smartmontools
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

getent group spindlekeep_group >/dev/null || groupadd --system spindlekeep_group
if ! getent passwd spindlekeep_user >/dev/null; then
  useradd --system --gid spindlekeep_group --no-create-home \
          --home-dir /nonexistent --shell /usr/sbin/nologin spindlekeep_user
fi
