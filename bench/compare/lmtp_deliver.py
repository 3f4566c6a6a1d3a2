#!/usr/bin/env python3
"""Delivers corpus files to a Dovecot user over LMTP, in file order, in one session.

    lmtp_deliver.py SOCKET USER CORPUS_DIR FIRST LAST

Files FIRST to LAST (NNNNNN.eml, 1-based) go to USER through the LMTP socket SOCKET (a
path). Prints "LMTP messages=N elapsed_ms=T"; exits 1 when a message is refused.
"""
import os
import smtplib
import sys
import time


def main():
    socket_path, user, corpus, first, last = sys.argv[1:6]
    first, last = int(first), int(last)
    start = time.monotonic()
    lmtp = smtplib.LMTP(socket_path)
    lmtp.ehlo_or_helo_if_needed()
    for n in range(first, last + 1):
        with open(os.path.join(corpus, "%06d.eml" % n), "rb") as f:
            data = f.read()
        try:
            lmtp.sendmail("sender@example.org", [user], data)
        except smtplib.SMTPException as e:
            sys.exit("lmtp: message %d refused: %s" % (n, e))
    lmtp.quit()
    elapsed = time.monotonic() - start
    print("LMTP messages=%d elapsed_ms=%.1f" % (last - first + 1, elapsed * 1000))


if __name__ == "__main__":
    main()
