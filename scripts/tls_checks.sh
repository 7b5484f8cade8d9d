#!/usr/bin/env bash
# The TLS port as outside tools see it. One daemon with SockTLS Required on
# a free loopback port, behind a throw-away CA and an EC P-256 server
# certificate made here, is examined by:
#
#   testssl   protocols, server defaults, known vulnerabilities and every
#             cipher; no finding may be HIGH or CRITICAL, and nothing below
#             TLS 1.2 may be offered
#   sslscan   a second opinion on protocols, ciphers (all forward-secret),
#             compression and renegotiation
#   openssl   a renegotiation asked for over TLS 1.2 must be refused
#   tcpdump   one login captured on the loopback: neither the user name nor
#             the password may be in it; the same login to a second daemon
#             without TLS is captured too, and there the password must be
#             found, so that the search is known to work
#
#   scripts/tls_checks.sh <native build folder>
#
# What testssl and sslscan printed, and the daemons' logs, are kept in
# <build>/tls-checks/.
#
# Needs openssl, python3, testssl (Debian package testssl.sh), sslscan and
# tcpdump (installed by scripts/test.sh), and root for the capture. Prints
# one "ok" or "FAIL" line a check; exits non-zero when any failed.
set -u

BUILD="$(cd "${1:?usage: tls_checks.sh <build folder>}" && pwd)"
BIN="$BUILD/bin"
OUT="$BUILD/tls-checks"
USER_NAME=alice
# Long and unusual, so that finding it in a capture cannot be chance.
PASSWORD='Pw-Unmistakable-4711'
FAILURES=0
START=$SECONDS

ok() { echo "ok    $1"; }
fail() {
  echo "FAIL  $1"
  FAILURES=$((FAILURES + 1))
}

