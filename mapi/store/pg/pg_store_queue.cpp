// The submission queue of the PostgreSQL engine (see pg_store.h for the
// schema). Spoolers on several hosts share it: a spooler takes an entry
// with FOR UPDATE SKIP LOCKED, so two that look at once take different
// entries without waiting for each other, and sends it only while it holds
// the entry's lease.
#include "store/pg/pg_store.h"

#include <mapicode.h>
#include <mapitags.h>

namespace tmapi {

namespace {

#define TM_ENTRY_COLUMNS                                                                          \
  "SELECT id, message_id, queued_at, attempts, next_attempt, last_error, lease_owner, lease_until, " \
  "lease_boot, lease_boot_until FROM submit_queue q "
// Whether a lease holds the entry at the moment bound to $3 (wall), $5
// (boot) and $6 (since boot): QueueEntry::heldAt in SQL.
#define TM_LEASE_HELD                                                                          \
  "(q.lease_owner <> '' AND CASE WHEN q.lease_boot <> '' AND q.lease_boot = $5 THEN q.lease_boot_until > $6 " \
  "ELSE q.lease_until > $3 END)"

const char* const kReadQueue = "Cannot read the submission queue";
const char* const kLeaseLost = "The message is no longer held by this spooler (another one took it over)";

void readEntry(const PgResult& r, int row, StoreDb::QueueEntry& e) {
  e.id = r.i64(row, 0);
  e.message = r.i64(row, 1);
  e.queuedAt = r.i64(row, 2);
  e.attempts = r.i64(row, 3);
  e.nextAttempt = r.i64(row, 4);
  e.lastError = r.str(row, 5);
  e.leaseOwner = r.str(row, 6);
  e.leaseUntil = r.i64(row, 7);
  e.leaseBoot = r.str(row, 8);
  e.leaseBootUntil = r.i64(row, 9);
}

}  // namespace

HRESULT PgStoreDb::enqueue(ObjectId message, int64_t now, int64_t& queueId) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  queueId = 0;
  endRead();
  PgResult r;
  HRESULT hr = exec("INSERT INTO submit_queue(mailbox, id, message_id, queued_at, next_attempt) "
                    "VALUES($1, nextval('store_ids'), $2, $3, $3) ON CONFLICT (mailbox, message_id) DO NOTHING "
                    "RETURNING id",
                    PgParams().i64(m_mailbox).i64(message).i64(now), r, "Cannot queue the message");
  if (FAILED(hr)) return hr;
  if (r.rows() == 0) return fail(MAPI_E_COLLISION, "The message has already been submitted");
  queueId = r.i64(0, 0);
  return S_OK;
}

HRESULT PgStoreDb::queueEntryOf(ObjectId message, QueueEntry& entry, bool& found) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  found = false;
  PgResult r;
  HRESULT hr = exec(TM_ENTRY_COLUMNS "WHERE q.mailbox = $1 AND q.message_id = $2", PgParams().i64(m_mailbox).i64(message),
                    r, kReadQueue);
  if (FAILED(hr)) return hr;
  if (r.rows() > 0) {
    readEntry(r, 0, entry);
    found = true;
  }
  return S_OK;
}

HRESULT PgStoreDb::queueEntries(std::vector<QueueEntry>& entries) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  entries.clear();
  PgResult r;
  HRESULT hr = exec(TM_ENTRY_COLUMNS "WHERE q.mailbox = $1 ORDER BY q.id", PgParams().i64(m_mailbox), r, kReadQueue);
  if (FAILED(hr)) return hr;
  entries.resize(static_cast<size_t>(r.rows()));
  for (int k = 0; k < r.rows(); ++k) readEntry(r, k, entries[static_cast<size_t>(k)]);
  return S_OK;
}

HRESULT PgStoreDb::extendLease(int64_t queueId, const std::string& owner, const LeaseTime& now, int64_t leaseMs,
                               bool& held) {
  PgResult r;
  HRESULT hr = exec("UPDATE submit_queue SET lease_until = $4, lease_boot = $5, lease_boot_until = $6 "
                    "WHERE mailbox = $1 AND id = $2 AND lease_owner = $3",
                    PgParams()
                        .i64(m_mailbox)
                        .i64(queueId)
                        .text(owner)
                        .i64(now.wall + leaseMs)
                        .text(now.boot)
                        .i64(now.boot.empty() ? 0 : now.sinceBoot + leaseMs),
                    r, "Cannot renew the lease of a submitted message");
  held = SUCCEEDED(hr) && r.affected() > 0;
  return hr;
}

