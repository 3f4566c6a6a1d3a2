// Value files of a message store: string and binary values larger than
// kChunkSize, written in pieces, live in files of their own in the folder
// "<store>.values" (see sqlite_store.h for the schema).
//
// Leftovers of killed writers. A value file is written without a name
// (O_TMPFILE) and linked into the folder only once it is whole and synced,
// so a process killed while it writes leaves nothing. One killed between
// the link and the commit of the row that names the file would leave a
// file no row names; the sweep below removes those:
//
// - Every connection that writes value files first registers as a writer:
//   it creates a file of its own in "<store>.values/.writers" and holds an
//   exclusive flock on it until the connection closes (the system drops
//   the lock when the process dies). Its value files are named after it:
//   "<writer>-<object id>-<property id>-<random>".
// - Opening a store sweeps: a writer's lock that can be taken belongs to a
//   writer that is gone. Its files that no row names are removed, then its
//   lock file. A writer that still runs holds its lock, so nothing it has
//   written, committed or not, is touched while it works.
// - A writer checks, once it holds its lock, that its lock file is still
//   linked (a sweep may have taken a file that was created but not yet
//   locked for a dead writer's); if not, it registers again.
// - Before it looks at rows, a sweep that found a dead writer commits a
//   small change of its own (settleCommits), so that a commit the dead
//   writer left half-recorded in the write-ahead log can never appear
//   after its files were judged.
//
// Files named without a writer come from older versions of this code.
// While no writer has registered in a store, each open also removes those
// that no row names once they are an hour old (an older process might
// still be writing one).
#include "store/sqlite_query.h"
#include "store/sqlite_store.h"

