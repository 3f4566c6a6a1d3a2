// The PostgreSQL engine: the schema, the mailboxes, objects, values and the
// named-property map (see pg_store.h for the schema).
#include "store/pg/pg_store.h"

#include "store/engines.h"
#include "store/pglocation.h"
#include "store/valuecodec.h"

#include <mapicode.h>
#include <mapitags.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <random>

namespace tmapi {

namespace {

// 2: delivery keys.
const int64_t kFormat = 2;

// What format 2 adds, made by a store of format 1 when first opened.
const char* const kDeliveryKeys = R"SQL(
CREATE TABLE delivery_keys(
  mailbox bigint NOT NULL,
  key bytea NOT NULL,
  message_id bigint NOT NULL,
  PRIMARY KEY(mailbox, key),
  FOREIGN KEY(mailbox, message_id) REFERENCES objects(mailbox, id) ON DELETE CASCADE);
CREATE INDEX delivery_keys_by_message ON delivery_keys(mailbox, message_id);
)SQL";

const char* const kSchema = R"SQL(
CREATE TABLE mapi_store_format(format integer NOT NULL);
CREATE SEQUENCE store_ids;
CREATE TABLE mailboxes(
  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  name text NOT NULL UNIQUE,
  uid bytea NOT NULL,
  display_name text NOT NULL,
  root_id bigint, ipm_subtree_id bigint, inbox_id bigint, outbox_id bigint,
  sent_items_id bigint, deleted_items_id bigint, drafts_id bigint,
  next_named_id integer NOT NULL DEFAULT 32768);
CREATE TABLE objects(
  mailbox bigint NOT NULL REFERENCES mailboxes(id) ON DELETE CASCADE,
  id bigint NOT NULL,
  kind integer NOT NULL,
  parent_id bigint,
  position bigint NOT NULL DEFAULT 0,
  PRIMARY KEY(mailbox, id),
  FOREIGN KEY(mailbox, parent_id) REFERENCES objects(mailbox, id) ON DELETE CASCADE);
CREATE INDEX objects_by_parent ON objects(mailbox, parent_id, kind, id);
CREATE TABLE props(
  mailbox bigint NOT NULL,
  object_id bigint NOT NULL,
  prop_id integer NOT NULL,
  type integer NOT NULL,
  num bigint,
  real double precision,
  data bytea,
  size bigint NOT NULL DEFAULT 0,
  pieces boolean NOT NULL DEFAULT false,
  PRIMARY KEY(mailbox, object_id, prop_id),
  FOREIGN KEY(mailbox, object_id) REFERENCES objects(mailbox, id) ON DELETE CASCADE);
CREATE TABLE prop_pieces(
  mailbox bigint NOT NULL,
  object_id bigint NOT NULL,
  prop_id integer NOT NULL,
  seq integer NOT NULL,
  data bytea NOT NULL,
  PRIMARY KEY(mailbox, object_id, prop_id, seq),
  FOREIGN KEY(mailbox, object_id, prop_id) REFERENCES props(mailbox, object_id, prop_id) ON DELETE CASCADE);
ALTER TABLE prop_pieces ALTER COLUMN data SET STORAGE EXTERNAL;
CREATE TABLE named_props(
  mailbox bigint NOT NULL REFERENCES mailboxes(id) ON DELETE CASCADE,
  id integer NOT NULL,
  guid bytea NOT NULL,
  kind integer NOT NULL,
  lid integer NOT NULL,
  name text NOT NULL,
  PRIMARY KEY(mailbox, id),
  UNIQUE(mailbox, guid, kind, lid, name));
CREATE TABLE submit_queue(
  mailbox bigint NOT NULL,
  id bigint NOT NULL,
  message_id bigint NOT NULL,
  queued_at bigint NOT NULL,
  attempts bigint NOT NULL DEFAULT 0,
  next_attempt bigint NOT NULL,
  last_error text NOT NULL DEFAULT '',
  lease_owner text NOT NULL DEFAULT '',
  lease_until bigint NOT NULL DEFAULT 0,
  lease_boot text NOT NULL DEFAULT '',
  lease_boot_until bigint NOT NULL DEFAULT 0,
  PRIMARY KEY(mailbox, id),
  UNIQUE(mailbox, message_id),
  FOREIGN KEY(mailbox, message_id) REFERENCES objects(mailbox, id) ON DELETE CASCADE);
CREATE TABLE submit_recipients(
  mailbox bigint NOT NULL,
  queue_id bigint NOT NULL,
  row_id bigint NOT NULL,
  state integer NOT NULL,
  address text NOT NULL DEFAULT '',
  display_name text NOT NULL DEFAULT '',
  status text NOT NULL DEFAULT '',
  detail text NOT NULL DEFAULT '',
  at bigint NOT NULL,
  PRIMARY KEY(mailbox, queue_id, row_id),
  FOREIGN KEY(mailbox, queue_id) REFERENCES submit_queue(mailbox, id) ON DELETE CASCADE);
INSERT INTO mapi_store_format(format) VALUES(1);
)SQL";
const char* const kToFormat2 = "UPDATE mapi_store_format SET format = 2";

const char* const kRead = "Cannot read the message store";
const char* const kWrite = "Cannot write to the message store";

// A location the engine can use: readable, naming a mailbox, holding no
// password (libpq's own places hold those).
HRESULT parseLocation(const std::string& location, PgLocation& parsed, std::string& error) {
  std::string why;
  if (!parsePgLocation(location, parsed, why)) {
    error = "The PostgreSQL location " + maskedPgLocation(location) + " cannot be read: " + why;
    return MAPI_E_INVALID_PARAMETER;
  }
  if (parsed.mailbox.empty()) {
    error = "The PostgreSQL location " + maskedPgLocation(location) + " names no mailbox";
    return MAPI_E_INVALID_PARAMETER;
  }
  return S_OK;
}

// The password a location holds, if any (kept out of every text).
std::string passwordOf(const std::string& conninfo) {
  std::string password;
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), nullptr);
  for (PQconninfoOption* o = options; o && o->keyword; ++o)
    if (strcmp(o->keyword, "password") == 0 && o->val) password = o->val;
  PQconninfoFree(options);
  return password;
}

}  // namespace

