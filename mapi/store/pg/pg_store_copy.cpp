// Whole stores in the PostgreSQL engine: reading every object, name and
// queue entry of a mailbox, writing them under their own ids, and copies
// kept under a name of their own until they are finished (see storedb.h
// and store/storecopy.h).
#include "store/pg/pg_store.h"

#include <mapicode.h>
#include <mapidefs.h>

#include <cstring>
#include <memory>

namespace tmapi {

namespace {
const char* const kRead = "Cannot read the message store";
const char* const kWrite = "Cannot write to the message store";
const char* const kIdTaken = "The id is taken in the message store";
}  // namespace

std::string PgStoreDb::copyRowName(const std::string& mailbox) {
  // No location gives a mailbox name with control characters.
  return "\x01unfinished copy\x01" + mailbox;
}

HRESULT PgStoreDb::createCopy(const std::string& location, const StoreIdentity& identity, std::string& error) {
  PgStoreDb db;
  HRESULT hr = connectTo(location, db, error);
  if (FAILED(hr)) return hr;
  hr = db.checkSchema(true);
  PgResult r;
  if (SUCCEEDED(hr)) {
    const StoreFolders& f = identity.folders;
    PgParams p;
    p.text(copyRowName(db.m_mailboxName)).bytes(identity.uid.ab, sizeof identity.uid.ab).text(identity.displayName);
    p.i64(f.root).i64(f.ipmSubtree).i64(f.inbox).i64(f.outbox).i64(f.sentItems).i64(f.deletedItems).i64(f.drafts);
    hr = db.exec("INSERT INTO mailboxes(name, uid, display_name, root_id, ipm_subtree_id, inbox_id, outbox_id, "
                 "sent_items_id, deleted_items_id, drafts_id) VALUES($1, $2, $3, NULLIF($4, 0), NULLIF($5, 0), "
                 "NULLIF($6, 0), NULLIF($7, 0), NULLIF($8, 0), NULLIF($9, 0), NULLIF($10, 0)) "
                 "ON CONFLICT (name) DO NOTHING RETURNING id",
                 p, r, "Cannot create the copy of the message store");
  }
  if (SUCCEEDED(hr) && r.rows() == 0)
    hr = db.fail(MAPI_E_COLLISION, "An unfinished copy into " + db.where() + " is there already");
  if (FAILED(hr)) error = db.lastError();
  return hr;
}

HRESULT PgStoreDb::openCopy(const std::string& location, StoreDb** out, std::string& error) {
  return openMailbox(location, true, out, error);
}

HRESULT PgStoreDb::destroyCopy(const std::string& location, std::string& error) {
  return deleteMailbox(location, true, error);
}

HRESULT PgStoreDb::finishCopy() {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  PgResult r;
  hr = exec("SELECT id FROM mailboxes WHERE name = $1 FOR UPDATE", PgParams().text(m_mailboxName), r, kRead);
  if (SUCCEEDED(hr) && r.rows() > 0) {
    int64_t there = r.i64(0, 0);
    bool bare = false;
    hr = bareMailbox(there, bare);
    if (SUCCEEDED(hr) && !bare)
      hr = fail(MAPI_E_COLLISION, "The message store " + where() +
                                      " holds messages, folders or names of its own now: the copy was not put in its place");
    if (SUCCEEDED(hr))
      hr = exec("DELETE FROM mailboxes WHERE id = $1", PgParams().i64(there), r, "Cannot replace the message store");
  }
  if (SUCCEEDED(hr))
    hr = exec("UPDATE mailboxes SET name = $2 WHERE id = $1", PgParams().i64(m_mailbox).text(m_mailboxName), r,
              "Cannot finish the copy of the message store");
  // Ids the copy brought from its source are never given again: the
  // sequence goes past them. (setval is not undone by a rollback, which
  // costs nothing but unused ids.)
  if (SUCCEEDED(hr))
    hr = exec("SELECT setval('store_ids', s.m) FROM (SELECT GREATEST("
              "(SELECT COALESCE(max(id), 0) FROM objects WHERE mailbox = $1), "
              "(SELECT COALESCE(max(id), 0) FROM submit_queue WHERE mailbox = $1)) AS m) s "
              "WHERE s.m > (SELECT last_value FROM store_ids)",
              PgParams().i64(m_mailbox), r, "Cannot finish the copy of the message store");
  if (FAILED(hr)) return rollback(), hr;
  hr = commit();
  if (SUCCEEDED(hr)) m_unfinishedCopy = false;
  return hr;
}

HRESULT PgStoreDb::allObjects(std::vector<ObjectRow>& rows) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  rows.clear();
  PgResult r;
  HRESULT hr = exec("WITH RECURSIVE tree(id, kind, parent, position, depth) AS ("
                    "SELECT id, kind, 0::bigint, position, 0 FROM objects WHERE mailbox = $1 AND parent_id IS NULL "
                    "UNION ALL SELECT o.id, o.kind, o.parent_id, o.position, t.depth + 1 FROM objects o "
                    "JOIN tree t ON o.mailbox = $1 AND o.parent_id = t.id) "
                    "SELECT id, kind, parent, position FROM tree ORDER BY depth, id",
                    PgParams().i64(m_mailbox), r, kRead);
  if (FAILED(hr)) return hr;
  rows.reserve(static_cast<size_t>(r.rows()));
  for (int k = 0; k < r.rows(); ++k)
    rows.push_back({r.i64(k, 0), static_cast<ULONG>(r.i64(k, 1)), r.i64(k, 2), r.i64(k, 3)});
  return S_OK;
}

