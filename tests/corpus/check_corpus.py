#!/usr/bin/env python3
"""Compares a walk of delivered corpus mail through the natives with the corpus itself.

    check_corpus.py CORPUS_DIR WALK_JSONL

CORPUS_DIR holds NNNNNN.eml files and manifest.tsv (bench/corpus/gen_corpus.py); the
messages were delivered in file order, so message N of the walk is the Nth file. Each
file is decoded here with Python's email package, independently of the library, and
every subject, sender, To and Cc address (name and address), priority, body text and
attachment (name and SHA-256 of its bytes) must match; the manifest's counts of To and
Cc recipients, text and HTML bodies and attachments too (an attached message is one
.msg attachment: its inner parts are not counted). Prints every difference and a
summary; exits 1 if there was any.
"""

import base64
import csv
import email
import email.policy
import email.utils
import hashlib
import json
import os
import re
import sys

failures = []


def fail(name, text):
    failures.append(name)
    if len(failures) <= 50:
        print("FAIL %s: %s" % (name, text))


def norm(text):
    return (text or "").replace("\r\n", "\n")


def expected_priority(msg):
    m = re.match(r"\s*(\d)", msg.get("x-priority", ""))
    if m:
        level = int(m.group(1))
        return "1" if level < 3 else "5" if level > 3 else "3"
    return "3"


ENCODED_WORD = re.compile(r"=\?([^?\s]+)\?([QqBb])\?([^?\s]*)\?=")


def decode_words(text):
    """RFC 2047 text as RFC 2047 section 6.2 reads it: the whitespace between two
    adjacent encoded words is dropped, and the bytes of adjacent words are joined before
    they are decoded (a character may be split across two words). Python's own header
    parser keeps a blank between the words of a display name, which the RFC forbids."""
    out = []
    pos = 0
    pending = b""
    pending_charset = None

    def flush():
        nonlocal pending, pending_charset
        if pending_charset is not None:
            out.append(pending.decode(pending_charset, "replace"))
        pending, pending_charset = b"", None

    for m in ENCODED_WORD.finditer(text):
        between = text[pos:m.start()]
        if between.strip() or pending_charset is None:
            flush()
            out.append(between)
        charset, enc, data = m.group(1).split("*")[0].lower(), m.group(2).upper(), m.group(3)
        if enc == "Q":
            raw = re.sub(rb"=([0-9A-Fa-f]{2})", lambda x: bytes([int(x.group(1), 16)]),
                         data.replace("_", " ").encode("ascii"))
        else:
            raw = base64.b64decode(data + "=" * (-len(data) % 4))
        if pending_charset is not None and pending_charset != charset:
            flush()
        pending_charset = charset
        pending += raw
        pos = m.end()
    flush()
    out.append(text[pos:])
    return "".join(out)


def raw_headers(path, field):
    with open(path, "rb") as f:
        compat = email.message_from_binary_file(f, policy=email.policy.compat32)
    return [str(v) for v in compat.get_all(field, [])]


def addresses(raw_values):
    out = []
    for name, addr in email.utils.getaddresses([re.sub(r"\r?\n[ \t]", " ", v) for v in raw_values]):
        out.append((decode_words(name), addr.lower()))
    return out


def walked_addresses(values):
    out = []
    for value in values:
        name, addr = email.utils.parseaddr(value)
        out.append((name, addr.lower()))
    return out


def leaves(part):
    if part.get_content_type() == "message/rfc822":
        yield part
    elif part.is_multipart():
        for sub in part.get_payload():
            yield from leaves(sub)
    else:
        yield part


def main():
    corpus, walk_path = sys.argv[1], sys.argv[2]
    with open(os.path.join(corpus, "manifest.tsv"), newline="") as f:
        manifest = list(csv.DictReader(f, delimiter="\t"))
    with open(walk_path, encoding="utf-8") as f:
        walked = [json.loads(line) for line in f if line.strip()]
    if len(walked) != len(manifest):
        fail("walk", "%d messages walked, %d in the corpus" % (len(walked), len(manifest)))
    checked = 0
    for row, got in zip(manifest, walked):
        name = row["file"]
        with open(os.path.join(corpus, name), "rb") as f:
            msg = email.message_from_binary_file(f, policy=email.policy.default)
        path = os.path.join(corpus, name)
        subject = decode_words(re.sub(r"\r?\n[ \t]", " ", "".join(raw_headers(path, "subject"))))
        if got["subject"] != subject:
            fail(name, "subject %r, expected %r" % (got["subject"], subject))
        if walked_addresses(got["from"]) != addresses(raw_headers(path, "from")):
            fail(name, "From %r, expected %r" % (got["from"], addresses(raw_headers(path, "from"))))
        for field, key in (("to", "to"), ("cc", "cc")):
            want = addresses(raw_headers(path, field))
            have = walked_addresses(got[key])
            if have != want:
                fail(name, "%s %r, expected %r" % (field, have, want))
            if len(have) != int(row[field]):
                fail(name, "%d %s recipients, the manifest says %s" % (len(have), field, row[field]))
        if got["priority"] != expected_priority(msg):
            fail(name, "priority %s, expected %s" % (got["priority"], expected_priority(msg)))

        texts, htmls, attachments = [], [], []
        for leaf in leaves(msg):
            ctype = leaf.get_content_type()
            filename = leaf.get_filename()
            if ctype == "message/rfc822":
                attachments.append((None, None))
            elif filename or leaf.get_content_disposition() == "attachment":
                attachments.append((filename, hashlib.sha256(leaf.get_payload(decode=True) or b"").hexdigest()))
            elif ctype == "text/plain":
                texts.append(leaf.get_content())
            elif ctype == "text/html":
                htmls.append(leaf.get_content())
        if texts and norm(got["text"]) != norm(texts[0]):
            fail(name, "plain body differs (%d characters walked, %d expected)" % (len(got["text"] or ""), len(texts[0])))
        if htmls and norm(got["html"]) != norm(htmls[0]):
            fail(name, "HTML body differs (%d characters walked, %d expected)" % (len(got["html"] or ""), len(htmls[0])))
        if row["kind"] != "rfc822":
            if len(texts) != int(row["text"]) or len(htmls) != int(row["html"]):
                fail(name, "the corpus file has other bodies than its manifest row")
            if len(attachments) != int(row["attachments"]):
                fail(name, "the corpus file has other attachments than its manifest row")
        parts = got["parts"]
        if len(parts) != len(attachments):
            fail(name, "%d attachment parts walked, expected %d" % (len(parts), len(attachments)))
        for part, (fname, digest) in zip(parts, attachments):
            if fname is None:
                if not part["name"].endswith(".msg"):
                    fail(name, "an attached message walked as %r" % part["name"])
                continue
            if part["name"] != fname:
                fail(name, "attachment named %r, expected %r" % (part["name"], fname))
            if part["sha256"] != digest:
                fail(name, "attachment %r differs (%d bytes walked)" % (fname, part["size"]))
        checked += 1
    print("checked %d messages: %d with differences" % (checked, len(set(failures))))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