HRESULT PgStoreDb::checkSchema(bool make) {
  PgResult r;
  HRESULT hr = run("SELECT to_regclass('mapi_store_format') IS NOT NULL, "
                   "(SELECT count(*) FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
                   "WHERE n.nspname = current_schema() AND c.relkind IN ('r', 'p', 'v', 'm', 'S', 'f'))",
                   PgParams(), r, kRead);
  if (FAILED(hr)) return hr;
  bool ours = r.i64(0, 0) != 0;
  int64_t relations = r.i64(0, 1);
  if (!ours && relations > 0)
    return fail(MAPI_E_CORRUPT_STORE, "The database of " + where() +
                                          " holds tables of another kind, not message stores; nothing was written");
  if (!ours && !make) return fail(MAPI_E_NOT_FOUND, "The database of " + where() + " holds no message stores");
  if (!ours) {
    // Two hosts making the first store at once: the second waits, then
    // finds the tables.
    hr = begin();
    if (FAILED(hr)) return hr;
    hr = run("SELECT pg_advisory_xact_lock(7305417266)", PgParams(), r, kWrite);
    if (SUCCEEDED(hr)) hr = run("SELECT to_regclass('mapi_store_format') IS NOT NULL", PgParams(), r, kRead);
    if (SUCCEEDED(hr) && r.i64(0, 0) == 0) hr = script(kSchema, "Cannot create the store schema");
    if (FAILED(hr)) return rollback(), hr;
    hr = commit();
    if (FAILED(hr)) return hr;
  }
  hr = run("SELECT max(format) FROM mapi_store_format", PgParams(), r, kRead);
  if (FAILED(hr)) return hr;
  int64_t format = r.i64(0, 0);
  if (format == 1) {
    // Format 1 gains the table of delivery keys, once, by whichever host
    // comes first.
    hr = begin();
    if (FAILED(hr)) return hr;
    hr = run("SELECT pg_advisory_xact_lock(7305417266)", PgParams(), r, kWrite);
    if (SUCCEEDED(hr)) hr = run("SELECT max(format) FROM mapi_store_format", PgParams(), r, kRead);
    if (SUCCEEDED(hr) && r.i64(0, 0) == 1) {
      hr = script(kDeliveryKeys, "Cannot update the store schema");
      if (SUCCEEDED(hr)) hr = script(kToFormat2, "Cannot update the store schema");
    }
    if (FAILED(hr)) return rollback(), hr;
    hr = commit();
    if (FAILED(hr)) return hr;
    format = 2;
  }
  if (format > kFormat)
    return fail(MAPI_E_VERSION, "The database of " + where() + " holds message stores of a newer format (" +
                                    std::to_string(format) + "; this version reads " + std::to_string(kFormat) +
                                    "); nothing was written");
  if (format < 1) return fail(MAPI_E_CORRUPT_STORE, "The database of " + where() + " has no valid store format");
  return S_OK;
}

HRESULT PgStoreDb::loadMailbox(const std::string& rowName) {
  PgParams p;
  p.text(rowName);
  PgResult r;
  HRESULT hr = exec("SELECT id, uid, display_name, root_id, ipm_subtree_id, inbox_id, outbox_id, sent_items_id, "
                    "deleted_items_id, drafts_id FROM mailboxes WHERE name = $1",
                    p, r, kRead);
  if (FAILED(hr)) return hr;
  if (r.rows() == 0) {
    // Being copied there: say so (finding the copy is not finding a store).
    PgResult copy;
    if (rowName == m_mailboxName &&
        SUCCEEDED(exec("SELECT 1 FROM mailboxes WHERE name = $1", PgParams().text(copyRowName(m_mailboxName)), copy,
                       kRead)) &&
        copy.rows() > 0)
      return fail(MAPI_E_NOT_FOUND, "There is no message store: " + where() +
                                        " does not exist yet, a copy into it is unfinished (run tolvane-mapi store "
                                        "copy again to finish it)");
    return fail(MAPI_E_NOT_FOUND, "There is no message store: " + where() + " does not exist");
  }
  if (r.size(0, 1) != sizeof m_uid.ab)
    return fail(MAPI_E_CORRUPT_STORE, "The message store of " + where() + " is damaged: its identity is missing");
  m_mailbox = r.i64(0, 0);
  memcpy(m_uid.ab, r.data(0, 1), sizeof m_uid.ab);
  m_displayName = r.str(0, 2);
  ObjectId* folders[] = {&m_folders.root,      &m_folders.ipmSubtree,   &m_folders.inbox, &m_folders.outbox,
                         &m_folders.sentItems, &m_folders.deletedItems, &m_folders.drafts};
  for (int k = 0; k < 7; ++k) *folders[k] = r.i64(0, 3 + k);
  if (!m_folders.root || !m_folders.ipmSubtree || !m_folders.inbox || !m_folders.outbox || !m_folders.sentItems)
    return fail(MAPI_E_CORRUPT_STORE, "The message store of " + where() + " is damaged: its folders are missing");
  return S_OK;
}

HRESULT PgStoreDb::open(const std::string& location, StoreDb** out, std::string& error) {
  return openMailbox(location, false, out, error);
}

HRESULT PgStoreDb::openMailbox(const std::string& location, bool copy, StoreDb** out, std::string& error) {
  *out = nullptr;
  std::unique_ptr<PgStoreDb> db(new PgStoreDb);
  HRESULT hr = connectTo(location, *db, error);
  if (FAILED(hr)) return hr;
  hr = db->checkSchema(false);
  if (SUCCEEDED(hr)) hr = db->loadMailbox(copy ? copyRowName(db->m_mailboxName) : db->m_mailboxName);
  if (FAILED(hr)) {
    error = db->lastError();
    return hr;
  }
  db->m_unfinishedCopy = copy;
  *out = db.release();
  return S_OK;
}

HRESULT PgStoreDb::connectTo(const std::string& location, PgStoreDb& db, std::string& error) {
  PgLocation parsed;
  HRESULT hr = parseLocation(location, parsed, error);
  if (FAILED(hr)) return hr;
  db.m_location = location;
  db.m_conninfo = parsed.conninfo;
  db.m_password = passwordOf(parsed.conninfo);
  db.m_mailboxName = parsed.mailbox;
  hr = db.connect();
  if (FAILED(hr)) error = db.lastError();
  return hr;
}

