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
cmake --build "$ROOT/build" --target vornd

echo
echo "Starting: build/bin/vornd -debug demo"
echo "The daemon listens on port 8060 (all interfaces) and runs in this console until"
echo "stopped: press Ctrl+C. Its status page: curl http://127.0.0.1:8060/"
echo
cd "$ROOT"
exec build/bin/vornd -debug demo
