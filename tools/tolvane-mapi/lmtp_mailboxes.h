// The recipients a `tolvane-mapi lmtp` server knows: the profiles of the
// home by address, an open MailDelivery per profile shared by the
// connections, and the deliveries remembered against retries.
#ifndef TOLVANE_TOOLS_LMTP_MAILBOXES_H
#define TOLVANE_TOOLS_LMTP_MAILBOXES_H

#include <deliver.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class LmtpMailboxes {
 public:
  // Deliveries remembered against retries.
  static const size_t kRemembered = 10000;

  LmtpMailboxes() = default;
  ~LmtpMailboxes();
  LmtpMailboxes(const LmtpMailboxes&) = delete;
  LmtpMailboxes& operator=(const LmtpMailboxes&) = delete;

  // Reads the profile list; false with the reason when it cannot (the old
  // list stays). The stores are opened afresh when next used.
  bool load(std::string& error);
  // The profile whose address it is (case-insensitive; of two profiles
  // with one address the first in name order), or "".
  std::string profileOf(const std::string& address);
  // How many addresses are known.
  size_t count();

  // Delivers the message in fd (read from its start) into the profile's
  // receive folder, with the profile's MailDelivery (opened on first use
  // and kept open; opened again after a store failure, which may have been
  // mended meanwhile). Messages for one profile that arrive together on
  // several connections are stored in one transaction with one sync; each
  // caller returns once its message is committed (or refused).
  mapimime::DeliveryResult deliver(const std::string& profile, int fd);

  // Whether (profile, key) was delivered already; key is the Message-ID
  // and the hash of the data.
  bool delivered(const std::string& profile, const std::string& key);
  // Remembers a delivery (the last kRemembered), also in the journal.
  void remember(const std::string& profile, const std::string& key);

  // Keeps the remembered deliveries in a file as well, so that a retry
  // after a restart of the server is recognized too: one line per
  // delivery, the SHA-256 of profile, Message-ID and the data's hash,
  // written after the store's commit and before the reply, without a sync
  // of its own. Reads what the file holds first.
  void openJournal(const std::string& path);

  // Closes every store.
  void closeAll();

 private:
  static std::string digestOf(const std::string& profile, const std::string& key);
  // Adds an entry to the memory (under m_mu); false when it was there.
  bool add(const std::string& entry);
  // Writes the remembered entries to a new file that replaces the journal
  // (under m_mu).
  void compact();

  // A message waiting for its profile's store.
  struct Pending {
    mapimime::MailDelivery::Parsed parsed;
    mapimime::DeliveryResult result;
    bool done = false;
  };
  struct Slot {
    std::mutex mu;  // guards queue and busy
    std::condition_variable cv;
    std::deque<Pending*> queue;
    bool busy = false;  // a caller is storing a batch (it alone uses delivery)
    std::unique_ptr<mapimime::MailDelivery> delivery;
  };
  // Stores a batch with the slot's delivery; called by the caller that
  // marked the slot busy, without the slot's mutex.
  static void store(const std::string& profile, Slot& slot, const std::vector<Pending*>& batch);
  std::mutex m_mu;
  std::map<std::string, std::string> m_byAddress;
  std::map<std::string, std::shared_ptr<Slot>> m_slots;
  std::set<std::string> m_seen;
  std::deque<std::string> m_order;
  std::string m_journalPath;
  int m_journal = -1;
  size_t m_journalLines = 0;
};

#endif
