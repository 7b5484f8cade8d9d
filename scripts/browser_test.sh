#!/usr/bin/env bash
# The status page in a real browser: a daemon in the console on a free
# port (method Vorn, the sample engine, one environment variable), one
# login so that a counter moves, then headless Chromium loads the page.
# Its DOM must show the title, the heading and the table rows; a
# screenshot is kept in <build>/browser/ as an artefact. Then the same
# page from a second instance that serves only over TLS, loaded over
# https with the run's own test authority trusted in a profile of its own.
#
#   scripts/browser_test.sh <native build folder>
#
# Installs Debian's chromium and NSS's certutil when they are missing
# (VORND_SKIP_APT=1: never).
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
if ! command -v certutil >/dev/null 2>&1 && [[ "${VORND_SKIP_APT:-0}" != 1 ]]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=300 \
    libnss3-tools >/dev/null || echo "installing libnss3-tools failed"
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
TLS_DAEMON=
cleanup() {
  kill "$DAEMON" $TLS_DAEMON 2>/dev/null
  wait "$DAEMON" $TLS_DAEMON 2>/dev/null
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

# ---- The same page over https ---------------------------------------------
TLS_NAME=browsertls
TLS_PORT=$((PORT + 1))
while (exec 3<>"/dev/tcp/127.0.0.1/$TLS_PORT") 2>/dev/null; do TLS_PORT=$((TLS_PORT + 1)); done
PKI="$OUT/pki"
mkdir -p "$PKI"
printf '%s\n' "[req]" "distinguished_name = dn" "[dn]" "[ca]" "basicConstraints = critical,CA:true" \
  "keyUsage = critical,keyCertSign" "[server]" "subjectAltName = DNS:localhost,IP:127.0.0.1" \
  "extendedKeyUsage = serverAuth" >"$PKI/x509.cnf"
made() {
  openssl req -x509 -config "$PKI/x509.cnf" -extensions ca -newkey ec -pkeyopt ec_paramgen_curve:P-256 \
    -nodes -days 2 -subj "/CN=vornd browser test authority" -keyout "$PKI/ca.key" -out "$PKI/ca.pem" &&
    openssl req -new -config "$PKI/x509.cnf" -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
      -subj /CN=localhost -keyout "$PKI/server.key" -out "$PKI/server.csr" &&
    openssl x509 -req -in "$PKI/server.csr" -CA "$PKI/ca.pem" -CAkey "$PKI/ca.key" -set_serial 1 \
      -days 2 -extfile "$PKI/x509.cnf" -extensions server -out "$PKI/server.pem"
} 2>"$OUT/openssl.err"
TLS_KEY="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$TLS_NAME"
tlsSetting() { "$BIN/vornreg" add "$TLS_KEY\\Config" /v "$1" /t REG_SZ /d "$2" /f >/dev/null; }
if ! made; then
  fail "the test certificates could not be made"
elif [[ ! -x "$BIN/vornd-tls" ]]; then
  fail "no TLS relay in $BIN"
elif ! command -v certutil >/dev/null 2>&1; then
  fail "no certutil to trust the test authority"
else
  tlsSetting SockPort "$TLS_PORT"
  tlsSetting AuthenticationMethod Vorn
  tlsSetting VornExecutable "$BIN/vorn-echo-engine"
  tlsSetting IncludeSystemEnv No
  tlsSetting SockTLS Required
  tlsSetting TLSCertificateFile "$PKI/server.pem"
  tlsSetting TLSKeyFile "$PKI/server.key"
  "$BIN/vornd" -debug "$TLS_NAME" >"$OUT/tls-daemon.out" 2>&1 &
  TLS_DAEMON=$!
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$TLS_PORT") 2>/dev/null && break
    sleep 0.1
  done
  GREETING="$(printf '' | "$BIN/vornlogin" --tls --ca "$PKI/ca.pem" -u secure -p x "localhost:$TLS_PORT" 2>/dev/null)"
  checkContains "a login over TLS before the page is served by the engine" "hello, secure" "$GREETING"
  # Chromium reads the authorities it trusts from the NSS store in $HOME.
  TLS_HOME="$OUT/tls-home"
  mkdir -p "$TLS_HOME/.pki/nssdb"
  certutil -d "sql:$TLS_HOME/.pki/nssdb" -N --empty-password &&
    certutil -d "sql:$TLS_HOME/.pki/nssdb" -A -t "C,," -n "vornd browser test authority" \
      -i "$PKI/ca.pem" || fail "the test authority could not be trusted"
  TLS_DOM="$(HOME="$TLS_HOME" timeout 120 chromium --headless --no-sandbox --disable-gpu \
    --disable-dev-shm-usage --no-first-run --user-data-dir="$OUT/tls-profile" \
    --dump-dom "https://localhost:$TLS_PORT/" 2>"$OUT/chromium-tls.err")"
  printf '%s\n' "$TLS_DOM" >"$OUT/status-page-tls.dom.html"
  checkContains "over https, the title" "<title>$TLS_NAME Status</title>" "$TLS_DOM"
  checkContains "over https, the served counter" \
    '<td class="th">Clients Served</td><td class="th">1</td>' "$TLS_DOM"
  checkContains "over https, the rejected counter" \
    '<td class="th">Clients Rejected</td><td class="th">0</td>' "$TLS_DOM"
fi

echo "browser: $FAILURES failed check(s)"
[[ $FAILURES -eq 0 ]]
