#!/usr/bin/env bash
# An instance's /metrics as a monitoring system sees it, with Debian's
# Prometheus, scraping from the sample the package ships
# (packaging/prometheus/vornd.yml, with this run's port written in and a
# one-second interval):
#
#   - one daemon on a free loopback port, method Vorn, the -fms_server
#     switch off, StatusPageFrom 127.0.0.1, an engine that ends at once;
#   - a known mix: 7 logins accepted, 3 refused by the switch;
#   - the exposition passes "promtool check metrics" with nothing said;
#   - /metrics from 127.0.0.2 is a bare 403, and the page too;
#   - the sample passes "promtool check config";
#   - Prometheus in the foreground scrapes the instance: the target is up
#     and its query API returns vornd_logins_accepted_total{instance=
#     "<name>"} 7 and the refusals by reason 3.
#
#   scripts/prometheus_checks.sh <native build folder>
#
# The configuration, Prometheus's and the daemon's output and the last
# exposition are kept in <build>/prometheus-checks/. Needs prometheus
# (promtool comes with it), curl and python3. Prints one "ok" or "FAIL"
# line a check; exits non-zero when any failed.
set -u

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$(cd "${1:?usage: prometheus_checks.sh <build folder>}" && pwd)"
BIN="$BUILD/bin"
OUT="$BUILD/prometheus-checks"
SAMPLE="$ROOT/packaging/prometheus/vornd.yml"
NAME=scraped
ACCEPTED=7
REFUSED=3
FAILURES=0

ok() { echo "ok    $1"; }
fail() {
  echo "FAIL  $1"
  FAILURES=$((FAILURES + 1))
}
check() {
  local what="$1"
  shift
  if "$@"; then ok "$what"; else fail "$what"; fi
}

