// Whole stores in the SQLite engine: reading every object, name and queue
// entry of a store, writing them under their own ids, and copies made in
// the store file itself (store_info key unfinished_copy marks one until it
// is finished; see storedb.h and store/storecopy.h).
#include "store/sqlite_query.h"
#include "store/sqlite_store.h"

#include <mapicode.h>
#include <mapidefs.h>

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace tmapi {

namespace {

// A database without a single table at path is what a process killed
// while it made a store (or a copy) leaves: the header, no schema. It holds
// nothing, and is removed so that a copy can be made there; true when it
// was.
bool removedEmptyDatabase(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  sqlite3* db = nullptr;
  bool empty = false;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* q = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master", -1, &q, nullptr) == SQLITE_OK &&
        sqlite3_step(q) == SQLITE_ROW)
      empty = sqlite3_column_int64(q, 0) == 0;
    sqlite3_finalize(q);
  }
  sqlite3_close_v2(db);
  if (!empty) return false;
  unlink(path.c_str());
  unlink((path + "-wal").c_str());
  unlink((path + "-shm").c_str());
  return true;
}

}  // namespace

HRESULT SqliteStoreDb::createCopy(const std::string& path, const StoreIdentity& identity, std::string& error) {
  struct stat st;
  removedEmptyDatabase(path);
  if (stat(path.c_str(), &st) != 0 && errno == ENOENT) {
    SqliteStoreDb db;
    HRESULT hr = createFile(path, db);
    if (SUCCEEDED(hr)) hr = db.writeIdentity(identity.uid, identity.displayName, identity.folders, identity.origin);
    if (SUCCEEDED(hr)) hr = db.commit();
    if (FAILED(hr)) {
      error = db.m_lastError;
      db.discardFile();
    }
    return hr;
  }
  // A store is there: it becomes the copy in one transaction, and only
  // while it is bare (a delivery that came first makes it not bare; one
  // that comes after finds its folders gone, or the store unfinished).
  SqliteStoreDb* opened = nullptr;
  HRESULT hr = openFile(path, OpenAs::kEither, &opened, error);
  if (FAILED(hr)) return hr;
  std::unique_ptr<SqliteStoreDb> db(opened);
  if (db->m_unfinishedCopy) {
    error = "The message store " + path + " is an unfinished copy of " + db->m_copyOf + " already";
    return MAPI_E_COLLISION;
  }
  hr = db->begin();
  bool bare = false;
  if (SUCCEEDED(hr)) hr = db->isBare(bare);
  if (SUCCEEDED(hr) && !bare)
    hr = db->fail(MAPI_E_COLLISION, "The message store " + path + " holds messages, folders or names of its own");
  std::vector<ObjectRow> rows;
  if (SUCCEEDED(hr)) hr = db->allObjects(rows);
  // Each tree goes with its values (and their files).
  for (size_t k = 0; SUCCEEDED(hr) && k < rows.size(); ++k)
    if (!rows[k].parent) hr = db->deleteObject(rows[k].id);
  if (SUCCEEDED(hr)) hr = db->writeIdentity(identity.uid, identity.displayName, identity.folders, identity.origin);
  if (SUCCEEDED(hr)) hr = db->commit();
  if (FAILED(hr)) {
    error = db->m_lastError;
    db->rollback();
  }
  return hr;
}

HRESULT SqliteStoreDb::openCopy(const std::string& path, StoreDb** out, std::string& error) {
  *out = nullptr;
  if (removedEmptyDatabase(path)) {
    error = "The file " + path + " held no store";
    return MAPI_E_NOT_FOUND;
  }
  SqliteStoreDb* db = nullptr;
  HRESULT hr = openFile(path, OpenAs::kCopy, &db, error);
  *out = db;
  return hr;
}

HRESULT SqliteStoreDb::finishCopy() {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  {
    TM_QUERY(q, "DELETE FROM store_info WHERE key = 'unfinished_copy'");
    if (!q.ok() || q.step() != SQLITE_DONE) return rollback(), sqlFail("Cannot finish the copy of the message store");
  }
  hr = commit();
  if (SUCCEEDED(hr)) {
    m_unfinishedCopy = false;
    m_copyOf.clear();
  }
  return hr;
}

