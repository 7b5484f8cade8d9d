#!/usr/bin/env bash
# One client guessing passwords against two daemons that ask the system
# (PAM service vornd, as the machine has it): the one given first (the
# landed program, say) and this build's. Prints, for each, the refusals a
# second and how many of them the system checked, for one guess at a time
# and for eight at once; then this build with its defaults for a longer
# run, and the guesses an address gets through in an hour at that pace.
#
#   bench/guessing.sh OTHER_VORND [build folder] [long run seconds]
#
# Run as root (it makes a throw-away account) on a quiet machine.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OTHER="${1:?usage: bench/guessing.sh OTHER_VORND [build folder] [long seconds]}"
BUILD="$(cd "${2:-$ROOT/build}" && pwd)"
LONG="${3:-130}"
BIN="$BUILD/bin"
WORK="$(mktemp -d)"
USER_NAME="vorndguess$$"
PIDS=()

cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  userdel "$USER_NAME" >/dev/null 2>&1
  rm -rf "$WORK"
}
trap cleanup EXIT

useradd -M -N -s /usr/sbin/nologin "$USER_NAME" || exit 1
echo "$USER_NAME:Right-$$-pw" | chpasswd || exit 1

freePort() {
  local port=$((20000 + RANDOM % 20000))
  while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
  echo "$port"
}

# start NAME PROGRAM: an instance in a state root of its own, in the
# console; its port on stdout.
start() {
  local name="$1" program="$2" port
  port="$(freePort)"
  mkdir -p "$WORK/$name"
  local key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$name\\Config"
  local value
  for value in "SockPort=$port" AuthenticationMethod=logonuser CreateDesktop=No LogCreate=Yes \
    "LogFileName=$WORK/$name/daemon.log"; do
    VORND_ROOT="$WORK/$name" "$BIN/vornreg" add "$key" /v "${value%%=*}" /t REG_SZ \
      /d "${value#*=}" /f >/dev/null || exit 1
  done
  VORND_ROOT="$WORK/$name" "$program" -debug "$name" >"$WORK/$name/console" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 1 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.05; done
  echo "$port"
}
checked() { grep -c "LogonUser failed for user" "$WORK/$1/daemon.log"; }

row() { printf '%-26s %-9s %10s %10s %10s %9s\n' "$@"; }

echo "== one client from 127.0.0.2 guessing the password of $USER_NAME"
row run daemon refusals refused/s checked checked/s
for parallel in 1 8; do
  for side in other this; do
    name="g${side}${parallel}"
    program="$OTHER"
    [[ $side == this ]] && program="$BIN/vornd"
    port="$(start "$name" "$program")"
    out="$("$BIN/vornd_bench_guess" --user "$USER_NAME" --port "$port" --seconds 20 \
      --parallel "$parallel" | tail -n 1)"
    refused="$(awk '{print $2}' <<<"$out")"
    perSecond="$(awk '{print $4}' <<<"$out")"
    count="$(checked "$name")"
    row "$parallel at a time, 20 s" "$side" "$refused" "$perSecond" "$count" \
      "$(awk -v c="$count" 'BEGIN { printf "%.2f", c / 20 }')"
  done
done

echo
echo "== this build with its defaults, 8 at a time for $LONG s"
port="$(start glong "$BIN/vornd")"
out="$("$BIN/vornd_bench_guess" --user "$USER_NAME" --port "$port" --seconds "$LONG" \
  --parallel 8 | tail -n 1)"
count="$(checked glong)"
row run daemon refusals refused/s checked checked/h
row "8 at a time, $LONG s" this "$(awk '{print $2}' <<<"$out")" "$(awk '{print $4}' <<<"$out")" \
  "$count" "$(awk -v c="$count" -v s="$LONG" 'BEGIN { printf "%.0f", c * 3600 / s }')"
echo "(checked: refusals that reached the system's logon; the rest were refused by the block)"
