#!/usr/bin/env python3
"""tolvane-mapi lmtp: the protocol, delivery into each recipient's store,
limits, duplicates, store faults and signals.

    lmtp_test.py TOOL SCRATCH_DIR

Each server is started in a folder of its own on a Unix socket and stopped
by its process id; the folder is removed at the end.
"""
import os
import shutil
import signal
import smtplib
import socket
import stat
import subprocess
import sys
import tempfile
import time

TOOL = sys.argv[1]
os.makedirs(sys.argv[2], exist_ok=True)
WORK = tempfile.mkdtemp(prefix="lmtp-", dir=os.path.abspath(sys.argv[2]))
HOME = os.path.join(WORK, "home")
ENV = dict(os.environ, TOLVANE_MAPI_HOME=HOME, TMPDIR=WORK)
failures = []
servers = []


def check(what, ok, detail=""):
    if ok:
        print("ok: " + what)
    else:
        print("FAIL: %s %s" % (what, detail))
        failures.append(what)


def tool(*args, env=ENV):
    return subprocess.run([TOOL] + list(args), env=env, capture_output=True, text=True)


def listing(profile):
    r = tool("list", profile)
    return r.stdout


def start(name, *extra, env=ENV):
    sock = os.path.join(WORK, name + ".sock")
    log = open(os.path.join(WORK, name + ".log"), "w")
    p = subprocess.Popen([TOOL, "lmtp", "--listen", "unix:" + sock] + list(extra), env=env,
                         stdout=log, stderr=log)
    servers.append(p)
    # Ready once a client can connect (a socket left behind refuses).
    for _ in range(200):
        if p.poll() is not None:
            break
        probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            probe.connect(sock)
            probe.close()
            break
        except OSError:
            probe.close()
            time.sleep(0.05)
    return p, sock


def stop(p):
    if p.poll() is None:
        p.send_signal(signal.SIGTERM)
    try:
        return p.wait(10)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
        return None


class Client:
    """A raw LMTP client: sends bytes as given, reads replies one by one."""

    def __init__(self, sock):
        self.s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.s.settimeout(10)
        self.s.connect(sock)
        self.buf = b""

    def line(self):
        while b"\r\n" not in self.buf:
            chunk = self.s.recv(65536)
            if not chunk:
                raise EOFError("connection closed")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line.decode("utf-8", "replace")

    def reply(self):
        """One reply (all its lines); the last line."""
        while True:
            line = self.line()
            if len(line) < 4 or line[3] != "-":
                return line

    def send(self, data):
        self.s.sendall(data if isinstance(data, bytes) else data.encode())

    def cmd(self, text):
        self.send(text + "\r\n")
        return self.reply()

    def closed(self):
        try:
            return self.s.recv(1) == b""
        except (ConnectionResetError, socket.timeout):
            return False

    def close(self):
        self.s.close()


def message(subject, body="Hello.\r\n", msgid=None):
    head = "From: Sender <sender@example.net>\r\nTo: alice@example.org\r\nSubject: %s\r\n" % subject
    if msgid:
        head += "Message-ID: <%s>\r\n" % msgid
    return head + "\r\n" + body


def stuffed(text):
    return "".join(("." + l if l.startswith(".") else l) for l in text.splitlines(True))


def transaction(c, recipients, text, sender="sender@example.net"):
    """MAIL, RCPTs, DATA, the message: (RCPT replies, replies after DATA)."""
    assert c.cmd("MAIL FROM:<%s>" % sender).startswith("250")
    rcpt = [c.cmd("RCPT TO:<%s>" % r) for r in recipients]
    accepted = sum(1 for r in rcpt if r.startswith("250"))
    d = c.cmd("DATA")
    if not d.startswith("354"):
        return rcpt, [d]
    c.send(stuffed(text) + ".\r\n")
    return rcpt, [c.reply() for _ in range(accepted)]


def count(profile, subject):
    return sum(1 for l in listing(profile).splitlines() if ("\t" + subject + "\t") in l)


