#include "spool/spooler.h"
#include "spool/spoolutil.h"

#include "addrbook/addrbook.h"
#include "mime/mimereader.h"
#include "mime/mimewriter.h"
#include "spool/background.h"
#include "spool/local.h"
#include "spool/ndr.h"
#include "spool/transport.h"
#include "store/entryid.h"
#include "store/msgstore.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <gmime/gmime.h>

#include <chrono>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <unistd.h>

namespace tmapi {

namespace {

// PR_INTERNET_MESSAGE_ID (MS-OXPROPS), 8-bit.
const ULONG kPrInternetMessageIdA = PROP_TAG(PT_STRING8, 0x1035);

// The name of a queued message's file pair in the outgoing folder: the
// same for every attempt, so that a second attempt replaces the pair of a
// first one that was cut short.
std::string outgoingBase(const StoreDb& db, const StoreDb::QueueEntry& entry) {
  time_t t = static_cast<time_t>(entry.queuedAt / 1000);
  struct tm tm;
  gmtime_r(&t, &tm);
  char when[32];
  strftime(when, sizeof when, "%Y%m%dT%H%M%SZ", &tm);
  char uid[9];
  snprintf(uid, sizeof uid, "%02x%02x%02x%02x", db.uid().ab[0], db.uid().ab[1], db.uid().ab[2], db.uid().ab[3]);
  return std::string(when) + "-" + uid + "-" + std::to_string(entry.id);
}

StoreDb::QueueRecipient recipientRecord(const mapimime::EnvelopeRecipient& r, int state, const std::string& status,
                                        const std::string& detail) {
  StoreDb::QueueRecipient q;
  q.rowId = r.rowId;
  q.state = state;
  q.address = r.address;
  q.displayName = r.displayName;
  q.status = status;
  q.detail = detail;
  q.at = nowMs();
  return q;
}

// PR_EMAIL_ADDRESS of each recipient row, by PR_ROWID: what a report
// names for a recipient that has no usable address (what the sender wrote).
std::map<ULONG, std::string> rowAddresses(IMessage* message) {
  std::map<ULONG, std::string> out;
  LPMAPITABLE table = nullptr;
  if (FAILED(message->GetRecipientTable(0, &table))) return out;
  SizedSPropTagArray(2, columns) = {2, {PR_ROWID, PR_EMAIL_ADDRESS_A}};
  LPSRowSet rows = nullptr;
  if (SUCCEEDED(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows))) {
    for (ULONG i = 0; i < rows->cRows; ++i) {
      const SPropValue* v = rows->aRow[i].lpProps;
      if (v[0].ulPropTag == PR_ROWID && v[1].ulPropTag == PR_EMAIL_ADDRESS_A && v[1].Value.lpszA)
        out[v[0].Value.ul] = reinterpret_cast<const char*>(v[1].Value.lpszA);
    }
    FreeProws(rows);
  }
  table->Release();
  return out;
}

}  // namespace

int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t leaseMs() {
  // A test control: shorter leases, so that a test can outlast one.
  static const int64_t ms = [] {
    const char* text = getenv("TOLVANE_MAPI_LEASE_MS");
    long long v = text ? strtoll(text, nullptr, 10) : 0;
    return v > 0 ? static_cast<int64_t>(v) : Spooler::kLeaseMs;
  }();
  return ms;
}

Spooler::Spooler(mapiprofile::Profile profile) : m_profile(std::move(profile)) {
  char host[256] = "";
  if (gethostname(host, sizeof host - 1) != 0) strcpy(host, "localhost");
  std::random_device rd;
  char tag[32];
  snprintf(tag, sizeof tag, "%08x%08x", rd(), rd());
  m_owner = std::string(host) + ":" + std::to_string(getpid()) + ":" + tag;
}

Spooler::~Spooler() {
  if (m_addrBook) m_addrBook->Release();
  if (m_store) m_store->Release();
}

int64_t Spooler::retryDelay(int64_t attempts, int64_t first) {
  if (first <= 0) first = kFirstRetryMs;
  int64_t longest = std::max(kLongestRetryMs, first);
  int64_t delay = first;
  for (int64_t k = 0; k < attempts && delay < longest; ++k) delay *= 2;
  return std::min(delay, longest);
}

int64_t Spooler::firstRetryMs() const {
  return m_profile.retryAfterSeconds ? int64_t{m_profile.retryAfterSeconds} * 1000 : kFirstRetryMs;
}

int64_t Spooler::lifetimeMs() const {
  return m_profile.queueLifetimeSeconds ? int64_t{m_profile.queueLifetimeSeconds} * 1000 : kGiveUpMs;
}

