// The store's files below the MAPI interfaces: values staged while they are
// written (one shared staging file, never named, any number of values on
// one descriptor), value files (written without a name, linked once whole)
// and the sweep that removes what killed writers left, without touching a
// writer that still runs; long values kept in rows of their own, damaged
// ones, and stores of the earlier format.
#include "store/propstate.h"
#include "store/sqlite_store.h"

#include <mapicode.h>
#include <mapitags.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <memory>
#include <string>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "../synced_files.h"

namespace {

using syncedfiles::take;

using tmapi::ObjectId;
using tmapi::StagedValue;
using tmapi::SqliteStoreDb;
using tmapi::StoreDb;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

size_t openDescriptors() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

std::vector<std::string> namesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

char patternByte(uint64_t x) { return static_cast<char>((x * 2654435761u >> 13) ^ (x >> 7)); }

StoreDb::PieceReader patternReader() {
  return [](uint64_t off, void* buf, size_t n) -> HRESULT {
    char* p = static_cast<char*>(buf);
    for (size_t k = 0; k < n; ++k) p[k] = patternByte(off + k);
    return S_OK;
  };
}

const ULONG kBigTag = PROP_TAG(PT_BINARY, 0x3701);  // PR_ATTACH_DATA_BIN
const uint64_t kBig = 3 * StoreDb::kChunkSize + 1234;  // a value file

class StoreFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tolvane-storedb-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    m_tmp = m_dir + "/tmp";
    ASSERT_EQ(mkdir(m_tmp.c_str(), 0700), 0);
    const char* old = getenv("TMPDIR");
    m_oldTmp = old ? old : "";
    m_hadTmp = old != nullptr;
    setenv("TMPDIR", m_tmp.c_str(), 1);
    m_path = m_dir + "/store.db";
    MAPIUID uid;
    std::string error;
    ASSERT_EQ(StoreDb::create(m_path, "Test", uid, error), S_OK) << error;
  }

  void TearDown() override {
    if (m_hadTmp) setenv("TMPDIR", m_oldTmp.c_str(), 1);
    else unsetenv("TMPDIR");
    nftw(m_dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  }

  SqliteStoreDb* open(SqliteStoreDb::SweepCounts* counts = nullptr) {
    SqliteStoreDb* db = nullptr;
    std::string error;
    EXPECT_EQ(SqliteStoreDb::open(m_path, &db, error), S_OK) << error;
    // open() has swept already; a second sweep tells what is left.
    if (db && counts) db->sweepValueFiles(counts);
    return db;
  }

  // A message in the Inbox with a large value (a value file): committed,
  // or left inside an open transaction when !commit.
  ObjectId addLarge(StoreDb& db, bool commit) {
    ObjectId id = 0;
    EXPECT_EQ(db.begin(), S_OK);
    EXPECT_EQ(db.createObject(MAPI_MESSAGE, db.folders().inbox, 0, id), S_OK);
    EXPECT_EQ(db.setValueFromPieces(id, kBigTag, kBig, patternReader()), S_OK) << db.lastError();
    if (commit) {
      EXPECT_EQ(db.commit(), S_OK) << db.lastError();
    }
    return id;
  }

  bool holdsPattern(StoreDb& db, ObjectId id) {
    std::vector<char> buf(static_cast<size_t>(kBig));
    size_t got = 0;
    if (FAILED(db.readRange(id, PROP_ID(kBigTag), 0, buf.data(), buf.size(), got)) || got != kBig) return false;
    for (uint64_t k = 0; k < kBig; ++k)
      if (buf[k] != patternByte(k)) return false;
    return true;
  }

  std::vector<std::string> valueFiles() {
    std::vector<std::string> names;
    for (const auto& n : namesIn(valuesDir()))
      if (n[0] != '.') names.push_back(n);
    return names;
  }
  std::string valuesDir() const { return m_path + ".values"; }
  std::string writersDir() const { return m_path + ".values/.writers"; }

  std::string m_dir, m_tmp, m_path, m_oldTmp;
  bool m_hadTmp = false;
};

// ---------------------------------------------------------------- staging

TEST_F(StoreFiles, ThousandsOfStagedValuesShareOneDescriptor) {
  size_t before = openDescriptors();
  std::vector<std::shared_ptr<StagedValue>> values;
  std::string error;
  std::string small(100, 's'), large(300 * 1024, 'L');
  for (int k = 0; k < 1100; ++k) {
    std::shared_ptr<StagedValue> v;
    ASSERT_EQ(StagedValue::create(v, error), S_OK) << error;
    const std::string& data = k % 100 == 0 ? large : small;
    ASSERT_EQ(v->write(0, data.data(), data.size()), S_OK);
    v->settle();
    values.push_back(v);
  }
  EXPECT_LE(openDescriptors(), before + 1);
  // Each reads back its own bytes.
  for (int k = 0; k < 1100; k += 37) {
    const std::string& data = k % 100 == 0 ? large : small;
    std::string back(data.size(), '\0');
    size_t got = 0;
    ASSERT_EQ(values[k]->read(0, &back[0], back.size(), got), S_OK);
    EXPECT_EQ(got, data.size());
    EXPECT_EQ(back, data) << "value " << k;
  }
  EXPECT_GT(StagedValue::stagedBytes(), 0u);
  values.clear();
  EXPECT_EQ(StagedValue::stagedBytes(), 0u);
  EXPECT_EQ(openDescriptors(), before);  // the file goes with the last value
}

