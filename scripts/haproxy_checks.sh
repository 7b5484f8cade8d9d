#!/usr/bin/env bash
# Two daemons behind a real HAProxy, configured from the sample the package
# ships (packaging/haproxy/vornd.cfg, with this run's addresses and ports
# written in and shorter check intervals), so that the sample stays tested:
#
#   - two daemons on free loopback ports, each trusting 127.0.0.1 (the
#     balancer) with ProxyProtocolFrom, method Vorn, and an engine that
#     writes down the client address and port the daemon hands it;
#   - HAProxy in the foreground, one frontend on a free loopback port,
#     balancing both with send-proxy-v2 and checking the status page
#     through the PROXY protocol;
#   - both servers must be UP after a check that passed at layer 7, and
#     the checks must leave no refusal in either daemon's event log;
#   - logins from 127.0.0.9, through the frontend: all accepted, both
#     engines used, and each engine told exactly the client's address and
#     port (127.0.0.9, never the balancer's 127.0.0.1);
#   - a connection straight from 127.0.0.1 without a header: closed, and
#     its refusal line says why;
#   - the second daemon restarted with method HTPassword: HAProxy takes it
#     back once it answers, and its refusal lines name 127.0.0.9 and the
#     ports of exactly the logins it refused;
#   - that daemon killed with SIGKILL: once HAProxy has marked it DOWN,
#     40 logins in a row are all accepted by the other.
#
#   scripts/haproxy_checks.sh <native build folder>
#
# The generated configuration, HAProxy's log, the daemons' output and
# event logs and what the engines wrote down are kept in
# <build>/haproxy-checks/.
#
# Needs haproxy (installed by scripts/test.sh) and python3, and root:
# HAProxy runs as the sample says, chrooted under its own account. Prints
# one "ok" or "FAIL" line a check; exits non-zero when any failed.
set -u

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$(cd "${1:?usage: haproxy_checks.sh <build folder>}" && pwd)"
BIN="$BUILD/bin"
OUT="$BUILD/haproxy-checks"
SAMPLE="$ROOT/packaging/haproxy/vornd.cfg"
BALANCER=127.0.0.1
CLIENT=127.0.0.9
USER_NAME=balanced
FAILURES=0
START=$SECONDS

ok() { echo "ok    $1"; }
fail() {
  echo "FAIL  $1"
  FAILURES=$((FAILURES + 1))
}

rm -rf "$OUT"
WORK="$(mktemp -d /tmp/vornd-haproxy-checks.XXXXXX)"
declare -A DAEMON_PID=()
HAPROXY_PID=""
cleanup() {
  local pid
  for pid in "${DAEMON_PID[@]}" $HAPROXY_PID; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  mkdir -p "$OUT"
  cp "$WORK"/*.cfg "$WORK"/*.log "$WORK"/*.clients "$WORK"/*.logins "$OUT"/ 2>/dev/null
  local root
  for root in "$WORK"/root-*; do
    [[ -f "$root/log/events.log" ]] && cp "$root/log/events.log" "$OUT/${root##*/root-}.events.log"
  done
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

missing=()
for tool in haproxy python3; do
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
if [[ $(id -u) != 0 ]]; then
  fail "run as root: HAProxy changes root and account as the sample configuration says"
  exit 1
fi

# ---- The client --------------------------------------------------------------------

# logins <host> <port> <source> <user> <count>: that many logins one after
# another, each from <source>, each waiting for the connection's end (an
# accepted one ends when its engine does). One line a login: the client's
# own port and what came of it: accepted (0x00 0x01, then the end),
# refused (0x00 0x00), closed (the end before any reply), or anything else
# as seen, with "+reset" when the connection ended in a reset (a daemon
# that closes a connection whose bytes it has not read resets it).
# page <host> <port> <source>: a GET of the status page, the response.
# servers <stats socket>: "show stat", one line a server: backend, server,
# status, check status, last check.
cat >"$WORK/client.py" <<'EOF'
import csv
import socket
import sys

def read_to_end(s, limit=1 << 20):
    """What the peer sent up to its end, and whether the end was a reset."""
    data = b""
    while len(data) < limit:
        try:
            chunk = s.recv(65536)
        except ConnectionResetError:
            return data, True
        if not chunk:
            break
        data += chunk
    return data, False