HRESULT PgStoreDb::create(const std::string& location, const std::string& displayName, MAPIUID& uid,
                          std::string& error) {
  PgStoreDb db;
  HRESULT hr = connectTo(location, db, error);
  if (FAILED(hr)) return hr;
  hr = db.checkSchema(true);
  if (SUCCEEDED(hr)) hr = db.begin();
  if (FAILED(hr)) {
    error = db.lastError();
    return hr;
  }
  std::random_device rd;
  for (BYTE& b : uid.ab) b = static_cast<BYTE>(rd());
  PgResult r;
  {
    PgParams p;
    p.text(db.m_mailboxName).bytes(uid.ab, sizeof uid.ab).text(displayName);
    hr = db.exec("INSERT INTO mailboxes(name, uid, display_name) VALUES($1, $2, $3) "
                 "ON CONFLICT (name) DO NOTHING RETURNING id",
                 p, r, "Cannot create the message store");
  }
  if (SUCCEEDED(hr) && r.rows() == 0)
    hr = db.fail(MAPI_E_COLLISION, "The message store of " + db.where() + " exists already");
  if (SUCCEEDED(hr)) {
    db.m_mailbox = r.i64(0, 0);
    // The standard tree: the root, the IPM subtree and its five folders.
    struct FolderDef {
      const char* name;
      int parent;  // index into ids, -1 for none
    };
    const FolderDef defs[] = {{"", -1},           {"Top of Information Store", 0}, {"Inbox", 1},
                              {"Outbox", 1},      {"Sent Items", 1},               {"Deleted Items", 1},
                              {"Drafts", 1}};
    ObjectId ids[7] = {};
    for (int k = 0; k < 7 && SUCCEEDED(hr); ++k) {
      hr = db.createObject(MAPI_FOLDER, defs[k].parent < 0 ? 0 : ids[defs[k].parent], 0, ids[k]);
      if (FAILED(hr)) break;
      PropRow props = {Prop::String(PR_DISPLAY_NAME_A, defs[k].name),
                       Prop::Long(PR_FOLDER_TYPE, defs[k].parent < 0 ? FOLDER_ROOT : FOLDER_GENERIC)};
      if (defs[k].parent == 1) props.push_back(Prop::String(PR_CONTAINER_CLASS_A, "IPF.Note"));
      hr = db.setProps(ids[k], props);
    }
    if (SUCCEEDED(hr)) {
      PgParams p;
      p.i64(db.m_mailbox);
      for (ObjectId id : ids) p.i64(id);
      hr = db.exec("UPDATE mailboxes SET root_id = $2, ipm_subtree_id = $3, inbox_id = $4, outbox_id = $5, "
                   "sent_items_id = $6, deleted_items_id = $7, drafts_id = $8 WHERE id = $1",
                   p, r, "Cannot record the standard folders");
    }
  }
  if (SUCCEEDED(hr)) hr = db.commit();
  if (FAILED(hr)) {
    error = db.lastError();
    db.rollback();
  }
  return hr;
}

HRESULT PgStoreDb::destroy(const std::string& location, std::string& error) {
  return deleteMailbox(location, false, error);
}

HRESULT PgStoreDb::deleteMailbox(const std::string& location, bool copy, std::string& error) {
  PgStoreDb db;
  HRESULT hr = connectTo(location, db, error);
  if (FAILED(hr)) return hr;
  hr = db.checkSchema(false);
  if (hr == MAPI_E_NOT_FOUND) return S_OK;  // no stores at all
  PgResult r;
  PgParams p;
  p.text(copy ? copyRowName(db.m_mailboxName) : db.m_mailboxName);
  // One statement: the cascade takes every row of the mailbox with it.
  if (SUCCEEDED(hr)) hr = db.exec("DELETE FROM mailboxes WHERE name = $1", p, r, "Cannot delete the message store");
  if (FAILED(hr)) error = db.lastError();
  return hr;
}

HRESULT PgStoreDb::objectKind(ObjectId id, ULONG& kind, ObjectId& parent) {
  int64_t position = 0;
  return objectInfo(id, kind, parent, position);
}

HRESULT PgStoreDb::objectInfo(ObjectId id, ULONG& kind, ObjectId& parent, int64_t& position) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  PgResult r;
  HRESULT hr = exec("SELECT kind, parent_id, position FROM objects WHERE mailbox = $1 AND id = $2",
                    PgParams().i64(m_mailbox).i64(id), r, kRead);
  if (FAILED(hr)) return hr;
  if (r.rows() == 0) return fail(MAPI_E_NOT_FOUND, "The object does not exist in the message store");
  kind = static_cast<ULONG>(r.i64(0, 0));
  parent = r.i64(0, 1);
  position = r.i64(0, 2);
  return S_OK;
}

HRESULT PgStoreDb::children(ObjectId parent, ULONG kind, std::vector<ObjectId>& ids) {
  std::vector<std::pair<ObjectId, int64_t>> list;
  HRESULT hr = childList(parent, kind, list);
  ids.clear();
  for (const auto& c : list) ids.push_back(c.first);
  return hr;
}

HRESULT PgStoreDb::childList(ObjectId parent, ULONG kind, std::vector<std::pair<ObjectId, int64_t>>& out) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  out.clear();
  PgResult r;
  HRESULT hr = exec("SELECT id, position FROM objects WHERE mailbox = $1 AND parent_id = $2 AND kind = $3 "
                    "ORDER BY position, id",
                    PgParams().i64(m_mailbox).i64(parent).i64(kind), r, kRead);
  if (FAILED(hr)) return hr;
  for (int k = 0; k < r.rows(); ++k) out.emplace_back(r.i64(k, 0), r.i64(k, 1));
  return S_OK;
}

HRESULT PgStoreDb::createObject(ULONG kind, ObjectId parent, int64_t position, ObjectId& id) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  endRead();
  PgResult r;
  HRESULT hr = exec("INSERT INTO objects(mailbox, id, kind, parent_id, position) "
                    "VALUES($1, nextval('store_ids'), $2, NULLIF($3, 0), $4) RETURNING id",
                    PgParams().i64(m_mailbox).i64(kind).i64(parent).i64(position), r, kWrite);
  if (FAILED(hr)) return hr;
  id = r.i64(0, 0);
  if (m_txDepth > 0) m_fresh[id];
  return S_OK;
}

