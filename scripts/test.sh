#!/usr/bin/env bash
# shellcheck disable=SC2317  # stages are called as "stage_$stage"
# The project's test command. Builds vornd three ways and runs each build's
# tests:
#
#   native   build/        the Linux build
#   asan     build-asan/   the same with AddressSanitizer and UBSan
#   win32    build-win32/  cross-built for 32-bit Windows, tests under Wine,
#                          then the Windows programs end to end under Wine
#                          (scripts/wine_end_to_end.sh, shown as "e2e")
#   browser  build/        the status page in headless Chromium
#                          (scripts/browser_test.sh; a screenshot in
#                          build/browser/)
#   tls      build/        the TLS port examined by testssl, sslscan and
#                          openssl, and a login captured with tcpdump
#                          (scripts/tls_checks.sh; the tools' reports in
#                          build/tls-checks/)
#   haproxy  build/        two daemons behind a real HAProxy configured from
#                          the shipped sample (packaging/haproxy/vornd.cfg):
#                          health checks, logins through the PROXY protocol,
#                          a server killed (scripts/haproxy_checks.sh; the
#                          logs in build/haproxy-checks/)
#   prometheus build/      /metrics checked by promtool and scraped by a real
#                          Prometheus configured from the shipped sample
#                          (packaging/prometheus/vornd.yml;
#                          scripts/prometheus_checks.sh, the files in
#                          build/prometheus-checks/)
#   package  build-pkg/    the Debian package installed, used, removed and
#                          purged on this machine (scripts/package_test.sh)
#   fuzz     build-fuzz/   the libFuzzer targets of fuzz/ (clang, ASan, UBSan),
#                          each run for VORND_FUZZ_SECONDS (default 60)
#   systemd  build-pkg/    the Debian package in a Debian 12 container booted
#                          with systemd-nspawn (scripts/systemd_test.sh; the
#                          tree is kept in build-systemd/); SKIP where no
#                          container can boot here
#
# Run as root on Debian 12: it installs what it needs first. Set
# VORND_SKIP_APT=1 to skip apt on a machine already set up, and
# VORND_STAGES="native win32" (for example) to run some stages only.
# Ends with a summary of the stages; exits non-zero when any failed (a
# skipped stage is shown as SKIP and fails nothing).
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/packages.sh
source "$ROOT/scripts/packages.sh"
export DEBIAN_FRONTEND=noninteractive

STAGES="${VORND_STAGES:-native asan win32 package fuzz browser tls haproxy prometheus systemd}"
declare -A STATUS=() CTEST_LINE=() PASSED=() FAILED=() TIME=() NOTE=()

log() { printf '\n==== %s\n' "$*"; }
die() {
  printf 'test.sh: %s\n' "$*" >&2
  exit 1
}
wants() { [[ " $STAGES " == *" $1 "* ]]; }

# ---- Packages ---------------------------------------------------------------

if [[ "${VORND_SKIP_APT:-0}" != 1 ]]; then
  log "Installing packages"
  packages=("${VORND_NATIVE_PACKAGES[@]}")
  wants fuzz && packages+=("${VORND_FUZZ_PACKAGES[@]}")
  wants tls && packages+=("${VORND_TLS_PACKAGES[@]}")
  wants haproxy && packages+=("${VORND_HAPROXY_PACKAGES[@]}")
  wants prometheus && packages+=("${VORND_PROMETHEUS_PACKAGES[@]}")
  wants systemd && packages+=("${VORND_PACKAGE_PACKAGES[@]}" "${VORND_SYSTEMD_PACKAGES[@]}")
  if wants win32; then
    packages+=("${VORND_WINDOWS_PACKAGES[@]}")
    vornd_apt_update --with-i386 || die "apt-get update failed"
  else
    vornd_apt_update || die "apt-get update failed"
  fi
  vornd_apt_install "${packages[@]}" || die "apt-get install failed"
fi
if wants win32; then
  # Without the 32-bit loader a Windows program "exits 0" with no output.
  dpkg -s wine32:i386 >/dev/null 2>&1 || die "wine32:i386 is not installed"
