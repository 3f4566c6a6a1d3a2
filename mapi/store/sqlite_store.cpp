#include "store/sqlite_store.h"
#include "store/valuecodec.h"

#include "runtime/testctl_internal.h"

#include <tolvane/mapitest.h>

#include <mapicode.h>
#include <mapitags.h>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace tmapi {

namespace {

class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  // A kept statement: reset for its next use rather than finalized.
  template <typename P>
  explicit Stmt(const P& kept) : stmt_(kept.stmt), rc_(kept.rc), kept_(true) {}
  ~Stmt() {
    if (!kept_) {
      sqlite3_finalize(stmt_);
    } else if (stmt_) {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
  }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  bool ok() const { return rc_ == SQLITE_OK && stmt_; }
  int prepareResult() const { return rc_; }
  sqlite3_stmt* get() { return stmt_; }
  Stmt& bind(int i, int64_t v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Stmt& bindBlob(int i, const void* data, size_t size) {
    sqlite3_bind_blob64(stmt_, i, data ? data : "", size, SQLITE_TRANSIENT);
    return *this;
  }
  Stmt& bindText(int i, const std::string& s) {
    sqlite3_bind_text64(stmt_, i, s.data(), s.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    return *this;
  }
  int step() { return sqlite3_step(stmt_); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int rc_ = SQLITE_ERROR;
  bool kept_ = false;
};

}  // namespace

HRESULT sqliteResult(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return S_OK;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return MAPI_E_BUSY;
    case SQLITE_NOMEM:
      return MAPI_E_NOT_ENOUGH_MEMORY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return MAPI_E_NO_ACCESS;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return MAPI_E_CORRUPT_STORE;
    case SQLITE_FULL:
      return MAPI_E_NOT_ENOUGH_DISK;
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
      return MAPI_E_DISK_ERROR;
    case SQLITE_TOOBIG:
      return MAPI_E_TOO_BIG;
    default:
      return MAPI_E_CALL_FAILED;
  }
}

namespace {
// props.chunked: how a value is kept (0: in the props row itself).
const int64_t kInChunks = 1;  // in prop_chunks rows (written by earlier versions)
const int64_t kInFile = 2;    // in a file of its own
const int64_t kInRows = 3;    // in prop_values rows
// Values up to this long stay in their props row: with the record's other
// columns they fit in a cell of a 4096-byte page without overflow.
const size_t kInlineBytes = 960;
// prop_values pieces: every piece but the last holds exactly this much,
// so a range is found without reading the pieces before it.
const size_t kPieceBytes = 64 * 1024;

const char* const kValueFileOfProp = "SELECT name FROM value_files WHERE object_id = ?1 AND prop_id = ?2";
const char* const kValueFilesOfTree =
    "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL SELECT o.id FROM objects o JOIN tree t ON o.parent_id = t.id) "
    "SELECT name FROM value_files WHERE object_id IN tree";
}  // namespace

SqliteStoreDb::~SqliteStoreDb() {
  // A transaction left open ends here: its new value files go with it.
  if (m_txDepth > 0) rollback();
  finalizeStatements();
  if (m_db) sqlite3_close_v2(m_db);
  unregisterWriter();
}

SqliteStoreDb::Prepared SqliteStoreDb::prepared(const char* sql) {
  Prepared p;
  auto it = m_statements.find(sql);
  if (it != m_statements.end()) {
    p.stmt = it->second;
    p.rc = SQLITE_OK;
    return p;
  }
  p.rc = sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &p.stmt, nullptr);
  if (p.rc == SQLITE_OK && p.stmt) m_statements.emplace(sql, p.stmt);
  return p;
}

SqliteStoreDb::Prepared SqliteStoreDb::preparedText(const std::string& sql) {
  Prepared p;
  auto it = m_builtStatements.find(sql);
  if (it != m_builtStatements.end()) {
    p.stmt = it->second;
    p.rc = SQLITE_OK;
    return p;
  }
  // A bounded set: tables ask for a handful of column sets.
  if (m_builtStatements.size() >= 64) {
    for (auto& s : m_builtStatements) sqlite3_finalize(s.second);
    m_builtStatements.clear();
  }
  p.rc = sqlite3_prepare_v3(m_db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &p.stmt, nullptr);
  if (p.rc == SQLITE_OK && p.stmt) m_builtStatements.emplace(sql, p.stmt);
  return p;
}

void SqliteStoreDb::finalizeStatements() {
  for (auto& s : m_statements) sqlite3_finalize(s.second);
  m_statements.clear();
  for (auto& s : m_builtStatements) sqlite3_finalize(s.second);
  m_builtStatements.clear();
}

HRESULT SqliteStoreDb::connectionResult(int rc) {
  // A file SQLite could not open for want of descriptors or memory is a
  // passing shortage, not a damaged disk.
  int sys = m_db ? sqlite3_system_errno(m_db) : 0;
  if ((rc & 0xFF) == SQLITE_CANTOPEN || (rc & 0xFF) == SQLITE_IOERR) {
    HRESULT hr = fileErrorResult(sys);
    if (hr != MAPI_E_DISK_ERROR) return hr;
  }
  return sqliteResult(rc);
}

HRESULT SqliteStoreDb::sqlFail(const char* what) {
  int rc = sqlite3_extended_errcode(m_db);
  std::string text = std::string(what) + ": " + sqlite3_errmsg(m_db) + " (store " + m_location + ")";
  return fail(connectionResult(rc), text);
}

// BEGIN and COMMIT of a read are kept statements: a scope costs two steps,
// not two parses.
void SqliteStoreDb::enterRead() {
  m_mu.lock();
  if (m_readDepth++ == 0 && m_txDepth == 0) {
    // Deferred: the read transaction starts with the first statement. If it
    // cannot begin, the statements run one by one as without a scope.
    Stmt begin(prepared("BEGIN"));
    m_readOpen = begin.ok() && sqlite3_step(begin.get()) == SQLITE_DONE;
  }
}

void SqliteStoreDb::leaveRead() {
  if (--m_readDepth == 0) endRead();
  m_mu.unlock();
}

void SqliteStoreDb::endRead() {
  // A change inside a ReadScope: its read transaction ends here (it wrote
  // nothing), and the change takes the write lock on the latest state (a
  // read transaction whose state is old could not become a write).
  if (!m_readOpen) return;
  m_readOpen = false;
  Stmt commit(prepared("COMMIT"));
  if (!commit.ok() || sqlite3_step(commit.get()) != SQLITE_DONE)
    sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
}

HRESULT SqliteStoreDb::begin(bool durable) {
  // One lock per level; the outermost commit or rollback releases them.
  m_mu.lock();
  if (m_txDepth++ > 0) return S_OK;
  endRead();
  // A commit that need not reach the disk at once leaves the sync to the
  // next durable commit (the WAL keeps the order).
  m_lazyCommit = !durable;
  if (m_lazyCommit) sqlite3_exec(m_db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  // IMMEDIATE takes the write lock now, so a busy store is reported here
  // (after the bounded wait) rather than half-way through a change.
  if (sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    m_txDepth = 0;
    HRESULT hr = sqlFail("Cannot start a change of the message store");
    endTransaction(false);
    m_mu.unlock();
    return hr;
  }
  return S_OK;
}

void SqliteStoreDb::endTransaction(bool committed) {
  if (m_lazyCommit) {
    sqlite3_exec(m_db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    m_lazyCommit = false;
  }
  // Files of values are removed only once no committed row can name them.
  for (const std::string& name : committed ? m_droppedFiles : m_newFiles)
    unlink((valuesDir() + "/" + name).c_str());
  m_newFiles.clear();
  m_droppedFiles.clear();
}

HRESULT SqliteStoreDb::commit() {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  if (m_txDepth == 0) return S_OK;
  if (--m_txDepth > 0) {
    m_mu.unlock();
    return S_OK;
  }
  HRESULT hr = plannedCommitFault();
  // The names of new value files must be on disk before the rows that
  // name them.
  if (SUCCEEDED(hr) && !m_newFiles.empty()) {
    int dir = ::open(valuesDir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || fsync(dir) != 0) hr = fail(MAPI_E_DISK_ERROR, "Cannot save the change to the message store: " +
                                                                     std::string(strerror(errno)));
    if (dir >= 0) ::close(dir);
  }
  if (SUCCEEDED(hr) && sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
    hr = sqlFail("Cannot save the change to the message store");
  if (FAILED(hr)) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
  endTransaction(SUCCEEDED(hr));
  if (SUCCEEDED(hr)) keepLogShort();
  m_mu.unlock();
  return hr;
}

void SqliteStoreDb::keepLogShort() {
  struct stat st;
  if (stat((m_location + "-wal").c_str(), &st) != 0 || st.st_size < kLogRestartBytes) return;
  // Everything in the log goes into the store file, which is synced, and
  // the log starts again from nothing. A reader in the middle of a read
  // keeps the log as it is: no waiting for it here, a later commit tries
  // again (and SQLite's own checkpoints still run at their size).
  sqlite3_busy_timeout(m_db, 0);
  sqlite3_wal_checkpoint_v2(m_db, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  sqlite3_busy_timeout(m_db, static_cast<int>(mapitest::lockWait()));
}

void SqliteStoreDb::rollback() {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  if (m_txDepth == 0) return;
  int levels = m_txDepth;
  m_txDepth = 0;
  sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
  endTransaction(false);
  for (int k = 0; k < levels; ++k) m_mu.unlock();
}

HRESULT SqliteStoreDb::objectKind(ObjectId id, ULONG& kind, ObjectId& parent) {
  int64_t position = 0;
  return objectInfo(id, kind, parent, position);
}

HRESULT SqliteStoreDb::children(ObjectId parent, ULONG kind, std::vector<ObjectId>& ids) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  ids.clear();
  Stmt q(prepared("SELECT id FROM objects WHERE parent_id = ?1 AND kind = ?2 ORDER BY position, id"));
  if (!q.ok()) return sqlFail("Cannot read the message store");
  q.bind(1, parent).bind(2, kind);
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) ids.push_back(sqlite3_column_int64(q.get(), 0));
  if (rc != SQLITE_DONE) return sqlFail("Cannot read the message store");
  return S_OK;
}

HRESULT SqliteStoreDb::createObject(ULONG kind, ObjectId parent, int64_t position, ObjectId& id) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  endRead();
  Stmt q(prepared("INSERT INTO objects(kind, parent_id, position) VALUES(?1, ?2, ?3)"));
  if (!q.ok()) return sqlFail("Cannot write to the message store");
  q.bind(1, kind).bind(3, position);
  if (parent) q.bind(2, parent);
  if (q.step() != SQLITE_DONE) return sqlFail("Cannot write to the message store");
  id = sqlite3_last_insert_rowid(m_db);
  return S_OK;
}

HRESULT SqliteStoreDb::deleteObject(ObjectId id) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  hr = dropValueFiles(kValueFilesOfTree, id, 0);
  if (FAILED(hr)) return rollback(), hr;
  Stmt q(prepared("DELETE FROM objects WHERE id = ?1"));
  if (!q.ok()) return rollback(), sqlFail("Cannot write to the message store");
  q.bind(1, id);
  if (q.step() != SQLITE_DONE) return rollback(), sqlFail("Cannot delete from the message store");
  if (sqlite3_changes(m_db) == 0) {
    rollback();
    return fail(MAPI_E_NOT_FOUND, "The object does not exist in the message store");
  }
  return commit();
}

HRESULT SqliteStoreDb::readValue(ObjectId id, ULONG propId, ULONG wantedType, ULONG sizeLimit, Prop& out, bool& found) {
  found = false;
  Stmt q(prepared("SELECT type, value, chunked FROM props WHERE object_id = ?1 AND prop_id = ?2"));
  if (!q.ok()) return sqlFail("Cannot read the message store");
  q.bind(1, id).bind(2, propId);
  int rc = q.step();
  if (rc == SQLITE_DONE) return S_OK;
  if (rc != SQLITE_ROW) return sqlFail("Cannot read the message store");
  sqlite3_stmt* s = q.get();
  ULONG type = static_cast<ULONG>(sqlite3_column_int64(s, 0));
  int64_t storage = sqlite3_column_int64(s, 2);
  bool chunked = storage != 0;

  // The type asked for must match the stored one, strings in either width.
  ULONG want = wantedType == PT_UNSPECIFIED ? type : storedType(wantedType);
  if (want != type) {
    out = Prop::Error(PROP_TAG(PT_ERROR, propId), MAPI_E_NOT_FOUND);
    found = true;
    return S_OK;
  }
  ULONG outType = (wantedType == PT_UNSPECIFIED) ? type : wantedType;
  out = Prop();
  out.tag = PROP_TAG(outType, propId);
  found = true;

  if (chunked) {
    int64_t size = sqlite3_column_int64(s, 1);
    if (size < 0 || static_cast<uint64_t>(size) > sizeLimit) {
      out = Prop::Error(PROP_TAG(PT_ERROR, propId), MAPI_E_NOT_ENOUGH_MEMORY);
      return S_OK;
    }
    if (!isBytesType(type)) return fail(MAPI_E_CORRUPT_DATA, "A stored property is damaged");
    std::string value;
    if (storage == kInFile) {
      std::string name;
      HRESULT hr = valueFileName(id, propId, name);
      if (FAILED(hr)) return hr;
      value.resize(static_cast<size_t>(size));
      size_t got = 0;
      hr = readValueFile(name, 0, &value[0], value.size(), got);
      if (FAILED(hr)) return hr;
      if (got != value.size()) return fail(MAPI_E_CORRUPT_DATA, "A stored value is damaged: its file is short");
      out.bytes = std::move(value);
      return S_OK;
    }
    HRESULT hr = readAllPieces(id, propId, storage, static_cast<uint64_t>(size), value);
    if (FAILED(hr)) return hr;
    out.bytes = std::move(value);
    return S_OK;
  }

  if (isIntType(type)) {
    out.i = sqlite3_column_int64(s, 1);
  } else if (isRealType(type)) {
    out.d = sqlite3_column_double(s, 1);
  } else {
    const void* data = sqlite3_column_blob(s, 1);
    size_t n = static_cast<size_t>(sqlite3_column_bytes(s, 1));
    if (isBytesType(type)) {
      if (n > sizeLimit) {
        out = Prop::Error(PROP_TAG(PT_ERROR, propId), MAPI_E_NOT_ENOUGH_MEMORY);
        return S_OK;
      }
      if (data) out.bytes.assign(static_cast<const char*>(data), n);
    } else if (isMvBytesType(type) || isMvIntType(type)) {
      if (n > sizeLimit) {
        out = Prop::Error(PROP_TAG(PT_ERROR, propId), MAPI_E_NOT_ENOUGH_MEMORY);
        return S_OK;
      }
      Prop mv;
      mv.tag = PROP_TAG(type, propId);
      if (!decodeMv(static_cast<const unsigned char*>(data), data ? n : 0, mv))
        return fail(MAPI_E_CORRUPT_DATA, "A stored multi-valued property is damaged");
      mv.tag = out.tag;
      out = std::move(mv);
    } else {
      return fail(MAPI_E_CORRUPT_DATA, "A stored property has an unknown type");
    }
  }
  return S_OK;
}

namespace {
// The statements of the two kinds of pieces; every piece but the last holds
// exactly pieceBytes.
struct PieceTable {
  const char* all;
  const char* range;
  size_t pieceBytes;
};
const PieceTable kChunkPieces = {
    "SELECT data FROM prop_chunks WHERE object_id = ?1 AND prop_id = ?2 ORDER BY seq",
    "SELECT substr(data, ?4, ?5), length(data) FROM prop_chunks WHERE object_id = ?1 AND prop_id = ?2 AND seq = ?3",
    SqliteStoreDb::kChunkSize};
const PieceTable kRowPieces = {
    "SELECT data FROM prop_values WHERE object_id = ?1 AND prop_id = ?2 ORDER BY seq",
    "SELECT substr(data, ?4, ?5), length(data) FROM prop_values WHERE object_id = ?1 AND prop_id = ?2 AND seq = ?3",
    kPieceBytes};
const PieceTable* piecesOf(int64_t storage) {
  if (storage == kInChunks) return &kChunkPieces;
  if (storage == kInRows) return &kRowPieces;
  return nullptr;
}
}  // namespace

HRESULT SqliteStoreDb::readAllPieces(ObjectId id, ULONG propId, int64_t storage, uint64_t size, std::string& value) {
  const PieceTable* table = piecesOf(storage);
  if (!table) return fail(MAPI_E_CORRUPT_DATA, "A stored value is damaged: the way it is kept is unknown");
  value.clear();
  // The recorded size is checked against the pieces, not trusted for an
  // allocation.
  value.reserve(static_cast<size_t>(std::min<uint64_t>(size, 16 * table->pieceBytes)));
  Stmt c(prepared(table->all));
  if (!c.ok()) return sqlFail("Cannot read the message store");
  c.bind(1, id).bind(2, propId);
  int rc;
  while ((rc = c.step()) == SQLITE_ROW) {
    const void* data = sqlite3_column_blob(c.get(), 0);
    size_t n = static_cast<size_t>(sqlite3_column_bytes(c.get(), 0));
    if (n > size - value.size())
      return fail(MAPI_E_CORRUPT_DATA, "A stored value is damaged: its pieces do not add up to its size");
    if (data && n > 0) value.append(static_cast<const char*>(data), n);
  }
  if (rc != SQLITE_DONE) return sqlFail("Cannot read the message store");
  if (value.size() != size)
    return fail(MAPI_E_CORRUPT_DATA, "A stored value is damaged: its pieces do not add up to its size");
  return S_OK;
}

HRESULT SqliteStoreDb::writePieces(ObjectId id, ULONG propId, const char* data, size_t size, uint64_t firstSeq) {
  Stmt c(prepared("INSERT INTO prop_values(object_id, prop_id, seq, data) VALUES(?1, ?2, ?3, ?4)"));
  if (!c.ok()) return sqlFail("Cannot write to the message store");
  for (uint64_t off = 0, seq = firstSeq; off < size; off += kPieceBytes, ++seq) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kPieceBytes, size - off));
    sqlite3_reset(c.get());
    c.bind(1, id).bind(2, propId).bind(3, static_cast<int64_t>(seq));
    // The caller's bytes outlive the step: no copy.
    sqlite3_bind_blob64(c.get(), 4, data + off, n, SQLITE_STATIC);
    if (c.step() != SQLITE_DONE) return sqlFail("Cannot write to the message store");
  }
  return S_OK;
}

