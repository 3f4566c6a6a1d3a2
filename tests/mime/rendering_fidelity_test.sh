#!/usr/bin/env bash
# Delivered mail given back by the MIME form of the Java classes
# (MAPIMessage.writeTo) as javax.mail reads the delivered file: the messages of
# fidelity/ (charsets, alternatives, an inline image, attachments with
# parameters, an empty body) and an S/MIME message signed here with openssl,
# whose rendering must verify.
#   rendering_fidelity_test.sh TOOL CORPUS SCRATCH JAVA CLASSPATH LIBDIR
set -u
tool=$1
corpus=$2
scratch=$3
java=$4
classpath=$5
libdir=$6
mkdir -p "$scratch"
work=$(mktemp -d "$scratch/rendering-fidelity-XXXXXX")
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
export TOLVANE_MAPI_HOME=$work/home
unset TOLVANE_MAPI_FAULTS
fail() { echo "FAIL: $*"; exit 1; }

# A signer of our own, and a signed message with a Latin-1 body and an attachment.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Anna/emailAddress=anna@example.org" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null || fail "openssl req"
printf 'Content-Type: multipart/mixed; boundary="in-6"\r\n\r\n--in-6\r\nContent-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\nSign=E9 et v=E9rifi=E9.\r\n--in-6\r\nContent-Type: application/octet-stream; name="data.bin"\r\nContent-Disposition: attachment; filename="data.bin"\r\nContent-Transfer-Encoding: base64\r\n\r\nAAECAwQFBgcICQ==\r\n--in-6--\r\n' \
  > "$work/content.eml"
openssl smime -sign -in "$work/content.eml" -signer "$work/cert.pem" -inkey "$work/key.pem" \
  -from anna@example.org -to bert@example.org -subject "Signed" -out "$work/6-signed.eml" \
  || fail "openssl smime -sign"
openssl smime -verify -in "$work/6-signed.eml" -CAfile "$work/cert.pem" -out /dev/null 2>/dev/null \
  || fail "the signed message does not verify before delivery"

files=("$corpus"/*.eml "$work/6-signed.eml")
"$tool" profile create bert >/dev/null || fail "profile create"
"$tool" deliver bert "${files[@]}" >/dev/null || fail "deliver"
mkdir -p "$work/jtmp" "$work/out"
"$java" -Djava.library.path="$libdir" -cp "$classpath" RenderingFidelity bert "$work/jtmp" "$work/out" \
  "${files[@]}" || fail "renderings differ from the delivered files"
n=${#files[@]}
openssl smime -verify -in "$work/out/$n.eml" -CAfile "$work/cert.pem" -out "$work/verified.eml" 2>"$work/verify.err" \
  || fail "the rendered signed message does not verify: $(cat "$work/verify.err")"
cmp -s "$work/verified.eml" <(tr -d '\r' < "$work/content.eml") || cmp -s "$work/verified.eml" "$work/content.eml" \
  || fail "the verified content is not what was signed"
openssl smime -verify -in "$work/out/provider-$n.eml" -CAfile "$work/cert.pem" -out "$work/verified.eml" \
  2>"$work/verify.err" || fail "the signed message as the provider writes it does not verify: $(cat "$work/verify.err")"
cmp -s "$work/verified.eml" <(tr -d '\r' < "$work/content.eml") || cmp -s "$work/verified.eml" "$work/content.eml" \
  || fail "the content verified from the provider's text is not what was signed"
echo "ok: $n messages given back as delivered, by the natives' MIME form and by the provider; the signed one verifies from both"
