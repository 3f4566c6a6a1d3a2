#!/usr/bin/env bash
# The network transports against a real Postfix (tests/smtp/postfix.sh),
# started and stopped here, as root:
#   - several messages over one SMTP connection;
#   - with Postfix stopped the message stays queued (spool run exits 75, spool
#     list says why), and once Postfix runs it is delivered exactly once;
#   - STARTTLS required with the test's self-signed certificate and AUTH:
#     delivered when the certificate is trusted and the password right; kept
#     queued (never bounced) when the certificate is not trusted or the
#     password is wrong; the password appears in no log, output or listing;
#   - smtps:// (TLS from the first byte) with AUTH;
#   - the sendmail transport through Postfix's own sendmail command, a
#     recipient that starts with '-' staying a recipient.
# The receiving MAPI home belongs to nobody: Postfix's pipe runs
# `tolvane-mapi deliver` as the home's owner; it is read back as nobody.
#
#   smtp_postfix_test.sh TOOL SPOOL_SUBMIT SCRATCH_DIR
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/postfix.sh"

tool=$1
submit=$2
work=$(pf_workdir "$3" smtp-postfix) || exit 1
pf=$work/postfix

cleanup() {
  pf_stop "$pf"
  pf_cleanup_workdir "$work"
}
trap cleanup EXIT

# The receiving side runs the tool as nobody (and so does Postfix's pipe).
receiver=$(pf_reachable_tool "$work" "$tool") || exit 1
mkdir -p "$work/sender" "$work/inbox" "$work/inbox-tmp" "$work/logs"
chmod 755 "$work"
chmod 700 "$work/sender" "$work/logs"
chown nobody:nogroup "$work/inbox" "$work/inbox-tmp"
chmod 700 "$work/inbox" "$work/inbox-tmp"

# The receiving side, as the owner of its home.
# (TMPDIR of the test run may be a folder nobody cannot write to.)
as_nobody() {
  setpriv --reuid=nobody --regid=nogroup --clear-groups env TOLVANE_MAPI_HOME="$work/inbox" TMPDIR="$work/inbox-tmp" "$@"
}
for p in alice bob carol -bad; do
  as_nobody "$receiver" profile create "$p" --address "$p@inbox.test" >/dev/null 2>&1 ||
    as_nobody "$receiver" profile create "x$p" --address "$p@inbox.test" >/dev/null ||
    { echo "cannot create the receiving profile $p" >&2; exit 1; }
done
inbox_count() { as_nobody "$receiver" list "$1" 2>/dev/null | grep -c -- "$2"; }

export TOLVANE_MAPI_HOME=$work/sender
export TOLVANE_MAPI_SPOOLER=off
"$tool" profile create sender --address sender@tolvane.test --display-name "Sender" >/dev/null || exit 1

plain=$(pf_free_port)
secure=$(pf_free_port)
smtps=$(pf_free_port)
pf_setup "$pf" "$receiver" "$work/inbox" "$plain" "$secure" "$smtps" || exit 1
pf_start "$pf" || exit 1
password=$(cat "$pf/password")

# --- several messages, one connection -------------------------------------
"$tool" profile set sender --transport "smtp://127.0.0.1:$plain" >/dev/null
for i in 1 2 3 4 5; do
  "$submit" sender --subject "Batch $i" --body "Message $i" --to alice@inbox.test --cc bob@inbox.test || exit 1
done
out=$("$tool" spool run sender)
rc=$?
expect "spool run sends a batch and exits 0 (was $rc)" test "$rc" -eq 0
expect "five messages are reported sent" test "$(grep -c '^sent' <<<"$out")" -eq 5
pf_wait_empty "$pf" 60
expect "the five messages went over one connection" \
  grep -qE "smtpd.*disconnect from localhost.* mail=5 rcpt=10(/10)? " "$pf/maillog"
expect "alice has the five messages" test "$(inbox_count alice 'Batch ')" -eq 5
expect "bob has the five messages" test "$(inbox_count bob 'Batch ')" -eq 5
expect "the queue is empty" test -z "$("$tool" spool list sender | grep '^queue')"

