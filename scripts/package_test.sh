#!/usr/bin/env bash
# The Debian package end to end, on this machine, as an administrator
# would use it: build the package, install it, check what it put where,
# install an instance of the sample engine under /var/lib/vornd, stop and
# start it as the boot unit does, log in to it, read its status, remove it,
# then remove the package (its state stays) and purge it (nothing stays).
#
#   scripts/package_test.sh
#
# Run as root on a machine where vornd is not installed and /var/lib/vornd
# does not exist: both are the package's to create and delete. Installs
# what it needs with apt-get first (VORND_SKIP_APT=1 skips that). Never
# starts the systemd unit. Prints one "ok" or "FAIL" line a check, the
# package's size and file list; exits non-zero when any check failed. On
# any way out, whatever it installed is purged again.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/packages.sh
source "$ROOT/scripts/packages.sh"
export DEBIAN_FRONTEND=noninteractive
# The installed programs must find the machine's own state root.
unset VORND_ROOT

BUILD="$ROOT/build-pkg"
STATE=/var/lib/vornd
NAME="vornpkg$$"
FAILURES=0
INSTALLED=0
WORK="$(mktemp -d)"
# Another apt-get on the machine is waited for, not failed on.
APT=(apt-get -o DPkg::Lock::Timeout=600)

