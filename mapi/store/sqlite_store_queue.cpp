// The submission queue of a message store: the SQL of submit_queue and
// submit_recipients (see sqlite_store.h for the schema).
#include "store/sqlite_query.h"
#include "store/sqlite_store.h"

#include <mapicode.h>
#include <mapidefs.h>
#include <mapitags.h>

#include <sqlite3.h>

#include <chrono>
#include <fstream>
#include <time.h>

namespace tmapi {

namespace {

const char* const kEntryColumns =
    "SELECT id, message_id, queued_at, attempts, next_attempt, last_error, lease_owner, lease_until, "
    "CASE WHEN l.owner = q.lease_owner THEN l.boot ELSE '' END, COALESCE(l.boot_until, 0) "
    "FROM submit_queue q LEFT JOIN submit_leases l ON l.queue_id = q.id ";
// Whether a lease holds the entry at the moment bound to ?2 (wall), ?4
// (boot) and ?5 (since boot): QueueEntry::heldAt in SQL. A boot-clock lease
// counts only as long as it belongs to the entry's holder.
#define TM_LEASE_HELD                                                                      \
  "(q.lease_owner <> '' AND CASE WHEN l.owner = q.lease_owner AND l.boot <> '' AND l.boot = ?4 " \
  "THEN l.boot_until > ?5 ELSE q.lease_until > ?2 END)"

void readEntry(Query& q, SqliteStoreDb::QueueEntry& e) {
  e.id = q.integer(0);
  e.message = q.integer(1);
  e.queuedAt = q.integer(2);
  e.attempts = q.integer(3);
  e.nextAttempt = q.integer(4);
  e.lastError = q.string(5);
  e.leaseOwner = q.string(6);
  e.leaseUntil = q.integer(7);
  e.leaseBoot = q.string(8);
  e.leaseBootUntil = q.integer(9);
}

}  // namespace

HRESULT SqliteStoreDb::enqueue(ObjectId message, int64_t now, int64_t& queueId) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  queueId = 0;
  endRead();
  TM_QUERY(q, "INSERT INTO submit_queue(message_id, queued_at, next_attempt) VALUES(?1, ?2, ?2) "
              "ON CONFLICT(message_id) DO NOTHING");
  if (!q.ok()) return sqlFail("Cannot queue the message");
  q.bind(1, message).bind(2, now);
  if (q.step() != SQLITE_DONE) return sqlFail("Cannot queue the message");
  if (sqlite3_changes(m_db) == 0) return fail(MAPI_E_COLLISION, "The message has already been submitted");
  queueId = sqlite3_last_insert_rowid(m_db);
  return S_OK;
}

HRESULT SqliteStoreDb::queueEntryOf(ObjectId message, QueueEntry& entry, bool& found) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  found = false;
  static const std::string sql = std::string(kEntryColumns) + "WHERE q.message_id = ?1";
  TM_QUERY(q, sql.c_str());
  if (!q.ok()) return sqlFail("Cannot read the submission queue");
  q.bind(1, message);
  int rc = q.step();
  if (rc == SQLITE_ROW) {
    readEntry(q, entry);
    found = true;
    return S_OK;
  }
  if (rc != SQLITE_DONE) return sqlFail("Cannot read the submission queue");
  return S_OK;
}

HRESULT SqliteStoreDb::queueEntries(std::vector<QueueEntry>& entries) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  entries.clear();
  static const std::string sql = std::string(kEntryColumns) + "ORDER BY q.id";
  TM_QUERY(q, sql.c_str());
  if (!q.ok()) return sqlFail("Cannot read the submission queue");
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) {
    entries.emplace_back();
    readEntry(q, entries.back());
  }
  if (rc != SQLITE_DONE) return sqlFail("Cannot read the submission queue");
  return S_OK;
}

HRESULT SqliteStoreDb::extendLease(int64_t queueId, const std::string& owner, const LeaseTime& now, int64_t leaseMs,
                             bool& held) {
  held = false;
  {
    TM_QUERY(u, "UPDATE submit_queue SET lease_until = ?3 WHERE id = ?1 AND lease_owner = ?2");
    if (!u.ok()) return sqlFail("Cannot renew the lease of a submitted message");
    u.bind(1, queueId).text(2, owner).bind(3, now.wall + leaseMs);
    if (u.step() != SQLITE_DONE) return sqlFail("Cannot renew the lease of a submitted message");
    if (sqlite3_changes(m_db) == 0) return S_OK;
  }
  held = true;
  if (now.boot.empty()) {
    TM_QUERY(d, "DELETE FROM submit_leases WHERE queue_id = ?1");
    if (!d.ok()) return sqlFail("Cannot renew the lease of a submitted message");
    d.bind(1, queueId);
    if (d.step() != SQLITE_DONE) return sqlFail("Cannot renew the lease of a submitted message");
    return S_OK;
  }
  TM_QUERY(w, "INSERT OR REPLACE INTO submit_leases(queue_id, owner, boot, boot_until) VALUES(?1, ?2, ?3, ?4)");
  if (!w.ok()) return sqlFail("Cannot renew the lease of a submitted message");
  w.bind(1, queueId).text(2, owner).text(3, now.boot).bind(4, now.sinceBoot + leaseMs);
  if (w.step() != SQLITE_DONE) return sqlFail("Cannot renew the lease of a submitted message");
  return S_OK;
}

