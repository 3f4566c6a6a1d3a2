// The sendmail transport against stand-in programs (what it passes, how it
// reads each exit status), the SMTP transport against no server and scripted
// ones (without STARTTLS, offering AUTH in plain text, never finishing a
// reply, a self-signed certificate, a refused AUTH), a second process racing
// for the relay's port, and the spooler's retry pauses.
#include "spool/spooler.h"
#include "spool/transport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <algorithm>
#include <chrono>
#include <sys/wait.h>

#include <openssl/ssl.h>
#include <unistd.h>

namespace {

std::string scratch() {
  const char* base = getenv("TOLVANE_TEST_TMP");
  std::string dir = std::string(base ? base : "/tmp") + "/smtp-transport-" + std::to_string(getpid());
  mkdir(base ? base : "/tmp", 0700);
  mkdir(dir.c_str(), 0700);
  return dir;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A stand-in for sendmail: a shell script with the given body.
std::string program(const std::string& name, const std::string& body) {
  std::string path = scratch() + "/" + name;
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  chmod(path.c_str(), 0755);
  return path;
}

// A message file with the given bytes.
int messageFile(const std::string& bytes) {
  std::string path = scratch() + "/message.eml";
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  return open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

std::vector<tmapi::OutboundMessage> one(int fd, const std::string& sender, std::vector<std::string> recipients) {
  std::vector<tmapi::OutboundMessage> batch(1);
  batch[0].fd = fd;
  batch[0].sender = sender;
  batch[0].recipients = std::move(recipients);
  return batch;
}

mapiprofile::Transport sendmailAt(const std::string& path) {
  mapiprofile::Transport t;
  t.kind = mapiprofile::Transport::kSendmail;
  t.path = path;
  return t;
}

TEST(SendmailTransport, PassesTheEnvelopeInArgvAfterDoubleDashAndTheMessageOnStandardInput) {
  std::string dir = scratch();
  std::string prog = program("accepting", "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > " + dir +
                                              "/argv; cat > " + dir + "/stdin; exit 0");
  std::string message = "From: a@b.example\nSubject: x\n\n.\nbody\n";
  int fd = messageFile(message);
  auto batch = one(fd, "sender@tolvane.test", {"-oQ/tmp@evil.example", "b@x.example"});
  int reported = 0;
  tmapi::sendSendmail(sendmailAt(prog), batch, [&](size_t k) {
    EXPECT_EQ(0u, k);
    ++reported;
  });
  close(fd);
  EXPECT_EQ(1, reported);
  EXPECT_EQ("-i\n-f\nsender@tolvane.test\n--\n-oQ/tmp@evil.example\nb@x.example\n", readFile(dir + "/argv"));
  EXPECT_EQ(message, readFile(dir + "/stdin"));
  ASSERT_EQ(2u, batch[0].outcomes.size());
  for (const auto& o : batch[0].outcomes) {
    EXPECT_EQ(tmapi::RecipientOutcome::kAccepted, o.kind);
    EXPECT_EQ("2.0.0", o.status);
  }
}

TEST(SendmailTransport, TemporaryExitsKeepTheRecipientsWaitingWithWhatTheProgramSaid) {
  // EX_TEMPFAIL, EX_OSERR and EX_IOERR.
  for (auto [code, status] : {std::pair<int, const char*>{75, "4.0.0"}, {71, "4.3.0"}, {74, "4.3.0"}}) {
    std::string prog = program("tempfail" + std::to_string(code),
                               "cat >/dev/null; echo 'queue file write error' >&2; exit " + std::to_string(code));
    int fd = messageFile("Subject: x\n\nbody\n");
    auto batch = one(fd, "s@tolvane.test", {"a@x.example"});
    tmapi::sendSendmail(sendmailAt(prog), batch, [](size_t) {});
    close(fd);
    ASSERT_EQ(1u, batch[0].outcomes.size());
    EXPECT_EQ(tmapi::RecipientOutcome::kDeferred, batch[0].outcomes[0].kind) << code;
    EXPECT_EQ(status, batch[0].outcomes[0].status);
    EXPECT_EQ(prog + " exited with status " + std::to_string(code) + ": queue file write error",
              batch[0].outcomes[0].reply);
  }
}

TEST(SendmailTransport, OtherExitStatusesAreFinalWithTheirStatusCodes) {
  struct Case {
    int code;
    const char* status;
  } cases[] = {{67, "5.1.1"}, {68, "5.1.2"}, {65, "5.6.0"}, {1, "5.0.0"}};
  for (const auto& c : cases) {
    std::string prog = program("fail" + std::to_string(c.code), "cat >/dev/null; echo refused >&2; exit " +
                                                                     std::to_string(c.code));
    int fd = messageFile("Subject: x\n\nbody\n");
    auto batch = one(fd, "s@tolvane.test", {"a@x.example", "b@x.example"});
    tmapi::sendSendmail(sendmailAt(prog), batch, [](size_t) {});
    close(fd);
    for (const auto& o : batch[0].outcomes) {
      EXPECT_EQ(tmapi::RecipientOutcome::kRejected, o.kind) << c.code;
      EXPECT_EQ(c.status, o.status) << c.code;
      EXPECT_EQ(prog + " exited with status " + std::to_string(c.code) + ": refused", o.reply);
    }
  }
}

TEST(SendmailTransport, AProgramThatCannotRunOrDiesKeepsTheMessageWaiting) {
  int fd = messageFile("Subject: x\n\nbody\n");
  auto batch = one(fd, "s@tolvane.test", {"a@x.example"});
  tmapi::sendSendmail(sendmailAt(scratch() + "/no-such-sendmail"), batch, [](size_t) {});
  EXPECT_EQ(tmapi::RecipientOutcome::kDeferred, batch[0].outcomes[0].kind);
  EXPECT_EQ("The program " + scratch() + "/no-such-sendmail cannot be run: No such file or directory",
            batch[0].outcomes[0].reply);

  std::string prog = program("killed", "kill -9 $$");
  batch = one(fd, "s@tolvane.test", {"a@x.example"});
  tmapi::sendSendmail(sendmailAt(prog), batch, [](size_t) {});
  close(fd);
  EXPECT_EQ(tmapi::RecipientOutcome::kDeferred, batch[0].outcomes[0].kind);
  EXPECT_EQ(prog + " was ended by signal 9", batch[0].outcomes[0].reply);
}

TEST(SendmailTransport, AProgramThatStopsReadingEarlyGivesItsVerdictWithoutAHang) {
  // 8 MiB, far more than a pipe holds: the program exits without reading.
  std::string big(8 * 1024 * 1024, 'x');
  std::string prog = program("early", "echo 'message too large' >&2; exit 73");
  int fd = messageFile("Subject: x\n\n" + big + "\n");
  auto batch = one(fd, "", {"a@x.example"});
  tmapi::sendSendmail(sendmailAt(prog), batch, [](size_t) {});
  close(fd);
  EXPECT_EQ(tmapi::RecipientOutcome::kRejected, batch[0].outcomes[0].kind);
  EXPECT_EQ("5.3.0", batch[0].outcomes[0].status);
  EXPECT_EQ(prog + " exited with status 73: message too large", batch[0].outcomes[0].reply);
}

TEST(SendmailTransport, AProgramThatNeverEndsIsKilledAtTheDeadlineWithWhatItStarted) {
  // It reads nothing, keeps its output open in a child of its own, and never exits.
  std::string started = scratch() + "/sleeper.pid";
  std::string prog = program("hang", "sleep 300 & echo $! > " + started + "\necho stuck >&2\nwait");
  int fd = messageFile("Subject: x\r\n\r\nbody\r\n");
  auto batch = one(fd, "s@tolvane.test", {"a@x.example"});
  auto start = std::chrono::steady_clock::now();
  tmapi::sendSendmail(sendmailAt(prog), batch, [](size_t) {}, 2);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(fd);
  EXPECT_LT(seconds, 20.0);
  EXPECT_EQ(tmapi::RecipientOutcome::kDeferred, batch[0].outcomes[0].kind);
  EXPECT_EQ(prog + " did not finish within 2 s (the profile's SMTP time limit) and was stopped: stuck",
            batch[0].outcomes[0].reply);
  pid_t sleeper = static_cast<pid_t>(std::stol("0" + readFile(started)));
  ASSERT_GT(sleeper, 0);
  // Gone, or a zombie waiting for whoever reaps orphans here (the kill may take a moment).
  std::string stat;
  bool running = true;
  for (int i = 0; i < 50 && running; ++i) {
    if (i) usleep(20 * 1000);
    stat = readFile("/proc/" + std::to_string(sleeper) + "/stat");
    size_t paren = stat.rfind(')');
    running = paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
  }
  EXPECT_FALSE(running) << "the program's own child was left running: " << stat;
}

TEST(SendmailTransport, AStopEndsTheRunWithinMomentsAndTheRestWaits) {
  std::string prog = program("slow", "exec sleep 300");
  int fd = messageFile("Subject: x\r\n\r\nbody\r\n");
  std::vector<tmapi::OutboundMessage> batch = one(fd, "s@tolvane.test", {"a@x.example"});
  batch.push_back(batch[0]);
  auto start = std::chrono::steady_clock::now();
  auto stop = [&] { return std::chrono::steady_clock::now() - start > std::chrono::seconds(1); };
  tmapi::sendSendmail(sendmailAt(prog), batch, [](size_t) {}, 0, stop);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(fd);
  EXPECT_LT(seconds, 5.0);
  for (const auto& m : batch) {
    ASSERT_EQ(1u, m.outcomes.size());
    EXPECT_EQ(tmapi::RecipientOutcome::kDeferred, m.outcomes[0].kind);
    EXPECT_NE(std::string::npos, m.outcomes[0].reply.find(tmapi::kTransportStoppedText)) << m.outcomes[0].reply;
  }
}

TEST(SendmailTransport, WithoutASenderNoDashFIsPassed) {
  std::string dir = scratch();
  std::string prog = program("nosender", "printf '%s ' \"$@\" > " + dir + "/argv-nosender; cat >/dev/null");
  int fd = messageFile("Subject: x\n\nbody\n");
  auto batch = one(fd, "", {"a@x.example"});
  tmapi::sendSendmail(sendmailAt(prog), batch, [](size_t) {});
  close(fd);
  EXPECT_EQ("-i -- a@x.example ", readFile(dir + "/argv-nosender"));
}

// A small message from s@tolvane.test sent through the SMTP transport; the
// batch with its outcomes.
std::vector<tmapi::OutboundMessage> sendSmall(const mapiprofile::Profile& profile, const mapiprofile::Transport& t,
                                              std::vector<std::string> recipients) {
  int fd = messageFile("Subject: x\r\n\r\nbody\r\n");
  auto batch = one(fd, "s@tolvane.test", std::move(recipients));
  tmapi::sendSmtp(profile, t, batch, [](size_t) {});
  close(fd);
  return batch;
}

TEST(SmtpTransport, NoServerListeningKeepsEveryMessageWaitingWithTheReason) {
  // A port of 127.0.0.1 that nothing listens on: bound, never listened to.
  int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a));
  ASSERT_EQ(0, getsockname(holder, reinterpret_cast<sockaddr*>(&a), &len));
  mapiprofile::Transport t;
  t.kind = mapiprofile::Transport::kSmtp;
  t.host = "127.0.0.1";
  t.port = ntohs(a.sin_port);
  mapiprofile::Profile profile;
  int fd = messageFile("Subject: x\r\n\r\nbody\r\n");
  std::vector<tmapi::OutboundMessage> batch(2);
  for (auto& m : batch) {
    m.fd = fd;
    m.sender = "s@tolvane.test";
    m.recipients = {"a@x.example"};
  }
  std::vector<size_t> reported;
  tmapi::sendSmtp(profile, t, batch, [&](size_t k) { reported.push_back(k); });
  close(fd);
  close(holder);
  EXPECT_EQ((std::vector<size_t>{0, 1}), reported) << "each message reported once";
  for (const auto& m : batch) {
    ASSERT_EQ(1u, m.outcomes.size());
    EXPECT_EQ(tmapi::RecipientOutcome::kDeferred, m.outcomes[0].kind);
    EXPECT_EQ("4.4.1", m.outcomes[0].status);
    EXPECT_EQ(0u, m.outcomes[0].reply.rfind("No mail could be sent through 127.0.0.1:" + std::to_string(t.port) + ": ", 0))
        << m.outcomes[0].reply;
  }
}

TEST(SmtpTransport, SmtpsWithoutAServerKeepsTheMessageWaiting) {
  mapiprofile::Transport t;
  t.kind = mapiprofile::Transport::kSmtps;
  t.host = "127.0.0.1";
  t.port = 1;  // nothing listens on port 1
  mapiprofile::Profile profile;
  auto batch = sendSmall(profile, t, {"a@x.example"});
  EXPECT_EQ(tmapi::RecipientOutcome::kDeferred, batch[0].outcomes[0].kind);
  EXPECT_EQ("No mail could be sent through 127.0.0.1:1: no connection to 127.0.0.1:1: Connection refused",
            batch[0].outcomes[0].reply);
}

// A listening socket on a free loopback port.
int loopbackListener(unsigned& port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(fd, 4);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// The smtp:// transport to a port of this machine.
mapiprofile::Transport smtpAt(unsigned port) {
  mapiprofile::Transport t;
  t.kind = mapiprofile::Transport::kSmtp;
  t.host = "127.0.0.1";
  t.port = port;
  return t;
}

// A scripted SMTP server on a loopback port that offers no STARTTLS: it
// serves `connections` connections one after the other and keeps every
// command it was sent (the message text after DATA as one "<data>" entry).
// It is strict as RFC 5321 allows: a second EHLO on a connection is refused,
// and so is a fourth recipient of a transaction (552, too many recipients).
class PlainServer {
 public:
  // What a hostile or broken server does besides plain SMTP.
  enum Trick { kNone, kOfferAuth, kTrickleMail, kFloodMail, kSilentMail, kBrokenTls };
  explicit PlainServer(int connections, Trick trick = kNone) : m_trick(trick) {
    m_listen = loopbackListener(port);
    m_thread = std::thread([this, connections] {
      for (int i = 0; i < connections; ++i) serve();
    });
  }
  ~PlainServer() {
    shutdown(m_listen, SHUT_RDWR);
    if (m_thread.joinable()) m_thread.join();
    close(m_listen);
  }
  void join() { m_thread.join(); }

  unsigned port = 0;
  std::vector<std::string> commands;
  int connectionsSeen = 0;

 private:
  void serve() {
    int c = accept(m_listen, nullptr, nullptr);
    if (c < 0) return;
    ++connectionsSeen;
    timeval tv{20, 0};
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    say(c, "220 fake.test ESMTP\r\n");
    std::string line;
    bool data = false;
    std::string text;
    char ch;
    int ehlos = 0;
    int rcpts = 0;
    while (recv(c, &ch, 1, 0) == 1) {
      line += ch;
      if (ch != '\n') continue;
      std::string l = line.substr(0, line.find_last_not_of("\r\n") + 1);
      line.clear();
      if (data) {
        if (l == ".") {
          data = false;
          commands.push_back("<data>" + text);
          say(c, "250 2.0.0 Queued\r\n");
        } else {
          text += l + "\n";
        }
        continue;
      }
      commands.push_back(l);
      std::string verb = l.substr(0, 4);
      if (verb == "MAIL" && (m_trick == kTrickleMail || m_trick == kFloodMail)) {
        // An endless reply, one line every 200 ms or as fast as it goes,
        // until the client goes.
        while (send(c, "250-still here\r\n", 16, MSG_NOSIGNAL) == 16)
          if (m_trick == kTrickleMail) usleep(200 * 1000);
        break;
      }
      if (verb == "MAIL" && m_trick == kSilentMail) {
        while (recv(c, &ch, 1, 0) == 1) {
        }  // no reply, until the client goes
        break;
      }
      if (verb == "EHLO" && ++ehlos > 1)
        say(c, "503 5.5.1 Duplicate HELO/EHLO\r\n");
      else if (verb == "EHLO")
        say(c, std::string("250-fake.test\r\n250-PIPELINING\r\n") +
                   (m_trick == kOfferAuth ? "250-AUTH PLAIN LOGIN\r\n" : "") +
                   (m_trick == kBrokenTls ? "250-STARTTLS\r\n" : "") +
                   "250-ENHANCEDSTATUSCODES\r\n250 8BITMIME\r\n");
      else if (verb == "STAR" && m_trick == kBrokenTls) {
        // Agrees, then answers the handshake with what is not TLS.
        say(c, "220 2.0.0 Ready to start TLS\r\n");
        char hello[512];
        (void)recv(c, hello, sizeof hello, 0);
        say(c, "500 5.5.1 What is this?\r\n");
        break;
      }
      else if (verb == "AUTH") say(c, "535 5.7.8 Authentication credentials invalid\r\n");
      else if (verb == "MAIL") { say(c, "250 2.1.0 Ok\r\n"); rcpts = 0; }
      else if (verb == "RCPT" && ++rcpts > 3) say(c, "552 5.5.3 Too many recipients\r\n");
      else if (verb == "RCPT") say(c, l.find("bad@") != std::string::npos ? "550 5.1.1 No such user here\r\n" : "250 2.1.5 Ok\r\n");
      else if (verb == "DATA") { say(c, "354 End data with <CR><LF>.<CR><LF>\r\n"); data = true; }
      else if (verb == "QUIT") { say(c, "221 2.0.0 Bye\r\n"); break; }
      else say(c, "502 5.5.2 Not here\r\n");
    }
    close(c);
  }
  static void say(int c, const std::string& text) { send(c, text.data(), text.size(), MSG_NOSIGNAL); }

  Trick m_trick;
  int m_listen = -1;
  std::thread m_thread;
};

TEST(SmtpTransport, OpportunisticTlsWithAServerWithoutStarttlsSendsInPlainText) {
  // One connection and one EHLO: the transport's EHLO finds no STARTTLS, and
  // libESMTP goes on over the same connection with the server's answer to it
  // (this server refuses a second EHLO). A fourth recipient is refused with
  // 552, which waits for a later transaction; the others are delivered.
  PlainServer server(1);
  mapiprofile::Transport t = smtpAt(server.port);
  mapiprofile::Profile profile;
  profile.starttls = "opportunistic";
  const std::string head = "Date: Mon, 07 Dec 2026 10:00:00 +0000\nFrom: s@tolvane.test\nMessage-ID: <m1@tolvane.test>\n"
                           "Subject: plain\n";
  std::string crlf = head;
  for (size_t i = 0; (i = crlf.find('\n', i)) != std::string::npos; i += 2) crlf.replace(i, 1, "\r\n");
  int fd = messageFile(crlf + "\r\nbody\r\n");
  auto batch = one(fd, "s@tolvane.test", {"good@x.example", "bad@x.example", "c@x.example", "d@x.example"});
  tmapi::sendSmtp(profile, t, batch, [](size_t) {});
  close(fd);
  server.join();
  EXPECT_EQ(1, server.connectionsSeen);
  ASSERT_EQ(4u, batch[0].outcomes.size());
  EXPECT_EQ(tmapi::RecipientOutcome::kAccepted, batch[0].outcomes[2].kind);
  EXPECT_EQ(tmapi::RecipientOutcome::kDeferred, batch[0].outcomes[3].kind);
  EXPECT_EQ("The server 127.0.0.1:" + std::to_string(server.port) +
                " refused the recipient: 552 5.5.3 Too many recipients",
            batch[0].outcomes[3].reply);
  EXPECT_EQ(tmapi::RecipientOutcome::kAccepted, batch[0].outcomes[0].kind) << batch[0].outcomes[0].reply;
  EXPECT_EQ(tmapi::RecipientOutcome::kRejected, batch[0].outcomes[1].kind);
  EXPECT_EQ("5.1.1", batch[0].outcomes[1].status);
  EXPECT_EQ("The server 127.0.0.1:" + std::to_string(server.port) +
                " refused the recipient: 550 5.1.1 No such user here",
            batch[0].outcomes[1].reply);
  std::vector<std::string> expected = {"EHLO",
                                       "MAIL FROM:<s@tolvane.test>",
                                       "RCPT TO:<good@x.example>",
                                       "RCPT TO:<bad@x.example>",
                                       "RCPT TO:<c@x.example>",
                                       "RCPT TO:<d@x.example>",
                                       "DATA",
                                       "<data>" + head + "\nbody\n",
                                       "QUIT"};
  std::vector<std::string> seen;
  for (const auto& c : server.commands) seen.push_back(c.rfind("EHLO ", 0) == 0 ? "EHLO" : c);
  EXPECT_EQ(expected, seen);
}

TEST(SmtpTransport, AnOpportunisticHandshakeThatFailsIsTriedAgainInPlainText) {
  // The server offers STARTTLS and then answers the handshake with garbage:
  // a second connection, without STARTTLS, carries the message.
  PlainServer server(2, PlainServer::kBrokenTls);
  mapiprofile::Transport t = smtpAt(server.port);
  mapiprofile::Profile profile;
  profile.starttls = "opportunistic";
  auto batch = sendSmall(profile, t, {"good@x.example"});
  server.join();
  EXPECT_EQ(2, server.connectionsSeen);
  EXPECT_EQ(tmapi::RecipientOutcome::kAccepted, batch[0].outcomes[0].kind) << batch[0].outcomes[0].reply;
  std::vector<std::string> seen;
  for (const auto& c : server.commands)
    seen.push_back(c.rfind("EHLO ", 0) == 0 ? "EHLO" : c.rfind("<data>", 0) == 0 ? "<data>" : c);
  std::vector<std::string> expected = {"EHLO", "STARTTLS", "EHLO", "MAIL FROM:<s@tolvane.test>",
                                       "RCPT TO:<good@x.example>", "DATA", "<data>", "QUIT"};
  EXPECT_EQ(expected, seen);
  // Required TLS never goes on in plain text.
  PlainServer strict(1, PlainServer::kBrokenTls);
  t = smtpAt(strict.port);
  profile.starttls = "required";
  batch = sendSmall(profile, t, {"good@x.example"});
  strict.join();
  EXPECT_EQ(tmapi::RecipientOutcome::kDeferred, batch[0].outcomes[0].kind);
  for (const auto& c : strict.commands) EXPECT_NE(0u, c.rfind("MAIL", 0)) << "a MAIL command was sent";
}

TEST(SmtpTransport, RequiredTlsWithAServerWithoutStarttlsSendsNothing) {
  PlainServer server(1);
  mapiprofile::Transport t = smtpAt(server.port);
  mapiprofile::Profile profile;
  profile.starttls = "required";
  auto batch = sendSmall(profile, t, {"good@x.example"});
  EXPECT_EQ(tmapi::RecipientOutcome::kDeferred, batch[0].outcomes[0].kind);
  EXPECT_EQ("4.4.1", batch[0].outcomes[0].status);
  EXPECT_EQ("No mail could be sent through 127.0.0.1:" + std::to_string(server.port) +
                ": the server does not offer STARTTLS, which the profile requires",
            batch[0].outcomes[0].reply);
  for (const auto& c : server.commands) EXPECT_NE(0u, c.rfind("MAIL", 0)) << "a MAIL command was sent";
}

TEST(SmtpTransport, CredentialsNeverGoToAServerWithoutVerifiedTls) {
  // Opportunistic TLS, a server (or a man in the middle) without STARTTLS but with
  // AUTH: nothing of the credentials and no message leaves.
  PlainServer server(1, PlainServer::kOfferAuth);
  mapiprofile::Transport t = smtpAt(server.port);
  mapiprofile::Profile profile;
  profile.starttls = "opportunistic";
  profile.smtpUser = "sam";
  profile.smtpPassword = "the-secret";
  auto batch = sendSmall(profile, t, {"good@x.example"});
  EXPECT_EQ(tmapi::RecipientOutcome::kDeferred, batch[0].outcomes[0].kind);
  EXPECT_EQ("No mail could be sent through 127.0.0.1:" + std::to_string(server.port) +
                ": the server does not offer STARTTLS, which the profile requires (the profile's SMTP "
                "credentials are sent only over TLS with a verified certificate)",
            batch[0].outcomes[0].reply);
  server.join();
  for (const auto& c : server.commands) {
    EXPECT_NE(0u, c.rfind("AUTH", 0)) << "credentials were offered in plain text";
    EXPECT_NE(0u, c.rfind("MAIL", 0)) << "a MAIL command was sent";
  }
  // A user without a password (forgotten with a change of server) sends nothing either.
  profile.smtpPassword.clear();
  batch = sendSmall(profile, t, {"good@x.example"});
  EXPECT_EQ(tmapi::RecipientOutcome::kDeferred, batch[0].outcomes[0].kind);
  EXPECT_EQ("4.7.0", batch[0].outcomes[0].status);
}

TEST(SmtpTransport, AServerThatNeverFinishesItsReplyIsLeftAtTheSessionDeadline) {
  // The endless reply comes after the relay handed the connection to libESMTP.
  PlainServer server(1, PlainServer::kTrickleMail);
  mapiprofile::Transport t = smtpAt(server.port);
  mapiprofile::Profile profile;
  profile.smtpTimeoutSeconds = 2;
  int fd = messageFile("Subject: x\r\n\r\nbody\r\n");
  auto batch = one(fd, "s@tolvane.test", {"good@x.example"});
  auto start = std::chrono::steady_clock::now();
  tmapi::sendSmtp(profile, t, batch, [](size_t) {});
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(fd);
  server.join();
  EXPECT_LT(seconds, 30.0) << "the session was not ended at its deadline";
  EXPECT_EQ(tmapi::RecipientOutcome::kDeferred, batch[0].outcomes[0].kind);
  EXPECT_EQ("No mail could be sent through 127.0.0.1:" + std::to_string(server.port) +
                ": the session with the server took longer than 2 s (the profile's SMTP time limit)",
            batch[0].outcomes[0].reply);
}

TEST(SmtpTransport, EachReplyIsBoundedInSizeAndInTheProfilesTime) {
  // An endless reply as fast as it goes, and silence after MAIL with one
  // second allowed for a reply: both end the session at once, not at its
  // two-minute limit, and the message waits (what the server last said is
  // kept short).
  struct Case {
    PlainServer::Trick trick;
    unsigned replySeconds;
  } cases[] = {{PlainServer::kFloodMail, 0}, {PlainServer::kSilentMail, 1}};
  for (const Case& c : cases) {
    PlainServer server(1, c.trick);
    mapiprofile::Transport t = smtpAt(server.port);
    mapiprofile::Profile profile;
    profile.smtpTimeoutSeconds = 120;
    profile.smtpReplyTimeoutSeconds = c.replySeconds;
    int fd = messageFile("Subject: x\r\n\r\nbody\r\n");
    auto batch = one(fd, "s@tolvane.test", {"good@x.example"});
    auto start = std::chrono::steady_clock::now();
    tmapi::sendSmtp(profile, t, batch, [](size_t) {});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(fd);
    server.join();
    EXPECT_LT(seconds, 20.0) << c.trick;
    EXPECT_EQ(tmapi::RecipientOutcome::kDeferred, batch[0].outcomes[0].kind) << c.trick;
    const std::string prefix = "No mail could be sent through 127.0.0.1:" + std::to_string(server.port) + ": ";
    EXPECT_EQ(0u, batch[0].outcomes[0].reply.rfind(prefix, 0)) << batch[0].outcomes[0].reply;
    EXPECT_LT(batch[0].outcomes[0].reply.size(), 1024u) << batch[0].outcomes[0].reply;
  }
}

// A scripted server that offers STARTTLS and AUTH, shakes hands with its own
// certificate (for 127.0.0.1) and refuses every AUTH; it keeps every command
// (those after the handshake included) and serves one connection.
class TlsServer {
 public:
  TlsServer() {
    std::string dir = scratch();
    cert = dir + "/cert.pem";
    key = dir + "/key.pem";
    std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
                       "-addext subjectAltName=IP:127.0.0.1 -keyout " + key + " -out " + cert + " >/dev/null 2>&1";
    ready = system(make.c_str()) == 0;
    m_listen = loopbackListener(port);
    m_thread = std::thread([this] { serve(); });
  }
  ~TlsServer() {
    shutdown(m_listen, SHUT_RDWR);
    if (m_thread.joinable()) m_thread.join();
    close(m_listen);
  }
  void join() { m_thread.join(); }
  size_t count(const std::string& verb) const {
    size_t n = 0;
    for (const auto& c : commands) n += c.rfind(verb, 0) == 0;
    return n;
  }

  bool ready = false;
  unsigned port = 0;
  std::string cert, key;
  std::vector<std::string> commands;

 private:
  void serve() {
    int c = accept(m_listen, nullptr, nullptr);
    if (c < 0) return;
    timeval tv{20, 0};
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_file(ctx, cert.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM);
    SSL* ssl = nullptr;
    auto say = [&](const std::string& t) {
      if (ssl) SSL_write(ssl, t.data(), static_cast<int>(t.size()));
      else send(c, t.data(), t.size(), MSG_NOSIGNAL);
    };
    auto readLine = [&](std::string& line) {
      line.clear();
      char ch;
      while ((ssl ? SSL_read(ssl, &ch, 1) : static_cast<int>(recv(c, &ch, 1, 0))) == 1) {
        if (ch == '\n') return true;
        if (ch != '\r') line += ch;
      }
      return false;
    };
    say("220 tls.test ESMTP\r\n");
    std::string l;
    bool data = false;
    while (readLine(l)) {
      if (data) {
        if (l == ".") {
          data = false;
          say("250 2.0.0 Queued\r\n");
        }
        continue;
      }
      commands.push_back(l);
      std::string verb = l.substr(0, 4);
      if (verb == "EHLO") {
        say(ssl ? "250-tls.test\r\n250-AUTH PLAIN LOGIN\r\n250 ENHANCEDSTATUSCODES\r\n"
                : "250-tls.test\r\n250-STARTTLS\r\n250 ENHANCEDSTATUSCODES\r\n");
      } else if (verb == "STAR") {
        say("220 2.0.0 Ready to start TLS\r\n");
        ssl = SSL_new(ctx);
        SSL_set_fd(ssl, c);
        if (SSL_accept(ssl) != 1) break;  // the client refused the certificate
      } else if (verb == "AUTH") {
        say("535 5.7.8 Authentication credentials invalid\r\n");
      } else if (verb == "MAIL") {
        say("530 5.7.0 Authentication required\r\n");
      } else if (verb == "RCPT") {
        say("503 5.5.1 No sender\r\n");
      } else if (verb == "DATA") {
        say("503 5.5.1 No recipients\r\n");
      } else if (verb == "QUIT") {
        say("221 2.0.0 Bye\r\n");
        break;
      } else {
        say("502 5.5.2 Not here\r\n");
      }
    }
    if (ssl) SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(c);
  }

  int m_listen = -1;
  std::thread m_thread;
};

TEST(SmtpTransport, CredentialsGoOnlyToAVerifiedCertificateAndOnlyOnce) {
  mapiprofile::Transport t;
  t.kind = mapiprofile::Transport::kSmtp;
  t.host = "127.0.0.1";
  mapiprofile::Profile profile;
  profile.starttls = "opportunistic";
  profile.smtpUser = "sam";
  profile.smtpPassword = "the-secret";
  {
    // A self-signed impostor: the handshake fails, no AUTH is sent.
    TlsServer server;
    ASSERT_TRUE(server.ready) << "openssl could not make the test certificate";
    t.port = server.port;
    setenv("SSL_CERT_FILE", "/nonexistent", 1);
    auto batch = sendSmall(profile, t, {"good@x.example"});
    server.join();
    EXPECT_EQ(tmapi::RecipientOutcome::kDeferred, batch[0].outcomes[0].kind);
    EXPECT_NE(std::string::npos, batch[0].outcomes[0].reply.find("the certificate of the server could not be verified"))
        << batch[0].outcomes[0].reply;
    EXPECT_EQ(0u, server.count("AUTH"));
  }
  {
    // The certificate trusted, the credentials refused: offered once, never again by
    // another mechanism, no message goes without them, and it waits.
    TlsServer server;
    ASSERT_TRUE(server.ready);
    t.port = server.port;
    setenv("SSL_CERT_FILE", server.cert.c_str(), 1);
    auto batch = sendSmall(profile, t, {"good@x.example"});
    server.join();
    unsetenv("SSL_CERT_FILE");
    EXPECT_EQ(1u, server.count("AUTH")) << "the password was offered again: " << ::testing::PrintToString(server.commands);
    EXPECT_EQ(0u, server.count("MAIL") + server.count("RCPT")) << ::testing::PrintToString(server.commands);
    EXPECT_EQ(tmapi::RecipientOutcome::kDeferred, batch[0].outcomes[0].kind) << batch[0].outcomes[0].reply;
    EXPECT_EQ("The server 127.0.0.1:" + std::to_string(server.port) +
                  " did not accept the profile's SMTP credentials (535 5.7.8 Authentication credentials invalid); "
                  "nothing was sent without them",
              batch[0].outcomes[0].reply);
  }
}

// The loopback ports listening now (from /proc/net/tcp).
std::vector<unsigned> listeningPorts() {
  std::ifstream in("/proc/net/tcp");
  std::string line;
  std::vector<unsigned> ports;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "0A" && local.rfind("0100007F:", 0) == 0) ports.push_back(std::stoul(local.substr(9), nullptr, 16));
  }
  return ports;
}

