// Sending mail from the Linux MAPI subsystem (not part of the Windows SDK;
// used by the tolvane-mapi tool, tests and benchmarks).
//
// IMessage::SubmitMessage puts a message into its store's submission queue
// in the transaction that marks it submitted. A spooler then converts it to
// MIME and hands it to the profile's transport (profiles.h). Spoolers run
//   - in the background of a process that has a session logged on to the
//     profile: a thread started by the first SubmitMessage of the session's
//     profile, woken by each one, stopped by the last Logoff (after the
//     message in hand); TOLVANE_MAPI_SPOOLER=off or
//     mapitest::setBackgroundSpooler(false) keeps it from starting;
//   - in the foreground: run() below (`tolvane-mapi spool run PROFILE`, for
//     a timer or cron, and `tolvane-mapi spool daemon`, which runs it for
//     every profile of the home whenever a message is queued or due).
// Any number of spoolers may work on one store at once: each takes a
// message with a lease in a transaction before sending it, so a message is
// never sent by two of them at once.
//
// For every recipient the transport takes, the queue records the progress,
// so a retry does not send again to those recipients. When every recipient
// is done (delivered, or failed for good), one store transaction of the
// sender's store moves the message to the folder of PR_SENTMAIL_ENTRYID
// (marked read, no longer submitted or unsent), or deletes it when
// PR_DELETE_AFTER_SUBMIT is true, puts a non-delivery report
// (REPORT.IPM.Note.NDR) for the failed recipients into the sender's Inbox
// and removes the message from the queue. A temporary failure (a store
// busy, out of descriptors, a 4xx reply, no connection, EX_TEMPFAIL) leaves the
// message queued with its error, for another attempt after a pause that
// grows with each attempt (one minute, doubling, at most an hour); after
// five days the recipients still waiting get a non-delivery report (both
// settings of the profile: retry_after, queue_lifetime).
//
// The transports: `local` (local.h), and the network transports
// (spool/transport.h): SMTP through libESMTP and a sendmail program. They
// get a batch of messages; the verdict on each recipient is committed to the
// queue as soon as the server has given it (accepted, refused for good,
// refused for a while), so that what a server accepted is not sent again.
#ifndef TOLVANE_SPOOL_H
#define TOLVANE_SPOOL_H

#include <mapidefs.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace mapispool {

struct RunOptions {
  // Also send messages that wait for their next attempt (not only those
  // whose time has come).
  bool flush = false;
  // Asked between messages and, while a transport works, now and then from
  // any thread: true ends the run within moments (a program or connection
  // in hand is stopped); what was not accepted yet stays queued for its
  // next attempt. Empty: the run goes on to the end.
  std::function<bool()> stop;
};

// What became of one message in a run.
struct RunLine {
  enum Outcome {
    kSent,      // every recipient done; the message is sent (or deleted)
    kDeferred,  // left queued after a temporary failure (detail says why)
    kTakenOver  // another spooler took the message over during the run
  };
  Outcome outcome = kSent;
  int64_t id = 0;  // queue entry
  std::string subject;
  std::string detail;
  unsigned reports = 0;  // recipients listed in a non-delivery report
};

struct RunResult {
  std::vector<RunLine> lines;
};

// Sends what the profile's queue holds now, in the order it was queued.
// Fails (with a sentence in error) only when the queue itself cannot be
// read: MAPI_E_LOGON_FAILED for an unknown profile, MAPI_E_BUSY when the
// store stayed locked; failures of single messages are in result.
HRESULT run(const std::string& profile, const RunOptions& options, RunResult& result, std::string& error);

// The queue.
enum class State {
  kQueued,    // waiting for its first attempt
  kSending,   // a spooler holds it now
  kRetrying,  // an attempt failed for a while (lastError); next at nextAttempt
};
const char* stateName(State state);  // "queued", "sending", "retrying"

// A recipient of a queued message and where it stands.
struct QueuedRecipient {
  std::string address;
  std::string state;   // "waiting" (not tried yet), "deferred" (refused for a while), "delivered", "failed"
  std::string status;  // enhanced status code of the last reply
  std::string reply;   // the last reply (the server's, or why the spooler failed)
};

struct QueuedMessage {
  int64_t id = 0;
  std::string entryId;  // of the message (PR_ENTRYID bytes)
  std::string subject;
  State state = State::kQueued;
  int64_t queuedAt = 0;     // seconds since 1970 (UTC)
  int64_t nextAttempt = 0;  // seconds since 1970 (UTC)
  unsigned attempts = 0;    // failed attempts so far
  std::string lastError;
  unsigned recipients = 0;      // rows of the recipient table
  unsigned recipientsDone = 0;  // delivered or failed for good
  std::vector<QueuedRecipient> recipientList;  // in the order of the recipient table
};

HRESULT listQueue(const std::string& profile, std::vector<QueuedMessage>& messages, std::string& error);

// How many messages the profile's queue holds and the earliest time
// (milliseconds since 1970, UTC; 0 when the queue is empty) at which a
// spooler may take one of them: its next attempt, or the end of the lease
// another spooler holds on it. Reads only; MAPI_E_BUSY when the store
// stayed locked.
HRESULT queueState(const std::string& profile, uint64_t& count, int64_t& earliestMs, std::string& error);

// The outgoing folder of the local transport: mail for addresses outside
// the home, one RFC 5322 file NAME.eml per message exactly as it would be
// sent, and its envelope beside it in NAME.envelope ("Sender: ADDR",
// "Recipient: ADDR" lines and the Message-ID). A network transport takes
// the pairs that have an envelope. Files are readable by their owner only.
struct OutgoingMessage {
  std::string path;          // the .eml
  std::string envelopePath;  // "" when the envelope is missing
  std::string sender;
  std::vector<std::string> recipients;
  std::string messageId;
  uint64_t size = 0;
  int64_t written = 0;  // seconds since 1970 (UTC)
};

std::string outgoingDir(const std::string& profile);
HRESULT listOutgoing(const std::string& profile, std::vector<OutgoingMessage>& messages, std::string& error);

// Waits until the profile's queue is empty (the background spooler has
// sent everything, for example): S_OK, or MAPI_E_TIMEOUT after timeoutMs
// with the queue's state in error.
HRESULT waitForEmptyQueue(const std::string& profile, unsigned timeoutMs, std::string& error);

}  // namespace mapispool

#endif  // TOLVANE_SPOOL_H
