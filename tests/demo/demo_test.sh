#!/usr/bin/env bash
# Runs examples/run-demo.sh against a scratch tree that links the build's bin/, lib/ and
# java/, so the demo's home and output are made afresh and the build's own demo-home is
# left alone; then checks what the demo printed and saved (check_demo_output.py).
#
#   demo_test.sh SOURCE_DIR BUILD_DIR SCRATCH_DIR
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 SOURCE_DIR BUILD_DIR SCRATCH_DIR" >&2
  exit 2
fi
source_dir=$(cd "$1" && pwd)
build_dir=$(cd "$2" && pwd)
scratch=$3
here=$(cd "$(dirname "$0")" && pwd)

rm -rf "$scratch"
mkdir -p "$scratch"
scratch=$(cd "$scratch" && pwd)
for sub in bin lib java; do
  ln -s "$build_dir/$sub" "$scratch/$sub"
done

status=0
bash "$source_dir/examples/run-demo.sh" "$scratch" >"$scratch/demo.out" 2>"$scratch/demo.err" || status=$?
if [ "$status" -ne 0 ]; then
  echo "FAIL: run-demo.sh exited with $status" >&2
  echo "---- standard output" >&2
  cat "$scratch/demo.out" >&2
  echo "---- standard error" >&2
  cat "$scratch/demo.err" >&2
  exit 1
fi
if [ -s "$scratch/demo.err" ]; then
  echo "note: run-demo.sh wrote to standard error:"
  cat "$scratch/demo.err"
fi

# With DEMO_STORE=postgresql the mailboxes were on the demo's own server.
if [ "${DEMO_STORE:-}" = postgresql ] && ! grep -q "^Created profile 'demo' with its message store host=.* mailbox=demo$" "$scratch/demo.out"; then
  echo "FAIL: the demo's profile is not on PostgreSQL" >&2
  exit 1
fi
python3 "$here/check_demo_output.py" "$source_dir/examples/mail" "$scratch/demo.out" "$scratch/demo-output"