HRESULT SqliteStoreDb::claimQueued(int64_t afterId, bool dueOnly, const LeaseTime& now, const std::string& owner,
                             int64_t leaseMs, QueueEntry& entry, bool& found) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  found = false;
  // The write lock is taken first (BEGIN IMMEDIATE): two spoolers that look
  // at once take turns, and the second sees the first one's lease.
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  static const std::string sql = std::string(kEntryColumns) + "WHERE q.id > ?1 AND NOT " TM_LEASE_HELD
                                 " AND (?3 = 0 OR q.next_attempt <= ?2) ORDER BY q.id LIMIT 1";
  {
    TM_QUERY(q, sql.c_str());
    if (!q.ok()) return rollback(), sqlFail("Cannot read the submission queue");
    q.bind(1, afterId).bind(2, now.wall).bind(3, dueOnly ? 1 : 0).text(4, now.boot).bind(5, now.sinceBoot);
    int rc = q.step();
    if (rc == SQLITE_DONE) {
      rollback();
      return S_OK;
    }
    if (rc != SQLITE_ROW) return rollback(), sqlFail("Cannot read the submission queue");
    readEntry(q, entry);
  }
  {
    TM_QUERY(u, "UPDATE submit_queue SET lease_owner = ?2 WHERE id = ?1");
    if (!u.ok()) return rollback(), sqlFail("Cannot take a message of the submission queue");
    u.bind(1, entry.id).text(2, owner);
    if (u.step() != SQLITE_DONE) return rollback(), sqlFail("Cannot take a message of the submission queue");
  }
  bool held = false;
  hr = extendLease(entry.id, owner, now, leaseMs, held);
  if (FAILED(hr)) return rollback(), hr;
  hr = setProps(entry.message, {Prop::Long(PR_SUBMIT_FLAGS, SUBMITFLAG_LOCKED)});
  if (FAILED(hr)) return rollback(), hr;
  hr = commit();
  if (FAILED(hr)) return hr;
  entry.heldBy(owner, now, leaseMs);
  found = true;
  return S_OK;
}

HRESULT SqliteStoreDb::queueRecipients(int64_t queueId, std::vector<QueueRecipient>& rows) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  rows.clear();
  TM_QUERY(q, "SELECT row_id, state, address, display_name, status, detail, at FROM submit_recipients "
              "WHERE queue_id = ?1 ORDER BY row_id");
  if (!q.ok()) return sqlFail("Cannot read the submission queue");
  q.bind(1, queueId);
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) {
    QueueRecipient r;
    r.rowId = static_cast<ULONG>(q.integer(0));
    r.state = static_cast<int>(q.integer(1));
    r.address = q.string(2);
    r.displayName = q.string(3);
    r.status = q.string(4);
    r.detail = q.string(5);
    r.at = q.integer(6);
    rows.push_back(std::move(r));
  }
  if (rc != SQLITE_DONE) return sqlFail("Cannot read the submission queue");
  return S_OK;
}

namespace {
const char* const kLeaseLost = "The message is no longer held by this spooler (another one took it over)";
}

HRESULT SqliteStoreDb::recordRecipients(int64_t queueId, const std::string& owner, const LeaseTime& now, int64_t leaseMs,
                                  const std::vector<QueueRecipient>& rows) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  bool held = false;
  hr = extendLease(queueId, owner, now, leaseMs, held);
  if (FAILED(hr)) return rollback(), hr;
  if (!held) return rollback(), fail(MAPI_E_OBJECT_CHANGED, kLeaseLost);
  for (const QueueRecipient& r : rows) {
    TM_QUERY(q, "INSERT OR REPLACE INTO submit_recipients(queue_id, row_id, state, address, display_name, status, "
                "detail, at) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    if (!q.ok()) return rollback(), sqlFail("Cannot record the progress of a submitted message");
    q.bind(1, queueId).bind(2, r.rowId).bind(3, r.state).text(4, r.address).text(5, r.displayName);
    q.text(6, r.status).text(7, r.detail).bind(8, r.at);
    if (q.step() != SQLITE_DONE) return rollback(), sqlFail("Cannot record the progress of a submitted message");
  }
  return commit();
}