HRESULT PgStoreDb::deleteObject(ObjectId id) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  endRead();
  PgResult r;
  HRESULT hr = exec("DELETE FROM objects WHERE mailbox = $1 AND id = $2", PgParams().i64(m_mailbox).i64(id), r,
                    "Cannot delete from the message store");
  if (FAILED(hr)) return hr;
  if (r.affected() == 0) return fail(MAPI_E_NOT_FOUND, "The object does not exist in the message store");
  return S_OK;
}

HRESULT PgStoreDb::moveObject(ObjectId id, ObjectId newParent) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  endRead();
  PgResult r;
  HRESULT hr = exec("UPDATE objects SET parent_id = $3 WHERE mailbox = $1 AND id = $2",
                    PgParams().i64(m_mailbox).i64(id).i64(newParent), r, kWrite);
  if (FAILED(hr)) return hr;
  if (r.affected() == 0) return fail(MAPI_E_NOT_FOUND, "The object does not exist in the message store");
  return S_OK;
}

HRESULT PgStoreDb::countChildren(ObjectId parent, ULONG kind, bool unreadOnly, ULONG& count) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  count = 0;
  PgResult r;
  HRESULT hr = exec("SELECT count(*) FROM objects o LEFT JOIN props p ON p.mailbox = o.mailbox AND "
                    "p.object_id = o.id AND p.prop_id = $4 WHERE o.mailbox = $1 AND o.parent_id = $2 AND "
                    "o.kind = $3 AND ($5 = 0 OR (COALESCE(p.num, 0) & $6) = 0)",
                    PgParams()
                        .i64(m_mailbox)
                        .i64(parent)
                        .i64(kind)
                        .i64(PROP_ID(PR_MESSAGE_FLAGS))
                        .i64(unreadOnly ? 1 : 0)
                        .i64(MSGFLAG_READ),
                    r, kRead);
  if (FAILED(hr)) return hr;
  count = static_cast<ULONG>(r.i64(0, 0));
  return S_OK;
}

HRESULT PgStoreDb::treeSize(ObjectId id, uint64_t& size) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  size = 0;
  PgResult r;
  // Each step looks its rows up by the index (LATERAL ... OFFSET 0 keeps the
  // planner from joining whole tables instead: on a mailbox whose table
  // statistics lag behind its growth it would, and each call would then read
  // every object and value of the mailbox).
  HRESULT hr = exec("WITH RECURSIVE tree(id) AS (SELECT $2::bigint UNION ALL SELECT c.id FROM tree t "
                    "CROSS JOIN LATERAL (SELECT o.id FROM objects o WHERE o.mailbox = $1 AND o.parent_id = t.id "
                    "OFFSET 0) c) "
                    "SELECT COALESCE(SUM(s.size), 0)::bigint FROM tree t CROSS JOIN LATERAL "
                    "(SELECT CASE WHEN p.pieces OR p.data IS NOT NULL THEN p.size ELSE 8 END AS size FROM props p "
                    "WHERE p.mailbox = $1 AND p.object_id = t.id OFFSET 0) s",
                    PgParams().i64(m_mailbox).i64(id), r, kRead);
  if (FAILED(hr)) return hr;
  size = static_cast<uint64_t>(r.i64(0, 0));
  return S_OK;
}

HRESULT PgStoreDb::hasDeliveryKey(const std::string& key, bool& held) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  held = false;
  PgResult r;
  HRESULT hr = exec("SELECT 1 FROM delivery_keys WHERE mailbox = $1 AND key = $2",
                    PgParams().i64(m_mailbox).bytes(key.data(), key.size()), r, kRead);
  if (FAILED(hr)) return hr;
  held = r.rows() > 0;
  return S_OK;
}

HRESULT PgStoreDb::keepDeliveryKey(const std::string& key, ObjectId message) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  PgResult r;
  // Two deliveries of one message at once: the second waits for the first
  // and then fails (its change is undone; tried again, it finds the key).
  return exec("INSERT INTO delivery_keys(mailbox, key, message_id) VALUES($1, $2, $3)",
              PgParams().i64(m_mailbox).bytes(key.data(), key.size()).i64(message), r, kWrite);
}

// ------------------------------------------------------------------ values

namespace {

// The columns of a value, in this order, wherever one is read:
// prop_id, type, num, real, data, size, pieces.
enum ValueColumn { kPropId, kType, kNum, kReal, kData, kSize, kPieces, kValueColumns };

// A value read with its row, as a Prop of the given tag; false when the
// stored bytes are damaged.
bool rowValue(const PgResult& r, int row, int col0, ULONG type, ULONG tag, Prop& out) {
  out = Prop();
  out.tag = tag;
  if (isIntType(type)) {
    out.i = r.i64(row, col0 + kNum);
  } else if (isRealType(type)) {
    out.d = r.f64(row, col0 + kReal);
  } else if (isBytesType(type)) {
    out.bytes = r.str(row, col0 + kData);
  } else if (isMvBytesType(type) || isMvIntType(type)) {
    Prop mv;
    mv.tag = PROP_TAG(type, PROP_ID(tag));
    if (!decodeMv(reinterpret_cast<const unsigned char*>(r.data(row, col0 + kData)), r.size(row, col0 + kData), mv))
      return false;
    mv.tag = tag;
    out = std::move(mv);
  } else {
    return false;
  }
  return true;
}

}  // namespace

HRESULT PgStoreDb::readValue(ObjectId id, const PgResult& r, int row, ULONG wantedType, ULONG sizeLimit, Prop& out) {
  ULONG propId = static_cast<ULONG>(r.i64(row, kPropId));
  ULONG type = static_cast<ULONG>(r.i64(row, kType));
  // The type asked for must match the stored one, strings in either width.
  ULONG want = wantedType == PT_UNSPECIFIED ? type : storedType(wantedType);
  if (want != type) {
    out = Prop::Error(PROP_TAG(PT_ERROR, propId), MAPI_E_NOT_FOUND);
    return S_OK;
  }
  ULONG tag = PROP_TAG(wantedType == PT_UNSPECIFIED ? type : wantedType, propId);
  int64_t size = r.i64(row, kSize);
  bool pieces = r.i64(row, kPieces) != 0;
  if (!isIntType(type) && !isRealType(type) && (size < 0 || static_cast<uint64_t>(size) > sizeLimit)) {
    out = Prop::Error(PROP_TAG(PT_ERROR, propId), MAPI_E_NOT_ENOUGH_MEMORY);
    return S_OK;
  }
  if (pieces) {
    if (!isBytesType(type)) return fail(MAPI_E_CORRUPT_DATA, "A stored property is damaged");
    out = Prop();
    out.tag = tag;
    return readAllPieces(id, propId, static_cast<uint64_t>(size), out.bytes);
  }
  if (!rowValue(r, row, 0, type, tag, out)) return fail(MAPI_E_CORRUPT_DATA, "A stored property is damaged");
  return S_OK;
}

