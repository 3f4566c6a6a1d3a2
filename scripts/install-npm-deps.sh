#!/usr/bin/env bash
# Installs the npm packages the tests use (the independent .msg reader of the
# msgfile tests), exactly as locked, when they are missing. Tests running in
# parallel may all call it: the first installs, the others wait for it (a
# marker written after a complete install tells that it is done).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="$here/tests/msgreader"
marker="$dir/node_modules/.tolvane-installed"
[ -f "$marker" ] && exit 0
command -v npm >/dev/null || { echo "install-npm-deps: npm is missing (Debian packages nodejs, npm)" >&2; exit 1; }
exec 9>"$dir/.install.lock"
flock 9
[ -f "$marker" ] && exit 0
cd "$dir"
npm ci --no-audit --no-fund --loglevel=error
touch "$marker"
