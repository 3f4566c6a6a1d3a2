#!/usr/bin/env bash
# Installs the Debian packages that the demo or the tests need, those of them that are
# missing, with apt-get; does nothing when all are there. Installing needs root.
#
#   scripts/install-deps.sh demo|test|bench [LOG_DIR]
#
#   demo  building the command, the JNI library and the Java classes, and running the
#         demo: make and cmake among them, so that a minimal Debian gets going (with
#         DEMO_STORE=postgresql also PostgreSQL 15, for the demo on it)
#   test  the same, and what the tests and the benchmarks need (GoogleTest, JUnit 5,
#         mingw-w64, Python, Node.js and npm for the independent .msg reader, clang 14
#         with its sanitizer and libFuzzer runtimes and llvm-symbolizer for the sanitizer
#         and fuzz tests of tests/sanitize and tests/fuzz, and Wine with its 32-bit
#         packages, which the i386 architecture is added for, to run the Windows DLL),
#         Exim for the sending tests, unpacked beside the installed Postfix (below), and
#         PostgreSQL 15, whose private servers the store tests run
#
# The terminal gets what is installed and how much (packages, download, disk), then the
# progress of the download and of the installation; apt-get's own output goes to
# LOG_DIR/apt-install.log (LOG_DIR: the build folder, build/ by default).
set -euo pipefail

group=${1:-test}
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
logdir=${2:-$here/build}

demo_packages=(
  make cmake g++ pkg-config
  libsqlite3-dev libgsf-1-dev libgmime-3.0-dev libcurl4-openssl-dev
  libesmtp-dev libssl-dev
  # The PostgreSQL store engine (a module on libpq, built when libpq is there).
  libpq-dev
  openjdk-17-jdk-headless libmail-java
  # At run time: the MIME writer guesses an attachment's media type from its file name
  # through GIO, which reads shared-mime-info's database (only recommended by GLib).
  shared-mime-info
)
test_packages=(
  sqlite3 python3
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  junit5
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  ca-certificates
  # The store tests run the PostgreSQL engine against a private server of their own
  # (tests/pg/pgserver.sh: initdb and pg_ctl from pg_config --bindir, run with runuser).
  postgresql-15
  clang libclang-rt-14-dev llvm-14
  # The Windows DLL runs under Wine in the tests (tests/win32): Debian's 32-bit Wine.
  wine wine32:i386
  # The sending tests run a private Postfix (tests/smtp), with its SASL database tool,
  # the SASL mechanisms it offers (PLAIN, LOGIN: libsasl2-modules, only recommended by
  # sasl2-bin) and the openssl command for their certificate.
  postfix sasl2-bin libsasl2-modules openssl
  # The lease test steps a spooler's wall clock with libfaketime.
  faketime
  # They also run a private Exim (tests/smtp/exim.sh), unpacked from Debian's package
  # below: the libraries its program needs.
  libc6 libcrypt1 libdb5.3 libgnutls30 libgnutls-dane0 libidn12 libidn2-0 libnsl2 libpcre2-8-0
)
# Exim and Postfix cannot both be installed (each is a mail-transport-agent). The sending
# tests need both, so Debian's exim4-daemon-light is not installed but fetched with
# apt-get download (checked against the signed package lists like any other package) and
# unpacked with dpkg-deb into this root-owned folder, where the tests look for it
# (TOLVANE_EXIM_ROOT of tests/smtp/CMakeLists.txt). Its program loses the set-user-ID bit:
# the tests run it as nobody with a configuration of their own, and no privileged copy
# outside dpkg's care stays on the machine. Exim looks up its compiled-in user Debian-exim
# at every start, so that system user is made as exim4-base's own set-up makes it. Nothing
# is done when the program and the user are there; removing the folder fetches it again.
exim_root=/opt/tolvane-test/exim4
exim_package=exim4-daemon-light
# bench/compare runs a private Dovecot of its own (its service is not used).
bench_packages=(
  dovecot-core dovecot-imapd dovecot-lmtpd
)

# DEMO_STORE=postgresql runs the demo on a private PostgreSQL server (examples/run-demo.sh).
[ "${DEMO_STORE:-}" != postgresql ] || demo_packages+=(postgresql-15)

case "$group" in
  demo) packages=("${demo_packages[@]}") ;;
  test) packages=("${demo_packages[@]}" "${test_packages[@]}") ;;
  bench) packages=("${demo_packages[@]}" "${test_packages[@]}" "${bench_packages[@]}") ;;
  *)
    echo "usage: $0 demo|test|bench [LOG_DIR]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# Node.js and npm run the independent .msg reader of the tests. Any node and npm will do
# (a machine may carry them from another source than Debian's packages, which would then
# conflict): only when the commands are missing are Debian's packages installed.
if [ "$group" != demo ] && { ! command -v node >/dev/null || ! command -v npm >/dev/null; }; then
  missing+=(nodejs npm)
fi

exim_unpacked() {
  [ -x "$exim_root/usr/sbin/exim4" ] && getent passwd Debian-exim >/dev/null
}

