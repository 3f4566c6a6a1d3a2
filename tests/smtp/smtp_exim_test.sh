#!/usr/bin/env bash
# The SMTP transport against a real Exim (tests/smtp/exim.sh: Debian's
# exim4-daemon-light), started here as nobody and stopped by its process id:
#   - a message with every field (To, Cc, Bcc, display names and a subject
#     beyond ASCII, a plain and an HTML body, a binary attachment) arrives
#     complete at each recipient, read back by Python's email parser from
#     the files Exim wrote; the blind recipient gets it by envelope only;
#   - per recipient: Exim refuses one recipient at RCPT and accepts another;
#     the accepted one gets the message, the sender gets one non-delivery
#     report, for the refused one only;
#   - STARTTLS with the test's certificate and AUTH offered only after it:
#     kept queued while the certificate is not trusted, delivered once it is
#     and the password is right, kept queued (never bounced) with a wrong
#     password;
#   - one EHLO per connection before STARTTLS and one after it (Exim logs
#     every HELO and EHLO with the connection and whether TLS is on).
#
#   smtp_exim_test.sh TOOL SPOOL_SUBMIT SCRATCH_DIR EXIM_ROOT
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
# postfix.sh for the folder and port helpers the sending tests share.
source "$here/postfix.sh"
source "$here/exim.sh"

tool=$1
submit=$2
exim_root=$4
work=$(pf_workdir "$3" smtp-exim) || exit 1
ex=$work/exim

cleanup() {
  ex_stop "$ex"
  pf_cleanup_workdir "$work"
}
trap cleanup EXIT

mkdir -p "$work/sender" "$work/files" "$ex"
chmod 755 "$work"
chmod 700 "$work/sender"

export TOLVANE_MAPI_HOME=$work/sender
export TOLVANE_MAPI_SPOOLER=off
sender_name="Søren Ændersen"
"$tool" profile create sender --address sender@tolvane.test --display-name "$sender_name" >/dev/null || exit 1

plain=$(pf_free_port)
secure=$(pf_free_port)
ex_setup "$ex" "$exim_root" "$plain" "$secure" || exit 1
ex_start "$ex" || exit 1
log=$ex/log/exim.log
password=$(cat "$ex/password")

