// The sendmail transport against stand-in programs (what it passes, how it
// reads each exit status), and the spooler's retry pauses.
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

TEST(SendmailTransport, ExTempFailKeepsTheRecipientsWaitingWithWhatTheProgramSaid) {
  std::string prog = program("tempfail", "cat >/dev/null; echo 'queue file write error' >&2; exit 75");
  int fd = messageFile("Subject: x\n\nbody\n");
  auto batch = one(fd, "s@tolvane.test", {"a@x.example"});
  tmapi::sendSendmail(sendmailAt(prog), batch, [](size_t) {});
  close(fd);
  ASSERT_EQ(1u, batch[0].outcomes.size());
  EXPECT_EQ(tmapi::RecipientOutcome::kDeferred, batch[0].outcomes[0].kind);
  EXPECT_EQ("4.0.0", batch[0].outcomes[0].status);
  EXPECT_EQ(prog + " exited with status 75: queue file write error", batch[0].outcomes[0].reply);
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

TEST(SendmailTransport, WithoutASenderNoDashFIsPassed) {
  std::string dir = scratch();
  std::string prog = program("nosender", "printf '%s ' \"$@\" > " + dir + "/argv-nosender; cat >/dev/null");
  int fd = messageFile("Subject: x\n\nbody\n");
  auto batch = one(fd, "", {"a@x.example"});
  tmapi::sendSendmail(sendmailAt(prog), batch, [](size_t) {});
  close(fd);
  EXPECT_EQ("-i -- a@x.example ", readFile(dir + "/argv-nosender"));
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
  int fd = messageFile("Subject: x\r\n\r\nbody\r\n");
  auto batch = one(fd, "s@tolvane.test", {"a@x.example"});
  tmapi::sendSmtp(profile, t, batch, [](size_t) {});
  close(fd);
  EXPECT_EQ(tmapi::RecipientOutcome::kDeferred, batch[0].outcomes[0].kind);
  EXPECT_EQ("No mail could be sent through 127.0.0.1:1: no connection to 127.0.0.1:1: Connection refused",
            batch[0].outcomes[0].reply);
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
