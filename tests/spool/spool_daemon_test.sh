#!/usr/bin/env bash
# tolvane-mapi spool daemon: two daemons serve one home while the programs that
# submit start no spooler of their own. Messages of two profiles (the local
# transport between profiles, a sendmail that records Message-IDs) go out within
# seconds, each once; a profile created later is served, a removed one no longer;
# a sendmail that keeps failing (exit 75) is run again only when the spooler's
# pause is over; SIGHUP rereads the profiles; SIGTERM ends a daemon within
# seconds with exit 0 while a sendmail hangs, and its message stays queued; usage
# and home errors give their exit codes.
#
#   spool_daemon_test.sh TOOL SUBMIT SCRATCH
set -u
tool=$1 submit_program=$2 scratch=$3
mkdir -p "$scratch"
work=$(mktemp -d "$scratch/spool-daemon-XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  [ -f "$work/hang.pid" ] && kill -KILL "$(cat "$work/hang.pid")" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export TOLVANE_MAPI_HOME=$work/home
unset TOLVANE_MAPI_FAULTS TOLVANE_MAPI_LEASE_MS TOLVANE_MAPI_SPOOLER

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
ok() { echo "ok: $*"; }
# Only the daemons send: a submitting program starts no background spooler.
submit() { TOLVANE_MAPI_SPOOLER=off "$submit_program" "$@" || fail "submit $*"; }
# wait_for SECONDS COMMAND...: true as soon as the command succeeds.
wait_for() {
  local until=$((SECONDS + $1))
  shift
  while ! "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -ge "$until" ] && return 1
    sleep 0.1
  done
}
# ends_within SECONDS PID: waits for the daemon's end; its exit code in $ended_with.
ended_with=
ends_within() {
  local until=$((SECONDS + $1)) pid=$2
  while kill -0 "$pid" 2>/dev/null; do
    if [ "$SECONDS" -ge "$until" ]; then
      kill -KILL "$pid" 2>/dev/null
      wait "$pid" 2>/dev/null
      ended_with=killed
      return 1
    fi
    sleep 0.1
  done
  wait "$pid"
  ended_with=$?
}
logs() { cat "$work/first.log" "$work/second.log" 2>/dev/null; }
queued() { "$tool" spool list "$1" | grep -c '^queue'; }
inbox_has() { "$tool" list "$1" | cut -f3 | grep -qxF "$2"; }
log_has() { logs | grep -qF -- "$1"; }
sent_at_least() { [ "$(wc -l <"$work/sent.log")" -ge "$1" ]; }
queues_empty() { for p in "$@"; do [ "$(queued "$p")" = 0 ] || return 1; done; }

# A sendmail that keeps the Message-ID of every message it is given; one that
# fails for a while (EX_TEMPFAIL), noting when it runs; one that hangs.
cat >"$work/sendmail" <<EOS
#!/bin/sh
grep -i '^Message-ID:' >>"$work/sent.log"
EOS
cat >"$work/tempfail" <<EOS
#!/bin/sh
date +%s.%N >>"$work/tempfail.log"
echo "mail system busy" >&2
exit 75
EOS
cat >"$work/hang" <<EOS
#!/bin/sh
echo \$\$ >"$work/hang.pid.new" && mv "$work/hang.pid.new" "$work/hang.pid"
exec sleep 60
EOS
chmod 755 "$work/sendmail" "$work/tempfail" "$work/hang"
touch "$work/sent.log" "$work/tempfail.log"

"$tool" profile create alice --address alice@example.com >/dev/null || { echo "FAIL: profile create"; exit 1; }
"$tool" profile create bob --address bob@example.com >/dev/null || { echo "FAIL: profile create"; exit 1; }
"$tool" profile set bob --transport "sendmail:$work/sendmail" >/dev/null || { echo "FAIL: profile set"; exit 1; }

# ---- usage and the home
out=$(timeout 10 "$tool" spool daemon --now 2>&1)
rc=$?
[ "$rc" = 64 ] && [[ "$out" == *"spool daemon: unexpected argument '--now'"* ]] && ok "usage: exit 64" ||
  fail "usage: exit $rc, $out"
out=$(TOLVANE_MAPI_HOME=$work/nowhere timeout 10 "$tool" spool daemon 2>&1)
rc=$?
[ "$rc" = 78 ] && [[ "$out" == *"the home folder $work/nowhere does not exist"* ]] && ok "no home: exit 78" ||
  fail "no home: exit $rc, $out"
mkdir -m 775 "$work/shared-home"
out=$(TOLVANE_MAPI_HOME=$work/shared-home timeout 10 "$tool" spool daemon 2>&1)
rc=$?
[ "$rc" = 78 ] && [[ "$out" == *"$work/shared-home"* ]] && ok "a home others may write to: exit 78" ||
  fail "a home others may write to: exit $rc, $out"
"$tool" --help | grep -qF "tolvane-mapi spool daemon" && ok "usage line" || fail "no usage line for spool daemon"

# ---- two daemons on the home
"$tool" spool daemon 2>"$work/first.log" &
first=$!
pids+=("$first")
"$tool" spool daemon 2>"$work/second.log" &
second=$!
pids+=("$second")
wait_for 10 grep -q "serving 2 profiles of .*: alice, bob" "$work/first.log" &&
  wait_for 10 grep -q "serving 2 profiles of .*: alice, bob" "$work/second.log" &&
  ok "both daemons serve alice and bob" || fail "the daemons did not start: $(logs)"

# ---- a message of each profile goes out without `spool run`
submit alice --subject "for bob" --body "hello" --to bob@example.com
submit bob --subject $'Status \e[31mred' --body "one" --to pat@partner.example.org
for n in 2 3 4 5; do submit bob --subject "batch $n" --body "$n" --to pat@partner.example.org; done
wait_for 10 inbox_has bob "for bob" && ok "alice's message is in bob's Inbox" || fail "alice's message did not arrive"
wait_for 10 sent_at_least 5 && ok "bob's five messages reached sendmail" ||
  fail "sendmail got $(wc -l <"$work/sent.log") of bob's 5 messages"
sleep 0.5  # a second copy would come now
[ "$(wc -l <"$work/sent.log")" = 5 ] && [ "$(sort -u "$work/sent.log" | wc -l)" = 5 ] &&
  ok "each message sent once by two daemons" || fail "sent twice or lost: $(sort "$work/sent.log" | uniq -c)"
[ "$("$tool" list bob | cut -f3 | grep -cxF "for bob")" = 1 ] && ok "delivered once" ||
  fail "bob's Inbox: $("$tool" list bob)"
wait_for 5 queues_empty alice bob && ok "both queues are empty" ||
  fail "left queued: $("$tool" spool list alice) $("$tool" spool list bob)"
log_has "alice: 1 sent; sent 1 \"for bob\"" && ok "alice's pass is logged" || fail "no log line of alice's pass: $(logs)"
log_has 'sent 1 "Status \x1b[31mred"' && ok "the subject's escape character is shown escaped" ||
  fail "no escaped subject in the log: $(logs)"
logs | grep -q $'\e' && fail "a raw control character reached the log" || ok "no control character in the log"

# ---- a profile created while the daemons run
"$tool" profile create carol --address carol@example.com >/dev/null || fail "profile create carol"
submit carol --subject "from carol" --body "hi" --to alice@example.com
wait_for 10 inbox_has alice "from carol" && ok "carol, created later, is served" ||
  fail "carol's message did not arrive: $("$tool" spool list carol) $(logs)"
wait_for 5 grep -q "now serving 3 profiles of .*: alice, bob, carol" "$work/first.log" && ok "the new profile is logged" ||
  fail "no log line for carol: $(cat "$work/first.log")"

# ---- a sendmail that keeps failing: tried again when the pause is over, not sooner
"$tool" profile create dave --address dave@example.com >/dev/null || fail "profile create dave"
"$tool" profile set dave --transport "sendmail:$work/tempfail" --retry-after 2s >/dev/null || fail "profile set dave"
wait_for 10 grep -q "now serving 4 profiles" "$work/first.log" || fail "dave not served: $(logs)"
wait_for 10 grep -q "now serving 4 profiles" "$work/second.log" || fail "dave not served by the second: $(logs)"
submit dave --subject "keeps failing" --body "x" --to pat@partner.example.org
wait_for 10 test -s "$work/tempfail.log" || fail "the failing sendmail never ran"
# Runs due after 0, 2 and 6 s (the pause doubles); 7 s of watching.
sleep 7
runs=$(wc -l <"$work/tempfail.log")
[ "$runs" -ge 2 ] && [ "$runs" -le 4 ] && ok "$runs runs of the failing sendmail in 7 s" ||
  fail "$runs runs of the failing sendmail in 7 s (wanted 2 to 4)"
gaps=$(awk 'NR > 1 { printf "%.1f ", $1 - last } { last = $1 }' "$work/tempfail.log")
awk 'NR > 1 && $1 - last < 1.9 { bad = 1 } { last = $1 } END { exit bad }' "$work/tempfail.log" &&
  ok "no run before its pause was over (gaps $gaps s)" || fail "a run came too soon (gaps $gaps s)"
line=$("$tool" spool list dave | grep '^queue')
[ "$(printf '%s' "$line" | cut -f3)" = retrying ] && ok "the message waits for its next attempt" ||
  fail "dave's queue: $line"
log_has "dave: 1 queued; queued 1 \"keeps failing\" ($work/tempfail exited with status 75: mail system busy)" &&
  ok "the deferral is logged" || fail "no log line of dave's pass: $(logs)"

# ---- SIGHUP, and a profile removed
kill -HUP "$first"
wait_for 5 grep -q "reading the profiles again (SIGHUP)" "$work/first.log" && kill -0 "$first" &&
  ok "SIGHUP rereads the profiles" || fail "SIGHUP: $(cat "$work/first.log")"
"$tool" profile delete carol >/dev/null || fail "profile delete carol"
wait_for 10 grep -q "now serving 3 profiles of .*: alice, bob, dave" "$work/first.log" &&
  ok "a removed profile is no longer served" || fail "carol still served: $(cat "$work/first.log")"

# ---- SIGTERM while a sendmail hangs
kill -TERM "$second"
ends_within 5 "$second" && [ "$ended_with" = 0 ] && ok "the idle daemon ends with exit 0" ||
  fail "the second daemon: $ended_with"
"$tool" profile create erin --address erin@example.com >/dev/null || fail "profile create erin"
"$tool" profile set erin --transport "sendmail:$work/hang" >/dev/null || fail "profile set erin"
submit erin --subject "hangs" --body "x" --to pat@partner.example.org
wait_for 10 test -s "$work/hang.pid" || fail "the hanging sendmail never ran: $(cat "$work/first.log")"
hung=$(cat "$work/hang.pid" 2>/dev/null)
kill -TERM "$first"
start=$(date +%s.%N)
ends_within 5 "$first" && [ "$ended_with" = 0 ] && ok "SIGTERM ends the daemon with exit 0 while a send hangs" ||
  fail "the first daemon: $ended_with"
took=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }')
echo "   (it took $took s)"
[ -n "$hung" ] && ! kill -0 "$hung" 2>/dev/null && ok "the hanging sendmail was stopped" ||
  fail "the hanging sendmail still runs"
line=$("$tool" spool list erin | grep '^queue')
[ "$(printf '%s' "$line" | cut -f2,8)" = "1	hangs" ] && ok "erin's message stays queued" ||
  fail "erin's queue: $line"
[[ "$(printf '%s' "$line" | cut -f9)" == *"was stopped"* ]] && ok "with the stop as its reason" ||
  fail "erin's last error: $line"
grep -q "spool daemon: stopped" "$work/first.log" || fail "no stop line: $(cat "$work/first.log")"

if [ "$failures" -gt 0 ]; then
  echo "--- first daemon"; cat "$work/first.log"
  echo "--- second daemon"; cat "$work/second.log"
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