TEST_F(StoreFiles, StagedValuesReadBackAcrossBlocksAndResizes) {
  std::string error;
  std::shared_ptr<StagedValue> a, b;
  ASSERT_EQ(StagedValue::create(a, error), S_OK);
  ASSERT_EQ(StagedValue::create(b, error), S_OK);
  // Interleaved writes of two values, small pieces and pieces larger than
  // a block, out of order and overlapping.
  const size_t size = 900 * 1024;
  std::string wantA(size, '\0'), wantB(size, '\0');
  for (size_t k = 0; k < size; ++k) {
    wantA[k] = patternByte(k);
    wantB[k] = patternByte(k * 3 + 1);
  }
  for (size_t off = 0; off < size; off += 1000) {
    size_t n = std::min<size_t>(1000, size - off);
    ASSERT_EQ(a->write(off, wantA.data() + off, n), S_OK);
    if (off % 300000 == 0) {
      ASSERT_EQ(b->write(off, wantB.data() + off, std::min<size_t>(300000, size - off)), S_OK);
    }
  }
  std::string patch(70000, 'P');
  ASSERT_EQ(a->write(250000, patch.data(), patch.size()), S_OK);  // across the first block's end
  wantA.replace(250000, patch.size(), patch);
  auto readAll = [](StagedValue& v) {
    std::string out(static_cast<size_t>(v.size()), '\0');
    size_t got = 0;
    EXPECT_EQ(v.read(0, &out[0], out.size(), got), S_OK);
    EXPECT_EQ(got, out.size());
    return out;
  };
  EXPECT_EQ(readAll(*a), wantA);
  EXPECT_EQ(readAll(*b), wantB);
  // Shrinking then growing again reads zeros past the old end.
  ASSERT_EQ(a->resize(300000), S_OK);
  ASSERT_EQ(a->resize(600000), S_OK);
  std::string grown = readAll(*a);
  EXPECT_EQ(grown.substr(0, 300000), wantA.substr(0, 300000));
  EXPECT_EQ(grown.substr(300000), std::string(300000, '\0'));
  // A value made after another is gone reuses its blocks: what it has not
  // written reads as zeros, not as the old value's bytes.
  b.reset();
  std::shared_ptr<StagedValue> c;
  ASSERT_EQ(StagedValue::create(c, error), S_OK);
  ASSERT_EQ(c->resize(size), S_OK);
  ASSERT_EQ(c->write(5, "x", 1), S_OK);
  std::string fresh = readAll(*c);
  std::string zeros(size, '\0');
  zeros[5] = 'x';
  EXPECT_EQ(fresh, zeros);
}

// No name ever appears in TMPDIR for a staged value, so a process killed at
// any point leaves nothing there.
TEST_F(StoreFiles, StagedValuesNeverHaveANameInTheTemporaryFolder) {
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, m_tmp.c_str(), IN_CREATE | IN_MOVED_TO), 0);
  {
    std::string error;
    std::shared_ptr<StagedValue> v;
    ASSERT_EQ(StagedValue::create(v, error), S_OK) << error;
    std::string data(600 * 1024, 'd');
    ASSERT_EQ(v->write(0, data.data(), data.size()), S_OK);
    size_t got = 0;
    ASSERT_EQ(v->read(0, &data[0], 10, got), S_OK);
  }
  char buf[4096];
  ssize_t n = read(watch, buf, sizeof buf);
  close(watch);
  EXPECT_LT(n, 0) << "a temporary file was created with a name";
  EXPECT_TRUE(namesIn(m_tmp).empty());
}

// Out of descriptors is a passing shortage (the mail server tries again),
// not a disk error.
TEST_F(StoreFiles, NoDescriptorLeftIsNotEnoughResources) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // No staging file exists yet in this process: the next one needs a
    // descriptor, and none is left.
    struct rlimit lim;
    lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(dup(0));
    close(static_cast<int>(lim.rlim_cur));
    setrlimit(RLIMIT_NOFILE, &lim);
    std::shared_ptr<StagedValue> v;
    std::string error;
    HRESULT hr = StagedValue::create(v, error);
    bool ok = hr == MAPI_E_NOT_ENOUGH_RESOURCES && error.find("Too many open files") != std::string::npos;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(tmapi::fileErrorResult(EMFILE), MAPI_E_NOT_ENOUGH_RESOURCES);
  EXPECT_EQ(tmapi::fileErrorResult(ENFILE), MAPI_E_NOT_ENOUGH_RESOURCES);
  EXPECT_EQ(tmapi::fileErrorResult(ENOMEM), MAPI_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(tmapi::fileErrorResult(ENOSPC), MAPI_E_NOT_ENOUGH_DISK);
  EXPECT_EQ(tmapi::fileErrorResult(EIO), MAPI_E_DISK_ERROR);
}

