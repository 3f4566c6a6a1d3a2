#!/usr/bin/env bash
# Every test, from a bare Debian 12 machine on: installs the Debian packages the build and
# the tests need (root's apt-get) and the tests' npm packages (one npm ci from the lock
# file), configures and builds everything in build/ (BUILD=... for another folder), then
# runs every test with CTest. A test whose tool is missing fails; none is skipped.
#
#   bash test.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
build=${BUILD:-build}
jobs=${JOBS:-$(nproc)}

start=$SECONDS
# The JVMs of the build (javac, jar) make /tmp/hsperfdata_USER; when it was not there
# before, it goes again at the end if it is empty.
perfdata=/tmp/hsperfdata_$(id -un)
[ -e "$perfdata" ] && perfdata=""
trap '[ -z "$perfdata" ] || rmdir "$perfdata" 2>/dev/null || true' EXIT
step() {
  local name=$1 from=$SECONDS
  shift
  "$@"
  echo "test.sh: $name: $((SECONDS - from)) s"
}
step "packages" bash scripts/install-deps.sh test "$build"
# From here on temporary files (compilers, tests, JVMs) stay in the build folder.
mkdir -p "$build/tmp"
TMPDIR=$(cd "$build/tmp" && pwd)
export TMPDIR
step "npm packages" bash scripts/install-npm-deps.sh "$build"
step "configure and build" make --no-print-directory build BUILD="$build" JOBS="$jobs"
step "tests" make --no-print-directory test BUILD="$build" JOBS="$jobs"
echo "test.sh: done in $((SECONDS - start)) s"