def one_login(host, port, source, user):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(10)
    s.bind((source, 0))
    own = s.getsockname()[1]
    try:
        s.connect((host, port))
        record = bytearray(331)
        name = user.encode()
        record[0:len(name)] = name
        record[21:21 + 6] = b"secret"
        s.sendall(record)
        got, reset = read_to_end(s)
        if got == b"\x00\x01":
            outcome = "accepted"
        elif got == b"\x00\x00":
            outcome = "refused"
        elif got == b"":
            outcome = "closed"
        else:
            outcome = "reply:" + got[:16].hex()
        if reset:
            outcome += "+reset"
    except socket.timeout:
        outcome = "timeout"
    except ConnectionResetError:
        # Reset before the record was sent: nothing came back.
        outcome = "closed+reset"
    except OSError as e:
        outcome = "error:" + (e.strerror or str(e)).replace(" ", "_")
    finally:
        s.close()
    return own, outcome

def main():
    what = sys.argv[1]
    if what == "logins":
        host, port, source, user, count = sys.argv[2:7]
        for _ in range(int(count)):
            own, outcome = one_login(host, int(port), source, user)
            print(own, outcome, flush=True)
    elif what == "page":
        host, port, source = sys.argv[2:5]
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(10)
        s.bind((source, 0))
        s.connect((host, int(port)))
        s.sendall(b"GET / HTTP/1.0\r\n\r\n")
        sys.stdout.write(read_to_end(s)[0].decode("latin-1"))
    elif what == "servers":
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(5)
        s.connect(sys.argv[2])
        s.sendall(b"show stat\n")
        text = read_to_end(s)[0].decode()
        rows = csv.DictReader(io_lines(text))
        for row in rows:
            if row["svname"] in ("FRONTEND", "BACKEND"):
                continue
            print(row["# pxname"], row["svname"], row["status"].replace(" ", "_"),
                  row["check_status"] or "-", row.get("last_chk") or "-")

def io_lines(text):
    return [line for line in text.splitlines() if line.strip()]

main()
EOF

client() { timeout 120 python3 "$WORK/client.py" "$@"; }

# ---- Daemons -----------------------------------------------------------------------

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# The engine writes down who the daemon says the client is, one line a
# login, in <name>.clients. It has only the environment the daemon builds,
# so no PATH: printf is the shell's own.
make_engine() {
  local name="$1"
  : >"$WORK/$name.clients"
  cat >"$WORK/engine-$name" <<EOF
#!/bin/sh
printf '%s %s\n' "\${VORND_CLIENT_ADDRESS:-none}" "\${VORND_CLIENT_PORT:-none}" >>"$WORK/$name.clients"
EOF
  chmod 0755 "$WORK/engine-$name"
}

# start_daemon <name> <port> <method>: a daemon in the console under its
# own registry root in $WORK, trusting the balancer, listening on the
# loopback alone.
start_daemon() {
  local name="$1" port="$2" method="$3"
  local key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$name\\Config"
  export VORND_ROOT="$WORK/root-$name"
  mkdir -p "$VORND_ROOT"
  setting() { "$BIN/vornreg" add "$key" /v "$1" /t REG_SZ /d "$2" /f >/dev/null; }
  setting SockPort "$port" &&
    setting SockListenAddress 127.0.0.1 &&
    setting CreateDesktop No &&
    setting IncludeSystemEnv No &&
    setting AuthenticationMethod "$method" &&
    setting VornExecutable "$WORK/engine-$name" &&
    setting ProxyProtocolFrom "$BALANCER" || return 1
  "$BIN/vornd" -debug "$name" >>"$WORK/$name.log" 2>&1 &
  DAEMON_PID[$name]=$!
  local _
  for _ in $(seq 1 100); do
    listening "$port" && return 0
    kill -0 "${DAEMON_PID[$name]}" 2>/dev/null || break
    sleep 0.1
  done
  return 1
}

stop_daemon() {  # name [signal]
  local pid="${DAEMON_PID[$1]:-}"
  [[ -n $pid ]] || return 0
  kill "-${2:-TERM}" "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  unset "DAEMON_PID[$1]"
}