TEST(SmtpTransport, AnotherProcessCannotTakeUpTheRelaysConnection) {
  // A process of another user watches for a new listening loopback port and connects
  // to it first (the relay is held back before libESMTP connects); it must get
  // nothing of the server, and the message must still go.
  PlainServer server(1);
  std::vector<unsigned> before = listeningPorts();
  int report[2];
  ASSERT_EQ(0, pipe(report));
  pid_t intruder = fork();
  ASSERT_GE(intruder, 0);
  if (intruder == 0) {
    close(report[0]);
    if (getuid() == 0 && setuid(65534) != 0) _exit(3);
    for (int tries = 0; tries < 2000; ++tries) {
      for (unsigned port : listeningPorts()) {
        if (std::find(before.begin(), before.end(), port) != before.end()) continue;
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
          close(s);
          continue;
        }
        timeval tv{5, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        send(s, "EHLO intruder\r\n", 15, MSG_NOSIGNAL);
        char got[512];
        ssize_t n = recv(s, got, sizeof got, 0);
        // What the intruder got: "connected N" with the bytes it read.
        std::string line = "connected " + std::to_string(n > 0 ? n : 0) + "\n";
        if (write(report[1], line.data(), line.size()) < 0) _exit(4);
        _exit(0);
      }
      usleep(1000);
    }
    _exit(2);
  }
  close(report[1]);
  setenv("TOLVANE_MAPI_RELAY_PAUSE_MS", "1500", 1);
  mapiprofile::Transport t = smtpAt(server.port);
  mapiprofile::Profile profile;
  profile.smtpTimeoutSeconds = 10;  // an intruder that got the connection would hold it
  int fd = messageFile("Subject: x\r\n\r\nbody\r\n");
  auto batch = one(fd, "s@tolvane.test", {"good@x.example"});
  tmapi::sendSmtp(profile, t, batch, [](size_t) {});
  unsetenv("TOLVANE_MAPI_RELAY_PAUSE_MS");
  close(fd);
  server.join();
  char text[64] = {0};
  ssize_t n = read(report[0], text, sizeof text - 1);
  close(report[0]);
  int status = 0;
  waitpid(intruder, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the intruder found no port to connect to";
  EXPECT_EQ("connected 0\n", std::string(text, n > 0 ? static_cast<size_t>(n) : 0))
      << "the intruder read what the server said";
  EXPECT_EQ(tmapi::RecipientOutcome::kAccepted, batch[0].outcomes[0].kind) << batch[0].outcomes[0].reply;
  for (const auto& c : server.commands) EXPECT_EQ(std::string::npos, c.find("intruder"));
}

TEST(SmtpStatus, TheEnhancedCodeOfAReplyOrItsClass) {
  EXPECT_EQ("5.7.1", tmapi::enhancedStatus(550, 5, 7, 1));
  EXPECT_EQ("4.0.0", tmapi::enhancedStatus(451, 0, 0, 0));
  EXPECT_EQ("5.0.0", tmapi::enhancedStatus(554, 0, 0, 0));
  EXPECT_EQ("4.0.0", tmapi::enhancedStatus(0, 0, 0, 0));
}

TEST(RetryPause, DoublesFromTheFirstPauseUpToAnHourOrTheFirstPauseWhenLonger) {
  const int64_t minute = 60 * 1000;
  EXPECT_EQ(1 * minute, tmapi::Spooler::retryDelay(0));
  EXPECT_EQ(2 * minute, tmapi::Spooler::retryDelay(1));
  EXPECT_EQ(60 * minute, tmapi::Spooler::retryDelay(20));
  EXPECT_EQ(5 * minute, tmapi::Spooler::retryDelay(0, 5 * minute));
  EXPECT_EQ(40 * minute, tmapi::Spooler::retryDelay(3, 5 * minute));
  EXPECT_EQ(60 * minute, tmapi::Spooler::retryDelay(4, 5 * minute));
  EXPECT_EQ(120 * minute, tmapi::Spooler::retryDelay(0, 120 * minute));
  EXPECT_EQ(120 * minute, tmapi::Spooler::retryDelay(7, 120 * minute));
}

}  // namespace
