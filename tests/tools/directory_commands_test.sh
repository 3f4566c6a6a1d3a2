#!/usr/bin/env bash
# tolvane-mapi directory add|list|remove: results, messages and exit codes.
set -u
tool=$1
scratch=$2
mkdir -p "$scratch"
work=$(mktemp -d "$scratch/directory-cli-XXXXXX")
trap 'rm -rf "$work"' EXIT
export TOLVANE_MAPI_HOME=$work/home

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
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

dn="/o=Example/ou=Exchange Administrative Group/cn=Recipients/cn=alice"
x400="X400:c=US;a= ;p=Example;o=Exchange;s=Alice;"

# Reading a directory that does not exist yet: empty, and nothing is created.
out=$("$tool" directory list 2>&1)
rc=$?
[ "$rc" = 0 ] && [ -z "$out" ] || fail "list of a missing directory: exit $rc, output: $out"
[ ! -e "$TOLVANE_MAPI_HOME" ] || fail "list created $TOLVANE_MAPI_HOME"
check "remove from a missing directory" 65 "There is no directory entry 1" -- "$tool" directory remove 1
[ ! -e "$TOLVANE_MAPI_HOME/directory.db" ] || fail "remove created the directory"

check "add" 0 "Added directory entry 1: Alice Example <alice@example.org>" -- \
  "$tool" directory add --display-name "Alice Example" --smtp alice@example.org --dn "$dn" \
  --proxy smtp:alias@example.org --proxy "$x400"
mode=$(stat -c %a "$TOLVANE_MAPI_HOME/directory.db")
[ "$mode" = 600 ] || fail "directory mode $mode"
check "add without addresses" 0 "Added directory entry 2: Meeting Room" -- "$tool" directory add --display-name "Meeting Room"

# Proxies come back in the order and case given, tab-separated.
want=$(printf '1\tAlice Example\talice@example.org\t%s\tsmtp:alias@example.org\t%s\n2\tMeeting Room\t-\t-' "$dn" "$x400")
out=$("$tool" directory list 2>&1)
[ "$out" = "$want" ] || fail "list: got
$out
wanted
$want"

check "duplicate SMTP address (any case)" 65 "belongs to directory entry 1" -- \
  "$tool" directory add --display-name Other --smtp ALICE@Example.ORG
check "duplicate distinguished name (any case)" 65 "belongs to directory entry 1" -- \
  "$tool" directory add --display-name Other --dn "$(echo "$dn" | tr a-z A-Z)"
check "bad SMTP address" 65 "is not an SMTP address" -- "$tool" directory add --display-name Bob --smtp bob
check "bad distinguished name" 65 "is not a distinguished name" -- "$tool" directory add --display-name Bob --dn o=Example
check "bad proxy" 65 "is not a proxy address" -- "$tool" directory add --display-name Bob --proxy alias
check "empty display name" 65 "the display name is empty" -- "$tool" directory add --display-name ""
check "missing display name" 64 "needs --display-name" -- "$tool" directory add --smtp bob@example.org
check "option without value" 64 "needs a value" -- "$tool" directory add --display-name
check "option twice" 64 "is given twice" -- "$tool" directory add --display-name A --display-name B
check "unknown option" 64 "unknown option '--colour'" -- "$tool" directory add --display-name A --colour red
check "stray argument" 64 "unexpected argument 'Bob'" -- "$tool" directory add Bob
check "list with an argument" 64 "unexpected argument" -- "$tool" directory list all
check "remove without argument" 64 "needs an entry id or SMTP address" -- "$tool" directory remove
check "no subcommand" 64 "needs a subcommand" -- "$tool" directory
check "unknown subcommand" 64 "unknown directory subcommand 'purge'" -- "$tool" directory purge

check "remove by SMTP address (any case)" 0 "Removed directory entry 1: Alice Example <alice@example.org>" -- \
  "$tool" directory remove ALICE@example.org
check "remove by id" 0 "Removed directory entry 2: Meeting Room" -- "$tool" directory remove 2
check "remove again" 65 "There is no directory entry 2" -- "$tool" directory remove 2
check "remove unknown address" 65 "No directory entry has the SMTP address nobody@example.org" -- \
  "$tool" directory remove nobody@example.org
check "ids are not reused" 0 "Added directory entry 3: Bob" -- "$tool" directory add --display-name Bob --smtp bob@example.org

# A home that cannot be made, and a directory that is not a database.
touch "$work/not-a-folder"
TOLVANE_MAPI_HOME=$work/not-a-folder/home check "home not creatable" 73 "Cannot create the folder" -- \
  "$tool" directory add --display-name Bob
echo "not a database, only text, long enough to hold a header of one hundred bytes or so......" \
  > "$TOLVANE_MAPI_HOME/directory.db"
check "list of a damaged directory" 74 "directory" -- "$tool" directory list
check "add to a damaged directory" 74 "directory" -- "$tool" directory add --display-name Carol

[ "$failures" -eq 0 ]