# start_on_free_port <name> <method>: start_daemon on a port free a moment
# ago, with two more tries should another program take it meanwhile; the
# port is left in PORT.
start_on_free_port() {
  local try
  for try in 1 2 3; do
    PORT="$(free_port)"
    start_daemon "$1" "$PORT" "$2" && return 0
    stop_daemon "$1"
    echo "try $try: port $PORT was not to be had" >>"$WORK/$1.log"
  done
  return 1
}

events() { cat "$WORK/root-$1/log/events.log" 2>/dev/null; }

make_engine one
make_engine two
PORT=
for name in one two; do
  if start_on_free_port "$name" Vorn; then
    declare "PORT_${name^^}=$PORT"
    ok "daemon $name (method Vorn, ProxyProtocolFrom $BALANCER) listens on 127.0.0.1:$PORT"
  else
    fail "daemon $name did not listen: $(tail -n 5 "$WORK/$name.log")"
    exit 1
  fi
done

# ---- HAProxy -----------------------------------------------------------------------

# The sample with this run's addresses: the frontend on a free loopback
# port, its first two servers the two daemons (the others dropped), the
# stats socket in $WORK, the log on standard output, and checks every
# 300 ms, a server taken out after 2 failed ones and back after 2 good
# ones. Every change must find its line in the sample exactly as expected,
# so that an edit of the sample that this misses fails here instead of
# going untested.
FRONT_PORT="$(free_port)"
STATS="$WORK/haproxy.sock"
generated="$(python3 - "$SAMPLE" "$WORK/haproxy.cfg" "$WORK/haproxy-optional.cfg" \
  "$FRONT_PORT" "$PORT_ONE" "$PORT_TWO" "$STATS" <<'EOF'
import re
import sys

sample, out, optional, front, one, two, stats = sys.argv[1:]
text = open(sample).read()
problems = []

def sub(what, pattern, replacement, expected=1):
    global text
    text, n = re.subn(pattern, replacement, text, flags=re.M)
    if n != expected:
        problems.append("%s: %d matches of /%s/, %d expected" % (what, n, pattern, expected))

sub("log", r"^(\s*)log /dev/log\s+local0$", r"\1log stdout format raw local0")
sub("second log", r"^\s*log /dev/log\s+local1 notice\n", "")
sub("stats socket", r"^(\s*stats socket )\S+", r"\g<1>" + stats)
sub("bind", r"^(\s*bind )\S+$", r"\g<1>127.0.0.1:" + front)
sub("check timing", r"\binter \S+ fall \d+ rise \d+\b", "inter 300ms fall 2 rise 2")
servers = re.findall(r"^\s*server \S+ \S+", text, flags=re.M)
if len(servers) < 2:
    problems.append("%d server lines, at least 2 expected" % len(servers))
else:
    count = [0]
    def server(match):
        count[0] += 1
        if count[0] == 1:
            return "%sserver one 127.0.0.1:%s%s" % (match.group(1), one, match.group(2))
        if count[0] == 2:
            return "%sserver two 127.0.0.1:%s%s" % (match.group(1), two, match.group(2))
        return "%s# server dropped for the checks%s" % (match.group(1), match.group(2))
    text = re.sub(r"^(\s*)server \S+ \S+(.*)$", server, text, flags=re.M)
# What the checks are about must be in force, not only in a comment.
directives = [line.split("#")[0].split() for line in text.splitlines()]
for needed in (["send-proxy-v2"], ["check-send-proxy"], ["option", "httpchk", "GET", "/"]):
    if not any(needed == words[:len(needed)] or
               (len(needed) == 1 and needed[0] in words) for words in directives):
        problems.append("no %s in the sample's settings" % " ".join(needed))
open(out, "w").write(text)
# The optional lines (the balancer's own rate limit) taken in, for a
# syntax check.
text, n = re.subn(r"^(\s*)#((stick-table|tcp-request) )", r"\1\2", text, flags=re.M)
if n != 3:
    problems.append("%d optional rate-limit lines, 3 expected" % n)
