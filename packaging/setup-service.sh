#!/bin/sh
# Makes a tree installed with `cmake --install` a service of this host, as
# root (the Debian package's maintainer scripts do the same for a package):
#   P/share/spindlekeep/setup-service.sh            set up, enable and start
#   P/share/spindlekeep/setup-service.sh --remove   stop and take it out again
# Set-up: the service group and user, the owners of P/config and
# P/userconfig_bak, /var/log/spindlekeep, and the unit, logrotate rules, bash
# completion and man pages linked or copied into the system's places. The unit
# is enabled and started only where systemd runs. --remove keeps the daemon's
# data, its logs and the account.
set -eu

P=$(cd "$(dirname "$0")/../.." && pwd)
UNIT=spindlekeep.service
MAN_DIR=/usr/local/share/man/man8
systemd_runs() { [ -d /run/systemd/system ]; }

if [ "${1:-}" = --remove ]; then
    if systemd_runs; then
        systemctl disable --now "$UNIT" || true
    fi
    rm -f "/etc/systemd/system/$UNIT" /etc/logrotate.d/spindlekeep \
          /etc/bash_completion.d/spindlekeep-cli
    for page in "$P"/share/man/man8/*.8; do
        rm -f "$MAN_DIR/$(basename "$page")"
    done
    if systemd_runs; then
        systemctl daemon-reload
    fi
    exit 0
fi

getent group spindlekeep_group >/dev/null || groupadd --system spindlekeep_group
if ! getent passwd spindlekeep_user >/dev/null; then
    useradd --system --gid spindlekeep_group --no-create-home \
            --home-dir /nonexistent --shell /usr/sbin/nologin spindlekeep_user
fi
for d in "$P/config" "$P/userconfig_bak"; do
    install -d -o spindlekeep_user -g spindlekeep_group -m 0750 "$d"
done
for d in /var/log/spindlekeep /var/log/spindlekeep/cli_log; do
    install -d -o spindlekeep_user -g spindlekeep_group -m 0750 "$d"
done

install -m 0644 "$P/lib/systemd/system/$UNIT" "/etc/systemd/system/$UNIT"
install -D -m 0644 "$P/share/spindlekeep/logrotate" /etc/logrotate.d/spindlekeep
install -d /etc/bash_completion.d "$MAN_DIR"
ln -sf "$P/share/bash-completion/completions/spindlekeep-cli" /etc/bash_completion.d/
for page in "$P"/share/man/man8/*.8; do
    ln -sf "$page" "$MAN_DIR/"
done

if systemd_runs; then
    systemctl daemon-reload
    systemctl enable --now "$UNIT"
else
    echo "systemd does not run here: start $P/bin/spindlekeepd as spindlekeep_user yourself"
fi
