#!/usr/bin/env bash
# Installs the npm packages the tests use (the independent .msg reader of the msgfile and
# core tests, tests/msgreader) exactly as package-lock.json locks them: one `npm ci`, run
# by the set-up of the test command before any test starts. No test installs anything.
#
#   scripts/install-npm-deps.sh [BUILD_DIR]
#
# npm's cache and logs go under BUILD_DIR/npm (build/ by default), nothing under the home
# folder. Does nothing when the packages of the current lock file are installed (a copy of
# the lock file, written after a complete install, tells). Fails, saying so, when npm is
# missing or the registry cannot be reached.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build=${1:-$here/build}
dir="$here/tests/msgreader"
marker="$dir/node_modules/.tolvane-installed"

if [ -f "$marker" ] && cmp -s "$marker" "$dir/package-lock.json"; then
  echo "install-npm-deps: the npm packages of tests/msgreader are installed"
  exit 0
fi
if ! command -v npm >/dev/null || ! command -v node >/dev/null; then
  echo "install-npm-deps: node and npm are missing (Debian packages nodejs, npm: bash scripts/install-deps.sh test)" >&2
  exit 1
fi

mkdir -p "$build/npm"
build=$(cd "$build" && pwd)
export npm_config_cache="$build/npm/cache"
export npm_config_logs_dir="$build/npm/logs"
export npm_config_update_notifier=false
export npm_config_fund=false
export npm_config_audit=false

# Several runs may start at once: the first installs, the others wait for it.
exec 9>"$build/npm/install.lock"
flock 9
if [ -f "$marker" ] && cmp -s "$marker" "$dir/package-lock.json"; then
  exit 0
fi

registry=$(npm config get registry)
echo "install-npm-deps: asking the npm registry $registry"
if ! npm ping --fetch-timeout=20000 --fetch-retries=1 >"$build/npm/ping.log" 2>&1; then
  sed 's/^/  /' "$build/npm/ping.log" >&2
  if grep -qE 'CERT|certificate' "$build/npm/ping.log"; then
    echo "install-npm-deps: the npm registry $registry answered with a certificate this machine does not trust." >&2
    echo "install-npm-deps: where the network's HTTPS goes through a CA of its own, install that CA" \
      "(a .crt in /usr/local/share/ca-certificates, then update-ca-certificates) or set npm_config_cafile." >&2
  else
    echo "install-npm-deps: the npm registry $registry cannot be reached." >&2
  fi
  echo "install-npm-deps: the tests need the independent .msg reader (@kenjiuno/msgreader) from it;" \
    "reach the registry (or point npm_config_registry at a mirror of it) and run again." >&2
  exit 1
fi

count=$(grep -c '"node_modules/' "$dir/package-lock.json" || true)
echo "install-npm-deps: npm ci in tests/msgreader: $count packages, as package-lock.json locks them"
rm -f "$marker"
cd "$dir"
start=$SECONDS
if ! npm ci --no-audit --no-fund --loglevel=warn --fetch-timeout=60000 --fetch-retries=2; then
  echo "install-npm-deps: npm ci failed in tests/msgreader (npm's logs: $build/npm/logs)" >&2
  exit 1
fi
cp package-lock.json "$marker"
echo "install-npm-deps: installed in $((SECONDS - start)) s"