open(optional, "w").write(text)
print("; ".join(problems))
EOF
)"
if [[ -z "$generated" ]]; then
  ok "the sample configuration with this run's addresses and ports written in"
else
  fail "the sample configuration: $generated"
fi
if haproxy -c -f "$WORK/haproxy.cfg" >"$WORK/haproxy-check.log" 2>&1; then
  ok "haproxy -c: the generated configuration is valid"
else
  fail "haproxy -c: $(tail -n 5 "$WORK/haproxy-check.log")"
  exit 1
fi
if haproxy -c -f "$WORK/haproxy-optional.cfg" >"$WORK/haproxy-optional-check.log" 2>&1; then
  ok "haproxy -c: valid with the sample's optional rate limit taken in too"
else
  fail "haproxy -c with the optional rate limit: $(tail -n 5 "$WORK/haproxy-optional-check.log")"
fi

# -db: in the foreground, whatever the configuration says.
haproxy -db -f "$WORK/haproxy.cfg" >"$WORK/haproxy.log" 2>&1 &
HAPROXY_PID=$!
for _ in $(seq 1 100); do
  [[ -S "$STATS" ]] && listening "$FRONT_PORT" && break
  kill -0 "$HAPROXY_PID" 2>/dev/null || break
  sleep 0.1
done
if [[ -S "$STATS" ]] && listening "$FRONT_PORT"; then
  ok "HAProxy $(haproxy -v | awk 'NR == 1 { print $3 }') listens on 127.0.0.1:$FRONT_PORT"
else
  fail "HAProxy did not start: $(tail -n 5 "$WORK/haproxy.log")"
  exit 1
fi

# server_line <server>: its "backend server status check last-check" line.
server_line() { client servers "$STATS" 2>/dev/null | awk -v s="$1" '$2 == s'; }

now_ms() { date +%s%3N; }

# wait_for <server> <UP|DOWN> <seconds>: until HAProxy says so, having
# checked it (an UP before the first check proves nothing, so UP needs a
# check that passed at layer 7). Leaves the last line in SERVER_LINE and
# the milliseconds it took in WAITED.
wait_for() {
  local server="$1" state="$2" start status check
  start=$(now_ms)
  while :; do
    SERVER_LINE="$(server_line "$server")"
    WAITED=$(($(now_ms) - start))
    read -r _ _ status check _ <<<"$SERVER_LINE"
    if [[ $status == "$state" ]]; then
      [[ $state == DOWN || $check == L7OK ]] && return 0
    fi
    [[ $WAITED -ge $(($3 * 1000)) ]] && return 1
    sleep 0.1
  done
}

for name in one two; do
  if wait_for "$name" UP 10; then
    ok "HAProxy: server $name UP, its health check passed: $SERVER_LINE"
  else
    fail "HAProxy: server $name not UP within 10 s: ${SERVER_LINE:-no line in show stat}"
  fi
done

# The checks come from the balancer with a LOCAL header; they are no
# clients, and nothing in either event log may come of them.
sleep 1
for name in one two; do
  refusals="$(events "$name" | grep -c 'WARNING')"
  if [[ $refusals -eq 0 ]]; then
    ok "daemon $name: the health checks left no warning in its event log"
  else
    fail "daemon $name: $refusals warning(s) in its event log after the health checks: $(events "$name" | grep WARNING | tail -n 2)"
  fi
done

# ---- Logins through the balancer -----------------------------------------------------

page="$(client page 127.0.0.1 "$FRONT_PORT" "$CLIENT" 2>&1)"
if [[ $page == "HTTP/1.0 200"* && $page == *"Clients Served"* && $page == *"Clients Rejected"* ]]; then
  ok "the status page through the frontend, from $CLIENT"
else
  fail "the status page through the frontend: $(head -c 200 <<<"$page")"
fi