HRESULT PgStoreDb::getProps(ObjectId id, const std::vector<ULONG>& tags, ULONG sizeLimit, PropRow& values) {
  // The values, and the pieces of long ones, of one state of the store.
  ReadScope reading(*this);
  values.clear();
  PgResult r;
  HRESULT hr = exec("SELECT prop_id, type, num, real, CASE WHEN size <= $4 THEN data END, size, pieces "
                    "FROM props WHERE mailbox = $1 AND object_id = $2 AND prop_id = ANY($3)",
                    PgParams().i64(m_mailbox).i64(id).propIds(tags).i64(sizeLimit),
                    r, kRead);
  if (FAILED(hr)) return hr;
  values.reserve(tags.size());
  for (ULONG tag : tags) {
    int row = -1;
    for (int k = 0; k < r.rows() && row < 0; ++k)
      if (static_cast<ULONG>(r.i64(k, kPropId)) == PROP_ID(tag)) row = k;
    Prop p = Prop::Error(PROP_TAG(PT_ERROR, PROP_ID(tag)), MAPI_E_NOT_FOUND);
    if (row >= 0) {
      hr = readValue(id, r, row, PROP_TYPE(tag), sizeLimit, p);
      if (FAILED(hr)) return hr;
    }
    values.push_back(std::move(p));
  }
  return S_OK;
}

HRESULT PgStoreDb::propTags(ObjectId id, std::vector<ULONG>& tags) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  tags.clear();
  PgResult r;
  HRESULT hr = exec("SELECT prop_id, type FROM props WHERE mailbox = $1 AND object_id = $2 ORDER BY prop_id",
                    PgParams().i64(m_mailbox).i64(id), r, kRead);
  if (FAILED(hr)) return hr;
  for (int k = 0; k < r.rows(); ++k)
    tags.push_back(PROP_TAG(static_cast<ULONG>(r.i64(k, 1)), static_cast<ULONG>(r.i64(k, 0))));
  return S_OK;
}

HRESULT PgStoreDb::getAllProps(ObjectId id, ULONG sizeLimit, PropRow& values) {
  ReadScope reading(*this);
  std::vector<ULONG> tags;
  HRESULT hr = propTags(id, tags);
  if (FAILED(hr)) return hr;
  return getProps(id, tags, sizeLimit, values);
}

HRESULT PgStoreDb::deleteProp(ObjectId id, ULONG propId) {
  PgResult r;
  // The cascade takes its pieces.
  return exec("DELETE FROM props WHERE mailbox = $1 AND object_id = $2 AND prop_id = $3",
              PgParams().i64(m_mailbox).i64(id).i64(propId), r, kWrite);
}

HRESULT PgStoreDb::setProps(ObjectId id, const PropRow& values) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  // All the values in two statements (the old rows out, the new ones in
  // through unnest), not two per value: each statement is a round trip.
  // A property given twice keeps its last value, as one set after another.
  std::map<ULONG, size_t> last;
  for (size_t k = 0; k < values.size(); ++k) last[PROP_ID(values[k].tag)] = k;
  size_t n = last.size();
  std::vector<int32_t> ids, types;
  std::vector<int64_t> nums, sizes;
  std::vector<double> reals;
  std::vector<std::string> datas;
  std::vector<bool> hasNum, hasReal, hasData, pieces;
  ids.reserve(n);
  std::vector<size_t> piecesOf;  // indexes into values of the values kept in pieces
  for (const auto& entry : last) {
    const Prop& p = values[entry.second];
    ULONG type = storedType(PROP_TYPE(p.tag));
    ids.push_back(static_cast<int32_t>(entry.first));
    types.push_back(static_cast<int32_t>(type));
    int64_t num = 0;
    double real = 0;
    std::string data;
    bool inNum = false, inReal = false, inData = false, inPieces = false;
    int64_t size = 0;
    if (isIntType(type)) {
      num = p.i;
      inNum = true;
    } else if (isRealType(type)) {
      real = p.d;
      inReal = true;
    } else if (isBytesType(type) || isMvBytesType(type) || isMvIntType(type)) {
      std::string blob = isBytesType(type) ? std::string() : encodeMv(p);
      const std::string& value = isBytesType(type) ? p.bytes : blob;
      // A long string or binary value lives in pieces, its row holds none.
      inPieces = isBytesType(type) && value.size() > kInlineBytes;
      size = static_cast<int64_t>(value.size());
      if (inPieces) {
        piecesOf.push_back(entry.second);
      } else {
        data = value;
        inData = true;
      }
    } else {
      return fail(MAPI_E_INVALID_TYPE, "The property type cannot be stored");
    }
    nums.push_back(num);
    hasNum.push_back(inNum);
    reals.push_back(real);
    hasReal.push_back(inReal);
    datas.push_back(std::move(data));
    hasData.push_back(inData);
    sizes.push_back(size);
    pieces.push_back(inPieces);
  }
  if (n == 0) return S_OK;
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  PgResult r;
  // The cascade takes the pieces of the values replaced; an object made in
  // this transaction has no rows but those set since.
  auto fresh = m_fresh.find(id);
  bool replaces = fresh == m_fresh.end() ||
                  std::any_of(ids.begin(), ids.end(), [&](int32_t k) { return fresh->second.count(k) != 0; });
  if (fresh != m_fresh.end()) fresh->second.insert(ids.begin(), ids.end());
  if (replaces)
    hr = exec("DELETE FROM props WHERE mailbox = $1 AND object_id = $2 AND prop_id = ANY($3)",
              PgParams().i64(m_mailbox).i64(id).int4Array(ids), r, kWrite);
  if (SUCCEEDED(hr)) {
    PgParams params;
    params.i64(m_mailbox).i64(id).int4Array(ids).int4Array(types).int8Array(nums, hasNum).float8Array(reals, hasReal);
    params.byteaArray(datas, hasData).int8Array(sizes, std::vector<bool>(n, true)).boolArray(pieces);
    hr = exec("INSERT INTO props(mailbox, object_id, prop_id, type, num, real, data, size, pieces) "
              "SELECT $1, $2, u.* FROM unnest($3::int4[], $4::int4[], $5::int8[], $6::float8[], $7::bytea[], "
              "$8::int8[], $9::bool[]) AS u",
              params, r, kWrite);
  }
  for (size_t k = 0; SUCCEEDED(hr) && k < piecesOf.size(); ++k) {
    const Prop& p = values[piecesOf[k]];
    hr = writePieces(id, PROP_ID(p.tag), p.bytes.data(), p.bytes.size());
  }
  if (FAILED(hr)) return rollback(), hr;
  return commit();
}