HRESULT SqliteStoreDb::getProps(ObjectId id, const std::vector<ULONG>& tags, ULONG sizeLimit, PropRow& values) {
  // The values, and the pieces of long ones, of one state of the store.
  ReadScope reading(*this);
  values.clear();
  values.reserve(tags.size());
  for (ULONG tag : tags) {
    Prop p;
    bool found = false;
    HRESULT hr = readValue(id, PROP_ID(tag), PROP_TYPE(tag), sizeLimit, p, found);
    if (FAILED(hr)) return hr;
    values.push_back(found ? std::move(p) : Prop::Error(PROP_TAG(PT_ERROR, PROP_ID(tag)), MAPI_E_NOT_FOUND));
  }
  return S_OK;
}

HRESULT SqliteStoreDb::propTags(ObjectId id, std::vector<ULONG>& tags) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  tags.clear();
  Stmt q(prepared("SELECT prop_id, type FROM props WHERE object_id = ?1 ORDER BY prop_id"));
  if (!q.ok()) return sqlFail("Cannot read the message store");
  q.bind(1, id);
  int rc;
  while ((rc = q.step()) == SQLITE_ROW)
    tags.push_back(PROP_TAG(static_cast<ULONG>(sqlite3_column_int64(q.get(), 1)),
                            static_cast<ULONG>(sqlite3_column_int64(q.get(), 0))));
  if (rc != SQLITE_DONE) return sqlFail("Cannot read the message store");
  return S_OK;
}