HRESULT PgStoreDb::claimQueued(int64_t afterId, bool dueOnly, const LeaseTime& now, const std::string& owner,
                               int64_t leaseMs, QueueEntry& entry, bool& found) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  found = false;
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  PgResult r;
  hr = exec(TM_ENTRY_COLUMNS "WHERE q.mailbox = $1 AND q.id > $2 AND NOT " TM_LEASE_HELD
                             " AND ($4 = 0 OR q.next_attempt <= $3) ORDER BY q.id LIMIT 1 FOR UPDATE SKIP LOCKED",
            PgParams().i64(m_mailbox).i64(afterId).i64(now.wall).i64(dueOnly ? 1 : 0).text(now.boot).i64(now.sinceBoot),
            r, kReadQueue);
  if (FAILED(hr)) return rollback(), hr;
  if (r.rows() == 0) {
    rollback();
    return S_OK;
  }
  readEntry(r, 0, entry);
  hr = exec("UPDATE submit_queue SET lease_owner = $3 WHERE mailbox = $1 AND id = $2",
            PgParams().i64(m_mailbox).i64(entry.id).text(owner), r, "Cannot take a message of the submission queue");
  if (FAILED(hr)) return rollback(), hr;
  bool held = false;
  hr = extendLease(entry.id, owner, now, leaseMs, held);
  if (SUCCEEDED(hr)) hr = setProps(entry.message, {Prop::Long(PR_SUBMIT_FLAGS, SUBMITFLAG_LOCKED)});
  if (FAILED(hr)) return rollback(), hr;
  hr = commit();
  if (FAILED(hr)) return hr;
  entry.heldBy(owner, now, leaseMs);
  found = true;
  return S_OK;
}

HRESULT PgStoreDb::queueRecipients(int64_t queueId, std::vector<QueueRecipient>& rows) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  rows.clear();
  PgResult r;
  HRESULT hr = exec("SELECT row_id, state, address, display_name, status, detail, at FROM submit_recipients "
                    "WHERE mailbox = $1 AND queue_id = $2 ORDER BY row_id",
                    PgParams().i64(m_mailbox).i64(queueId), r, kReadQueue);
  if (FAILED(hr)) return hr;
  for (int k = 0; k < r.rows(); ++k) {
    QueueRecipient q;
    q.rowId = static_cast<ULONG>(r.i64(k, 0));
    q.state = static_cast<int>(r.i64(k, 1));
    q.address = r.str(k, 2);
    q.displayName = r.str(k, 3);
    q.status = r.str(k, 4);
    q.detail = r.str(k, 5);
    q.at = r.i64(k, 6);
    rows.push_back(std::move(q));
  }
  return S_OK;
}

HRESULT PgStoreDb::recordRecipients(int64_t queueId, const std::string& owner, const LeaseTime& now, int64_t leaseMs,
                                    const std::vector<QueueRecipient>& rows) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  bool held = false;
  hr = extendLease(queueId, owner, now, leaseMs, held);
  if (FAILED(hr)) return rollback(), hr;
  if (!held) return rollback(), fail(MAPI_E_OBJECT_CHANGED, kLeaseLost);
  for (const QueueRecipient& q : rows) {
    PgResult r;
    hr = exec("INSERT INTO submit_recipients(mailbox, queue_id, row_id, state, address, display_name, status, detail, at) "
              "VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9) ON CONFLICT (mailbox, queue_id, row_id) DO UPDATE SET "
              "state = EXCLUDED.state, address = EXCLUDED.address, display_name = EXCLUDED.display_name, "
              "status = EXCLUDED.status, detail = EXCLUDED.detail, at = EXCLUDED.at",
              PgParams()
                  .i64(m_mailbox)
                  .i64(queueId)
                  .i64(q.rowId)
                  .i64(q.state)
                  .text(q.address)
                  .text(q.displayName)
                  .text(q.status)
                  .text(q.detail)
                  .i64(q.at),
              r, "Cannot record the progress of a submitted message");
    if (FAILED(hr)) return rollback(), hr;
  }
  return commit();
}