HRESULT PgStoreDb::deleteProps(ObjectId id, const std::vector<ULONG>& tags) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  std::vector<int32_t> ids;
  for (ULONG tag : tags) ids.push_back(static_cast<int32_t>(PROP_ID(tag)));
  PgResult r;
  hr = exec("DELETE FROM props WHERE mailbox = $1 AND object_id = $2 AND prop_id = ANY($3)",
            PgParams().i64(m_mailbox).i64(id).int4Array(ids), r, kWrite);
  if (FAILED(hr)) return rollback(), hr;
  return commit();
}

HRESULT PgStoreDb::readAllPieces(ObjectId id, ULONG propId, uint64_t size, std::string& value) {
  value.clear();
  // The recorded size is checked against the pieces, not trusted for an
  // allocation.
  value.reserve(static_cast<size_t>(std::min<uint64_t>(size, 16 * kPieceBytes)));
  PgResult r;
  HRESULT hr = exec("SELECT data FROM prop_pieces WHERE mailbox = $1 AND object_id = $2 AND prop_id = $3 ORDER BY seq",
                    PgParams().i64(m_mailbox).i64(id).i64(propId), r, kRead);
  if (FAILED(hr)) return hr;
  for (int k = 0; k < r.rows(); ++k) {
    size_t n = r.size(k, 0);
    if (n > size - value.size())
      return fail(MAPI_E_CORRUPT_DATA, "A stored value is damaged: its pieces do not add up to its size");
    value.append(r.data(k, 0), n);
  }
  if (value.size() != size)
    return fail(MAPI_E_CORRUPT_DATA, "A stored value is damaged: its pieces do not add up to its size");
  return S_OK;
}

HRESULT PgStoreDb::writePieces(ObjectId id, ULONG propId, const char* data, size_t size, int64_t firstSeq) {
  int64_t seq = firstSeq;
  for (size_t off = 0; off < size; off += kPieceBytes, ++seq) {
    size_t n = std::min(kPieceBytes, size - off);
    PgResult r;
    // The caller's bytes outlive the statement: no copy.
    HRESULT hr = exec("INSERT INTO prop_pieces(mailbox, object_id, prop_id, seq, data) VALUES($1, $2, $3, $4, $5)",
                      PgParams().i64(m_mailbox).i64(id).i64(propId).i64(seq).bytes(data + off, n), r, kWrite);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT PgStoreDb::valueInfo(ObjectId id, ULONG propId, ULONG& type, uint64_t& size, bool& found) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  found = false;
  size = 0;
  PgResult r;
  HRESULT hr = exec("SELECT type, size FROM props WHERE mailbox = $1 AND object_id = $2 AND prop_id = $3",
                    PgParams().i64(m_mailbox).i64(id).i64(propId), r, kRead);
  if (FAILED(hr)) return hr;
  if (r.rows() == 0) return S_OK;
  type = static_cast<ULONG>(r.i64(0, 0));
  if (!isBytesType(type)) return fail(MAPI_E_INVALID_TYPE, "The property is not a string or binary value");
  int64_t n = r.i64(0, 1);
  size = n < 0 ? 0 : static_cast<uint64_t>(n);
  found = true;
  return S_OK;
}

HRESULT PgStoreDb::readRange(ObjectId id, ULONG propId, uint64_t offset, void* buf, size_t n, size_t& got) {
  // The value's row and its pieces of one state of the store.
  ReadScope reading(*this);
  got = 0;
  PgResult head;
  HRESULT hr = exec("SELECT pieces, size FROM props WHERE mailbox = $1 AND object_id = $2 AND prop_id = $3",
                    PgParams().i64(m_mailbox).i64(id).i64(propId), head, kRead);
  if (FAILED(hr)) return hr;
  if (head.rows() == 0) return fail(MAPI_E_NOT_FOUND, "The value no longer exists in the message store");
  char* out = static_cast<char*>(buf);
  uint64_t size = static_cast<uint64_t>(std::max<int64_t>(0, head.i64(0, 1)));
  if (offset >= size) return S_OK;
  n = static_cast<size_t>(std::min<uint64_t>(n, size - offset));
  if (head.i64(0, 0) == 0) {
    PgResult r;
    hr = exec("SELECT substring(data FROM $4::int FOR $5::int) FROM props WHERE mailbox = $1 AND object_id = $2 AND prop_id = $3",
              PgParams().i64(m_mailbox).i64(id).i64(propId).i64(static_cast<int64_t>(offset) + 1).i64(static_cast<int64_t>(n)),
              r, kRead);
    if (FAILED(hr)) return hr;
    if (r.rows() != 1 || r.size(0, 0) != n)
      return fail(MAPI_E_CORRUPT_DATA, "A stored value is damaged: it is shorter than its size");
    memcpy(out, r.data(0, 0), n);
    got = n;
    return S_OK;
  }
  while (got < n) {
    uint64_t pos = offset + got;
    int64_t seq = static_cast<int64_t>(pos / kPieceBytes);
    size_t within = static_cast<size_t>(pos % kPieceBytes);
    size_t want = std::min(n - got, kPieceBytes - within);
    PgResult r;
    hr = exec("SELECT substring(data FROM $5::int FOR $6::int), octet_length(data) FROM prop_pieces "
              "WHERE mailbox = $1 AND object_id = $2 AND prop_id = $3 AND seq = $4",
              PgParams().i64(m_mailbox).i64(id).i64(propId).i64(seq).i64(static_cast<int64_t>(within) + 1).i64(
                  static_cast<int64_t>(want)),
              r, kRead);
    if (FAILED(hr)) return hr;
    if (r.rows() == 0) return fail(MAPI_E_CORRUPT_DATA, "A stored value is damaged: a piece is missing");
    // The whole piece must have its length, not only the part read.
    uint64_t pieceStart = static_cast<uint64_t>(seq) * kPieceBytes;
    uint64_t pieceLen = std::min<uint64_t>(kPieceBytes, size - pieceStart);
    if (r.size(0, 0) != want || static_cast<uint64_t>(r.i64(0, 1)) != pieceLen)
      return fail(MAPI_E_CORRUPT_DATA, "A stored value is damaged: a piece has the wrong length");
    memcpy(out + got, r.data(0, 0), want);
    got += want;
  }
  return S_OK;
}

HRESULT PgStoreDb::setValueFromPieces(ObjectId id, ULONG tag, uint64_t size, const PieceReader& read) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  ULONG type = storedType(PROP_TYPE(tag));
  ULONG propId = PROP_ID(tag);
  if (!isBytesType(type)) return fail(MAPI_E_INVALID_TYPE, "Only string and binary values are stored in pieces");
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  hr = deleteProp(id, propId);
  if (FAILED(hr)) return rollback(), hr;
  bool pieces = size > kInlineBytes;
  std::string piece(static_cast<size_t>(pieces ? 0 : size), '\0');
  if (!pieces && size) {
    hr = read(0, &piece[0], piece.size());
    if (FAILED(hr)) return rollback(), fail(hr, "The value to store could not be read");
  }
  PgResult r;
  hr = exec("INSERT INTO props(mailbox, object_id, prop_id, type, data, size, pieces) "
            "VALUES($1, $2, $3, $4, CASE WHEN $7 = 0 THEN $5 END, $6, $7 <> 0)",
            PgParams().i64(m_mailbox).i64(id).i64(propId).i64(type).bytes(piece.data(), piece.size()).i64(
                static_cast<int64_t>(size)).i64(pieces ? 1 : 0),
            r, kWrite);
  if (FAILED(hr)) return rollback(), hr;
  for (uint64_t off = 0; pieces && off < size; off += kPieceBytes) {
    piece.resize(static_cast<size_t>(std::min<uint64_t>(kPieceBytes, size - off)));
    hr = read(off, &piece[0], piece.size());
    if (FAILED(hr)) return rollback(), fail(hr, "The value to store could not be read");
    // One piece per call of the reader: the value never sits in memory whole.
    hr = writePieces(id, propId, piece.data(), piece.size(), static_cast<int64_t>(off / kPieceBytes));
    if (FAILED(hr)) return rollback(), hr;
  }
  return commit();
}

