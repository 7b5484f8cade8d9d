#!/usr/bin/env bash
# Every benchmark in one go, ending in one table of ratios:
#
#   settings   reading a Config and Environment key: time per value at
#              10,000 values over time per value at 1,000 (flat is 1.0)
#   serve      status pages and refused logins a second, the daemon over a
#              minimal server of the benchmark's own that answers the same
#              bytes
#   launch     accepted logins handed to /bin/true a second, the daemon over
#              tcpserver (ucspi-tcp) and over a minimal spawning server,
#              clients waiting for the engine's end and for the reply only
#
#   bench/run_all.sh [build folder]        (default: build)
#
# Needs a native build with bench targets (libbenchmark-dev for the
# settings) and ucspi-tcp for the launch peer. Run it on a quiet machine.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
BIN="$BUILD/bin"
ROWS=()

row() { ROWS+=("$(printf '%-9s %-44s %8s' "$1" "$2" "$3")"); }

# ---- settings ----------------------------------------------------------------
if [[ -x "$BIN/vornd_bench_config" ]]; then
  csv="$("$BIN/vornd_bench_config" --benchmark_format=csv 2>/dev/null)"
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
root="$(mktemp -d)"
port=$((40000 + $$ % 10000))
key='HKLM\SYSTEM\CurrentControlSet\Services\benchserve\Config'
VORND_ROOT="$root" "$BIN/vornreg" add "$key" /v SockPort /t REG_SZ /d "$port" /f >/dev/null
VORND_ROOT="$root" "$BIN/vornreg" add "$key" /v AuthenticationMethod /t REG_SZ /d HTPassword /f >/dev/null
VORND_ROOT="$root" "$BIN/vornreg" add "$key" /v CreateDesktop /t REG_SZ /d No /f >/dev/null
VORND_ROOT="$root" "$BIN/vornd" -debug benchserve >/dev/null 2>&1 &
daemon=$!
for _ in $(seq 1 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
serve="$("$BIN/vornd_bench_serve" --port "$port" --count 5000 --warmup 500 --rounds 5 2>&1)"
kill "$daemon"
wait "$daemon" 2>/dev/null
rm -rf "$root"
echo "$serve"
pageRatio="$(sed -n 's/^page *ratio *//p' <<<"$serve")"
loginRatio="$(sed -n 's/^login *ratio *//p' <<<"$serve")"
row serve "status pages: vornd / minimal server" "${pageRatio:-?}"
row serve "refused logins: vornd / minimal server" "${loginRatio:-?}"

# ---- launch ------------------------------------------------------------------
for wait in end reply; do
  launch="$("$BIN/vornd_bench_launch" --count 1000 --rounds 5 --wait "$wait" 2>&1)"
  echo "$launch"
  row launch "until $wait: vornd / tcpserver" \
    "$(sed -n 's/^vornd \/ tcpserver = *\([0-9.]*\).*/\1/p' <<<"$launch")"
  row launch "until $wait: vornd / floor" \
    "$(sed -n 's/^vornd \/ floor *= *\([0-9.]*\).*/\1/p' <<<"$launch")"
done
idle="$(sed -n 's/^idle resident memory: //p' <<<"$launch")"

echo
printf '%-9s %-44s %8s\n' benchmark measure ratio
printf '%s\n' "${ROWS[@]}"
[[ -n "$idle" ]] && echo "idle memory: $idle"
