#!/usr/bin/env bash
# tolvane-mapi deliver and list: results, messages and exit codes (sysexits,
# as a mail server reads them), standard input, faults and a locked store.
set -u
tool=$1
examples=$2
scratch=$3
mkdir -p "$scratch"
work=$(mktemp -d "$scratch/deliver-cli-XXXXXX")
trap 'rm -rf "$work"' EXIT
export TOLVANE_MAPI_HOME=$work/home
unset TOLVANE_MAPI_FAULTS

failures=0
check() {  # check DESCRIPTION EXPECTED_EXIT EXPECTED_TEXT -- COMMAND...
  local what=$1 want_rc=$2 want_text=$3
  shift 4
  local out rc
  out=$("$@" 2>&1)
  rc=$?
  if [ "$rc" != "$want_rc" ] || [[ "$out" != *"$want_text"* ]]; then
    echo "FAIL: $what: exit $rc (wanted $want_rc), output: $out (wanted: $want_text)"
    failures=$((failures + 1))
  else
    echo "ok: $what"
  fi
}
count() { "$tool" list alice | wc -l; }
expect_count() {  # expect_count DESCRIPTION N
  local n
  n=$(count)
  if [ "$n" != "$2" ]; then
    echo "FAIL: $1: $n messages in the Inbox (wanted $2)"
    failures=$((failures + 1))
  else
    echo "ok: $1"
  fi
}

"$tool" profile create alice --address alice@example.com >/dev/null || { echo "FAIL: profile create"; exit 1; }

check "usage" 64 "deliver needs a PROFILE" -- "$tool" deliver
check "unknown option" 64 "unknown or incomplete option '--bogus'" -- "$tool" deliver alice --bogus
check "no such profile" 67 "There is no profile 'nobody'" -- "$tool" deliver nobody "$examples/plain.eml"

