#!/usr/bin/env bash
# The Debian package, end to end, as root on a Debian 12 machine:
#   bash scripts/package-test.sh [build|check] [BUILD_DIR]   (default build/package)
# Builds a release tree with Debian's hardening flags, makes the .deb with
# cpack, checks it with lintian (no errors allowed), then installs, starts,
# upgrades, removes and purges it inside a throw-away copy of this system: a
# private mount namespace with an overlay over / and a chroot into it, so the
# machine's /opt, /etc, accounts and dpkg database are never touched. systemd
# does not run there; the daemon is started the way the unit starts it.
# "build" stops after lintian; "check" takes the .deb a build left in
# BUILD_DIR; without either, both.
set -euo pipefail

# ---- outside: build, lint, then enter the copy of the system
if [ -z "${SPK_PKG_PHASE:-}" ]; then
  cd "$(dirname "$0")/.."
  step=all
  case "${1:-}" in build | check) step=$1; shift ;; esac
  dir=${1:-build/package}
  bash scripts/setup.sh
  missing=()
  for p in lintian logrotate bash-completion man-db dpkg-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      -o DPkg::Lock::Timeout=600 "${missing[@]}"
  fi
  if [ "$step" != check ]; then
    # Debian's flags alone, as debhelper builds (build type None), less -g:
    # cpack strips the programs, so debug information would be a sixth of
    # the build's time spent on output thrown away.
    flags() { echo "$(dpkg-buildflags --get "$1" | sed -E 's/(^| )-g( |$)/\1/') $(dpkg-buildflags --get CPPFLAGS)"; }
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=None -DSPK_TESTS=OFF \
          -DCMAKE_C_FLAGS="$(flags CFLAGS)" -DCMAKE_CXX_FLAGS="$(flags CXXFLAGS)" \
          -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS) -Wl,-z,now" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
    rm -f "$dir"/spindlekeep_*.deb
    (cd "$dir" && cpack -G DEB >/dev/null)
    echo "==== lintian $(ls "$dir"/spindlekeep_*.deb)"
    lintian --fail-on error --tag-display-limit 0 "$dir"/spindlekeep_*.deb
    echo "lintian: no errors"
  fi
  [ "$step" = build ] && exit 0
  deb=$(ls "$dir"/spindlekeep_*.deb)
  if ! unshare --mount true 2>/dev/null; then
    echo "SKIP: installing the package needs a private mount namespace (unshare -m)"
    exit 77
  fi
  export SPK_PKG_PHASE=namespace
  exec unshare --mount --propagation private bash "$0" "$(realpath "$deb")"
fi

# ---- in the namespace: an overlay over the root file system, and a chroot
if [ "$SPK_PKG_PHASE" = namespace ]; then
  deb=$1
  mount -t tmpfs tmpfs /mnt
  mkdir -p /mnt/upper /mnt/work /mnt/root
  mount -t overlay overlay -o lowerdir=/,upperdir=/mnt/upper,workdir=/mnt/work /mnt/root
  for d in proc sys dev; do
    mount --rbind "/$d" "/mnt/root/$d"
  done
  for d in run tmp; do
    mount -t tmpfs -o mode=1777 tmpfs "/mnt/root/$d"
  done
  cp "$deb" /mnt/root/tmp/spindlekeep.deb
  cp "$0" /mnt/root/tmp/package-test.sh
  exec chroot /mnt/root env SPK_PKG_PHASE=checks bash /tmp/package-test.sh /tmp/spindlekeep.deb
fi

# ---- in the chroot: the checks
deb=$1
P=/opt/spindlekeep
UNIT=spindlekeep.service
FAILS=0
fail() { echo "FAIL: $*"; FAILS=$((FAILS + 1)); }
pass() { echo "ok: $*"; }
check() { local what=$1; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }
wait_for() {  # SECONDS COMMAND...
  local end=$((SECONDS + $1)); shift
  until "$@"; do [ $SECONDS -lt $end ] || return 1; sleep 0.2; done
}
owner() { stat -c '%U:%G %a' "$1" 2>/dev/null; }
gone() { [ ! -e "$1" ] && [ ! -L "$1" ]; }
# Where a package or its daemon could leave something behind.
traces() { find /opt /etc /lib/systemd /usr/share /var/log /var/lib/dpkg/info /var/lib/systemd \
                -name '*spindlekeep*' 2>/dev/null; }

# A clean slate inside the copy: the package must make its account itself.
rm -rf "$P" /var/log/spindlekeep /var/log/spindlekeep_super
userdel spindlekeep_user 2>/dev/null || true
groupdel spindlekeep_group 2>/dev/null || true

echo "==== dpkg -i"
check "dpkg -i succeeds" dpkg -i "$deb"
check "the package account exists" getent passwd spindlekeep_user
check "config belongs to the service user" [ "$(owner $P/config)" = "spindlekeep_user:spindlekeep_group 750" ]
check "userconfig_bak belongs to the service user" \
      [ "$(owner $P/userconfig_bak)" = "spindlekeep_user:spindlekeep_group 750" ]
