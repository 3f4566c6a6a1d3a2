#!/usr/bin/env python3
"""Checks what the reading demo printed and saved against the sample messages.

    check_demo_output.py MAIL_DIR DEMO_STDOUT OUTPUT_DIR

The samples are decoded here with Python's email package, independently of the library:
every sample must be listed (found by its decoded subject) with its sender, recipients,
sent date and priority as its headers give them; every named attachment must be saved
under OUTPUT_DIR/message-N/ with exactly the bytes of its MIME part; every attached
message must be saved there as a .msg file; and every message must be saved whole as
OUTPUT_DIR/message-N.msg. Both kinds of .msg file must be compound files. Prints every
failure and exits 1 if there was any.
"""

import datetime
import email
import email.policy
import email.utils
import os
import re
import sys

COMPOUND_FILE_SIGNATURE = bytes.fromhex("D0CF11E0A1B11AE1")
FILE_NAME_LENGTH = 120  # as the demo cuts attachment names

failures = []


def fail(text):
    failures.append(text)
    print("FAIL: " + text)


def safe_name(file_name, number):
    """The demo's file name for an attachment (Demo.safeName)."""
    name = re.sub(r"[/\\\x00-\x1f\x7f]", "_", file_name or "").strip()
    name = name[:FILE_NAME_LENGTH]
    if name in ("", ".", ".."):
        name = "part-%d" % number
    return name


def leaf_parts(part):
    """The parts that are not containers; an attached message counts as one leaf."""
    if part.get_content_type() == "message/rfc822":
        yield part
    elif part.is_multipart():
        for sub in part.get_payload():
            yield from leaf_parts(sub)
    else:
        yield part


def expected_priority(message):
    """"1", "3" or "5" from X-Priority, else Importance, else Priority."""
    x_priority = re.match(r"\s*(\d)", message.get("x-priority", ""))
    if x_priority:
        level = int(x_priority.group(1))
        return "1" if level < 3 else "5" if level > 3 else "3"
    importance = message.get("importance", "").strip().lower()
    if importance in ("high", "low"):
        return "1" if importance == "high" else "5"
    priority = message.get("priority", "").strip().lower()
    if priority in ("urgent", "non-urgent"):
        return "1" if priority == "urgent" else "5"
    return "3"


def parse_listing(text):
    """Message number -> {field label -> value} from the demo's standard output."""
    messages = {}
    current = None
    for line in text.splitlines():
        start = re.match(r"^Message (\d+)$", line)
        if start:
            current = messages.setdefault(int(start.group(1)), {})
            continue
        field = re.match(r"^  ([A-Z][a-z]+):\s+(.*)$", line)
        if current is not None and field:
            current.setdefault(field.group(1), field.group(2))
    return messages


def is_compound_file(path):
    with open(path, "rb") as f:
        return f.read(len(COMPOUND_FILE_SIGNATURE)) == COMPOUND_FILE_SIGNATURE


