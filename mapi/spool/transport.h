// The network transports of the spooler: SMTP through libESMTP (smtp://,
// smtps://) and a sendmail-compatible program (sendmail[:PATH]).
//
// The spooler hands a transport a batch of messages, each already written as
// MIME into a private file, with its envelope (sender, recipient addresses).
// The transport reports each message exactly once through `done`, as soon as
// the server's verdict on it is final (for SMTP: right after the reply to the
// message's end of data, while the connection goes on with the next message),
// so that the spooler commits what the server has accepted before it sends
// anything else. Messages that the transport could not bring to a verdict (a
// connection refused or lost) are reported at the end with temporary
// outcomes.
#ifndef TOLVANE_SPOOL_TRANSPORT_H
#define TOLVANE_SPOOL_TRANSPORT_H

#include <tolvane/profiles.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tmapi {

// What became of one recipient address.
struct RecipientOutcome {
  enum Kind {
    kAccepted,  // the server took responsibility for the message
    kRejected,  // refused for good (5xx, a permanent sendmail exit)
    kDeferred   // refused for a while (4xx, no connection, EX_TEMPFAIL)
  };
  Kind kind = kDeferred;
  std::string status;  // enhanced status code ("5.1.1"), derived when the server gave none
  std::string reply;   // what the server (or the program) said, in one line
};

struct OutboundMessage {
  int fd = -1;  // the message, read from offset 0 (CRLF line ends for SMTP)
  uint64_t size = 0;
  std::string sender;                   // envelope sender; "" for <>
  std::vector<std::string> recipients;  // addresses, each once
  std::vector<RecipientOutcome> outcomes;  // filled in by the transport, one per recipient
};

// Called once per message (by index into the batch), outcomes filled in.
using MessageDone = std::function<void(size_t index)>;
// Asked now and then (from any thread) while a transport works: true ends
// its work within moments, whatever the server or program does; what is not
// yet accepted then waits for another attempt. Empty: never.
using StopRequested = std::function<bool()>;
// The reason given to the messages a stop left waiting.
extern const char* const kTransportStoppedText;

// Sends the batch over one SMTP connection (smtp: STARTTLS as the profile
// says, smtps: TLS from the start) with the profile's credentials, if any.
// Never throws, never logs the password; every message is reported.
void sendSmtp(const mapiprofile::Profile& profile, const mapiprofile::Transport& transport,
              std::vector<OutboundMessage>& batch, const MessageDone& done, const StopRequested& stop = {});

// Pipes each message to `PATH -i -f SENDER -- RECIPIENT...` and reads the
// program's exit status (sysexits: EX_TEMPFAIL temporary, other failures
// permanent; a program that cannot be started, or dies of a signal, is a
// temporary failure). A run that takes longer than timeoutSeconds (0: 30
// minutes) is killed, with everything it started, and its message waits.
void sendSendmail(const mapiprofile::Transport& transport, std::vector<OutboundMessage>& batch,
                  const MessageDone& done, unsigned timeoutSeconds = 0, const StopRequested& stop = {});

// The enhanced status code of an SMTP reply: the one it carries, else the
// class of the basic code with 0.0 ("550" -> "5.0.0").
std::string enhancedStatus(int code, int cls, int subject, int detail);

// The transports write to sockets and pipes whose far end may close: a
// SIGPIPE with the default action would end the whole process (a JVM too),
// so it is ignored when nothing else handles it.
void ignoreSigpipe();

}  // namespace tmapi

#endif
