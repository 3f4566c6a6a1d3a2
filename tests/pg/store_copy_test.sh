#!/usr/bin/env bash
# tolvane-mapi store copy between the engines, on a private PostgreSQL server
# (run by pgserver.sh): a mailbox filled by deliver goes SQLite -> PostgreSQL
# -> SQLite and its profile lists the same messages from each copy; a copy a
# fault stops goes on when run again; a target with mail of its own is
# refused with nothing written; the summary and progress lines; passwords
# never shown; a store file a killed copy left unmade is taken.
set -u
tool=$1
examples=$2
scratch=$3
mkdir -p "$scratch"
work=$(mktemp -d "$scratch/store-copy-XXXXXX")
trap 'rm -rf "$work"' EXIT
export TOLVANE_MAPI_HOME=$work/home
unset TOLVANE_MAPI_FAULTS
pg=${TOLVANE_TEST_PG:?run through tests/pg/pgserver.sh}

failures=0
expect() {  # expect DESCRIPTION EXPECTED ACTUAL
  if [ "$3" != "$2" ]; then
    echo "FAIL: $1: got"
    printf '%s\n' "$3" | od -c | head -20
    echo "wanted"
    printf '%s\n' "$2" | od -c | head -20
    failures=$((failures + 1))
  else
    echo "ok: $1"
  fi
}
# Times and rates vary: masked.
times() { sed -E 's/[0-9]+\.[0-9] s/T s/g; s/[0-9.]+\/s/R\/s/g'; }
run() {  # run COMMAND...: its standard error and exit code, one text
  local out rc
  out=$("$@" 2>&1 >/dev/null)
  rc=$?
  printf '%s\nexit %s' "$out" "$rc" | times
}

"$tool" profile create alice --address alice@example.com >/dev/null || { echo "FAIL: profile create"; exit 1; }
"$tool" deliver alice "$examples"/*.eml 2>/dev/null || { echo "FAIL: deliver"; exit 1; }
"$tool" list alice >"$work/original.txt"
[ "$(wc -l <"$work/original.txt")" = 6 ] || { echo "FAIL: six messages delivered"; exit 1; }
sqlite=$TOLVANE_MAPI_HOME/stores/alice.db
inpg="$pg mailbox=alice"
back=$work/back.db

# A mailbox with mail of its own is refused, and nothing is written to it.
"$tool" profile create bob --store "$pg mailbox=bob" >/dev/null
"$tool" deliver bob "$examples/plain.eml"
"$tool" list bob >"$work/bob.txt"
expect "a target with mail of its own" "tolvane-mapi: store copy: The target $pg mailbox=bob holds a message store with \
messages, folders or names of its own; nothing was written
exit 73" "$(run "$tool" store copy "$sqlite" "$pg mailbox=bob")"
expect "the refused target as it was" "$(cat "$work/bob.txt")" "$("$tool" list bob)"
expect "the source is refused as its own target" "tolvane-mapi: store copy: The target $sqlite holds this store \
already (it is the source, or a finished copy of it); nothing was written
exit 73" "$(run "$tool" store copy "$sqlite" "$sqlite")"

# SQLite -> PostgreSQL, stopped by a failed commit (the frame of folders and
# names is the first, each message the next ones): the copy is unfinished,
# no profile can take it for a store, and run again it goes on.
expect "a copy stopped at its third message" "tolvane-mapi: store copy: Message 3 of 6 could not be copied: \
StoreDb::commit failed: injected fault 0x80040116. The copy at $inpg is unfinished: run the copy again to go on \
from where it stopped
exit 74" "$(run env TOLVANE_MAPI_FAULTS="StoreDb::commit#4=0x80040116" "$tool" store copy "$sqlite" "$inpg")"
expect "the unfinished copy is no store" "tolvane-mapi: There is no message store: the mailbox 'alice' in $pg does \
not exist yet, a copy into it is unfinished (run tolvane-mapi store copy again to finish it)
exit 66" "$(run "$tool" profile set alice --store "$inpg")"
bytes=$("$tool" store copy "$sqlite" "$inpg" 2>&1 | sed -nE 's/.* messages \(2 there from an earlier run\), ([0-9]+) bytes in .*/\1/p')
[ -n "$bytes" ] && [ "$bytes" -gt 30000 ] || { echo "FAIL: the copy run again: no summary of 2 kept messages"; failures=$((failures + 1)); }
expect "profile moved to PostgreSQL" "Changed profile 'alice': message store $inpg" \
  "$("$tool" profile set alice --store "$inpg")"
expect "the same messages from PostgreSQL" "$(cat "$work/original.txt")" "$("$tool" list alice)"

# PostgreSQL -> SQLite on a terminal: the progress line is drawn, rewritten
# and erased before the summary line (the pseudo-terminal ends lines with
# CR LF).
out=$(script -qec "'$tool' store copy '$inpg' '$back'" /dev/null </dev/null | times)
first=$'\rstore copy: 1 of 6 messages, R/s, T s left\e[K'
last=$'\rstore copy: 6 of 6 messages, R/s\e[K\r\e[K'
summary="tolvane-mapi: store copy: $inpg to $back: 6 messages, $bytes bytes in T s"$'\r'
case $out in
  "$first"*"$last$summary") echo "ok: progress and summary lines on a terminal" ;;
  *) echo "FAIL: progress and summary lines on a terminal: $(printf '%s' "$out" | od -c | head -30)"
     failures=$((failures + 1)) ;;
esac
"$tool" profile set alice --store "$back" >/dev/null
expect "the same messages back in SQLite" "$(cat "$work/original.txt")" "$("$tool" list alice)"

# Not a terminal: the summary line alone. A password in a location is masked
# in every line (the test server trusts the socket, whatever the password).
secret="$pg password=hunter2 mailbox=again"
expect "summary alone, password masked" "tolvane-mapi: store copy: $back to $pg password=******** mailbox=again: \
6 messages, $bytes bytes in T s
exit 0" "$(run "$tool" store copy "$back" "$secret")"
expect "an error with the password masked" "tolvane-mapi: store copy: The target $pg password=******** mailbox=again \
holds this store already (it is the source, or a finished copy of it); nothing was written
exit 73" "$(run "$tool" store copy "$back" "$secret")"
# What a copy killed while it made its store file leaves (a database with no
# table) holds nothing: the next copy takes its place.
python3 -c 'import sqlite3, sys; sqlite3.connect(sys.argv[1]).execute("PRAGMA journal_mode=WAL")' "$work/cut.db"
expect "a store file cut short is taken" "tolvane-mapi: store copy: $sqlite to $work/cut.db: 6 messages, $bytes \
bytes in T s
exit 0" "$(run "$tool" store copy "$sqlite" "$work/cut.db")"
expect "usage" "tolvane-mapi: store copy needs FROM and TO: two store locations
exit 64" "$(run "$tool" store copy "$back")"
expect "no such source" "tolvane-mapi: store copy: The message store $work/none.db cannot be opened: No such file \
or directory
exit 66" "$(run "$tool" store copy "$work/none.db" "$work/other.db")"

echo "$failures failure(s)"
[ $failures = 0 ]
