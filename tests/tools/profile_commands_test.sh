#!/usr/bin/env bash
# tolvane-mapi profile create|list|delete: results, messages and exit codes.
set -u
tool=$1
scratch=$2
mkdir -p "$scratch"
work=$(mktemp -d "$scratch/profile-cli-XXXXXX")
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

check "create" 0 "Created profile 'alice'" -- "$tool" profile create alice --address alice@example.org --display-name "Alice Example"
[ -f "$TOLVANE_MAPI_HOME/stores/alice.db" ] || { echo "FAIL: no store file"; failures=$((failures + 1)); }
mode=$(stat -c %a "$TOLVANE_MAPI_HOME/stores/alice.db")
[ "$mode" = 600 ] || { echo "FAIL: store mode $mode"; failures=$((failures + 1)); }
mode=$(stat -c %a "$TOLVANE_MAPI_HOME/profiles/alice.profile")
[ "$mode" = 600 ] || { echo "FAIL: profile mode $mode"; failures=$((failures + 1)); }

# The new store holds the standard folder tree.
folders=$(sqlite3 "$TOLVANE_MAPI_HOME/stores/alice.db" \
  "SELECT CAST(value AS TEXT) FROM props WHERE prop_id = 12289 ORDER BY object_id" | tr '\n' '|')
if [ "$folders" != "|Top of Information Store|Inbox|Outbox|Sent Items|Deleted Items|Drafts|" ]; then
  echo "FAIL: folder tree: $folders"; failures=$((failures + 1))
fi

check "create twice" 73 "already exists" -- "$tool" profile create alice
check "list" 0 $'alice\tAlice Example\talice@example.org\t' -- "$tool" profile list
for bad in "../evil" ".hidden" "a/b" "" "$(printf 'x%.0s' {1..65})"; do
  check "bad name '$bad'" 65 "invalid profile name" -- "$tool" profile create "$bad"
done
check "missing name" 64 "needs a NAME" -- "$tool" profile create
check "unknown option" 64 "unknown or incomplete option" -- "$tool" profile create bob --colour red

touch "$work/not-a-folder"
TOLVANE_MAPI_HOME=$work/not-a-folder/home check "home not writable" 73 "Cannot create the folder" -- "$tool" profile create bob

# A home that others can write (or another user owns) is refused, with the
# folder named: its owner could plant a profile that receives the mail.
chmod 0777 "$TOLVANE_MAPI_HOME"
check "list in a home others can write" 74 "The folder $TOLVANE_MAPI_HOME can be written by other users (mode 0777): refusing to use it" -- "$tool" profile list
check "create in a home others can write" 73 "can be written by other users" -- "$tool" profile create bob
chmod 0700 "$TOLVANE_MAPI_HOME"
chmod 0775 "$TOLVANE_MAPI_HOME/profiles"
check "delete with a profiles folder the group can write" 74 "profiles can be written by other users (mode 0775)" -- "$tool" profile delete alice
chmod 0700 "$TOLVANE_MAPI_HOME/profiles"
if [ "$(id -u)" = 0 ]; then
  chown 65534 "$TOLVANE_MAPI_HOME/stores"
  check "stores folder of another user" 74 "stores belongs to another user (uid 65534, not 0)" -- "$tool" profile list
  chown 0 "$TOLVANE_MAPI_HOME/stores"
fi
check "an own home again" 0 "alice" -- "$tool" profile list

check "delete keeps the store" 0 "Deleted profile 'alice'" -- "$tool" profile delete alice
[ -f "$TOLVANE_MAPI_HOME/stores/alice.db" ] || { echo "FAIL: store deleted without --purge"; failures=$((failures + 1)); }
check "delete unknown" 65 "does not exist" -- "$tool" profile delete alice
check "create again reuses nothing" 73 "Cannot create the message store" -- "$tool" profile create alice
rm -f "$TOLVANE_MAPI_HOME/stores/alice.db"
check "create after removal" 0 "Created profile" -- "$tool" profile create alice
check "delete --purge" 0 "and its message store" -- "$tool" profile delete alice --purge
[ ! -e "$TOLVANE_MAPI_HOME/stores/alice.db" ] || { echo "FAIL: --purge kept the store"; failures=$((failures + 1)); }
check "unknown command" 64 "unknown command" -- "$tool" frobnicate

# SMTP credentials belong to their server: another host forgets the password, the same
# one (or a password given again) keeps it.
"$tool" profile create sam >/dev/null
printf 'secret-1\n' >"$work/pw" && chmod 600 "$work/pw"
"$tool" profile set sam --transport smtp://mail.example.org --smtp-user sam --smtp-password-file "$work/pw" >/dev/null
check "same server keeps the password" 0 "transport smtp://mail.example.org:587" -- \
  "$tool" profile set sam --transport smtp://mail.example.org:587
grep -q '^smtp_password=secret-1$' "$TOLVANE_MAPI_HOME/profiles/sam.profile" ||
  { echo "FAIL: the password went with an unchanged server"; failures=$((failures + 1)); }
check "another server forgets the password" 0 "SMTP password of the former server was forgotten" -- \
  "$tool" profile set sam --transport smtp://other.example.net
if grep -q 'secret-1' "$TOLVANE_MAPI_HOME/profiles/sam.profile"; then
  echo "FAIL: the password stayed for another server"; failures=$((failures + 1))
fi
grep -q '^smtp_user=sam$' "$TOLVANE_MAPI_HOME/profiles/sam.profile" ||
  { echo "FAIL: the SMTP user was dropped"; failures=$((failures + 1)); }

# The time limits, kept in seconds.
"$tool" profile set sam --smtp-timeout 90s --smtp-reply-timeout 2m >/dev/null
[ "$(grep -E '^smtp_(reply_)?timeout=' "$TOLVANE_MAPI_HOME/profiles/sam.profile")" = $'smtp_timeout=90\nsmtp_reply_timeout=120' ] ||
  { echo "FAIL: the SMTP time limits were not stored"; failures=$((failures + 1)); }
check "a reply time that is no duration" 64 "--smtp-reply-timeout takes a duration" -- \
  "$tool" profile set sam --smtp-reply-timeout soon


[ "$failures" -eq 0 ]
