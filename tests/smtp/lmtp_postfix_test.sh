#!/usr/bin/env bash
# A real Postfix (tests/smtp/postfix.sh) delivering over LMTP to
# `tolvane-mapi lmtp`: a message for two profiles, received over SMTP, goes
# through Postfix's own LMTP client to the server's Unix socket, which
# belongs to the group postfix (--socket-group) and to nobody else; each
# profile's store holds it once. The receiving home and the server belong
# to nobody; Postfix and the server are started and stopped here, as root.
#
#   lmtp_postfix_test.sh TOOL SCRATCH_DIR
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/postfix.sh"

tool=$1
work=$(pf_workdir "$2" lmtp-postfix) || exit 1
pf=$work/postfix
server=

cleanup() {
  pf_stop "$pf"
  if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then
    kill -TERM "$server"
    wait "$server" 2>/dev/null
  fi
  pf_cleanup_workdir "$work"
  rm -rf "$work"
}
trap cleanup EXIT

receiver=$(pf_reachable_tool "$work" "$tool") || exit 1
mkdir -p "$work/inbox" "$work/inbox-tmp" "$work/lmtp"
chmod 755 "$work"
chown nobody:nogroup "$work/inbox" "$work/inbox-tmp"
chmod 700 "$work/inbox" "$work/inbox-tmp"
# The socket's folder: the server writes it, the group postfix enters it.
chown nobody:postfix "$work/lmtp"
chmod 750 "$work/lmtp"
postfix_gid=$(getent group postfix | cut -d: -f3)

as_nobody() {
  setpriv --reuid=nobody --regid=nogroup --groups "$postfix_gid" \
    env TOLVANE_MAPI_HOME="$work/inbox" TMPDIR="$work/inbox-tmp" "$@"
}
for p in alice bob; do
  as_nobody "$receiver" profile create "$p" --address "$p@inbox.test" >/dev/null ||
    { echo "cannot create the receiving profile $p" >&2; exit 1; }
done
inbox_count() { as_nobody "$receiver" list "$1" 2>/dev/null | grep -c -- "$2"; }

socket=$work/lmtp/lmtp.sock
# Started directly (not through a function, which would run in a subshell):
# $! is then the server itself, through setpriv's and env's exec.
setpriv --reuid=nobody --regid=nogroup --groups "$postfix_gid" \
  env TOLVANE_MAPI_HOME="$work/inbox" TMPDIR="$work/inbox-tmp" \
  "$receiver" lmtp --listen "unix:$socket" --socket-group postfix </dev/null >/dev/null 2>"$work/lmtp.log" &
server=$!
for _ in $(seq 1 100); do
  [ -S "$socket" ] && break
  sleep 0.05
done
expect "the server listens" test -S "$socket"
expect "the socket is 0660 for the group postfix" test "$(stat -c '%a %G' "$socket")" = "660 postfix"

plain=$(pf_free_port)
secure=$(pf_free_port)
smtps=$(pf_free_port)
pf_setup "$pf" "$receiver" "$work/inbox" "$plain" "$secure" "$smtps" "lmtp:unix:$socket" || exit 1
pf_start "$pf" || exit 1

python3 - "$plain" <<'PY' || fail "Postfix did not take the message over SMTP"
import smtplib, sys
msg = ("From: Sender <sender@tolvane.test>\r\nTo: alice@inbox.test, bob@inbox.test\r\n"
       "Subject: Over LMTP\r\nMessage-ID: <lmtp-e2e-1@tolvane.test>\r\n\r\nHello over LMTP.\r\n")
with smtplib.SMTP("127.0.0.1", int(sys.argv[1])) as s:
    s.sendmail("sender@tolvane.test", ["alice@inbox.test", "bob@inbox.test"], msg)
PY
pf_wait_empty "$pf" 60
expect "Postfix delivered both recipients over LMTP" \
  test "$(grep -cE 'to=<(alice|bob)@inbox.test>.*relay=.*lmtp\.sock.*status=sent' "$pf/maillog")" -eq 2
expect "alice's store holds it once" test "$(inbox_count alice 'Over LMTP')" -eq 1
expect "bob's store holds it once" test "$(inbox_count bob 'Over LMTP')" -eq 1
expect "the server logged both deliveries" test "$(grep -c 'delivered <lmtp-e2e-1@tolvane.test>' "$work/lmtp.log")" -eq 2

pf_stop "$pf"
kill -TERM "$server"
wait "$server"
rc=$?
server=
expect "the server stops with exit 0 on SIGTERM (was $rc)" test "$rc" -eq 0
expect "its socket is gone" test ! -e "$socket"

if [ "$failed" -ne 0 ]; then
  cat "$work/lmtp.log" >&2
  grep -E 'lmtp|status=' "$pf/maillog" | tail -20 >&2
fi
pf_summary