HRESULT PgStoreDb::allNamedProps(std::vector<NamedProp>& names) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  names.clear();
  PgResult r;
  HRESULT hr = exec("SELECT id, guid, kind, lid, name FROM named_props WHERE mailbox = $1 ORDER BY id",
                    PgParams().i64(m_mailbox), r, kRead);
  if (FAILED(hr)) return hr;
  for (int k = 0; k < r.rows(); ++k) {
    NamedProp n;
    n.id = static_cast<ULONG>(r.i64(k, 0));
    if (r.size(k, 1) != sizeof n.guid) return fail(MAPI_E_CORRUPT_DATA, "A stored property name is damaged");
    memcpy(&n.guid, r.data(k, 1), sizeof n.guid);
    n.kind = static_cast<ULONG>(r.i64(k, 2));
    n.lid = static_cast<LONG>(r.i64(k, 3));
    n.name = r.str(k, 4);
    names.push_back(std::move(n));
  }
  return S_OK;
}

HRESULT PgStoreDb::putObject(const ObjectRow& row) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  endRead();
  PgResult r;
  HRESULT hr = exec("INSERT INTO objects(mailbox, id, kind, parent_id, position) VALUES($1, $2, $3, NULLIF($4, 0), $5) "
                    "ON CONFLICT (mailbox, id) DO NOTHING",
                    PgParams().i64(m_mailbox).i64(row.id).i64(row.kind).i64(row.parent).i64(row.position), r, kWrite);
  if (FAILED(hr)) return hr;
  if (r.affected() == 0) return fail(MAPI_E_COLLISION, kIdTaken);
  // New in this transaction: its values need no deleting first (setProps).
  if (m_txDepth > 0) m_fresh[row.id];
  return S_OK;
}

HRESULT PgStoreDb::putNamedProp(const NamedProp& name) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  PgResult r;
  PgParams p;
  p.i64(m_mailbox).i64(name.id).bytes(&name.guid, sizeof name.guid).i64(name.kind);
  p.i64(name.kind == MNID_ID ? name.lid : 0).text(name.kind == MNID_ID ? "" : name.name);
  hr = exec("INSERT INTO named_props(mailbox, id, guid, kind, lid, name) VALUES($1, $2, $3, $4, $5, $6) "
            "ON CONFLICT DO NOTHING",
            p, r, kWrite);
  if (SUCCEEDED(hr) && r.affected() == 0) hr = fail(MAPI_E_COLLISION, kIdTaken);
  // The mailbox's counter goes past the names it holds.
  if (SUCCEEDED(hr))
    hr = exec("UPDATE mailboxes SET next_named_id = GREATEST(next_named_id, $2) WHERE id = $1",
              PgParams().i64(m_mailbox).i64(static_cast<int64_t>(name.id) + 1), r, kWrite);
  if (FAILED(hr)) return rollback(), hr;
  return commit();
}

