// The directory database behind the address book. Every operation opens
// its own connection and closes it again, so that the tool, a delivery
// agent and the Java service can use the directory at the same time; writes
// run in one IMMEDIATE transaction each.
#include <tolvane/directory.h>
#include <tolvane/profiles.h>

#include "addrbook/abids.h"

#include <mapicode.h>

#include <sqlite3.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace mapidirectory {

namespace {

const int kBusyTimeoutMs = 15000;
const size_t kMaxDisplayName = 256;
const size_t kMaxAddress = 1024;
const size_t kMaxProxies = 64;

const char* const kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS entries(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  display_name TEXT NOT NULL,
  smtp TEXT,
  dn TEXT);
CREATE UNIQUE INDEX IF NOT EXISTS entries_by_smtp ON entries(smtp COLLATE NOCASE) WHERE smtp IS NOT NULL;
CREATE UNIQUE INDEX IF NOT EXISTS entries_by_dn ON entries(dn COLLATE NOCASE) WHERE dn IS NOT NULL;
CREATE TABLE IF NOT EXISTS proxies(
  entry_id INTEGER NOT NULL REFERENCES entries(id) ON DELETE CASCADE,
  position INTEGER NOT NULL,
  address TEXT NOT NULL,
  PRIMARY KEY(entry_id, position)) WITHOUT ROWID;
)SQL";

HRESULT sqliteHr(int rc) {
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
      return MAPI_E_CORRUPT_DATA;
    case SQLITE_FULL:
      return MAPI_E_NOT_ENOUGH_DISK;
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
      return MAPI_E_DISK_ERROR;
    case SQLITE_CONSTRAINT:
      return MAPI_E_COLLISION;
    default:
      return MAPI_E_CALL_FAILED;
  }
}

