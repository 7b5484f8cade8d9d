#!/usr/bin/env bash
# shellcheck disable=SC2016  # dpkg-query formats and commands run inside are single-quoted
# The Debian package under a real systemd: a Debian 12 tree booted with
# systemd-nspawn, the package installed in it, and an administrator's day
# with it: an instance installed, killed, stopped and started, the machine
# rebooted, a system logon through PAM, the instance removed, the package
# purged. Each instance is a unit of the template vornd@.service (the
# instance name escaped as systemd-escape does), and the checks look at it
# with systemctl and journalctl as well as with vornlogin.
#
#   scripts/systemd_test.sh [--deb PATH] [--upgrade-from OLD_DEB]
#
# With --upgrade-from, the older package goes in first with an instance of
# its own (vorn-up, running as that version runs it), and the package is
# installed over it: the instance must come out as its enabled, active
# unit, serving logins, before the other checks begin.
#
# Without --deb it builds the package in build-pkg/ as
# scripts/package_test.sh does. The tree is made once with debootstrap from
# the Debian mirror this machine's apt uses (VORND_SYSTEMD_MIRROR to name
# another) and kept in build-systemd/bookworm/ (VORND_SYSTEMD_CACHE for
# another folder); each run boots a copy of it, deleted at the end
# (VORND_SYSTEMD_KEEP=1 keeps it); the container's console and apt logs
# of the last run stay in build-systemd/last-run/. Nothing is installed on
# this machine: debootstrap and systemd-nspawn (scripts/packages.sh,
# VORND_SYSTEMD_PACKAGES) are the caller's to install.
#
# Run as root. The container has a network of its own (loopback only), so
# its ports never meet this machine's. Prints one "ok" or "FAIL" line a
# check and exits non-zero when any failed; where no container can be
# booted here (not root, no namespaces, no cgroups for systemd) it prints
# one "SKIP" line with the reason and exits 77. The container is shut down
# and its copy deleted on any way out.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export DEBIAN_FRONTEND=noninteractive
export LC_ALL=C

SUITE=bookworm
CACHE="${VORND_SYSTEMD_CACHE:-$ROOT/build-systemd}"
TREE="$CACHE/$SUITE"
STAMP="$CACHE/$SUITE.complete"
BUILD="$ROOT/build-pkg"
SKIP_STATUS=77
# What the tree holds besides debootstrap's minimal base: systemd as init,
# the package's dependencies (so it installs with no network), and the
# tools the checks use (ss, useradd and chpasswd, ps).
TREE_PACKAGES=(
  systemd systemd-sysv dbus
  libpam-runtime libpam-modules libpam0g libc6 libgcc-s1 libstdc++6
  login passwd iproute2 procps
)

MACHINE="vornd-systemd-$$"
INSTANCE=vorn-sd    # the dash is one of the characters unit names escape
PORT=8061
PAM_INSTANCE=vorn-pam
PAM_PORT=8062
PAM_USER=vorntester
PAM_PASSWORD="pw-$$-$RANDOM"
FAILURES=0
PASSES=0
NSPAWN=""
PID1=""
BOOTS=0
RUNROOT=""
WORK="$(mktemp -d)"
STARTED=$SECONDS

log() { printf '\n==== %s\n' "$*"; }
die() {
  printf 'systemd_test.sh: %s\n' "$*" >&2
  exit 1
}
skip() {
  echo "SKIP  $*"
  exit "$SKIP_STATUS"
}
pass() {
  echo "ok    $1"
  PASSES=$((PASSES + 1))
}
fail() {
  echo "FAIL  $1"
  FAILURES=$((FAILURES + 1))
}
# Output shown under a failed check, "(nothing)" when there was none.
indent() { sed -e 's/^/      /' -e '1{${s/^ *$/      (nothing)/}}' | head -n "${1:-40}"; }
checkContains() {  # description, text expected inside, actual
  if [[ "$3" == *"$2"* ]]; then
    pass "$1"
  else
    fail "$1: no \"$2\" in:"
    printf '%s\n' "$3" | indent
  fi
}
checkEqual() {  # description, expected, actual
  if [[ "$2" == "$3" ]]; then
    pass "$1"
  else
    fail "$1: expected \"$2\", saw:"
    printf '%s\n' "$3" | indent
  fi
}
checkLacks() {  # description, text not expected inside, actual
  if [[ "$3" != *"$2"* ]]; then
    pass "$1"
  else
    fail "$1: \"$2\" in:"
    printf '%s\n' "$3" | indent
  fi
}
elapsed() { echo "$((SECONDS - $1))s"; }

# ---- Shutting down ------------------------------------------------------------------

# Asks the container's systemd to power off (nspawn passes SIGTERM on as
# SIGRTMIN+3) and waits for nspawn; kills it when that takes too long.
stopContainer() {
  [[ -n $NSPAWN ]] || return 0
  if kill -0 "$NSPAWN" 2>/dev/null; then
    kill -TERM "$NSPAWN" 2>/dev/null
    for _ in $(seq 1 300); do
      kill -0 "$NSPAWN" 2>/dev/null || break
      sleep 0.2
    done
    if kill -0 "$NSPAWN" 2>/dev/null; then
      echo "the container did not power off within 60 s: killing systemd-nspawn $NSPAWN"
      kill -KILL "$NSPAWN" 2>/dev/null
    fi
  fi
  wait "$NSPAWN" 2>/dev/null
  NSPAWN=""
  PID1=""
}

