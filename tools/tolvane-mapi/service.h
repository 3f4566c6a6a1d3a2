// What the long-running subcommands (spool daemon, lmtp) share: the signals
// that stop them or have them reread the profiles, and log lines on stderr.
#ifndef TOLVANE_TOOL_SERVICE_H
#define TOLVANE_TOOL_SERVICE_H

#include <atomic>
#include <cstddef>
#include <string>

namespace service {

// Set by SIGTERM or SIGINT, and by SIGHUP.
extern std::atomic<bool> stopRequested;
extern std::atomic<bool> rereadRequested;

// Makes the pipe a signal writes a byte to (its read end, non-blocking, in
// wakeFd, for the main loop to poll) and installs the handlers of SIGTERM,
// SIGINT and SIGHUP; SIGPIPE is ignored (a log reader or client that went
// away ends nothing half way). False with errno set when the pipe cannot be
// made.
bool catchSignals(int& wakeFd);

// "tolvane-mapi: WHO: TEXT" on stderr, in one write, so that the lines of
// several threads do not mix.
void logLine(const char* who, const std::string& text);

// Writes all of the bytes (a write that is interrupted goes on); false when
// the descriptor refuses them.
bool writeAll(int fd, const char* data, size_t size);

}  // namespace service

#endif
