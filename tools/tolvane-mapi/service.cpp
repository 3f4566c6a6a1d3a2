#include "service.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace service {

std::atomic<bool> stopRequested{false};
std::atomic<bool> rereadRequested{false};

namespace {

int g_wakeWrite = -1;
std::mutex g_logMu;

extern "C" void onSignal(int signo) {
  int saved = errno;
  if (signo == SIGHUP) rereadRequested.store(true);
  else stopRequested.store(true);
  char c = 0;
  // Non-blocking: a full pipe has woken the loop already.
  ssize_t ignored = write(g_wakeWrite, &c, 1);
  (void)ignored;
  errno = saved;
}

}  // namespace

bool catchSignals(int& wakeFd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  wakeFd = fds[0];
  g_wakeWrite = fds[1];
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = onSignal;
  sigfillset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return true;
}

void logLine(const char* who, const std::string& text) {
  std::string line = std::string("tolvane-mapi: ") + who + ": " + text + "\n";
  std::lock_guard<std::mutex> lock(g_logMu);
  writeAll(STDERR_FILENO, line.data(), line.size());
}

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace service