cleanup() {
  stopContainer
  if [[ -n $RUNROOT && -d $RUNROOT ]]; then
    if [[ "${VORND_SYSTEMD_KEEP:-0}" == 1 ]]; then
      echo "kept the container's tree: $RUNROOT"
    else
      rm -rf --one-file-system "$RUNROOT"
    fi
  fi
  # The container's console and the apt logs of the last run, for a
  # failure to be looked into.
  if [[ -d $CACHE ]] && compgen -G "$WORK/*.log" >/dev/null; then
    rm -rf "$CACHE/last-run"
    mkdir -p "$CACHE/last-run" && cp "$WORK"/*.log "$CACHE/last-run/"
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---- What this machine must offer ------------------------------------------------------

DEB=""
OLD_DEB=""
while [[ $# -gt 0 ]]; do
  case "$1" in
  --upgrade-from)
    [[ $# -ge 2 ]] || die "--upgrade-from needs a path"
    OLD_DEB="$(realpath -e "$2")" || die "no package at $2"
    shift 2
    ;;
  --deb)
    [[ $# -ge 2 ]] || die "--deb needs a path"
    DEB="$(realpath -e "$2")" || die "no package at $2"
    shift 2
    ;;
  --deb=*)
    DEB="$(realpath -e "${1#--deb=}")" || die "no package at ${1#--deb=}"
    shift
    ;;
  *) die "unknown argument: $1 (usage: systemd_test.sh [--deb PATH] [--upgrade-from OLD])" ;;
  esac
done

[[ $(id -u) == 0 ]] || skip "not root: booting a container needs root"
# root of a user namespace of its own is not enough: nspawn makes device
# nodes and mounts as the machine's root.
read -r inner outer count </proc/self/uid_map
[[ "$inner $outer $count" == "0 0 4294967295" ]] ||
  skip "root of a user namespace (uid map: $inner $outer $count), not the machine's root"
for tool in debootstrap systemd-nspawn nsenter; do
  command -v "$tool" >/dev/null 2>&1 ||
    die "no $tool: install VORND_SYSTEMD_PACKAGES of scripts/packages.sh first"
done
[[ -r /sys/fs/cgroup/cgroup.controllers || -d /sys/fs/cgroup/systemd ||
  -r /sys/fs/cgroup/unified/cgroup.controllers ]] ||
  skip "no cgroup hierarchy systemd can use is mounted at /sys/fs/cgroup"
unshare --mount --pid --fork true 2>/dev/null ||
  skip "no mount and PID namespaces can be made here: $(unshare --mount --pid --fork true 2>&1)"

# ---- The tree ----------------------------------------------------------------------------

# The first Debian mirror of this machine's apt sources that serves the
# suite's main component, from one-line .list files or deb822 .sources
# files.
aptMirror() {
  local file
  shopt -s nullglob
  local lists=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list)
  local sources=(/etc/apt/sources.list.d/*.sources)
  shopt -u nullglob
  for file in "${lists[@]}"; do
    [[ -f $file ]] || continue
    sed -e 's/#.*//' -e 's/\[[^]]*\]//' "$file" |
      awk -v suite="$SUITE" '$1 == "deb" && $3 == suite {
        for (i = 4; i <= NF; i++) if ($i == "main") { print $2; exit }
      }'
  done
  for file in "${sources[@]}"; do
    awk -v suite="$SUITE" '
      function has(list, word) { return (" " list " ") ~ (" " word " ") }
      function flush() {
        if (!found && has(types, "deb") && enabled != "no" && has(suites, suite) &&
            has(comps, "main") && split(uris, u, " ") > 0) {
          print u[1]
          found = 1
        }
        types = uris = suites = comps = key = ""
        enabled = "yes"
      }
      BEGIN { enabled = "yes" }
      /^#/ { next }
      /^[ \t]*$/ { flush(); next }
      /^[ \t]/ {
        value = $0; gsub(/^[ \t]+|[ \t]+$/, "", value)
        if (key == "uris") uris = uris " " value
        else if (key == "suites") suites = suites " " value
        else if (key == "components") comps = comps " " value
        next
      }
      {
        key = tolower(substr($0, 1, index($0, ":") - 1))
        value = substr($0, index($0, ":") + 1); gsub(/^[ \t]+|[ \t]+$/, "", value)
        if (key == "types") types = value
        else if (key == "uris") uris = value
        else if (key == "suites") suites = value
        else if (key == "components") comps = value
        else if (key == "enabled") enabled = tolower(value)
      }
      END { flush() }
    ' "$file"
  done
}

