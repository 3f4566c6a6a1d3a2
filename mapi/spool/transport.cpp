// What the network transports share, and the entry of the SMTP transport,
// whose libraries (libESMTP, OpenSSL) are loaded only by a process that sends
// over SMTP: smtp.cpp is the module libtolvane-mapi-smtp.so
// (runtime/modules.h).
#include "spool/transport.h"

#include "runtime/modules.h"

#include <csignal>
#include <mutex>

namespace tmapi {

std::string enhancedStatus(int code, int cls, int subject, int detail) {
  if (cls >= 2 && cls <= 5)
    return std::to_string(cls) + "." + std::to_string(subject) + "." + std::to_string(detail);
  int c = code / 100;
  if (c < 2 || c > 5) c = 4;
  return std::to_string(c) + ".0.0";
}

void ignoreSigpipe() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction old;
    if (sigaction(SIGPIPE, nullptr, &old) == 0 && !(old.sa_flags & SA_SIGINFO) && old.sa_handler == SIG_DFL)
      signal(SIGPIPE, SIG_IGN);
  });
}

const char* const kTransportStoppedText =
    "the spooler was stopped (its session logged off or the process is ending); the message waits for another attempt";

void sendSmtp(const mapiprofile::Profile& profile, const mapiprofile::Transport& transport,
              std::vector<OutboundMessage>& batch, const MessageDone& done, const StopRequested& stop) {
  using Send = void(const mapiprofile::Profile*, const mapiprofile::Transport*, std::vector<OutboundMessage>*,
                    const MessageDone*, const StopRequested*);
  std::string error;
  Send* send = moduleFunction<Send>("smtp", "tolvane_smtp_send", error);
  if (send) {
    send(&profile, &transport, &batch, &done, &stop);
    return;
  }
  // Without its module nothing can be sent now: every recipient waits, and
  // the reason is what the queue and the log keep.
  for (size_t k = 0; k < batch.size(); ++k) {
    RecipientOutcome waiting;
    waiting.kind = RecipientOutcome::kDeferred;
    waiting.status = "4.3.0";
    waiting.reply = "The SMTP transport cannot be used: " + error;
    batch[k].outcomes.assign(batch[k].recipients.size(), waiting);
    done(k);
  }
}

}  // namespace tmapi