HRESULT PgStoreDb::abortQueued(ObjectId message, const LeaseTime& now) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  PgResult r;
  // The row is locked: a spooler cannot take it while it is judged.
  hr = exec(TM_ENTRY_COLUMNS "WHERE q.mailbox = $1 AND q.message_id = $2 FOR UPDATE",
            PgParams().i64(m_mailbox).i64(message), r, kReadQueue);
  if (FAILED(hr)) return rollback(), hr;
  if (r.rows() == 0) return rollback(), fail(MAPI_E_NOT_FOUND, "The message is not waiting to be sent");
  QueueEntry entry;
  readEntry(r, 0, entry);
  if (entry.heldAt(now))
    return rollback(), fail(MAPI_E_UNABLE_TO_ABORT, "The message is being sent now and can no longer be taken back");
  hr = exec("SELECT count(*) FROM submit_recipients WHERE mailbox = $1 AND queue_id = $2 AND state <> $3",
            PgParams().i64(m_mailbox).i64(entry.id).i64(kRecipientWaiting), r, kReadQueue);
  if (FAILED(hr)) return rollback(), hr;
  if (r.i64(0, 0) > 0)
    return rollback(), fail(MAPI_E_UNABLE_TO_ABORT,
                            "The message has reached some of its recipients already and can no longer be taken back");
  hr = exec("DELETE FROM submit_queue WHERE mailbox = $1 AND id = $2", PgParams().i64(m_mailbox).i64(entry.id), r,
            "Cannot remove a message from the submission queue");
  if (FAILED(hr)) return rollback(), hr;
  hr = markUnsubmitted(message);
  if (FAILED(hr)) return rollback(), hr;
  return commit();
}

HRESULT PgStoreDb::deferQueued(int64_t queueId, const std::string& owner, int64_t nextAttempt,
                               const std::string& error) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  PgResult r;
  hr = exec("UPDATE submit_queue SET attempts = attempts + 1, next_attempt = $4, last_error = $5, lease_owner = '', "
            "lease_until = 0, lease_boot = '', lease_boot_until = 0 WHERE mailbox = $1 AND id = $2 AND lease_owner = $3 "
            "RETURNING message_id",
            PgParams().i64(m_mailbox).i64(queueId).text(owner).i64(nextAttempt).text(error), r,
            "Cannot put a message back into the submission queue");
  if (FAILED(hr)) return rollback(), hr;
  if (r.rows() == 0) return rollback(), fail(MAPI_E_OBJECT_CHANGED, kLeaseLost);
  hr = setProps(r.i64(0, 0), {Prop::Long(PR_SUBMIT_FLAGS, 0)});
  if (FAILED(hr)) return rollback(), hr;
  return commit();
}

HRESULT PgStoreDb::dequeue(int64_t queueId, const std::string& owner) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  PgResult r;
  hr = exec("DELETE FROM submit_queue WHERE mailbox = $1 AND id = $2 AND lease_owner = $3",
            PgParams().i64(m_mailbox).i64(queueId).text(owner), r, "Cannot remove a message from the submission queue");
  if (FAILED(hr)) return rollback(), hr;
  if (r.affected() == 0) return rollback(), fail(MAPI_E_OBJECT_CHANGED, kLeaseLost);
  return commit();
}

HRESULT PgStoreDb::queueState(uint64_t& count, int64_t& earliest) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  count = 0;
  earliest = 0;
  PgResult r;
  HRESULT hr = exec("SELECT count(*), COALESCE(MIN(CASE WHEN lease_owner <> '' AND lease_until > next_attempt "
                    "THEN lease_until ELSE next_attempt END), 0) FROM submit_queue WHERE mailbox = $1",
                    PgParams().i64(m_mailbox), r, kReadQueue);
  if (FAILED(hr)) return hr;
  count = static_cast<uint64_t>(r.i64(0, 0));
  earliest = r.i64(0, 1);
  return S_OK;
}

#undef TM_ENTRY_COLUMNS
#undef TM_LEASE_HELD

}  // namespace tmapi