HRESULT SqliteStoreDb::getAllProps(ObjectId id, ULONG sizeLimit, PropRow& values) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  std::vector<ULONG> tags;
  HRESULT hr = propTags(id, tags);
  if (FAILED(hr)) return hr;
  return getProps(id, tags, sizeLimit, values);
}

HRESULT SqliteStoreDb::setProps(ObjectId id, const PropRow& values) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  for (const Prop& p : values) {
    ULONG type = storedType(PROP_TYPE(p.tag));
    ULONG propId = PROP_ID(p.tag);
    // Replacing a value drops its old pieces (the cascade runs on delete).
    hr = dropValueFiles(kValueFileOfProp, id, propId);
    if (FAILED(hr)) return rollback(), hr;
    Stmt del(prepared("DELETE FROM props WHERE object_id = ?1 AND prop_id = ?2"));
    if (!del.ok()) return rollback(), sqlFail("Cannot write to the message store");
    del.bind(1, id).bind(2, propId);
    if (del.step() != SQLITE_DONE) return rollback(), sqlFail("Cannot write to the message store");

    Stmt ins(prepared("INSERT INTO props(object_id, prop_id, type, value, chunked) VALUES(?1, ?2, ?3, ?4, ?5)"));
    if (!ins.ok()) return rollback(), sqlFail("Cannot write to the message store");
    ins.bind(1, id).bind(2, propId).bind(3, type).bind(5, 0);
    bool pieces = false;
    if (isIntType(type)) {
      ins.bind(4, p.i);
    } else if (isRealType(type)) {
      sqlite3_bind_double(ins.get(), 4, p.d);
    } else if (isBytesType(type)) {
      if (p.bytes.size() > kInlineBytes) {
        pieces = true;
        ins.bind(4, static_cast<int64_t>(p.bytes.size())).bind(5, kInRows);
      } else {
        ins.bindBlob(4, p.bytes.data(), p.bytes.size());
      }
    } else if (isMvBytesType(type) || isMvIntType(type)) {
      std::string blob = encodeMv(p);
      ins.bindBlob(4, blob.data(), blob.size());
    } else {
      rollback();
      return fail(MAPI_E_INVALID_TYPE, "The property type cannot be stored");
    }
    if (ins.step() != SQLITE_DONE) return rollback(), sqlFail("Cannot write to the message store");

    if (pieces) {
      hr = writePieces(id, propId, p.bytes.data(), p.bytes.size());
      if (FAILED(hr)) return rollback(), hr;
    }
  }
  return commit();
}

