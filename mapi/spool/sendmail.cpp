// The sendmail transport: the Unix convention where a local mail server is
// installed. Each message goes on standard input to
//   PATH -i -f SENDER -- RECIPIENT...
// (-i: a line of a single dot is not the end; the recipients come from argv
// after "--", never from the headers, so an address that starts with '-'
// cannot become an option). The exit status tells the outcome (sysexits.h).
#include "spool/transport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tmapi {

namespace {

const int kExTempFail = 75;  // EX_TEMPFAIL
const size_t kMaxDiagnostics = 4096;

// The enhanced status code that a sysexits code stands for.
std::string statusOfExit(int code) {
  switch (code) {
    case 64: return "5.5.4";   // EX_USAGE
    case 65: return "5.6.0";   // EX_DATAERR
    case 67: return "5.1.1";   // EX_NOUSER
    case 68: return "5.1.2";   // EX_NOHOST
    case 69: return "5.0.0";   // EX_UNAVAILABLE
    case 71: return "4.3.0";   // EX_OSERR
    case 73: return "5.3.0";   // EX_CANTCREAT
    case 74: return "4.3.0";   // EX_IOERR
    case 77: return "5.7.1";   // EX_NOPERM
    case kExTempFail: return "4.0.0";
    default: return "5.0.0";
  }
}

// Exits that say the program's host had a passing trouble (as mail servers
// read them): the message waits, it is not bounced.
bool temporaryExit(int code) { return code == kExTempFail || code == 71 || code == 74; }

std::string oneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  for (char& c : text)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  return text;
}

void setAll(OutboundMessage& m, RecipientOutcome::Kind kind, const std::string& status, const std::string& reply) {
  for (auto& o : m.outcomes) {
    o.kind = kind;
    o.status = status;
    o.reply = reply;
  }
}