#include <mapicode.h>

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace tmapi {

namespace {

const char* const kNameOfValue = "SELECT name FROM value_files WHERE object_id = ?1 AND prop_id = ?2";
const char kWritersDir[] = "/.writers";
const int kWriterChars = 16;
const time_t kOldFileAge = 3600;  // seconds

std::string randomText(size_t n) {
  static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  thread_local std::mt19937_64 gen{std::random_device{}() ^ (static_cast<uint64_t>(getpid()) << 32)};
  std::string s;
  for (size_t k = 0; k < n; ++k) s += digits[gen() % 62];
  return s;
}

std::string hexText(size_t n) {
  static const char digits[] = "0123456789abcdef";
  thread_local std::mt19937_64 gen{std::random_device{}() ^ (static_cast<uint64_t>(getpid()) << 32)};
  std::string s;
  for (size_t k = 0; k < n; ++k) s += digits[gen() % 16];
  return s;
}

bool isHex(const std::string& s) {
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return !s.empty();
}

bool isNumber(const std::string& s) {
  // Ids and property ids: short enough for stoll never to overflow.
  return !s.empty() && s.size() <= 18 && s.find_first_not_of("0123456789") == std::string::npos;
}

std::vector<std::string> fieldsOf(const std::string& name) {
  std::vector<std::string> out(1);
  for (char c : name) {
    if (c == '-') out.emplace_back();
    else out.back() += c;
  }
  return out;
}

// Whether fd still names path (a sweep may have removed the name).
bool stillLinked(int fd, const std::string& path) {
  struct stat a, b;
  return fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

bool makeDir(const std::string& dir) { return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST; }

}  // namespace

HRESULT SqliteStoreDb::valueFileName(ObjectId id, ULONG propId, std::string& name) {
  Prepared p = prepared(kNameOfValue);
  Query q(p.stmt, p.rc);
  if (!q.ok()) return sqlFail("Cannot read the message store");
  sqlite3_bind_int64(q.get(), 1, id);
  sqlite3_bind_int64(q.get(), 2, propId);
  int rc = sqlite3_step(q.get());
  if (rc == SQLITE_DONE) return fail(MAPI_E_CORRUPT_DATA, "A stored value is damaged: its file is not recorded");
  if (rc != SQLITE_ROW) return sqlFail("Cannot read the message store");
  const unsigned char* text = sqlite3_column_text(q.get(), 0);
  name = text ? reinterpret_cast<const char*>(text) : "";
  // Names are made here; anything else (a path) is refused.
  if (name.empty() || name.find('/') != std::string::npos || name[0] == '.')
    return fail(MAPI_E_CORRUPT_DATA, "A stored value is damaged: its file name is not valid");
  return S_OK;
}

HRESULT SqliteStoreDb::dropValueFiles(const char* selectNamesSql, ObjectId id, ULONG propId) {
  Prepared p = prepared(selectNamesSql);
  Query q(p.stmt, p.rc);
  if (!q.ok()) return sqlFail("Cannot read the message store");
  sqlite3_bind_int64(q.get(), 1, id);
  if (sqlite3_bind_parameter_count(q.get()) >= 2) sqlite3_bind_int64(q.get(), 2, propId);
  int rc;
  while ((rc = sqlite3_step(q.get())) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(q.get(), 0);
    std::string name = text ? reinterpret_cast<const char*>(text) : "";
    if (!name.empty() && name.find('/') == std::string::npos && name[0] != '.') m_droppedFiles.push_back(name);
  }
  if (rc != SQLITE_DONE) return sqlFail("Cannot read the message store");
  return S_OK;
}

HRESULT SqliteStoreDb::registerWriter() {
  if (m_writerFd >= 0) return S_OK;
  std::string dir = valuesDir() + kWritersDir;
  if (!makeDir(valuesDir()) || !makeDir(dir)) {
    int err = errno;
    return fail(fileErrorResult(err), "Cannot create " + dir + ": " + strerror(err));
  }
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string writer = hexText(kWriterChars);
    std::string path = dir + "/" + writer;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      int err = errno;
      return fail(fileErrorResult(err), "Cannot register as a writer of " + valuesDir() + ": " + strerror(err));
    }
    int rc;
    while ((rc = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (rc == 0 && stillLinked(fd, path)) {
      m_writerFd = fd;
      m_writer = writer;
      return S_OK;
    }
    int err = errno;
    ::close(fd);
    if (rc != 0) return fail(fileErrorResult(err), "Cannot lock " + path + ": " + strerror(err));
    // A sweep took the new file for a dead writer's: another name.
  }
  return fail(MAPI_E_DISK_ERROR, "Cannot register as a writer of " + valuesDir());
}

void SqliteStoreDb::unregisterWriter() {
  if (m_writerFd < 0) return;
  // Every file this writer linked is named by a committed row or was
  // removed when its transaction ended: nothing of it is left to sweep.
  unlink((valuesDir() + kWritersDir + "/" + m_writer).c_str());
  ::close(m_writerFd);
  m_writerFd = -1;
  m_writer.clear();
}

HRESULT SqliteStoreDb::writeValueFile(ObjectId id, ULONG propId, uint64_t size, const PieceReader& read, std::string& name) {
  HRESULT hr = registerWriter();
  if (FAILED(hr)) return hr;
  std::string prefix = m_writer + "-" + std::to_string(id) + "-" + std::to_string(propId) + "-";
  int fd = -1;
  bool unnamed = false;
#ifdef O_TMPFILE
  if (!m_namedValueFiles) {
    fd = ::open(valuesDir().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
      unnamed = true;
    } else if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
      m_namedValueFiles = true;  // this file system names every file
    } else {
      int err = errno;
      return fail(fileErrorResult(err), "Cannot create a value file in " + valuesDir() + ": " + strerror(err));
    }
  }
#endif
  if (fd < 0) {
    std::string pattern = valuesDir() + "/" + prefix + "XXXXXX";
    fd = mkostemp(&pattern[0], O_CLOEXEC);  // mode 0600
    if (fd < 0) {
      int err = errno;
      return fail(fileErrorResult(err), "Cannot create a value file in " + valuesDir() + ": " + strerror(err));
    }
    name = pattern.substr(valuesDir().size() + 1);
    m_newFiles.push_back(name);  // removed again unless the transaction commits
  }
  std::vector<char> piece(kChunkSize);
  for (uint64_t off = 0; off < size && SUCCEEDED(hr); off += kChunkSize) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kChunkSize, size - off));
    hr = read(off, piece.data(), n);
    if (FAILED(hr)) {
      fail(hr, "The value to store could not be read");
      break;
    }
    for (size_t done = 0; done < n;) {
      ssize_t w = ::write(fd, piece.data() + done, n - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        int err = w < 0 ? errno : ENOSPC;
        hr = fail(fileErrorResult(err), std::string("Cannot write a value file: ") + strerror(err));
        break;
      }
      done += static_cast<size_t>(w);
    }
  }
  if (SUCCEEDED(hr) && fdatasync(fd) != 0) {
    int err = errno;
    hr = fail(fileErrorResult(err), std::string("Cannot write a value file: ") + strerror(err));
  }
  bool retryNamed = false;
  if (SUCCEEDED(hr) && unnamed) {
    // Whole and on disk: now it gets its name.
    std::string proc = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0;; ++attempt) {
      name = prefix + randomText(6);
      std::string path = valuesDir() + "/" + name;
      if (linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        m_newFiles.push_back(name);
        break;
      }
      int err = errno;
      if (err == EEXIST && attempt < 16) continue;
      if (err == ENOENT || err == EPERM || err == EACCES || err == ENOTDIR || err == EXDEV || err == EOPNOTSUPP) {
        // No /proc to link through: name files from the start.
        m_namedValueFiles = true;
        retryNamed = true;
      } else {
        hr = fail(fileErrorResult(err), "Cannot name a value file in " + valuesDir() + ": " + strerror(err));
      }
      break;
    }
  }
  if (::close(fd) != 0 && SUCCEEDED(hr)) {
    int err = errno;
    hr = fail(fileErrorResult(err), std::string("Cannot write a value file: ") + strerror(err));
  }
  if (retryNamed) return writeValueFile(id, propId, size, read, name);
  return hr;
}