HRESULT Spooler::open(std::string& error) {
  if (m_store) return S_OK;
  std::string display = m_profile.displayName.empty() ? m_profile.name : m_profile.displayName;
  HRESULT hr = MsgStore::open(m_profile.storePath, m_profile.storeUid, display, m_profile.address, &m_store, error);
  if (FAILED(hr)) {
    m_store = nullptr;
    return hr;
  }
  // Without an address book, recipients that only the directory resolves
  // cannot be reached (the writer says so); the rest can.
  if (FAILED(createAddrBook(&m_addrBook))) m_addrBook = nullptr;
  return S_OK;
}

HRESULT Spooler::queueState(uint64_t& count, int64_t& earliest, std::string& error) {
  HRESULT hr = open(error);
  if (FAILED(hr)) return hr;
  hr = m_store->db()->queueState(count, earliest);
  if (FAILED(hr)) error = m_store->db()->lastError();
  return hr;
}

HRESULT Spooler::runPass(bool flush, const std::function<bool()>& stop, mapispool::RunResult& result,
                         std::string& error) {
  HRESULT hr = open(error);
  if (FAILED(hr)) return hr;
  // The profile may have been changed since (`profile set`): its identity
  // and transport are read again for each pass.
  mapiprofile::Profile fresh;
  std::string ignored;
  if (SUCCEEDED(mapiprofile::load(m_profile.name, fresh, ignored)) && fresh.storePath == m_profile.storePath)
    m_profile = fresh;
  mapimime::initMime();
  SpoolingScope scope;
  mapiprofile::Transport transport;
  std::string why;
  if (mapiprofile::parseTransport(m_profile.transport, transport, why) &&
      transport.kind != mapiprofile::Transport::kLocal)
    return runNetwork(transport, flush, stop, result, error);
  // Logons to the mailboxes delivered to are kept for this pass only.
  struct ClearDeliveries {
    LocalDeliveries& d;
    ~ClearDeliveries() { d.clear(); }
  } clearDeliveries{m_deliveries};
  StoreDb& db = *m_store->db();
  int64_t after = 0;
  while (!(stop && stop())) {
    StoreDb::QueueEntry entry;
    bool found = false;
    hr = db.claimQueued(after, !flush, StoreDb::LeaseTime::now(), m_owner, leaseMs(), entry, found);
    if (FAILED(hr)) {
      error = "Cannot take a message from the submission queue: " + db.lastError();
      return hr;
    }
    if (!found) break;
    after = entry.id;
    result.lines.push_back(send(entry));
  }
  return S_OK;
}

mapispool::RunLine Spooler::defer(const StoreDb::QueueEntry& entry, mapispool::RunLine line, const std::string& why) {
  StoreDb& db = *m_store->db();
  int64_t next = nowMs() + retryDelay(entry.attempts, firstRetryMs());
  HRESULT hr = db.deferQueued(entry.id, m_owner, next, why);
  // A store that was busy a moment ago is often free again; else the lease
  // runs out and the message is taken again then.
  if (FAILED(hr) && hr != MAPI_E_OBJECT_CHANGED) hr = db.deferQueued(entry.id, m_owner, next, why);
  if (hr == MAPI_E_OBJECT_CHANGED) {
    line.outcome = mapispool::RunLine::kTakenOver;
    line.detail = db.lastError();
    return line;
  }
  line.outcome = mapispool::RunLine::kDeferred;
  line.detail = why;
  if (FAILED(hr))
    line.detail += " (the queue could not record this attempt: " + db.lastError() +
                   "; the message is taken again when this spooler's lease ends)";
  return line;
}

namespace {

// Where the recipients still waiting go.
struct Routes {
  std::map<std::string, std::vector<const mapimime::EnvelopeRecipient*>> local;  // by profile
  std::vector<const mapimime::EnvelopeRecipient*> outside;
  std::vector<StoreDb::QueueRecipient> failed;  // for good
};

Routes route(const mapimime::OutgoingEnvelope& envelope, const std::set<ULONG>& finished, const LocalAddresses& home,
             IMessage* message) {
  Routes routes;
  std::map<ULONG, std::string> written;  // the addresses as the sender wrote them
  bool haveWritten = false;
  for (const auto& r : envelope.recipients) {
    if (finished.count(r.rowId)) continue;
    if (!r.deliverable || r.address.empty()) {
      if (!haveWritten) {
        written = rowAddresses(message);
        haveWritten = true;
      }
      routes.failed.push_back(recipientRecord(
          r, StoreDb::kRecipientFailed, "5.1.3",
          r.problem.empty() ? "The recipient has no e-mail address that mail can be sent to" : r.problem));
      if (routes.failed.back().address.empty()) routes.failed.back().address = written[r.rowId];
    } else if (std::string profile = home.profileOf(r.address); !profile.empty()) {
      routes.local[profile].push_back(&r);
    } else {
      // Any other address, in a profile's domain too: a domain such as
      // gmail.com is shared with the rest of the world, so that no profile
      // has an address there says nothing about whether it exists.
      routes.outside.push_back(&r);
    }
  }
  return routes;
}

}  // namespace

