#!/usr/bin/env bash
# The corpus check at full size: BENCH_CORPUS_COUNT (default 10000) messages of
# gen_corpus.py delivered, walked through the natives and compared field by field with
# Python's reading of the same files (tests/corpus). Prints the time of each step.
#
#   bench/corpus/run.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
top=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=/dev/null
. "$build/java/bench.env"
count=${BENCH_CORPUS_COUNT:-10000}
scratch=${BENCH_DIR:-$build/bench-run}/corpus
walk_jar="$build/java/tolvane-corpus-walk.jar"
[ -f "$walk_jar" ] || { echo "bench: $walk_jar is missing; build the target tolvane_corpus_walk" >&2; exit 1; }
echo "== corpus check: $count messages delivered, walked through the natives, compared =="
start=$(date +%s.%N)
bash "$top/tests/corpus/corpus_check.sh" "$top" "$build/bin/tolvane-mapi" "$JAVA" "$walk_jar:$BENCH_CLASSPATH" \
  "$build/lib" "$scratch" "$count"
end=$(date +%s.%N)
awk "BEGIN { printf \"corpus check of %d messages: %.1f s in all\\n\", $count, $end - $start }"
[ -n "${BENCH_KEEP:-}" ] || rm -rf "$scratch"