// ---------------------------------------------------------------- value files

// A value file gets its name only once it is whole: nothing is written to
// a named file, so a writer killed while writing leaves nothing behind.
TEST_F(StoreFiles, ValueFilesAreNamedOnlyOnceWhole) {
  std::unique_ptr<StoreDb> db(open());
  ASSERT_TRUE(db);
  ASSERT_EQ(mkdir(valuesDir().c_str(), 0700), 0);
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, valuesDir().c_str(), IN_CREATE | IN_MODIFY), 0);
  ObjectId id = addLarge(*db, true);
  std::vector<std::string> created, modified;
  alignas(struct inotify_event) char buf[8192];
  ssize_t n;
  while ((n = read(watch, buf, sizeof buf)) > 0) {
    for (char* p = buf; p < buf + n;) {
      auto* e = reinterpret_cast<struct inotify_event*>(p);
      std::string name = e->len ? e->name : "";
      if (e->mask & IN_CREATE) created.push_back(name);
      if ((e->mask & IN_MODIFY) && !name.empty()) modified.push_back(name);
      p += sizeof(struct inotify_event) + e->len;
    }
  }
  close(watch);
  std::vector<std::string> files = valueFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(std::find(created.begin(), created.end(), files[0]), created.end());
  // (An unnamed file shows as "#inode" while it is written.)
  EXPECT_EQ(std::find(modified.begin(), modified.end(), files[0]), modified.end()) << "written under its name";
  EXPECT_TRUE(holdsPattern(*db, id));
  // The name starts with the writer's lock file's name.
  std::vector<std::string> writers = namesIn(writersDir());
  ASSERT_EQ(writers.size(), 1u);
  EXPECT_EQ(files[0].rfind(writers[0] + "-" + std::to_string(id) + "-", 0), 0u) << files[0];
  db.reset();
  EXPECT_TRUE(namesIn(writersDir()).empty()) << "a closed writer leaves its lock file";
}