# --- Postfix stopped: queued, then delivered once -------------------------
pf_stop "$pf"
"$submit" sender --subject "While stopped" --body "Wait for me" --to alice@inbox.test || exit 1
"$tool" spool run sender >"$work/run-stopped.out"
rc=$?
expect "spool run exits 75 while the server is down (was $rc)" test "$rc" -eq 75
expect "spool run says queued" grep -q "^queued" "$work/run-stopped.out"
"$tool" spool list sender >"$work/list-stopped.out"
expect "spool list shows the recipient deferred with the reason" \
  grep -qE "^recipient	[0-9]+	alice@inbox.test	deferred	4\.4\.1	No mail could be sent through 127.0.0.1:$plain: .*(refused|Connection)" \
  "$work/list-stopped.out"
expect "spool list shows one failed attempt and the next one" \
  grep -qE "^queue	[0-9]+	retrying	[^	]+	1	[0-9-]+ [0-9:]+	0/1	While stopped" "$work/list-stopped.out"
# Not due yet: a plain run leaves it (exit 75), flush sends it now.
pf_start "$pf" || exit 1
"$tool" spool run sender >/dev/null
rc=$?
expect "before its next attempt the message waits (exit $rc)" test "$rc" -eq 75
"$tool" spool flush sender >"$work/flush.out"
rc=$?
expect "spool flush delivers it once the server runs (exit $rc)" test "$rc" -eq 0
"$tool" spool run sender >/dev/null
expect "a further run finds nothing (exit $?)" true
pf_wait_empty "$pf" 60
expect "alice got the message exactly once" test "$(inbox_count alice 'While stopped')" -eq 1

# --- STARTTLS required, AUTH ----------------------------------------------
printf '%s\n' "$password" >"$work/password-file"
chmod 600 "$work/password-file"
"$tool" profile set sender --transport "smtp://localhost:$secure" --starttls required \
  --smtp-user sender --smtp-password-file "$work/password-file" >"$work/set.out" 2>&1
expect "profile set stores the credentials" test $? -eq 0
expect "the profile file is readable by its owner only" test "$(stat -c %a "$work/sender/profiles/sender.profile")" = 600
# Not trusted: the self-signed certificate is refused, the mail stays queued.
"$submit" sender --subject "Over TLS" --body "Secret body" --to carol@inbox.test || exit 1
TEMP=$work/logs TOLVANE_MAPI_LOGS=1 SSL_CERT_FILE=/nonexistent "$tool" spool run sender >"$work/run-untrusted.out" 2>&1
rc=$?
expect "an untrusted certificate keeps the message queued (exit $rc)" test "$rc" -eq 75
expect "spool list says the certificate could not be verified" \
  grep -q "certificate of the server could not be verified" <("$tool" spool list sender)
# Trusted (the test's certificate as the trust store): delivered.
TEMP=$work/logs TOLVANE_MAPI_LOGS=1 SSL_CERT_FILE=$pf/tls/cert.pem "$tool" spool flush sender >"$work/run-tls.out" 2>&1
rc=$?
expect "with the certificate trusted and AUTH the message is sent (exit $rc)" test "$rc" -eq 0
pf_wait_empty "$pf" 60
expect "carol got the message sent over TLS" test "$(inbox_count carol 'Over TLS')" -eq 1
expect "Postfix saw STARTTLS and the login" \
  grep -qE "sasl_method=(PLAIN|LOGIN), sasl_username=sender" "$pf/maillog"
# A wrong password: refused by the server, kept queued, never bounced.
printf 'wrong-%s\n' "$password" >"$work/wrong-password"
"$tool" profile set sender --smtp-user sender --smtp-password-file "$work/wrong-password" >/dev/null
"$submit" sender --subject "Wrong password" --body "x" --to carol@inbox.test || exit 1
SSL_CERT_FILE=$pf/tls/cert.pem "$tool" spool run sender >"$work/run-wrong.out" 2>&1
rc=$?
expect "a refused login keeps the message queued (exit $rc)" test "$rc" -eq 75
expect "spool list names the refused credentials" \
  grep -q "did not accept the profile's SMTP credentials" <("$tool" spool list sender)
