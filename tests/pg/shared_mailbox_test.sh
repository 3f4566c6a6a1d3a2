#!/usr/bin/env bash
# One mailbox on PostgreSQL shared by two hosts (two MAPI homes, as two machines have):
# the second host's profile attaches to the mailbox the first made, both deliver into it
# at once, and each reads what both delivered. Run through pgserver.sh:
#   pgserver.sh run bash shared_mailbox_test.sh TOOL MAILDIR SCRATCH
set -u
tool=$1
maildir=$2
scratch=$3
mkdir -p "$scratch"
work=$(mktemp -d "$scratch/shared-mailbox-XXXXXX")
trap 'rm -rf "$work"' EXIT
unset TOLVANE_MAPI_FAULTS
fail() { echo "FAIL: $*"; exit 1; }
on() { local host=$1; shift; TOLVANE_MAPI_HOME=$work/$host "$tool" "$@"; }
location="$TOLVANE_TEST_PG mailbox=shared"

out=$(on a profile create alice --store "$location" 2>&1) || fail "create on host a: $out"
out=$(on b profile create alice --existing --store "$location" 2>&1) || fail "attach on host b: $out"
[ "$out" = "Created profile 'alice' for the existing message store $location" ] || fail "attach said: $out"

# A mailbox that is not there is not made by attaching, and no profile is left.
out=$(on b profile create bob --existing --store "$TOLVANE_TEST_PG mailbox=nobody" 2>&1)
[ $? -eq 73 ] || fail "attaching to a missing mailbox: exit $?"
[ "$out" = "tolvane-mapi: There is no message store: the mailbox 'nobody' in $TOLVANE_TEST_PG does not exist" ] \
  || fail "attaching to a missing mailbox said: $out"
on b profile list | grep -q '^bob' && fail "a profile was left for the missing mailbox"
out=$(on b profile create carol --existing 2>&1)
[ $? -eq 73 ] && [ "$out" = "tolvane-mapi: A profile for an existing message store needs its location (--store)" ] \
  || fail "attaching without a location said: $out"

# Both hosts deliver at once, five rounds of the example mail each, every round's copies
# with a Message-ID of their own (the same message again would be stored once: below).
files=("$maildir"/*.eml)
for host in a b; do
  for round in 1 2 3 4 5; do
    mkdir -p "$work/mail-$host-$round"
    for f in "${files[@]}"; do
      sed "s/^Message-I[Dd]: *<\(.*\)>/Message-ID: <$host.$round.\1>/" "$f" >"$work/mail-$host-$round/${f##*/}"
    done
  done
done
for host in a b; do
  (for round in 1 2 3 4 5; do on $host deliver alice "$work/mail-$host-$round"/*.eml >/dev/null || exit 1; done) &
done
wait -n || fail "a delivery failed"
wait -n || fail "a delivery failed"
expected=$((2 * 5 * ${#files[@]}))
on a list alice >"$work/a.txt" || fail "list on host a"
on b list alice >"$work/b.txt" || fail "list on host b"
[ "$(wc -l <"$work/a.txt")" -eq "$expected" ] || fail "host a sees $(wc -l <"$work/a.txt") messages, not $expected"
cmp -s "$work/a.txt" "$work/b.txt" || fail "the hosts see different mailboxes"

# A delivery retried (its answer lost, or the database failed over) stores nothing twice,
# from either host: each message is known by its Message-ID and content.
on b deliver alice "$work/mail-a-1"/*.eml >/dev/null || fail "the retried delivery failed"
on a deliver alice "$work/mail-a-1/${files[0]##*/}" >/dev/null || fail "the retried delivery failed"
[ "$(on a list alice | wc -l)" -eq "$expected" ] || fail "a retried delivery stored messages again"
# In one call with new mail, the retried message is left out and the new one stored.
sed "s/^Message-I[Dd]: *<\(.*\)>/Message-ID: <new.\1>/" "${files[0]}" >"$work/new.eml"
on b deliver alice "$work/mail-a-2/${files[0]##*/}" "$work/new.eml" >/dev/null || fail "the mixed delivery failed"
expected=$((expected + 1))
[ "$(on a list alice | wc -l)" -eq "$expected" ] || fail "the mixed delivery did not store just the new message"

# Host b's profile goes (not purged): the mailbox stays for host a.
on b profile delete alice >/dev/null || fail "delete on host b"
[ "$(on a list alice | wc -l)" -eq "$expected" ] || fail "deleting host b's profile changed the mailbox"

# The same for a store file another profile made.
on a profile create dora >/dev/null || fail "create dora"
store=$(on a profile list | awk -F'\t' '$1 == "dora" {print $4}')
[ -f "$store" ] || fail "no store file for dora: '$store'"
on a deliver dora "${files[0]}" >/dev/null || fail "deliver to dora"
on b profile create dora2 --existing --store "$store" >/dev/null || fail "attach to dora's file"
[ "$(on b list dora2 | wc -l)" -eq 1 ] || fail "the attached store file does not show dora's message"
echo "ok: two hosts share one mailbox ($expected messages delivered at once, each sees all)"
