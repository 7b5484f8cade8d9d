# shellcheck shell=bash disable=SC2034
# Sourced by scripts/test.sh and scripts/demo.sh: the Debian packages the
# build needs, in one place, and the apt-get step that installs them.

# Native build, tests and the demo.
VORND_NATIVE_PACKAGES=(
  ca-certificates
  cmake
  ninja-build
  g++
  pkg-config
  libgtest-dev
  libgmock-dev
  googletest
  libpam0g-dev
  # vornlogin's TLS; the tests make their certificates with openssl and
  # serve them from python3.
  libssl-dev
  openssl
  python3
  # fail2ban-regex and fail2ban-client, for the tests of the fail2ban filter
  # and jail the package installs. No service is started by the tests.
  fail2ban
  # logrotate, for the test of the event log's rotation file.
  logrotate
)

# The TLS port examined from outside (scripts/tls_checks.sh): testssl (the
# command "testssl") and sslscan scan it, tcpdump captures a login on the
# loopback.
VORND_TLS_PACKAGES=(
  testssl.sh
  sslscan
  tcpdump
)

# Daemons behind a load balancer (scripts/haproxy_checks.sh): Debian's
# HAProxy, run in the foreground by the script; its own service is not
# used.
VORND_HAPROXY_PACKAGES=(
  haproxy
)

# /metrics checked and scraped (scripts/prometheus_checks.sh): Debian's
# Prometheus, with promtool, run in the foreground by the script; its own
# service is not used.
VORND_PROMETHEUS_PACKAGES=(
  prometheus
  curl
)

# The fuzz targets: clang and its fuzzer runtime.
VORND_FUZZ_PACKAGES=(
  clang
  libclang-rt-14-dev
)

# Building, linting and installing the Debian package (scripts/package_test.sh).
VORND_PACKAGE_PACKAGES=(dpkg-dev file groff-base man-db mandoc lintian)

# The package under systemd in a container (scripts/systemd_test.sh):
# debootstrap makes the Debian tree, verified with Debian's archive keys;
# systemd-nspawn boots it. nsenter, which runs the checks inside, is in
# util-linux.
VORND_SYSTEMD_PACKAGES=(
  debootstrap
  debian-archive-keyring
  systemd-container
)

# Cross build for 32-bit Windows and the Wine that runs its tests.
# googletest (above) brings the sources the cross build compiles.
VORND_WINDOWS_PACKAGES=(
  g++-mingw-w64-i686-posix
  wine
  wine64
  wine32:i386
)

# Only where the kernel cannot run 32-bit programs: the Windows tests then
# run from a 64-bit cross build under 64-bit Wine.
VORND_WINDOWS64_PACKAGES=(
  g++-mingw-w64-x86-64-posix
)

# apt-get install with no questions asked. VORND_SKIP_APT=1 skips it, for
# quick local runs on a machine already set up.
vornd_apt_install() {
  if [[ "${VORND_SKIP_APT:-0}" == 1 ]]; then
    echo "VORND_SKIP_APT=1: not installing $*"
    return 0
  fi
  local preferences=()
  [[ -n "${VORND_APT_PREFERENCES:-}" ]] && preferences=(-o "Dir::Etc::Preferences=$VORND_APT_PREFERENCES")
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends \
    -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold "${preferences[@]}" "$@"
}

# A suite (security, updates) whose i386 index could not be had while its
# amd64 one came in offers amd64 packages newer than any i386 one, and
# multiarch packages (libssl3, zlib1g) must have the same version on both:
# wine32 then cannot be installed. For this script's installs only, such a
# suite is put below the others, so that both architectures take the
# versions they share. Sets VORND_APT_PREFERENCES to the pinning file.
vornd_pin_suites_missing_i386() {
  dpkg --print-foreign-architectures | grep -qx i386 || return 0
  local lists=/var/lib/apt/lists release prefix codename pins=""
  for release in "$lists"/*_InRelease; do
    [[ -e "$release" ]] || continue
    prefix="${release%InRelease}"
    codename="$(sed -n 's/^Codename: //p' "$release" | head -n 1)"
    [[ "$codename" == *-* ]] || continue
    if compgen -G "${prefix}main_binary-amd64_Packages*" >/dev/null &&
      ! compgen -G "${prefix}main_binary-i386_Packages*" >/dev/null; then
      echo "apt: the i386 index of $codename is missing; its packages are installed only where needed" >&2
      pins+="Package: *"$'\n'"Pin: release n=$codename"$'\n'"Pin-Priority: 100"$'\n\n'
    fi
  done
  [[ -n "$pins" ]] || return 0
  VORND_APT_PREFERENCES="$(mktemp /tmp/vornd-apt-preferences.XXXXXX)"
  printf '%s' "$pins" >"$VORND_APT_PREFERENCES"
  export VORND_APT_PREFERENCES
}

# apt-get update, once per script run; with i386 added first when asked,
# for wine32.
vornd_apt_update() {
  if [[ "${VORND_SKIP_APT:-0}" == 1 ]]; then return 0; fi
  if [[ "${1:-}" == --with-i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  # A mirror in the middle of a sync serves index files that do not match
  # their release file for a while: tried again, three times. Should one
  # index still fail, the others are in and the install goes on with them
  # (it fails on its own if a package it needs is not to be had).
  local attempt
  for attempt in 1 2 3; do
    DEBIAN_FRONTEND=noninteractive apt-get -o Acquire::Retries=3 update && return 0
    [[ $attempt -lt 3 ]] && sleep $((attempt * 20))
  done
  if compgen -G '/var/lib/apt/lists/*_Packages*' >/dev/null; then
    echo "apt-get update: some index files could not be had; going on with those that could" >&2
    vornd_pin_suites_missing_i386
    return 0
  fi
  return 1
}