HRESULT Spooler::writeMime(IMessage* message, TempFile& file, mapimime::OutgoingEnvelope& envelope, bool crlf,
                           std::string& error) {
  HRESULT hr = file.create(mapiprofile::homeDir(), error);
  if (FAILED(hr)) return hr;
  int own = dup(file.fd());  // the stream closes its own descriptor
  if (own < 0) {
    error = "Cannot write the message to its temporary file: " + std::string(strerror(errno));
    return errno == EMFILE || errno == ENFILE ? MAPI_E_NOT_ENOUGH_RESOURCES : MAPI_E_DISK_ERROR;
  }
  GMimeStream* out = g_mime_stream_fs_new(own);
  mapimime::MimeWriteOptions options;
  options.defaultFromName = m_profile.displayName.empty() ? m_profile.name : m_profile.displayName;
  options.defaultFromAddress = m_profile.address;
  options.messageIdDomain = domainOf(m_profile.address);
  options.addrBook = m_addrBook;
  options.crlfLineEnds = crlf;
  std::string text;
  hr = mapimime::writeMimeMessage(message, options, out, envelope, text);
  if (SUCCEEDED(hr) && g_mime_stream_flush(out) != 0) {
    hr = MAPI_E_DISK_ERROR;
    text = "Cannot write the message to its temporary file: " + std::string(strerror(errno));
  }
  g_object_unref(out);
  if (FAILED(hr)) error = "The message could not be converted to MIME: " + text;
  return hr;
}

mapispool::RunLine Spooler::unwritable(const StoreDb::QueueEntry& entry, IMessage* message, mapispool::RunLine line,
                                      HRESULT hr, const std::string& why) {
  bool permanent = hr == MAPI_E_INVALID_PARAMETER || hr == MAPI_E_TOO_COMPLEX;
  if (!permanent && nowMs() - entry.queuedAt < lifetimeMs()) return defer(entry, line, why);
  StoreDb& db = *m_store->db();
  std::string status = permanent ? "5.6.0" : "4.4.7";
  std::string detail = permanent ? why
                                 : "The message could not be delivered for " + lifetimeText() +
                                       "; the last attempt: " + why;
  // The recipients still waiting, from the message's own recipient table.
  std::vector<StoreDb::QueueRecipient> done;
  if (FAILED(db.queueRecipients(entry.id, done))) return defer(entry, line, why);
  std::set<ULONG> finished;
  for (const auto& d : done)
    if (d.state != StoreDb::kRecipientWaiting) finished.insert(d.rowId);
  Held<IMAPITable> table;
  LPSRowSet rows = nullptr;
  SizedSPropTagArray(3, cols) = {3, {PR_ROWID, PR_DISPLAY_NAME_A, PR_EMAIL_ADDRESS_A}};
  if (FAILED(message->GetRecipientTable(0, &table.p)) ||
      FAILED(HrQueryAllRows(table.p, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows)))
    return defer(entry, line, why);
  std::vector<StoreDb::QueueRecipient> failed;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SPropValue* v = rows->aRow[i].lpProps;
    mapimime::EnvelopeRecipient r;
    r.rowId = PROP_TYPE(v[0].ulPropTag) == PT_LONG ? v[0].Value.ul : i;
    if (finished.count(r.rowId)) continue;
    if (PROP_TYPE(v[1].ulPropTag) == PT_STRING8 && v[1].Value.lpszA) r.displayName = v[1].Value.lpszA;
    if (PROP_TYPE(v[2].ulPropTag) == PT_STRING8 && v[2].Value.lpszA) r.address = v[2].Value.lpszA;
    failed.push_back(recipientRecord(r, StoreDb::kRecipientFailed, status, detail));
  }
  FreeProws(rows);
  hr = db.recordRecipients(entry.id, m_owner, StoreDb::LeaseTime::now(), leaseMs(), failed);
  if (hr == MAPI_E_OBJECT_CHANGED) {
    line.outcome = mapispool::RunLine::kTakenOver;
    line.detail = db.lastError();
    return line;
  }
  if (FAILED(hr)) return defer(entry, line, why);
  std::string text;
  hr = finish(entry, message, m_profile.address, line.reports, text);
  if (hr == MAPI_E_OBJECT_CHANGED) {
    line.outcome = mapispool::RunLine::kTakenOver;
    line.detail = db.lastError();
    return line;
  }
  if (FAILED(hr)) return defer(entry, line, why + " (and the report could not be filed: " + text + ")");
  line.outcome = mapispool::RunLine::kSent;
  line.detail = why;
  return line;
}