HRESULT SqliteStoreDb::allObjects(std::vector<ObjectRow>& rows) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  rows.clear();
  TM_QUERY(q, "WITH RECURSIVE tree(id, kind, parent, position, depth) AS ("
              "SELECT id, kind, 0, position, 0 FROM objects WHERE parent_id IS NULL UNION ALL "
              "SELECT o.id, o.kind, o.parent_id, o.position, t.depth + 1 FROM objects o JOIN tree t ON o.parent_id = t.id) "
              "SELECT id, kind, parent, position FROM tree ORDER BY depth, id");
  if (!q.ok()) return sqlFail("Cannot read the message store");
  int rc;
  while ((rc = q.step()) == SQLITE_ROW)
    rows.push_back({q.integer(0), static_cast<ULONG>(q.integer(1)), q.integer(2), q.integer(3)});
  if (rc != SQLITE_DONE) return sqlFail("Cannot read the message store");
  return S_OK;
}

HRESULT SqliteStoreDb::allNamedProps(std::vector<NamedProp>& names) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  names.clear();
  TM_QUERY(q, "SELECT id, guid, kind, lid, name FROM named_props ORDER BY id");
  if (!q.ok()) return sqlFail("Cannot read the message store");
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) {
    NamedProp n;
    n.id = static_cast<ULONG>(q.integer(0));
    std::string guid = q.bytes(1);
    if (guid.size() != sizeof n.guid) return fail(MAPI_E_CORRUPT_DATA, "A stored property name is damaged");
    memcpy(&n.guid, guid.data(), sizeof n.guid);
    n.kind = static_cast<ULONG>(q.integer(2));
    n.lid = static_cast<LONG>(q.integer(3));
    n.name = q.string(4);
    names.push_back(std::move(n));
  }
  if (rc != SQLITE_DONE) return sqlFail("Cannot read the message store");
  return S_OK;
}

namespace {
const char* const kIdTaken = "The id is taken in the message store";
}

HRESULT SqliteStoreDb::putObject(const ObjectRow& row) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  endRead();
  TM_QUERY(q, "INSERT INTO objects(id, kind, parent_id, position) VALUES(?1, ?2, ?3, ?4)");
  if (!q.ok()) return sqlFail("Cannot write to the message store");
  q.bind(1, row.id).bind(2, row.kind).bind(4, row.position);
  if (row.parent) q.bind(3, row.parent);
  if (q.step() == SQLITE_DONE) return S_OK;
  if (sqlite3_extended_errcode(m_db) == SQLITE_CONSTRAINT_PRIMARYKEY) return fail(MAPI_E_COLLISION, kIdTaken);
  return sqlFail("Cannot write to the message store");
}

HRESULT SqliteStoreDb::putNamedProp(const NamedProp& name) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  endRead();
  TM_QUERY(q, "INSERT INTO named_props(id, guid, kind, lid, name) VALUES(?1, ?2, ?3, ?4, ?5)");
  if (!q.ok()) return sqlFail("Cannot write to the message store");
  q.bind(1, name.id).blob(2, &name.guid, sizeof name.guid).bind(3, name.kind);
  if (name.kind == MNID_ID) q.bind(4, name.lid);
  else q.text(5, name.name);
  if (q.step() == SQLITE_DONE) return S_OK;
  if ((sqlite3_extended_errcode(m_db) & 0xFF) == SQLITE_CONSTRAINT) return fail(MAPI_E_COLLISION, kIdTaken);
  return sqlFail("Cannot write to the message store");
}