HRESULT SqliteStoreDb::readValueFile(const std::string& name, uint64_t offset, void* buf, size_t n, size_t& got) {
  got = 0;
  int fd = ::open((valuesDir() + "/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    int err = errno;
    HRESULT hr = fileErrorResult(err);
    // Only a file that is not there (or not a file) means damage; a
    // process out of descriptors or memory can try again.
    if (hr == MAPI_E_DISK_ERROR) hr = MAPI_E_CORRUPT_DATA;
    return fail(hr, "A stored value is damaged: its file " + name + " cannot be read: " + strerror(err));
  }
  char* out = static_cast<char*>(buf);
  HRESULT hr = S_OK;
  while (got < n) {
    ssize_t r = pread(fd, out + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      int err = errno;
      hr = fail(fileErrorResult(err), std::string("Cannot read a value file: ") + strerror(err));
      break;
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  ::close(fd);
  return hr;
}

bool SqliteStoreDb::settleCommits() {
  // A writer killed inside its commit can leave the commit whole in the
  // write-ahead log without the log's index naming it yet: readers do not
  // see it, but the next recovery of the log (when no connection is left)
  // would bring it back, naming a file the sweep removed meanwhile. A
  // transaction that writes a page settles that: it takes the log's end
  // for itself, so the dead writer's frames there can never be read again.
  // No journal line or planned fault: this is the store's housekeeping.
  std::lock_guard<std::recursive_mutex> guard(m_mu);
  if (m_txDepth > 0) return false;
  if (sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return false;
  sqlite3_stmt* q = nullptr;
  bool ok = sqlite3_prepare_v2(m_db, "INSERT OR REPLACE INTO store_info(key, value) VALUES('swept_at', ?1)", -1, &q,
                               nullptr) == SQLITE_OK;
  if (ok) {
    sqlite3_bind_int64(q, 1, static_cast<int64_t>(time(nullptr)));
    ok = sqlite3_step(q) == SQLITE_DONE;
  }
  sqlite3_finalize(q);
  if (ok && sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
  return false;
}

void SqliteStoreDb::sweepValueFiles(SweepCounts* counts) {
  std::string dir = valuesDir();
  std::string writersDir = dir + kWritersDir;
  struct Dead {
    std::string writer;
    int fd;
  };
  std::vector<Dead> dead;
  bool olderFiles = false;
  if (DIR* w = opendir(writersDir.c_str())) {
    while (struct dirent* e = readdir(w)) {
      std::string writer = e->d_name;
      if (writer.size() != kWriterChars || !isHex(writer)) continue;
      std::string path = writersDir + "/" + writer;
      int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
      if (fd < 0) continue;
      // Held: the writer runs. Taken: it is gone (unless a sweep beside
      // this one removed its file meanwhile).
      if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !stillLinked(fd, path)) {
        ::close(fd);
        continue;
      }
      dead.push_back({writer, fd});
    }
    closedir(w);
  } else {
    struct stat st;
    if (errno != ENOENT || stat(dir.c_str(), &st) != 0) return;  // no value files at all
    olderFiles = true;
  }
  if (counts) counts->deadWriters = dead.size();
  bool oldLeft = false;
  if ((!dead.empty() || olderFiles) && !settleCommits()) {
    // Without that, a commit of a dead writer could still appear: keep
    // everything for the next sweep.
    for (const Dead& x : dead) ::close(x.fd);
    return;
  }
  if (!dead.empty() || olderFiles) {
    if (DIR* d = opendir(dir.c_str())) {
      time_t now = time(nullptr);
      Prepared p = prepared(kNameOfValue);
      bool queryFailed = p.rc != SQLITE_OK;
      while (struct dirent* e = readdir(d)) {
        if (queryFailed) break;
        std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        std::vector<std::string> f = fieldsOf(name);
        bool mine = false;
        if (f.size() == 4 && f[0].size() == kWriterChars && isNumber(f[1]) && isNumber(f[2])) {
          for (const Dead& x : dead) mine = mine || x.writer == f[0];
          if (!mine) continue;  // a running writer's, or unknown
          f.erase(f.begin());
        } else if (f.size() == 3 && olderFiles && isNumber(f[0]) && isNumber(f[1])) {
          struct stat st;
          if (lstat((dir + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
          if (now - st.st_mtime < kOldFileAge) {
            oldLeft = true;
            continue;
          }
        } else {
          continue;
        }
        // Removed only when no committed row names it.
        Query q(p.stmt, p.rc);
        sqlite3_bind_int64(q.get(), 1, std::stoll(f[0]));
        sqlite3_bind_int64(q.get(), 2, std::stoll(f[1]));
        int rc = sqlite3_step(q.get());
        if (rc == SQLITE_ROW) {
          const unsigned char* t = sqlite3_column_text(q.get(), 0);
          if (t && name == reinterpret_cast<const char*>(t)) continue;
        } else if (rc != SQLITE_DONE) {
          queryFailed = true;  // keep everything rather than guess
          continue;
        }
        if (unlink((dir + "/" + name).c_str()) == 0 && counts) ++counts->removedFiles;
      }
      closedir(d);
      if (queryFailed) oldLeft = true;
    } else {
      oldLeft = true;
    }
  }
  for (const Dead& x : dead) {
    // A writer whose files could not all be looked at stays for the next
    // sweep.
    if (!oldLeft) unlink((writersDir + "/" + x.writer).c_str());
    ::close(x.fd);
  }
  // Older files are looked at on every open until all are done with.
  if (olderFiles && !oldLeft) makeDir(writersDir);
}

}  // namespace tmapi