mapispool::RunLine Spooler::send(const StoreDb::QueueEntry& entry) {
  mapispool::RunLine line;
  line.id = entry.id;
  StoreDb& db = *m_store->db();

  std::string eid = m_store->entryIdOf(MAPI_MESSAGE, entry.message);
  Held<IUnknown> unk;
  ULONG type = 0;
  HRESULT hr = m_store->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(&eid[0]), nullptr, 0,
                                  &type, &unk.p);
  if (FAILED(hr)) return defer(entry, line, callText(m_store, hr, "The submitted message cannot be opened"));
  IMessage* message = reinterpret_cast<IMessage*>(unk.p);
  LPSPropValue subject = nullptr;
  if (SUCCEEDED(HrGetOneProp(message, PR_SUBJECT_A, &subject)) && subject->Value.lpszA)
    line.subject = reinterpret_cast<const char*>(subject->Value.lpszA);
  MAPIFreeBuffer(subject);

  // The network transports take their own path (runNetwork); a setting
  // that is not valid keeps the message queued, where `spool list` shows why.
  mapiprofile::Transport transport;
  std::string why;
  if (!mapiprofile::parseTransport(m_profile.transport, transport, why))
    return defer(entry, line,
                 "The transport setting '" + m_profile.transport + "' of the profile is not valid (" + why + ")");

  // The message as MIME, written once into a private temporary file.
  TempFile file;
  mapimime::OutgoingEnvelope envelope;
  std::string text;
  hr = writeMime(message, file, envelope, false, text);
  if (FAILED(hr)) return unwritable(entry, message, line, hr, text);
  // A retry sends the same Message-ID.
  if (envelope.messageIdGenerated && !envelope.messageId.empty()) {
    hr = db.setProps(entry.message, {Prop::String(kPrInternetMessageIdA, envelope.messageId)});
    if (FAILED(hr)) return defer(entry, line, "The Message-ID of the message could not be stored: " + db.lastError());
  }

  std::vector<StoreDb::QueueRecipient> done;
  hr = db.queueRecipients(entry.id, done);
  if (FAILED(hr)) return defer(entry, line, db.lastError());
  std::set<ULONG> finished;
  for (const auto& d : done)
    if (d.state != StoreDb::kRecipientWaiting) finished.insert(d.rowId);
  LocalAddresses home;
  hr = home.load(text);
  if (FAILED(hr)) return defer(entry, line, text);
  Routes routes = route(envelope, finished, home, message);

  // Another spooler has the message now (this one's lease ran out).
  auto takenOver = [&]() {
    line.outcome = mapispool::RunLine::kTakenOver;
    line.detail = db.lastError();
    return line;
  };
  auto record = [&](const std::vector<StoreDb::QueueRecipient>& rows, const std::string& after) -> HRESULT {
    HRESULT rc = db.recordRecipients(entry.id, m_owner, StoreDb::LeaseTime::now(), leaseMs(), rows);
    if (FAILED(rc) && rc != MAPI_E_OBJECT_CHANGED) text = after + db.lastError();
    return rc;
  };
  if (!routes.failed.empty()) {
    hr = record(routes.failed, "The recipients that cannot be reached could not be recorded: ");
    if (hr == MAPI_E_OBJECT_CHANGED) return takenOver();
    if (FAILED(hr)) return defer(entry, line, text);
  }

  std::string trouble;  // temporary failures of this attempt
  auto delivered = [&](const std::vector<const mapimime::EnvelopeRecipient*>& rows) {
    std::vector<StoreDb::QueueRecipient> records;
    for (const auto* r : rows) records.push_back(recipientRecord(*r, StoreDb::kRecipientDelivered, "", ""));
    return records;
  };
  auto addTrouble = [&](const std::string& t) { trouble += (trouble.empty() ? "" : "; ") + t; };
  for (const auto& target : routes.local) {
    hr = m_deliveries.deliver(target.first, file.fd(), text);
    if (FAILED(hr)) {
      addTrouble("Delivery to the profile '" + target.first + "' failed: " + text);
      continue;
    }
    // Delivered: recorded at once, so that a later attempt does not
    // deliver again (a crash right here may, at worst).
    hr = record(delivered(target.second), "The message was delivered to the profile '" + target.first +
                                              "' but the queue could not record it: ");
    if (hr == MAPI_E_OBJECT_CHANGED) return takenOver();
    if (FAILED(hr)) return defer(entry, line, text);
  }
  if (!routes.outside.empty()) {
    OutgoingEnvelopeData data;
    data.sender = envelope.sender;
    data.messageId = envelope.messageId;
    std::set<std::string> seen;
    for (const auto* r : routes.outside)
      if (seen.insert(lowerCase(r->address)).second) data.recipients.push_back(r->address);
    hr = writeOutgoing(outgoingDirOf(m_profile.name), outgoingBase(db, entry), file.fd(), data, text);
    if (FAILED(hr)) {
      addTrouble("The message could not be put into the outgoing folder: " + text);
    } else {
      hr = record(delivered(routes.outside),
                  "The message was put into the outgoing folder but the queue could not record it: ");
      if (hr == MAPI_E_OBJECT_CHANGED) return takenOver();
      if (FAILED(hr)) return defer(entry, line, text);
    }
  }

  if (!trouble.empty()) {
    if (nowMs() - entry.queuedAt < lifetimeMs()) return defer(entry, line, trouble);
    // Tried for days: the recipients still waiting get a report.
    hr = db.queueRecipients(entry.id, done);
    if (FAILED(hr)) return defer(entry, line, trouble);
    finished.clear();
    for (const auto& d : done)
      if (d.state != StoreDb::kRecipientWaiting) finished.insert(d.rowId);
    std::vector<StoreDb::QueueRecipient> expired;
    for (const auto& r : envelope.recipients)
      if (!finished.count(r.rowId))
        expired.push_back(recipientRecord(r, StoreDb::kRecipientFailed, "4.4.7",
                                          "The message could not be delivered for " + lifetimeText() + ": " +
                                              trouble));
    hr = record(expired, "");
    if (hr == MAPI_E_OBJECT_CHANGED) return takenOver();
    if (FAILED(hr)) return defer(entry, line, trouble);
  }

  hr = finish(entry, message, envelope.sender, line.reports, text);
  if (hr == MAPI_E_OBJECT_CHANGED) return takenOver();
  if (FAILED(hr)) return defer(entry, line, "The message was sent but could not be filed: " + text);
  line.outcome = mapispool::RunLine::kSent;
  return line;
}