fi

# ---- Helpers ------------------------------------------------------------------

# Runs one build's tests and records the outcome. A stage passes only when
# ctest succeeds and ran at least one test.
run_ctest() {
  local stage="$1" build="$2"
  local logFile="$build/ctest.log"
  ctest --test-dir "$build" --output-on-failure --no-tests=error --timeout 300 \
    </dev/null 2>&1 | tee "$logFile"
  local rc=${PIPESTATUS[0]}
  local line
  line="$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$logFile" |
    tail -n 1)"
  local total=0 failed=0
  if [[ -n "$line" ]]; then
    total="$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")"
    failed="$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")"
  else
    line="no test summary (see $logFile)"
  fi
  CTEST_LINE[$stage]="$line"
  PASSED[$stage]=$((total - failed))
  FAILED[$stage]=$failed
  if [[ $rc -eq 0 && $total -gt 0 && $failed -eq 0 ]]; then
    STATUS[$stage]=PASS
  else
    STATUS[$stage]=FAIL
    # Tests that did not run at all count as one failure.
    [[ $failed -eq 0 ]] && FAILED[$stage]=1
  fi
}

build_failed() {
  local stage="$1" what="$2"
  STATUS[$stage]=FAIL
  CTEST_LINE[$stage]="$what failed"
  PASSED[$stage]=0
  FAILED[$stage]=1
}

configure_and_build() {
  local build="$1"
  shift
  cmake -S "$ROOT" -B "$build" -G Ninja "$@" && cmake --build "$build"
}

# LeakSanitizer stops the process's threads with ptrace; where ptrace is
# refused (some containers and CI sandboxes) it dies on every exit, so leak
# checking is turned off there rather than failing every test.
leak_detection() {
  local dir
  dir="$(mktemp -d)"
  printf 'int main(void) { return 0; }\n' >"$dir/probe.c"
  local result=0
  if gcc -fsanitize=address "$dir/probe.c" -o "$dir/probe" 2>/dev/null &&
    ASAN_OPTIONS=detect_leaks=1 "$dir/probe" >/dev/null 2>&1; then
    result=1
  fi
  rm -rf "$dir"
  echo "$result"
}

# Runs a script that prints one "ok" or "FAIL" line a check and records
# them as a stage's tests: record_checks <stage> <time limit> <command...>
# A script that cannot run its checks on this machine says why on a
# "SKIP" line and exits 77: the stage is skipped, neither passed nor failed.
record_checks() {
  local stage="$1" limit="$2" output result
  shift 2
  output="$(timeout "$limit" "$@" 2>&1)"
  result=$?
  printf '%s\n' "$output"
  PASSED[$stage]=$(grep -c '^ok ' <<<"$output")
  FAILED[$stage]=$(grep -c '^FAIL ' <<<"$output")
  CTEST_LINE[$stage]="${PASSED[$stage]} checks passed, ${FAILED[$stage]} failed"
  if [[ $result -eq 77 && ${FAILED[$stage]} -eq 0 ]]; then
    STATUS[$stage]=SKIP
    CTEST_LINE[$stage]="skipped: $(sed -n 's/^SKIP  *//p' <<<"$output" | tail -n 1)"
  elif [[ $result -eq 0 && ${PASSED[$stage]} -gt 0 ]]; then
    STATUS[$stage]=PASS
  else
    STATUS[$stage]=FAIL
    [[ ${FAILED[$stage]} -eq 0 ]] && FAILED[$stage]=1
  fi
}

