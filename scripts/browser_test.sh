#!/usr/bin/env bash
# The status page in a real browser: a daemon in the console on a free
# port (method Vorn, the sample engine, one environment variable), one
# login so that a counter moves, then headless Chromium loads the page.
# Its DOM must show the title, the heading and the table rows; a
# screenshot is kept in <build>/browser/ as an artefact.
#
#   scripts/browser_test.sh <native build folder>
#
# Installs Debian's chromium when it is missing (VORND_SKIP_APT=1: never).
# Exits non-zero when any check failed.
set -uo pipefail

BUILD="$(cd "$1" && pwd)"
BIN="$BUILD/bin"
OUT="$BUILD/browser"
NAME=browserpage
FAILURES=0

ok() { echo "ok    $1"; }
fail() {
  echo "FAIL  $1"
  FAILURES=$((FAILURES + 1))
}
checkContains() {  # description, text expected inside, actual
  if [[ "$3" == *"$2"* ]]; then ok "$1"; else fail "$1: no \"$2\""; fi
}

if ! command -v chromium >/dev/null 2>&1; then
  if [[ "${VORND_SKIP_APT:-0}" == 1 ]]; then
    echo "chromium is missing and VORND_SKIP_APT=1 forbids installing it"
    exit 1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=300 chromium \
    >/dev/null || { echo "installing chromium failed"; exit 1; }
fi

rm -rf "$OUT"
mkdir -p "$OUT"
export VORND_ROOT="$OUT/root"
PORT=$((30000 + $$ % 20000))
while (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; do PORT=$((PORT + 1)); done

KEY="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$NAME"
setting() { "$BIN/vornreg" add "$KEY\\$1" /v "$2" /t REG_SZ /d "$3" /f >/dev/null; }
setting Config SockPort "$PORT"
setting Config AuthenticationMethod Vorn
setting Config VornExecutable "$BIN/vorn-echo-engine"
setting Config IncludeSystemEnv No
setting Environment VORNPATH 'c:\vorn\data'

"$BIN/vornd" -debug "$NAME" >"$OUT/daemon.out" 2>&1 &
DAEMON=$!
cleanup() {
  kill "$DAEMON" 2>/dev/null
  wait "$DAEMON" 2>/dev/null
}
trap cleanup EXIT

for _ in $(seq 1 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && break
  sleep 0.1
done
GREETING="$(printf '' | "$BIN/vornlogin" -u browser -p x "127.0.0.1:$PORT" 2>/dev/null)"
checkContains "a login before the page is served by the engine" "hello, browser" "$GREETING"

URL="http://127.0.0.1:$PORT/"
BROWSER=(chromium --headless --no-sandbox --disable-gpu --disable-dev-shm-usage
  --no-first-run --user-data-dir="$OUT/profile")
DOM="$(timeout 120 "${BROWSER[@]}" --dump-dom "$URL" 2>"$OUT/chromium.err")"
printf '%s\n' "$DOM" >"$OUT/status-page.dom.html"
checkContains "the title, as the browser read it" "<title>$NAME Status</title>" "$DOM"
checkContains "the heading" "<h1>$NAME</h1>" "$DOM"
checkContains "the service name row" \
  "<td class=\"th\">Service Name</td><td class=\"th\">$NAME</td>" "$DOM"
checkContains "the port row" \
  "<td class=\"th\">Listening On Port</td><td class=\"th\">$PORT</td>" "$DOM"
checkContains "the served counter" \
  '<td class="th">Clients Served</td><td class="th">1</td>' "$DOM"
checkContains "the rejected counter" \
  '<td class="th">Clients Rejected</td><td class="th">0</td>' "$DOM"
checkContains "an environment row" \
  '<td class="tb">VORNPATH</td><td class="tb">c:\vorn\data</td>' "$DOM"

timeout 120 "${BROWSER[@]}" --window-size=1024,768 --screenshot="$OUT/status-page.png" "$URL" \
  >/dev/null 2>>"$OUT/chromium.err"
if [[ -s "$OUT/status-page.png" && "$(head -c 8 "$OUT/status-page.png" | od -An -tx1 | tr -d ' \n')" == 89504e470d0a1a0a ]]; then
  ok "a screenshot: $OUT/status-page.png ($(stat -c %s "$OUT/status-page.png") bytes)"
else
  fail "no screenshot"
fi

echo "browser: $FAILURES failed check(s)"
[[ $FAILURES -eq 0 ]]