HRESULT Spooler::finish(const StoreDb::QueueEntry& entry, IMessage* message, const std::string& senderAddress,
                        unsigned& reports, std::string& error) {
  StoreDb& db = *m_store->db();
  SizedSPropTagArray(5, tags) = {5, {PR_DELETE_AFTER_SUBMIT, PR_SENTMAIL_ENTRYID, PR_MESSAGE_FLAGS,
                                     PR_SENDER_EMAIL_ADDRESS_A, PR_SENT_REPRESENTING_EMAIL_ADDRESS_A}};
  ULONG count = 0;
  LPSPropValue raw = nullptr;
  HRESULT hr = message->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &raw);
  if (FAILED(hr)) {
    error = callText(message, hr, "Cannot read the submitted message");
    return hr;
  }
  PropRow values;
  rowFromMAPI(count, raw, values);
  MAPIFreeBuffer(raw);
  const Prop* deleteAfter = findProp(values, PR_DELETE_AFTER_SUBMIT);
  const Prop* sentMail = findProp(values, PR_SENTMAIL_ENTRYID);
  const Prop* flagsValue = findProp(values, PR_MESSAGE_FLAGS);

  // The folder for the sent message: the one PR_SENTMAIL_ENTRYID names,
  // when it is a folder of this store (else Sent Items); none named: the
  // message stays where it is.
  ObjectId destination = 0;
  if (sentMail) {
    MAPIUID uid;
    ULONG kind = 0;
    ObjectId id = 0, parent = 0;
    ULONG storedKind = 0;
    destination = db.folders().sentItems;
    if (parseObjectEntryId(static_cast<ULONG>(sentMail->bytes.size()),
                           reinterpret_cast<const BYTE*>(sentMail->bytes.data()), uid, kind, id) &&
        memcmp(uid.ab, db.uid().ab, sizeof uid.ab) == 0 && kind == MAPI_FOLDER &&
        SUCCEEDED(db.objectKind(id, storedKind, parent)) && storedKind == MAPI_FOLDER)
      destination = id;
  }

  std::vector<StoreDb::QueueRecipient> progress, failed;
  hr = db.queueRecipients(entry.id, progress);
  if (FAILED(hr)) {
    error = db.lastError();
    return hr;
  }
  for (const auto& p : progress)
    if (p.state == StoreDb::kRecipientFailed) failed.push_back(p);
  std::string domain = domainOf(m_profile.address);
  std::string reporter = "MAILER-DAEMON@" + (domain.empty() ? std::string("localhost") : domain);

  // One transaction: the message leaves the queue, its report arrives and
  // it is filed, or none of this happens.
  hr = db.begin();
  if (FAILED(hr)) {
    error = db.lastError();
    return hr;
  }
  auto failWith = [&](HRESULT code, const std::string& text) {
    db.rollback();
    error = text;
    return code;
  };
  hr = db.dequeue(entry.id, m_owner);
  if (FAILED(hr)) return failWith(hr, db.lastError());
  if (!failed.empty()) {
    std::string text;
    hr = putNonDeliveryReport(m_store, message, failed, reporter, text);
    if (FAILED(hr)) return failWith(hr, text);
  }
  if (deleteAfter && deleteAfter->i) {
    hr = db.deleteObject(entry.message);
    if (FAILED(hr)) return failWith(hr, "Cannot delete the sent message: " + db.lastError());
  } else {
    LONG flags = flagsValue ? static_cast<LONG>(flagsValue->i) : 0;
    flags = (flags | static_cast<LONG>(MSGFLAG_READ)) & ~static_cast<LONG>(MSGFLAG_SUBMIT | MSGFLAG_UNSENT);
    PropRow sent = {Prop::Long(PR_MESSAGE_FLAGS, flags), Prop::Time(PR_MESSAGE_DELIVERY_TIME, fileTimeOfMs(nowMs()))};
    std::string name = m_profile.displayName.empty() ? m_profile.name : m_profile.displayName;
    std::string address = senderAddress.empty() ? m_profile.address : senderAddress;
    if (!findProp(values, PR_SENDER_EMAIL_ADDRESS_A) && !address.empty()) {
      sent.push_back(Prop::String(PR_SENDER_NAME_A, name));
      sent.push_back(Prop::String(PR_SENDER_EMAIL_ADDRESS_A, address));
      sent.push_back(Prop::String(PR_SENDER_ADDRTYPE_A, "SMTP"));
    }
    if (!findProp(values, PR_SENT_REPRESENTING_EMAIL_ADDRESS_A) && !address.empty()) {
      sent.push_back(Prop::String(PR_SENT_REPRESENTING_NAME_A, name));
      sent.push_back(Prop::String(PR_SENT_REPRESENTING_EMAIL_ADDRESS_A, address));
      sent.push_back(Prop::String(PR_SENT_REPRESENTING_ADDRTYPE_A, "SMTP"));
    }
    hr = db.setProps(entry.message, sent);
    if (SUCCEEDED(hr)) hr = db.deleteProps(entry.message, {PR_SUBMIT_FLAGS});
    if (SUCCEEDED(hr) && destination) hr = db.moveObject(entry.message, destination);
    if (FAILED(hr)) return failWith(hr, "Cannot file the sent message: " + db.lastError());
  }
  hr = db.commit();
  if (FAILED(hr)) {
    error = db.lastError();
    return hr;
  }
  reports = static_cast<unsigned>(failed.size());
  return S_OK;
}

