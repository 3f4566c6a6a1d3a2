#!/usr/bin/env bash
# Installs the npm packages the tests use (the independent .msg reader of the
# msgfile tests), exactly as locked, when they are missing.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="$here/tests/msgreader"
if [ -d "$dir/node_modules/@kenjiuno/msgreader" ]; then
  exit 0
fi
command -v npm >/dev/null || { echo "install-npm-deps: npm is missing (Debian package npm)" >&2; exit 1; }
cd "$dir"
npm ci --no-audit --no-fund --loglevel=error
