#!/usr/bin/env bash
# The fail2ban filter on the journal, on a machine that systemd does not run
# (a container, say): a journald of its own in a private mount namespace,
# the daemon's warnings sent to it with the same syslog calls the daemon
# makes (ident = instance name, LOG_PID, facility daemon, priority warning),
# then read back by fail2ban-regex through the journal, as a jail with
# backend = systemd reads them: the filter's journal match, its expressions,
# and the narrowing to one instance the filter's comments give.
#
#   scripts/fail2ban_journal_check.sh [FILTER]
#
# FILTER defaults to the repository's packaging/fail2ban/filter.d/vornd.conf.
# As root; needs fail2ban, python3-systemd and systemd's journald, and
# installs none of them. The machine's own journal, /dev and /run are not
# touched: everything mounted here goes with the namespace. Prints one "ok"
# or "FAIL" line a check; exits non-zero when any check failed.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOURNALD=/lib/systemd/systemd-journald
# Debian's own Python, the one fail2ban and python3-systemd are installed for.
PYTHON=/usr/bin/python3

die() {
  printf 'fail2ban_journal_check.sh: %s\n' "$*" >&2
  exit 1
}

# ---- Outside: checks, then the same script in a namespace of its own ----------

if [[ "${1:-}" != --inside ]]; then
  FILTER="$(realpath "${1:-$ROOT/packaging/fail2ban/filter.d/vornd.conf}")" ||
    die "no filter ${1:-}"
  [[ $(id -u) == 0 ]] || die "run as root: it mounts file systems in a namespace of its own"
  [[ -x $JOURNALD ]] || die "no $JOURNALD (package systemd)"
  command -v fail2ban-regex >/dev/null 2>&1 || die "no fail2ban-regex (package fail2ban)"
  command -v journalctl >/dev/null 2>&1 || die "no journalctl (package systemd)"
  "$PYTHON" -c 'import systemd.journal' 2>/dev/null || die "no python3-systemd"
  NEWDEV="$(mktemp -d)"
  unshare --mount --propagation private "${BASH_SOURCE[0]}" --inside "$FILTER" "$NEWDEV"
  status=$?
  rmdir "$NEWDEV"
  exit "$status"
fi

# ---- Inside the namespace --------------------------------------------------------

FILTER="$2"
NEWDEV="$3"
FAILURES=0
pass() { echo "ok    $1"; }
fail() {
  echo "FAIL  $1"
  FAILURES=$((FAILURES + 1))
}
checkEqual() {  # description, expected, actual
  if [[ "$2" == "$3" ]]; then
    pass "$1"
  else
    fail "$1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/      /'
  fi
}

# An empty journal of our own, in memory.
mount -t tmpfs tmpfs /run/systemd || die "mount /run/systemd"
mkdir -p /run/log /var/log/journal
mount -t tmpfs tmpfs /run/log || die "mount /run/log"
mount -t tmpfs tmpfs /var/log/journal || die "mount /var/log/journal"
# /dev with a /dev/log, which syslog(3) writes to: the device nodes that
# journald, python and fail2ban use, bound from the real /dev.
mount -t tmpfs -o mode=0755 tmpfs "$NEWDEV" || die "mount $NEWDEV"
for node in null zero full random urandom tty ptmx kmsg; do
  [[ -e /dev/$node ]] || continue
  touch "$NEWDEV/$node" || die "touch $NEWDEV/$node"
  mount --bind "/dev/$node" "$NEWDEV/$node" || die "bind /dev/$node"
done
for folder in pts shm; do
  mkdir "$NEWDEV/$folder" || die "mkdir $NEWDEV/$folder"
  mount --rbind "/dev/$folder" "$NEWDEV/$folder" || die "bind /dev/$folder"
done
ln -s /proc/self/fd "$NEWDEV/fd"
ln -s /proc/self/fd/0 "$NEWDEV/stdin"
ln -s /proc/self/fd/1 "$NEWDEV/stdout"
ln -s /proc/self/fd/2 "$NEWDEV/stderr"
ln -s /run/systemd/journal/dev-log "$NEWDEV/log"
mount --bind "$NEWDEV" /dev || die "mount the new /dev"