// A writer killed between writing a value file and committing the row that
// names it: the next open removes that file, and only that one.
TEST_F(StoreFiles, OpeningRemovesWhatAKilledWriterLeft) {
  ObjectId committed = 0;
  {
    std::unique_ptr<StoreDb> db(open());
    committed = addLarge(*db, true);
  }
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    StoreDb* db = nullptr;
    std::string error;
    if (FAILED(StoreDb::open(m_path, &db, error))) _exit(2);
    ObjectId kept = 0, lost = 0;
    // One value committed, one written and never committed.
    db->begin();
    db->createObject(MAPI_MESSAGE, db->folders().inbox, 0, kept);
    db->setValueFromPieces(kept, kBigTag, kBig, patternReader());
    if (FAILED(db->commit())) _exit(3);
    db->begin();
    db->createObject(MAPI_MESSAGE, db->folders().inbox, 0, lost);
    db->setValueFromPieces(lost, kBigTag, kBig, patternReader());
    kill(getpid(), SIGKILL);
    _exit(4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the writer exited with " << WEXITSTATUS(status);
  ASSERT_EQ(valueFiles().size(), 3u);
  ASSERT_EQ(namesIn(writersDir()).size(), 1u);

  SqliteStoreDb* raw = nullptr;
  std::string error;
  ASSERT_EQ(SqliteStoreDb::open(m_path, &raw, error), S_OK) << error;
  std::unique_ptr<SqliteStoreDb> db(raw);
  EXPECT_EQ(valueFiles().size(), 2u);
  EXPECT_TRUE(namesIn(writersDir()).empty());
  EXPECT_TRUE(holdsPattern(*db, committed));
  std::vector<ObjectId> inbox;
  ASSERT_EQ(db->children(db->folders().inbox, MAPI_MESSAGE, inbox), S_OK);
  ASSERT_EQ(inbox.size(), 2u);
  EXPECT_TRUE(holdsPattern(*db, inbox[1]));
  SqliteStoreDb::SweepCounts again;
  db->sweepValueFiles(&again);
  EXPECT_EQ(again.deadWriters, 0u);
  EXPECT_EQ(again.removedFiles, 0u);
}

// A writer that runs keeps its files, committed or not, whoever opens the
// store meanwhile.
TEST_F(StoreFiles, ASweepLeavesARunningWritersFilesAlone) {
  std::unique_ptr<StoreDb> writer(open());
  ObjectId id = addLarge(*writer, false);  // inside its transaction
  ASSERT_EQ(valueFiles().size(), 1u);
  SqliteStoreDb::SweepCounts counts;
  std::unique_ptr<StoreDb> other(open(&counts));
  ASSERT_TRUE(other);
  EXPECT_EQ(counts.deadWriters, 0u);
  EXPECT_EQ(counts.removedFiles, 0u);
  EXPECT_EQ(valueFiles().size(), 1u);
  ASSERT_EQ(writer->commit(), S_OK) << writer->lastError();
  EXPECT_TRUE(holdsPattern(*other, id));
}

// A writer file that nobody holds locked is a dead writer's: it goes with
// the files named after it, and a new writer takes a name of its own.
TEST_F(StoreFiles, AnUnlockedWriterFileIsADeadWritersAndGoes) {
  ASSERT_EQ(mkdir(valuesDir().c_str(), 0700), 0);
  ASSERT_EQ(mkdir(writersDir().c_str(), 0700), 0);
  std::string stale = writersDir() + "/0123456789abcdef";
  int fd = ::open(stale.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  std::string leftover = valuesDir() + "/0123456789abcdef-77-14081-abcdef";
  fd = ::open(leftover.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  std::unique_ptr<StoreDb> db(open());
  EXPECT_EQ(access(stale.c_str(), F_OK), -1);
  EXPECT_EQ(access(leftover.c_str(), F_OK), -1);
  ObjectId id = addLarge(*db, true);
  EXPECT_TRUE(holdsPattern(*db, id));
  std::vector<std::string> writers = namesIn(writersDir());
  ASSERT_EQ(writers.size(), 1u);
  EXPECT_NE(writers[0], "0123456789abcdef");
}

// Files named by older versions (no writer in the name) that no row names
// go once they are an hour old; younger ones might still be written.
TEST_F(StoreFiles, OldUnnamedFilesOfOlderVersionsGoAfterAnHour) {
  ASSERT_EQ(mkdir(valuesDir().c_str(), 0700), 0);
  std::string old = valuesDir() + "/41-14081-AbCdEf";
  std::string young = valuesDir() + "/42-14081-GhIjKl";
  for (const std::string& f : {old, young}) {
    int fd = ::open(f.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "data", 4), 4);
    close(fd);
  }
  struct timeval times[2];
  gettimeofday(&times[0], nullptr);
  times[0].tv_sec -= 2 * 3600;
  times[1] = times[0];
  ASSERT_EQ(utimes(old.c_str(), times), 0);
  std::unique_ptr<StoreDb> db(open());
  EXPECT_EQ(access(old.c_str(), F_OK), -1);
  EXPECT_EQ(access(young.c_str(), F_OK), 0);
  // Until the young one is done with, every open looks again.
  EXPECT_EQ(access(writersDir().c_str(), F_OK), -1);
}

// ---------------------------------------------------------------- the log

TEST_F(StoreFiles, ClosingLeavesTheSyncedLogToTheNextConnectionAndCommitsKeepItShort) {
  std::string log = m_path + "-wal";
  auto logSize = [&] {
    struct stat st;
    return stat(log.c_str(), &st) == 0 ? static_cast<off_t>(st.st_size) : off_t{-1};
  };
  auto logSyncs = [&] {
    std::vector<std::string> synced = take();
    return std::count(synced.begin(), synced.end(), log);
  };
  ObjectId msg = 0;
  {
    std::unique_ptr<StoreDb> db(open());
    take();
    ASSERT_EQ(db->begin(), S_OK);
    ASSERT_EQ(db->createObject(MAPI_MESSAGE, db->folders().inbox, 0, msg), S_OK);
    ASSERT_EQ(db->setProps(msg, {tmapi::Prop::String(PR_SUBJECT_A, "kept")}), S_OK);
    ASSERT_EQ(db->commit(), S_OK);
    EXPECT_GE(logSyncs(), 1) << "a durable commit is on disk when it returns";
  }
  // The last connection closed without a checkpoint: no sync, the log stays.
  EXPECT_TRUE(take().empty());
  EXPECT_GT(logSize(), 0);
  std::unique_ptr<StoreDb> db(open());
  tmapi::PropRow row;
  ASSERT_EQ(db->getProps(msg, {PR_SUBJECT_A}, 4096, row), S_OK);
  ASSERT_EQ(row.size(), 1u);
  EXPECT_EQ(row[0].bytes, "kept") << "the next connection reads the log";

  // Commits of 64 KiB each: once the log has passed its limit, a commit
  // copies it into the store file and empties it.
  bool emptied = false;
  for (int k = 0; k < 20 && !emptied; ++k) {
    std::string value(64 * 1024, static_cast<char>('a' + k));
    ASSERT_EQ(db->setProps(msg, {tmapi::Prop::Binary(PROP_TAG(PT_BINARY, 0x1013), value)}), S_OK);
    off_t size = logSize();
    EXPECT_LT(size, SqliteStoreDb::kLogRestartBytes + 128 * 1024) << "commit " << k;
    emptied = size == 0;
  }
  EXPECT_TRUE(emptied) << "the log was never emptied";
  db.reset();
  // What the emptied log held is in the store file.
  db.reset(open());
  ASSERT_EQ(db->getProps(msg, {PR_SUBJECT_A}, 4096, row), S_OK);
  EXPECT_EQ(row[0].bytes, "kept");
}

TEST_F(StoreFiles, AReadScopeSeesOneStateAndAChangeInsideItWorks) {
  std::unique_ptr<StoreDb> db(open());
  std::unique_ptr<StoreDb> other(open());
  ULONG inbox = 0;
  auto count = [&](StoreDb& d) {
    ULONG n = 0;
    EXPECT_EQ(d.countChildren(d.folders().inbox, MAPI_MESSAGE, false, n), S_OK) << d.lastError();
    return n;
  };
  ObjectId first = 0, second = 0;
  {
    StoreDb::ReadScope reading(*db);
    inbox = count(*db);
    ASSERT_EQ(other->createObject(MAPI_MESSAGE, other->folders().inbox, 0, first), S_OK) << other->lastError();
    EXPECT_EQ(count(*db), inbox) << "inside the scope the store stays as it was";
    {
      StoreDb::ReadScope nested(*db);
      EXPECT_EQ(count(*db), inbox);
    }
    EXPECT_EQ(count(*db), inbox) << "a nested scope's end does not end the outer one";
    // A change inside the scope ends its read and sees the latest state.
    ASSERT_EQ(db->createObject(MAPI_MESSAGE, db->folders().inbox, 0, second), S_OK) << db->lastError();
    EXPECT_EQ(count(*db), inbox + 2);
  }
  EXPECT_EQ(count(*db), inbox + 2);
  EXPECT_EQ(count(*other), inbox + 2);
}

// ---------------------------------------------------------------- rows

// A table read of some columns reads those values only.
TEST_F(StoreFiles, ChildRowsReadOnlyTheColumnsAskedFor) {
  std::unique_ptr<StoreDb> db(open());
  ObjectId msg = 0;
  ASSERT_EQ(db->begin(), S_OK);
  ASSERT_EQ(db->createObject(MAPI_MESSAGE, db->folders().inbox, 0, msg), S_OK);
  for (int k = 0; k < 50; ++k) {
    ObjectId a = 0;
    ASSERT_EQ(db->createObject(MAPI_ATTACH, msg, k, a), S_OK);
    ASSERT_EQ(db->setProps(a, {tmapi::Prop::Long(PR_ATTACH_SIZE, 1000 + k),
                               tmapi::Prop::Binary(PR_ATTACH_ENCODING, std::string(3000, 'e'))}),
              S_OK);
  }
  ASSERT_EQ(db->commit(), S_OK);
  std::vector<StoreDb::ChildRow> rows;
  uint64_t before = StoreDb::rowValueBytes();
  ASSERT_EQ(db->childRows(msg, MAPI_ATTACH, {PR_ATTACH_SIZE}, 4096, rows), S_OK);
  EXPECT_EQ(StoreDb::rowValueBytes() - before, 50u * 8);
  ASSERT_EQ(rows.size(), 50u);
  ASSERT_EQ(rows[7].props.size(), 1u);
  EXPECT_EQ(rows[7].props[0].i, 1007);
  before = StoreDb::rowValueBytes();
  ASSERT_EQ(db->childRows(msg, MAPI_ATTACH, {}, 4096, rows), S_OK);
  EXPECT_EQ(StoreDb::rowValueBytes() - before, 50u * (8 + 3000));
}

// ---------------------------------------------------------------- long values

std::string pattern(size_t n, uint64_t salt = 0) {
  std::string s(n, '\0');
  for (size_t k = 0; k < n; ++k) s[k] = patternByte(k + salt);
  return s;
}

// Raw access to the store file, as another program (or damage) would change it.
class RawStore {
 public:
  explicit RawStore(const std::string& path) { sqlite3_open(path.c_str(), &m_db); }
  ~RawStore() { sqlite3_close(m_db); }
  bool exec(const std::string& sql) {
    bool ok = sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    EXPECT_TRUE(ok) << sql << ": " << sqlite3_errmsg(m_db);
    return ok;
  }
  int64_t number(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    int64_t v = -1;
    if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
      v = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    return v;
  }
  bool insertBlob(const std::string& sql, const std::string& blob) {
    sqlite3_stmt* st = nullptr;
    bool ok = sqlite3_prepare_v2(m_db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
              sqlite3_bind_blob64(st, 1, blob.data(), blob.size(), SQLITE_TRANSIENT) == SQLITE_OK &&
              sqlite3_step(st) == SQLITE_DONE;
    EXPECT_TRUE(ok) << sql << ": " << sqlite3_errmsg(m_db);
    sqlite3_finalize(st);
    return ok;
  }

 private:
  sqlite3* m_db = nullptr;
};

ObjectId newMessage(StoreDb& db) {
  ObjectId id = 0;
  EXPECT_EQ(db.createObject(MAPI_MESSAGE, db.folders().inbox, 0, id), S_OK) << db.lastError();
  return id;
}

std::string readBack(StoreDb& db, ObjectId id, ULONG propId, uint64_t offset, size_t n) {
  std::string out(n, '\0');
  size_t got = 0;
  EXPECT_EQ(db.readRange(id, propId, offset, &out[0], n, got), S_OK) << db.lastError();
  out.resize(got);
  return out;
}

// Values past what a props row holds without overflow go to rows of their
// own, in 64 KiB pieces; every way of reading them gives the same bytes,
// and they go with their property and their object.
TEST_F(StoreFiles, LongValuesLiveInPiecesOfTheirOwnAndReadBackTheSame) {
  std::unique_ptr<StoreDb> db(open());
  const size_t kPiece = 64 * 1024;
  const std::vector<size_t> sizes = {0,          960,        961,   3000, kPiece - 1, kPiece, kPiece + 1,
                                     3 * kPiece, 200 * 1000, StoreDb::kChunkSize,   StoreDb::kChunkSize + 1};
  RawStore raw(m_path);
  ObjectId msg = newMessage(*db);
  for (size_t i = 0; i < sizes.size(); ++i) {
    SCOPED_TRACE("size " + std::to_string(sizes[i]));
    const ULONG tag = PROP_TAG(PT_BINARY, 0x6700 + i);
    const std::string value = pattern(sizes[i], i);
    ASSERT_EQ(db->setProps(msg, {tmapi::Prop::Binary(tag, value)}), S_OK) << db->lastError();
    std::string where = " WHERE object_id = " + std::to_string(msg) + " AND prop_id = " + std::to_string(PROP_ID(tag));
    EXPECT_EQ(raw.number("SELECT chunked FROM props" + where), sizes[i] > 960 ? 3 : 0);
    EXPECT_EQ(raw.number("SELECT count(*) FROM prop_values" + where),
              sizes[i] > 960 ? static_cast<int64_t>((sizes[i] + kPiece - 1) / kPiece) : 0);

    tmapi::PropRow got;
    ASSERT_EQ(db->getProps(msg, {tag}, 1u << 30, got), S_OK) << db->lastError();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].tag, tag);
    EXPECT_TRUE(got[0].bytes == value);
    ULONG type = 0;
    uint64_t size = 0;
    bool found = false;
    ASSERT_EQ(db->valueInfo(msg, PROP_ID(tag), type, size, found), S_OK);
    EXPECT_TRUE(found);
    EXPECT_EQ(size, sizes[i]);
    // Ranges that start in one piece and end in the next, and one past the end.
    for (uint64_t off : {uint64_t{0}, uint64_t{kPiece - 7}, uint64_t{2 * kPiece + 5}, uint64_t{sizes[i]}}) {
      if (off > sizes[i]) continue;
      size_t n = std::min<size_t>(kPiece + 20, sizes[i] - off + 3);
      EXPECT_TRUE(readBack(*db, msg, PROP_ID(tag), off, n) == value.substr(off, n)) << "from " << off;
    }
  }
  // The same values, stored from a reader piece by piece.
  ObjectId other = newMessage(*db);
  for (size_t n : {size_t{500}, size_t{5000}, 2 * kPiece + 7, StoreDb::kChunkSize}) {
    ASSERT_EQ(db->setValueFromPieces(other, kBigTag, n, patternReader()), S_OK) << db->lastError();
    tmapi::PropRow got;
    ASSERT_EQ(db->getProps(other, {kBigTag}, 1u << 30, got), S_OK);
    EXPECT_TRUE(got[0].bytes == pattern(n)) << n;
    uint64_t off = std::min<uint64_t>(kPiece - 1, n - 2);
    EXPECT_TRUE(readBack(*db, other, PROP_ID(kBigTag), off, 3) == pattern(n).substr(off, 3)) << n;
  }

  // Table rows read values up to their limit, one piece or several.
  ObjectId attach = 0;
  ASSERT_EQ(db->createObject(MAPI_ATTACH, msg, 0, attach), S_OK);
  ASSERT_EQ(db->setProps(attach, {tmapi::Prop::Binary(PROP_TAG(PT_BINARY, 0x6701), pattern(961)),
                                  tmapi::Prop::Binary(PROP_TAG(PT_BINARY, 0x6702), pattern(3000)),
                                  tmapi::Prop::Binary(PROP_TAG(PT_BINARY, 0x6703), pattern(kPiece + 1)),
                                  tmapi::Prop::String(PR_DISPLAY_NAME_A, std::string(2000, 'n'))}),
            S_OK);
  for (ULONG limit : {ULONG{2999}, ULONG{1u << 20}}) {
    std::vector<StoreDb::ChildRow> rows;
    ASSERT_EQ(db->childRows(msg, MAPI_ATTACH, {}, limit, rows), S_OK) << db->lastError();
    ASSERT_EQ(rows.size(), 1u);
    const tmapi::PropRow& r = rows[0].props;
    ASSERT_EQ(r.size(), 4u);
    auto find = [&](ULONG propId) {
      for (const auto& p : r)
        if (PROP_ID(p.tag) == propId) return p;
      return tmapi::Prop();
    };
    EXPECT_TRUE(find(0x6701).bytes == pattern(961));
    EXPECT_EQ(find(0x3001).tag, PR_DISPLAY_NAME_A);
    EXPECT_EQ(find(0x3001).bytes, std::string(2000, 'n'));
    if (limit < 3000) {
      EXPECT_EQ(find(0x6702).tag, PROP_TAG(PT_ERROR, 0x6702));
      EXPECT_EQ(find(0x6702).i, MAPI_E_NOT_ENOUGH_MEMORY);
      EXPECT_EQ(find(0x6703).tag, PROP_TAG(PT_ERROR, 0x6703));
    } else {
      EXPECT_TRUE(find(0x6702).bytes == pattern(3000));
      EXPECT_TRUE(find(0x6703).bytes == pattern(kPiece + 1));
    }
  }

  // Replaced by a short value, deleted, or gone with the object: no piece
  // is left behind.
  const std::string ofMsg = "SELECT count(*) FROM prop_values WHERE object_id = " + std::to_string(msg);
  // 1 piece each for 961, 3000, 64 KiB - 1 and 64 KiB; 2, 3, 4, 4 and 5 for the rest.
  ASSERT_EQ(raw.number(ofMsg), 22);
  ASSERT_EQ(db->setProps(msg, {tmapi::Prop::Binary(PROP_TAG(PT_BINARY, 0x6700 + 7), "short")}), S_OK);
  ASSERT_EQ(db->deleteProps(msg, {PROP_TAG(PT_BINARY, 0x6700 + 8)}), S_OK);
  EXPECT_EQ(raw.number(ofMsg), 22 - 3 - 4);
  ASSERT_EQ(db->deleteObject(msg), S_OK);
  EXPECT_EQ(raw.number(ofMsg), 0);
  EXPECT_EQ(raw.number("SELECT count(*) FROM prop_values WHERE object_id = " + std::to_string(attach)), 0);
  EXPECT_GT(raw.number("SELECT count(*) FROM prop_values WHERE object_id = " + std::to_string(other)), 0);
}

// Pieces that are missing, too long, or a size or a way of keeping that
// makes no sense give MAPI_E_CORRUPT_DATA with a text, never bytes of
// something else or a read past a buffer.
TEST_F(StoreFiles, DamagedPiecesAreCorruptDataNotWrongBytes) {
  const size_t kPiece = 64 * 1024;
  const ULONG tag = PROP_TAG(PT_BINARY, 0x6710);
  ObjectId msg = 0;
  {
    std::unique_ptr<StoreDb> db(open());
    msg = newMessage(*db);
    ASSERT_EQ(db->setProps(msg, {tmapi::Prop::Binary(tag, pattern(3 * kPiece))}), S_OK);
  }
  const std::string where = " WHERE object_id = " + std::to_string(msg) + " AND prop_id = " + std::to_string(PROP_ID(tag));
  struct Damage {
    const char* sql;
    const char* whole;  // the text of a whole read
    const char* range;  // ... and of a read of the second piece ("" when it reads fine)
  };
  const Damage damages[] = {
      {"DELETE FROM prop_values WHERE seq = 1 AND", "A stored value is damaged: its pieces do not add up to its size",
       "A stored value is damaged: a piece is missing"},
      {"UPDATE prop_values SET data = substr(data, 1, 100) WHERE seq = 1 AND",
       "A stored value is damaged: its pieces do not add up to its size",
       "A stored value is damaged: a piece has the wrong length"},
      {"UPDATE prop_values SET data = data || x'00' WHERE seq = 1 AND",
       "A stored value is damaged: its pieces do not add up to its size",
       "A stored value is damaged: a piece has the wrong length"},
      {"UPDATE props SET value = 3000000000 WHERE", "A stored value is damaged: its pieces do not add up to its size",
       ""},
      {"UPDATE props SET chunked = 7 WHERE", "A stored value is damaged: the way it is kept is unknown",
       "A stored value is damaged: the way it is kept is unknown"},
      {"UPDATE props SET type = 3 WHERE", "A stored property is damaged", ""},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.sql);
    {
      std::unique_ptr<StoreDb> db(open());
      ASSERT_EQ(db->setProps(msg, {tmapi::Prop::Binary(tag, pattern(3 * kPiece))}), S_OK);
    }
    std::string sql = d.sql;
    sql += where.substr(std::string(" WHERE").size());
    ASSERT_TRUE(RawStore(m_path).exec(sql));
    std::unique_ptr<StoreDb> db(open());
    tmapi::PropRow got;
    EXPECT_EQ(db->getProps(msg, {PROP_TAG(PT_UNSPECIFIED, PROP_ID(tag))}, 0xFFFFFFFFu, got), MAPI_E_CORRUPT_DATA);
    EXPECT_EQ(db->lastError(), d.whole);
    if (*d.range) {
      char buf[64];
      size_t n = 0;
      EXPECT_EQ(db->readRange(msg, PROP_ID(tag), kPiece + 10, buf, sizeof buf, n), MAPI_E_CORRUPT_DATA);
      EXPECT_EQ(db->lastError(), d.range);
    }
  }

  // A table row whose single piece is gone.
  std::unique_ptr<StoreDb> db(open());
  ObjectId attach = 0;
  ASSERT_EQ(db->createObject(MAPI_ATTACH, msg, 0, attach), S_OK);
  ASSERT_EQ(db->setProps(attach, {tmapi::Prop::Binary(tag, pattern(2000))}), S_OK);
  ASSERT_TRUE(RawStore(m_path).exec("DELETE FROM prop_values WHERE object_id = " + std::to_string(attach)));
  std::vector<StoreDb::ChildRow> rows;
  EXPECT_EQ(db->childRows(msg, MAPI_ATTACH, {}, 4096, rows), MAPI_E_CORRUPT_DATA);
  EXPECT_EQ(db->lastError(), "A stored value is damaged: a piece is missing or short");
}