# outcomes <file> <outcome>: the client ports of the logins with that
# outcome, one a line, sorted.
outcomes() { awk -v o="$2" '$2 == o { print $1 }' "$1" | sort; }
# clients_since <name> <line>: what engine <name> wrote down after that
# many lines.
clients_since() { tail -n "+$(($2 + 1))" "$WORK/$1.clients"; }
lines() { grep -c . "$WORK/$1.clients"; }
# wait_for_clients <count> <name...>: until the engines named have written
# that many lines between them since the marks in MARK[].
declare -A MARK=()
wait_for_clients() {
  local want="$1" name total _
  shift
  for _ in $(seq 1 30); do
    total=0
    for name in "$@"; do total=$((total + $(lines "$name") - MARK[$name])); done
    [[ $total -ge $want ]] && return 0
    sleep 0.1
  done
  return 1
}
# differ <expected> <actual>: the lines of each that the other lacks.
differ() { diff <(grep . <<<"$1") <(grep . <<<"$2") | grep '^[<>]' | head -n 20 | sed 's/^/      /'; }
mark() { local name; for name in one two; do MARK[$name]=$(lines "$name"); done; }
# as_told <ports>: what the engines should have written for those client
# ports, sorted.
as_told() { awk -v address="$CLIENT" 'NF { print address, $1 }' <<<"$1" | sort; }
# told <name...>: the lines the engines wrote since the marks, sorted.
told() { local name; for name in "$@"; do clients_since "$name" "${MARK[$name]}"; done | sort; }

COUNT=10
mark
client logins 127.0.0.1 "$FRONT_PORT" "$CLIENT" "$USER_NAME" "$COUNT" >"$WORK/first.logins" 2>&1
accepted="$(outcomes "$WORK/first.logins" accepted)"
acceptedCount="$(grep -c . <<<"$accepted")"
if [[ $acceptedCount -eq $COUNT ]]; then
  ok "$COUNT logins from $CLIENT through the frontend: all accepted"
else
  fail "$COUNT logins from $CLIENT through the frontend: $acceptedCount accepted; $(awk '{ print $2 }' "$WORK/first.logins" | sort | uniq -c | xargs)"
fi
wait_for_clients "$acceptedCount" one two
expected="$(as_told "$accepted")"
if [[ $acceptedCount -gt 0 && "$(told one two)" == "$expected" ]]; then
  ok "the engines were told each client's own address and port ($CLIENT, $acceptedCount logins)"
else
  fail "the engines were told (address port; < the clients, > the engines):"
  differ "$expected" "$(told one two)"
fi
oneCount=$(($(lines one) - MARK[one]))
twoCount=$(($(lines two) - MARK[two]))
if [[ $oneCount -gt 0 && $twoCount -gt 0 ]]; then
  ok "both servers took logins: $oneCount and $twoCount"
else
  fail "the logins were not spread: $oneCount on one, $twoCount on two"
fi

# Straight to a daemon from the balancer's address, with no header: it
# must be closed without a reply (reset, since the record is left unread),
# and refused for that.
client logins 127.0.0.1 "$PORT_ONE" "$BALANCER" direct 1 >"$WORK/direct.logins" 2>&1
read -r directPort directOutcome <"$WORK/direct.logins"
line=""
for _ in $(seq 1 30); do
  line="$(events one | grep -F "from $BALANCER port $directPort" | grep -F 'bad PROXY protocol header')"
  [[ -n $line ]] && break
  sleep 0.1
done
if [[ ($directOutcome == closed || $directOutcome == closed+reset) && -n $line ]]; then
  ok "a connection from $BALANCER without a header: closed, refusal line \"${line#* WARNING }\""
else
  fail "a connection from $BALANCER without a header: $directOutcome; its refusal line: ${line:-none}"
fi

# ---- One server refusing ----------------------------------------------------------

# Daemon two stopped; once HAProxy has seen it go, started again with
# method HTPassword, which refuses every login.
stop_daemon two
if wait_for two DOWN 10; then
  ok "daemon two stopped: HAProxy marks it DOWN ($WAITED ms): $SERVER_LINE"
else
  fail "daemon two stopped: not DOWN within 10 s: $SERVER_LINE"
fi
if start_daemon two "$PORT_TWO" HTPassword; then
  if wait_for two UP 10; then
    ok "daemon two started again with method HTPassword: UP again ($WAITED ms)"
  else
    fail "daemon two started again: not UP within 10 s: $SERVER_LINE"
  fi
else
  fail "daemon two did not start again: $(tail -n 5 "$WORK/two.log")"