def check_sample(path, listing, output_dir):
    sample = os.path.basename(path)
    with open(path, "rb") as f:
        message = email.message_from_binary_file(f, policy=email.policy.default)
    subject = str(message["subject"])
    numbers = [n for n, fields in listing.items() if fields.get("Subject") == subject]
    if len(numbers) != 1:
        fail("%s: expected one listed message with subject %r, found %d" % (sample, subject, len(numbers)))
        return
    number = numbers[0]
    fields = listing[number]
    print("%s: message %d, subject %r" % (sample, number, subject))

    for label in ("From", "To", "Cc", "Sent", "Received", "Priority"):
        value = fields.get(label)
        if value is None or value.startswith("FAILED"):
            fail("%s: %s line missing or failed: %r" % (sample, label, value))
    sender = message["from"].addresses[0].addr_spec
    if sender.lower() not in fields.get("From", "").lower():
        fail("%s: From line %r does not name %s" % (sample, fields.get("From"), sender))
    if message.get_content_type() != "multipart/report":  # a report lists its failed recipients instead
        for header, label in (("to", "To"), ("cc", "Cc")):
            for address in (message[header].addresses if message[header] else ()):
                if address.addr_spec.lower() not in fields.get(label, "").lower():
                    fail("%s: %s line %r does not name %s" % (sample, label, fields.get(label), address.addr_spec))
    sent = email.utils.parsedate_to_datetime(message["date"]).astimezone(datetime.timezone.utc)
    if fields.get("Sent") != sent.strftime("%Y-%m-%d %H:%M:%S UTC"):
        fail("%s: Sent line %r, the Date header says %s" % (sample, fields.get("Sent"), sent))
    priority = expected_priority(message)
    if not fields.get("Priority", "").startswith(priority + " "):
        fail("%s: Priority line %r, expected %s" % (sample, fields.get("Priority"), priority))

    part_dir = os.path.join(output_dir, "message-%d" % number)
    attached_messages = 0
    for index, part in enumerate(leaf_parts(message), 1):
        if part.get_content_type() == "message/rfc822":
            attached_messages += 1
            continue
        file_name = part.get_filename()
        if not file_name:
            continue  # a body text, or a part the store names itself
        saved = os.path.join(part_dir, safe_name(file_name, index))
        expected = part.get_payload(decode=True)
        if not os.path.isfile(saved):
            fail("%s: attachment %r was not saved as %s" % (sample, file_name, saved))
            continue
        with open(saved, "rb") as f:
            actual = f.read()
        if actual != expected:
            fail("%s: %s has %d bytes that differ from the %d bytes of its MIME part"
                 % (sample, saved, len(actual), len(expected)))
        else:
            print("  attachment %r: %d bytes, same as the MIME part" % (file_name, len(actual)))

    saved_messages = []
    if os.path.isdir(part_dir):
        saved_messages = sorted(n for n in os.listdir(part_dir) if n.endswith(".msg"))
    if len(saved_messages) != attached_messages:
        fail("%s: %d attached message(s) in the MIME source, %d .msg file(s) in %s: %s"
             % (sample, attached_messages, len(saved_messages), part_dir, saved_messages))
    for name in saved_messages:
        if is_compound_file(os.path.join(part_dir, name)):
            print("  attached message %r: a compound file" % name)
        else:
            fail("%s: attached message %s is not a compound file" % (sample, os.path.join(part_dir, name)))

    whole = os.path.join(output_dir, "message-%d.msg" % number)
    if not os.path.isfile(whole):
        fail("%s: the message was not saved as %s" % (sample, whole))
    elif not is_compound_file(whole):
        fail("%s: %s is not a compound file" % (sample, whole))
    else:
        print("  %s: a compound file" % os.path.basename(whole))


def main():
    if len(sys.argv) != 4:
        print("usage: check_demo_output.py MAIL_DIR DEMO_STDOUT OUTPUT_DIR", file=sys.stderr)
        return 2
    mail_dir, stdout_path, output_dir = sys.argv[1:]
    with open(stdout_path, encoding="utf-8") as f:
        text = f.read()
    samples = sorted(os.path.join(mail_dir, n) for n in os.listdir(mail_dir) if n.endswith(".eml"))
    if not samples:
        fail("no sample messages in " + mail_dir)

    listing = parse_listing(text)
    count = re.search(r"^Inbox: (\d+) message", text, re.MULTILINE)
    if not count or int(count.group(1)) != len(samples):
        fail("expected 'Inbox: %d message(s)' in the demo's output" % len(samples))
    if len(listing) != len(samples):
        fail("%d message(s) listed for %d sample(s)" % (len(listing), len(samples)))
    if "FAILED" in text:
        fail("the demo reported failed reads")
    if not re.search(r"^Output: " + re.escape(os.path.abspath(output_dir)) + " ", text, re.MULTILINE):
        fail("the demo did not say that its output is in " + output_dir)

    for path in samples:
        check_sample(path, listing, output_dir)

    if failures:
        print("\n%d failure(s); the demo's output was:\n%s" % (len(failures), text))
        return 1
    print("demo output matches the %d sample message(s)" % len(samples))
    return 0


if __name__ == "__main__":
    sys.exit(main())
