#!/usr/bin/env bash
# The PostgreSQL store engine against SQLite on the same generated mail, on this machine:
#
#   delivery  8 callers at once (one `tolvane-mapi deliver` each with its share of the
#             files) into one mailbox: PostgreSQL (a private server that syncs every commit,
#             synchronous_commit on) against SQLite (the store file, synced at each commit)
#   walk      the natives' walk (bench/compare's NativesWalk: every header field, body and
#             attachment) over the PostgreSQL mailbox and over the SQLite one
#
# Figures, not tests. Needs root (the server runs as the postgres user).
#
#   bench/pg/run.sh BUILD_DIR
#
# Settings from the environment: BENCH_PG_COUNT messages (default 2000), BENCH_PG_CALLERS
# (default 8), BENCH_PG_ROUNDS rounds of both (default 3), BENCH_DIR scratch folder.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
# shellcheck source=../common.sh
. "$here/../common.sh"
env_file=$build/java/compare.env
bench_require pg bench_compare_tools "$build/bin/tolvane-mapi" "$build/lib/libtolvane-mapi-pg.so" "$env_file"
count=${BENCH_PG_COUNT:-2000}
callers=${BENCH_PG_CALLERS:-8}
rounds=${BENCH_PG_ROUNDS:-3}

if [ -z "${TOLVANE_TEST_PG:-}" ]; then
  # Again, inside a private server that syncs its commits.
  PGSERVER_FSYNC=on exec bash "$top/tests/pg/pgserver.sh" run bash "$0" "$build"
fi

scratch=$(mktemp -d "${BENCH_DIR:-$build/bench-run}/pg-XXXXXX" 2>/dev/null || mktemp -d /tmp/tolvane-bench-pg-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
# JAVA and COMPARE_CLASSPATH
# shellcheck source=/dev/null
. "$env_file"
bench_snapshot "$build" "$scratch/snap" "$COMPARE_CLASSPATH" tolvane-mapi
tool=$scratch/snap/bin/tolvane-mapi
corpus=$scratch/corpus
python3 "$top/bench/corpus/gen_corpus.py" "$count" "$corpus" >/dev/null
mapfile -t files < <(find "$corpus" -name '*.eml' | sort)
count=${#files[@]}
export TOLVANE_MAPI_HOME=$scratch/home
mkdir -p "$scratch/home/tmp" "$scratch/parts"

echo "== the PostgreSQL store engine against SQLite =="
echo "tree $(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo '?'), $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "$count messages, $callers callers; PostgreSQL $(psql --version | awk '{print $3}') with fsync and synchronous_commit on"

# Delivers the files with `callers` processes into PROFILE; prints messages/s.
deliver_all() {
  local profile=$1 k per start end
  per=$(((count + callers - 1) / callers))
  start=$(date +%s.%N)
  for ((k = 0; k < callers; k++)); do
    "$tool" deliver "$profile" "${files[@]:$((k * per)):$per}" >/dev/null 2>>"$scratch/deliver.log" &
  done
  for ((k = 0; k < callers; k++)); do wait -n; done
  end=$(date +%s.%N)
  awk -v n="$count" -v a="$start" -v b="$end" 'BEGIN {printf "%.0f", n / (b - a)}'
}

walk() {
  local profile=$1
  "$JAVA" -Djava.library.path="$scratch/snap/lib" -Djava.io.tmpdir="$scratch/home/tmp" -Dfile.encoding=UTF-8 \
    -cp "$bench_classpath" com.plimo.mail.mapi.bench.compare.NativesWalk "$profile" "$scratch/home/tmp" "$count" \
    "$scratch/parts" "$scratch/records.tsv" "$((count / 4))" 100 | sed -n 's/.*us_per_message=\([0-9.]*\).*/\1/p'
  rm -rf "${scratch:?}/parts"/*
}

printf '%-6s | %-22s | %-22s | %-8s | %-18s | %-18s | %-8s | %s\n' round "PostgreSQL deliver msg/s" \
  "SQLite deliver msg/s" "PG/SQLite" "PostgreSQL walk us/msg" "SQLite walk us/msg" "PG/SQLite" "load average"
for ((r = 1; r <= rounds; r++)); do
  "$tool" profile create "pg$r" --store "$TOLVANE_TEST_PG mailbox=bench$r" >/dev/null
  "$tool" profile create "lite$r" >/dev/null
  pg_rate=$(deliver_all "pg$r")
  lite_rate=$(deliver_all "lite$r")
  pg_walk=$(walk "pg$r")
  lite_walk=$(walk "lite$r")
  [ "$("$tool" list "pg$r" | wc -l)" -eq "$count" ] || { echo "FAILURE: the PostgreSQL mailbox does not hold $count messages"; exit 1; }
  printf '%-6s | %24s | %20s | %8.2f | %22s | %18s | %8.2f | %s\n' "$r" "$pg_rate" "$lite_rate" \
    "$(awk -v a="$pg_rate" -v b="$lite_rate" 'BEGIN {print a / b}')" "$pg_walk" "$lite_walk" \
    "$(awk -v a="$pg_walk" -v b="$lite_walk" 'BEGIN {print a / b}')" "$(cut -d' ' -f1-3 /proc/loadavg)"
  "$tool" profile delete "pg$r" --purge >/dev/null
  "$tool" profile delete "lite$r" --purge >/dev/null
done