out=$("$tool" deliver alice "$examples"/*.eml 2>&1)
rc=$?
# Several files: standard error gets the summary line alone.
summary='^tolvane-mapi: deliver: 6 messages stored, 0 refused in [0-9]+\.[0-9] s$'
if [ $rc != 0 ] || ! [[ "$out" =~ $summary ]]; then echo "FAIL: deliver the samples: exit $rc, output: $out"; failures=$((failures + 1)); else echo "ok: deliver the samples"; fi
expect_count "six samples" 6

listing=$("$tool" list alice)
line() { printf '%s\n' "$listing" | grep -F "$1"; }
fields() {  # fields SUBJECT EXPECTED (sender, subject and attachment count)
  local got
  got=$(line "$1" | awk -F'\t' '{print $2 "|" $3 "|" $5}')
  if [ "$got" != "$2" ]; then echo "FAIL: list line of '$1': $got (wanted $2)"; failures=$((failures + 1)); else echo "ok: list line of '$1'"; fi
}
fields "Quarterly figures" "Anna Berg <anna.berg@example.org>|Quarterly figures|0"
fields "Files for the meeting" "Bob Builder <bob@example.com>|Files for the meeting|2"
fields "Fwd: Travel plans" "Carol Jones <carol@example.net>|Fwd: Travel plans|1"
fields "Our spring catalogue" "Newsletter Team <news@shop.example>|Our spring catalogue|1"
fields "Undelivered Mail" "Mail Delivery System <MAILER-DAEMON@mx.example.com>|Undelivered Mail Returned to Sender|2"
fields "Köln" "Jürgen Müller <juergen@example.de>|日本語の件名 und Grüße aus Köln|0"
when=$(line "Quarterly figures" | cut -f1)
[[ "$when" =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}\ [0-9]{2}:[0-9]{2}:[0-9]{2}$ ]] || { echo "FAIL: received time '$when'"; failures=$((failures + 1)); }
size=$(line "Files for the meeting" | cut -f4)
[ "$size" -gt 20000 ] 2>/dev/null || { echo "FAIL: size '$size'"; failures=$((failures + 1)); }

check "standard input" 0 "" -- bash -c "'$tool' deliver alice < '$examples/plain.eml'"
check "a pipe" 0 "" -- bash -c "cat '$examples/ndr.eml' | '$tool' deliver alice -"
expect_count "delivered from standard input" 8

: > "$work/empty.eml"
printf '\r\n  \n' > "$work/blank.eml"
check "empty standard input" 65 "standard input: the input is empty: it is not a message" -- bash -c "'$tool' deliver alice < /dev/null"
check "empty file" 65 "empty.eml: the input is empty: it is not a message" -- "$tool" deliver alice "$work/empty.eml"
check "blank file" 65 "it is not a message" -- "$tool" deliver alice "$work/blank.eml"
check "a folder" 74 "it is a folder" -- "$tool" deliver alice "$work"
check "missing file" 74 "Cannot open $work/nope.eml: No such file or directory" -- "$tool" deliver alice "$work/nope.eml"
expect_count "nothing stored for bad input" 8
# Several files: each is stored or not on its own; the exit code is that of
# the first file not stored, and a last line names every file not stored.
check "one bad file among good ones" 74 "deliver: 1 of 3 messages not stored: $work/nope.eml (74)" -- "$tool" deliver alice "$examples/plain.eml" "$work/nope.eml" "$examples/plain.eml"
expect_count "the good files of the batch delivered" 10
check "two bad files, the first decides" 65 "deliver: 2 of 3 messages not stored: $work/empty.eml (65), $work/nope.eml (74)" -- "$tool" deliver alice "$work/empty.eml" "$work/nope.eml" "$examples/plain.eml"
expect_count "the good file of the second batch delivered" 11
out=$("$tool" deliver alice "$work/nope.eml" 2>&1)
if [[ "$out" == *"messages not stored"* ]]; then echo "FAIL: a single file gets a summary: $out"; failures=$((failures + 1)); else echo "ok: a single file is named once"; fi

# What lasts is permanent, so that the mail server does not retry for
# days: no such folder (67), a profile whose store file is missing (73), a
# home another user owns or can write (78).
check "deliver into a missing folder" 67 "No folder 'Nowhere' in 'Nowhere'" -- "$tool" deliver alice --folder Nowhere "$examples/plain.eml"
"$tool" profile create carol >/dev/null || { echo "FAIL: profile create carol"; failures=$((failures + 1)); }
mv "$TOLVANE_MAPI_HOME/stores/carol.db" "$work/carol.db"
check "a missing store file" 73 "The message store $TOLVANE_MAPI_HOME/stores/carol.db of the profile 'carol' does not exist" -- "$tool" deliver carol "$examples/plain.eml"
check "list of a missing store file" 66 "of the profile 'carol' does not exist" -- "$tool" list carol
mv "$work/carol.db" "$TOLVANE_MAPI_HOME/stores/carol.db"
chmod 0777 "$TOLVANE_MAPI_HOME"
check "a home others can write" 78 "The folder $TOLVANE_MAPI_HOME can be written by other users (mode 0777): refusing to use it" -- "$tool" deliver alice "$examples/plain.eml"
check "list in a home others can write" 78 "can be written by other users" -- "$tool" list alice
chmod 0700 "$TOLVANE_MAPI_HOME"
if [ "$(id -u)" = 0 ]; then
  chown 65534 "$TOLVANE_MAPI_HOME/profiles"
  check "a profiles folder of another user" 78 "profiles belongs to another user (uid 65534, not 0)" -- "$tool" deliver alice "$examples/plain.eml"
  chown 0 "$TOLVANE_MAPI_HOME/profiles"
fi
expect_count "nothing stored in a refused home" 11

# Store failures: busy is temporary (75), a disk error is an I/O error (74);
# neither leaves anything behind.
check "store busy" 75 "(0x8004010B)" -- env TOLVANE_MAPI_FAULTS="IMessage::SaveChanges#1=0x8004010B" "$tool" deliver alice "$examples/attachments.eml"
check "disk error" 74 "(0x80040116)" -- env TOLVANE_MAPI_FAULTS="IStream::Write#1=0x80040116" "$tool" deliver alice "$examples/attachments.eml"
check "store cannot open" 74 "" -- env TOLVANE_MAPI_FAULTS="IMAPISession::OpenMsgStore#1=0x80040116" "$tool" deliver alice "$examples/plain.eml"
expect_count "nothing stored after store failures" 11
# Several files are stored in batches of one transaction: a batch the store
# fails is undone and stored again file by file, so only the file the store
# fails again is left out, and nothing is stored twice.
check "a file the store fails in its batch and alone" 75 \
  "deliver: 1 of 3 messages not stored: $examples/ndr.eml (75)" -- \
  env TOLVANE_MAPI_FAULTS="IMessage::SaveChanges#2=0x8004010B;IMessage::SaveChanges#4=0x8004010B" \
  "$tool" deliver alice "$examples/plain.eml" "$examples/ndr.eml" "$examples/attachments.eml"
expect_count "the other two stored once" 13
check "a batch whose commit fails" 0 "" -- env TOLVANE_MAPI_FAULTS="StoreDb::commit#1=0x80040116" \
  "$tool" deliver alice "$examples/plain.eml" "$examples/ndr.eml" "$examples/attachments.eml"
expect_count "its three files stored one by one" 16

# A store locked by another writer: a short lock is waited for; one held
# past the wait gives 75 and stores nothing.
db=$TOLVANE_MAPI_HOME/stores/alice.db
hold_lock() {  # hold_lock SECONDS: another writer holds the store's write lock (in the background)
  rm -f "$work/locked"
  python3 - "$db" "$work/locked" "$1" <<'PY' &
import sqlite3, sys, time
connection = sqlite3.connect(sys.argv[1], isolation_level=None)
connection.execute("BEGIN IMMEDIATE")
open(sys.argv[2], "w").close()
time.sleep(float(sys.argv[3]))
connection.execute("COMMIT")
PY
  locker=$!
  while [ ! -e "$work/locked" ]; do sleep 0.05; done
}
hold_lock 2
check "short lock waited for" 0 "" -- "$tool" deliver alice "$examples/plain.eml"
wait $locker
if [ "${TOLVANE_SKIP_SLOW:-}" = "" ]; then
  hold_lock 120
  check "lock held past the wait" 75 "" -- "$tool" deliver alice "$examples/plain.eml"
  kill $locker 2>/dev/null
  wait $locker 2>/dev/null
fi
expect_count "only the waited delivery stored" 17

# A deliver process killed while it writes a large message leaves either
# nothing or the whole message, and the store takes the next one.
{
  printf 'From: a@example.com\nSubject: killed\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=K\n\n'
  printf -- '--K\nContent-Type: text/plain\n\nbig\n--K\nContent-Type: application/octet-stream; name=big.bin\n'
  printf 'Content-Transfer-Encoding: base64\n\n'
  head -c 30000000 /dev/zero | tr '\0' 'x' | base64
  printf -- '--K--\n'
} > "$work/big.eml"
killed() { "$tool" list alice | grep -c "$1"; }
for delay in 0.1 0.2 0.3 0.45 0.6; do
  before=$(killed $'\tkilled\t')
  "$tool" deliver alice "$work/big.eml" &
  pid=$!
  sleep $delay
  kill -9 $pid 2>/dev/null
  wait $pid 2>/dev/null
  after=$(killed $'\tkilled\t')
  whole=$(killed $'\tkilled\t[0-9]*\t1$')
  if [ "$after" = "$before" ]; then
    echo "ok: delivery killed after ${delay}s left nothing"
  elif [ "$after" = $((before + 1)) ] && [ "$whole" = "$after" ]; then
    echo "ok: delivery killed after ${delay}s had finished whole"
  else
    echo "FAIL: delivery killed after ${delay}s: $before before, $after after, $whole whole"
    failures=$((failures + 1))
  fi
done
after=$(count)
check "delivery after a killed one" 0 "" -- "$tool" deliver alice "$examples/plain.eml"
expect_count "the store goes on" $((after + 1))

# A 50 MiB attachment through a pipe: the input goes to a temporary file and
# the attachment into the store in pieces, so the process stays far smaller
# than the attachment.
{
  printf 'From: a@example.com\nSubject: fifty\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=F\n\n'
  printf -- '--F\nContent-Type: text/plain\n\nsee attached\n--F\nContent-Type: application/octet-stream; name=fifty.bin\n'
  printf 'Content-Transfer-Encoding: base64\n\n'
  head -c 52428800 /dev/urandom | base64
  printf -- '--F--\n'
} > "$work/fifty.eml"
peak_of() {  # peak_of FILE: "EXIT PEAK_KIB" of a delivery of FILE through a pipe
  python3 - "$tool" "$1" <<'PY'
import resource, subprocess, sys
rc = subprocess.run(["bash", "-c", 'cat "$2" | "$1" deliver alice', "sh", sys.argv[1], sys.argv[2]]).returncode
print(rc, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
PY
}
small_enough() {  # small_enough DESCRIPTION "EXIT PEAK_KIB"
  if [ "${2%% *}" != 0 ] || [ "${2##* }" -gt 40960 ]; then
    echo "FAIL: $1: exit and peak KiB: $2"
    failures=$((failures + 1))
  else
    echo "ok: $1, peak ${2##* } KiB"
  fi
}
small_enough "50 MiB attachment through a pipe" "$(peak_of "$work/fifty.eml")"
"$tool" list alice | grep -q $'\tfifty\t[0-9]*\t1$' || { echo "FAIL: the 50 MiB message"; failures=$((failures + 1)); }
# The same for a 50 MiB body text in another charset.
python3 - "$work/fifty-body.eml" <<'PY'
import sys
with open(sys.argv[1], "w") as f:
    f.write("From: a@example.com\nSubject: fifty body\nContent-Type: text/plain; charset=iso-8859-1\n"
            "Content-Transfer-Encoding: quoted-printable\n\n")
    line = "Gr=FC=DFe aus K=F6ln, eine lange Zeile Text f=FCr den Test.\n"
    f.write(line * (50 * 1024 * 1024 // len(line)))
PY
small_enough "50 MiB body through a pipe" "$(peak_of "$work/fifty-body.eml")"

# A message of 1,100 attachments is written on a bounded number of
# descriptors: it is stored under a limit of 256 open files.
python3 - "$work/many.eml" <<'PY'
import base64, sys
with open(sys.argv[1], "w") as f:
    f.write("From: a@example.com\nSubject: many parts\nMIME-Version: 1.0\n"
            "Content-Type: multipart/mixed; boundary=M\n\n--M\nContent-Type: text/plain\n\nsee the parts\n")
    for k in range(1100):
        data = (b"part %d " % k) * (1 + k % 50)
        f.write("--M\nContent-Type: application/octet-stream; name=p%d.bin\nContent-Transfer-Encoding: base64\n\n" % k)
        f.write(base64.encodebytes(data).decode())
    f.write("--M--\n")
PY
check "1,100 attachments under ulimit -n 256" 0 "" -- bash -c "ulimit -n 256 && exec '$tool' deliver alice '$work/many.eml'"
"$tool" list alice | grep -q $'\tmany parts\t[0-9]*\t1100$' || { echo "FAIL: the message of 1,100 attachments"; failures=$((failures + 1)); }

# Running out of descriptors is temporary (75), not an I/O error (74), and
# stores nothing: the limit is lowered until delivery fails in the store.
before=$(count)
stored=0
short=0
for limit in 12 11 10 9 8 7 6 5; do
  out=$(bash -c "ulimit -n $limit && exec '$tool' deliver alice '$work/many.eml'" 2>&1)
  rc=$?
  if [ $rc = 0 ]; then
    stored=$((stored + 1))
  elif [[ "$out" == *"temporary file for values"* || "$out" == *"message store"* ]]; then
    if [ $rc = 75 ]; then short=$((short + 1)); else echo "FAIL: ulimit -n $limit: exit $rc: $out"; failures=$((failures + 1)); fi
  fi
done
after=$(count)
if [ "$short" = 0 ] || [ "$after" != $((before + stored)) ]; then
  echo "FAIL: descriptor shortage: $short temporary failures, $before + $stored stored gave $after"
  failures=$((failures + 1))
else
  echo "ok: descriptor shortage is temporary ($short times) and stores nothing"
fi

# Control characters of senders and subjects (encoded words decode to any)
# are shown escaped, never sent to the terminal.
subject=$(printf 'A\033[31mred\tB\177\302\233C\\D' | base64 -w0)
printf 'From: =?utf-8?q?Evil=1B]0;title=07?= <evil@example.com>\nSubject: =?utf-8?b?%s?=\n\nbody\n' "$subject" > "$work/escapes.eml"
check "deliver escapes" 0 "" -- "$tool" deliver alice "$work/escapes.eml"
line=$("$tool" list alice | grep -F 'evil@example.com')
want=$'Evil\\x1b]0;title\\x07 <evil@example.com>\tA\\x1b[31mred\\tB\\x7f\\u009bC\\\\D'
if [[ "$line" != *"$want"* ]] || printf '%s' "$line" | LC_ALL=C grep -q $'[\x01-\x08\x0b-\x1f\x7f]\|\xc2\x9b'; then
  echo "FAIL: list shows control characters: $(printf '%s' "$line" | od -c | head -5)"
  failures=$((failures + 1))
else
  echo "ok: list escapes control characters"
fi

check "list usage" 64 "list needs a PROFILE" -- "$tool" list
check "list of a missing profile" 67 "There is no profile" -- "$tool" list nobody
check "list of a missing folder" 65 "No folder 'Nowhere'" -- "$tool" list alice --folder Nowhere
check "list of an empty folder" 0 "" -- "$tool" list alice --folder "Sent Items"
check "deliver into a folder" 0 "" -- "$tool" deliver alice --folder Drafts "$examples/plain.eml"
drafts=$("$tool" list alice --folder Drafts | wc -l)
[ "$drafts" = 1 ] || { echo "FAIL: Drafts holds $drafts"; failures=$((failures + 1)); }

# Several files end with one summary line (stored, refused, time), after
# the failures; on a terminal a progress line (done of total, rate, time
# left) is drawn on standard error before it, rewritten in place and erased.
times() { sed -E 's/[0-9]+\.[0-9] s/T s/g; s/[0-9.]+\/s/R\/s/g'; }
expect_output() {  # expect_output DESCRIPTION EXPECTED ACTUAL
  if [ "$3" != "$2" ]; then
    echo "FAIL: $1: $(printf '%s' "$3" | od -c | head -8) (wanted: $(printf '%s' "$2" | od -c | head -8))"
    failures=$((failures + 1))
  else
    echo "ok: $1"
  fi
}
out=$("$tool" deliver alice "$examples/plain.eml" "$work/nope.eml" "$examples/ndr.eml" 2>&1 | times)
expect_output "summary after a refused file" "tolvane-mapi: deliver: $work/nope.eml: Cannot open $work/nope.eml: No such file or directory
tolvane-mapi: deliver: 1 of 3 messages not stored: $work/nope.eml (74)
tolvane-mapi: deliver: 2 messages stored, 1 refused in T s" "$out"
out=$(script -qec "'$tool' deliver alice '$examples/plain.eml' '$examples/ndr.eml'" /dev/null </dev/null | times)
expect_output "progress line on a terminal" $'\rdeliver: 2 of 2 messages, R/s\e[K\r\e[Ktolvane-mapi: deliver: 2 messages stored, 0 refused in T s\r' "$out"
out=$(script -qec "'$tool' deliver alice '$examples/plain.eml'" /dev/null </dev/null)
expect_output "one message: no progress, no summary" "" "$out"

echo "$failures failure(s)"
[ $failures = 0 ]
