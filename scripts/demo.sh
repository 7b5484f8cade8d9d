#!/usr/bin/env bash
# Builds vornd natively and runs the daemon in the console (debug mode,
# instance "demo") until it is stopped with Ctrl+C. Run as root on Debian
# 12: it installs what the build needs first (VORND_SKIP_APT=1 skips that).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/packages.sh
source "$ROOT/scripts/packages.sh"
export DEBIAN_FRONTEND=noninteractive

vornd_apt_update --native-only
vornd_apt_install "${VORND_NATIVE_PACKAGES[@]}"

cmake -S "$ROOT" -B "$ROOT/build" -G Ninja
cmake --build "$ROOT/build" --target vornd vornreg vornlogin vorn-echo-engine

# The demo's state (registry file, log) lives under the build folder; the
# machine's own /var/lib/vornd is never touched.
export VORND_ROOT="$ROOT/build/demo-root"
mkdir -p "$VORND_ROOT"
KEY='HKLM\SYSTEM\CurrentControlSet\Services\demo\Config'
setting() { "$ROOT/build/bin/vornreg" add "$KEY" /v "$1" /t REG_SZ /d "$2" /f >/dev/null; }
setting SockPort 8060
setting AuthenticationMethod Vorn
setting VornExecutable "\"$ROOT/build/bin/vorn-echo-engine\""
setting LogCreate Yes
setting LogAllEvents Yes

cat <<EOT

Starting: build/bin/vornd -debug demo   (state root $VORND_ROOT)
The daemon listens on port 8060 (all interfaces), accepts every login ("Vorn") and hands
each client to the sample engine, which greets it and echoes its lines. It runs in this
console until stopped: press Ctrl+C. From another console:

  build/bin/vornlogin -u alice -p secret 127.0.0.1:8060    (type lines; Ctrl+D ends)
  curl http://127.0.0.1:8060/                              (the status page)

The log: $VORND_ROOT/log/demo.log

EOT
cd "$ROOT"
exec build/bin/vornd -debug demo
