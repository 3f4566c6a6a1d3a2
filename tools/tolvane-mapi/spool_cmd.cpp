// tolvane-mapi spool run PROFILE [--flush]
// tolvane-mapi spool flush PROFILE          (run --flush)
// tolvane-mapi spool list PROFILE
// tolvane-mapi spool daemon                 (spool_daemon.cpp)
//
// `run` sends what the profile's submission queue holds (for a timer or
// cron; a logged-on session does the same in the background) and prints
// one line per message, tab-separated: the outcome (sent, queued: left for
// a later attempt, skipped: another spooler has it), the queue number, the
// subject and a remark. --flush also sends the messages that wait for their
// next attempt.
//
// `list` prints the queue and the outgoing folder, one line each,
// tab-separated; after each queued message a line per recipient:
//   queue  ID  STATE  QUEUED  ATTEMPTS  NEXT-ATTEMPT  DONE/RECIPIENTS  SUBJECT  LAST-ERROR
//   recipient  ID  ADDRESS  STATE  STATUS  LAST-REPLY
//   outgoing  WRITTEN  SENDER  RECIPIENTS  SIZE  FILE
// Times are UTC; "-" stands for an empty value.
//
// Exit codes (sysexits): 0 done, nothing left in the queue; 75 something
// is still queued (a temporary failure, a message not due yet, another
// spooler's) or the store is busy: run again later; 64 usage, 67 no such
// profile, 74 the store cannot be read. `list` exits 0 when it could read.
// `daemon` runs `run` for every profile of the home whenever a message is
// queued or due, until SIGTERM or SIGINT (exit 0); its own exit codes are
// at the top of spool_daemon.cpp.
#include "commands.h"

#include <tolvane/spool.h>

#include <mapicode.h>

#include <ctime>
#include <iostream>

// Tabs and line breaks would break the line format.
std::string printableField(const std::string& value) {
  if (value.empty()) return "-";
  // Texts here come from servers and messages: a control character (an escape
  // sequence could retitle or clear the terminal) is shown as \xHH, the C1
  // controls of UTF-8 as \u00HH; tabs and line breaks become blanks.
  std::string out;
  static const char hex[] = "0123456789abcdef";
  for (size_t i = 0; i < value.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(value[i]);
    unsigned char next = i + 1 < value.size() ? static_cast<unsigned char>(value[i + 1]) : 0;
    if (c == '\t' || c == '\n' || c == '\r') {
      out += ' ';
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {
      out += "\\u00";
      out += hex[next >> 4];
      out += hex[next & 15];
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

namespace {

const int kUsageError = 64;
const int kNoUser = 67;
const int kIoError = 74;
const int kTempFail = 75;

int exitCodeOf(HRESULT hr) {
  if (hr == MAPI_E_LOGON_FAILED) return kNoUser;
  if (hr == MAPI_E_BUSY) return kTempFail;
  return kIoError;
}

std::string timeText(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

int run(const std::vector<std::string>& args, bool flush) {
  std::string profile;
  mapispool::RunOptions options;
  options.flush = flush;
  for (const auto& a : args) {
    if (a == "--flush") {
      options.flush = true;
    } else if (a.rfind("-", 0) == 0 || !profile.empty()) {
      toolError("spool run: unexpected argument '" + a + "'");
      return kUsageError;
    } else {
      profile = a;
    }
  }
  if (profile.empty()) {
    toolError("spool run needs a PROFILE");
    return kUsageError;
  }
  mapispool::RunResult result;
  std::string error;
  HRESULT hr = mapispool::run(profile, options, result, error);
  for (const auto& line : result.lines) {
    std::string outcome, remark = line.detail;
    switch (line.outcome) {
      case mapispool::RunLine::kSent:
        outcome = "sent";
        if (line.reports)
          remark = std::to_string(line.reports) + " recipient" + (line.reports == 1 ? "" : "s") +
                   " could not be reached: a non-delivery report is in the Inbox";
        break;
      case mapispool::RunLine::kDeferred:
        outcome = "queued";
        break;
      case mapispool::RunLine::kTakenOver:
        outcome = "skipped";
        remark = "another spooler has taken the message over";
        break;
    }
    std::cout << outcome << "\t" << line.id << "\t" << printableField(line.subject) << "\t" << printableField(remark) << "\n";
  }
  if (FAILED(hr)) {
    toolError("spool run: " + error);
    return exitCodeOf(hr);
  }
  // What the queue still holds, whatever the reason: a timer runs again.
  std::vector<mapispool::QueuedMessage> left;
  hr = mapispool::listQueue(profile, left, error);
  if (FAILED(hr)) return kTempFail;
  return left.empty() ? 0 : kTempFail;
}

int list(const std::vector<std::string>& args) {
  if (args.size() != 1 || args[0].rfind("-", 0) == 0) {
    toolError(args.empty() ? "spool list needs a PROFILE" : "spool list: unexpected argument '" + args.back() + "'");
    return kUsageError;
  }
  std::vector<mapispool::QueuedMessage> queued;
  std::string error;
  HRESULT hr = mapispool::listQueue(args[0], queued, error);
  if (FAILED(hr)) {
    toolError("spool list: " + error);
    return exitCodeOf(hr);
  }
  for (const auto& m : queued) {
    std::cout << "queue\t" << m.id << "\t" << mapispool::stateName(m.state) << "\t" << timeText(m.queuedAt) << "\t"
              << m.attempts << "\t" << timeText(m.nextAttempt) << "\t" << m.recipientsDone << "/" << m.recipients
              << "\t" << printableField(m.subject) << "\t" << printableField(m.lastError) << "\n";
    for (const auto& r : m.recipientList)
      std::cout << "recipient\t" << m.id << "\t" << printableField(r.address) << "\t" << r.state << "\t" << printableField(r.status)
                << "\t" << printableField(r.reply) << "\n";
  }
  std::vector<mapispool::OutgoingMessage> outgoing;
  hr = mapispool::listOutgoing(args[0], outgoing, error);
  if (FAILED(hr)) {
    toolError("spool list: " + error);
    return kIoError;
  }
  for (const auto& m : outgoing) {
    std::string recipients;
    for (const auto& r : m.recipients) recipients += (recipients.empty() ? "" : ",") + r;
    std::cout << "outgoing\t" << timeText(m.written) << "\t" << printableField(m.sender) << "\t" << printableField(recipients) << "\t"
              << m.size << "\t" << m.path << (m.envelopePath.empty() ? " (no envelope yet)" : "") << "\n";
  }
  return 0;
}

}  // namespace

int spoolCommand(const std::vector<std::string>& args) {
  if (args.empty()) {
    toolError("spool needs a subcommand: run, flush, list or daemon");
    return kUsageError;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "run") return run(rest, false);
  if (args[0] == "flush") return run(rest, true);
  if (args[0] == "list") return list(rest);
  if (args[0] == "daemon") return spoolDaemon(rest);
  toolError("unknown spool subcommand '" + args[0] + "'");
  return kUsageError;
}