HRESULT PgStoreDb::childRows(ObjectId parent, ULONG kind, const std::vector<ULONG>& propIds, ULONG maxBytes,
                             std::vector<ChildRow>& rows) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  rows.clear();
  // Only the properties asked for are joined; values above maxBytes are
  // measured, not read; a value in one piece comes with its row.
  static const char* const kAll =
      "SELECT p.prop_id, p.type, p.num, p.real, CASE WHEN p.size <= $4 THEN CASE WHEN NOT p.pieces THEN p.data "
      "WHEN p.size <= $5 THEN (SELECT v.data FROM prop_pieces v WHERE v.mailbox = p.mailbox AND "
      "v.object_id = p.object_id AND v.prop_id = p.prop_id AND v.seq = 0) END END, p.size, p.pieces, o.id, o.position "
      "FROM objects o LEFT JOIN props p ON p.mailbox = o.mailbox AND p.object_id = o.id "
      "WHERE o.mailbox = $1 AND o.parent_id = $2 AND o.kind = $3 ORDER BY o.id";
  static const char* const kSome =
      "SELECT p.prop_id, p.type, p.num, p.real, CASE WHEN p.size <= $4 THEN CASE WHEN NOT p.pieces THEN p.data "
      "WHEN p.size <= $5 THEN (SELECT v.data FROM prop_pieces v WHERE v.mailbox = p.mailbox AND "
      "v.object_id = p.object_id AND v.prop_id = p.prop_id AND v.seq = 0) END END, p.size, p.pieces, o.id, o.position "
      "FROM objects o LEFT JOIN props p ON p.mailbox = o.mailbox AND p.object_id = o.id AND p.prop_id = ANY($6) "
      "WHERE o.mailbox = $1 AND o.parent_id = $2 AND o.kind = $3 ORDER BY o.id";
  PgParams params;
  params.i64(m_mailbox).i64(parent).i64(kind).i64(maxBytes).i64(static_cast<int64_t>(kPieceBytes));
  if (!propIds.empty()) params.propIds(propIds);
  PgResult r;
  HRESULT hr = exec(propIds.empty() ? kAll : kSome, params, r, kRead);
  if (FAILED(hr)) return hr;
  const int kId = kValueColumns, kPosition = kValueColumns + 1;
  for (int k = 0; k < r.rows(); ++k) {
    ObjectId id = r.i64(k, kId);
    if (rows.empty() || rows.back().id != id) {
      rows.emplace_back();
      rows.back().id = id;
      rows.back().position = r.i64(k, kPosition);
    }
    if (r.null(k, kPropId)) continue;  // no properties
    ULONG propId = static_cast<ULONG>(r.i64(k, kPropId));
    ULONG type = static_cast<ULONG>(r.i64(k, kType));
    int64_t size = r.i64(k, kSize);
    bool pieces = r.i64(k, kPieces) != 0;
    bool fits = size >= 0 && static_cast<uint64_t>(size) <= maxBytes;
    Prop p;
    if (!isIntType(type) && !isRealType(type) && !fits) {
      p = Prop::Error(PROP_TAG(PT_ERROR, propId), MAPI_E_NOT_ENOUGH_MEMORY);
    } else if (pieces && static_cast<uint64_t>(size) > kPieceBytes) {
      if (!isBytesType(type)) return fail(MAPI_E_CORRUPT_DATA, "A stored property is damaged");
      p.tag = PROP_TAG(type, propId);
      hr = readAllPieces(id, propId, static_cast<uint64_t>(size), p.bytes);
      if (FAILED(hr)) return hr;
      countRowValueBytes(p.bytes.size());
    } else if (pieces && (r.null(k, kData) || static_cast<int64_t>(r.size(k, kData)) != size)) {
      return fail(MAPI_E_CORRUPT_DATA, "A stored value is damaged: a piece is missing or short");
    } else if (!rowValue(r, k, 0, type, PROP_TAG(type, propId), p)) {
      return fail(MAPI_E_CORRUPT_DATA, "A stored property is damaged");
    } else {
      countRowValueBytes(r.null(k, kData) ? 8 : r.size(k, kData));
    }
    rows.back().props.push_back(std::move(p));
  }
  std::stable_sort(rows.begin(), rows.end(),
                   [](const ChildRow& a, const ChildRow& b) { return a.position < b.position; });
  return S_OK;
}