HRESULT SqliteStoreDb::abortQueued(ObjectId message, const LeaseTime& now) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  int64_t queueId = 0;
  {
    static const std::string sql = std::string(kEntryColumns) + "WHERE q.message_id = ?1";
    TM_QUERY(q, sql.c_str());
    if (!q.ok()) return rollback(), sqlFail("Cannot read the submission queue");
    q.bind(1, message);
    int rc = q.step();
    if (rc == SQLITE_DONE) return rollback(), fail(MAPI_E_NOT_FOUND, "The message is not waiting to be sent");
    if (rc != SQLITE_ROW) return rollback(), sqlFail("Cannot read the submission queue");
    QueueEntry entry;
    readEntry(q, entry);
    queueId = entry.id;
    if (entry.heldAt(now))
      return rollback(), fail(MAPI_E_UNABLE_TO_ABORT, "The message is being sent now and can no longer be taken back");
  }
  {
    TM_QUERY(q, "SELECT count(*) FROM submit_recipients WHERE queue_id = ?1 AND state <> ?2");
    if (!q.ok()) return rollback(), sqlFail("Cannot read the submission queue");
    q.bind(1, queueId).bind(2, static_cast<int64_t>(kRecipientWaiting));
    if (q.step() != SQLITE_ROW) return rollback(), sqlFail("Cannot read the submission queue");
    if (q.integer(0) > 0)
      return rollback(), fail(MAPI_E_UNABLE_TO_ABORT,
                              "The message has reached some of its recipients already and can no longer be taken back");
  }
  {
    TM_QUERY(d, "DELETE FROM submit_queue WHERE id = ?1");
    if (d.ok()) d.bind(1, queueId);
    if (!d.ok() || d.step() != SQLITE_DONE)
      return rollback(), sqlFail("Cannot remove a message from the submission queue");
  }
  hr = markUnsubmitted(message);
  if (FAILED(hr)) return rollback(), hr;
  return commit();
}

HRESULT SqliteStoreDb::deferQueued(int64_t queueId, const std::string& owner, int64_t nextAttempt, const std::string& error) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  ObjectId message = 0;
  {
    TM_QUERY(q, "SELECT message_id FROM submit_queue WHERE id = ?1 AND lease_owner = ?2");
    if (!q.ok()) return rollback(), sqlFail("Cannot read the submission queue");
    q.bind(1, queueId).text(2, owner);
    int rc = q.step();
    if (rc == SQLITE_DONE) return rollback(), fail(MAPI_E_OBJECT_CHANGED, kLeaseLost);
    if (rc != SQLITE_ROW) return rollback(), sqlFail("Cannot read the submission queue");
    message = q.integer(0);
  }
  {
    TM_QUERY(u, "UPDATE submit_queue SET attempts = attempts + 1, next_attempt = ?2, last_error = ?3, "
                "lease_owner = '', lease_until = 0 WHERE id = ?1");
    if (!u.ok()) return rollback(), sqlFail("Cannot put a message back into the submission queue");
    u.bind(1, queueId).bind(2, nextAttempt).text(3, error);
    if (u.step() != SQLITE_DONE) return rollback(), sqlFail("Cannot put a message back into the submission queue");
  }
  {
    TM_QUERY(d, "DELETE FROM submit_leases WHERE queue_id = ?1");
    if (!d.ok()) return rollback(), sqlFail("Cannot put a message back into the submission queue");
    d.bind(1, queueId);
    if (d.step() != SQLITE_DONE) return rollback(), sqlFail("Cannot put a message back into the submission queue");
  }
  hr = setProps(message, {Prop::Long(PR_SUBMIT_FLAGS, 0)});
  if (FAILED(hr)) return rollback(), hr;
  return commit();
}

HRESULT SqliteStoreDb::dequeue(int64_t queueId, const std::string& owner) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  TM_QUERY(q, "DELETE FROM submit_queue WHERE id = ?1 AND lease_owner = ?2");
  if (!q.ok()) return rollback(), sqlFail("Cannot remove a message from the submission queue");
  q.bind(1, queueId).text(2, owner);
  if (q.step() != SQLITE_DONE) return rollback(), sqlFail("Cannot remove a message from the submission queue");
  if (sqlite3_changes(m_db) == 0) return rollback(), fail(MAPI_E_OBJECT_CHANGED, kLeaseLost);
  return commit();
}

HRESULT SqliteStoreDb::queueState(uint64_t& count, int64_t& earliest) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  count = 0;
  earliest = 0;
  TM_QUERY(q, "SELECT count(*), COALESCE(MIN(CASE WHEN lease_owner <> '' AND lease_until > next_attempt "
              "THEN lease_until ELSE next_attempt END), 0) FROM submit_queue");
  if (!q.ok()) return sqlFail("Cannot read the submission queue");
  if (q.step() != SQLITE_ROW) return sqlFail("Cannot read the submission queue");
  count = static_cast<uint64_t>(q.integer(0));
  earliest = q.integer(1);
  return S_OK;
}

#undef TM_LEASE_HELD

}  // namespace tmapi