class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) { m_rc = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
  ~Stmt() { sqlite3_finalize(m_stmt); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  bool ok() const { return m_rc == SQLITE_OK && m_stmt; }
  Stmt& bind(int i, int64_t v) {
    sqlite3_bind_int64(m_stmt, i, v);
    return *this;
  }
  Stmt& bindText(int i, const std::string& s) {
    sqlite3_bind_text64(m_stmt, i, s.data(), s.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    return *this;
  }
  Stmt& bindOptional(int i, const std::string& s) {
    if (s.empty()) sqlite3_bind_null(m_stmt, i);
    else bindText(i, s);
    return *this;
  }
  int step() { return sqlite3_step(m_stmt); }
  int64_t integer(int col) { return sqlite3_column_int64(m_stmt, col); }
  std::string text(int col) {
    const void* p = sqlite3_column_blob(m_stmt, col);
    int n = sqlite3_column_bytes(m_stmt, col);
    return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
  }

 private:
  sqlite3_stmt* m_stmt = nullptr;
  int m_rc = SQLITE_ERROR;
};

// One connection to the directory file.
class Db {
 public:
  ~Db() {
    if (m_db) sqlite3_close_v2(m_db);
  }

  // For reading: `missing` tells that there is no directory yet (no file,
  // or a file without the schema), which reads as an empty directory.
  HRESULT openForRead(bool& missing, std::string& error) {
    missing = false;
    std::string file = path();
    struct stat st;
    if (stat(file.c_str(), &st) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) {
        missing = true;
        return S_OK;
      }
      error = "Cannot read the directory " + file + ": " + strerror(errno);
      return MAPI_E_NO_ACCESS;
    }
    HRESULT hr = openFile(file, SQLITE_OPEN_READONLY, error);
    if (FAILED(hr)) return hr;
    Stmt s(m_db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'entries'");
    if (!s.ok()) return fail("Cannot read the directory", error);
    int rc = s.step();
    if (rc == SQLITE_DONE) missing = true;
    else if (rc != SQLITE_ROW) return fail("Cannot read the directory", error);
    return S_OK;
  }

  // For writing: creates the home folder and the file (0600) when needed
  // and begins an IMMEDIATE transaction with the schema in place.
  HRESULT openForWrite(std::string& error) {
    std::string home = mapiprofile::homeDir();
    if (!makeDirs(home, error)) return MAPI_E_NO_ACCESS;
    std::string file = path();
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      error = "Cannot create the directory " + file + ": " + strerror(errno);
      return errno == ENOSPC ? MAPI_E_NOT_ENOUGH_DISK : MAPI_E_NO_ACCESS;
    }
    ::close(fd);
    HRESULT hr = openFile(file, SQLITE_OPEN_READWRITE, error);
    if (FAILED(hr)) return hr;
    if (sqlite3_exec(m_db, "PRAGMA foreign_keys=ON; BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
      return fail("Cannot write the directory", error);
    m_inTransaction = true;
    if (sqlite3_exec(m_db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK)
      return fail("Cannot create the directory's tables", error);
    return S_OK;
  }

  HRESULT commit(std::string& error) {
    if (sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return fail("Cannot write the directory", error);
    m_inTransaction = false;
    return S_OK;
  }

  void rollback() {
    if (m_inTransaction) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    m_inTransaction = false;
  }

  HRESULT fail(const std::string& what, std::string& error) {
    int rc = sqlite3_extended_errcode(m_db);
    error = what + " " + path() + ": " + sqlite3_errmsg(m_db);
    HRESULT hr = sqliteHr(rc);
    return hr == S_OK ? MAPI_E_CALL_FAILED : hr;
  }

  sqlite3* get() { return m_db; }

 private:
  HRESULT openFile(const std::string& file, int mode, std::string& error) {
    int rc = sqlite3_open_v2(file.c_str(), &m_db, mode | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      error = "Cannot open the directory " + file + ": " + (m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc));
      HRESULT hr = sqliteHr(rc);
      return hr == S_OK ? MAPI_E_CALL_FAILED : hr;
    }
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    return S_OK;
  }

  static bool makeDirs(const std::string& dir, std::string& error) {
    std::string partial;
    size_t pos = 0;
    while (pos <= dir.size()) {
      size_t next = dir.find('/', pos);
      if (next == std::string::npos) next = dir.size();
      partial = dir.substr(0, next);
      if (!partial.empty() && mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "Cannot create the folder " + partial + ": " + strerror(errno);
        return false;
      }
      pos = next + 1;
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      error = "The path " + dir + " is not a folder";
      return false;
    }
    return true;
  }

  sqlite3* m_db = nullptr;
  bool m_inTransaction = false;
};

bool hasControl(const std::string& s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

bool validSmtp(const std::string& s) {
  size_t at = s.rfind('@');
  if (at == std::string::npos || at == 0 || at + 1 == s.size()) return false;
  for (unsigned char c : s)
    if (c <= 0x20 || c == 0x7F || strchr("<>()[],;:\"\\", c)) return false;
  return true;
}

bool validProxy(const std::string& s) {
  size_t colon = s.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == s.size()) return false;
  for (size_t i = 0; i < colon; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (!isalnum(c) && c != '-') return false;
  }
  return true;
}

bool allDigits(const std::string& s) {
  if (s.empty() || s.size() > 18) return false;
  for (unsigned char c : s)
    if (!isdigit(c)) return false;
  return true;
}

// Reads entries (all, or the one with `id` when id > 0).
HRESULT readEntries(Db& db, int64_t id, std::vector<Entry>& out, std::string& error) {
  out.clear();
  Stmt e(db.get(), id > 0 ? "SELECT id, display_name, smtp, dn FROM entries WHERE id = ?1"
                          : "SELECT id, display_name, smtp, dn FROM entries ORDER BY id");
  if (!e.ok()) return db.fail("Cannot read the directory", error);
  if (id > 0) e.bind(1, id);
  std::map<int64_t, size_t> index;
  int rc;
  while ((rc = e.step()) == SQLITE_ROW) {
    Entry entry;
    entry.id = e.integer(0);
    entry.displayName = e.text(1);
    entry.smtpAddress = e.text(2);
    entry.distinguishedName = e.text(3);
    index[entry.id] = out.size();
    out.push_back(std::move(entry));
  }
  if (rc != SQLITE_DONE) return db.fail("Cannot read the directory", error);
  if (out.empty()) return S_OK;
  Stmt p(db.get(), id > 0 ? "SELECT entry_id, address FROM proxies WHERE entry_id = ?1 ORDER BY position"
                          : "SELECT entry_id, address FROM proxies ORDER BY entry_id, position");
  if (!p.ok()) return db.fail("Cannot read the directory", error);
  if (id > 0) p.bind(1, id);
  while ((rc = p.step()) == SQLITE_ROW) {
    auto it = index.find(p.integer(0));
    if (it != index.end()) out[it->second].proxies.push_back(p.text(1));
  }
  if (rc != SQLITE_DONE) return db.fail("Cannot read the directory", error);
  return S_OK;
}

// The id of the entry whose column (smtp or dn) equals value, case-blind;
// 0 when none.
HRESULT findId(Db& db, const char* sql, const std::string& value, int64_t& id, std::string& error) {
  id = 0;
  Stmt s(db.get(), sql);
  if (!s.ok()) return db.fail("Cannot read the directory", error);
  s.bindText(1, value);
  int rc = s.step();
  if (rc == SQLITE_ROW) id = s.integer(0);
  else if (rc != SQLITE_DONE) return db.fail("Cannot read the directory", error);
  return S_OK;
}

const char* const kBySmtp = "SELECT id FROM entries WHERE smtp = ?1 COLLATE NOCASE";
const char* const kByDn = "SELECT id FROM entries WHERE dn = ?1 COLLATE NOCASE";

}  // namespace

std::string path() { return mapiprofile::homeDir() + "/directory.db"; }

bool validEntry(const Entry& entry, std::string& why) {
  if (entry.displayName.empty()) {
    why = "the display name is empty";
    return false;
  }
  if (entry.displayName.size() > kMaxDisplayName) {
    why = "the display name is longer than 256 bytes";
    return false;
  }
  if (hasControl(entry.displayName)) {
    why = "the display name contains control characters";
    return false;
  }
  if (!entry.smtpAddress.empty() && (entry.smtpAddress.size() > kMaxAddress || !validSmtp(entry.smtpAddress))) {
    why = "'" + entry.smtpAddress + "' is not an SMTP address (local-part@domain)";
    return false;
  }
  if (!entry.distinguishedName.empty() &&
      (entry.distinguishedName[0] != '/' || entry.distinguishedName.size() > kMaxAddress ||
       hasControl(entry.distinguishedName))) {
    why = "'" + entry.distinguishedName + "' is not a distinguished name (/o=.../cn=...)";
    return false;
  }
  if (entry.proxies.size() > kMaxProxies) {
    why = "an entry has at most 64 proxy addresses";
    return false;
  }
  for (const std::string& p : entry.proxies) {
    if (p.size() > kMaxAddress || hasControl(p) || !validProxy(p)) {
      why = "'" + p + "' is not a proxy address (type:address)";
      return false;
    }
  }
  return true;
}

HRESULT add(Entry& entry, std::string& error) {
  std::string why;
  if (!validEntry(entry, why)) {
    error = "Invalid directory entry: " + why;
    return MAPI_E_INVALID_PARAMETER;
  }
  Db db;
  HRESULT hr = db.openForWrite(error);
  if (FAILED(hr)) return hr;
  int64_t other = 0;
  if (!entry.smtpAddress.empty()) {
    hr = findId(db, kBySmtp, entry.smtpAddress, other, error);
    if (FAILED(hr)) return db.rollback(), hr;
    if (other) {
      db.rollback();
      error = "The SMTP address " + entry.smtpAddress + " belongs to directory entry " + std::to_string(other);
      return MAPI_E_COLLISION;
    }
  }
  if (!entry.distinguishedName.empty()) {
    hr = findId(db, kByDn, entry.distinguishedName, other, error);
    if (FAILED(hr)) return db.rollback(), hr;
    if (other) {
      db.rollback();
      error = "The distinguished name " + entry.distinguishedName + " belongs to directory entry " +
              std::to_string(other);
      return MAPI_E_COLLISION;
    }
  }
  Stmt ins(db.get(), "INSERT INTO entries(display_name, smtp, dn) VALUES(?1, ?2, ?3)");
  if (!ins.ok()) return hr = db.fail("Cannot write the directory", error), db.rollback(), hr;
  ins.bindText(1, entry.displayName).bindOptional(2, entry.smtpAddress).bindOptional(3, entry.distinguishedName);
  if (ins.step() != SQLITE_DONE) return hr = db.fail("Cannot write the directory", error), db.rollback(), hr;
  int64_t id = sqlite3_last_insert_rowid(db.get());
  for (size_t i = 0; i < entry.proxies.size(); ++i) {
    Stmt p(db.get(), "INSERT INTO proxies(entry_id, position, address) VALUES(?1, ?2, ?3)");
    if (!p.ok()) return hr = db.fail("Cannot write the directory", error), db.rollback(), hr;
    p.bind(1, id).bind(2, static_cast<int64_t>(i)).bindText(3, entry.proxies[i]);
    if (p.step() != SQLITE_DONE) return hr = db.fail("Cannot write the directory", error), db.rollback(), hr;
  }
  hr = db.commit(error);
  if (FAILED(hr)) return db.rollback(), hr;
  entry.id = id;
  return S_OK;
}

HRESULT list(std::vector<Entry>& entries, std::string& error) {
  entries.clear();
  Db db;
  bool missing = false;
  HRESULT hr = db.openForRead(missing, error);
  if (FAILED(hr) || missing) return hr;
  return readEntries(db, 0, entries, error);
}

HRESULT get(int64_t id, Entry& entry, std::string& error) {
  if (id <= 0) {
    error = "There is no directory entry " + std::to_string(id);
    return MAPI_E_NOT_FOUND;
  }
  Db db;
  bool missing = false;
  HRESULT hr = db.openForRead(missing, error);
  if (FAILED(hr)) return hr;
  std::vector<Entry> found;
  if (!missing) {
    hr = readEntries(db, id, found, error);
    if (FAILED(hr)) return hr;
  }
  if (found.empty()) {
    error = "There is no directory entry " + std::to_string(id);
    return MAPI_E_NOT_FOUND;
  }
  entry = std::move(found[0]);
  return S_OK;
}

HRESULT findByDistinguishedName(const std::string& dn, Entry& entry, std::string& error) {
  Db db;
  bool missing = false;
  HRESULT hr = db.openForRead(missing, error);
  if (FAILED(hr)) return hr;
  int64_t id = 0;
  if (!missing && !dn.empty()) {
    hr = findId(db, kByDn, dn, id, error);
    if (FAILED(hr)) return hr;
  }
  std::vector<Entry> found;
  if (id) {
    hr = readEntries(db, id, found, error);
    if (FAILED(hr)) return hr;
  }
  if (found.empty()) {
    error = "No directory entry has the distinguished name " + dn;
    return MAPI_E_NOT_FOUND;
  }
  entry = std::move(found[0]);
  return S_OK;
}

HRESULT remove(const std::string& idOrSmtp, Entry& removed, std::string& error) {
  std::string notFound = allDigits(idOrSmtp) ? "There is no directory entry " + idOrSmtp
                                             : "No directory entry has the SMTP address " + idOrSmtp;
  // A missing directory is not created just to find nothing in it.
  struct stat st;
  if (stat(path().c_str(), &st) != 0 && errno == ENOENT) {
    error = notFound;
    return MAPI_E_NOT_FOUND;
  }
  Db db;
  HRESULT hr = db.openForWrite(error);
  if (FAILED(hr)) return hr;
  int64_t id = 0;
  if (allDigits(idOrSmtp)) {
    id = std::stoll(idOrSmtp);
  } else if (!idOrSmtp.empty()) {
    hr = findId(db, kBySmtp, idOrSmtp, id, error);
    if (FAILED(hr)) return db.rollback(), hr;
  }
  std::vector<Entry> found;
  if (id > 0) {
    hr = readEntries(db, id, found, error);
    if (FAILED(hr)) return db.rollback(), hr;
  }
  if (found.empty()) {
    db.rollback();
    error = notFound;
    return MAPI_E_NOT_FOUND;
  }
  Stmt del(db.get(), "DELETE FROM entries WHERE id = ?1");
  if (!del.ok()) return hr = db.fail("Cannot write the directory", error), db.rollback(), hr;
  del.bind(1, id);
  if (del.step() != SQLITE_DONE) return hr = db.fail("Cannot write the directory", error), db.rollback(), hr;
  hr = db.commit(error);
  if (FAILED(hr)) return db.rollback(), hr;
  removed = std::move(found[0]);
  return S_OK;
}

std::vector<std::string> proxyAddresses(const Entry& entry) {
  std::vector<std::string> out;
  if (!entry.smtpAddress.empty()) out.push_back("SMTP:" + entry.smtpAddress);
  out.insert(out.end(), entry.proxies.begin(), entry.proxies.end());
  return out;
}

std::string entryId(int64_t id) { return tmapi::makeDirectoryEntryId(id); }

std::string distinguishedNameEntryId(const std::string& dn) { return tmapi::makeDnEntryId(dn); }

}  // namespace mapidirectory
