#!/usr/bin/env bash
# Builds and runs the delivery benchmark on a generated corpus.
#   bench/deliver/run.sh [N]    (default 10000 messages)
# The corpus comes from bench/corpus/gen_corpus.py (deterministic; kept
# between runs in build/bench-corpus-N); GEN_CORPUS names another generator.
set -eu
n=${1:-10000}
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
gen=${GEN_CORPUS:-$top/bench/corpus/gen_corpus.py}
corpus=$top/build/bench-corpus-$n
out=$top/build/bench-deliver
if [ ! -f "$corpus/manifest.json" ]; then
  echo "Generating $n messages into $corpus ..."
  python3 "$gen" "$n" "$corpus"
fi
cmake -S "$here" -B "$out" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out" -j "$(nproc)" --target bench_deliver tolvane-mapi-tool-for-bench >/dev/null
"$out/bench_deliver" "$corpus"

# As a mail server calls it: one deliver process per message, for the first
# 500 messages.
tool=$out/tolvane-mapi
export TOLVANE_MAPI_HOME
TOLVANE_MAPI_HOME=$(mktemp -d "${BENCH_DIR:-/tmp}/tolvane-bench-tool-XXXXXX")
trap 'rm -rf "$TOLVANE_MAPI_HOME"' EXIT
"$tool" profile create bench >/dev/null
files=$(ls "$corpus"/*.eml | head -500)
count=$(echo "$files" | wc -l)
start=$(date +%s.%N)
for f in $files; do "$tool" deliver bench "$f"; done
end=$(date +%s.%N)
python3 -c "import sys; n, s = int(sys.argv[1]), float(sys.argv[3]) - float(sys.argv[2]); print('one process per message:  %8.0f messages/s  (%d messages)' % (n / s, n))" \
  "$count" "$start" "$end"

# What the store keeps: the database of the first 1,000 messages delivered in
# one call, against the bytes of their .eml files (compare runs before and
# after a change of what delivery keeps).
rm -rf "$TOLVANE_MAPI_HOME"
TOLVANE_MAPI_HOME=$(mktemp -d "${BENCH_DIR:-/tmp}/tolvane-bench-store-XXXXXX")
trap 'rm -rf "$TOLVANE_MAPI_HOME"' EXIT
"$tool" profile create bench >/dev/null
files=$(ls "$corpus"/*.eml | head -1000)
echo "$files" | xargs "$tool" deliver bench >/dev/null
python3 - "$TOLVANE_MAPI_HOME/stores/bench.db" $files <<'PY'
import os, sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
pages = db.execute("PRAGMA page_count").fetchone()[0] - db.execute("PRAGMA freelist_count").fetchone()[0]
stored = pages * db.execute("PRAGMA page_size").fetchone()[0]
mail = sum(os.path.getsize(f) for f in sys.argv[2:])
n = len(sys.argv) - 2
print("store size:               %8.0f bytes/message  (%d messages, %.1f %% of their .eml bytes)"
      % (stored / n, n, 100.0 * stored / mail))
PY