std::string Spooler::lifetimeText() const {
  int64_t seconds = lifetimeMs() / 1000;
  auto unit = [](int64_t n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); };
  if (seconds % 86400 == 0) return unit(seconds / 86400, "day");
  if (seconds % 3600 == 0) return unit(seconds / 3600, "hour");
  if (seconds % 60 == 0) return unit(seconds / 60, "minute");
  return unit(seconds, "second");
}

// A message of a network batch: taken, converted, its addresses.
struct Spooler::Outbound {
  ~Outbound() {
    if (message) message->Release();
  }
  StoreDb::QueueEntry entry;
  mapispool::RunLine line;
  IMessage* message = nullptr;
  TempFile file;
  uint64_t size = 0;
  mapimime::OutgoingEnvelope envelope;
  // The addresses handed to the transport (each once, compared without
  // regard to case) and the recipient rows of each.
  std::vector<std::string> addresses;
  std::vector<std::vector<const mapimime::EnvelopeRecipient*>> rowsOf;
  std::vector<RecipientOutcome> outcomes;
  std::string trouble;      // temporary refusals of this attempt
  std::string recordError;  // the queue could not record an outcome
  bool takenOver = false;
};

bool Spooler::prepare(Outbound& item, const mapiprofile::Transport& transport) {
  StoreDb& db = *m_store->db();
  const StoreDb::QueueEntry& entry = item.entry;
  item.line.id = entry.id;
  std::string eid = m_store->entryIdOf(MAPI_MESSAGE, entry.message);
  ULONG type = 0;
  IUnknown* unk = nullptr;
  HRESULT hr = m_store->OpenEntry(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(&eid[0]), nullptr, 0,
                                  &type, &unk);
  if (FAILED(hr)) {
    item.line = defer(entry, item.line, callText(m_store, hr, "The submitted message cannot be opened"));
    return false;
  }
  item.message = reinterpret_cast<IMessage*>(unk);
  LPSPropValue subject = nullptr;
  if (SUCCEEDED(HrGetOneProp(item.message, PR_SUBJECT_A, &subject)) && subject->Value.lpszA)
    item.line.subject = reinterpret_cast<const char*>(subject->Value.lpszA);
  MAPIFreeBuffer(subject);

  // SMTP wants CRLF line ends; a sendmail program takes the Unix form.
  bool crlf = transport.kind != mapiprofile::Transport::kSendmail;
  std::string text;
  hr = writeMime(item.message, item.file, item.envelope, crlf, text);
  if (FAILED(hr)) {
    item.line = unwritable(entry, item.message, item.line, hr, text);
    return false;
  }
  off_t end = lseek(item.file.fd(), 0, SEEK_END);
  item.size = end > 0 ? static_cast<uint64_t>(end) : 0;
  if (item.envelope.messageIdGenerated && !item.envelope.messageId.empty()) {
    hr = db.setProps(entry.message, {Prop::String(kPrInternetMessageIdA, item.envelope.messageId)});
    if (FAILED(hr)) {
      item.line = defer(entry, item.line, "The Message-ID of the message could not be stored: " + db.lastError());
      return false;
    }
  }
  std::vector<StoreDb::QueueRecipient> done;
  hr = db.queueRecipients(entry.id, done);
  if (FAILED(hr)) {
    item.line = defer(entry, item.line, db.lastError());
    return false;
  }
  std::set<ULONG> finished;
  for (const auto& d : done)
    if (d.state != StoreDb::kRecipientWaiting) finished.insert(d.rowId);
  // Every deliverable address goes to the server (no local routing): an
  // empty set of local addresses.
  Routes routes = route(item.envelope, finished, LocalAddresses(), item.message);
  if (!routes.failed.empty()) {
    hr = db.recordRecipients(entry.id, m_owner, StoreDb::LeaseTime::now(), leaseMs(), routes.failed);
    if (hr == MAPI_E_OBJECT_CHANGED) {
      item.line.outcome = mapispool::RunLine::kTakenOver;
      item.line.detail = db.lastError();
      return false;
    }
    if (FAILED(hr)) {
      item.line = defer(entry, item.line, "The recipients that cannot be reached could not be recorded: " +
                                              db.lastError());
      return false;
    }
  }
  std::map<std::string, size_t> byAddress;
  for (const auto* r : routes.outside) {
    auto it = byAddress.find(lowerCase(r->address));
    if (it == byAddress.end()) {
      it = byAddress.emplace(lowerCase(r->address), item.addresses.size()).first;
      item.addresses.push_back(r->address);
      item.rowsOf.emplace_back();
    }
    item.rowsOf[it->second].push_back(r);
  }
  if (item.addresses.empty()) {
    // Nothing left for the server: filed (with its report) at once.
    item.line = conclude(item);
    return false;
  }
  return true;
}