# The stamp names what the tree was made with; a tree without one (an
# interrupted debootstrap) or with another list is made anew.
treeRecipe() { printf 'suite %s\npackages %s\n' "$SUITE" "${TREE_PACKAGES[*]}"; }

makeTree() {
  mkdir -p "$CACHE"
  exec 9>"$CACHE/tree.lock"
  flock -w 1800 9 || die "another run holds $CACHE/tree.lock"
  if [[ -d $TREE && -f $STAMP && "$(cat "$STAMP")" == "$(treeRecipe)" &&
    -x $TREE/lib/systemd/systemd ]]; then
    echo "reusing the tree in $TREE (made $(date -r "$STAMP" '+%F %T'))"
    flock -u 9
    return 0
  fi
  local mirror="${VORND_SYSTEMD_MIRROR:-}"
  if [[ -z $mirror ]]; then
    mirror="$(aptMirror | grep -E '^(https?|ftp|file):' | head -n 1)"
    [[ -n $mirror ]] || die "no Debian mirror for $SUITE main in /etc/apt/sources.list{,.d}; set VORND_SYSTEMD_MIRROR"
  fi
  echo "making the tree in $TREE with debootstrap from $mirror"
  rm -rf --one-file-system "$TREE" "$TREE.partial" "$STAMP"
  local start=$SECONDS includes
  includes="$(IFS=,; echo "${TREE_PACKAGES[*]}")"
  if ! debootstrap --variant=minbase --include="$includes" "$SUITE" "$TREE.partial" "$mirror" \
    >"$CACHE/debootstrap.log" 2>&1; then
    tail -n 20 "$CACHE/debootstrap.log" | indent 20
    die "debootstrap failed (the whole log: $CACHE/debootstrap.log)"
  fi
  # The downloaded packages are not needed again, and each run copies the
  # tree.
  rm -f "$TREE.partial"/var/cache/apt/archives/*.deb
  mv "$TREE.partial" "$TREE"
  treeRecipe >"$STAMP"
  echo "debootstrap: $(elapsed "$start"), $(du -sh "$TREE" | cut -f1)"
  flock -u 9
}

log "The $SUITE tree"
makeTree

# ---- The package ---------------------------------------------------------------------------

if [[ -z $DEB ]]; then
  log "Building the package in $BUILD"
  rm -f "$BUILD"/vornd_*.deb
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DVORND_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null || die "configure failed"
  cmake --build "$BUILD" || die "build failed"
  (cd "$BUILD" && cpack -G DEB >/dev/null) || die "cpack failed"
  shopt -s nullglob
  debs=("$BUILD"/vornd_*_*.deb)
  shopt -u nullglob
  [[ ${#debs[@]} == 1 ]] || die "expected one vornd_<version>_<arch>.deb in $BUILD, found ${#debs[@]}"
  DEB="${debs[0]}"
fi
echo "package: $DEB"

# ---- The container ---------------------------------------------------------------------------

log "Booting a copy of the tree"
RUNROOT="$CACHE/run.$$"
start=$SECONDS
cp -a --reflink=auto "$TREE" "$RUNROOT" || die "copying the tree to $RUNROOT failed"
echo "copied the tree in $(elapsed "$start")"
echo "$MACHINE" >"$RUNROOT/etc/hostname"
install -m 0644 "$DEB" "$RUNROOT/root/$(basename "$DEB")" || die "copying the package into the tree failed"
INSIDE_DEB="/root/$(basename "$DEB")"
if [[ -n $OLD_DEB ]]; then
  install -m 0644 "$OLD_DEB" "$RUNROOT/root/old-$(basename "$OLD_DEB")" ||
    die "copying the older package into the tree failed"
fi

# A command inside the container: every namespace of its PID 1, its root,
# and a clean environment, as an administrator's root shell there; none
# may take more than 2 minutes.
inside() {
  timeout 120 nsenter --target "$PID1" --all --root --wd -- \
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 TERM=dumb SYSTEMD_PAGER= SYSTEMD_COLORS=0 DEBIAN_FRONTEND=noninteractive "$@"
}

# The container's PID 1: the child of systemd-nspawn that runs systemd.
findPid1() {
  local dir ppid
  for dir in /proc/[0-9]*; do
    ppid="$(awk '/^PPid:/ { print $2 }' "$dir/status" 2>/dev/null)"
    [[ $ppid == "$NSPAWN" ]] || continue
    [[ "$(cat "$dir/comm" 2>/dev/null)" == systemd ]] || continue
    echo "${dir#/proc/}"
    return 0
  done
  return 1
}

# The last lines nspawn and the container's console wrote, on one line.
consoleTail() { tail -n "$1" "$NSPAWN_LOG" | sed 's/\x1b\[[0-9;]*m//g' | paste -s -d ' ' -; }
# The same, a line a line, shown under a check.
consoleLines() { tail -n "$1" "$NSPAWN_LOG" | sed -e 's/\x1b\[[0-9;]*m//g' -e 's/^/      /'; }

# Starts systemd-nspawn on the copy and waits until systemd inside has
# finished booting. Sets BOOT_STATE to what is-system-running said last
# and BOOT_PROBLEM to why it did not come up. Returns 0 when up (running or
# degraded), 1 when systemd answered with another state, 2 when no systemd
# could be reached at all.
bootContainer() {
  BOOTS=$((BOOTS + 1))
  NSPAWN_LOG="$WORK/nspawn.$BOOTS.log"
  BOOT_STATE=""
  BOOT_PROBLEM=""
  local start=$SECONDS
  systemd-nspawn --directory="$RUNROOT" --machine="$MACHINE" --boot --register=no --keep-unit \
    --private-network --link-journal=no --console=read-only \
    >"$NSPAWN_LOG" 2>&1 </dev/null &
  NSPAWN=$!
  PID1=""
  while ((SECONDS - start < 30)); do
    if ! kill -0 "$NSPAWN" 2>/dev/null; then
      wait "$NSPAWN"
      BOOT_PROBLEM="systemd-nspawn exited with status $? before systemd ran: $(consoleTail 5)"
      NSPAWN=""
      return 2
    fi
    PID1="$(findPid1)" && break
    sleep 0.2
  done
  if [[ -z $PID1 ]]; then
    BOOT_PROBLEM="no systemd under systemd-nspawn within 30 s: $(consoleTail 5)"
    return 2
  fi
  # Up to 120 s for the boot to finish; is-system-running --wait returns
  # at once while systemd cannot be reached yet.
  while ((SECONDS - start < 120)); do
    BOOT_STATE="$(timeout 30 nsenter --target "$PID1" --all --root --wd -- \
      systemctl is-system-running --wait 2>/dev/null)"
    case "$BOOT_STATE" in
    running | degraded)
      BOOT_TIME=$((SECONDS - start))
      return 0
      ;;
    initializing | starting | offline | unknown | "") ;;
    *) break ;;
    esac
    kill -0 "$NSPAWN" 2>/dev/null || break
    sleep 0.5
  done
  case "$BOOT_STATE" in
  "" | offline | unknown)
    BOOT_PROBLEM="systemd in the container never answered (is-system-running: ${BOOT_STATE:-nothing}): $(consoleTail 8)"
    return 2
    ;;
  esac
  BOOT_PROBLEM="is-system-running: $BOOT_STATE after $(elapsed "$start")"
  return 1
}

# What did not start, for a degraded or stuck boot.
bootReport() {
  inside systemctl --failed --no-legend --plain 2>&1 | indent 10
  inside systemctl list-jobs --no-legend 2>&1 | indent 10
}

bootContainer
case $? in
0)
  pass "boot: systemd in the container is up ($BOOT_STATE) after ${BOOT_TIME}s, PID 1 is $PID1 here"
  [[ $BOOT_STATE == degraded ]] && bootReport
  ;;
1)
  fail "boot: $BOOT_PROBLEM"
  bootReport
  ;;
*)
  # Whatever keeps systemd from running here, it is this machine's: the
  # package was not tried.
  consoleLines 20
  skip "systemd-nspawn could not boot the tree here: $BOOT_PROBLEM"
  ;;
esac
echo "      systemd $(inside systemctl --version | head -n 1 | awk '{ print $2 }'), cgroup file system $(inside stat -fc %T /sys/fs/cgroup)"

# ---- Helpers inside ------------------------------------------------------------------------------

# vornd as installed, with its output and status.
vornd() {
  OUTPUT="$(inside /usr/sbin/vornd "$@" 2>&1 </dev/null)"
  STATUS=$?
}
# login <port> <user> <password>: the engine's reply on standard output,
# vornlogin's messages in $WORK/login.err.
login() {
  printf 'ping\n' | inside timeout 30 /usr/bin/vornlogin -u "$2" -p "$3" "127.0.0.1:$1" \
    2>"$WORK/login.err"
}
checkLogin() {  # description, port
  local reply result
  reply="$(login "$2" alice secret)"
  result=$?
  if [[ $result == 0 && "$reply" == $'hello, alice\nping' ]] &&
    grep -q 'login accepted' "$WORK/login.err"; then
    pass "$1"
  else
    fail "$1: vornlogin exit status $result, replied:"
    { printf '%s\n' "$reply"; cat "$WORK/login.err"; } | indent 10
  fi
}
unitProperty() { inside systemctl show -p "$2" --value "$1" 2>&1; }
unitStates() {
  inside systemctl show -p LoadState -p ActiveState -p SubState -p MainPID -p UnitFileState "$1" 2>&1 |
    tr '\n' ' '
}
# The process listening on a TCP port inside, or nothing.
listener() {
  inside ss -ltnpH "sport = :$1" 2>/dev/null | grep -o 'pid=[0-9]*' | head -n 1 | cut -d= -f2
}
# waitUntil <seconds> <command...>: polls every 0.2 s.
waitUntil() {
  local limit="$1" start=$SECONDS
  shift
  while true; do
    "$@" && return 0
    ((SECONDS - start < limit)) || return 1
    sleep 0.2
  done
}
isActive() {  # unit
  [[ "$(unitProperty "$1" LoadState)" == loaded && "$(unitProperty "$1" ActiveState)" == active ]]
}
isStopped() {  # unit: loaded and inactive
  [[ "$(unitProperty "$1" LoadState)" == loaded && "$(unitProperty "$1" ActiveState)" == inactive ]]
}
notActive() {  # unit: inactive or not there at all
  local state
  state="$(unitProperty "$1" ActiveState)"
  [[ $state == inactive || $state == "" ]]
}
checkActive() {  # description, unit, seconds
  if waitUntil "$3" isActive "$2"; then
    pass "$1"
  else
    fail "$1: $(unitStates "$2")"
  fi
}
nobodyListens() { [[ -z "$(listener "$1")" ]]; }
listens() { [[ -n "$(listener "$1")" ]]; }

# ---- The package inside ----------------------------------------------------------------------------

if [[ -n $OLD_DEB ]]; then
  log "The older package first: $(basename "$OLD_DEB"), with instance vorn-up"
  if inside apt-get -o DPkg::Lock::Timeout=120 install -y --no-install-recommends \
    "/root/old-$(basename "$OLD_DEB")" >"$WORK/old-install.log" 2>&1; then
    pass "apt-get install of the older package"
  else
    fail "apt-get install of the older package:"
    tail -n 20 "$WORK/old-install.log" | indent
  fi
  vornd -install -name=vorn-up -port=8063 -engine=/usr/bin/vorn-echo-engine -AM=Vorn
  checkContains "older package, -install vorn-up: started" "vorn-up Started" "$OUTPUT"
  checkLogin "older package: login to vorn-up" 8063
fi

log "apt-get install $INSIDE_DEB (inside)"
start=$SECONDS
if inside apt-get -o DPkg::Lock::Timeout=120 install -y --no-install-recommends "$INSIDE_DEB" \
  >"$WORK/install.log" 2>&1; then
  pass "apt-get install of the package, from the tree alone ($(elapsed "$start"))"
else
  fail "apt-get install of the package:"
  tail -n 20 "$WORK/install.log" | indent
  echo "package: the package is not installed: nothing more to check"
  exit 1
fi
checkEqual "dpkg: installed" "install ok installed" \
  "$(inside dpkg-query -W -f='${Status}' vornd 2>&1)"
echo "      the package's units:"
inside systemctl list-unit-files --no-legend 'vornd*' 2>&1 | indent 10
inside systemctl list-units --all --no-legend --plain 'vornd*' 2>&1 | indent 10
checkContains "unit file vornd@.service installed" "vornd@.service" \
  "$(inside systemctl list-unit-files --no-legend 'vornd@*' 2>&1)"

UNIT="vornd@$(inside systemd-escape "$INSTANCE").service"
PAM_UNIT="vornd@$(inside systemd-escape "$PAM_INSTANCE").service"

if [[ -n $OLD_DEB ]]; then
  log "After the upgrade: vorn-up as a unit"
  UP_UNIT='vornd@vorn\x2dup.service'
  checkActive "$UP_UNIT: active after the upgrade" "$UP_UNIT" 10
  checkEqual "$UP_UNIT: enabled after the upgrade" enabled "$(unitProperty "$UP_UNIT" UnitFileState)"
  checkLogin "login to vorn-up after the upgrade" 8063
  checkLacks "the boot unit of the older package is gone" "vornd.service" \
    "$(inside systemctl list-unit-files --no-legend 'vornd.service' 2>&1)"
  vornd -remove -name=vorn-up
  checkContains "-remove vorn-up: removed" "vorn-up removed" "$OUTPUT"
fi
echo "      instance $INSTANCE: unit $UNIT; instance $PAM_INSTANCE: unit $PAM_UNIT"

# ---- An instance ----------------------------------------------------------------------------------

log "Instance $INSTANCE on port $PORT"
vornd -install "-name=$INSTANCE" "-port=$PORT" -engine=/usr/bin/vorn-echo-engine -AM=Vorn
checkEqual "-install: exit status" 0 "$STATUS"
checkContains "-install: started" "$INSTANCE Started" "$OUTPUT"
checkActive "$UNIT: active" "$UNIT" 10
checkEqual "$UNIT: Type=notify" notify "$(unitProperty "$UNIT" Type)"
checkEqual "$UNIT: Restart=on-failure" on-failure "$(unitProperty "$UNIT" Restart)"
checkEqual "$UNIT: restarted after 2 s" 2s "$(unitProperty "$UNIT" RestartUSec)"
checkEqual "$UNIT: enabled" enabled "$(inside systemctl is-enabled "$UNIT" 2>&1)"
checkContains "$UNIT: wanted by multi-user.target" multi-user.target \
  "$(unitProperty "$UNIT" WantedBy)"
waitUntil 10 listens "$PORT"
checkLogin "login to $INSTANCE: greeting and echo" "$PORT"
DAEMON="$(listener "$PORT")"
MAINPID="$(unitProperty "$UNIT" MainPID)"
echo "      listening on $PORT: pid ${DAEMON:-none}; $UNIT MainPID: $MAINPID"
if [[ -n $DAEMON && $DAEMON == "$MAINPID" ]]; then
  pass "$UNIT: its main PID is the daemon listening on $PORT"
else
  fail "$UNIT: its main PID ($MAINPID) is not the daemon listening on $PORT (${DAEMON:-none})"
fi

# ---- Killed ------------------------------------------------------------------------------------------

log "SIGKILL to the daemon of $INSTANCE"
if [[ -n $DAEMON ]]; then
  killedAt=$SECONDS
  inside kill -KILL "$DAEMON"
  echo "      killed pid $DAEMON"
  restarted() {
    local pid
    pid="$(unitProperty "$UNIT" MainPID)"
    isActive "$UNIT" && [[ $pid != 0 && $pid != "$DAEMON" && -n $(listener "$PORT") ]]
  }
  if waitUntil 5 restarted; then
    pass "$UNIT: active again with a new main PID ($(unitProperty "$UNIT" MainPID)) within 5 s ($(elapsed "$killedAt"))"
  else
    fail "$UNIT: not active again with a new main PID within 5 s: $(unitStates "$UNIT"), listening: $(listener "$PORT")"
  fi
  checkLogin "login after the restart" "$PORT"
  journal="$(inside journalctl --no-pager -o cat -u "$UNIT" 2>&1)"
  checkContains "journal: the daemon killed" "status=9/KILL" "$journal"
  checkContains "journal: its restart scheduled" "Scheduled restart job" "$journal"
else
  fail "SIGKILL to the daemon: nothing listens on $PORT to kill"
fi

# ---- Stopped and started -----------------------------------------------------------------------------

log "vornd -stop, vornd -start"
vornd -stop
checkEqual "-stop: exit status" 0 "$STATUS"
if waitUntil 35 isStopped "$UNIT"; then
  pass "$UNIT: inactive after -stop"
else
  fail "$UNIT: not loaded and inactive after -stop: $(unitStates "$UNIT")"
fi
if waitUntil 35 nobodyListens "$PORT"; then
  pass "nothing listens on $PORT after -stop"
else
  fail "pid $(listener "$PORT") listens on $PORT after -stop"
fi
vornd -start
checkEqual "-start: exit status" 0 "$STATUS"
checkActive "$UNIT: active after -start" "$UNIT" 10
checkLogin "login after -start" "$PORT"

# ---- Health: a port held, a unit for no instance, quick changes, a reinstall ---------------------------

log "An instance whose port $INSTANCE holds"
BUSY=vorn-busy
BUSY_UNIT="vornd@$(inside systemd-escape "$BUSY").service"
vornd -install "-name=$BUSY" "-port=$PORT" -engine=/usr/bin/vorn-echo-engine -AM=Vorn
checkEqual "-install $BUSY on $PORT: exit status" 1 "$STATUS"
checkContains "-install $BUSY: the port is in use" "Port $PORT is in use" "$OUTPUT"
checkEqual "$BUSY_UNIT: still starting, not ready" activating "$(unitProperty "$BUSY_UNIT" ActiveState)"
checkEqual "$BUSY_UNIT: says what it waits for" "waiting for port $PORT, held by another program" \
  "$(unitProperty "$BUSY_UNIT" StatusText)"
vornd -remove "-name=$BUSY"
checkEqual "-remove $BUSY: exit status" 0 "$STATUS"
if waitUntil 35 notActive "$BUSY_UNIT"; then
  pass "$BUSY_UNIT: gone after -remove"
else
  fail "$BUSY_UNIT: after -remove: $(unitStates "$BUSY_UNIT")"
fi

log "systemctl start vornd@nosuch.service (no such instance)"
inside systemctl start vornd@nosuch.service >/dev/null 2>&1
checkEqual "vornd@nosuch: its start fails" failed "$(unitProperty vornd@nosuch.service ActiveState)"
sleep 3
checkEqual "vornd@nosuch: not started again" 0 "$(unitProperty vornd@nosuch.service NRestarts)"
checkEqual "vornd@nosuch: still failed" failed "$(unitProperty vornd@nosuch.service ActiveState)"
checkContains "vornd@nosuch: the journal says why" "no instance named nosuch is installed" \
  "$(inside journalctl --no-pager -o cat -u vornd@nosuch.service 2>&1)"
checkEqual "nothing listens on 8060" "" "$(listener 8060)"
inside systemctl reset-failed vornd@nosuch.service >/dev/null 2>&1

log "Six -modify calls in a row"
for i in 1 2 3 4 5 6; do
  vornd -modify "$INSTANCE" "ROUND=$i"
  [[ $STATUS == 0 ]] || break
done
checkEqual "-modify six times: the last exit status" 0 "$STATUS"
[[ $STATUS == 0 ]] || printf '%s\n' "$OUTPUT" | indent
checkActive "$UNIT: active after six -modify" "$UNIT" 10
checkLogin "login after six -modify" "$PORT"

log "apt-get remove vornd, then install it again (inside)"
inside apt-get -o DPkg::Lock::Timeout=120 remove -y vornd >"$WORK/remove.log" 2>&1
checkEqual "apt-get remove: exit status" 0 "$?"
checkEqual "$UNIT: stopped by the removal" "" "$(listener "$PORT")"
inside apt-get -o DPkg::Lock::Timeout=120 install -y --no-install-recommends "$INSIDE_DEB" \
  >"$WORK/reinstall.log" 2>&1
checkEqual "apt-get install again: exit status" 0 "$?"
checkActive "$UNIT: active again after the reinstall" "$UNIT" 15
waitUntil 10 listens "$PORT"
checkLogin "login after the reinstall" "$PORT"

# ---- Rebooted ------------------------------------------------------------------------------------------

log "systemctl reboot (inside)"
oldPid1=$PID1
rebootAt=$SECONDS
inside systemctl reboot >/dev/null 2>&1
# nspawn ends with status 133 when its container reboots, for whoever runs
# it to start it again.
nspawnStatus=""
for _ in $(seq 1 450); do
  if ! kill -0 "$NSPAWN" 2>/dev/null; then
    wait "$NSPAWN"
    nspawnStatus=$?
    break
  fi
  sleep 0.2
done
if [[ -z $nspawnStatus ]]; then
  fail "reboot: the container did not go down within 90 s"
  consoleLines 20
  exit 1
fi
NSPAWN=""
checkEqual "reboot: systemd-nspawn ended with the reboot status" 133 "$nspawnStatus"
if bootContainer; then
  pass "reboot: systemd in the container is up again ($BOOT_STATE) after ${BOOT_TIME}s, $(elapsed "$rebootAt") after the reboot (PID 1 was $oldPid1, is $PID1)"
else
  fail "reboot: the container did not come up again: $BOOT_PROBLEM"
  consoleLines 20
  exit 1
fi
checkActive "$UNIT: active after the reboot" "$UNIT" 10
checkLogin "login after the reboot" "$PORT"

# ---- systemctl status and the journal ------------------------------------------------------------------

log "systemctl status $UNIT"
MAINPID="$(unitProperty "$UNIT" MainPID)"
status="$(inside systemctl status --no-pager --full --lines=5 "$UNIT" 2>&1)"
printf '%s\n' "$status" | indent 20
checkContains "systemctl status: the unit loaded" "Loaded: loaded (" "$status"
checkContains "systemctl status: active (running)" "Active: active (running)" "$status"
if [[ $MAINPID =~ ^[1-9][0-9]*$ ]]; then
  checkContains "systemctl status: its main PID" "Main PID: $MAINPID " "$status"
else
  fail "systemctl status: no main PID ($MAINPID)"
fi

# The sandbox of the running unit, as systemd rates it: 6.0 or less.
security="$(inside systemd-analyze security --no-pager "$UNIT" 2>&1)"
exposure="$(printf '%s\n' "$security" | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')"
if [[ -n $exposure ]] && awk -v e="$exposure" 'BEGIN { exit !(e <= 6.0) }'; then
  pass "systemd-analyze security $UNIT: exposure $exposure"
else
  fail "systemd-analyze security $UNIT: exposure \"$exposure\", wanted 6.0 or less:"
  printf '%s\n' "$security" | tail -n 30 | indent 30
fi

# ---- A system logon through PAM ---------------------------------------------------------------------------

log "Instance $PAM_INSTANCE on port $PAM_PORT (-AM=LogonUser)"
inside useradd --create-home "$PAM_USER" >/dev/null 2>&1
printf '%s:%s\n' "$PAM_USER" "$PAM_PASSWORD" | inside chpasswd
checkEqual "account $PAM_USER made inside" 0 "$?"
vornd -install "-name=$PAM_INSTANCE" "-port=$PAM_PORT" -engine=/usr/bin/vorn-echo-engine -AM=LogonUser
checkContains "-install, LogonUser: started" "$PAM_INSTANCE Started" "$OUTPUT"
checkActive "$PAM_UNIT: active" "$PAM_UNIT" 10
waitUntil 10 listens "$PAM_PORT"
# The right password, with the line to echo held back a moment: meanwhile
# the engine must run as the account that logged in.
engineUser() {
  ENGINE_USER="$(inside ps -C vorn-echo-engine -o user= 2>/dev/null | head -n 1)"
  [[ -n $ENGINE_USER ]]
}
{
  sleep 3
  printf 'ping\n'
} | inside timeout 30 /usr/bin/vornlogin -u "$PAM_USER" -p "$PAM_PASSWORD" "127.0.0.1:$PAM_PORT" \
  >"$WORK/pam.out" 2>"$WORK/login.err" &
loginPid=$!
ENGINE_USER=""
waitUntil 3 engineUser
wait "$loginPid"
result=$?
reply="$(cat "$WORK/pam.out")"
# Without $SYSUID (a system logon hands the engine no password) the
# engine greets without a name.
if [[ $result == 0 && "$reply" == $'hello\nping' ]] && grep -q 'login accepted' "$WORK/login.err"; then
  pass "PAM: the right password accepted, the engine greets and echoes"
else
  fail "PAM: the right password: vornlogin exit status $result, replied:"
  { printf '%s\n' "$reply"; cat "$WORK/login.err"; } | indent 10
fi
checkEqual "PAM: the engine runs as $PAM_USER" "$PAM_USER" "$ENGINE_USER"
reply="$(login "$PAM_PORT" "$PAM_USER" "not-$PAM_PASSWORD")"
result=$?
if [[ $result == 1 && -z "$reply" ]] && grep -q 'login refused' "$WORK/login.err"; then
  pass "PAM: a wrong password refused"
else
  fail "PAM: a wrong password: vornlogin exit status $result, replied:"
  { printf '%s\n' "$reply"; cat "$WORK/login.err"; } | indent 10
fi
# The refusal is a warning of the event log, which syslog takes to the
# journal under the instance's unit, with the instance name as identifier.
refusal="${PAM_INSTANCE}[[0-9]*]: Login refused for user $PAM_USER from 127.0.0.1 port [0-9]*: wrong user name or password"
journalHasRefusal() {
  inside journalctl --no-pager -o short -u "$PAM_UNIT" 2>/dev/null | grep -q -- "$refusal"
}
if waitUntil 5 journalHasRefusal; then
  pass "journalctl -u $PAM_UNIT: the refusal, from the instance"
else
  fail "journalctl -u $PAM_UNIT: no line matching \"$refusal\"; the journal has:"
  inside journalctl --no-pager -o short -u "$PAM_UNIT" 2>&1 | tail -n 10 | indent
  echo "      and, from any unit:"
  inside journalctl --no-pager -o short -t "$PAM_INSTANCE" 2>&1 | tail -n 5 | indent
fi
checkLacks "journal: no password" "$PAM_PASSWORD" "$(inside journalctl --no-pager -o cat 2>&1)"

# ---- Removed ------------------------------------------------------------------------------------------------

log "vornd -remove"
for name in "$INSTANCE" "$PAM_INSTANCE"; do
  unit="vornd@$(inside systemd-escape "$name").service"
  vornd -remove "-name=$name"
  checkEqual "-remove $name: exit status" 0 "$STATUS"
  checkContains "-remove $name: removed" "$name removed" "$OUTPUT"
  if waitUntil 35 notActive "$unit"; then
    pass "$unit: not active after -remove"
  else
    fail "$unit: still there after -remove: $(unitStates "$unit")"
  fi
  enabled="$(inside systemctl is-enabled "$unit" 2>&1)"
  if [[ $enabled != enabled && $enabled != enabled-runtime ]]; then
    pass "$unit: not enabled after -remove"
  else
    fail "$unit: is-enabled says $enabled after -remove"
  fi
  checkEqual "$unit: no link to it left" "" \
    "$(inside find /etc/systemd /run/systemd -name "$unit" 2>&1)"
done
checkEqual "nothing listens on $PORT or $PAM_PORT" "" "$(listener "$PORT")$(listener "$PAM_PORT")"
checkEqual "systemctl list-units --all 'vornd@*': none" "" \
  "$(inside systemctl list-units --all --no-legend --plain 'vornd@*' 2>&1)"

# ---- Purged ---------------------------------------------------------------------------------------------------

log "apt-get purge vornd (inside)"
inside apt-get -o DPkg::Lock::Timeout=120 purge -y vornd >"$WORK/purge.log" 2>&1
result=$?
checkEqual "apt-get purge: exit status" 0 "$result"
[[ $result == 0 ]] || tail -n 20 "$WORK/purge.log" | indent
state="$(inside dpkg-query -W -f='${db:Status-Status}' vornd 2>/dev/null)"
if [[ -z $state || $state == not-installed ]]; then
  pass "dpkg: vornd not installed"
else
  fail "dpkg: vornd is $state"
fi
checkEqual "/var/lib/vornd gone" "" "$(inside ls -d /var/lib/vornd 2>/dev/null)"
checkEqual "no deb-systemd-helper records of vornd units" "" \
  "$(inside find /var/lib/systemd -name 'vornd*' 2>&1)"
checkEqual "no vornd files left" "" \
  "$(inside find /etc /usr /var/lib /run/systemd -name '*vornd*' 2>&1)"
checkEqual "systemctl list-unit-files 'vornd*': none" "" \
  "$(inside systemctl list-unit-files --no-legend 'vornd*' 2>&1)"
checkEqual "systemctl list-units --all 'vornd*': none" "" \
  "$(inside systemctl list-units --all --no-legend --plain 'vornd*' 2>&1)"
checkEqual "no vornd process left" "" \
  "$(inside sh -c 'for p in /proc/[0-9]*; do
       case "$(readlink "$p/exe" 2>/dev/null)" in /usr/sbin/vornd*) echo "${p#/proc/}";; esac
     done')"

# ---- Summary ---------------------------------------------------------------------------------------------------

log "Summary"
stopContainer
echo "systemd: $PASSES passed, $FAILURES failed ($(elapsed "$STARTED") in all)"
[[ $FAILURES -eq 0 ]]