log() { printf '\n==== %s\n' "$*"; }
die() {
  printf 'package_test.sh: %s\n' "$*" >&2
  exit 1
}
pass() { echo "ok    $1"; }
fail() {
  echo "FAIL  $1"
  FAILURES=$((FAILURES + 1))
}
check() {  # description, command...
  local what="$1"
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
checkContains() {  # description, text expected inside, actual
  if [[ "$3" == *"$2"* ]]; then
    pass "$1"
  else
    fail "$1: no \"$2\" in:"
    printf '%s\n' "$3" | head -40 | sed 's/^/      /'
  fi
}
checkEqual() {  # description, expected, actual
  if [[ "$2" == "$3" ]]; then
    pass "$1"
  else
    fail "$1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/      /'
  fi
}
checkLacks() {  # description, text not expected inside, actual
  if [[ "$3" != *"$2"* ]]; then
    pass "$1"
  else
    fail "$1: \"$2\" in:"
    printf '%s\n' "$3" | grep -F -- "$2" | head -10 | sed 's/^/      /'
  fi
}
# The value of a key in one [section] of an ini-style file.
iniValue() {  # file, section, key
  awk -v section="[$2]" -v key="$3" '
    /^[ \t]*\[/ { inside = ($1 == section) }
    inside && $0 ~ "^[ \t]*" key "[ \t]*=" { sub(/^[^=]*=[ \t]*/, ""); sub(/[ \t]+$/, ""); print }
  ' "$1"
}

# Whatever happens, the machine is left as it was found.
restore() {
  if [[ $INSTALLED == 1 ]] && dpkg -s vornd >/dev/null 2>&1; then
    echo "restoring: removing the instance and purging vornd"
    if [[ -x /usr/sbin/vornd ]]; then
      for name in "$NAME" "${NAME}k"; do
        (cd / && /usr/sbin/vornd -remove "-name=$name") >/dev/null 2>&1 </dev/null
      done
    fi
    "${APT[@]}" purge -y vornd >/dev/null 2>&1
  fi
  rm -rf "$WORK"
}
trap restore EXIT
trap 'exit 130' INT TERM

[[ $(id -u) == 0 ]] || die "run as root: the package is installed on this machine"
if dpkg -s vornd 2>/dev/null | grep -q '^Status: .* \(installed\|config-files\)$'; then
  die "vornd is installed on this machine already; this stage installs and purges it"
fi
[[ -e $STATE ]] && die "$STATE exists already; the purge at the end would delete it"

# ---- Packages and the build ------------------------------------------------------

# The packaging tools; scripts/packages.sh may list them itself.
if ! declare -p VORND_PACKAGE_PACKAGES >/dev/null 2>&1; then
  VORND_PACKAGE_PACKAGES=(dpkg-dev file groff-base man-db mandoc lintian)
fi
if [[ "${VORND_SKIP_APT:-0}" != 1 ]]; then
  log "Installing packages"
  vornd_apt_update || die "apt-get update failed"
  vornd_apt_install "${VORND_NATIVE_PACKAGES[@]}" "${VORND_PACKAGE_PACKAGES[@]}" ||
    die "apt-get install failed"
fi

log "Building the package in $BUILD"
rm -f "$BUILD"/vornd_*.deb
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DVORND_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX=/usr || die "configure failed"
cmake --build "$BUILD" || die "build failed"
(cd "$BUILD" && cpack -G DEB) || die "cpack failed"
shopt -s nullglob
debs=("$BUILD"/vornd_*_*.deb)
shopt -u nullglob
[[ ${#debs[@]} == 1 ]] || die "expected one vornd_<version>_<arch>.deb in $BUILD, found ${#debs[@]}"
DEB="${debs[0]}"

# ---- The package file --------------------------------------------------------------

log "The package: $(basename "$DEB")"
arch="$(dpkg --print-architecture)"
version="$(dpkg-deb -f "$DEB" Version)"
checkEqual "file name vornd_<version>_<arch>.deb" "vornd_${version}_${arch}.deb" "$(basename "$DEB")"
depends="$(dpkg-deb -f "$DEB" Depends)"
echo "      Depends: $depends"
checkContains "depends on PAM" "libpam0g" "$depends"
checkContains "depends on the C library" "libc6" "$depends"
checkLacks "does not depend on fail2ban" "fail2ban" "$depends"
checkEqual "suggests fail2ban" "fail2ban" "$(dpkg-deb -f "$DEB" Suggests)"
CONFFILES="/etc/fail2ban/filter.d/vornd.conf
/etc/fail2ban/jail.d/vornd.conf
/etc/logrotate.d/vornd
/etc/pam.d/vornd"
checkEqual "conffiles" "$CONFFILES" "$(dpkg-deb --ctrl-tarfile "$DEB" | tar -xOf - ./conffiles | sort)"
for script in postinst prerm postrm; do
  check "maintainer script $script" bash -c "dpkg-deb --ctrl-tarfile '$DEB' | tar -tvf - ./$script | grep -q '^-rwxr-xr-x'"
done
dpkg-deb -c "$DEB" >"$WORK/contents"
# The paths in the package, and which of them the machine has already.
awk '{ p = $6; sub(/^\./, "", p); sub(/\/$/, "", p); if (p != "") print p }' "$WORK/contents" \
  >"$WORK/paths"
: >"$WORK/existing"
while read -r path; do
  [[ -e $path || -L $path ]] && echo "$path" >>"$WORK/existing"
done <"$WORK/paths"

log "Manual pages"
for page in "$ROOT"/man/*.[18]; do
  base="$(basename "$page")"
  check "groff -ww -z: $base" bash -c "out=\$(groff -ww -z -man '$page' 2>&1) && [[ -z \$out ]]"
  checkContains "packaged: $base" "./usr/share/man/man${base##*.}/$base.gz" "$(cat "$WORK/contents")"
done
if command -v mandoc >/dev/null 2>&1; then
  for page in "$ROOT"/man/*.[18]; do
    check "mandoc -T lint: $(basename "$page")" mandoc -T lint -W warning "$page"
  done
fi

log "lintian"
if command -v lintian >/dev/null 2>&1; then
  # No error and no warning: lintian prints nothing. Run as root it says so
  # on standard error, which is no finding about the package.
  lintian "$DEB" >"$WORK/lintian.out" 2>"$WORK/lintian.err"
  result=$?
  said="$(cat "$WORK/lintian.out"
    grep -vxF 'running with root privileges is not recommended!' "$WORK/lintian.err")"
  if [[ $result == 0 && -z $said ]]; then
    pass "lintian $(basename "$DEB"): nothing to report"
  else
    fail "lintian $(basename "$DEB") (exit status $result):"
    printf '%s\n' "$said" | sed 's/^/      /'
  fi
else
  echo "skip  lintian: not installed"
fi

# ---- Installing ------------------------------------------------------------------

log "apt-get install ./$(basename "$DEB")"
INSTALLED=1
"${APT[@]}" install -y "$DEB" || die "apt-get install of the package failed"
check "dpkg: installed" bash -c "dpkg -s vornd | grep -qx 'Status: install ok installed'"
dpkg -L vornd | grep -vx '/\.\?' | sort >"$WORK/owned"

check "vornd in /usr/sbin" test -x /usr/sbin/vornd
check "vornd-tls beside it" test -x /usr/sbin/vornd-tls
checkEqual "the TLS relay's account: a system account without home or shell" \
  "/nonexistent /usr/sbin/nologin" \
  "$(getent passwd vornd-tls | awk -F: '$3 < 1000 { print $6, $7 }')"
for tool in vornreg vornlogin vorn-echo-engine; do check "$tool in /usr/bin" test -x "/usr/bin/$tool"; done
check "README in /usr/share/doc/vornd" test -f /usr/share/doc/vornd/README.md
DOC=/usr/share/doc/vornd
check "copyright file in $DOC" test -f "$DOC/copyright"
check "the HAProxy sample in $DOC/examples, as in the sources" \
  cmp -s "$DOC/examples/haproxy.cfg" "$ROOT/packaging/haproxy/vornd.cfg"
check "the Prometheus sample in $DOC/examples, as in the sources" \
  cmp -s "$DOC/examples/prometheus.yml" "$ROOT/packaging/prometheus/vornd.yml"
copyright="$(cat "$DOC/copyright" 2>&1)"
checkEqual "copyright file: machine-readable" \
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
  "$(head -n 1 "$DOC/copyright" 2>&1)"
# The paragraph for every file: its holders and its license.
files="$(awk 'BEGIN { RS = "" } /^Files: \*\n/' "$DOC/copyright" 2>&1)"
checkContains "copyright file: Files: * names its holders" $'\nCopyright: ' "$files"
checkContains "copyright file: Files: * under Apache-2.0" $'\nLicense: Apache-2.0' "$files"
checkContains "copyright file: the license's text on the system" \
  "/usr/share/common-licenses/Apache-2.0" "$copyright"
check "/usr/share/common-licenses/Apache-2.0 there" test -f /usr/share/common-licenses/Apache-2.0
# One changelog, the package being its own upstream.
check "changelog.gz in $DOC" test -f "$DOC/changelog.gz"
checkEqual "changelog.gz: its top entry is the package's version" "$version" \
  "$(gzip -dc "$DOC/changelog.gz" 2>&1 | dpkg-parsechangelog -l - -S Version 2>&1)"
checkEqual "$STATE: a folder, root's, mode 0700" "directory root root 700" \
  "$(stat -c '%F %U %G %a' "$STATE" 2>&1)"
checkEqual "$STATE/log/events.log: there, empty, mode 0644" "regular empty file root 644" \
  "$(stat -c '%F %U %a' "$STATE/log/events.log" 2>&1)"
pam="$(cat /etc/pam.d/vornd 2>&1)"
checkContains "PAM service: common authentication" "@include common-auth" "$pam"
checkContains "PAM service: common account" "@include common-account" "$pam"
F2B_FILTER=/etc/fail2ban/filter.d/vornd.conf
F2B_JAIL=/etc/fail2ban/jail.d/vornd.conf
check "fail2ban filter in /etc/fail2ban/filter.d" test -f "$F2B_FILTER"
check "fail2ban jail in /etc/fail2ban/jail.d" test -f "$F2B_JAIL"
checkEqual "dpkg: the configuration files" "$CONFFILES" \
  "$(dpkg-query -W -f='${Conffiles}\n' vornd | awk 'NF { print $1 }' | sort)"
checkEqual "fail2ban jail: [vornd] installed disabled" false "$(iniValue "$F2B_JAIL" vornd enabled)"
checkEqual "fail2ban jail: reads events.log" "$STATE/log/events.log" \
  "$(iniValue "$F2B_JAIL" vornd logpath)"
UNIT="$(grep '/systemd/system/vornd@\.service$' "$WORK/owned" | head -n 1)"
check "systemd template unit installed" test -f "$UNIT"
unit="$(cat "$UNIT" 2>&1)"
checkContains "unit: the daemon of the instance" "ExecStart=/usr/sbin/vornd -runService" "$unit"
checkContains "unit: its name" "Environment=VORND_UNIT_INSTANCE=%I" "$unit"
checkContains "unit: ready by notification" "Type=notify" "$unit"
checkContains "unit: started again after a failure" "Restart=on-failure" "$unit"
checkContains "unit: after the network" "After=network-online.target" "$unit"
checkLacks "the boot unit of 0.1.0 is gone" "/vornd.service" "$(cat "$WORK/owned")"
if command -v systemd-analyze >/dev/null 2>&1; then
  # A template is verified as one of its instances.
  cp "$UNIT" "$WORK/vornd@check.service"
  analysis="$(systemd-analyze verify "$WORK/vornd@check.service" 2>&1)"
  if [[ -z "$analysis" ]]; then
    pass "systemd-analyze verify"
  else
    fail "systemd-analyze verify:"
    printf '%s\n' "$analysis" | sed 's/^/      /'
  fi
else
  echo "skip  systemd-analyze verify: no systemd-analyze here"
fi
for page in vornd.8 vornreg.8 vornlogin.1 vorn-echo-engine.1; do
  installed="/usr/share/man/man${page##*.}/$page.gz"
  check "man -l $installed: no warnings" \
    bash -c "out=\$(MANWIDTH=80 man -l '$installed' 2>&1 >/dev/null) && [[ -z \$out ]]"
done

# ---- An administrator's instance -------------------------------------------------

# A free port: nothing answers there now.
PORT=18470
while (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; do PORT=$((PORT + 1)); done

# vornd as installed, from /, with its output and status.
vornd() {
  OUTPUT="$(cd / && /usr/sbin/vornd "$@" 2>&1 </dev/null)"
  STATUS=$?
}
waitForState() {
  local word="$1"
  for _ in $(seq 1 100); do
    vornd -status
    [[ "$OUTPUT" == *"Service Name: $NAME"*"Status:       $word"* ]] && return 0
    sleep 0.1
  done
  return 1
}
login() {
  printf 'ping\n' | timeout 30 /usr/bin/vornlogin -u alice -p secret "127.0.0.1:$PORT" \
    2>"$WORK/login.err"
}

log "Instance $NAME on port $PORT"
vornd -install "-name=$NAME" "-port=$PORT" -engine=/usr/bin/vorn-echo-engine -AM=Vorn GREETING=hi
checkEqual "-install: exit status" 0 "$STATUS"
checkContains "-install: created" "$NAME Created" "$OUTPUT"
checkContains "-install: configured" "$NAME Configured" "$OUTPUT"
checkContains "-install: started" "$NAME Started" "$OUTPUT"
check "the registry is in $STATE" test -f "$STATE/registry"
query="$(/usr/bin/vornreg query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$NAME\\Config" /v SockPort 2>&1)"
checkContains "vornreg reads the instance's port" "SockPort    REG_EXPAND_SZ    $PORT" "$query"
check "-status: running" waitForState running

vornd -stop
checkEqual "-stop (every instance, as at shutdown): exit status" 0 "$STATUS"
check "-status: stopped" waitForState stopped
vornd -start
checkEqual "-start (every instance, as at boot): exit status" 0 "$STATUS"
checkContains "-start: requested" "Service: $NAME start requested" "$OUTPUT"
check "-status: running again" waitForState running

reply="$(login)"
result=$?
checkEqual "vornlogin: exit status" 0 "$result"
checkEqual "vornlogin: the engine's greeting and echo" "hello, alice
ping" "$reply"
checkContains "vornlogin: accepted" "login accepted" "$(cat "$WORK/login.err")"

vornd -status
checkEqual "-status: exit status" 0 "$STATUS"
checkContains "-status: the instance" "Service Name: $NAME
Display Name: $NAME-$PORT
Status:       running" "$OUTPUT"

vornd -remove "-name=$NAME"
checkEqual "-remove: exit status" 0 "$STATUS"
checkContains "-remove: removed" "$NAME removed" "$OUTPUT"
vornd -status
checkEqual "-status after -remove: nothing listed" "" "$OUTPUT"
check "the instance's output file is in $STATE/log" test -f "$STATE/log/$NAME.out"
checkEqual "$STATE/run: mode 0700" 700 "$(stat -c %a "$STATE/run" 2>&1)"

# ---- fail2ban ----------------------------------------------------------------------

log "fail2ban"
if command -v fail2ban-client >/dev/null 2>&1 && command -v fail2ban-regex >/dev/null 2>&1; then
  dump="$(fail2ban-client -d 2>&1)"
  checkEqual "fail2ban-client -d: exit status" 0 "$?"
  checkLacks "fail2ban-client -d: the disabled jail is not added" "['add', 'vornd'," "$dump"
  # A log as the daemon writes it: whatever the instance wrote (an instance
  # that had nothing to report wrote no events.log), a refusal that bans
  # and one that does not.
  EVENTS="$STATE/log/events.log"
  now="$(date -u +%Y-%m-%dT%H:%M:%SZ)"
  {
    if [[ -f $EVENTS ]]; then cat "$EVENTS"; fi
    echo "$now $NAME WARNING Login refused for user x from 6.6.6.6 port 1 from 192.0.2.7 port 50112: wrong user name or password"
    echo "$now $NAME WARNING Login refused for user bob from 192.0.2.8 port 50113: refused by the service switches"
  } >"$WORK/events.log"
  # The same configuration with the jail turned on, as the README says,
  # first on that log, then on the journal.
  cp -a /etc/fail2ban "$WORK/fail2ban"
  printf '[vornd]\nenabled = true\nport = %s\nlogpath = %s\n' "$PORT" "$WORK/events.log" \
    >"$WORK/fail2ban/jail.d/vornd-test.local"
  dump="$(fail2ban-client -c "$WORK/fail2ban" -d 2>&1)"
  checkEqual "fail2ban-client -d, jail on: exit status" 0 "$?"
  checkContains "fail2ban-client -d, jail on: added" "['add', 'vornd', 'auto']" "$dump"
  checkContains "fail2ban-client -d, jail on: its log" \
    "['set', 'vornd', 'addlogpath', '$WORK/events.log', 'head']" "$dump"
  checkContains "fail2ban-client -d, jail on: the filter's expressions" \
    "'addfailregex', ['^Login refused for user " "$dump"
  checkContains "fail2ban-client -d, jail on: the port" "--dports $PORT " "$dump"
  printf 'backend = systemd\n' >>"$WORK/fail2ban/jail.d/vornd-test.local"
  dump="$(fail2ban-client -c "$WORK/fail2ban" -d 2>&1)"
  checkEqual "fail2ban-client -d, journal: exit status" 0 "$?"
  checkContains "fail2ban-client -d, journal: added" "['add', 'vornd', 'systemd']" "$dump"
  checkContains "fail2ban-client -d, journal: its match" \
    "['set', 'vornd', 'addjournalmatch', 'SYSLOG_FACILITY=3', 'PRIORITY=4']" "$dump"
  checkLacks "fail2ban-client -d, journal: no log file" "'addlogpath'" "$dump"
  # The installed filter, by its path and by its name (as the jail finds it).
  for filter in "$F2B_FILTER" vornd; do
    taken="$(fail2ban-regex -r -o ip "$WORK/events.log" "$filter" 2>&1)"
    checkEqual "fail2ban-regex, filter $filter: exit status" 0 "$?"
    checkEqual "fail2ban-regex, filter $filter: the one client that guessed" 192.0.2.7 "$taken"
  done
  # A real refusal: an instance that asks the system, a wrong password,
  # and the filter on the event log the package keeps.
  GUESSED="${NAME}g"
  GUESSED_PORT=$((PORT + 2))
  while (exec 3<>"/dev/tcp/127.0.0.1/$GUESSED_PORT") 2>/dev/null; do GUESSED_PORT=$((GUESSED_PORT + 1)); done
  vornd -install "-name=$GUESSED" "-port=$GUESSED_PORT" -engine=/usr/bin/vorn-echo-engine -AM=LogonUser
  checkContains "-install, LogonUser: started" "$GUESSED Started" "$OUTPUT"
  for _ in $(seq 1 50); do (exec 3<>"/dev/tcp/127.0.0.1/$GUESSED_PORT") 2>/dev/null && break; sleep 0.1; done
  printf 'ping\n' | timeout 30 /usr/bin/vornlogin -u root -p "not-the-password-$$" \
    "127.0.0.1:$GUESSED_PORT" >/dev/null 2>"$WORK/guess.err"
  checkContains "vornlogin, wrong password: refused" "refused" "$(cat "$WORK/guess.err")"
  line=""
  for _ in $(seq 1 50); do
    line="$(grep " $GUESSED WARNING " "$EVENTS" 2>/dev/null)"
    [[ -n $line ]] && break
    sleep 0.1
  done
  checkContains "events.log: the refusal's warning" \
    "$GUESSED WARNING Login refused for user root from 127.0.0.1 port " "$line"
  checkLacks "events.log: no password" "not-the-password-$$" "$(cat "$EVENTS")"
  taken="$(fail2ban-regex -r -o ip "$EVENTS" vornd 2>&1)"
  checkEqual "fail2ban-regex on $EVENTS: the guessing client" 127.0.0.1 "$taken"
  vornd -remove "-name=$GUESSED"
  checkContains "-remove, LogonUser: removed" "$GUESSED removed" "$OUTPUT"
else
  echo "skip  fail2ban-client -d and fail2ban-regex: fail2ban is not installed"
fi

# One more instance, left running: the removal of the package stops it.
KEPT="${NAME}k"
KEPT_PORT=$((PORT + 1))
while (exec 3<>"/dev/tcp/127.0.0.1/$KEPT_PORT") 2>/dev/null; do KEPT_PORT=$((KEPT_PORT + 1)); done
vornd -install "-name=$KEPT" "-port=$KEPT_PORT" -engine=/usr/bin/vorn-echo-engine -AM=Vorn
checkContains "-install of a second instance, left running" "$KEPT Started" "$OUTPUT"
answers() { (exec 3<>"/dev/tcp/127.0.0.1/$KEPT_PORT") 2>/dev/null; }
check "the second instance listens" answers

# ---- Removing and purging --------------------------------------------------------

log "Package size and files"
echo "$(basename "$DEB"): $(stat -c %s "$DEB") bytes; installed size $(dpkg-query -W -f='${Installed-Size}' vornd) KiB"
cat "$WORK/contents"

log "apt-get remove vornd"
"${APT[@]}" remove -y vornd || fail "apt-get remove"
check "dpkg: configuration files only" \
  bash -c "dpkg -s vornd | grep -qx 'Status: deinstall ok config-files'"
check "$STATE kept" test -f "$STATE/registry"
check "the PAM file kept (a configuration file)" test -f /etc/pam.d/vornd
check "the fail2ban filter and jail kept (configuration files)" \
  test -f "$F2B_FILTER" -a -f "$F2B_JAIL"
check "vornd gone" test ! -e /usr/sbin/vornd
check "the running instance was stopped" bash -c "! (exec 3<>/dev/tcp/127.0.0.1/$KEPT_PORT) 2>/dev/null"
checkContains "its registration kept" "[SYSTEM\\CurrentControlSet\\Services\\$KEPT]" \
  "$(cat "$STATE/registry" 2>&1)"

log "apt-get purge vornd"
"${APT[@]}" purge -y vornd || fail "apt-get purge"
check "dpkg: not installed" bash -c "! dpkg -s vornd >/dev/null 2>&1"
check "$STATE gone" test ! -e "$STATE"
check "the TLS relay's account gone" bash -c "! getent passwd vornd-tls >/dev/null"
left=()
while read -r path; do
  if grep -qxF "$path" "$WORK/existing"; then
    [[ -e $path ]] || fail "$path existed before the installation and is gone"
  elif [[ -e $path || -L $path ]]; then
    left+=("$path")
  fi
done <"$WORK/owned"
checkEqual "nothing of the package left" "" "${left[*]}"
stray="$(find /etc /usr/lib/systemd /lib/systemd /var/lib/systemd /usr/share/doc /usr/share/man \
  /usr/sbin /usr/bin -name '*vornd*' 2>/dev/null | sort -u)"
checkEqual "no unit links or helper state left" "" "$stray"

log "An account vornd-tls made by the administrator outlives a purge"
adduser --system --group --no-create-home --home /nonexistent --quiet vornd-tls
before_account="$(getent passwd vornd-tls)"
"${APT[@]}" install -y "$DEB" >/dev/null || fail "apt-get install again"
"${APT[@]}" purge -y vornd >/dev/null || fail "apt-get purge again"
checkEqual "the administrator's account kept as it was" "$before_account" "$(getent passwd vornd-tls)"
deluser --system --quiet vornd-tls >/dev/null 2>&1
getent group vornd-tls >/dev/null && delgroup --system --quiet vornd-tls >/dev/null 2>&1

log "Summary"
if [[ $FAILURES -eq 0 ]]; then
  echo "package: all checks passed"
else
  echo "package: $FAILURES check(s) failed"
fi
[[ $FAILURES -eq 0 ]]
