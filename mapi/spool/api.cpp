// The public calls of tolvane/spool.h.
#include <tolvane/spool.h>

#include "spool/local.h"
#include "spool/spooler.h"
#include "store/entryid.h"
#include "store/msgstore.h"

#include <tolvane/profiles.h>

#include <mapicode.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <chrono>
#include <map>
#include <thread>

namespace mapispool {

namespace {

HRESULT loadProfile(const std::string& name, mapiprofile::Profile& profile, std::string& error) {
  HRESULT hr = mapiprofile::load(name, profile, error);
  if (FAILED(hr)) {
    error = "There is no profile '" + name + "'";
    return MAPI_E_LOGON_FAILED;
  }
  return S_OK;
}

// The store of a profile, by the profile's name.
HRESULT openStore(const std::string& name, tmapi::MsgStore** store, std::string& error) {
  mapiprofile::Profile profile;
  HRESULT hr = loadProfile(name, profile, error);
  if (FAILED(hr)) return hr;
  std::string display = profile.displayName.empty() ? profile.name : profile.displayName;
  return tmapi::MsgStore::open(profile.storePath, profile.storeUid, display, profile.address, store, error);
}

int64_t seconds(int64_t ms) { return ms / 1000; }

// PR_ROWID and the address (PR_SMTP_ADDRESS, else PR_EMAIL_ADDRESS) of each
// recipient row of a stored message; empty when it cannot be read.
std::vector<std::pair<ULONG, std::string>> recipientRows(tmapi::MsgStore* store, tmapi::ObjectId message) {
  std::vector<std::pair<ULONG, std::string>> out;
  std::string eid = store->entryIdOf(MAPI_MESSAGE, message);
  ULONG type = 0;
  LPUNKNOWN unk = nullptr;
  if (FAILED(store->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(&eid[0]), nullptr, 0,
                              &type, &unk)))
    return out;
  LPMESSAGE msg = reinterpret_cast<LPMESSAGE>(unk);
  LPMAPITABLE table = nullptr;
  if (SUCCEEDED(msg->GetRecipientTable(0, &table))) {
    const ULONG kSmtpAddressA = PROP_TAG(PT_STRING8, 0x39FE);
    SizedSPropTagArray(3, columns) = {3, {PR_ROWID, kSmtpAddressA, PR_EMAIL_ADDRESS_A}};
    LPSRowSet rows = nullptr;
    if (SUCCEEDED(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows))) {
      for (ULONG i = 0; i < rows->cRows; ++i) {
        const SPropValue* v = rows->aRow[i].lpProps;
        if (v[0].ulPropTag != PR_ROWID) continue;
        std::string address;
        if (v[1].ulPropTag == kSmtpAddressA && v[1].Value.lpszA) address = reinterpret_cast<const char*>(v[1].Value.lpszA);
        else if (v[2].ulPropTag == PR_EMAIL_ADDRESS_A && v[2].Value.lpszA)
          address = reinterpret_cast<const char*>(v[2].Value.lpszA);
        out.emplace_back(v[0].Value.ul, address);
      }
      FreeProws(rows);
    }
    table->Release();
  }
  msg->Release();
  return out;
}

}  // namespace

const char* stateName(State state) {
  switch (state) {
    case State::kQueued:
      return "queued";
    case State::kSending:
      return "sending";
    case State::kRetrying:
      return "retrying";
  }
  return "queued";
}

HRESULT run(const std::string& profile, const RunOptions& options, RunResult& result, std::string& error) {
  result = RunResult();
  mapiprofile::Profile p;
  HRESULT hr = loadProfile(profile, p, error);
  if (FAILED(hr)) return hr;
  tmapi::Spooler spooler(p);
  return spooler.runPass(options.flush, options.stop, result, error);
}