// Runs the program for one message.
void sendOne(const std::string& path, OutboundMessage& m, unsigned timeoutSeconds, const StopRequested& stopRequested) {
  m.outcomes.assign(m.recipients.size(), RecipientOutcome());
  std::vector<std::string> args = {path, "-i"};
  if (!m.sender.empty()) {
    args.push_back("-f");
    args.push_back(m.sender);
  }
  args.push_back("--");
  for (const auto& r : m.recipients) args.push_back(r);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  int input[2], errors[2], report[2];
  if (pipe2(input, O_CLOEXEC) != 0) {
    setAll(m, RecipientOutcome::kDeferred, "4.3.0", std::string("Cannot run ") + path + ": " + strerror(errno));
    return;
  }
  if (pipe2(errors, O_CLOEXEC) != 0) {
    int e = errno;
    close(input[0]);
    close(input[1]);
    setAll(m, RecipientOutcome::kDeferred, "4.3.0", std::string("Cannot run ") + path + ": " + strerror(e));
    return;
  }
  if (pipe2(report, O_CLOEXEC) != 0) {
    int e = errno;
    for (int fd : {input[0], input[1], errors[0], errors[1]}) close(fd);
    setAll(m, RecipientOutcome::kDeferred, "4.3.0", std::string("Cannot run ") + path + ": " + strerror(e));
    return;
  }
  pid_t pid = fork();
  if (pid == 0) {
    // The child: in a process group of its own (killed whole at the
    // deadline), standard input from the pipe, diagnostics into the other;
    // an exec that fails writes its errno to `report`.
    setpgid(0, 0);
    dup2(input[0], 0);
    dup2(errors[1], 1);
    dup2(errors[1], 2);
    execve(path.c_str(), argv.data(), environ);
    int e = errno;
    ssize_t ignored = write(report[1], &e, sizeof e);
    (void)ignored;
    _exit(127);
  }
  int forkErrno = errno;
  close(input[0]);
  close(errors[1]);
  close(report[1]);
  if (pid < 0) {
    for (int fd : {input[1], errors[0], report[0]}) close(fd);
    setAll(m, RecipientOutcome::kDeferred, "4.3.0",
           std::string("Cannot run ") + path + ": " + strerror(forkErrno));
    return;
  }
  // Feed the message while collecting what the program says (it may write
  // before it has read everything).
  std::string said;
  off_t offset = 0;
  bool feeding = true;
  bool errOpen = true;
  char buf[65536];
  size_t have = 0, sent = 0;
  fcntl(input[1], F_SETFL, O_NONBLOCK);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  auto remainingMs = [&] {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 3600 * 1000));
  };
  bool killed = false, stopped = false;
  // Waits in slices, so that a stop is seen within moments.
  auto slice = [&] { return std::min(remainingMs(), 200); };
  auto expired = [&] {
    if (stopRequested && stopRequested()) stopped = true;
    return stopped || remainingMs() == 0;
  };
  auto stop = [&] {
    // The group first: a program that started others while they hold the pipes.
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    killed = true;
  };
  while (feeding || errOpen) {
    if (feeding && sent == have) {
      ssize_t n = pread(m.fd, buf, sizeof buf, offset);
      if (n <= 0) {
        close(input[1]);
        feeding = false;
      } else {
        offset += n;
        have = static_cast<size_t>(n);
        sent = 0;
      }
    }
    pollfd fds[2];
    nfds_t count = 0;
    int errIndex = -1, inIndex = -1;
    if (errOpen) {
      errIndex = static_cast<int>(count);
      fds[count++] = {errors[0], POLLIN, 0};
    }
    if (feeding) {
      inIndex = static_cast<int>(count);
      fds[count++] = {input[1], POLLOUT, 0};
    }
    if (count == 0) break;
    int ready = poll(fds, count, slice());
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0 && !expired()) continue;
    if (ready == 0) stop();
    if (ready <= 0) break;
    if (errIndex >= 0 && (fds[errIndex].revents & (POLLIN | POLLHUP | POLLERR))) {
      char e[1024];
      ssize_t n = read(errors[0], e, sizeof e);
      if (n <= 0) errOpen = false;
      else if (said.size() < kMaxDiagnostics) said.append(e, static_cast<size_t>(n));
    }
    if (inIndex >= 0 && (fds[inIndex].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(input[1], buf + sent, have - sent);
      if (n > 0) {
        sent += static_cast<size_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        // The program stopped reading (it exits with its verdict).
        close(input[1]);
        feeding = false;
      }
    }
  }
  if (feeding) close(input[1]);
  close(errors[0]);
  int execErrno = 0;
  ssize_t got = read(report[0], &execErrno, sizeof execErrno);
  close(report[0]);
  int status = 0;
  for (;;) {
    pid_t w = waitpid(pid, &status, killed ? 0 : WNOHANG);
    if (w == pid || (w < 0 && errno != EINTR)) break;
    if (w == 0) {
      if (expired()) stop();
      else std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  said = oneLine(said);
  if (killed && stopped) {
    setAll(m, RecipientOutcome::kDeferred, "4.3.0", path + " was stopped: " + kTransportStoppedText);
    return;
  }
  if (killed) {
    setAll(m, RecipientOutcome::kDeferred, "4.4.7",
           path + " did not finish within " + std::to_string(timeoutSeconds) +
               " s (the profile's SMTP time limit) and was stopped" + (said.empty() ? "" : ": " + said));
    return;
  }
  if (got == static_cast<ssize_t>(sizeof execErrno)) {
    // Not the mail system's verdict: the program is missing or not
    // executable; the message waits for it.
    setAll(m, RecipientOutcome::kDeferred, "4.3.0",
           "The program " + path + " cannot be run: " + strerror(execErrno));
    return;
  }
  if (WIFSIGNALED(status)) {
    setAll(m, RecipientOutcome::kDeferred, "4.3.0",
           path + " was ended by signal " + std::to_string(WTERMSIG(status)) + (said.empty() ? "" : ": " + said));
    return;
  }
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 70;
  if (code == 0) {
    setAll(m, RecipientOutcome::kAccepted, "2.0.0", path + " accepted the message");
    return;
  }
  std::string reply = path + " exited with status " + std::to_string(code) + (said.empty() ? "" : ": " + said);
  setAll(m, temporaryExit(code) ? RecipientOutcome::kDeferred : RecipientOutcome::kRejected, statusOfExit(code),
         reply);
}

}  // namespace

void sendSendmail(const mapiprofile::Transport& transport, std::vector<OutboundMessage>& batch,
                  const MessageDone& done, unsigned timeoutSeconds, const StopRequested& stop) {
  ignoreSigpipe();
  for (size_t k = 0; k < batch.size(); ++k) {
    if (stop && stop()) {
      batch[k].outcomes.assign(batch[k].recipients.size(), RecipientOutcome());
      setAll(batch[k], RecipientOutcome::kDeferred, "4.3.0", std::string("Not sent: ") + kTransportStoppedText);
      done(k);
      continue;
    }
    sendOne(transport.path, batch[k], timeoutSeconds ? timeoutSeconds : 30 * 60, stop);
    done(k);
  }
}

}  // namespace tmapi