void Spooler::recordOutcome(Outbound& item) {
  StoreDb& db = *m_store->db();
  std::vector<StoreDb::QueueRecipient> rows;
  std::set<std::string> troubles;
  for (size_t k = 0; k < item.addresses.size() && k < item.outcomes.size(); ++k) {
    const RecipientOutcome& o = item.outcomes[k];
    int state = o.kind == RecipientOutcome::kAccepted   ? StoreDb::kRecipientDelivered
                : o.kind == RecipientOutcome::kRejected ? StoreDb::kRecipientFailed
                                                        : StoreDb::kRecipientWaiting;
    if (o.kind == RecipientOutcome::kDeferred && troubles.insert(o.reply).second)
      item.trouble += (item.trouble.empty() ? "" : "; ") + o.reply;
    for (const auto* r : item.rowsOf[k]) rows.push_back(recipientRecord(*r, state, o.status, o.reply));
  }
  // Committed before the transport goes on: what the server accepted is
  // never sent again, unless the process dies right now.
  HRESULT hr = db.recordRecipients(item.entry.id, m_owner, StoreDb::LeaseTime::now(), leaseMs(), rows);
  if (FAILED(hr) && hr != MAPI_E_OBJECT_CHANGED) hr = db.recordRecipients(item.entry.id, m_owner, StoreDb::LeaseTime::now(), leaseMs(), rows);
  if (hr == MAPI_E_OBJECT_CHANGED) {
    item.takenOver = true;
    item.line.detail = db.lastError();
  } else if (FAILED(hr)) {
    item.recordError = "The server's verdict on the message could not be recorded in the queue (" + db.lastError() +
                       "); recipients it accepted may get the message again";
  }
}

mapispool::RunLine Spooler::conclude(Outbound& item) {
  StoreDb& db = *m_store->db();
  const StoreDb::QueueEntry& entry = item.entry;
  mapispool::RunLine line = item.line;
  auto takenOver = [&](const std::string& why) {
    line.outcome = mapispool::RunLine::kTakenOver;
    line.detail = why;
    return line;
  };
  if (item.takenOver) return takenOver(item.line.detail);
  if (!item.recordError.empty()) return defer(entry, line, item.recordError);
  if (!item.trouble.empty()) {
    if (nowMs() - entry.queuedAt < lifetimeMs()) return defer(entry, line, item.trouble);
    // Queued for its whole lifetime: the recipients still waiting are
    // bounced, each with the last reply it got.
    std::vector<StoreDb::QueueRecipient> done;
    HRESULT hr = db.queueRecipients(entry.id, done);
    if (FAILED(hr)) return defer(entry, line, item.trouble);
    std::map<ULONG, const StoreDb::QueueRecipient*> known;
    for (const auto& d : done) known[d.rowId] = &d;
    std::vector<StoreDb::QueueRecipient> expired;
    for (const auto& r : item.envelope.recipients) {
      auto it = known.find(r.rowId);
      if (it != known.end() && it->second->state != StoreDb::kRecipientWaiting) continue;
      std::string last = it != known.end() ? it->second->detail : item.trouble;
      expired.push_back(recipientRecord(r, StoreDb::kRecipientFailed, "4.4.7",
                                        "The message could not be delivered for " + lifetimeText() +
                                            "; the last attempt: " + last));
    }
    hr = db.recordRecipients(entry.id, m_owner, StoreDb::LeaseTime::now(), leaseMs(), expired);
    if (hr == MAPI_E_OBJECT_CHANGED) return takenOver(db.lastError());
    if (FAILED(hr)) return defer(entry, line, item.trouble);
  }
  std::string text;
  HRESULT hr = finish(entry, item.message, item.envelope.sender, line.reports, text);
  if (hr == MAPI_E_OBJECT_CHANGED) return takenOver(db.lastError());
  if (FAILED(hr)) return defer(entry, line, "The message was sent but could not be filed: " + text);
  line.outcome = mapispool::RunLine::kSent;
  line.detail.clear();
  return line;
}