HRESULT listQueue(const std::string& profile, std::vector<QueuedMessage>& messages, std::string& error) {
  messages.clear();
  tmapi::MsgStore* store = nullptr;
  HRESULT hr = openStore(profile, &store, error);
  if (FAILED(hr)) return hr;
  tmapi::StoreDb& db = *store->db();
  std::vector<tmapi::StoreDb::QueueEntry> entries;
  hr = db.queueEntries(entries);
  const tmapi::StoreDb::LeaseTime leaseNow = tmapi::StoreDb::LeaseTime::now();
  for (size_t k = 0; SUCCEEDED(hr) && k < entries.size(); ++k) {
    const auto& e = entries[k];
    QueuedMessage m;
    m.id = e.id;
    m.entryId = store->entryIdOf(MAPI_MESSAGE, e.message);
    m.queuedAt = seconds(e.queuedAt);
    m.nextAttempt = seconds(e.nextAttempt);
    m.attempts = static_cast<unsigned>(e.attempts);
    m.lastError = e.lastError;
    if (e.heldAt(leaseNow)) m.state = State::kSending;
    else if (e.attempts > 0) m.state = State::kRetrying;
    tmapi::PropRow values;
    hr = db.getProps(e.message, {PR_SUBJECT_A}, 64 * 1024, values);
    if (FAILED(hr)) break;
    if (PROP_TYPE(values[0].tag) == PT_STRING8) m.subject = values[0].bytes;
    ULONG recipients = 0;
    hr = db.countChildren(e.message, MAPI_MAILUSER, false, recipients);
    if (FAILED(hr)) break;
    m.recipients = recipients;
    std::vector<tmapi::StoreDb::QueueRecipient> done;
    hr = db.queueRecipients(e.id, done);
    if (FAILED(hr)) break;
    std::map<ULONG, const tmapi::StoreDb::QueueRecipient*> progress;
    for (const auto& d : done) {
      progress[d.rowId] = &d;
      if (d.state != tmapi::StoreDb::kRecipientWaiting) ++m.recipientsDone;
    }
    for (const auto& row : recipientRows(store, e.message)) {
      QueuedRecipient r;
      r.address = row.second;
      r.state = "waiting";
      auto it = progress.find(row.first);
      if (it != progress.end()) {
        const auto& d = *it->second;
        r.state = d.state == tmapi::StoreDb::kRecipientDelivered ? "delivered"
                  : d.state == tmapi::StoreDb::kRecipientFailed  ? "failed"
                                                                  : "deferred";
        r.status = d.status;
        r.reply = d.detail;
        if (r.address.empty()) r.address = d.address;
      }
      m.recipientList.push_back(std::move(r));
    }
    messages.push_back(std::move(m));
  }
  if (FAILED(hr)) error = db.lastError();
  store->Release();
  return hr;
}

HRESULT queueState(const std::string& profile, uint64_t& count, int64_t& earliestMs, std::string& error) {
  count = 0;
  earliestMs = 0;
  tmapi::MsgStore* store = nullptr;
  HRESULT hr = openStore(profile, &store, error);
  if (FAILED(hr)) return hr;
  hr = store->db()->queueState(count, earliestMs);
  if (FAILED(hr)) error = store->db()->lastError();
  store->Release();
  return hr;
}

std::string outgoingDir(const std::string& profile) { return tmapi::outgoingDirOf(profile); }

HRESULT listOutgoing(const std::string& profile, std::vector<OutgoingMessage>& messages, std::string& error) {
  messages.clear();
  mapiprofile::Profile p;
  HRESULT hr = loadProfile(profile, p, error);
  if (FAILED(hr)) return hr;
  return tmapi::readOutgoing(tmapi::outgoingDirOf(p.name), messages, error);
}

HRESULT waitForEmptyQueue(const std::string& profile, unsigned timeoutMs, std::string& error) {
  tmapi::MsgStore* store = nullptr;
  HRESULT hr = openStore(profile, &store, error);
  if (FAILED(hr)) return hr;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  uint64_t count = 0;
  int64_t earliest = 0;
  while (true) {
    hr = store->db()->queueState(count, earliest);
    if (FAILED(hr) && hr != MAPI_E_BUSY) {
      error = store->db()->lastError();
      break;
    }
    if (SUCCEEDED(hr) && count == 0) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      hr = MAPI_E_TIMEOUT;
      error = "The submission queue of '" + profile + "' still holds " + std::to_string(count) + " message" +
              (count == 1 ? "" : "s") + " after " + std::to_string(timeoutMs) + " ms";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  store->Release();
  return hr;
}

}  // namespace mapispool