# The processes of this run's programs: anything started from one of its
# build folders, or the packaged vornd. Listed before and after each stage,
# so that a stage's leftovers (a service a test started and lost track of)
# are ended by process id, never by name, and named in the summary.
our_processes() {
  local dir exe
  for dir in /proc/[0-9]*; do
    exe="$(readlink "$dir/exe" 2>/dev/null)" || continue
    case "$exe" in
    "$ROOT"/build*/* | /usr/sbin/vornd) printf '%s\n' "${dir#/proc/}" ;;
    esac
  done
}

end_leftovers() {
  local stage="$1" before="$2" pid ended=0
  for pid in $(our_processes); do
    [[ " $before " == *" $pid "* ]] && continue
    printf 'test.sh: %s left process %s running: %s\n' "$stage" "$pid" \
      "$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)"
    kill -KILL "$pid" 2>/dev/null && ended=$((ended + 1))
  done
  if [[ $ended -gt 0 ]]; then
    NOTE[$stage]+="${NOTE[$stage]:+; }ended $ended process(es) it left running"
  fi
}

# ---- Stages -------------------------------------------------------------------

stage_native() {
  log "native: build/"
  if configure_and_build "$ROOT/build"; then
    run_ctest native "$ROOT/build"
  else
    build_failed native build
  fi
}

stage_asan() {
  log "asan: build-asan/ (AddressSanitizer + UBSan)"
  local leaks
  leaks="$(leak_detection)"
  [[ $leaks == 1 ]] || NOTE[asan]="leak checks off: LeakSanitizer cannot run here"
  if configure_and_build "$ROOT/build-asan" -DVORND_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug; then
    export ASAN_OPTIONS="detect_leaks=$leaks:check_initialization_order=1:strict_init_order=1"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    run_ctest asan "$ROOT/build-asan"
    unset ASAN_OPTIONS UBSAN_OPTIONS
  else
    build_failed asan build
  fi
}

# Each target from its seeds in fuzz/corpus/<name>/ and what earlier runs
# found (kept in build-fuzz/corpus/); a crash, a sanitizer report or a leak
# fails it, and the input that did it is kept as build-fuzz/crash-<name>-*.
stage_fuzz() {
  local seconds="${VORND_FUZZ_SECONDS:-60}"
  log "fuzz: build-fuzz/ (libFuzzer, ${seconds} s a target)"
  if ! CC=clang CXX=clang++ configure_and_build "$ROOT/build-fuzz" -DVORND_FUZZ=ON \
    -DVORND_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
    build_failed fuzz build
    return
  fi
  local leaks target name log runs passed=0 failed=0 summary=""
  leaks="$(leak_detection)"
  [[ $leaks == 1 ]] || NOTE[fuzz]="leak checks off: LeakSanitizer cannot run here"
  for target in "$ROOT"/build-fuzz/bin/*_fuzz; do
    name="$(basename "$target" _fuzz)"
    mkdir -p "$ROOT/build-fuzz/corpus/$name"
    log="$ROOT/build-fuzz/$name.log"
    if UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" "$target" \
      -max_total_time="$seconds" -detect_leaks="$leaks" -close_fd_mask=1 -print_final_stats=1 \
      -rss_limit_mb=2048 -artifact_prefix="$ROOT/build-fuzz/crash-$name-" \
      "$ROOT/build-fuzz/corpus/$name" "$ROOT/fuzz/corpus/$name" >"$log" 2>&1; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
      grep -E "ERROR|SUMMARY|deadly|Test unit written" "$log" | head -5
    fi
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
    printf '%-16s %s executions\n' "$name" "${runs:-?}"
    summary+="${summary:+, }$name ${runs:-?}"
  done
  PASSED[fuzz]=$passed
  FAILED[fuzz]=$failed
  CTEST_LINE[fuzz]="$passed targets clean, $failed failed (executions: $summary)"
  if [[ $failed -eq 0 && $passed -gt 0 ]]; then STATUS[fuzz]=PASS; else STATUS[fuzz]=FAIL; fi
  [[ $passed -gt 0 ]] || FAILED[fuzz]=1
}

# The package stage installs the package on this machine and purges it
# again; it refuses a machine where vornd is installed already.
stage_package() {
  log "package: the Debian package on this machine"
  record_checks package 1200 "$ROOT/scripts/package_test.sh"
}

# The package in a container whose PID 1 is systemd: the tree is made with
# debootstrap once and kept in build-systemd/, each run boots a copy. Where
# no container boots (no root, no namespaces or cgroups for it) it is
# skipped.
stage_systemd() {
  log "systemd: the Debian package in a container booted with systemd"
  local upgrade=()
  local old
  if old="$(old_package)"; then
    upgrade=(--upgrade-from "$old")
  else
    echo "systemd: no 0.1.0 package to upgrade from (no git history here): upgrade not checked"
  fi
  record_checks systemd 1800 "$ROOT/scripts/systemd_test.sh" "${upgrade[@]}"
}

# The package of 0.1.0, whose instances ran outside systemd, built once from
# the repository's history into build-systemd/ for the upgrade check; its
# path, or a failure where the history or the build is not to be had.
OLD_PACKAGE_COMMIT=7c38f52
old_package() {
  local dir="$ROOT/build-systemd/old-0.1.0"
  local deb="$dir/build/vornd_0.1.0_amd64.deb"
  if [[ ! -f $deb ]]; then
    command -v git >/dev/null 2>&1 || return 1
    git -C "$ROOT" cat-file -e "$OLD_PACKAGE_COMMIT^{commit}" 2>/dev/null || return 1
    rm -rf "$dir" && mkdir -p "$dir/source" || return 1
    git -C "$ROOT" archive "$OLD_PACKAGE_COMMIT" | tar -x -C "$dir/source" || return 1
    cmake -S "$dir/source" -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX=/usr -DVORND_TESTS=OFF >"$dir/build.log" 2>&1 &&
      cmake --build "$dir/build" >>"$dir/build.log" 2>&1 &&
      (cd "$dir/build" && cpack -G DEB >>"$dir/build.log" 2>&1) || return 1
  fi
  [[ -f $deb ]] && echo "$deb"
}

# check_stage <stage> <seconds> <script> <program>...: the script's checks
# against build/, built first when one of the programs is missing.
check_stage() {
  local stage="$1" limit="$2" script="$3" program
  shift 3
  for program in "$@"; do
    if [[ ! -x "$ROOT/build/bin/$program" ]]; then
      configure_and_build "$ROOT/build" || {
        build_failed "$stage" build
        return
      }
      break
    fi
  done
  record_checks "$stage" "$limit" "$ROOT/scripts/$script" "$ROOT/build"
}

stage_browser() {
  log "browser: the status page in headless Chromium"
  check_stage browser 600 browser_test.sh vornd vorn-echo-engine
}

# The relay's TLS as outside scanners see it, and a login on the wire.
# testssl alone takes one to two minutes; the script bounds it at ten.
stage_tls() {
  log "tls: the TLS port examined from outside"
  check_stage tls 900 tls_checks.sh vornd vornd-tls vornreg vornlogin
}

# Two daemons behind HAProxy, run from the sample configuration the
# package ships; about ten seconds when all is well, a few minutes at most
# when the servers never come up (each wait is bounded).
stage_haproxy() {
  log "haproxy: two daemons behind HAProxy"
  check_stage haproxy 300 haproxy_checks.sh vornd vornreg
}

# One daemon's /metrics through promtool and a real Prometheus; about ten
# seconds when all is well, each wait bounded.
stage_prometheus() {
  log "prometheus: /metrics checked and scraped"
  check_stage prometheus 300 prometheus_checks.sh vornd vornreg
}

# True when the kernel runs 32-bit programs (some virtual machines' kernels
# do not, and then no 32-bit Wine can start).
kernel_runs_32bit() { /usr/lib/wine/wine --version >/dev/null 2>&1; }

stage_win32() {
  log "win32: build-win32/ (MinGW-w64 i686, tests under Wine)"
  if ! configure_and_build "$ROOT/build-win32" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake"; then
    build_failed win32 "cross build"
    return
  fi

  local testBuild="$ROOT/build-win32" loader=wine
  export WINEARCH=win32
  if ! kernel_runs_32bit; then
    # The 32-bit build above still proves the product compiles and links.
    NOTE[win32]="this kernel cannot run 32-bit programs:"
    NOTE[win32]+=" tests ran from build-win64/ under 64-bit Wine"
    log "win32: ${NOTE[win32]}"
    if [[ "${VORND_SKIP_APT:-0}" != 1 ]]; then
      vornd_apt_install "${VORND_WINDOWS64_PACKAGES[@]}" || {
        build_failed win32 "installing the 64-bit cross compiler"
        return
      }
    fi
    testBuild="$ROOT/build-win64"
    if ! configure_and_build "$testBuild" \
      -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-x86_64.cmake"; then
      build_failed win32 "64-bit cross build"
      return
    fi
    loader=/usr/lib/wine/wine64
    export WINEARCH=win64 WINELOADER=$loader
  fi

  # A fresh prefix inside the build folder, headless and quiet.
  export WINEPREFIX="$testBuild/wineprefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  unset DISPLAY WAYLAND_DISPLAY
  rm -rf "$WINEPREFIX"
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  trap 'exit 130' INT TERM

  log "win32: booting Wine ($WINEARCH prefix)"
  local bootStart=$SECONDS
  "$loader" wineboot --init </dev/null >/dev/null 2>&1
  wineserver -w
  # Keep the server between test processes instead of booting Wine anew
  # for each.
  wineserver -p
  # The first process of a session starts Wine's system processes; started
  # by ctest they would hold its output pipe open until the time-out.
  "$loader" cmd /c exit 0 </dev/null >/dev/null 2>&1

  local testStart=$SECONDS
  run_ctest win32 "$testBuild"
  local e2eStart=$SECONDS
  run_end_to_end "$testBuild" "$loader"
  TIME[e2e]=$((SECONDS - e2eStart))
  wineserver -k >/dev/null 2>&1 || true
  trap - EXIT INT TERM
  NOTE[win32]+="${NOTE[win32]:+; }Wine boot $((testStart - bootStart))s,"
  NOTE[win32]+=" tests $((e2eStart - testStart))s"
}

# The administrator's path through the Windows programs, against Wine's
# service manager, with the native Linux client; its steps count as tests.
run_end_to_end() {
  local build="$1" loader="$2" client="$ROOT/build/bin/vornlogin"
  log "e2e: the Windows programs end to end under Wine"
  if [[ ! -x "$client" ]]; then
    cmake -S "$ROOT" -B "$ROOT/build" -G Ninja >/dev/null &&
      cmake --build "$ROOT/build" --target vornlogin || {
      build_failed e2e "building the native client"
      return
    }
  fi
  record_checks e2e 300 "$ROOT/scripts/wine_end_to_end.sh" "$build" "$loader" "$client"
}

cd "$ROOT" || die "cannot enter $ROOT"
for stage in native asan win32 package fuzz browser tls haproxy prometheus systemd; do
  wants "$stage" || continue
  start=$SECONDS
  before="$(our_processes | tr '\n' ' ')"
  "stage_$stage"
  end_leftovers "$stage" "$before"
  TIME[$stage]=$((SECONDS - start))
done

# ---- Summary ------------------------------------------------------------------

log "Summary"
totalPassed=0
totalFailed=0
skipped=0
exitCode=0
for stage in native asan win32 e2e package fuzz browser tls haproxy prometheus systemd; do
  [[ -n "${STATUS[$stage]:-}" ]] || continue
  printf '%-10s %-4s %s (%ss)\n' "$stage" "${STATUS[$stage]}" "${CTEST_LINE[$stage]}" \
    "${TIME[$stage]}"
  [[ -n "${NOTE[$stage]:-}" ]] && printf '        note: %s\n' "${NOTE[$stage]}"
  totalPassed=$((totalPassed + PASSED[$stage]))
  totalFailed=$((totalFailed + FAILED[$stage]))
  case "${STATUS[$stage]}" in
  PASS) ;;
  SKIP) skipped=$((skipped + 1)) ;;
  *) exitCode=1 ;;
  esac
done
printf 'total: %d passed, %d failed' "$totalPassed" "$totalFailed"
[[ $skipped -gt 0 ]] && printf ', %d stage(s) skipped' "$skipped"
printf '\n'
exit $exitCode
