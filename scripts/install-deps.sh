#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when
# they are missing. Runs as root (apt-get); does nothing when all are there.
set -euo pipefail

packages=(
  cmake make g++ pkg-config
  libsqlite3-dev sqlite3
  libgsf-1-dev libgmime-3.0-dev libcurl4-openssl-dev
  openjdk-17-jdk-headless libmail-java junit5
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  python3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# Node.js runs the independent .msg reader of the tests. Any node and npm
# will do (a machine may carry them from another source than Debian's
# packages, which would then conflict): only when the commands are missing
# are Debian's packages installed.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  missing+=(nodejs npm)
fi

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: these packages are missing and installing them needs root: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