HRESULT SqliteStoreDb::deleteProps(ObjectId id, const std::vector<ULONG>& tags) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  for (ULONG tag : tags) {
    hr = dropValueFiles(kValueFileOfProp, id, PROP_ID(tag));
    if (FAILED(hr)) return rollback(), hr;
    Stmt del(prepared("DELETE FROM props WHERE object_id = ?1 AND prop_id = ?2"));
    if (!del.ok()) return rollback(), sqlFail("Cannot write to the message store");
    del.bind(1, id).bind(2, PROP_ID(tag));
    if (del.step() != SQLITE_DONE) return rollback(), sqlFail("Cannot write to the message store");
  }
  return commit();
}

}  // namespace tmapi

namespace tmapi {

namespace {

// A value kept in the props row itself (not in pieces), as a Prop of the
// given tag. False when the stored bytes are damaged.
bool inlineValue(sqlite3_stmt* s, int col, ULONG type, ULONG tag, Prop& out) {
  out = Prop();
  out.tag = tag;
  if (isIntType(type)) {
    out.i = sqlite3_column_int64(s, col);
  } else if (isRealType(type)) {
    out.d = sqlite3_column_double(s, col);
  } else {
    const void* data = sqlite3_column_blob(s, col);
    size_t n = static_cast<size_t>(sqlite3_column_bytes(s, col));
    if (isBytesType(type)) {
      if (data) out.bytes.assign(static_cast<const char*>(data), n);
    } else if (isMvBytesType(type) || isMvIntType(type)) {
      Prop mv;
      mv.tag = PROP_TAG(type, PROP_ID(tag));
      if (!decodeMv(static_cast<const unsigned char*>(data), data ? n : 0, mv)) return false;
      mv.tag = tag;
      out = std::move(mv);
    } else {
      return false;
    }
  }
  return true;
}

std::string idList(const std::vector<ULONG>& propIds) {
  std::string s;
  for (ULONG id : propIds) {
    if (!s.empty()) s += ',';
    s += std::to_string(PROP_ID(id));
  }
  return s;
}

}  // namespace

HRESULT SqliteStoreDb::objectInfo(ObjectId id, ULONG& kind, ObjectId& parent, int64_t& position) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  Stmt q(prepared("SELECT kind, parent_id, position FROM objects WHERE id = ?1"));
  if (!q.ok()) return sqlFail("Cannot read the message store");
  q.bind(1, id);
  int rc = q.step();
  if (rc == SQLITE_ROW) {
    kind = static_cast<ULONG>(sqlite3_column_int64(q.get(), 0));
    parent = sqlite3_column_int64(q.get(), 1);
    position = sqlite3_column_int64(q.get(), 2);
    return S_OK;
  }
  if (rc == SQLITE_DONE) return fail(MAPI_E_NOT_FOUND, "The object does not exist in the message store");
  return sqlFail("Cannot read the message store");
}