try:
    for name, addr in (("alice", "alice@example.org"), ("bob", "Bob@Example.org"), ("carol", "carol@example.org")):
        r = tool("profile", "create", name, "--address", addr)
        assert r.returncode == 0, r.stderr

    r = tool("lmtp")
    check("no --listen: usage, exit 64", r.returncode == 64 and "--listen" in r.stderr, r)
    r = tool("lmtp", "--listen", "tcp:1")
    check("a listen address of neither form: exit 71", r.returncode == 71 and "neither" in r.stderr, r)
    plain = os.path.join(WORK, "plain-file")
    with open(plain, "w") as f:
        f.write("keep me")
    r = tool("lmtp", "--listen", "unix:" + plain)
    check("a file that is not a socket is not replaced: exit 71",
          r.returncode == 71 and open(plain).read() == "keep me", r)
    r = tool("lmtp", "--listen", "unix:" + os.path.join(WORK, "g.sock"), "--socket-group", "no-such-group-here")
    check("an unknown --socket-group: exit 71", r.returncode == 71 and "no group" in r.stderr, r)
    # A socket left behind by an earlier server is replaced.
    stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    stale.bind(os.path.join(WORK, "main.sock"))
    stale.close()
    os.chmod(HOME, 0o777)
    r = tool("lmtp", "--listen", "unix:" + os.path.join(WORK, "unsafe.sock"))
    check("a home others can write: exit 78", r.returncode == 78 and "other users" in r.stderr, r)
    os.chmod(HOME, 0o700)

    # The store checks between commands run the command line tool, which takes seconds
    # under the sanitizers: the clients here are not silent that long. The drop of a silent
    # client is tried on a server of its own below.
    server, sock = start("main", "--timeout", "60", "--max-size", "100000", "--max-connections", "4",
                         "--max-header-size", "4096")
    check("the socket is there", os.path.exists(sock))
    check("the socket is owner-only", stat.S_IMODE(os.stat(sock).st_mode) == 0o600,
          oct(stat.S_IMODE(os.stat(sock).st_mode)))

    # LHLO through Python's own LMTP client.
    lm = smtplib.LMTP(sock)
    code, _ = lm.ehlo("client.example.net")
    check("LHLO answered 250", code == 250, code)
    for ext in ("pipelining", "enhancedstatuscodes", "8bitmime"):
        check("LHLO offers " + ext, lm.has_extn(ext))
    check("LHLO offers SIZE 100000", lm.esmtp_features.get("size") == "100000", lm.esmtp_features)
    lm.quit()

    # Two known recipients and one unknown; one reply per known one.
    c = Client(sock)
    c.reply()
    check("HELO refused", c.cmd("HELO x").startswith("500 5.5.2"))
    check("EHLO refused", c.cmd("EHLO x").startswith("500 5.5.2"))
    check("MAIL before LHLO is out of sequence", c.cmd("MAIL FROM:<a@b>").startswith("503 5.5.1"))
    c.cmd("LHLO client.example.net")
    rcpt, after = transaction(c, ["alice@example.org", "nobody@example.org", "BOB@example.ORG"],
                              message("Two of three", ".a line that starts with a dot\r\nbye\r\n"))
    check("RCPT of a profile's address: 250", rcpt[0].startswith("250 2.1.5"), rcpt)
    check("RCPT of an unknown address: 550 5.1.1", rcpt[1].startswith("550 5.1.1"), rcpt)
    check("RCPT in another case: 250", rcpt[2].startswith("250 2.1.5"), rcpt)
    check("one 250 per accepted recipient after DATA",
          len(after) == 2 and all(a.startswith("250 2.0.0") for a in after), after)
    check("alice's store holds it", count("alice", "Two of three") == 1, listing("alice"))
    check("bob's store holds it", count("bob", "Two of three") == 1, listing("bob"))
    check("carol's store does not", count("carol", "Two of three") == 0, listing("carol"))
    check("NOOP", c.cmd("NOOP").startswith("250"))
    check("RCPT without MAIL: 503 5.5.1", c.cmd("RCPT TO:<alice@example.org>").startswith("503 5.5.1"))
    check("DATA without MAIL: 503 5.5.1", c.cmd("DATA").startswith("503 5.5.1"))
    check("malformed MAIL: 501 5.5.4", c.cmd("MAIL FROM:alice").startswith("501 5.5.4"))
    check("unknown command: 500 5.5.2", c.cmd("FROB x").startswith("500 5.5.2"))
    check("a line of 1200 bytes: 500 5.5.2", c.cmd("NOOP " + "x" * 1200).startswith("500 5.5.2"))
    check("a line of 1000 bytes with CRLF: served", c.cmd("NOOP " + "x" * 993).startswith("250"))
    check("a line of 1001 bytes: 500 5.5.2", c.cmd("NOOP " + "x" * 994).startswith("500 5.5.2"))
    check("the connection still serves", c.cmd("NOOP").startswith("250"))
    c.cmd("MAIL FROM:<a@b>")
    check("DATA without recipients: 503", c.cmd("DATA").startswith("503 5.5.1"))
    check("RSET", c.cmd("RSET").startswith("250"))
    check("SIZE beyond the limit at MAIL: 552 5.3.4", c.cmd("MAIL FROM:<a@b> SIZE=200000").startswith("552 5.3.4"))
    rcpt, after = transaction(c, ["alice@example.org"], message("Too big", "x" * 70 + "\r\n") * 1 +
                              ("y" * 70 + "\r\n") * 2000)
    check("a message beyond the limit: 552 5.3.4", after and after[0].startswith("552 5.3.4"), after)
    check("...and nothing stored", count("alice", "Too big") == 0)
    rcpt, after = transaction(c, ["alice@example.org"],
                              "X-Filler: " + "z" * 900 + "\r\n" * 1 + ("X-More: " + "z" * 900 + "\r\n") * 5 +
                              message("Big header"))
    check("a header block beyond the limit: 552 5.3.4", after and after[0].startswith("552 5.3.4"), after)
    check("...and nothing stored", count("alice", "Big header") == 0)
    rcpt, after = transaction(c, ["alice@example.org"], "")
    check("an empty message: 554 5.6.0", after and after[0].startswith("554 5.6.0"), after)
    check("QUIT", c.cmd("QUIT").startswith("221"))
    c.close()

    # Dot-unstuffing: the stored body has one dot.
    import sqlite3
    db = sqlite3.connect("file:%s?mode=ro" % os.path.join(HOME, "stores", "alice.db"), uri=True)
    bodies = [bytes(v) if isinstance(v, (bytes, memoryview)) else str(v).encode()
              for (v,) in db.execute("SELECT value FROM props WHERE prop_id = 4096")]
    db.close()
    check("the body is dot-unstuffed",
          any(b.startswith(b".a line that starts with a dot\r\n") for b in bodies) and
          not any(b"..a line" in b for b in bodies), bodies[:3])

    # Pipelining: the commands up to DATA in one write, the replies in order.
    c = Client(sock)
    c.reply()
    c.send("LHLO p\r\nMAIL FROM:<s@example.net>\r\nRCPT TO:<alice@example.org>\r\n"
           "RCPT TO:<ghost@example.org>\r\nRCPT TO:<carol@example.org>\r\nDATA\r\n")
    got = [c.reply() for _ in range(6)]
    check("pipelined replies in order",
          [g[:3] for g in got] == ["250", "250", "250", "550", "250", "354"], got)
    c.send(stuffed(message("Pipelined")) + ".\r\nNOOP\r\nQUIT\r\n")
    got = [c.reply() for _ in range(4)]
    check("pipelined: two deliveries, NOOP, QUIT",
          [g[:3] for g in got] == ["250", "250", "250", "221"], got)
    c.close()
    check("pipelined message stored for alice and carol",
          count("alice", "Pipelined") == 1 and count("carol", "Pipelined") == 1)

    # Several clients at once, to the same and to different profiles.
    import threading
    results = []

    def sender(n):
        c = Client(sock)
        c.reply()
        c.cmd("LHLO t%d" % n)
        for k in range(5):
            _, after = transaction(c, ["alice@example.org", "bob@example.org"],
                                   message("Parallel %d-%d" % (n, k), msgid="p%d-%d@example.net" % (n, k)))
            results.extend(after)
        c.cmd("QUIT")
        c.close()

    threads = [threading.Thread(target=sender, args=(n,)) for n in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    check("parallel clients: 30 replies of 250", len(results) == 30 and all(r.startswith("250") for r in results),
          results)
    check("parallel clients: 15 messages in each store",
          all(sum(count(p, "Parallel %d-%d" % (n, k)) for n in range(3) for k in range(5)) == 15
              for p in ("alice", "bob")))
    time.sleep(0.3)

    # A client that goes away in the middle of DATA stores nothing.
    c = Client(sock)
    c.reply()
    c.cmd("LHLO x")
    c.cmd("MAIL FROM:<s@example.net>")
    c.cmd("RCPT TO:<alice@example.org>")
    c.cmd("DATA")
    c.send(message("Half a message", "part one\r\n"))
    c.close()
    time.sleep(0.5)
    check("a message cut short is not stored", count("alice", "Half a message") == 0)

    # A retry of the same message after a lost reply is not stored twice;
    # the same Message-ID with other content is another message.
    for attempt in range(2):
        c = Client(sock)
        c.reply()
        c.cmd("LHLO x")
        _, after = transaction(c, ["alice@example.org"], message("Retried", "same\r\n", "r1@example.net"))
        check("retry %d answered 250" % attempt, after and after[0].startswith("250"), after)
        c.close()
    check("the retried message is stored once", count("alice", "Retried") == 1, listing("alice"))
    c = Client(sock)
    c.reply()
    c.cmd("LHLO x")
    _, after = transaction(c, ["alice@example.org"], message("Retried", "other\r\n", "r1@example.net"))
    c.close()
    check("same Message-ID, other content: stored", count("alice", "Retried") == 2, listing("alice"))

    # A silent client is dropped after --timeout.
    quiet, quiet_sock = start("quiet", "--timeout", "2")
    c = Client(quiet_sock)
    c.reply()
    c.cmd("LHLO x")
    c.cmd("MAIL FROM:<s@example.net>")
    start_t = time.time()
    c.s.settimeout(6)
    check("a silent client is dropped", c.closed() and time.time() - start_t < 5)
    c.close()
    stop(quiet)

    # At most --max-connections clients.
    held = []
    for _ in range(4):
        h = Client(sock)
        h.reply()
        held.append(h)
    extra = Client(sock)
    check("one client too many: 421 4.3.2", extra.reply().startswith("421 4.3.2"))
    extra.close()
    for h in held:
        h.close()
    time.sleep(0.3)

    # SIGHUP reads the profile list again.
    tool("profile", "create", "dave", "--address", "dave@example.org")
    c = Client(sock)
    c.reply()
    c.cmd("LHLO x")
    c.cmd("MAIL FROM:<s@example.net>")
    check("a new profile is unknown before SIGHUP", c.cmd("RCPT TO:<dave@example.org>").startswith("550"))
    c.close()
    server.send_signal(signal.SIGHUP)
    time.sleep(0.5)
    c = Client(sock)
    c.reply()
    c.cmd("LHLO x")
    c.cmd("MAIL FROM:<s@example.net>")
    check("and known after it", c.cmd("RCPT TO:<dave@example.org>").startswith("250"))
    c.close()

    # SIGTERM: the transaction in flight finishes, an idle client hears
    # 421, the server exits 0 and removes its socket.
    idle = Client(sock)
    idle.reply()
    idle.cmd("LHLO x")
    busy = Client(sock)
    busy.reply()
    busy.cmd("LHLO x")
    busy.cmd("MAIL FROM:<s@example.net>")
    busy.cmd("RCPT TO:<bob@example.org>")
    busy.cmd("DATA")
    busy.send(message("In flight"))
    server.send_signal(signal.SIGTERM)
    time.sleep(0.5)
    check("an idle client hears 421 at SIGTERM", idle.reply().startswith("421 4.3.2"))
    busy.send(".\r\n")
    check("the transaction in flight is delivered", busy.reply().startswith("250"))
    check("and then 421", busy.reply().startswith("421"))
    rc = stop(server)
    check("SIGTERM: exit 0", rc == 0, rc)
    check("the socket is removed", not os.path.exists(sock))
    check("the message in flight is stored", count("bob", "In flight") == 1)

    # A group may reach the socket; inet listeners.
    server, sock = start("group", "--socket-group", "nogroup")
    st = os.stat(sock)
    import grp
    check("--socket-group: mode 0660", stat.S_IMODE(st.st_mode) == 0o660, oct(stat.S_IMODE(st.st_mode)))
    check("--socket-group: the group's", st.st_gid == grp.getgrnam("nogroup").gr_gid, st.st_gid)
    check("group server: exit 0", stop(server) == 0)
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    server, sock = start("inet", "--listen", "inet:127.0.0.1:%d" % port)
    lm = None
    for _ in range(100):
        try:
            lm = smtplib.LMTP("127.0.0.1", port)
            break
        except OSError:
            time.sleep(0.05)
    lm.ehlo("client.example.net")
    # Python's client reads one reply after DATA: one recipient.
    refused = lm.sendmail("s@example.net", ["carol@example.org"], message("Over TCP").encode())
    check("inet: delivered", refused == {} and count("carol", "Over TCP") == 1, refused)
    lm.quit()
    # Another server process: the retry is still known (lmtp-delivered).
    c = Client(sock)
    c.reply()
    c.cmd("LHLO x")
    _, after = transaction(c, ["alice@example.org"], message("Retried", "same\r\n", "r1@example.net"))
    c.close()
    check("a retry after a restart: 250", after and after[0].startswith("250"), after)
    check("...not stored again", count("alice", "Retried") == 2, listing("alice"))
    journal = os.path.join(HOME, "lmtp-delivered")
    check("the deliveries file is owner-only", stat.S_IMODE(os.stat(journal).st_mode) == 0o600)
    check("inet server: exit 0", stop(server) == 0)

    # A store that fails (the fault plan of the subsystem: the second save
    # of the process fails) gives 451 for that recipient only.
    fenv = dict(ENV, TOLVANE_MAPI_FAULTS="IMessage::SaveChanges#2=0x80004005")
    server, sock = start("faults", env=fenv)
    c = Client(sock)
    c.reply()
    c.cmd("LHLO x")
    _, after = transaction(c, ["alice@example.org", "bob@example.org"], message("Fault"))
    check("first recipient 250", len(after) == 2 and after[0].startswith("250 2.0.0"), after)
    check("second recipient 451 4.3.0", len(after) == 2 and after[1].startswith("451 4.3.0"), after)
    check("stored for alice", count("alice", "Fault") == 1)
    check("nothing stored for bob", count("bob", "Fault") == 0, listing("bob"))
    _, after = transaction(c, ["bob@example.org"], message("Fault"))
    check("bob's retry is stored", after and after[0].startswith("250") and count("bob", "Fault") == 1, after)
    c.cmd("QUIT")
    c.close()
    check("fault server: exit 0", stop(server) == 0)

    # A store file that is not a database: 451 for that profile, 250 for
    # the other.
    server, sock = start("broken")
    with open(os.path.join(HOME, "stores", "carol.db"), "wb") as f:
        f.write(b"this is not a database" * 100)
    for suffix in ("-wal", "-shm"):
        try:
            os.unlink(os.path.join(HOME, "stores", "carol.db" + suffix))
        except FileNotFoundError:
            pass
    c = Client(sock)
    c.reply()
    c.cmd("LHLO x")
    _, after = transaction(c, ["carol@example.org", "alice@example.org"], message("Broken store"))
    check("a broken store: 451 for it", len(after) == 2 and after[0].startswith("451 4.3.0"), after)
    check("the other recipient: 250", len(after) == 2 and after[1].startswith("250"), after)
    c.close()
    check("broken server: exit 0", stop(server) == 0)
finally:
    for p in servers:
        if p.poll() is None:
            p.kill()
            p.wait()
    if failures:
        for name in os.listdir(WORK):
            if name.endswith(".log"):
                print("--- " + name)
                print(open(os.path.join(WORK, name)).read())
    shutil.rmtree(WORK, ignore_errors=True)

print("%d failures" % len(failures))
sys.exit(1 if failures else 0)
