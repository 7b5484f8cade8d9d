#!/usr/bin/env bash
# The Windows build driven as an administrator would drive it on Windows,
# under Wine's own service manager, registry and Winsock: install an
# instance of the sample engine, read its status, log in to it from the
# native Linux client, read its status page, modify its environment (which
# restarts it), stop, start and remove it. Every step checks what it saw;
# the instance is removed at the end whatever happened.
#
#   scripts/wine_end_to_end.sh <windows build folder> <wine loader> <native vornlogin>
#
# The caller has the Wine prefix set up and its server running (see
# scripts/test.sh). Exits non-zero when any step failed.
set -uo pipefail

BUILD="$1"
LOADER="$2"
VORNLOGIN="$3"
NAME="vornwine$$"
FAILURES=0
START=$SECONDS

# A free port: nothing answers there now.
PORT=$((20000 + $$ % 20000))
while (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; do PORT=$((PORT + 1)); done

windowsPath() { local path="$1"; printf 'Z:%s' "${path//\//\\}"; }

# vornd.exe with its output as Linux text; the exit status in STATUS.
vornd() {
  OUTPUT="$("$LOADER" "$BUILD/bin/vornd.exe" "$@" 2>/dev/null </dev/null | tr -d '\r')"
  STATUS=${PIPESTATUS[0]}
}

check() {  # description, expected, actual
  if [[ "$2" == "$3" ]]; then
    echo "ok    $1"
  else
    echo "FAIL  $1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/      /'
    FAILURES=$((FAILURES + 1))
  fi
}

checkContains() {  # description, text expected inside, actual
  if [[ "$3" == *"$2"* ]]; then
    echo "ok    $1"
  else
    echo "FAIL  $1: no \"$2\" in:"
    printf '%s\n' "$3" | head -40 | sed 's/^/      /'
    FAILURES=$((FAILURES + 1))
  fi
}

cleanup() {
  "$LOADER" "$BUILD/bin/vornd.exe" -remove "-name=$NAME" >/dev/null 2>&1 </dev/null
}
trap cleanup EXIT

# Waits until -status shows the state word for the instance.
waitForState() {
  local word="$1"
  for _ in $(seq 1 100); do
    vornd -status
    [[ "$OUTPUT" == *"Status:       $word"* ]] && return 0
    sleep 0.2
  done
  return 1
}

# The status page from the instance's port, once it answers.
page() {
  local text=""
  for _ in $(seq 1 100); do
    if exec 3<>"/dev/tcp/127.0.0.1/$PORT" 2>/dev/null; then
      printf 'GET / HTTP/1.0\r\n\r\n' >&3
      text="$(tr -d '\r' <&3)"
      exec 3<&-
      [[ -n "$text" ]] && break
    fi
    sleep 0.2
  done
  printf '%s' "$text"
}

ENGINE="$(windowsPath "$BUILD/bin/vorn-echo-engine.exe")"
NOT_A_PROGRAM="$(windowsPath "$BUILD/bin/vornd_tests.exe")"

vornd -install "-name=$NAME" "-port=$PORT" "-engine=$NOT_A_PROGRAM" -AM=Vorn
check "an engine without version information is refused" \
  "The engine name you provided does not seem to be an executable" "$OUTPUT"
check "  ... with exit status 1" 1 "$STATUS"

vornd -install "-name=$NAME" "-port=$PORT" "-engine=$ENGINE" -AM=Vorn FOO=bar
check "install creates, configures and starts the instance" \
  "$(printf '\n%s Created\n%s Configured\n\n%s Started\n%s will start automatically each time you boot your system' \
     "$NAME" "$NAME" "$NAME" "$NAME")" "$OUTPUT"
check "  ... with exit status 0" 0 "$STATUS"

waitForState running
check "status lists the instance, running" \
  "$(printf 'Service Name: %s\nDisplay Name: %s-%s\nStatus:       running' "$NAME" "$NAME" "$PORT")" \
  "$OUTPUT"

LOGIN="$(printf 'ping\n' | "$VORNLOGIN" -u wineuser -p secret "127.0.0.1:$PORT" 2>/tmp/vornlogin.err.$$)"
LOGIN_STATUS=$?
check "a native client logs in and talks to the engine on the handed-over socket" \
  "$(printf 'hello, wineuser\nping')" "$LOGIN"
check "  ... accepted (exit status 0)" 0 "$LOGIN_STATUS"
rm -f /tmp/vornlogin.err.$$

PAGE="$(page)"
checkContains "the status page comes from the same port" "HTTP/1.0 200 OK" "$PAGE"
checkContains "  ... names the instance" "<H1>$NAME</H1>" "$PAGE"
checkContains "  ... counts the client served" \
  'Clients Served</td><td class="th">1</td>' "$PAGE"
checkContains "  ... shows the environment" \
  '<td class="tb">FOO</td><td class="tb">bar</td>' "$PAGE"

vornd -modify "$NAME" FOO=baz
check "modify sets the variable and restarts the instance" \
  "$(printf 'Service: %s stop requested\nService: %s start requested' "$NAME" "$NAME")" "$OUTPUT"
check "  ... with exit status 0" 0 "$STATUS"
waitForState running
PAGE="$(page)"
checkContains "the restarted instance gives engines the new value" \
  '<td class="tb">FOO</td><td class="tb">baz</td>' "$PAGE"
checkContains "  ... and counts from zero again" \
  'Clients Served</td><td class="th">0</td>' "$PAGE"

vornd -stop "$NAME"
check "stop" "Service: $NAME stop requested" "$OUTPUT"
waitForState stopped
checkContains "  ... the instance stops" "Status:       stopped" "$OUTPUT"

vornd -start "$NAME"
check "start" "Service: $NAME start requested" "$OUTPUT"
waitForState running
checkContains "  ... the instance runs again" "Status:       running" "$OUTPUT"
LOGIN="$(printf 'again\n' | "$VORNLOGIN" -u second -p x "127.0.0.1:$PORT" 2>/dev/null)"
check "  ... and serves logins" "$(printf 'hello, second\nagain')" "$LOGIN"

vornd -remove "-name=$NAME"
check "remove stops and deletes the instance" \
  "$(printf '%s stopped\n%s removed' "$NAME" "$NAME")" "$OUTPUT"
vornd -status
check "  ... and it is no longer listed" "" "$OUTPUT"

echo "end-to-end under Wine: $FAILURES failed step(s), $((SECONDS - START)) s"
[[ $FAILURES -eq 0 ]]