// A store of the earlier format keeps its long values in the props rows
// (and values above 256 KiB in prop_chunks): opened now it gains the table
// of pieces, reads the old rows as before and keeps new long values apart.
TEST_F(StoreFiles, AStoreOfTheEarlierFormatReadsItsValuesAndGainsTheNewTable) {
  ObjectId msg = 0;
  {
    std::unique_ptr<StoreDb> db(open());
    msg = newMessage(*db);
  }
  const std::string inlineValue = pattern(5000, 1);
  const std::string chunkedValue = pattern(StoreDb::kChunkSize + 10, 2);
  {
    RawStore raw(m_path);
    ASSERT_TRUE(raw.exec("DROP TABLE prop_values; UPDATE store_info SET value = 3 WHERE key = 'schema_version'"));
    const std::string m = std::to_string(msg);
    ASSERT_TRUE(raw.insertBlob("INSERT INTO props VALUES(" + m + ", 26368, 258, ?1, 0)", inlineValue));  // 0x6700
    ASSERT_TRUE(raw.exec("INSERT INTO props VALUES(" + m + ", 26369, 258, " + std::to_string(chunkedValue.size()) +
                         ", 1)"));
    ASSERT_TRUE(raw.insertBlob("INSERT INTO prop_chunks VALUES(" + m + ", 26369, 0, ?1)",
                               chunkedValue.substr(0, StoreDb::kChunkSize)));
    ASSERT_TRUE(raw.insertBlob("INSERT INTO prop_chunks VALUES(" + m + ", 26369, 1, ?1)",
                               chunkedValue.substr(StoreDb::kChunkSize)));
  }
  std::unique_ptr<StoreDb> db(open());
  ASSERT_TRUE(db);
  RawStore raw(m_path);
  EXPECT_EQ(raw.number("SELECT value FROM store_info WHERE key = 'schema_version'"), 4);
  EXPECT_EQ(raw.number("SELECT count(*) FROM sqlite_master WHERE name IN ('prop_values', 'prop_values_by_prop')"), 2);
  tmapi::PropRow got;
  ASSERT_EQ(db->getProps(msg, {PROP_TAG(PT_BINARY, 0x6700), PROP_TAG(PT_BINARY, 0x6701)}, 1u << 30, got), S_OK)
      << db->lastError();
  EXPECT_TRUE(got[0].bytes == inlineValue);
  EXPECT_TRUE(got[1].bytes == chunkedValue);
  EXPECT_TRUE(readBack(*db, msg, 0x6701, StoreDb::kChunkSize - 4, 8) == chunkedValue.substr(StoreDb::kChunkSize - 4, 8));
  EXPECT_TRUE(readBack(*db, msg, 0x6700, 4990, 64) == inlineValue.substr(4990));

  ASSERT_EQ(db->setProps(msg, {tmapi::Prop::Binary(PROP_TAG(PT_BINARY, 0x6702), pattern(4000))}), S_OK);
  EXPECT_EQ(raw.number("SELECT count(*) FROM prop_values WHERE object_id = " + std::to_string(msg)), 1);
  ASSERT_EQ(db->deleteObject(msg), S_OK);
  EXPECT_EQ(raw.number("SELECT count(*) FROM prop_chunks"), 0);
  EXPECT_EQ(raw.number("SELECT count(*) FROM prop_values"), 0);
}

}  // namespace