# Fetches and unpacks Exim for the tests (see exim_root above); apt-get's output goes to
# the log.
unpack_exim() {
  if exim_unpacked; then
    echo "install-deps: Exim for the tests is in $exim_root ($(cat "$exim_root/VERSION" 2>/dev/null))"
    return 0
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: Exim for the tests is missing from $exim_root and unpacking it needs root" >&2
    exit 1
  fi
  mkdir -p "$logdir"
  local work deb
  echo "install-deps: fetching $exim_package for the tests (unpacked into $exim_root, not installed)"
  work=$(mktemp -d)
  # apt-get download writes as the user _apt when it can.
  chown _apt "$work" 2>/dev/null || true
  if ! (cd "$work" && apt-get download "$exim_package") >>"$log" 2>&1; then
    echo "install-deps: reading Debian's package lists (apt-get update)"
    apt-get update >>"$log" 2>&1 || fail "apt-get update failed (is Debian's mirror reachable?)"
    (cd "$work" && apt-get download "$exim_package") >>"$log" 2>&1 ||
      fail "apt-get download $exim_package failed"
  fi
  deb=$(find "$work" -maxdepth 1 -name "${exim_package}_*.deb" | head -1)
  [ -n "$deb" ] || fail "apt-get download left no package of $exim_package"
  dpkg-deb -x "$deb" "$work/root" >>"$log" 2>&1 || fail "dpkg-deb could not unpack $deb"
  chmod u-s,g-s "$work/root/usr/sbin/exim4"
  dpkg-deb -f "$deb" Version >"$work/root/VERSION"
  local absent
  absent=$(ldd "$work/root/usr/sbin/exim4" | awk '/not found/ { print $1 }' | tr '\n' ' ')
  [ -z "$absent" ] || fail "Exim needs libraries that are not installed: $absent"
  rm -rf "$exim_root"
  mkdir -p "$(dirname "$exim_root")"
  chown -R root:root "$work/root"
  chmod 755 "$work/root"
  mv "$work/root" "$exim_root"
  rm -rf "$work"
  if ! getent passwd Debian-exim >/dev/null; then
    echo "install-deps: adding the system user Debian-exim that Exim looks up at start"
    useradd --system --user-group --home-dir /nonexistent --no-create-home --shell /usr/sbin/nologin \
      Debian-exim >>"$log" 2>&1 || fail "useradd could not add the user Debian-exim"
  fi
  echo "install-deps: Exim $(cat "$exim_root/VERSION") is unpacked in $exim_root"
}

fail() {
  echo "install-deps: $1; the end of apt-get's output ($log):" >&2
  tail -n 30 "$log" >&2
  exit 1
}
log="$logdir/apt-install.log"

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: the packages the $group needs are installed"
  [ "$group" = demo ] || unpack_exim
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: these packages are missing and installing them needs root: ${missing[*]}" >&2
  echo "install-deps: as root: apt-get install --no-install-recommends ${missing[*]}" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
# Postfix comes without any configuration of the machine's mail system (its service does
# not start): the tests run their own instance with a configuration folder of their own.
echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
mkdir -p "$logdir"
: >"$log"

echo "install-deps: the $group needs ${missing[*]}"
# Wine's 32-bit packages are i386 ones: dpkg must take that architecture before apt-get
# update reads its package lists.
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "install-deps: adding the i386 architecture for Wine's 32-bit packages"
  dpkg --add-architecture i386
fi
echo "install-deps: reading Debian's package lists (apt-get update)"
apt-get update >>"$log" 2>&1 || fail "apt-get update failed (is Debian's mirror reachable?)"

# How much, without installing anything: the packages apt-get would install (a
# simulation), the archives it would fetch (--print-uris lists only those not yet in its
# cache) and their installed sizes.
plan=$(LC_ALL=C apt-get install -s --no-install-recommends "${missing[@]}" 2>&1) || {
  echo "$plan" | tail -n 20 >&2
  echo "install-deps: apt-get cannot install these packages: ${missing[*]}" >&2
  exit 1
}
echo "$plan" >>"$log"
mapfile -t new < <(sed -n 's/^Inst \([^ ]*\) .*/\1/p' <<<"$plan")
count=${#new[@]}
download=$(LC_ALL=C apt-get install --print-uris -qq --no-install-recommends "${missing[@]}" |
  awk '{ s += $3 } END { printf "%.1f MB", s / 1e6 }') || true
disk=$(apt-cache show --no-all-versions "${new[@]}" 2>/dev/null |
  awk '/^Installed-Size:/ { s += $2 } END { printf "%.1f MB", s * 1024 / 1e6 }') || true
echo "install-deps: installing $count packages (those and what they depend on):" \
  "$download to download, $disk on disk"

# apt-get reports its progress on a descriptor of its own (APT::Status-Fd): one line per
# file fetched and per package step. Print one line every 5 percent of each phase.
progress() {
  awk '
    function field_message(start,   i, m) {
      m = $start
      for (i = start + 1; i <= NF; i++) m = m ":" $i
      return m
    }
    BEGIN { FS = ":"; dl = -5; pm = -5 }
    $1 == "dlstatus" {
      p = int($3)
      if (p >= dl + 5) {
        dl = p - p % 5
        printf "install-deps: download %3d%%  %s\n", p, field_message(4)
        fflush()
      }
      next
    }
    $1 == "pmstatus" || $1 == "pmerror" {
      # pmstatus:PACKAGE[:ARCH]:PERCENT:MESSAGE
      for (i = 3; i <= NF; i++) if ($i ~ /^[0-9]+(\.[0-9]+)?$/) break
      if ($1 == "pmerror") {
        printf "install-deps: error: %s\n", field_message(i + 1)
        fflush()
        next
      }
      p = int($i)
      if (p >= pm + 5) {
        pm = p - p % 5
        printf "install-deps: install  %3d%%  %s\n", p, field_message(i + 1)
        fflush()
      }
    }
  '
}

status=0
apt-get install -y --no-install-recommends -o APT::Status-Fd=3 "${missing[@]}" \
  3>&1 >>"$log" 2>&1 | progress || status=$?
[ "$status" -eq 0 ] || fail "apt-get install failed"
echo "install-deps: installed $count packages"
[ "$group" = demo ] || unpack_exim