HRESULT SqliteStoreDb::moveObject(ObjectId id, ObjectId newParent) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  endRead();
  Stmt q(prepared("UPDATE objects SET parent_id = ?2 WHERE id = ?1"));
  if (!q.ok()) return sqlFail("Cannot write to the message store");
  q.bind(1, id).bind(2, newParent);
  if (q.step() != SQLITE_DONE) return sqlFail("Cannot write to the message store");
  if (sqlite3_changes(m_db) == 0) return fail(MAPI_E_NOT_FOUND, "The object does not exist in the message store");
  return S_OK;
}

HRESULT SqliteStoreDb::childList(ObjectId parent, ULONG kind, std::vector<std::pair<ObjectId, int64_t>>& out) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  out.clear();
  Stmt q(prepared("SELECT id, position FROM objects WHERE parent_id = ?1 AND kind = ?2 ORDER BY position, id"));
  if (!q.ok()) return sqlFail("Cannot read the message store");
  q.bind(1, parent).bind(2, kind);
  int rc;
  while ((rc = q.step()) == SQLITE_ROW)
    out.emplace_back(sqlite3_column_int64(q.get(), 0), sqlite3_column_int64(q.get(), 1));
  if (rc != SQLITE_DONE) return sqlFail("Cannot read the message store");
  return S_OK;
}

HRESULT SqliteStoreDb::countChildren(ObjectId parent, ULONG kind, bool unreadOnly, ULONG& count) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  count = 0;
  Stmt q(prepared(
         "SELECT count(*) FROM objects o LEFT JOIN props p ON p.object_id = o.id AND p.prop_id = ?3 "
         "WHERE o.parent_id = ?1 AND o.kind = ?2 AND (?4 = 0 OR p.value IS NULL OR (p.value & ?5) = 0)"));
  if (!q.ok()) return sqlFail("Cannot read the message store");
  q.bind(1, parent).bind(2, kind).bind(3, PROP_ID(PR_MESSAGE_FLAGS)).bind(4, unreadOnly ? 1 : 0).bind(5, MSGFLAG_READ);
  if (q.step() != SQLITE_ROW) return sqlFail("Cannot read the message store");
  count = static_cast<ULONG>(sqlite3_column_int64(q.get(), 0));
  return S_OK;
}

