#!/usr/bin/env bash
# A backlog the relay kept during an outage, drained after a restart, against the live rate of
# the same relay; CPU per mail against smtp-source's; the same over STARTTLS with a login.
# Installs what it needs (postfix's test tools without its service, wrk, aiosmtpd, openssl),
# builds swnrelayd in Release when it is missing, and runs bench/drain_vs_live.py, which prints
# the figures. Arguments go to it (--rounds N, --no-tls, --quick, --keep, --relay PATH).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

missing=()
for p in wrk python3-aiosmtpd openssl; do installed "$p" || missing+=("$p"); done
if ! installed postfix; then
    echo "postfix postfix/main_mailer_type select No configuration" | as_root debconf-set-selections
    missing+=(postfix)
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    # policy-rc.d answering 101 keeps the mail system's service from starting: only its two test
    # tools are used.
    guard=0
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        as_root sh -c 'printf "#!/bin/sh\nexit 101\n" > /usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d'
        guard=1
    fi
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    [ "$guard" = 1 ] && as_root rm -f /usr/sbin/policy-rc.d
    if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
        as_root systemctl disable --now postfix >/dev/null 2>&1 || true
    fi
fi
if ss -ltn 2>/dev/null | grep -q ':25 '; then
    echo "note: something listens on port 25 (not started by this script)" >&2
fi

relay="$BUILD_DIR/app/swnrelayd"
if [ ! -x "$relay" ]; then
    cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$BUILD_DIR" -j"$(nproc)" --target swnrelayd
fi
exec /usr/bin/python3 "$ROOT/bench/drain_vs_live.py" --relay "$relay" "$@"
