#!/usr/bin/env bash
# Runs one fuzz target of the sanitizer tree (tests/sanitize/build.sh built it):
#
#   tests/fuzz/run.sh SOURCE_DIR TREE NAME SECONDS [LIBFUZZER OPTIONS...]
#
# 1. Every input of the seed corpus (tests/fuzz/corpus/NAME) and every reproducer of a bug
#    found so far (tests/fuzz/crashes/NAME) runs once as a plain input: none may crash,
#    leak or break a check of the target.
# 2. The target fuzzes for SECONDS from those inputs and from what earlier runs of this
#    tree found (TREE/tests/fuzz/work/NAME, where new inputs go; the source tree is never
#    written). A crash, a leak, undefined behaviour, a failed check or an input that
#    takes more than 10 s fails the test; the input that did it is kept in
#    TREE/tests/fuzz/artifacts/NAME/: once the bug is fixed, it goes into
#    tests/fuzz/crashes/NAME/ as a reproducer.
#
# SECONDS 0 runs step 1 alone. Further arguments go to libFuzzer (e.g. -jobs, -dict).
set -euo pipefail

if [ $# -lt 4 ]; then
  echo "usage: $0 SOURCE_DIR TREE NAME SECONDS [LIBFUZZER OPTIONS...]" >&2
  exit 2
fi
src=$(cd "$1" && pwd)
tree=$2
name=$3
seconds=$4
shift 4
test="fuzz_$name"
. "$src/tests/sanitize/common.sh"
require_clang "$test"
sanitizer_env "$src" fuzz

bin="$tree/tests/fuzz/fuzz_$name"
if [ ! -x "$bin" ]; then
  echo "$test: $bin is not built: the sanitizer tree is not built (test sanitize_build)" >&2
  exit 1
fi
corpus="$src/tests/fuzz/corpus/$name"
crashes="$src/tests/fuzz/crashes/$name"
work="$tree/tests/fuzz/work/$name"
artifacts="$tree/tests/fuzz/artifacts/$name"
mkdir -p "$work" "$artifacts"
options=(-timeout=10 -rss_limit_mb=2560 -print_final_stats=1)
[ -f "$src/tests/fuzz/$name.options" ] && read -r -a extra <"$src/tests/fuzz/$name.options" && options+=("${extra[@]}")
[ -f "$src/tests/fuzz/dict/$name.dict" ] && options+=("-dict=$src/tests/fuzz/dict/$name.dict")
log="$tree/tests/fuzz/$name.log"
start=$SECONDS

# 1. The seeds and the reproducers, one by one.
mapfile -t inputs < <(find "$corpus" "$crashes" -type f ! -name 'README*' ! -name '.*' 2>/dev/null | sort)
if [ ${#inputs[@]} -eq 0 ]; then
  echo "$test: no seed inputs in $corpus" >&2
  exit 1
fi
status=0
"$bin" "${options[@]}" "${inputs[@]}" >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  tail -n 80 "$log"
  failing=$(sed -n 's/^Running: \(.*\)$/\1/p' "$log" | tail -n 1)
  echo "$test: FAILED: an input of the corpus or a reproducer fails: $failing (log: $log)" >&2
  exit 1
fi
echo "$test: ${#inputs[@]} seed inputs and reproducers ran clean in $((SECONDS - start)) s"
[ "$seconds" -eq 0 ] && exit 0

# 2. Fuzzing.
from=$SECONDS
status=0
dirs=("$work" "$corpus")
[ -d "$crashes" ] && dirs+=("$crashes")
"$bin" "${options[@]}" -max_total_time="$seconds" -artifact_prefix="$artifacts/" "$@" "${dirs[@]}" \
  >"$log" 2>&1 || status=$?
stats=$(grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added|stat::peak_rss_mb)' "$log" |
  tr -s ' ' | paste -sd ' ' - || true)
if [ "$status" -ne 0 ]; then
  grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse|RELOAD)' "$log" | tail -n 120
  found=$(ls -t "$artifacts" 2>/dev/null | head -n 1)
  echo "$test: FAILED after $((SECONDS - from)) s of fuzzing: the input is $artifacts/$found" >&2
  echo "$test: once fixed, keep it as a reproducer: cp '$artifacts/$found' '$crashes/'" >&2
  exit 1
fi
echo "$test: fuzzed $((SECONDS - from)) s without a finding: $stats"