HRESULT SqliteStoreDb::treeSize(ObjectId id, uint64_t& size) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  size = 0;
  Stmt q(prepared(
         "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL SELECT o.id FROM objects o JOIN tree t ON o.parent_id = t.id) "
         "SELECT COALESCE(SUM(CASE WHEN p.chunked THEN p.value WHEN typeof(p.value) = 'blob' THEN length(p.value) "
         "ELSE 8 END), 0) FROM props p JOIN tree t ON p.object_id = t.id"));
  if (!q.ok()) return sqlFail("Cannot read the message store");
  q.bind(1, id);
  if (q.step() != SQLITE_ROW) return sqlFail("Cannot read the message store");
  size = static_cast<uint64_t>(sqlite3_column_int64(q.get(), 0));
  return S_OK;
}

HRESULT SqliteStoreDb::childRows(ObjectId parent, ULONG kind, const std::vector<ULONG>& propIds, ULONG maxBytes,
                           std::vector<ChildRow>& rows) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  rows.clear();
  // Only the properties asked for are joined; big values are measured, not
  // read (length() of a blob looks at the record header only).
  std::string sql =
      "SELECT o.id, o.position, p.prop_id, p.type, p.chunked, "
      "CASE WHEN p.chunked THEN p.value WHEN typeof(p.value) = 'blob' THEN length(p.value) ELSE 0 END, "
      "CASE WHEN p.chunked = 0 AND (typeof(p.value) <> 'blob' OR length(p.value) <= ?3) THEN p.value "
      "WHEN p.chunked = 3 AND p.value <= ?3 AND p.value <= ?4 THEN (SELECT v.data FROM prop_values v "
      "WHERE v.object_id = p.object_id AND v.prop_id = p.prop_id AND v.seq = 0) END "
      "FROM objects o LEFT JOIN props p ON p.object_id = o.id";
  if (!propIds.empty()) sql += " AND p.prop_id IN (" + idList(propIds) + ")";
  sql += " WHERE o.parent_id = ?1 AND o.kind = ?2 ORDER BY o.id";
  Stmt q(preparedText(sql));
  if (!q.ok()) return sqlFail("Cannot read the message store");
  q.bind(1, parent).bind(2, kind).bind(3, maxBytes).bind(4, static_cast<int64_t>(kPieceBytes));
  sqlite3_stmt* s = q.get();
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) {
    ObjectId id = sqlite3_column_int64(s, 0);
    if (rows.empty() || rows.back().id != id) {
      rows.emplace_back();
      rows.back().id = id;
      rows.back().position = sqlite3_column_int64(s, 1);
    }
    if (sqlite3_column_type(s, 2) == SQLITE_NULL) continue;  // no properties
    ULONG propId = static_cast<ULONG>(sqlite3_column_int64(s, 2));
    ULONG type = static_cast<ULONG>(sqlite3_column_int64(s, 3));
    int64_t storage = sqlite3_column_int64(s, 4);
    int64_t size = sqlite3_column_int64(s, 5);
    // A value of prop_values that fits is read with its row when it is one
    // piece, and by itself when it is more.
    bool inRows = storage == kInRows && size >= 0 && static_cast<uint64_t>(size) <= maxBytes;
    bool inRow = inRows && static_cast<uint64_t>(size) <= kPieceBytes;
    Prop p;
    if (inRows && !isBytesType(type)) {
      return fail(MAPI_E_CORRUPT_DATA, "A stored property is damaged");
    } else if (inRow && (sqlite3_column_type(s, 6) != SQLITE_BLOB || sqlite3_column_bytes(s, 6) != size)) {
      return fail(MAPI_E_CORRUPT_DATA, "A stored value is damaged: a piece is missing or short");
    } else if (inRows && !inRow) {
      p.tag = PROP_TAG(type, propId);
      HRESULT hr = readAllPieces(rows.back().id, propId, storage, static_cast<uint64_t>(size), p.bytes);
      if (FAILED(hr)) return hr;
      countRowValueBytes(p.bytes.size());
    } else if ((storage != 0 && !inRow) || (size > 0 && static_cast<uint64_t>(size) > maxBytes)) {
      p = Prop::Error(PROP_TAG(PT_ERROR, propId), MAPI_E_NOT_ENOUGH_MEMORY);
    } else if (!inlineValue(s, 6, type, PROP_TAG(type, propId), p)) {
      return fail(MAPI_E_CORRUPT_DATA, "A stored property is damaged");
    } else {
      int valueType = sqlite3_column_type(s, 6);
      countRowValueBytes(valueType == SQLITE_BLOB || valueType == SQLITE_TEXT
                             ? static_cast<uint64_t>(sqlite3_column_bytes(s, 6))
                             : 8);
    }
    rows.back().props.push_back(std::move(p));
  }
  if (rc != SQLITE_DONE) return sqlFail("Cannot read the message store");
  std::stable_sort(rows.begin(), rows.end(),
                   [](const ChildRow& a, const ChildRow& b) { return a.position < b.position; });
  return S_OK;
}

HRESULT SqliteStoreDb::valueInfo(ObjectId id, ULONG propId, ULONG& type, uint64_t& size, bool& found) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  found = false;
  size = 0;
  Stmt q(prepared(
         "SELECT type, CASE WHEN chunked THEN value WHEN typeof(value) = 'blob' THEN length(value) ELSE -1 END "
         "FROM props WHERE object_id = ?1 AND prop_id = ?2"));
  if (!q.ok()) return sqlFail("Cannot read the message store");
  q.bind(1, id).bind(2, propId);
  int rc = q.step();
  if (rc == SQLITE_DONE) return S_OK;
  if (rc != SQLITE_ROW) return sqlFail("Cannot read the message store");
  type = static_cast<ULONG>(sqlite3_column_int64(q.get(), 0));
  int64_t n = sqlite3_column_int64(q.get(), 1);
  if (!isBytesType(type)) return fail(MAPI_E_INVALID_TYPE, "The property is not a string or binary value");
  size = n < 0 ? 0 : static_cast<uint64_t>(n);
  found = true;
  return S_OK;
}

