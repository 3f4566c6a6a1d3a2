#!/usr/bin/env bash
# Two spoolers on one queue, a transport slower than a lease: every message is sent
# exactly once. The first spooler takes a batch and sends it through a sendmail that
# takes 2 s a message, longer than the leases here (0.5 s, a test control) beyond the
# profile's 3 s limit of a run; a second spooler tries the queue all the while and may
# take over what the first one no longer holds, never what it may still send. Every
# other try of the second spooler runs with its wall clock an hour ahead (libfaketime,
# the monotonic clocks left alone), as after a clock step: that must not end a lease.
# Under the sanitizers the stepped tries are left out: libfaketime 0.9.10 can deadlock
# in a program built with AddressSanitizer (wolfcw/libfaketime#365, #391: its clock
# hook and ASan's allocator call each other), which held this test until its limit.
# The plain build runs them.
#
#   lease_test.sh TOOL SUBMIT SCRATCH
set -u
tool=$1 submit=$2 scratch=$3
mkdir -p "$scratch"
work=$(mktemp -d "$scratch/lease-XXXXXX")
trap 'cat "$work"/first.out "$work"/second.out 2>/dev/null; rm -rf "$work"' EXIT
export TOLVANE_MAPI_HOME=$work/home TOLVANE_MAPI_LEASE_MS=500
fail() { echo "FAIL: $*"; exit 1; }

cat >"$work/sendmail" <<EOS
#!/bin/sh
# Keeps the Message-ID of every message it is given, then takes its time.
grep -i '^Message-ID:' >>"$work/sent.log"
sleep 2
EOS
chmod 755 "$work/sendmail"
"$tool" profile create alice --address alice@example.com >/dev/null || fail "profile create"
"$tool" profile set alice --transport "sendmail:$work/sendmail" --smtp-timeout 3s >/dev/null || fail "profile set"
for n in 1 2 3 4; do
  "$submit" alice --subject "message $n" --body x --to bob@example.org || fail "submit $n"
done

"$tool" spool run --flush alice >"$work/first.out" 2>&1 &
first=$!
# Every run is bounded, so that a spooler that never ends fails the test with its name.
spool() {
  timeout -k 5 30 "$@" spool run --flush alice >>"$work/second.out" 2>&1
  local rc=$?
  [ "$rc" -ne 124 ] && [ "$rc" -ne 137 ] || fail "a spooler did not end within 30 s: $*"
}
stepped=(env FAKETIME_DONT_FAKE_MONOTONIC=1 faketime -f +1h)
if [ -z "${ASAN_OPTIONS:-}" ]; then
  "${stepped[@]}" date +%s | awk -v now="$(date +%s)" '$1 - now < 3000 { exit 1 }' || fail "faketime moves no clock"
fi
# The second spooler starts once the first is sending (so the first holds its batch).
for _ in $(seq 100); do [ -s "$work/sent.log" ] && break; sleep 0.1; done
[ -s "$work/sent.log" ] || fail "the first spooler sent nothing in 10 s"
deadline=$((SECONDS + 60))
while kill -0 "$first" 2>/dev/null; do
  [ "$SECONDS" -lt "$deadline" ] || { kill "$first"; fail "the first spooler did not end within 60 s"; }
  spool "$tool"
  [ -n "${ASAN_OPTIONS:-}" ] || spool "${stepped[@]}" "$tool"
  sleep 0.2
done
wait "$first"
# Whatever the two left waiting (a message neither could renew) goes now.
spool "$tool"

sent=$(wc -l <"$work/sent.log")
distinct=$(sort -u "$work/sent.log" | wc -l)
[ "$distinct" -eq 4 ] || fail "$distinct of 4 messages were sent: $(cat "$work/sent.log")"
[ "$sent" -eq 4 ] || fail "a message was sent twice: $(sort "$work/sent.log" | uniq -d)"
[ "$("$tool" spool list alice | grep -c '^queue')" -eq 0 ] || fail "messages stayed queued"
grep -q '^skipped' "$work/first.out" ||
  echo "note: the first spooler kept every message in this run (the second found none expired)"
echo "ok: four messages, each sent once by two spoolers"
