// The files of the SQLite engine's stores: the schema and its earlier
// formats, making a store file, recording its identity (and the mark of an
// unfinished copy), and opening one, brought to the current format (see
// sqlite_store.h for the schema).
#include "store/sqlite_query.h"
#include "store/sqlite_store.h"

#include <tolvane/mapitest.h>

#include <mapicode.h>
#include <mapitags.h>

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace tmapi {

namespace {

const int kSchemaVersion = 4;
// Version 1 lacked value_files, version 2 the submission queue, version 3
// prop_values; opening such a store adds what it lacks, in one
// transaction.
const char* const kValueFilesTable = R"SQL(
CREATE TABLE IF NOT EXISTS value_files(
  object_id INTEGER NOT NULL,
  prop_id INTEGER NOT NULL,
  name TEXT NOT NULL,
  PRIMARY KEY(object_id, prop_id),
  FOREIGN KEY(object_id, prop_id) REFERENCES props(object_id, prop_id) ON DELETE CASCADE) WITHOUT ROWID;
UPDATE store_info SET value = 2 WHERE key = 'schema_version';
)SQL";
// The submission queue: one row per submitted message, and the progress of
// its recipients (rows delivered, rows that failed for good). New stores
// get it after kSchema; older stores get it when opened (IF NOT EXISTS:
// two processes may open an old store at once).
const char* const kQueueTables = R"SQL(
CREATE TABLE IF NOT EXISTS submit_queue(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  message_id INTEGER NOT NULL UNIQUE REFERENCES objects(id) ON DELETE CASCADE,
  queued_at INTEGER NOT NULL,
  attempts INTEGER NOT NULL DEFAULT 0,
  next_attempt INTEGER NOT NULL,
  last_error TEXT NOT NULL DEFAULT '',
  lease_owner TEXT NOT NULL DEFAULT '',
  lease_until INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS submit_recipients(
  queue_id INTEGER NOT NULL REFERENCES submit_queue(id) ON DELETE CASCADE,
  row_id INTEGER NOT NULL,
  state INTEGER NOT NULL,
  address TEXT NOT NULL DEFAULT '',
  display_name TEXT NOT NULL DEFAULT '',
  status TEXT NOT NULL DEFAULT '',
  detail TEXT NOT NULL DEFAULT '',
  at INTEGER NOT NULL,
  PRIMARY KEY(queue_id, row_id)) WITHOUT ROWID;
)SQL";
// A lease's end on this host's boot clock, which no step of the wall clock
// moves: spoolers of one host compare these, and fall back to the wall
// clock's lease_until only for a lease of another boot (or written by a
// version that kept none). Stores of format 4 made before it get it when
// opened; versions that do not know it keep to lease_until as before.
const char* const kLeaseTable = R"SQL(
CREATE TABLE IF NOT EXISTS submit_leases(
  queue_id INTEGER PRIMARY KEY REFERENCES submit_queue(id) ON DELETE CASCADE,
  owner TEXT NOT NULL,
  boot TEXT NOT NULL,
  boot_until INTEGER NOT NULL);
)SQL";
// Values too long to sit in a props row: props is keyed by (object_id,
// prop_id) without a rowid, so its records are compared whole while a
// lookup descends the tree, and a record that spills onto overflow pages is
// read whole for every such comparison. Kept in a rowid table instead, a
// value is read only when it is asked for. New stores get it after
// kSchema; older stores when opened (IF NOT EXISTS, as above). Rows
// written by earlier versions stay where they are and are read as before.
const char* const kPropValuesTable = R"SQL(
CREATE TABLE IF NOT EXISTS prop_values(
  id INTEGER PRIMARY KEY,
  object_id INTEGER NOT NULL,
  prop_id INTEGER NOT NULL,
  seq INTEGER NOT NULL,
  data BLOB NOT NULL,
  FOREIGN KEY(object_id, prop_id) REFERENCES props(object_id, prop_id) ON DELETE CASCADE);
