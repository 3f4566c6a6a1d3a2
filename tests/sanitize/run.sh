#!/usr/bin/env bash
# Runs the tests of one folder of the sanitizer tree (tests/sanitize/build.sh built it)
# with CTest, under the sanitizer settings of common.sh: the tests as the folder registers
# them, with their own environment, against the sanitized library and command.
#
#   tests/sanitize/run.sh SOURCE_DIR TREE FOLDER JOBS [OPTIONS] [CTEST ARGUMENTS...]
#
# FOLDER is the folder in the tree, e.g. tests/mapi. A sanitizer report ends the test
# binary with a failure and its stack, so it fails the test it happened in; the log of the
# run is TREE/FOLDER/sanitize.log. No test may be skipped.
#
# OPTIONS change the sanitizers' settings for this run (tests/sanitize/CMakeLists.txt says
# which folder needs which, and why):
#   --asan-options=A:B   appended to ASAN_OPTIONS
set -euo pipefail

if [ $# -lt 4 ]; then
  echo "usage: $0 SOURCE_DIR TREE FOLDER JOBS [CTEST ARGUMENTS...]" >&2
  exit 2
fi
src=$(cd "$1" && pwd)
tree=$2
folder=$3
jobs=$4
shift 4
name="sanitize_$(basename "$folder")"
. "$src/tests/sanitize/common.sh"
require_clang "$name"
sanitizer_env "$src"
while [ $# -gt 0 ]; do
  case "$1" in
    --asan-options=*) export ASAN_OPTIONS="$ASAN_OPTIONS:${1#--asan-options=}" ;;
    *) break ;;
  esac
  shift
done

dir="$tree/$folder"
if [ ! -f "$dir/CTestTestfile.cmake" ]; then
  echo "$name: $dir has no tests: the sanitizer tree is not built (test sanitize_build)" >&2
  exit 1
fi
log="$dir/sanitize.log"
start=$SECONDS
status=0
(cd "$dir" && ctest --output-on-failure --no-tests=error -j "$jobs" "$@") >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  cat "$log"
  echo "$name: FAILED under the sanitizers after $((SECONDS - start)) s (log: $log)" >&2
  exit 1
fi
if grep -qE '\*\*\*Skipped|^The following tests did not run:' "$log"; then
  cat "$log"
  echo "$name: FAILED: tests were skipped: every test has to run" >&2
  exit 1
fi
sed -n 's/^\(100% tests passed.*\)$/\1/p' "$log"
echo "$name: passed under AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer in $((SECONDS - start)) s"