check "the log directory exists" [ "$(owner /var/log/spindlekeep)" = "spindlekeep_user:spindlekeep_group 750" ]
check "the unit starts the installed daemon" grep -qx "ExecStart=$P/bin/spindlekeepd" "/lib/systemd/system/$UNIT"
check "the unit keeps the host's /tmp" grep -qx "PrivateTmp=no" "/lib/systemd/system/$UNIT"
check "the unit is valid" systemd-analyze verify "/lib/systemd/system/$UNIT"
check "the unit is enabled" [ -L "/etc/systemd/system/multi-user.target.wants/$UNIT" ]
for page in spindlekeepd spindlekeep-cli spindlekeep-diag spindlekeep-agent spindlekeep-replay; do
  check "man page $page renders cleanly" \
        [ -z "$(MANWIDTH=80 man --warnings "$page" 2>&1 >/dev/null)" ]
done
check "the logrotate rules parse" logrotate -d /etc/logrotate.d/spindlekeep

# Completion, as bash-completion would run it for the words typed so far.
complete_words() {  # WORD... (the last one is being completed)
  bash -c 'source /usr/share/bash-completion/bash_completion
           source /usr/share/bash-completion/completions/spindlekeep-cli
           compopt() { :; }  # only bash itself may call it during a completion
           COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
           _spindlekeep_cli; echo "${COMPREPLY[*]}"' _ spindlekeep-cli "$@"
}
check "completion: actions" [ "$(complete_words "")" = "show change help" ]
check "completion: commands that change" \
      [ "$(complete_words change "")" = "config slowdisk_detect_config slowdisk_outlier_config dpr_smart disklife_prediction" ]
check "completion: query commands" [ "$(complete_words show d)" = "disk_info drm_info dpr_smart disklife_prediction" ]
check "completion: parameters not given yet" \
      [ "$(complete_words change dpr_smart disk_type=1 "")" = "task_cycle=" ]
check "completion: switch values" [ "$(complete_words change config feature_switch=)" = "on off" ]
check "completion: after --socket" [ "$(complete_words --socket /x s)" = "show" ]

echo "==== the service, started as its unit starts it"
# Agent stand-ins on the agents' fixed sockets, run by root: the service
# user reaches them through the group, as with the real agents.
"$P/bin/spindlekeep-agent" --role kernel >/tmp/agent.out 2>&1 &
apids=$!
"$P/bin/spindlekeep-agent" --role user --record none --prom-dir none >>/tmp/agent.out 2>&1 &
apids="$apids $!"
check "the agents listen" wait_for 10 test -S /tmp/dcak.sock -a -S /var/tmp/spdk.sock
cd /
# The unit's limits, where this machine lets root raise them.
limits=(prlimit --core=unlimited --nofile=1000000)
"${limits[@]}" true 2>/dev/null || { limits=(); echo "note: running with this machine's limits"; }
"${limits[@]}" setpriv --reuid=spindlekeep_user --regid=spindlekeep_group --init-groups \
  "$P/bin/spindlekeepd" >/tmp/daemon.out 2>&1 &
dpid=$!
check "the daemon is up" wait_for 20 test -e "$P/config/spindlekeep_master_process_alive"
check "it runs as the service user" [ "$(ps -o user= -p $dpid)" = spindlekeep_user ]
log=/var/log/spindlekeep/spindlekeep.log
check "it writes its log" wait_for 10 test -s "$log"
check "it registers the agents' disks" wait_for 30 grep -qs '"sn"' "$P/config/disk_mgr.config"

echo "==== logrotate next to the daemon's own rotation"
check "logrotate runs" logrotate -f /etc/logrotate.d/spindlekeep
check "logrotate keeps a dated copy" compgen -G "$log-*" >/dev/null
grows() { [ -s "$log" ]; }
check "the daemon goes on writing into the emptied log" wait_for 30 grows
check "no hole at the start of the log" [ "$(head -c 2 "$log")" = 20 ]

kill -TERM $dpid 2>/dev/null || true
status=0
wait $dpid || status=$?
check "SIGTERM stops the daemon with 0" [ "$status" = 0 ]
check "the alive file is gone" gone "$P/config/spindlekeep_master_process_alive"
# shellcheck disable=SC2086
kill -TERM $apids 2>/dev/null || true
wait

echo "==== upgrade in place"
check "dpkg -i over the installed package succeeds" dpkg -i "$deb"
check "the account is kept" getent passwd spindlekeep_user

echo "==== dpkg -r"
check "dpkg -r succeeds" dpkg -r spindlekeep
check "the programs are gone" gone "$P/bin"
check "the unit is gone" gone "/lib/systemd/system/$UNIT"
check "the man pages are gone" gone /usr/share/man/man8/spindlekeepd.8.gz
check "the daemon's data is kept" test -s "$P/config/disk_mgr.config"
check "the logrotate rules are kept (conffile)" test -e /etc/logrotate.d/spindlekeep

echo "==== dpkg -P"
check "dpkg -P succeeds" dpkg -P spindlekeep
check "the package is gone" bash -c '! dpkg -s spindlekeep >/dev/null 2>&1'
check "the account is gone" bash -c '! getent passwd spindlekeep_user && ! getent group spindlekeep_group'
check "no owner override is left" bash -c '! dpkg-statoverride --list | grep -q spindlekeep'
check "nothing named spindlekeep is left" [ -z "$(traces)" ]
traces

if [ "$FAILS" -ne 0 ]; then
  echo "---- daemon output"; tail -n 20 /tmp/daemon.out || true
  echo "---- host log"; tail -n 30 /var/log/spindlekeep/spindlekeep.log* 2>/dev/null || true
  echo "---- agent output"; tail -n 10 /tmp/agent.out || true
  echo "$FAILS check(s) failed"
  exit 1
fi
echo "all package checks passed"