expect "no report was written for a refused login" test -z "$("$tool" list sender | grep -i undeliverable)"
"$tool" profile set sender --smtp-user sender --smtp-password-file "$work/password-file" >/dev/null
SSL_CERT_FILE=$pf/tls/cert.pem "$tool" spool flush sender >/dev/null 2>&1
expect "with the right password it leaves (exit $?)" true
pf_wait_empty "$pf" 60
expect "carol got the message once the password was right" test "$(inbox_count carol 'Wrong password')" -eq 1

# --- smtps:// -------------------------------------------------------------
# Another server: the stored password is forgotten, and the message waits until it is
# given again.
"$tool" profile set sender --transport "smtps://localhost:$smtps" >/dev/null
"$submit" sender --subject "Implicit TLS" --body "x" --to carol@inbox.test || exit 1
SSL_CERT_FILE=$pf/tls/cert.pem "$tool" spool run sender >"$work/run-nopassword.out" 2>&1
rc=$?
expect "without the password for the new server the message waits (exit $rc)" test "$rc" -eq 75
expect "spool list says the password is missing" grep -q "holds no password" <("$tool" spool list sender)
"$tool" profile set sender --smtp-user sender --smtp-password-file "$work/password-file" >/dev/null
TEMP=$work/logs TOLVANE_MAPI_LOGS=1 SSL_CERT_FILE=$pf/tls/cert.pem "$tool" spool flush sender >"$work/run-smtps.out" 2>&1
rc=$?
expect "smtps:// with AUTH sends (exit $rc)" test "$rc" -eq 0
pf_wait_empty "$pf" 60
expect "carol got the message sent over smtps" test "$(inbox_count carol 'Implicit TLS')" -eq 1

# The password in no log, output or listing.
"$tool" profile list >"$work/profile-list.out"
"$tool" spool list sender >"$work/spool-list.out"
leaks=$(grep -rlF -- "$password" "$pf/maillog" "$work/logs" "$work"/*.out 2>/dev/null)
expect "the password appears in no log or output (found in: ${leaks:-none})" test -z "$leaks"
expect "the password is in the profile file" grep -qF "smtp_password=$password" "$work/sender/profiles/sender.profile"

# --- sendmail through Postfix's own command -------------------------------
"$tool" profile set sender --transport sendmail:/usr/sbin/sendmail >/dev/null
"$submit" sender --subject "Through sendmail" --body "x" --to alice@inbox.test --to "-bad@inbox.test" || exit 1
MAIL_CONFIG=$pf/etc "$tool" spool run sender >"$work/run-sendmail.out" 2>&1
rc=$?
expect "the sendmail transport sends (exit $rc)" test "$rc" -eq 0
pf_wait_empty "$pf" 60
expect "alice got the message through sendmail" test "$(inbox_count alice 'Through sendmail')" -eq 1
expect "an address starting with '-' stayed a recipient" grep -q "to=<-bad@inbox.test>" "$pf/maillog"

# One EHLO per connection before STARTTLS (or without it) and one after, on every
# connection of this test (RFC 5321 lets a server refuse a second one).
ehlos=$(awk '
  /\/smtpd\[[0-9]+\]: connect from / { pid = $0; sub(/.*smtpd\[/, "", pid); sub(/\].*/, "", pid); before[pid] = 0; after[pid] = 0; tls[pid] = 0; n[pid]++ }
  /\/smtpd\[[0-9]+\]: < [^ ]*: (EHLO|HELO) / { pid = $0; sub(/.*smtpd\[/, "", pid); sub(/\].*/, "", pid); if (tls[pid]) after[pid]++; else before[pid]++; total++
    if (before[pid] > 1 || after[pid] > 1) bad = bad " " pid "#" n[pid] }
  /\/smtpd\[[0-9]+\]: < [^ ]*: STARTTLS/ { pid = $0; sub(/.*smtpd\[/, "", pid); sub(/\].*/, "", pid); tls[pid] = 1 }
  END { print total + 0, (bad == "" ? "none" : bad) }' "$pf/maillog")
expect "Postfix logged the clients' EHLOs (${ehlos% *})" test "${ehlos% *}" -gt 5
expect "one EHLO per connection before STARTTLS and one after (repeated on:${ehlos#* })" test "${ehlos#* }" = none

pf_summary