HRESULT SqliteStoreDb::readRange(ObjectId id, ULONG propId, uint64_t offset, void* buf, size_t n, size_t& got) {
  // The value's row and its pieces of one state of the store.
  ReadScope reading(*this);
  got = 0;
  Stmt head(prepared("SELECT chunked, value FROM props WHERE object_id = ?1 AND prop_id = ?2"));
  if (!head.ok()) return sqlFail("Cannot read the message store");
  head.bind(1, id).bind(2, propId);
  int rc = head.step();
  if (rc == SQLITE_DONE) return fail(MAPI_E_NOT_FOUND, "The value no longer exists in the message store");
  if (rc != SQLITE_ROW) return sqlFail("Cannot read the message store");
  int64_t storage = sqlite3_column_int64(head.get(), 0);
  bool chunked = storage != 0;
  char* out = static_cast<char*>(buf);
  if (!chunked) {
    Stmt q(prepared("SELECT substr(CAST(value AS BLOB), ?3, ?4) FROM props WHERE object_id = ?1 AND prop_id = ?2"));
    if (!q.ok()) return sqlFail("Cannot read the message store");
    q.bind(1, id).bind(2, propId).bind(3, static_cast<int64_t>(offset) + 1).bind(4, static_cast<int64_t>(n));
    if (q.step() != SQLITE_ROW) return sqlFail("Cannot read the message store");
    const void* data = sqlite3_column_blob(q.get(), 0);
    size_t len = static_cast<size_t>(sqlite3_column_bytes(q.get(), 0));
    if (data && len) memcpy(out, data, std::min(len, n));
    got = std::min(len, n);
    return S_OK;
  }
  uint64_t size = static_cast<uint64_t>(sqlite3_column_int64(head.get(), 1));
  if (offset >= size) return S_OK;
  n = static_cast<size_t>(std::min<uint64_t>(n, size - offset));
  if (storage == kInFile) {
    std::string name;
    HRESULT hr = valueFileName(id, propId, name);
    if (FAILED(hr)) return hr;
    hr = readValueFile(name, offset, buf, n, got);
    if (SUCCEEDED(hr) && got != n) return fail(MAPI_E_CORRUPT_DATA, "A stored value is damaged: its file is short");
    return hr;
  }
  const PieceTable* table = piecesOf(storage);
  if (!table) return fail(MAPI_E_CORRUPT_DATA, "A stored value is damaged: the way it is kept is unknown");
  Stmt q(prepared(table->range));
  if (!q.ok()) return sqlFail("Cannot read the message store");
  while (got < n) {
    uint64_t pos = offset + got;
    int64_t seq = static_cast<int64_t>(pos / table->pieceBytes);
    size_t within = static_cast<size_t>(pos % table->pieceBytes);
    size_t want = std::min(n - got, table->pieceBytes - within);
    sqlite3_reset(q.get());
    q.bind(1, id).bind(2, propId).bind(3, seq).bind(4, static_cast<int64_t>(within) + 1).bind(5, static_cast<int64_t>(want));
    rc = q.step();
    if (rc == SQLITE_DONE) return fail(MAPI_E_CORRUPT_DATA, "A stored value is damaged: a piece is missing");
    if (rc != SQLITE_ROW) return sqlFail("Cannot read the message store");
    const void* data = sqlite3_column_blob(q.get(), 0);
    size_t len = static_cast<size_t>(sqlite3_column_bytes(q.get(), 0));
    // The whole piece must have its length, not only the part read.
    uint64_t pieceStart = static_cast<uint64_t>(seq) * table->pieceBytes;
    uint64_t pieceLen = std::min<uint64_t>(table->pieceBytes, size - pieceStart);
    if (len != want || !data || static_cast<uint64_t>(sqlite3_column_int64(q.get(), 1)) != pieceLen)
      return fail(MAPI_E_CORRUPT_DATA, "A stored value is damaged: a piece has the wrong length");
    memcpy(out + got, data, len);
    got += len;
  }
  return S_OK;
}