CREATE UNIQUE INDEX IF NOT EXISTS prop_values_by_prop ON prop_values(object_id, prop_id, seq);
)SQL";
const char* const kCurrentVersion = "UPDATE store_info SET value = 4 WHERE key = 'schema_version'";

const char* const kSchema = R"SQL(
CREATE TABLE store_info(key TEXT PRIMARY KEY, value BLOB) WITHOUT ROWID;
CREATE TABLE objects(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  kind INTEGER NOT NULL,
  parent_id INTEGER REFERENCES objects(id) ON DELETE CASCADE,
  position INTEGER NOT NULL DEFAULT 0);
CREATE INDEX objects_by_parent ON objects(parent_id, kind, id);
CREATE TABLE props(
  object_id INTEGER NOT NULL REFERENCES objects(id) ON DELETE CASCADE,
  prop_id INTEGER NOT NULL,
  type INTEGER NOT NULL,
  value,
  chunked INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY(object_id, prop_id)) WITHOUT ROWID;
CREATE TABLE prop_chunks(
  object_id INTEGER NOT NULL,
  prop_id INTEGER NOT NULL,
  seq INTEGER NOT NULL,
  data BLOB NOT NULL,
  PRIMARY KEY(object_id, prop_id, seq),
  FOREIGN KEY(object_id, prop_id) REFERENCES props(object_id, prop_id) ON DELETE CASCADE) WITHOUT ROWID;
CREATE TABLE value_files(
  object_id INTEGER NOT NULL,
  prop_id INTEGER NOT NULL,
  name TEXT NOT NULL,
  PRIMARY KEY(object_id, prop_id),
  FOREIGN KEY(object_id, prop_id) REFERENCES props(object_id, prop_id) ON DELETE CASCADE) WITHOUT ROWID;
CREATE TABLE named_props(
  id INTEGER PRIMARY KEY,
  guid BLOB NOT NULL,
  kind INTEGER NOT NULL,
  lid INTEGER,
  name TEXT,
  UNIQUE(guid, kind, lid, name));
)SQL";

}  // namespace