rm -rf "$OUT"
WORK="$(mktemp -d /tmp/vornd-prometheus-checks.XXXXXX)"
DAEMON_PID=""
PROMETHEUS_PID=""
cleanup() {
  local pid
  for pid in $PROMETHEUS_PID $DAEMON_PID; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  mkdir -p "$OUT"
  cp "$WORK"/*.yml "$WORK"/*.log "$WORK"/*.txt "$OUT"/ 2>/dev/null
  [[ -f "$WORK/root/log/events.log" ]] && cp "$WORK/root/log/events.log" "$OUT/"
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

missing=()
for tool in prometheus promtool curl python3; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
for program in vornd vornreg; do
  [[ -x "$BIN/$program" ]] || missing+=("$BIN/$program")
done
[[ -f "$SAMPLE" ]] || missing+=("$SAMPLE")
if [[ ${#missing[@]} -gt 0 ]]; then
  fail "missing: ${missing[*]}"
  exit 1
fi

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# logins <port> <count> <startup>: that many logins one after another; one
# word each: accepted, refused, or what came instead.
logins() {
  python3 - "$@" <<'EOF'
import socket, sys
port, count, startup = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3].encode()
for _ in range(count):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    record = bytearray(331)
    record[0:5] = b"ruth1"
    record[21:27] = b"secret"
    record[74:74 + len(startup)] = startup
    s.sendall(record)
    got = b""
    while True:
        chunk = s.recv(4096)
        if not chunk:
            break
        got += chunk
    s.close()
    print({b"\x00\x01": "accepted", b"\x00\x00": "refused"}.get(got, repr(got)))
EOF
}

# ---- The daemon --------------------------------------------------------------

export VORND_ROOT="$WORK/root"
mkdir -p "$VORND_ROOT"
PORT="$(free_port)"
KEY="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$NAME\\Config"
setting() { "$BIN/vornreg" add "$KEY" /v "$1" /t REG_SZ /d "$2" /f >/dev/null; }
setting SockPort "$PORT"
setting AuthenticationMethod Vorn
setting ServiceDisableFms Yes
setting StatusPageFrom 127.0.0.1
setting CreateDesktop No
setting VornExecutable /bin/true
"$BIN/vornd" -debug "$NAME" >"$WORK/vornd.log" 2>&1 &
DAEMON_PID=$!
for _ in $(seq 100); do
  curl -sf -o /dev/null "http://127.0.0.1:$PORT/" && break
  sleep 0.1
done
if curl -sf -o /dev/null "http://127.0.0.1:$PORT/"; then
  ok "the daemon answers on 127.0.0.1:$PORT"
else
  fail "the daemon answers on 127.0.0.1:$PORT; its output: $(tail -n 5 "$WORK/vornd.log" | tr '\n' ' ')"
  kill -0 "$DAEMON_PID" 2>/dev/null || fail "the daemon has ended"
  exit 1
fi

# A record whose startup field (at 74) begins with -fms_server is refused
# by the switch.
got="$(logins "$PORT" "$ACCEPTED" "" | sort | uniq -c | xargs)"
check "$ACCEPTED logins accepted ($got)" test "$got" = "$ACCEPTED accepted"
got="$(logins "$PORT" "$REFUSED" "-fms_server" | sort | uniq -c | xargs)"
check "$REFUSED logins refused by the switch ($got)" test "$got" = "$REFUSED refused"

# ---- The exposition ----------------------------------------------------------

curl -s -D "$WORK/head.txt" -o "$WORK/metrics.txt" "http://127.0.0.1:$PORT/metrics"
check "/metrics: 200, text/plain version 0.0.4" \
  grep -q '^Content-Type: text/plain; version=0.0.4; charset=utf-8' "$WORK/head.txt"
promtool check metrics <"$WORK/metrics.txt" >"$WORK/promtool.txt" 2>&1
status=$?
if [[ $status -eq 0 && ! -s "$WORK/promtool.txt" ]]; then
  ok "promtool check metrics: no problem found"
else
  fail "promtool check metrics (exit $status): $(tr '\n' ' ' <"$WORK/promtool.txt")"
fi
check "the exposition counts the accepted logins" \
  grep -qx "vornd_logins_accepted_total{instance=\"$NAME\"} $ACCEPTED" "$WORK/metrics.txt"
for path in /metrics /; do
  code="$(curl -s --interface 127.0.0.2 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$PORT$path")"
  check "GET $path from 127.0.0.2, outside StatusPageFrom: 403 ($code)" test "$code" = 403
done

# ---- Prometheus --------------------------------------------------------------

PROMETHEUS_PORT="$(free_port)"
sed -e "s/scrape_interval: 15s/scrape_interval: 1s/" \
  -e "s/'127.0.0.1:8060'/'127.0.0.1:$PORT'/" "$SAMPLE" >"$WORK/prometheus.yml"
quietly() { "$@" >/dev/null 2>&1; }
check "the sample configuration passes promtool check config" quietly promtool check config "$SAMPLE"
check "so does this run's" quietly promtool check config "$WORK/prometheus.yml"
check "the run's configuration scrapes this instance" grep -q "127.0.0.1:$PORT" "$WORK/prometheus.yml"
prometheus --config.file="$WORK/prometheus.yml" --storage.tsdb.path="$WORK/data" \
  --web.listen-address="127.0.0.1:$PROMETHEUS_PORT" >"$WORK/prometheus.log" 2>&1 &
PROMETHEUS_PID=$!

API="http://127.0.0.1:$PROMETHEUS_PORT/api/v1"
# query <PromQL>: the first result's value, or nothing.
query() {
  curl -s --get --data-urlencode "query=$1" "$API/query" |
    python3 -c 'import json, sys
r = json.load(sys.stdin).get("data", {}).get("result", [])
print(r[0]["value"][1] if r else "")' 2>/dev/null
}
accepted=""
for _ in $(seq 60); do
  accepted="$(query "vornd_logins_accepted_total{instance=\"$NAME\"}")"
  [[ -n "$accepted" ]] && break
  sleep 0.5
done
check "Prometheus: the target is up" test "$(query 'up{job="vornd"}')" = 1
check "Prometheus: vornd_logins_accepted_total{instance=\"$NAME\"} is $ACCEPTED ($accepted)" \
  test "$accepted" = "$ACCEPTED"
refused="$(query "vornd_logins_refused_total{instance=\"$NAME\",reason=\"service_switches\"}")"
check "Prometheus: refusals by the switches are $REFUSED ($refused)" test "$refused" = "$REFUSED"
check "Prometheus: no other refusal" \
  test "$(query "sum(vornd_logins_refused_total{instance=\"$NAME\",reason!=\"service_switches\"})")" = 0

[[ $FAILURES -eq 0 ]]
