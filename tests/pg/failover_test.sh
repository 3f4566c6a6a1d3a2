#!/usr/bin/env bash
# Failover with a synchronous standby: deliveries and submissions go on while the primary
# is killed (SIGKILL) and the standby promoted; every delivery that was acknowledged
# (deliver exit 0) is in the mailbox afterwards, none twice, every submission that was
# acknowledged (SubmitMessage succeeded) is queued, and deliveries resume within 30 s.
# Each message is delivered as a mail server does: one `deliver` per message, tried
# again after a temporary failure until it is acknowledged. Run through pgserver.sh:
#   pgserver.sh run bash failover_test.sh TOOL SUBMIT MAILDIR SCRATCH
set -u
tool=$1
submit=$2
maildir=$3
scratch=$4
mkdir -p "$scratch"
work=$(mktemp -d "$scratch/failover-XXXXXX")
trap 'rm -rf "$work"' EXIT
unset TOLVANE_MAPI_FAULTS
fail() { echo "FAIL: $*"; exit 1; }
export TOLVANE_MAPI_HOME=$work/home
server=$TOLVANE_TEST_PGSERVER
primary=$TOLVANE_TEST_PG_DATA
standby=$(bash "$server" standby "$primary") || fail "no standby"

# Both servers, writes wherever the primary is: libpq tries them in turn.
location="host=$TOLVANE_TEST_PG_SOCKET,$(dirname "$standby")/sock dbname=mail user=tolvane"
location+=" target_session_attrs=read-write connect_timeout=2 mailbox=failover"
"$tool" profile create carol --address carol@example.org --store "$location" >/dev/null || fail "profile create"
# Nothing is sent (the port refuses): what was submitted stays in the queue to be counted.
"$tool" profile set carol --transport smtp://127.0.0.1:9 >/dev/null || fail "profile set"

count=60
files=("$maildir"/*.eml)
for k in $(seq 1 $count); do
  f=${files[$(((k - 1) % ${#files[@]}))]}
  sed "s/^Message-I[Dd]: *<\\(.*\\)>/Message-ID: <failover.$k.\\1>/" "$f" >"$work/$k.eml"
done

# Four senders, each its share of the messages in order; a temporary failure (75) is
# tried again after a pause, as a mail server's queue does, for at most 90 s.
sender() {
  local k status start
  for ((k = $1; k <= count; k += 4)); do
    start=$(date +%s)
    while :; do
      status=0
      "$tool" deliver carol "$work/$k.eml" 2>>"$work/errors.$1" || status=$?
      [ "$status" -eq 0 ] && break
      [ "$status" -eq 75 ] || { echo "message $k: exit $status" >>"$work/errors.$1"; return 1; }
      [ $(($(date +%s) - start)) -lt 90 ] || { echo "message $k: still failing" >>"$work/errors.$1"; return 1; }
      sleep 0.2
    done
    echo "$k $(date +%s.%N)" >>"$work/acked"
  done
}
for s in 1 2 3 4; do sender "$s" & done
# And a client submitting mail, trying again after a failure.
submitter() {
  local k start
  for ((k = 1; k <= 20; k++)); do
    start=$(date +%s)
    until "$submit" carol --subject "submitted $k" --body "body $k" --to dave@example.net \
      >/dev/null 2>>"$work/errors.submit"; do
      echo "$k" >>"$work/submit-failures"
      [ $(($(date +%s) - start)) -lt 90 ] || { echo "submission $k: still failing" >>"$work/errors.submit"; return 1; }
      sleep 0.2
    done
    echo "$k" >>"$work/submitted"
    sleep 0.1
  done
}
submitter &

# The primary dies once a third is acknowledged; the standby is promoted a second later.
while [ "$(cat "$work/acked" 2>/dev/null | wc -l)" -lt $((count / 3)) ]; do sleep 0.05; done
bash "$server" crash "$primary"
killed=$(date +%s.%N)
before=$(wc -l <"$work/acked")
sleep 1
bash "$server" promote "$standby" || fail "promote"
for s in 1 2 3 4 5; do wait -n || fail "a sender gave up: $(cat "$work"/errors.* 2>/dev/null | tail -5)"; done

[ "$(wc -l <"$work/acked")" -eq "$count" ] || fail "only $(wc -l <"$work/acked") of $count acknowledged"
resumed=$(awk -v t="$killed" '$2 > t {print $2; exit}' <(sort -k2 -n "$work/acked"))
[ -n "$resumed" ] || fail "no delivery after the crash"
gap=$(awk -v a="$killed" -v b="$resumed" 'BEGIN {printf "%.1f", b - a}')
awk -v g="$gap" 'BEGIN {exit !(g < 30)}' || fail "deliveries resumed only $gap s after the primary died"
grep -q "." "$work"/errors.* 2>/dev/null || fail "no delivery failed while the primary was down: the crash was not seen"

# Every acknowledged message, once, read from the new primary.
"$tool" list carol >"$work/list" || fail "list"
[ "$(wc -l <"$work/list")" -eq "$count" ] || fail "the mailbox holds $(wc -l <"$work/list") messages, not $count"
# Every acknowledged submission is queued; one whose answer the crash took may be there too
# (the client could not know and submitted it again), nothing else.
"$tool" spool list carol >"$work/queue" || fail "spool list"
for k in $(seq 1 20); do
  n=$(awk -F'\t' -v s="submitted $k" '$1 == "queue" && $8 == s' "$work/queue" | wc -l)
  [ "$n" -ge 1 ] || fail "the acknowledged submission $k is not queued"
done
queued=$(awk -F'\t' '$1 == "queue"' "$work/queue" | wc -l)
retried=$(cat "$work/submit-failures" 2>/dev/null | wc -l)
[ "$queued" -le $((20 + retried)) ] || fail "$queued messages queued for 20 submissions"
echo "ok: $count messages acknowledged ($before before the primary died), all stored once on the promoted standby; deliveries resumed $gap s after the crash; 20 submissions queued ($queued queue entries; $retried failed attempts while the primary was down)"
