#!/usr/bin/env bash
# Every benchmark in one go, ending in one table of ratios:
#
#   settings   reading a Config and Environment key: time per value at
#              10,000 values over time per value at 1,000 (flat is 1.0)
#   serve      status pages and refused logins a second, the daemon over a
#              minimal server of the benchmark's own that answers the same
#              bytes; and /metrics a second over the same daemon's page
#   launch     accepted logins handed to /bin/true a second, the daemon over
#              tcpserver (ucspi-tcp) and over a minimal spawning server,
#              clients waiting for the engine's end and for the reply only
#   memory     the daemon's resident memory idle and while 64 clients hold
#              connections open without sending, beside idle tcpserver
#
# and one table of the three servers side by side under 1, 4, 16 and 64
# clients at once: logins a second, the ratios, the daemon's latency from
# connect to reply, the errors, and the goals they are held to.
#
#   bench/run_all.sh [build folder]        (default: build)
#
# Needs a native build with bench targets (libbenchmark-dev for the
# settings) and ucspi-tcp for the launch peer. Run it on a quiet machine.
# Every server and client it starts is stopped when it ends, however.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
BIN="$BUILD/bin"
ROWS=()
WORK="$(mktemp -d)"
JOBS=()

row() { ROWS+=("$(printf '%-9s %-48s %9s' "$1" "$2" "$3")"); }

# Whatever is still running goes with the script, on any end.
cleanup() {
  local job
  for job in "${JOBS[@]}"; do kill -TERM "$job" 2>/dev/null; done
  for job in "${JOBS[@]}"; do wait "$job" 2>/dev/null; done
  JOBS=()
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'echo "run_all.sh: interrupted" >&2; exit 130' INT TERM HUP

forget() {
  local job kept=()
  for job in "${JOBS[@]}"; do [[ "$job" != "$1" ]] && kept+=("$job"); done
  JOBS=("${kept[@]}")
}

# measure OUTPUT COMMAND...: runs COMMAND in the background, so that a
# signal reaches the trap at once rather than after it, its output in
# OUTPUT; its status.
measure() {
  local out="$1" job status
  shift
  "$@" >"$out" 2>&1 &
  job=$!
  JOBS+=("$job")
  wait "$job"
  status=$?
  forget "$job"
  return "$status"
}

# ---- settings ----------------------------------------------------------------
if [[ -x "$BIN/vornd_bench_config" ]]; then
  measure "$WORK/settings" "$BIN/vornd_bench_config" --benchmark_format=csv
  csv="$(cat "$WORK/settings")"
  for bench in ConfigLoad StoreWalk; do
    small="$(grep "^\"$bench/1000\"" <<<"$csv" | cut -d, -f3)"
    large="$(grep "^\"$bench/10000\"" <<<"$csv" | cut -d, -f3)"
    if [[ -n "$small" && -n "$large" ]]; then
      row settings "$bench: per value at 10k / at 1k" \
        "$(awk -v s="$small" -v l="$large" 'BEGIN { printf "%.3f", (l / 10000) / (s / 1000) }')"
    fi
  done
else
  echo "no vornd_bench_config (libbenchmark-dev missing?): settings skipped"
fi

# ---- serve -------------------------------------------------------------------
root="$WORK/serve-root"
mkdir -p "$root"
port=$((40000 + $$ % 10000))
key='HKLM\SYSTEM\CurrentControlSet\Services\benchserve\Config'
VORND_ROOT="$root" "$BIN/vornreg" add "$key" /v SockPort /t REG_SZ /d "$port" /f >/dev/null
VORND_ROOT="$root" "$BIN/vornreg" add "$key" /v AuthenticationMethod /t REG_SZ /d HTPassword /f >/dev/null
VORND_ROOT="$root" "$BIN/vornreg" add "$key" /v CreateDesktop /t REG_SZ /d No /f >/dev/null
VORND_ROOT="$root" "$BIN/vornd" -debug benchserve >/dev/null 2>&1 &
daemon=$!
JOBS+=("$daemon")
for _ in $(seq 1 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
measure "$WORK/serve" "$BIN/vornd_bench_serve" --port "$port" --count 5000 --warmup 500 --rounds 5
serve="$(cat "$WORK/serve")"
measure "$WORK/metrics" "$BIN/vornd_bench_serve" --port "$port" --mode metrics --clients 8 --count 5000 \
  --warmup 500 --rounds 5
metrics="$(cat "$WORK/metrics")"
kill "$daemon"
wait "$daemon" 2>/dev/null
forget "$daemon"
echo "$serve"
pageRatio="$(sed -n 's/^page *ratio *//p' <<<"$serve")"
loginRatio="$(sed -n 's/^login *ratio *//p' <<<"$serve")"
pageOwn="$(sed -n 's/^page *target *\([0-9]*\) connections.*/\1/p' <<<"$serve")"
pageMinimal="$(sed -n 's/^page *reference *\([0-9]*\) connections.*/\1/p' <<<"$serve")"
row serve "status pages: vornd / minimal server" "${pageRatio:-?}"
row serve "refused logins: vornd / minimal server" "${loginRatio:-?}"
row serve "status pages/s at 1 client: vornd" "${pageOwn:-?}"
row serve "status pages/s at 1 client: minimal server" "${pageMinimal:-?}"
echo "$metrics"
row serve "/metrics / status page, one daemon (goal >= 0.9)" \
  "$(sed -n 's|^/metrics against the page *||p' <<<"$metrics")"

# ---- launch ------------------------------------------------------------------
for wait in end reply; do
  measure "$WORK/launch" "$BIN/vornd_bench_launch" --count 500 --rounds 5 --wait "$wait"
  launch="$(cat "$WORK/launch")"
  echo "$launch"
  row launch "until $wait: vornd / tcpserver" \
    "$(sed -n 's/^vornd \/ tcpserver = *\([0-9.]*\).*/\1/p' <<<"$launch")"
  row launch "until $wait: vornd / floor" \
    "$(sed -n 's/^vornd \/ floor *= *\([0-9.]*\).*/\1/p' <<<"$launch")"
done

# ---- many clients at once, and memory ------------------------------------------
# Fresh servers, so that the idle memory is read before their first client.
measure "$WORK/concurrent" "$BIN/vornd_bench_launch" --clients 1,4,16,64 --seconds 1 \
  --rounds 3 --hold 64 --wait end
concurrent="$(cat "$WORK/concurrent")"
echo
sed '/^concurrent logins:/,$d' <<<"$concurrent"
memory() { sed -n "s/^memory $1: \([0-9]*\) kB.*/\1/p" <<<"$concurrent"; }
row memory "vornd idle, VmRSS kB" "$(memory 'vornd idle')"
row memory "vornd with 64 silent clients held, VmRSS kB" "$(memory 'vornd with 64 silent clients')"
row memory "tcpserver idle, VmRSS kB" "$(memory 'tcpserver idle')"

echo
printf '%-9s %-48s %9s\n' benchmark measure value
printf '%s\n' "${ROWS[@]}"
sed -n 's/^silent clients: /held by vornd: /p' <<<"$concurrent"
echo
# The side-by-side table and its goals, as the benchmark printed them.
sed -n '/^concurrent logins:/,$p' <<<"$concurrent"