rm -rf "$OUT"
WORK="$(mktemp -d /tmp/vornd-tls-checks.XXXXXX)"
PIDS=()
DUMP=""
cleanup() {
  local pid
  for pid in "${PIDS[@]}" $DUMP; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  # What the tools said is kept for a look afterwards; keys and captures
  # are not.
  mkdir -p "$OUT" &&
    cp "$WORK"/*.out "$WORK"/*.json "$WORK"/*.log "$WORK"/*.login "$OUT"/ 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

missing=()
for tool in openssl python3 testssl sslscan tcpdump; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
for program in vornd vornd-tls vornreg vornlogin; do
  [[ -x "$BIN/$program" ]] || missing+=("$BIN/$program")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  fail "missing: ${missing[*]}"
  exit 1
fi

# ---- Certificates ---------------------------------------------------------------

# A CRL distribution point on the loopback is named only because testssl
# rates a certificate that names no way at all to revoke it HIGH; that is a
# property of the certificate an operator installs, not of the daemon, and
# nothing here fetches it.
cat >"$WORK/pki.cnf" <<'EOF'
[req]
distinguished_name = dn
[dn]
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[server]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:localhost, IP:127.0.0.1
crlDistributionPoints = URI:http://127.0.0.1/vornd-test-ca.crl
EOF
EC_KEY=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
# A year's validity: testssl rates a certificate that expires within 30 days
# HIGH.
if openssl req -x509 -days 365 "${EC_KEY[@]}" -config "$WORK/pki.cnf" -extensions ca \
  -subj "/CN=vornd TLS checks CA" -keyout "$WORK/ca.key" -out "$WORK/ca.pem" \
  >"$WORK/openssl.log" 2>&1 &&
  openssl req -new "${EC_KEY[@]}" -config "$WORK/pki.cnf" -subj "/CN=localhost" \
    -keyout "$WORK/server.key" -out "$WORK/server.csr" >>"$WORK/openssl.log" 2>&1 &&
  openssl x509 -req -days 365 -in "$WORK/server.csr" -CA "$WORK/ca.pem" \
    -CAkey "$WORK/ca.key" -set_serial "0x$(openssl rand -hex 8)" \
    -extfile "$WORK/pki.cnf" -extensions server -out "$WORK/server.pem" \
    >>"$WORK/openssl.log" 2>&1; then
  ok "a test CA and an EC P-256 certificate for localhost and 127.0.0.1"
else
  fail "making the certificates: $(tail -n 3 "$WORK/openssl.log")"
  exit 1
fi

# ---- Daemons --------------------------------------------------------------------

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# start_daemon <name> <port> <SockTLS>: a daemon in the console under its
# own registry root in $WORK; its pid is kept for the clean-up.
start_daemon() {
  local name="$1" port="$2" tls="$3"
  local key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$name\\Config"
  export VORND_ROOT="$WORK/root-$name"
  mkdir -p "$VORND_ROOT"
  setting() { "$BIN/vornreg" add "$key" /v "$1" /t REG_SZ /d "$2" /f >/dev/null; }
  setting SockPort "$port" &&
    setting CreateDesktop No &&
    setting IncludeSystemEnv No &&
    setting AuthenticationMethod Vorn &&
    setting VornExecutable /bin/true &&
    setting SockTLS "$tls" || return 1
  if [[ $tls != No ]]; then
    setting TLSCertificateFile "$WORK/server.pem" &&
      setting TLSKeyFile "$WORK/server.key" || return 1
  fi
  "$BIN/vornd" -debug "$name" >"$WORK/$name.log" 2>&1 &
  PIDS+=($!)
  local _
  for _ in $(seq 1 100); do
    listening "$port" && return 0
    kill -0 "${PIDS[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  return 1
}

# start_on_free_port <name> <SockTLS>: start_daemon on a port free a moment
# ago, with two more tries should another program take it meanwhile (the
# daemon would wait for it); the port is left in PORT.
start_on_free_port() {
  local try started
  for try in 1 2 3; do
    started=${#PIDS[@]}
    PORT="$(free_port)"
    start_daemon "$1" "$PORT" "$2" && return 0
    if [[ ${#PIDS[@]} -gt $started ]]; then
      kill "${PIDS[-1]}" 2>/dev/null
      wait "${PIDS[-1]}" 2>/dev/null
    fi
    echo "try $try: port $PORT was not to be had" >>"$WORK/$1.tries"
  done
  return 1
}

PORT=
if start_on_free_port tlschecks Required; then
  TLS_PORT="$PORT"
  ok "a daemon with SockTLS Required listens on 127.0.0.1:$TLS_PORT"
else
  fail "the daemon with SockTLS Required did not listen: $(tail -n 5 "$WORK/tlschecks.log")"
  exit 1
fi

# ---- testssl --------------------------------------------------------------------

# The port also answers an HTTP GET with the status page, but what matters
# is the login service, so no HTTP header checks: protocols, the server's
# defaults and certificate, every known vulnerability, every cipher one by
# one, and forward secrecy. The test CA is added to every trust store
# testssl checks against (--add-ca), so the chain of trust is judged, and
# must pass, rather than excluded.
TESTSSL=(testssl --quiet --color 0 --warnings off --nodns none --openssl /usr/bin/openssl
  --add-ca "$WORK/ca.pem" --openssl-timeout 10
  --protocols --server-defaults --vulnerable --each-cipher --pfs
  --jsonfile "$WORK/testssl.json")
testsslStart=$SECONDS
timeout 600 "${TESTSSL[@]}" "127.0.0.1:$TLS_PORT" >"$WORK/testssl.out" 2>&1
testsslRc=$?
testsslTime=$((SECONDS - testsslStart))
if [[ ! -s "$WORK/testssl.json" ]]; then
  fail "testssl wrote no findings (exit $testsslRc, ${testsslTime}s): $(tail -n 5 "$WORK/testssl.out")"
else
  # Each finding is an object with id, severity and finding. A protocol
  # that is not there is reported as "not offered" (severity OK), one that
  # is as "offered..."; anything else (not tested, an error) proves nothing
  # and fails too. Ids that every complete run reports must all be there,
  # so that a scan cut short cannot pass.
  testsslReport="$(python3 - "$WORK/testssl.json" <<'EOF'
import json, sys

findings = json.load(open(sys.argv[1]))
problems = []
ids = {}
for f in findings:
    ids.setdefault(f.get("id", ""), []).append(f)
    severity = f.get("severity", "")
    if severity in ("HIGH", "CRITICAL", "FATAL"):
        problems.append("%s %s: %s" % (severity, f.get("id"), f.get("finding")))

def finding(name):
    return ids[name][0].get("finding", "") if name in ids else None

for name in ("SSLv2", "SSLv3", "TLS1", "TLS1_1"):
    text = finding(name)
    if text is None:
        problems.append("protocol %s: not reported" % name)
    elif not text.startswith("not offered"):
        problems.append("protocol %s: %s" % (name, text))
for name in ("TLS1_2", "TLS1_3"):
    text = finding(name)
    if text is None or not text.startswith("offered"):
        problems.append("protocol %s: %s" % (name, text or "not reported"))
for name in ("heartbleed", "CCS", "ticketbleed", "ROBOT", "secure_renego",
             "POODLE_SSL", "fallback_SCSV", "SWEET32", "FREAK", "DROWN",
             "LOGJAM", "BEAST", "LUCKY13", "RC4", "cert_chain_of_trust"):
    if name not in ids:
        problems.append("%s: not reported (scan incomplete?)" % name)
# Compression (CRIME) and renegotiation started by the client are what the
# relay switches off itself; said outright rather than left to severity.
for name in ("CRIME_TLS", "secure_client_renego"):
    text = finding(name)
    if text is None or not text.startswith("not vulnerable"):
        problems.append("%s: %s" % (name, text or "not reported"))
# Forward secrecy is "PFS" in older releases of testssl, "FS" in newer.
fs = finding("FS") if "FS" in ids else finding("PFS")
if fs is None or not fs.startswith("offered"):
    problems.append("forward secrecy: %s" % (fs or "not reported"))
# One finding per accepted cipher: "x1302   TLS_AES_256_GCM_SHA384   ECDH 253
# ..."; the third field is the key exchange, which must be ephemeral.
ciphers = [f for f in findings if f.get("id", "").startswith("cipher_x")]
if not ciphers:
    problems.append("no cipher reported accepted")
for f in ciphers:
    fields = f.get("finding", "").split()
    if len(fields) < 3 or not (fields[2].startswith("ECDH") or fields[2].startswith("DH")):
        problems.append("cipher without forward secrecy: %s" % " ".join(fields[:4]))
for p in problems:
    print("  " + p)
print("summary %d findings, %d ciphers accepted, TLS1_2 %s, TLS1_3 %s, forward secrecy %s, chain of trust %s" % (
    len(findings), len(ciphers), finding("TLS1_2"), finding("TLS1_3"), fs,
    finding("cert_chain_of_trust")))
sys.exit(1 if problems else 0)
EOF
  )"
  testsslVerdict=$?
  summary="$(sed -n 's/^summary //p' <<<"$testsslReport")"
  if [[ $testsslVerdict -eq 0 ]]; then
    ok "testssl (${testsslTime}s): nothing HIGH or CRITICAL, nothing below TLS 1.2; $summary"
  else
    fail "testssl (${testsslTime}s, exit $testsslRc): $summary; failed findings:"
    grep -v '^summary ' <<<"$testsslReport"
  fi
fi

# ---- sslscan --------------------------------------------------------------------

timeout 180 sslscan --no-colour "127.0.0.1:$TLS_PORT" >"$WORK/sslscan.out" 2>&1
sslscanRc=$?
sslscanProblems=()
protocolState() { awk -v p="$1" '$1 == p { print $2; exit }' "$WORK/sslscan.out"; }
for protocol in SSLv2 SSLv3 TLSv1.0 TLSv1.1; do
  state="$(protocolState "$protocol")"
  [[ $state == disabled ]] || sslscanProblems+=("$protocol ${state:-not reported}")
done
for protocol in TLSv1.2 TLSv1.3; do
  state="$(protocolState "$protocol")"
  [[ $state == enabled ]] || sslscanProblems+=("$protocol ${state:-not reported}")
done
# "Preferred"/"Accepted" lines: the cipher is the fifth field. TLS 1.3's
# suites are all ephemeral; below it only ECDHE key exchange is wanted
# (a protocol below 1.2 has failed above already).
accepted="$(awk '$1 == "Preferred" || $1 == "Accepted" { print $2, $5 }' "$WORK/sslscan.out")"
acceptedCount="$(grep -c . <<<"$accepted")"
[[ -n "$accepted" ]] || { sslscanProblems+=("no cipher accepted"); acceptedCount=0; }
while read -r protocol cipher; do
  [[ -n "$cipher" ]] || continue
  case "$protocol/$cipher" in
  TLSv1.3/TLS_AES_* | TLSv1.3/TLS_CHACHA20_* | TLSv1.[012]/ECDHE-*) ;;
  *) sslscanProblems+=("cipher without forward secrecy: $protocol $cipher") ;;
  esac
done <<<"$accepted"
# Debian's sslscan is linked with an OpenSSL built without compression and
# says it cannot test it; then compression is left to testssl's CRIME
# check, which asks for it with its own handshakes.
compression="compression disabled"
if grep -qx 'OpenSSL version does not support compression' "$WORK/sslscan.out"; then
  compression="compression not testable by this sslscan (checked by testssl)"
elif ! grep -qx 'Compression disabled' "$WORK/sslscan.out"; then
  sslscanProblems+=("compression: $(sed -n '/TLS Compression:/{n;p;}' "$WORK/sslscan.out")")
fi
grep -qx 'Session renegotiation not supported' "$WORK/sslscan.out" ||
  sslscanProblems+=("renegotiation: $(sed -n '/TLS renegotiation:/{n;p;}' "$WORK/sslscan.out")")
if [[ ${#sslscanProblems[@]} -eq 0 ]]; then
  ok "sslscan: SSLv2, SSLv3, TLS 1.0 and 1.1 disabled, 1.2 and 1.3 enabled, $acceptedCount ciphers accepted, all forward-secret, $compression, renegotiation not supported"
else
  fail "sslscan (exit $sslscanRc):"
  printf '  %s\n' "${sslscanProblems[@]}"
fi

# sslscan's renegotiation line is no proof either way (it read "not
# supported" from a relay that did renegotiate when asked), so one is asked
# for outright: openssl s_client sends one over TLS 1.2 ("R") and the relay
# must answer no_renegotiation.
(echo R; sleep 2) | timeout 20 openssl s_client -connect "127.0.0.1:$TLS_PORT" -tls1_2 \
  -CAfile "$WORK/ca.pem" -verify_return_error >"$WORK/renegotiation.out" 2>&1
if grep -q 'RENEGOTIATING' "$WORK/renegotiation.out" &&
  grep -q ':no renegotiation:' "$WORK/renegotiation.out"; then
  ok "a renegotiation asked for over TLS 1.2 is refused (no_renegotiation)"
else
  fail "a renegotiation over TLS 1.2 was not refused: $(grep -iE 'renegotiat|alert|error' "$WORK/renegotiation.out" | head -n 3)"
fi

# ---- What a login looks like on the wire -----------------------------------------

# capture <port> <file> <vornlogin options...>: one login captured on the
# loopback; sets CAPTURED (packets), LOGIN_RC, and CAPTURE_ERROR when the
# capture itself could not be made.
capture() {
  local port="$1" file="$2"
  shift 2
  CAPTURED=0 LOGIN_RC=-1 CAPTURE_ERROR=""
  # -U writes each packet as it comes, so that nothing is left in a buffer
  # when it is stopped.
  tcpdump -i lo -U -n -w "$file" "tcp port $port" >/dev/null 2>"$file.err" &
  DUMP=$!
  local dump=$DUMP _
  for _ in $(seq 1 50); do
    grep -q 'listening on' "$file.err" && break
    kill -0 "$dump" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -q 'listening on' "$file.err"; then
    CAPTURE_ERROR="tcpdump did not start: $(tail -n 2 "$file.err")"
    kill "$dump" 2>/dev/null
    wait "$dump" 2>/dev/null
    DUMP=""
    return
  fi
  timeout 30 "$BIN/vornlogin" "$@" -u "$USER_NAME" -p "$PASSWORD" "127.0.0.1:$port" \
    </dev/null >"$file.login" 2>&1
  LOGIN_RC=$?
  sleep 1
  kill -INT "$dump" 2>/dev/null
  wait "$dump" 2>/dev/null
  DUMP=""
  CAPTURED="$(tcpdump -r "$file" -n 2>/dev/null | grep -c .)"
}

# found <file> <text>: how many lines of the capture's bytes hold text.
found() { grep -c -a -F -- "$2" "$1"; }

capture "$TLS_PORT" "$WORK/tls.pcap" --tls --ca "$WORK/ca.pem"
if [[ -n "$CAPTURE_ERROR" ]]; then
  fail "capture of a TLS login: $CAPTURE_ERROR"
elif [[ $LOGIN_RC -ne 0 ]]; then
  fail "a TLS login exited $LOGIN_RC: $(tail -n 3 "$WORK/tls.pcap.login")"
elif [[ $CAPTURED -lt 6 ]]; then
  fail "a TLS login: only $CAPTURED packets captured"
else
  passwordHits="$(found "$WORK/tls.pcap" "$PASSWORD")"
  userHits="$(found "$WORK/tls.pcap" "$USER_NAME")"
  if [[ $passwordHits -eq 0 && $userHits -eq 0 ]]; then
    ok "a TLS login: $CAPTURED packets captured, neither the password nor the user name in them"
  else
    fail "a TLS login: in the capture the password $passwordHits time(s), the user name $userHits time(s)"
  fi
fi

if ! start_on_free_port plaincontrol No; then
  fail "the control daemon without TLS did not listen: $(tail -n 5 "$WORK/plaincontrol.log")"
else
  PLAIN_PORT="$PORT"
  capture "$PLAIN_PORT" "$WORK/plain.pcap"
  if [[ -n "$CAPTURE_ERROR" ]]; then
    fail "capture of a login without TLS: $CAPTURE_ERROR"
  elif [[ $LOGIN_RC -ne 0 ]]; then
    fail "a login without TLS exited $LOGIN_RC: $(tail -n 3 "$WORK/plain.pcap.login")"
  else
    passwordHits="$(found "$WORK/plain.pcap" "$PASSWORD")"
    userHits="$(found "$WORK/plain.pcap" "$USER_NAME")"
    if [[ $passwordHits -gt 0 && $userHits -gt 0 ]]; then
      ok "control, a login without TLS: $CAPTURED packets, the password and the user name found in them"
    else
      fail "control, a login without TLS: the search found the password $passwordHits time(s), the user name $userHits time(s); it cannot be trusted to find them"
    fi
  fi
fi

echo "tls checks: $FAILURES failed check(s) in $((SECONDS - START))s"
[[ $FAILURES -eq 0 ]]
