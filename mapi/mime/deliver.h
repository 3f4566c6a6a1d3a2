// Delivery of RFC 5322 messages into a folder of a profile's default store:
// what `tolvane-mapi deliver` does for each message, also usable from tests
// and benchmarks.
//
// Each message is one new MAPI message saved with one SaveChanges: either
// all of it is stored or nothing is.
#ifndef TOLVANE_MIME_DELIVER_H
#define TOLVANE_MIME_DELIVER_H

#include <mapidefs.h>
#include <mapix.h>

#include "mailitem.h"

#include <functional>
#include <string>
#include <vector>

typedef struct _GMimeStream GMimeStream;

namespace mapimime {

// Why a delivery failed.
enum class DeliveryFailure {
  kNone,
  kNotAMessage,  // the input is not a message (empty)
  kInput,        // the input could not be read
  kStore,        // the store refused or failed (see the HRESULT)
};

struct DeliveryResult {
  DeliveryFailure failure = DeliveryFailure::kNone;
  HRESULT hr = S_OK;
  std::string error;  // a sentence when failure != kNone
  // What the delivery limits (DeliveryLimits) left out of a delivered
  // message, as its X-Tolvane-Truncated header says it; "" for none.
  std::string truncated;
  // Delivered before with the same delivery key (tolvane/deliverykey.h):
  // not stored again, and no failure.
  bool alreadyStored = false;
  bool ok() const { return failure == DeliveryFailure::kNone; }
};

class MailDelivery {
 public:
  MailDelivery() = default;
  ~MailDelivery();
  MailDelivery(const MailDelivery&) = delete;
  MailDelivery& operator=(const MailDelivery&) = delete;

  // Starts MAPI, logs on to the profile, opens its default store and the
  // store's receive folder for IPM.Note (the Inbox). An unknown profile
  // gives MAPI_E_LOGON_FAILED.
  HRESULT open(const std::string& profile, std::string& error);

  // Opens a folder by a path of display names below "Top of Information
  // Store" ("Inbox", "Inbox/Orders"; '/' or '\' separate) instead of the
  // receive folder.
  HRESULT openFolder(const std::string& path, std::string& error);

  // Delivers the message in a seekable stream.
  DeliveryResult deliverStream(GMimeStream* stream);
  // Delivers the message in a file ("-": standard input).
  DeliveryResult deliverFile(const std::string& path);
  // Delivers the message read from a file descriptor; input that cannot be
  // sought (a pipe) is first copied to a temporary file, so that large
  // attachments never sit in memory.
  DeliveryResult deliverFd(int fd);
  // The two halves of a delivery, for a caller that reads messages on
  // several threads and stores them with one MailDelivery: parseFd reads a
  // message (from the start of fd; no store is touched, any thread may),
  // storeParsed stores messages read so in one transaction with one sync.
  // A batch in which the store failed, or whose commit failed, is undone
  // whole and its messages are read again from their descriptors and
  // stored one by one; a message that could not be read keeps its result.
  struct Parsed {
    int fd = -1;
    bool ok = false;  // item holds the message; else result says why not
    MailItem item;
    DeliveryResult result;
  };
  static void parseFd(int fd, Parsed& parsed);
  std::vector<DeliveryResult> storeParsed(const std::vector<Parsed*>& batch);
  // Delivers several files ("-": standard input), each stored or not on
  // its own, the results in the order of the paths. Files are stored in
  // batches (up to kBatchFiles files or kBatchBytes of input, standard
  // input always alone), each batch one transaction of the store with one
  // sync: a file's result is final once its batch has committed. A batch in
  // which the store failed, or whose commit failed, is undone whole and its
  // files are delivered again one by one, each in its own transaction.
  // progress, when set, is told how many files have their final result
  // each time more have (after each batch, or file stored alone).
  static const size_t kBatchFiles = 32;
  static const uint64_t kBatchBytes = 8 * 1024 * 1024;
  std::vector<DeliveryResult> deliverFiles(const std::vector<std::string>& paths,
                                           const std::function<void(size_t done)>& progress = nullptr);

  LPMDB store() const { return m_store; }
  LPMAPIFOLDER folder() const { return m_folder; }

 private:
  void close();
  static void parseStream(GMimeStream* stream, Parsed& parsed);
  DeliveryResult storeItem(const MailItem& item);
  // One batch: the files [from, to) in one transaction. False when it had
  // to be undone (nothing of it is stored then).
  bool deliverBatch(size_t from, size_t to, const std::function<DeliveryResult(size_t)>& one,
                    std::vector<DeliveryResult>& results);

  bool m_initialized = false;
  LPMAPISESSION m_session = nullptr;
  LPMDB m_store = nullptr;
  LPMAPIFOLDER m_folder = nullptr;
};

// Opens a folder of a store by a path of display names below "Top of
// Information Store"; an empty path gives the receive folder (Inbox).
HRESULT openFolderByPath(LPMDB store, const std::string& path, LPMAPIFOLDER* folder, std::string& error);

// Opens the default store of a logged-on session.
HRESULT openDefaultStore(LPMAPISESSION session, LPMDB* store, std::string& error);

}  // namespace mapimime

#endif