# The messages Exim wrote for a mailbox whose subject is SUBJECT.
delivered() { # MAILBOX SUBJECT
  local f
  for f in "$ex/mail/$1"/new/*; do
    [ -f "$f" ] || continue
    python3 -c 'import sys, email, email.policy
m = email.message_from_binary_file(open(sys.argv[1], "rb"), policy=email.policy.default)
sys.exit(0 if str(m["Subject"]) == sys.argv[2] else 1)' "$f" "$2" && echo "$f"
  done
}
delivered_count() { delivered "$1" "$2" | grep -c .; }

# --- a message with every field -------------------------------------------
"$tool" profile set sender --transport "smtp://127.0.0.1:$plain" >/dev/null
subject="Grüße aus Köln — Prüfbericht ✓"
body=$'Hallo Zoë,\n\nanbei der Prüfbericht. Grüße — Søren\n'
html='<html><body><p>Hallo <b>Zoë</b>,</p><p>anbei der Prüfbericht. Grüße — Søren ✓</p></body></html>'
attachment="$work/files/Prüfbericht 2024.bin"
{ python3 -c 'import sys; sys.stdout.buffer.write(bytes(range(256)))'; head -c 5000 /dev/urandom; } >"$attachment"
"$submit" sender --subject "$subject" --body "$body" --html "$html" \
  --to "Zoë Äpfel <alice@inbox.test>" --cc "Björn Ølsen <bob@inbox.test>" --bcc "Čeněk Blind <carol@inbox.test>" \
  --attach "$attachment" || exit 1
out=$("$tool" spool run sender)
rc=$?
expect "spool run sends the full message and exits 0 (was $rc)" test "$rc" -eq 0
expect "the message is reported sent to every recipient" grep -qx "sent	[0-9]*	$subject	-" <<<"$out"
ex_wait_empty "$ex" 60
for who in alice bob carol; do
  files=$(delivered "$who" "$subject")
  expect "$who got the full message once" test "$(grep -c . <<<"$files")" -eq 1
  [ -n "$files" ] || continue
  # An independent reader: Python's email package; every defect it finds counts.
  check=$(python3 - "$files" "$who@inbox.test" "$subject" "$body" "$html" "$attachment" "$sender_name" <<'PY'
import email, email.policy, os, sys
path, rcpt, subject, body, html, attachment, sender_name = sys.argv[1:8]
with open(path, "rb") as f:
    m = email.message_from_binary_file(f, policy=email.policy.default)
problems = []
def same(what, got, want):
    if got != want:
        problems.append(f"{what}: {got!r}, not {want!r}")
def text(s):
    return s.replace("\r\n", "\n").rstrip("\n")
def addrs(field):
    return [(a.display_name, a.addr_spec) for a in m[field].addresses] if m[field] else []
same("Envelope-to", str(m["Envelope-to"]), rcpt)
same("Return-path", str(m["Return-path"]), "<sender@tolvane.test>")
same("Subject", str(m["Subject"]), subject)
same("From", addrs("From"), [(sender_name, "sender@tolvane.test")])
same("To", addrs("To"), [("Zoë Äpfel", "alice@inbox.test")])
same("Cc", addrs("Cc"), [("Björn Ølsen", "bob@inbox.test")])
same("Bcc", m["Bcc"], None)
for field in ("Date", "Message-ID", "MIME-Version"):
    if not m[field]:
        problems.append(f"no {field}")
plain = m.get_body(("plain",))
same("plain body", text(plain.get_content()) if plain else None, text(body))
rich = m.get_body(("html",))
same("HTML body", text(rich.get_content()) if rich else None, text(html))
files = list(m.iter_attachments())
same("attachments", len(files), 1)
if files:
    same("attachment name", files[0].get_filename(), os.path.basename(attachment))
    with open(attachment, "rb") as f:
        same("attachment bytes", files[0].get_payload(decode=True) == f.read(), True)
for part in m.walk():
    if part.defects:
        problems.append(f"defects in {part.get_content_type()}: {part.defects}")
    for name, value in part.items():
        if getattr(value, "defects", None):
            problems.append(f"defects in {name}: {value.defects}")
print(m["Message-ID"])
for p in problems:
    print("PROBLEM " + p)
PY
  )
  expect "$who's copy reads back complete (${check//$'\n'/; })" test -n "$check" -a -z "$(grep '^PROBLEM' <<<"$check")"
  echo "$check" | head -1 >>"$work/message-ids"
done
expect "the three copies are one message (one Message-ID)" test "$(sort -u "$work/message-ids" | grep -c .)" -eq 1
expect "Exim took the message once for the three recipients" \
  test "$(grep -cE "<= sender@tolvane.test .* for (alice|bob|carol)@inbox.test (alice|bob|carol)@inbox.test (alice|bob|carol)@inbox.test$" "$log")" -eq 1
expect "the sent message is in Sent Items" test "$("$tool" list sender --folder 'Sent Items' | grep -cF "$subject")" -eq 1

# --- one recipient refused at RCPT, one accepted --------------------------
"$submit" sender --subject "Partly refused" --body "x" --to alice@inbox.test --to rejected@inbox.test || exit 1
out=$("$tool" spool run sender)
rc=$?
expect "spool run exits 0 once every recipient has an outcome (was $rc)" test "$rc" -eq 0
expect "spool run reports one recipient unreachable" \
  grep -qx "sent	[0-9]*	Partly refused	1 recipient could not be reached: a non-delivery report is in the Inbox" <<<"$out"
ex_wait_empty "$ex" 60
expect "alice got the partly refused message" test "$(delivered_count alice 'Partly refused')" -eq 1
expect "Exim refused rejected@inbox.test at RCPT once" \
  test "$(grep -c "rejected RCPT <rejected@inbox.test>: 550 5.7.1" "$log")" -eq 1
expect "Exim took the message for alice alone" grep -qE "<= sender@tolvane.test .* for alice@inbox.test$" "$log"
reports=$("$tool" list sender | cut -f2,3)
expect "the sender got one report, for this message (${reports//$'\n'/; })" \
  test "$(grep -c $'^Mail Delivery System <MAILER-DAEMON@[^>]*>\tUndeliverable: Partly refused$' <<<"$reports")" -eq 1
expect "no other report" test "$(grep -c 'Undeliverable' <<<"$reports")" -eq 1
expect "the queue is empty" test -z "$("$tool" spool list sender | grep '^queue')"

# --- STARTTLS and AUTH ----------------------------------------------------
printf '%s\n' "$password" >"$work/password-file"
printf 'wrong-%s\n' "$password" >"$work/wrong-password"
chmod 600 "$work/password-file" "$work/wrong-password"
"$tool" profile set sender --transport "smtp://localhost:$secure" --starttls required \
  --smtp-user sender --smtp-password-file "$work/password-file" >/dev/null
"$submit" sender --subject "Over TLS" --body "Secret body" --to dave@inbox.test || exit 1
SSL_CERT_FILE=/nonexistent "$tool" spool run sender >"$work/run-untrusted.out" 2>&1
rc=$?
expect "an untrusted certificate keeps the message queued (exit $rc)" test "$rc" -eq 75
expect "spool list says the certificate could not be verified" \
  grep -q "certificate of the server could not be verified" <("$tool" spool list sender)
SSL_CERT_FILE=$ex/tls/cert.pem "$tool" spool flush sender >"$work/run-tls.out" 2>&1
rc=$?
expect "with the certificate trusted and the password right it is sent (exit $rc)" test "$rc" -eq 0
ex_wait_empty "$ex" 60
expect "dave got the message sent over TLS" test "$(delivered_count dave 'Over TLS')" -eq 1
expect "Exim took it over TLS after the login" \
  grep -qE "<= sender@tolvane.test .* P=esmtpsa X=TLS[^ ]* .*A=plain:sender .*for dave@inbox.test$" "$log"

"$tool" profile set sender --smtp-user sender --smtp-password-file "$work/wrong-password" >/dev/null
"$submit" sender --subject "Wrong password" --body "x" --to dave@inbox.test || exit 1
SSL_CERT_FILE=$ex/tls/cert.pem "$tool" spool run sender >"$work/run-wrong.out" 2>&1
rc=$?
expect "a refused login keeps the message queued (exit $rc)" test "$rc" -eq 75
expect "Exim refused the login" grep -q "plain authenticator failed for .*535 Incorrect authentication data" "$log"
expect "spool list names the refused credentials" \
  grep -q "did not accept the profile's SMTP credentials" <("$tool" spool list sender)
expect "no report was written for the refused login" \
  test -z "$("$tool" list sender | grep 'Undeliverable: Wrong password')"
"$tool" profile set sender --smtp-user sender --smtp-password-file "$work/password-file" >/dev/null
SSL_CERT_FILE=$ex/tls/cert.pem "$tool" spool flush sender >/dev/null 2>&1
rc=$?
expect "with the right password it leaves (exit $rc)" test "$rc" -eq 0
ex_wait_empty "$ex" 60
expect "dave got it once the password was right" test "$(delivered_count dave 'Wrong password')" -eq 1
leaks=$(grep -rlF -- "$password" "$log" "$work"/*.out 2>/dev/null)
expect "the password appears in no log or output (found in: ${leaks:-none})" test -z "$leaks"

# --- EHLO: once before STARTTLS, once after it ----------------------------
# Exim's lines: helo server_port=P client_port=C pid=N tls=yes|no command=VERB;
# one connection is one client port of one Exim process.
ehlo=$(sed -n 's/.* helo server_port=\([0-9]*\) client_port=\([0-9]*\) pid=\([0-9]*\) tls=\([a-z]*\) command=\([A-Z]*\)$/\1 \2:\3 \4 \5/p' "$log")
expect "Exim logged HELO and EHLO commands" test -n "$ehlo"
expect "every greeting was EHLO" test -z "$(awk '$4 != "EHLO"' <<<"$ehlo")"
counts=$(awk '{ n[$1 " " $2 " " $3]++ } END { for (k in n) print k, n[k] }' <<<"$ehlo" | sort)
echo "EHLO per connection (server port, client port:process, TLS, count):"
sed 's/^/  /' <<<"$counts"
plain_conns=$(awk -v p="$plain" '$1 == p { print $2 }' <<<"$ehlo" | sort -u | grep -c .)
secure_tls=$(awk -v p="$secure" '$1 == p && $3 == "yes" { print $2 }' <<<"$ehlo" | sort -u | grep -c .)
expect "the plain port had a connection per spool run ($plain_conns)" test "$plain_conns" -eq 2
expect "the secure port had three sessions over TLS ($secure_tls)" test "$secure_tls" -eq 3
before=$(awk '$3 == "no" && $4 != 1' <<<"$counts")
after=$(awk '$3 == "yes" && $4 != 1' <<<"$counts")
expect "one EHLO per connection before STARTTLS or without it${before:+ (more in: ${before//$'\n'/; })}" test -z "$before"
expect "one EHLO per connection after STARTTLS${after:+ (more in: ${after//$'\n'/; })}" test -z "$after"
expect "no EHLO after STARTTLS on the port without it" test -z "$(awk -v p="$plain" '$1 == p && $3 == "yes"' <<<"$counts")"

pf_summary
