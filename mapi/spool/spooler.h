// The spooler of one profile: takes the messages of the profile's
// submission queue one by one (each under a lease), converts each to MIME
// once (mapimime::writeMimeMessage) and hands it to the profile's
// transport, recording per recipient what is done; then, in one
// transaction of the sender's store, files the sent message, puts the
// non-delivery report of the failed recipients into the Inbox and removes
// the message from the queue. See tolvane/spool.h.
#ifndef TOLVANE_SPOOL_SPOOLER_H
#define TOLVANE_SPOOL_SPOOLER_H

#include "mime/mimewriter.h"
#include "spool/local.h"
#include "store/storedb.h"

#include <tolvane/profiles.h>
#include <tolvane/spool.h>

#include <mapidefs.h>
#include <mapix.h>

#include <cstdint>
#include <functional>
#include <string>

namespace tmapi {

class MsgStore;

class Spooler {
 public:
  // How long a spooler holds a message before another may take it over
  // (renewed with each recipient done), and the pauses between attempts.
  static constexpr int64_t kLeaseMs = 10 * 60 * 1000;
  static constexpr int64_t kFirstRetryMs = 60 * 1000;
  static constexpr int64_t kLongestRetryMs = 60 * 60 * 1000;
  static constexpr int64_t kGiveUpMs = 5LL * 24 * 60 * 60 * 1000;
  // A network transport sends up to this many messages (and about this many
  // bytes) over one connection.
  static constexpr size_t kBatchMessages = 100;
  static constexpr uint64_t kBatchBytes = 64ULL * 1024 * 1024;

  explicit Spooler(mapiprofile::Profile profile);
  ~Spooler();
  Spooler(const Spooler&) = delete;
  Spooler& operator=(const Spooler&) = delete;

  // One pass over the queue in id order: every message that can be taken
  // now (flush: also those waiting for their next attempt). stop is asked
  // between messages. Fails only when the queue cannot be read.
  HRESULT runPass(bool flush, const std::function<bool()>& stop, mapispool::RunResult& result, std::string& error);

  // The number of queued messages and the earliest time (ms since 1970)
  // at which one of them can be taken.
  HRESULT queueState(uint64_t& count, int64_t& earliest, std::string& error);

  // The pause before attempt number `attempts + 1`: `first` (ms), doubling
  // with each attempt, at most an hour (or `first` when that is longer).
  static int64_t retryDelay(int64_t attempts, int64_t first = kFirstRetryMs);

 private:
  HRESULT open(std::string& error);
  mapispool::RunLine send(const StoreDb::QueueEntry& entry);
  // The smtp/smtps/sendmail transports: batches of messages, each message's
  // recipients recorded as soon as the server has given its verdict.
  struct Outbound;
  HRESULT runNetwork(const mapiprofile::Transport& transport, bool flush, const std::function<bool()>& stop,
                     mapispool::RunResult& result, std::string& error);
  // Opens, converts and routes a taken message; false when the message is
  // already concluded (line set).
  bool prepare(Outbound& item, const mapiprofile::Transport& transport);
  void recordOutcome(Outbound& item);
  mapispool::RunLine conclude(Outbound& item);
  int64_t firstRetryMs() const;
  int64_t lifetimeMs() const;
  std::string lifetimeText() const;  // "5 days"
  // Writes the message as MIME into a new private temporary file.
  // crlf: lines end in CRLF (SMTP's form), else in LF.
  HRESULT writeMime(IMessage* message, TempFile& file, mapimime::OutgoingEnvelope& envelope, bool crlf,
                    std::string& error);
  // A message that could not be written as MIME: kept queued while that may
  // pass (a full disk), reported to the sender as undeliverable when it
  // cannot (permanent: the message names no sender, nests too deep) or once
  // its lifetime is over; every recipient still waiting gets the report.
  mapispool::RunLine unwritable(const StoreDb::QueueEntry& entry, IMessage* message, mapispool::RunLine line,
                                HRESULT hr, const std::string& why);
  // Ends an attempt that failed for a while: the message stays queued.
  mapispool::RunLine defer(const StoreDb::QueueEntry& entry, mapispool::RunLine line, const std::string& why);
  HRESULT finish(const StoreDb::QueueEntry& entry, IMessage* message, const std::string& senderAddress,
                 unsigned& reports, std::string& error);

  mapiprofile::Profile m_profile;
  MsgStore* m_store = nullptr;
  LPADRBOOK m_addrBook = nullptr;
  std::string m_owner;  // this spooler's name in the leases it takes
  LocalDeliveries m_deliveries;  // logons to the local mailboxes, kept for the pass
};

int64_t nowMs();
// How long a lease lasts (Spooler::kLeaseMs unless a test shortens it).
int64_t leaseMs();

}  // namespace tmapi

#endif