HRESULT Spooler::runNetwork(const mapiprofile::Transport& transport, bool flush, const std::function<bool()>& stop,
                            mapispool::RunResult& result, std::string& error) {
  StoreDb& db = *m_store->db();
  int64_t after = 0;
  bool more = true;
  HRESULT failure = S_OK;
  // The transport ends a session (an SMTP batch, one run of sendmail) by this
  // limit whatever the other side does; a lease longer than that keeps a
  // message from a second spooler while this one may still send it.
  int64_t sessionMs = static_cast<int64_t>(m_profile.smtpTimeoutSeconds ? m_profile.smtpTimeoutSeconds : 30 * 60) * 1000;
  int64_t holdMs = sessionMs + leaseMs();
  while (more && !(stop && stop())) {
    std::vector<std::unique_ptr<Outbound>> items;
    uint64_t bytes = 0;
    while (items.size() < kBatchMessages && bytes < kBatchBytes && !(stop && stop())) {
      auto item = std::make_unique<Outbound>();
      bool found = false;
      // Held for as long as the transport may take with the whole batch.
      HRESULT hr = db.claimQueued(after, !flush, StoreDb::LeaseTime::now(), m_owner, holdMs, item->entry, found);
      if (FAILED(hr)) {
        failure = hr;
        error = "Cannot take a message from the submission queue: " + db.lastError();
        more = false;
        break;
      }
      if (!found) {
        more = false;
        break;
      }
      after = item->entry.id;
      if (!prepare(*item, transport)) {
        result.lines.push_back(item->line);
        continue;
      }
      bytes += item->size;
      items.push_back(std::move(item));
    }
    if (items.empty()) continue;
    // Right before messages go to the transport, their leases are checked
    // and renewed for as long as it may take: a message another spooler
    // took over meanwhile (this process stalled) is not sent again.
    auto stillHeld = [&](std::vector<Outbound*> group) {
      std::vector<int64_t> ids;
      for (Outbound* item : group) ids.push_back(item->entry.id);
      std::vector<bool> held;
      HRESULT hr = db.renewLeases(ids, m_owner, StoreDb::LeaseTime::now(), holdMs, held);
      std::vector<Outbound*> going;
      for (size_t k = 0; k < group.size(); ++k) {
        if (FAILED(hr)) {
          group[k]->recordError = "The message's lease could not be renewed before it was sent (" + db.lastError() + ")";
        } else if (!held[k]) {
          group[k]->takenOver = true;
          group[k]->line.detail = "The message is no longer held by this spooler (another one took it over)";
        } else {
          going.push_back(group[k]);
        }
      }
      return going;
    };
    auto send = [&](const std::vector<Outbound*>& group) {
      if (group.empty()) return;
      std::vector<OutboundMessage> batch(group.size());
      for (size_t k = 0; k < group.size(); ++k) {
        batch[k].fd = group[k]->file.fd();
        batch[k].size = group[k]->size;
        batch[k].sender = group[k]->envelope.sender;
        batch[k].recipients = group[k]->addresses;
      }
      MessageDone done = [&](size_t k) {
        group[k]->outcomes = batch[k].outcomes;
        recordOutcome(*group[k]);
      };
      if (transport.kind == mapiprofile::Transport::kSendmail)
        sendSendmail(transport, batch, done, m_profile.smtpTimeoutSeconds, stop);
      else
        sendSmtp(m_profile, transport, batch, done, stop);
    };
    if (transport.kind == mapiprofile::Transport::kSendmail) {
      // One program run after the other: each message is checked right before its run.
      for (auto& item : items) send(stillHeld({item.get()}));
    } else {
      std::vector<Outbound*> all;
      for (auto& item : items) all.push_back(item.get());
      send(stillHeld(all));
    }
    for (auto& item : items) result.lines.push_back(conclude(*item));
  }
  return failure;
}

}  // namespace tmapi