HRESULT SqliteStoreDb::setValueFromPieces(ObjectId id, ULONG tag, uint64_t size, const PieceReader& read) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  ULONG type = storedType(PROP_TYPE(tag));
  ULONG propId = PROP_ID(tag);
  if (!isBytesType(type)) return fail(MAPI_E_INVALID_TYPE, "Only string and binary values are stored in pieces");
  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  hr = dropValueFiles(kValueFileOfProp, id, propId);
  if (FAILED(hr)) return rollback(), hr;
  Stmt del(prepared("DELETE FROM props WHERE object_id = ?1 AND prop_id = ?2"));
  if (!del.ok()) return rollback(), sqlFail("Cannot write to the message store");
  del.bind(1, id).bind(2, propId);
  if (del.step() != SQLITE_DONE) return rollback(), sqlFail("Cannot write to the message store");

  std::string piece;
  Stmt ins(prepared("INSERT INTO props(object_id, prop_id, type, value, chunked) VALUES(?1, ?2, ?3, ?4, ?5)"));
  if (!ins.ok()) return rollback(), sqlFail("Cannot write to the message store");
  ins.bind(1, id).bind(2, propId).bind(3, type);
  if (size <= kInlineBytes) {
    piece.resize(static_cast<size_t>(size));
    if (size) {
      hr = read(0, &piece[0], piece.size());
      if (FAILED(hr)) return rollback(), fail(hr, "The value to store could not be read");
    }
    ins.bindBlob(4, piece.data(), piece.size()).bind(5, 0);
    if (ins.step() != SQLITE_DONE) return rollback(), sqlFail("Cannot write to the message store");
    return commit();
  }
  if (size <= kChunkSize) {
    ins.bind(4, static_cast<int64_t>(size)).bind(5, kInRows);
    if (ins.step() != SQLITE_DONE) return rollback(), sqlFail("Cannot write to the message store");
    for (uint64_t off = 0; off < size; off += kPieceBytes) {
      piece.resize(static_cast<size_t>(std::min<uint64_t>(kPieceBytes, size - off)));
      hr = read(off, &piece[0], piece.size());
      if (FAILED(hr)) return rollback(), fail(hr, "The value to store could not be read");
      // One piece per call of the reader: the value never sits in memory whole.
      hr = writePieces(id, propId, piece.data(), piece.size(), off / kPieceBytes);
      if (FAILED(hr)) return rollback(), hr;
    }
    return commit();
  }
  // A large value goes to a file of its own: written once, read at disk
  // speed, and never copied through the database's journal.
  std::string name;
  hr = writeValueFile(id, propId, size, read, name);
  if (FAILED(hr)) return rollback(), hr;
  ins.bind(4, static_cast<int64_t>(size)).bind(5, kInFile);
  if (ins.step() != SQLITE_DONE) return rollback(), sqlFail("Cannot write to the message store");
  Stmt f(prepared("INSERT INTO value_files(object_id, prop_id, name) VALUES(?1, ?2, ?3)"));
  if (!f.ok()) return rollback(), sqlFail("Cannot write to the message store");
  f.bind(1, id).bind(2, propId).bindText(3, name);
  if (f.step() != SQLITE_DONE) return rollback(), sqlFail("Cannot write to the message store");
  return commit();
}

HRESULT SqliteStoreDb::namedPropId(const GUID& guid, ULONG kind, LONG lid, const std::string& name, bool create,
                             ULONG& propId) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  propId = 0;
  if (kind != MNID_ID && kind != MNID_STRING) return fail(MAPI_E_INVALID_PARAMETER, "Unknown kind of property name");
  Stmt q(prepared(
         "SELECT id FROM named_props WHERE guid = ?1 AND kind = ?2 AND "
         "((kind = 0 AND lid = ?3) OR (kind = 1 AND name = ?4))"));
  if (!q.ok()) return sqlFail("Cannot read the message store");
  q.bindBlob(1, &guid, sizeof guid).bind(2, kind).bind(3, lid).bindText(4, name);
  int rc = q.step();
  if (rc == SQLITE_ROW) {
    propId = static_cast<ULONG>(sqlite3_column_int64(q.get(), 0));
    return S_OK;
  }
  if (rc != SQLITE_DONE) return sqlFail("Cannot read the message store");
  if (!create) return fail(MAPI_E_NOT_FOUND, "The property name is not known to the message store");

  HRESULT hr = begin();
  if (FAILED(hr)) return hr;
  Stmt next(prepared("SELECT COALESCE(MAX(id), 32767) + 1 FROM named_props"));
  if (!next.ok() || next.step() != SQLITE_ROW) return rollback(), sqlFail("Cannot read the message store");
  int64_t id = sqlite3_column_int64(next.get(), 0);
  if (id > 0xFFFE) return rollback(), fail(MAPI_E_TOO_BIG, "The message store has no property ids left for names");
  Stmt ins(prepared("INSERT INTO named_props(id, guid, kind, lid, name) VALUES(?1, ?2, ?3, ?4, ?5)"));
  if (!ins.ok()) return rollback(), sqlFail("Cannot write to the message store");
  ins.bind(1, id).bindBlob(2, &guid, sizeof guid).bind(3, kind);
  if (kind == MNID_ID) ins.bind(4, lid);
  else ins.bindText(5, name);
  if (ins.step() != SQLITE_DONE) return rollback(), sqlFail("Cannot write to the message store");
  hr = commit();
  if (FAILED(hr)) return hr;
  propId = static_cast<ULONG>(id);
  return S_OK;
}

HRESULT SqliteStoreDb::namedPropName(ULONG propId, GUID& guid, ULONG& kind, LONG& lid, std::string& name) {
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  Stmt q(prepared("SELECT guid, kind, lid, name FROM named_props WHERE id = ?1"));
  if (!q.ok()) return sqlFail("Cannot read the message store");
  q.bind(1, propId);
  int rc = q.step();
  if (rc == SQLITE_DONE) return fail(MAPI_E_NOT_FOUND, "The property id has no name in the message store");
  if (rc != SQLITE_ROW) return sqlFail("Cannot read the message store");
  sqlite3_stmt* s = q.get();
  if (sqlite3_column_bytes(s, 0) != static_cast<int>(sizeof guid))
    return fail(MAPI_E_CORRUPT_DATA, "A stored property name is damaged");
  memcpy(&guid, sqlite3_column_blob(s, 0), sizeof guid);
  kind = static_cast<ULONG>(sqlite3_column_int64(s, 1));
  lid = static_cast<LONG>(sqlite3_column_int64(s, 2));
  const unsigned char* t = sqlite3_column_text(s, 3);
  name = t ? reinterpret_cast<const char*>(t) : "";
  return S_OK;
}

}  // namespace tmapi