"$JOURNALD" >/dev/null 2>&1 &
JOURNALD_PID=$!
trap 'kill "$JOURNALD_PID" 2>/dev/null; wait "$JOURNALD_PID" 2>/dev/null' EXIT
for _ in $(seq 1 100); do
  [[ -S /run/systemd/journal/dev-log ]] && break
  sleep 0.1
done
[[ -S /run/systemd/journal/dev-log ]] || die "journald did not open its syslog socket"

# The daemon's calls: openlog(<instance>, LOG_PID, LOG_DAEMON), then
# syslog(<priority>, "%s", text).
send() {  # ident, priority (warning, err), facility (daemon, auth), text
  "$PYTHON" - "$@" <<'EOF'
import sys, syslog
ident, priority, facility, text = sys.argv[1:5]
syslog.openlog(ident, syslog.LOG_PID, getattr(syslog, "LOG_" + facility.upper()))
syslog.syslog(getattr(syslog, "LOG_" + priority.upper()), text)
syslog.closelog()
EOF
}
send demo warning daemon "Login refused for user x from 6.6.6.6 port 1 from 192.0.2.1 port 50112: wrong user name or password"
send demo warning daemon "Login refused for user bob from 192.0.2.2 port 50113: too many failures from this address"
send demo warning daemon "No complete login record from 192.0.2.3 port 50114 within 30 seconds"
send demo warning daemon "Connection from 192.0.2.4 port 50115 closed: 8 connections already pending from this address"
send demo warning daemon "Login refused for user bob from 192.0.2.5 port 50116: refused by the service switches"
send demo warning daemon "Login refused for user bob from 192.0.2.6 port 50117: authentication took too long"
send demo warning daemon "17 refusal lines left out in the last second"
send other warning daemon "Login refused for user bob from 192.0.2.7 port 50118: wrong user name or password"
# Not warnings of facility daemon: outside the filter's journal match.
send demo err daemon "Login refused for user bob from 192.0.2.8 port 50119: wrong user name or password"
send demo warning auth "Login refused for user bob from 192.0.2.9 port 50120: wrong user name or password"

for _ in $(seq 1 100); do
  [[ $(journalctl --no-pager -q -o cat SYSLOG_IDENTIFIER=demo SYSLOG_IDENTIFIER=other | wc -l) -ge 10 ]] &&
    break
  sleep 0.1
done
checkEqual "the journal holds the ten messages" 10 \
  "$(journalctl --no-pager -q -o cat SYSLOG_IDENTIFIER=demo SYSLOG_IDENTIFIER=other | wc -l)"
checkEqual "journal fields of a warning" "PRIORITY=4 SYSLOG_FACILITY=3 SYSLOG_IDENTIFIER=demo" \
  "$(journalctl --no-pager -q -o export -n 1 SYSLOG_IDENTIFIER=demo PRIORITY=4 SYSLOG_FACILITY=3 |
    grep -E '^(PRIORITY|SYSLOG_FACILITY|SYSLOG_IDENTIFIER)=' | sort | tr '\n' ' ' | sed 's/ $//')"

taken="$(fail2ban-regex -r -o ip systemd-journal "$FILTER" 2>&1)"
checkEqual "fail2ban-regex systemd-journal: exit status" 0 "$?"
checkEqual "fail2ban-regex systemd-journal: every instance's guessing clients" \
  "192.0.2.1
192.0.2.2
192.0.2.3
192.0.2.4
192.0.2.7" "$taken"

taken="$(fail2ban-regex -r -o ip systemd-journal \
  "${FILTER}[_daemon=demo, journalmatch='SYSLOG_IDENTIFIER=demo PRIORITY=4']" 2>&1)"
checkEqual "fail2ban-regex systemd-journal, instance demo: exit status" 0 "$?"
# The auth-facility warning of demo is in this match; the filter takes it too.
checkEqual "fail2ban-regex systemd-journal, instance demo: its guessing clients" \
  "192.0.2.1
192.0.2.2
192.0.2.3
192.0.2.4
192.0.2.9" "$taken"

if [[ $FAILURES -eq 0 ]]; then
  echo "journal: all checks passed"
else
  echo "journal: $FAILURES check(s) failed"
fi
[[ $FAILURES -eq 0 ]]
