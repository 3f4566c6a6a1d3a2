#include "lmtp_mailboxes.h"

#include "commands.h"
#include "service.h"

#include <tolvane/profiles.h>

#include <mapicode.h>

#include <glib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

LmtpMailboxes::~LmtpMailboxes() {
  if (m_journal >= 0) ::close(m_journal);
}

bool LmtpMailboxes::load(std::string& error) {
  std::vector<mapiprofile::Profile> profiles;
  if (FAILED(mapiprofile::list(profiles, error))) return false;
  std::map<std::string, std::string> byAddress;
  for (const auto& p : profiles) {
    if (p.address.empty()) continue;
    byAddress.emplace(lowerCase(p.address), p.name);  // name order: the first keeps it
  }
  std::lock_guard<std::mutex> lock(m_mu);
  m_byAddress.swap(byAddress);
  // A profile gone or changed is opened afresh when next used.
  m_slots.clear();
  return true;
}

std::string LmtpMailboxes::profileOf(const std::string& address) {
  std::lock_guard<std::mutex> lock(m_mu);
  auto it = m_byAddress.find(lowerCase(address));
  return it == m_byAddress.end() ? std::string() : it->second;
}

size_t LmtpMailboxes::count() {
  std::lock_guard<std::mutex> lock(m_mu);
  return m_byAddress.size();
}

mapimime::DeliveryResult LmtpMailboxes::deliver(const std::string& profile, int fd) {
  std::shared_ptr<Slot> slot;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    auto& s = m_slots[profile];
    if (!s) s = std::make_shared<Slot>();
    slot = s;
  }
  // Group commit: messages for one profile that arrive while its store is
  // busy wait together, and the next of them to find it free stores them
  // all in one transaction with one sync.
  // The message is read on this connection's thread; only storing waits for
  // the store. A message that is not mail needs no store at all.
  Pending me;
  if (lseek(fd, 0, SEEK_SET) < 0) {
    me.result.failure = mapimime::DeliveryFailure::kInput;
    me.result.hr = MAPI_E_DISK_ERROR;
    me.result.error = std::string("Cannot read the message kept: ") + strerror(errno);
    return me.result;
  }
  mapimime::MailDelivery::parseFd(fd, me.parsed);
  if (!me.parsed.ok && me.parsed.result.failure == mapimime::DeliveryFailure::kNotAMessage) return me.parsed.result;
  std::unique_lock<std::mutex> lock(slot->mu);
  slot->queue.push_back(&me);
  while (!me.done) {
    if (slot->busy) {
      slot->cv.wait(lock);
      continue;
    }
    slot->busy = true;
    std::vector<Pending*> batch;
    while (!slot->queue.empty() && batch.size() < mapimime::MailDelivery::kBatchFiles) {
      batch.push_back(slot->queue.front());
      slot->queue.pop_front();
    }
    lock.unlock();
    try {
      store(profile, *slot, batch);
    } catch (...) {
      // Whatever went wrong (memory, say), the group is answered and the store
      // is free again: nobody waits for ever on a mailbox.
      for (Pending* p : batch) {
        p->result.failure = mapimime::DeliveryFailure::kStore;
        p->result.hr = MAPI_E_CALL_FAILED;
        p->result.error = "The store failed unexpectedly";
      }
      slot->delivery.reset();
    }
    lock.lock();
    for (Pending* p : batch) p->done = true;
    slot->busy = false;
    slot->cv.notify_all();
  }
  return me.result;
}

void LmtpMailboxes::store(const std::string& profile, Slot& slot, const std::vector<Pending*>& batch) {
  if (!slot.delivery) {
    std::unique_ptr<mapimime::MailDelivery> d(new mapimime::MailDelivery);
    std::string error;
    HRESULT hr = d->open(profile, error);
    if (FAILED(hr)) {
      for (Pending* p : batch) {
        p->result.failure = mapimime::DeliveryFailure::kStore;
        p->result.hr = hr;
        p->result.error = error;
      }
      return;
    }
    slot.delivery = std::move(d);
  }
  std::vector<mapimime::MailDelivery::Parsed*> parsed;
  for (Pending* p : batch) parsed.push_back(&p->parsed);
  std::vector<mapimime::DeliveryResult> results = slot.delivery->storeParsed(parsed);
  bool storeFailed = false;
  for (size_t k = 0; k < batch.size(); ++k) {
    batch[k]->result = results[k];
    storeFailed = storeFailed || results[k].failure == mapimime::DeliveryFailure::kStore;
  }
  // A store that failed is opened again for the next message: what broke
  // (a replaced file, a lost connection) may have been mended meanwhile.
  if (storeFailed) slot.delivery.reset();
}

bool LmtpMailboxes::delivered(const std::string& profile, const std::string& key) {
  std::string entry = digestOf(profile, key);
  std::lock_guard<std::mutex> lock(m_mu);
  return m_seen.count(entry) != 0;
}

void LmtpMailboxes::remember(const std::string& profile, const std::string& key) {
  std::string entry = digestOf(profile, key);
  std::lock_guard<std::mutex> lock(m_mu);
  if (!add(entry)) return;
  if (m_journal >= 0) {
    std::string line = entry + "\n";
    if (!service::writeAll(m_journal, line.data(), line.size()))
      service::logLine("lmtp", "cannot write " + printableField(m_journalPath) + ": " + strerror(errno));
    if (++m_journalLines > 2 * kRemembered) compact();
  }
}

void LmtpMailboxes::openJournal(const std::string& path) {
  m_journalPath = path;
  FILE* in = fopen(path.c_str(), "re");
  if (in) {
    char line[128];
    while (fgets(line, sizeof line, in)) {
      std::string entry(line);
      while (!entry.empty() && (entry.back() == '\n' || entry.back() == '\r')) entry.pop_back();
      if (entry.size() == 64 && entry.find_first_not_of("0123456789abcdef") == std::string::npos) add(entry);
      ++m_journalLines;
    }
    fclose(in);
  }
  m_journal = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (m_journal < 0) service::logLine("lmtp", "cannot keep the deliveries in " + printableField(path) + ": " + strerror(errno));
  else if (m_journalLines > kRemembered) compact();
}

void LmtpMailboxes::closeAll() {
  std::lock_guard<std::mutex> lock(m_mu);
  m_slots.clear();
}

std::string LmtpMailboxes::digestOf(const std::string& profile, const std::string& key) {
  std::string text = profile + '\n' + key;
  gchar* hex = g_compute_checksum_for_data(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(text.data()),
                                           text.size());
  std::string out = hex;
  g_free(hex);
  return out;
}

bool LmtpMailboxes::add(const std::string& entry) {
  if (!m_seen.insert(entry).second) return false;
  m_order.push_back(entry);
  while (m_order.size() > kRemembered) {
    m_seen.erase(m_order.front());
    m_order.pop_front();
  }
  return true;
}

void LmtpMailboxes::compact() {
  std::string tmp = m_journalPath + ".new";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  std::string all;
  for (const auto& e : m_order) all += e + "\n";
  if (!service::writeAll(fd, all.data(), all.size()) || fsync(fd) != 0 || rename(tmp.c_str(), m_journalPath.c_str()) != 0) {
    ::close(fd);
    unlink(tmp.c_str());
    return;
  }
  ::close(fd);
  ::close(m_journal);
  m_journal = ::open(m_journalPath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
  m_journalLines = m_order.size();
}
