#!/usr/bin/env python3
"""Delivers corpus files over LMTP on several connections at once.

    lmtp_load.py SOCKET RECIPIENT CORPUS_DIR FIRST LAST CONNECTIONS

Files FIRST to LAST (NNNNNN.eml, 1-based) go to RECIPIENT through the LMTP socket SOCKET
(a path), shared out among CONNECTIONS sessions that run at once, each in a process of
its own sending its files one after the other. The messages are read and prepared (CRLF
line ends, dots doubled) before the clock starts, so that the client's own work counts
as little as it can. Prints "LMTP messages=N connections=C elapsed_ms=T p50_ms=A
p99_ms=B", the latencies taken from the end of DATA to the server's reply; exits 1 when a
message is refused.
"""
import multiprocessing
import os
import re
import socket
import sys
import time


def prepared(path):
    with open(path, "rb") as f:
        data = f.read()
    data = re.sub(rb"(?m)^\.", b"..", re.sub(rb"\r?\n", b"\r\n", data))
    if not data.endswith(b"\r\n"):
        data += b"\r\n"
    return data


class Session:
    def __init__(self, path):
        self.s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.s.connect(path)
        self.buf = b""

    def reply(self):
        """One reply (its last line's code and the text)."""
        while True:
            while b"\r\n" not in self.buf:
                chunk = self.s.recv(65536)
                if not chunk:
                    raise ConnectionError("the server closed the connection")
                self.buf += chunk
            line, self.buf = self.buf.split(b"\r\n", 1)
            if len(line) < 4 or line[3:4] != b"-":
                return int(line[:3]), line

    def cmd(self, text):
        self.s.sendall(text + b"\r\n")
        return self.reply()


def session(path, rcpt, payloads, start_at, out):
    latencies, failures = [], []
    s = Session(path)
    s.reply()
    s.cmd(b"LHLO load.example.org")
    while time.monotonic() < start_at:
        time.sleep(0.001)
    for data in payloads:
        # MAIL, RCPT and DATA in one write, as a client that pipelines sends them.
        s.s.sendall(b"MAIL FROM:<sender@example.org>\r\nRCPT TO:<" + rcpt + b">\r\nDATA\r\n")
        codes = [s.reply()[0] for _ in range(3)]
        if codes != [250, 250, 354]:
            failures.append(codes)
            s.cmd(b"RSET")
            continue
        s.s.sendall(data)
        t = time.monotonic()
        s.s.sendall(b".\r\n")
        code, text = s.reply()
        latencies.append(time.monotonic() - t)
        if code != 250:
            failures.append(text.decode(errors="replace"))
    s.cmd(b"QUIT")
    out.send((latencies, failures))


def main():
    socket_path, rcpt, corpus, first, last, connections = sys.argv[1:7]
    first, last, connections = int(first), int(last), int(connections)
    payloads = [prepared(os.path.join(corpus, "%06d.eml" % n)) for n in range(first, last + 1)]
    shares = [payloads[k::connections] for k in range(connections)]
    start_at = time.monotonic() + 0.5
    pipes, procs = [], []
    ctx = multiprocessing.get_context("fork")
    for share in shares:
        if not share:
            continue
        mine, theirs = ctx.Pipe(False)
        p = ctx.Process(target=session, args=(socket_path, rcpt.encode(), share, start_at, theirs))
        p.start()
        pipes.append(mine)
        procs.append(p)
    latencies, failures = [], []
    for pipe in pipes:
        lat, fail = pipe.recv()
        latencies += lat
        failures += fail
    end = time.monotonic()
    for p in procs:
        p.join()
    if failures:
        sys.exit("lmtp: %d messages refused, the first: %r" % (len(failures), failures[0]))
    latencies.sort()
    p50 = latencies[len(latencies) // 2] if latencies else 0
    p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))] if latencies else 0
    print("LMTP messages=%d connections=%d elapsed_ms=%.1f p50_ms=%.2f p99_ms=%.2f"
          % (len(payloads), connections, (end - start_at) * 1000, p50 * 1000, p99 * 1000))


if __name__ == "__main__":
    main()
