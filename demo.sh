#!/usr/bin/env bash
# The demo, from a bare Debian 12 machine on: installs the Debian packages the demo needs
# (make, cmake, g++, the headless JDK, ...; root's apt-get), configures and builds the
# demo's targets in build/ (BUILD=... for another folder), then runs examples/run-demo.sh.
#
#   bash demo.sh
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
  echo "demo.sh: $name: $((SECONDS - from)) s"
}
step "packages" bash scripts/install-deps.sh demo "$build"
# From here on temporary files (compilers, tests, JVMs) stay in the build folder.
mkdir -p "$build/tmp"
TMPDIR=$(cd "$build/tmp" && pwd)
export TMPDIR
step "configure and build" make --no-print-directory build-demo BUILD="$build" JOBS="$jobs"
step "demo" make --no-print-directory demo BUILD="$build" JOBS="$jobs"
echo "demo.sh: done in $((SECONDS - start)) s"