HRESULT SqliteStoreDb::putQueue(const std::vector<QueueEntry>& entries,
                                const std::vector<std::vector<QueueRecipient>>& recipients) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  const char* const what = "Cannot write the submission queue";
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  {
    // The recipients' progress and the leases go with their entries.
    TM_QUERY(d, "DELETE FROM submit_queue");
    if (!d.ok() || d.step() != SQLITE_DONE) return rollback(), sqlFail(what);
  }
  for (size_t k = 0; k < entries.size(); ++k) {
    const QueueEntry& e = entries[k];
    {
      TM_QUERY(q, "INSERT INTO submit_queue(id, message_id, queued_at, attempts, next_attempt, last_error, "
                  "lease_owner, lease_until) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
      if (!q.ok()) return rollback(), sqlFail(what);
      q.bind(1, e.id).bind(2, e.message).bind(3, e.queuedAt).bind(4, e.attempts).bind(5, e.nextAttempt);
      q.text(6, e.lastError).text(7, e.leaseOwner).bind(8, e.leaseUntil);
      if (q.step() != SQLITE_DONE) return rollback(), sqlFail(what);
    }
    if (!e.leaseBoot.empty()) {
      TM_QUERY(q, "INSERT INTO submit_leases(queue_id, owner, boot, boot_until) VALUES(?1, ?2, ?3, ?4)");
      if (!q.ok()) return rollback(), sqlFail(what);
      q.bind(1, e.id).text(2, e.leaseOwner).text(3, e.leaseBoot).bind(4, e.leaseBootUntil);
      if (q.step() != SQLITE_DONE) return rollback(), sqlFail(what);
    }
    for (const QueueRecipient& r : k < recipients.size() ? recipients[k] : std::vector<QueueRecipient>()) {
      TM_QUERY(q, "INSERT INTO submit_recipients(queue_id, row_id, state, address, display_name, status, detail, at) "
                  "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
      if (!q.ok()) return rollback(), sqlFail(what);
      q.bind(1, e.id).bind(2, r.rowId).bind(3, r.state).text(4, r.address).text(5, r.displayName);
      q.text(6, r.status).text(7, r.detail).bind(8, r.at);
      if (q.step() != SQLITE_DONE) return rollback(), sqlFail(what);
    }
  }
  return commit();
}

HRESULT SqliteStoreDb::totals(Totals& t) {
  ReadScope reading(*this);
  t = Totals();
  {
    TM_QUERY(q, "SELECT kind, count(*) FROM objects GROUP BY kind");
    if (!q.ok()) return sqlFail("Cannot read the message store");
    int rc;
    while ((rc = q.step()) == SQLITE_ROW)
      t.count(static_cast<ULONG>(q.integer(0)), static_cast<uint64_t>(q.integer(1)));
    if (rc != SQLITE_DONE) return sqlFail("Cannot read the message store");
  }
  // Values as treeSize counts them; text written by earlier versions by
  // its bytes.
  TM_QUERY(q, "SELECT (SELECT count(*) FROM named_props), (SELECT count(*) FROM submit_queue), "
              "(SELECT COALESCE(SUM(CASE WHEN chunked THEN value WHEN typeof(value) IN ('blob', 'text') "
              "THEN length(CAST(value AS BLOB)) ELSE 8 END), 0) FROM props)");
  if (!q.ok() || q.step() != SQLITE_ROW) return sqlFail("Cannot read the message store");
  t.namedProps = static_cast<uint64_t>(q.integer(0));
  t.queued = static_cast<uint64_t>(q.integer(1));
  t.bytes = static_cast<uint64_t>(q.integer(2));
  return S_OK;
}

HRESULT SqliteStoreDb::isBare(bool& bare) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  bare = false;
  TM_QUERY(q, "SELECT (SELECT count(*) FROM objects WHERE id NOT IN (?1, ?2, ?3, ?4, ?5, ?6, ?7)) + "
              "(SELECT count(*) FROM named_props) + (SELECT count(*) FROM submit_queue)");
  if (!q.ok()) return sqlFail("Cannot read the message store");
  const StoreFolders& f = m_folders;
  q.bind(1, f.root).bind(2, f.ipmSubtree).bind(3, f.inbox).bind(4, f.outbox).bind(5, f.sentItems);
  q.bind(6, f.deletedItems).bind(7, f.drafts);
  if (q.step() != SQLITE_ROW) return sqlFail("Cannot read the message store");
  bare = q.integer(0) == 0;
  return S_OK;
}

}  // namespace tmapi
