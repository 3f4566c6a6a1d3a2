#!/usr/bin/env bash
# The corpus check: COUNT messages of bench/corpus/gen_corpus.py delivered with
# `tolvane-mapi deliver`, walked through the natives from Java (CorpusWalk) and
# compared with the corpus (check_corpus.py, Python's email package).
#
#   corpus_check.sh SOURCE_DIR TOOL JAVA CLASSPATH LIBDIR SCRATCH COUNT [postgresql]
#
# With "postgresql" (run through tests/pg/pgserver.sh) the mailbox is on the test's
# PostgreSQL server instead of in a store file.
set -euo pipefail
source_dir=$1 tool=$2 java=$3 classpath=$4 libdir=$5 scratch=$6 count=$7 engine=${8:-sqlite}
rm -rf "$scratch"
mkdir -p "$scratch/home/tmp" "$scratch/parts"
export TOLVANE_MAPI_HOME=$scratch/home
case "$(locale charmap 2>/dev/null || true)" in UTF-8 | utf8) ;; *) export LC_ALL=C.UTF-8 ;; esac
python3 "$source_dir/bench/corpus/gen_corpus.py" "$count" "$scratch/corpus" >/dev/null
store=()
[ "$engine" != postgresql ] || store=(--store "$TOLVANE_TEST_PG mailbox=corpus")
"$tool" profile create corpus --address corpus@example.org "${store[@]}" >/dev/null
"$tool" deliver corpus "$scratch"/corpus/*.eml
"$java" -Djava.library.path="$libdir" -Dfile.encoding=UTF-8 -cp "$classpath" CorpusWalk corpus "$scratch/home/tmp" \
  "$scratch/parts" >"$scratch/walk.jsonl"
python3 "$source_dir/tests/corpus/check_corpus.py" "$scratch/corpus" "$scratch/walk.jsonl"