fi

COUNT=8
mark
client logins 127.0.0.1 "$FRONT_PORT" "$CLIENT" "$USER_NAME" "$COUNT" >"$WORK/second.logins" 2>&1
accepted="$(outcomes "$WORK/second.logins" accepted)"
refused="$(outcomes "$WORK/second.logins" refused)"
acceptedCount="$(grep -c . <<<"$accepted")"
refusedCount="$(grep -c . <<<"$refused")"
if [[ $((acceptedCount + refusedCount)) -eq $COUNT && $acceptedCount -gt 0 && $refusedCount -gt 0 ]]; then
  ok "$COUNT logins: $acceptedCount accepted by one, $refusedCount refused by two"
else
  fail "$COUNT logins with two refusing: $(awk '{ print $2 }' "$WORK/second.logins" | sort | uniq -c | xargs)"
fi
wait_for_clients "$acceptedCount" one
expected="$(as_told "$accepted")"
if [[ $acceptedCount -gt 0 && "$(told one)" == "$expected" && -z "$(told two)" ]]; then
  ok "engine one was told the accepted clients, engine two nothing"
else
  fail "engine one was told (< the accepted clients, > engine one; engine two: $(told two | xargs)):"
  differ "$expected" "$(told one)"
fi
# refused_ports: the client ports of the refusal lines for this method, as
# daemon two wrote them.
pattern="^Login refused for user $USER_NAME from ${CLIENT//./\\.} port ([0-9]+): every login is refused by this method\$"
refused_ports() {
  events two | sed -n 's/^.* WARNING //p' | sed -En "s/$pattern/\\1/p" | sort
}
for _ in $(seq 1 30); do
  [[ "$(refused_ports | grep -c .)" -ge $refusedCount ]] && break
  sleep 0.1
done
if [[ $refusedCount -gt 0 && "$(refused_ports)" == "$refused" ]]; then
  ok "daemon two's refusal lines name $CLIENT and the port of each refused client ($refusedCount)"
else
  fail "daemon two's refusal lines (< the refused clients' ports, > the lines' ports):"
  differ "$refused" "$(refused_ports)"
  events two | grep WARNING | tail -n 3 | sed 's/^/      /'
fi
balancerLines="$(events two | grep -F "from $BALANCER port" | grep -c .)"
if [[ $balancerLines -eq 0 ]]; then
  ok "daemon two: no refusal line names the balancer's address"
else
  fail "daemon two: $balancerLines refusal line(s) name $BALANCER: $(events two | grep -F "from $BALANCER port" | tail -n 1)"
fi

# ---- A server lost -----------------------------------------------------------------

stop_daemon two KILL
if wait_for two DOWN 10; then
  ok "daemon two killed (SIGKILL): HAProxy marks it DOWN ($WAITED ms)"
else
  fail "daemon two killed: not DOWN within 10 s: $SERVER_LINE"
fi
COUNT=40
mark
client logins 127.0.0.1 "$FRONT_PORT" "$CLIENT" "$USER_NAME" "$COUNT" >"$WORK/third.logins" 2>&1
accepted="$(outcomes "$WORK/third.logins" accepted)"
acceptedCount="$(grep -c . <<<"$accepted")"
if [[ $acceptedCount -eq $COUNT ]]; then
  ok "$COUNT logins in a row with two down: all accepted"
else
  fail "$COUNT logins in a row with two down: $(awk '{ print $2 }' "$WORK/third.logins" | sort | uniq -c | xargs)"
fi
wait_for_clients "$acceptedCount" one
expected="$(as_told "$accepted")"
if [[ $acceptedCount -gt 0 && "$(told one)" == "$expected" ]]; then
  ok "engine one was told each of them, as $CLIENT and its port"
else
  fail "engine one was told (< the accepted clients, > engine one):"
  differ "$expected" "$(told one)"
fi
if wait_for one UP 0; then
  ok "HAProxy: server one still UP: $SERVER_LINE"
else
  fail "HAProxy: server one: $SERVER_LINE"
fi

echo "haproxy checks: $FAILURES failed check(s) in $((SECONDS - START))s"
[[ $FAILURES -eq 0 ]]