HRESULT SqliteStoreDb::createFile(const std::string& path, SqliteStoreDb& db) {
  // The file is made here, exclusively and private to its owner, before
  // SQLite sees it: an existing file is never overwritten.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    int err = errno;
    return db.fail(err == EEXIST ? MAPI_E_COLLISION : MAPI_E_DISK_ERROR,
                   "Cannot create the message store " + path + ": " + strerror(err));
  }
  ::close(fd);
  db.m_location = path;
  int rc = sqlite3_open_v2(path.c_str(), &db.m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  HRESULT hr = S_OK;
  if (rc != SQLITE_OK) {
    hr = db.sqlFail("Cannot open the new message store");
  } else {
    sqlite3_busy_timeout(db.m_db, static_cast<int>(mapitest::lockWait()));
    char* msg = nullptr;
    rc = sqlite3_exec(db.m_db, "PRAGMA journal_mode=WAL; PRAGMA foreign_keys=ON", nullptr, nullptr, &msg);
    sqlite3_free(msg);
    if (rc != SQLITE_OK) hr = db.sqlFail("Cannot configure the new message store");
    if (SUCCEEDED(hr)) hr = db.begin();
    if (SUCCEEDED(hr) && (sqlite3_exec(db.m_db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK ||
                          sqlite3_exec(db.m_db, kQueueTables, nullptr, nullptr, nullptr) != SQLITE_OK ||
                          sqlite3_exec(db.m_db, kLeaseTable, nullptr, nullptr, nullptr) != SQLITE_OK ||
                          sqlite3_exec(db.m_db, kPropValuesTable, nullptr, nullptr, nullptr) != SQLITE_OK))
      hr = db.sqlFail("Cannot create the store schema");
  }
  if (FAILED(hr)) db.discardFile();
  return hr;
}

void SqliteStoreDb::discardFile() {
  rollback();
  finalizeStatements();
  sqlite3_close_v2(m_db);
  m_db = nullptr;
  unlink(m_location.c_str());
  unlink((m_location + "-wal").c_str());
  unlink((m_location + "-shm").c_str());
}

HRESULT SqliteStoreDb::writeIdentity(const MAPIUID& uid, const std::string& displayName, const StoreFolders& folders,
                                     const std::string& copyOf) {
  const std::pair<const char*, ObjectId> ids[] = {
      {"root_id", folders.root},           {"ipm_subtree_id", folders.ipmSubtree},
      {"inbox_id", folders.inbox},         {"outbox_id", folders.outbox},
      {"sent_items_id", folders.sentItems}, {"deleted_items_id", folders.deletedItems},
      {"drafts_id", folders.drafts}};
  {
    TM_QUERY(clear, "DELETE FROM store_info WHERE key IN ('root_id', 'ipm_subtree_id', 'inbox_id', 'outbox_id', "
                    "'sent_items_id', 'deleted_items_id', 'drafts_id', 'unfinished_copy')");
    if (!clear.ok() || clear.step() != SQLITE_DONE) return sqlFail("Cannot record the store identity");
  }
  for (const auto& id : ids) {
    if (!id.second) continue;
    TM_QUERY(info, "INSERT INTO store_info(key, value) VALUES(?1, ?2)");
    if (!info.ok()) return sqlFail("Cannot record the standard folders");
    info.text(1, id.first).bind(2, id.second);
    if (info.step() != SQLITE_DONE) return sqlFail("Cannot record the standard folders");
  }
  {
    TM_QUERY(v, "INSERT OR REPLACE INTO store_info(key, value) VALUES('schema_version', ?1), ('uid', ?2), "
                "('display_name', ?3)");
    if (!v.ok()) return sqlFail("Cannot record the store identity");
    v.bind(1, kSchemaVersion).blob(2, uid.ab, sizeof uid.ab).text(3, displayName);
    if (v.step() != SQLITE_DONE) return sqlFail("Cannot record the store identity");
  }
  if (!copyOf.empty()) {
    TM_QUERY(mark, "INSERT INTO store_info(key, value) VALUES('unfinished_copy', ?1)");
    if (!mark.ok()) return sqlFail("Cannot record the store identity");
    mark.text(1, copyOf);
    if (mark.step() != SQLITE_DONE) return sqlFail("Cannot record the store identity");
  }
  return S_OK;
}

HRESULT SqliteStoreDb::create(const std::string& path, const std::string& displayName, MAPIUID& uid, std::string& error) {
  SqliteStoreDb db;
  HRESULT hr = createFile(path, db);
  if (FAILED(hr)) {
    error = db.m_lastError;
    return hr;
  }
  std::random_device rd;
  for (BYTE& b : uid.ab) b = static_cast<BYTE>(rd());
  // The standard tree: the root, the IPM subtree and its five folders.
  struct FolderDef {
    ObjectId StoreFolders::*field;
    const char* name;
    ObjectId StoreFolders::*parent;
  };
  const FolderDef defs[] = {
      {&StoreFolders::root, "", nullptr},
      {&StoreFolders::ipmSubtree, "Top of Information Store", &StoreFolders::root},
      {&StoreFolders::inbox, "Inbox", &StoreFolders::ipmSubtree},
      {&StoreFolders::outbox, "Outbox", &StoreFolders::ipmSubtree},
      {&StoreFolders::sentItems, "Sent Items", &StoreFolders::ipmSubtree},
      {&StoreFolders::deletedItems, "Deleted Items", &StoreFolders::ipmSubtree},
      {&StoreFolders::drafts, "Drafts", &StoreFolders::ipmSubtree},
  };
  StoreFolders folders;
  for (const auto& def : defs) {
    hr = db.createObject(MAPI_FOLDER, def.parent ? folders.*def.parent : 0, 0, folders.*def.field);
    if (FAILED(hr)) break;
    PropRow props = {Prop::String(PR_DISPLAY_NAME_A, def.name),
                     Prop::Long(PR_FOLDER_TYPE, def.parent ? FOLDER_GENERIC : FOLDER_ROOT)};
    if (def.parent == &StoreFolders::ipmSubtree) props.push_back(Prop::String(PR_CONTAINER_CLASS_A, "IPF.Note"));
    hr = db.setProps(folders.*def.field, props);
    if (FAILED(hr)) break;
  }
  if (SUCCEEDED(hr)) hr = db.writeIdentity(uid, displayName, folders, "");
  if (SUCCEEDED(hr)) hr = db.commit();
  if (FAILED(hr)) {
    error = db.m_lastError;
    db.discardFile();
    return hr;
  }
  return S_OK;
}

HRESULT SqliteStoreDb::open(const std::string& path, SqliteStoreDb** out, std::string& error) {
  return openFile(path, OpenAs::kStore, out, error);
}

HRESULT SqliteStoreDb::openFile(const std::string& path, OpenAs as, SqliteStoreDb** out, std::string& error) {
  *out = nullptr;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    error = "The message store " + path + " cannot be opened: " + strerror(errno);
    return errno == ENOENT ? MAPI_E_NOT_FOUND : MAPI_E_DISK_ERROR;
  }
  if (!S_ISREG(st.st_mode)) {
    error = "The message store " + path + " is not a regular file";
    return MAPI_E_CORRUPT_STORE;
  }
  if (access(path.c_str(), R_OK | W_OK) != 0) {
    error = "The message store " + path + " cannot be opened for reading and writing: " + strerror(errno);
    return MAPI_E_NO_ACCESS;
  }

  SqliteStoreDb* db = new SqliteStoreDb;
  db->m_location = path;
  int rc = sqlite3_open_v2(path.c_str(), &db->m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  HRESULT hr = S_OK;
  if (rc != SQLITE_OK) {
    hr = db->sqlFail("The message store cannot be opened");
  } else {
    sqlite3_busy_timeout(db->m_db, static_cast<int>(mapitest::lockWait()));
    // Closing does not copy the log into the store file: the log is on disk
    // already (every durable commit syncs it), and a process that delivers
    // one message and exits would otherwise pay for a checkpoint, its two
    // syncs and a new log (with a synced header) every time. The next
    // connection reads the log; commit() keeps it short.
    sqlite3_db_config(db->m_db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    hr = db->loadInfo();
  }
  // Half of a mailbox is never taken for the whole; a copy wants the mark.
  if (SUCCEEDED(hr) && as == OpenAs::kStore && db->m_unfinishedCopy)
    hr = db->fail(MAPI_E_BUSY, "The message store " + path + " is an unfinished copy of " + db->m_copyOf +
                                   ": run tolvane-mapi store copy again to finish it");
  if (SUCCEEDED(hr) && as == OpenAs::kCopy && !db->m_unfinishedCopy)
    hr = db->fail(MAPI_E_NOT_FOUND, "The message store " + path + " is not an unfinished copy");
  if (SUCCEEDED(hr)) {
    // Only now that the file is known to be a store: enforce relations.
    if (sqlite3_exec(db->m_db, "PRAGMA foreign_keys=ON", nullptr, nullptr, nullptr) != SQLITE_OK)
      hr = db->sqlFail("The message store cannot be configured");
  }
  if (SUCCEEDED(hr) && db->m_schemaVersion < kSchemaVersion) {
    hr = db->begin();
    if (SUCCEEDED(hr) && ((db->m_schemaVersion < 2 &&
                           sqlite3_exec(db->m_db, kValueFilesTable, nullptr, nullptr, nullptr) != SQLITE_OK) ||
                          sqlite3_exec(db->m_db, kQueueTables, nullptr, nullptr, nullptr) != SQLITE_OK ||
                          sqlite3_exec(db->m_db, kLeaseTable, nullptr, nullptr, nullptr) != SQLITE_OK ||
                          sqlite3_exec(db->m_db, kPropValuesTable, nullptr, nullptr, nullptr) != SQLITE_OK ||
                          sqlite3_exec(db->m_db, kCurrentVersion, nullptr, nullptr, nullptr) != SQLITE_OK)) {
      hr = db->sqlFail("The message store cannot be brought to the current format");
      db->rollback();
    } else if (SUCCEEDED(hr)) {
      hr = db->commit();
    }
    if (SUCCEEDED(hr)) db->m_schemaVersion = kSchemaVersion;
  }
  // A store of the current format made before the boot-clock leases: the
  // table is added (the schema is loaded already, so the look costs no read).
  if (SUCCEEDED(hr) && sqlite3_table_column_metadata(db->m_db, "main", "submit_leases", nullptr, nullptr, nullptr,
                                                     nullptr, nullptr, nullptr) != SQLITE_OK) {
    hr = db->begin();
    if (SUCCEEDED(hr) && sqlite3_exec(db->m_db, kLeaseTable, nullptr, nullptr, nullptr) != SQLITE_OK) {
      hr = db->sqlFail("The message store cannot be brought to the current format");
      db->rollback();
    } else if (SUCCEEDED(hr)) {
      hr = db->commit();
    }
  }
  if (FAILED(hr)) {
    error = db->m_lastError;
    delete db;
    return hr;
  }
  // What killed writers left behind goes now.
  db->sweepValueFiles();
  *out = db;
  return S_OK;
}

HRESULT SqliteStoreDb::loadInfo() {
  // A read-only look first: a file that is not a store (or not a database
  // at all) fails here without a byte written to it.
  TM_QUERY(q, "SELECT key, value FROM store_info");
  if (!q.ok()) {
    int rc = sqlite3_errcode(m_db);
    if (rc == SQLITE_ERROR)  // no such table: a database, but not a store
      return fail(MAPI_E_CORRUPT_STORE, "The file " + m_location + " is not a message store");
    return fail(connectionResult(rc), "The message store " + m_location + " cannot be read: " + sqlite3_errmsg(m_db));
  }
  int64_t version = 0;
  bool haveUid = false;
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) {
    std::string key = reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 0));
    sqlite3_stmt* s = q.get();
    if (key == "schema_version") {
      version = sqlite3_column_int64(s, 1);
    } else if (key == "uid") {
      if (sqlite3_column_bytes(s, 1) == static_cast<int>(sizeof m_uid.ab)) {
        memcpy(m_uid.ab, sqlite3_column_blob(s, 1), sizeof m_uid.ab);
        haveUid = true;
      }
    } else if (key == "display_name") {
      const unsigned char* t = sqlite3_column_text(s, 1);
      m_displayName = t ? reinterpret_cast<const char*>(t) : "";
    } else if (key == "unfinished_copy") {
      const unsigned char* t = sqlite3_column_text(s, 1);
      m_copyOf = t ? reinterpret_cast<const char*>(t) : "";
      m_unfinishedCopy = true;
    } else {
      ObjectId id = sqlite3_column_int64(s, 1);
      if (key == "root_id") m_folders.root = id;
      else if (key == "ipm_subtree_id") m_folders.ipmSubtree = id;
      else if (key == "inbox_id") m_folders.inbox = id;
      else if (key == "outbox_id") m_folders.outbox = id;
      else if (key == "sent_items_id") m_folders.sentItems = id;
      else if (key == "deleted_items_id") m_folders.deletedItems = id;
      else if (key == "drafts_id") m_folders.drafts = id;
    }
  }
  if (rc != SQLITE_DONE)
    return fail(connectionResult(sqlite3_extended_errcode(m_db)),
                "The message store " + m_location + " cannot be read: " + sqlite3_errmsg(m_db));
  m_schemaVersion = static_cast<int>(version);
  if (version < 1 || version > kSchemaVersion)
    return fail(MAPI_E_VERSION, "The message store " + m_location + " has an unknown format version " +
                                    std::to_string(version));
  if (!haveUid || !m_folders.root || !m_folders.ipmSubtree || !m_folders.inbox || !m_folders.outbox ||
      !m_folders.sentItems)
    return fail(MAPI_E_CORRUPT_STORE, "The message store " + m_location + " is damaged: its identity or folders are missing");
  return S_OK;
}

}  // namespace tmapi
