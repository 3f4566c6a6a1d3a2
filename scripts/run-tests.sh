#!/usr/bin/env bash
# Runs every test of a configured and built tree with CTest, as the test command does.
#
#   scripts/run-tests.sh BUILD_DIR [JOBS]
#
# Every tool a test needs has to be there: TOLVANE_REQUIRE_ALL_TOOLS=1 makes a test whose
# tool is missing fail instead of skipping, and a run in which CTest reports any test as
# skipped or not run fails too. CTest prints a line as each test ends (n/N).
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [JOBS]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
jobs=${2:-$(nproc)}
export TOLVANE_REQUIRE_ALL_TOOLS=1
# Nothing of a test run is written outside the build folder: temporary files go to its
# tmp/, and the JVMs keep no performance data file (/tmp/hsperfdata_USER, whatever
# TMPDIR says). A JVM mentions JAVA_TOOL_OPTIONS on stderr; no test reads that line.
mkdir -p "$build/tmp"
export TMPDIR=$build/tmp
export JAVA_TOOL_OPTIONS="${JAVA_TOOL_OPTIONS:+$JAVA_TOOL_OPTIONS }-XX:-UsePerfData"

count=$(cd "$build" && ctest -N | sed -n 's/^Total Tests: \([0-9]*\)$/\1/p')
if [ -z "$count" ] || [ "$count" -eq 0 ]; then
  echo "run-tests: $build has no tests registered (configured without them?)" >&2
  exit 1
fi
echo "run-tests: running $count tests, $jobs at a time"
log="$build/ctest.log"
start=$SECONDS
status=0
(cd "$build" && ctest --output-on-failure -j "$jobs") 2>&1 | tee "$log" || status=$?
echo "run-tests: ctest took $((SECONDS - start)) s"
if [ "$status" -ne 0 ]; then
  exit "$status"
fi
# CTest counts a skipped test as passed; here none may be.
if grep -qE '\*\*\*Skipped|^The following tests did not run:' "$log"; then
  echo "run-tests: FAILED: tests were skipped (listed above): every test has to run" >&2
  exit 1
fi
echo "run-tests: all $count tests ran and passed, none skipped"