// -------------------------------------------------------- named properties

HRESULT PgStoreDb::namedPropId(const GUID& guid, ULONG kind, LONG lid, const std::string& name, bool create,
                               ULONG& propId) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  propId = 0;
  if (kind != MNID_ID && kind != MNID_STRING) return fail(MAPI_E_INVALID_PARAMETER, "Unknown kind of property name");
  std::string cacheKey(reinterpret_cast<const char*>(&guid), sizeof guid);
  cacheKey += std::to_string(kind) + ':' + (kind == MNID_ID ? std::to_string(lid) : name);
  auto cached = m_namedIds.find(cacheKey);
  if (cached != m_namedIds.end()) {
    propId = cached->second;
    return S_OK;
  }
  PgParams key;
  key.i64(m_mailbox).bytes(&guid, sizeof guid).i64(kind).i64(kind == MNID_ID ? lid : 0).text(kind == MNID_ID ? "" : name);
  static const char* const kFind =
      "SELECT id FROM named_props WHERE mailbox = $1 AND guid = $2 AND kind = $3 AND lid = $4 AND name = $5";
  PgResult r;
  HRESULT hr = exec(kFind, key, r, kRead);
  if (FAILED(hr)) return hr;
  if (r.rows() > 0) {
    propId = static_cast<ULONG>(r.i64(0, 0));
    m_namedIds[cacheKey] = propId;
    return S_OK;
  }
  if (!create) return fail(MAPI_E_NOT_FOUND, "The property name is not known to the message store");
  if (m_txDepth > 0) {
    // A name made and kept is harmless should this change be undone.
    if (!m_names) {
      m_names.reset(new PgStoreDb);
      m_names->m_location = m_location;
      m_names->m_conninfo = m_conninfo;
      m_names->m_password = m_password;
      m_names->m_mailboxName = m_mailboxName;
      m_names->m_mailbox = m_mailbox;
    }
    hr = m_names->namedPropId(guid, kind, lid, name, true, propId);
    if (FAILED(hr)) return fail(hr, m_names->lastError());
    m_namedIds[cacheKey] = propId;
    return S_OK;
  }

  // The mailbox's counter row is locked: two hosts naming at once take
  // turns, and the second finds the first one's name. FOR NO KEY UPDATE: the
  // key checks of other changes' new rows (their mailbox) need not wait.
  hr = begin();
  if (FAILED(hr)) return hr;
  hr = exec("SELECT next_named_id FROM mailboxes WHERE id = $1 FOR NO KEY UPDATE", PgParams().i64(m_mailbox), r, kRead);
  if (FAILED(hr)) return rollback(), hr;
  int64_t id = r.i64(0, 0);
  hr = exec(kFind, key, r, kRead);
  if (FAILED(hr)) return rollback(), hr;
  if (r.rows() > 0) {
    propId = static_cast<ULONG>(r.i64(0, 0));
    hr = commit();
    if (SUCCEEDED(hr)) m_namedIds[cacheKey] = propId;
    return hr;
  }
  if (id > 0xFFFE) return rollback(), fail(MAPI_E_TOO_BIG, "The message store has no property ids left for names");
  PgParams ins;
  ins.i64(m_mailbox).bytes(&guid, sizeof guid).i64(kind).i64(kind == MNID_ID ? lid : 0).text(kind == MNID_ID ? "" : name).i64(id);
  hr = exec("INSERT INTO named_props(mailbox, guid, kind, lid, name, id) VALUES($1, $2, $3, $4, $5, $6)", ins, r, kWrite);
  if (SUCCEEDED(hr))
    hr = exec("UPDATE mailboxes SET next_named_id = $2 WHERE id = $1", PgParams().i64(m_mailbox).i64(id + 1), r, kWrite);
  if (FAILED(hr)) return rollback(), hr;
  hr = commit();
  if (FAILED(hr)) return hr;
  propId = static_cast<ULONG>(id);
  m_namedIds[cacheKey] = propId;
  return S_OK;
}

HRESULT PgStoreDb::namedPropName(ULONG propId, GUID& guid, ULONG& kind, LONG& lid, std::string& name) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  PgResult r;
  HRESULT hr = exec("SELECT guid, kind, lid, name FROM named_props WHERE mailbox = $1 AND id = $2",
                    PgParams().i64(m_mailbox).i64(propId), r, kRead);
  if (FAILED(hr)) return hr;
  if (r.rows() == 0) return fail(MAPI_E_NOT_FOUND, "The property id has no name in the message store");
  if (r.size(0, 0) != sizeof guid) return fail(MAPI_E_CORRUPT_DATA, "A stored property name is damaged");
  memcpy(&guid, r.data(0, 0), sizeof guid);
  kind = static_cast<ULONG>(r.i64(0, 1));
  lid = static_cast<LONG>(r.i64(0, 2));
  name = r.str(0, 3);
  return S_OK;
}

namespace {

const StoreEngine kPgEngine = {"postgresql",          isPgLocation,         PgStoreDb::create,
                               PgStoreDb::open,       PgStoreDb::destroy,   maskedPgLocation,
                               PgStoreDb::createCopy, PgStoreDb::openCopy, PgStoreDb::destroyCopy};

}  // namespace

}  // namespace tmapi

extern "C" __attribute__((visibility("default"))) const tmapi::StoreEngine* tolvane_mapi_pg_engine() {
  return &tmapi::kPgEngine;
}
