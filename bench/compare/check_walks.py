#!/usr/bin/env python3
"""Checks the counts of one round of walks against the corpus's manifest and each other.

    check_walks.py MANIFEST_TSV COUNT WALK=RECORDS...
    check_walks.py --any-order MANIFEST_TSV COUNT natives=RECORDS

WALK is files, imap, natives or provider; RECORDS the walk's rows (WalkTally: n, bodies, body
characters, attachments, their bytes, To, Cc, priority). The first COUNT rows of the
manifest (gen_corpus.py) say what each message holds.

- files and imap (JavaMail, containers walked into) must find exactly the manifest's
  bodies (text and HTML) and their characters, attachments, attachment bytes, To and Cc
  of every message, and
  X-Priority where the manifest has one; and the two must agree row for row, body
  characters included.
- natives: the MAPI model differs by design for an attached message, which is one .msg
  attachment whose inner bodies and attachments are not parts: there, one body (the
  note) and one attachment. Every other message must match the manifest as above; the
  priority must be X-Priority's three-level reading (1 and 2 high, 4 and 5 low, else
  normal), and To and Cc must match everywhere.
- provider (JavaMail through the library's provider on the same store): attached
  messages are message/rfc822 parts whose content is a message, walked into as the
  JavaMail walks do, so every message must match the manifest as files does, body
  characters and X-Priority (the header as it arrived) included. It must agree with files
  row for row, and with natives wherever the models agree: every field but the priority
  of every message without an attached message, To and Cc of every message, and the
  natives' priority is the three-level reading of the provider's.

Prints one line per walk, "CHECK WALK ok" or "CHECK WALK FAILURE: ..." with the first
differences, and exits 1 when any walk failed.
"""
import csv
import sys


def read_rows(path, count):
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    return rows


def any_order(manifest, path):
    """A store filled over several connections at once holds the corpus in another order:
    the natives' rows must match the manifest's as multisets of (bodies, attachments, To,
    Cc), attached messages counted as the natives see them."""
    rows = read_rows(path, len(manifest))
    expected = sorted((1 if m["kind"] == "rfc822" else int(m["text"]) + int(m["html"]),
                       1 if m["kind"] == "rfc822" else int(m["attachments"]), int(m["to"]), int(m["cc"]))
                      for m in manifest)
    got = sorted((int(r["bodies"]), int(r["attachments"]), int(r["to"]), int(r["cc"])) for r in rows)
    problems = [] if expected == got else ["the messages differ from the corpus's (in any order)"]
    report("natives", problems)
    return 1 if problems else 0


def main():
    if sys.argv[1] == "--any-order":
        manifest = read_rows(sys.argv[2], int(sys.argv[3]))[:int(sys.argv[3])]
        return any_order(manifest, sys.argv[4].split("=", 1)[1])
    manifest_path, count = sys.argv[1], int(sys.argv[2])
    walks = dict(a.split("=", 1) for a in sys.argv[3:])
    manifest = read_rows(manifest_path, count)[:count]
    if len(manifest) < count:
        print("CHECK manifest FAILURE: %d rows, %d wanted" % (len(manifest), count))
        return 1
    records = {}
    failed = False
    for walk, path in walks.items():
        try:
            rows = read_rows(path, count)
        except OSError as e:
            print("CHECK %s FAILURE: no records (%s)" % (walk, e))
            failed = True
            continue
        records[walk] = rows
        problems = []
        if len(rows) != count:
            problems.append("%d messages walked, %d in the corpus" % (len(rows), count))
        for m, r in zip(manifest, rows):
            n = r["n"]
            expect = {
                "bodies": int(m["text"]) + int(m["html"]),
                "attachments": int(m["attachments"]),
                "attachment_bytes": int(m["attachment_bytes"]),
                "to": int(m["to"]),
                "cc": int(m["cc"]),
            }
            if walk != "natives":
                expect["body_chars"] = int(m["body_chars"])
            if walk == "natives" and m["kind"] == "rfc822":
                expect["bodies"] = 1
                expect["attachments"] = 1
                del expect["attachment_bytes"]
                if int(r["attachment_bytes"]) <= 0:
                    problems.append("message %s: the attached message has no bytes" % n)
            for key, value in expect.items():
                if int(r[key]) != value:
                    problems.append("message %s (%s): %s %s, manifest %d" % (n, m["file"], key, r[key], value))
            prio = int(r["priority"])
            if walk == "natives":
                if prio not in (1, 3, 5):
                    problems.append("message %s: priority %d" % (n, prio))
            elif (prio != 0) != (m["x_priority"] == "1"):
                problems.append("message %s: priority %d, X-Priority in the manifest: %s" % (n, prio, m["x_priority"]))
        report(walk, problems)
        failed = failed or bool(problems)

    # The walks against each other: files and imap row for row; natives against files.
    if "files" in records and "imap" in records:
        problems = [
            "message %s: files %s, imap %s" % (a["n"], dict(a), dict(b))
            for a, b in zip(records["files"], records["imap"]) if a != b
        ]
        report("files=imap", problems)
        failed = failed or bool(problems)
    if "files" in records and "natives" in records:
        problems = []
        for m, a, b in zip(manifest, records["files"], records["natives"]):
            keys = ["to", "cc"]
            if m["kind"] != "rfc822":
                keys += ["bodies", "attachments", "attachment_bytes"]
            for key in keys:
                if a[key] != b[key]:
                    problems.append("message %s: %s files %s, natives %s" % (a["n"], key, a[key], b[key]))
            level = int(a["priority"])
            if int(b["priority"]) != three_levels(level):
                problems.append("message %s: priority files %d, natives %s" % (a["n"], level, b["priority"]))
        report("files=natives", problems)
        failed = failed or bool(problems)
    if "files" in records and "provider" in records:
        problems = []
        for a, b in zip(records["files"], records["provider"]):
            for key in a:
                if a[key] != b[key]:
                    problems.append("message %s: %s files %s, provider %s" % (a["n"], key, a[key], b[key]))
        report("files=provider", problems)
        failed = failed or bool(problems)
    if "natives" in records and "provider" in records:
        problems = []
        for m, a, b in zip(manifest, records["natives"], records["provider"]):
            keys = list(a) if m["kind"] != "rfc822" else ["n", "to", "cc"]
            for key in keys:
                if key != "priority" and a[key] != b[key]:
                    problems.append("message %s: %s natives %s, provider %s" % (a["n"], key, a[key], b[key]))
            if int(a["priority"]) != three_levels(int(b["priority"])):
                problems.append("message %s: priority natives %s, provider %s" % (a["n"], a["priority"], b["priority"]))
        report("natives=provider", problems)
        failed = failed or bool(problems)
    return 1 if failed else 0


def three_levels(level):
    """The store's reading of an X-Priority digit: 1 and 2 high, 4 and 5 low, else normal."""
    return 1 if 0 < level < 3 else 5 if level > 3 else 3


def report(walk, problems):
    if problems:
        shown = "; ".join(problems[:5])
        more = " (and %d more)" % (len(problems) - 5) if len(problems) > 5 else ""
        print("CHECK %s FAILURE: %s%s" % (walk, shown, more))
    else:
        print("CHECK %s ok" % walk)


if __name__ == "__main__":
    sys.exit(main())