HRESULT PgStoreDb::putQueue(const std::vector<QueueEntry>& entries,
                            const std::vector<std::vector<QueueRecipient>>& recipients) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  const char* const what = "Cannot write the submission queue";
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  PgResult r;
  // The recipients' progress goes with its entries.
  hr = exec("DELETE FROM submit_queue WHERE mailbox = $1", PgParams().i64(m_mailbox), r, what);
  for (size_t k = 0; SUCCEEDED(hr) && k < entries.size(); ++k) {
    const QueueEntry& e = entries[k];
    PgParams p;
    p.i64(m_mailbox).i64(e.id).i64(e.message).i64(e.queuedAt).i64(e.attempts).i64(e.nextAttempt).text(e.lastError);
    p.text(e.leaseOwner).i64(e.leaseUntil).text(e.leaseBoot).i64(e.leaseBootUntil);
    hr = exec("INSERT INTO submit_queue(mailbox, id, message_id, queued_at, attempts, next_attempt, last_error, "
              "lease_owner, lease_until, lease_boot, lease_boot_until) VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11)",
              p, r, what);
    if (k >= recipients.size()) continue;
    for (const QueueRecipient& q : recipients[k]) {
      if (FAILED(hr)) break;
      PgParams rp;
      rp.i64(m_mailbox).i64(e.id).i64(q.rowId).i64(q.state).text(q.address).text(q.displayName).text(q.status);
      rp.text(q.detail).i64(q.at);
      hr = exec("INSERT INTO submit_recipients(mailbox, queue_id, row_id, state, address, display_name, status, "
                "detail, at) VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9)",
                rp, r, what);
    }
  }
  if (FAILED(hr)) return rollback(), hr;
  return commit();
}

HRESULT PgStoreDb::deliveryKeys(DeliveryKeys& keys) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  keys.clear();
  PgResult r;
  HRESULT hr = exec("SELECT key, message_id FROM delivery_keys WHERE mailbox = $1 ORDER BY key",
                    PgParams().i64(m_mailbox), r, kRead);
  if (FAILED(hr)) return hr;
  for (int k = 0; k < r.rows(); ++k) keys.emplace_back(r.str(k, 0), r.i64(k, 1));
  return S_OK;
}

HRESULT PgStoreDb::putDeliveryKeys(const DeliveryKeys& keys) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  PgResult r;
  hr = exec("DELETE FROM delivery_keys WHERE mailbox = $1", PgParams().i64(m_mailbox), r,
            "Cannot write the delivery keys");
  for (size_t k = 0; SUCCEEDED(hr) && k < keys.size(); ++k) hr = keepDeliveryKey(keys[k].first, keys[k].second);
  if (FAILED(hr)) return rollback(), hr;
  return commit();
}

HRESULT PgStoreDb::totals(Totals& t) {
  ReadScope reading(*this);
  t = Totals();
  PgResult r;
  HRESULT hr = exec("SELECT kind, count(*) FROM objects WHERE mailbox = $1 GROUP BY kind", PgParams().i64(m_mailbox),
                    r, kRead);
  if (FAILED(hr)) return hr;
  for (int k = 0; k < r.rows(); ++k)
    t.count(static_cast<ULONG>(r.i64(k, 0)), static_cast<uint64_t>(r.i64(k, 1)));
  // Values as treeSize counts them.
  hr = exec("SELECT (SELECT count(*) FROM named_props WHERE mailbox = $1), "
            "(SELECT count(*) FROM submit_queue WHERE mailbox = $1), "
            "(SELECT COALESCE(SUM(CASE WHEN pieces OR data IS NOT NULL THEN size ELSE 8 END), 0)::bigint "
            "FROM props WHERE mailbox = $1)",
            PgParams().i64(m_mailbox), r, kRead);
  if (FAILED(hr)) return hr;
  t.namedProps = static_cast<uint64_t>(r.i64(0, 0));
  t.queued = static_cast<uint64_t>(r.i64(0, 1));
  t.bytes = static_cast<uint64_t>(r.i64(0, 2));
  return S_OK;
}

HRESULT PgStoreDb::bareMailbox(int64_t id, bool& bare) {
  bare = false;
  PgResult r;
  HRESULT hr = exec("SELECT (SELECT count(*) FROM objects o WHERE o.mailbox = m.id AND o.id NOT IN ("
                    "COALESCE(m.root_id, 0), COALESCE(m.ipm_subtree_id, 0), COALESCE(m.inbox_id, 0), "
                    "COALESCE(m.outbox_id, 0), COALESCE(m.sent_items_id, 0), COALESCE(m.deleted_items_id, 0), "
                    "COALESCE(m.drafts_id, 0))) + (SELECT count(*) FROM named_props WHERE mailbox = m.id) + "
                    "(SELECT count(*) FROM submit_queue WHERE mailbox = m.id) FROM mailboxes m WHERE m.id = $1",
                    PgParams().i64(id), r, kRead);
  if (FAILED(hr)) return hr;
  bare = r.rows() > 0 && r.i64(0, 0) == 0;
  return S_OK;
}

HRESULT PgStoreDb::isBare(bool& bare) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  return bareMailbox(m_mailbox, bare);
}

}  // namespace tmapi
