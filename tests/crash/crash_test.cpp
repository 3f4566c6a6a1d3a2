// Deliveries killed at random: `tolvane-mapi deliver` processes (up to
// three at once, into one store) are killed with SIGKILL at random moments
// while they write messages of varying sizes, with attachments well above
// 256 KiB so that value files are written. Afterwards:
//   - every message in the Inbox is whole (subject, body, every attachment
//     byte for byte as in its source file) or absent;
//   - the store passes SQLite's integrity and foreign key checks;
//   - once the store is opened for writing, every file in
//     "<store>.values" is named by a row and no dead writer is left;
//   - the private TMPDIR of the processes is empty.
// TOLVANE_CRASH_SEED repeats a run; TOLVANE_CRASH_KILLS sets the number of
// kills (default 120).
#include "store/storedb.h"

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>
#include <mapix.h>
#include <tolvane/mapitest.h>
#include <tolvane/profiles.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <map>
#include <random>
#include <set>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const int kSources = 20;
const ULONG PR_BODY_A_ = PROP_TAG(PT_STRING8, 0x1000);

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

// The attachments of source message k: (k % 4) of them, sizes from 1 KB
// to 1.3 MB.
size_t attachmentCount(int k) { return static_cast<size_t>(k % 4); }
size_t attachmentSize(int k, size_t i) {
  static const size_t sizes[] = {1000, 70000, 300000, 1300000};
  return sizes[(static_cast<size_t>(k) + i) % 4] + static_cast<size_t>(k) * 13;
}
std::string attachmentData(int k, size_t i) {
  std::string d(attachmentSize(k, i), '\0');
  uint64_t x = static_cast<uint64_t>(k) * 1000003 + i * 7919 + 1;
  for (char& c : d) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    c = static_cast<char>(x);
  }
  return d;
}
std::string attachmentName(int k, size_t i) { return std::to_string(k) + "-" + std::to_string(i) + ".bin"; }
std::string bodyText(int k) { return "Body of message " + std::to_string(k) + "."; }

std::string base64Lines(const std::string& in) {
  static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out, line;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
    line += t[(v >> 18) & 63];
    line += t[(v >> 12) & 63];
    line += i + 1 < in.size() ? t[(v >> 6) & 63] : '=';
    line += i + 2 < in.size() ? t[v & 63] : '=';
    if (line.size() >= 76) {
      out += line + "\n";
      line.clear();
    }
  }
  if (!line.empty()) out += line + "\n";
  return out;
}

std::string sourceMessage(int k) {
  std::string b = "b" + std::to_string(k);
  std::string m = "From: Crash Test <crash@example.com>\nTo: crash@example.com\nSubject: crash-" + std::to_string(k) +
                  "\nMessage-ID: <crash-" + std::to_string(k) +
                  "@example.com>\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"" + b + "\"\n\n--" + b +
                  "\nContent-Type: text/plain; charset=us-ascii\n\n" + bodyText(k) + "\n";
  for (size_t i = 0; i < attachmentCount(k); ++i) {
    m += "--" + b + "\nContent-Type: application/octet-stream; name=\"" + attachmentName(k, i) +
         "\"\nContent-Disposition: attachment; filename=\"" + attachmentName(k, i) +
         "\"\nContent-Transfer-Encoding: base64\n\n" + base64Lines(attachmentData(k, i));
  }
  m += "--" + b + "--\n";
  return m;
}

std::vector<std::string> namesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

template <typename T>
struct Ref {
  T* p = nullptr;
  ~Ref() {
    if (p) p->Release();
  }
  T** out() { return &p; }
  LPUNKNOWN* unk() { return reinterpret_cast<LPUNKNOWN*>(&p); }
  T* operator->() const { return p; }
};

std::string stringProp(IMAPIProp* obj, ULONG tag) {
  LPSPropValue v = nullptr;
  if (FAILED(HrGetOneProp(obj, tag, &v))) return "<missing>";
  std::string s = v->Value.lpszA;
  MAPIFreeBuffer(v);
  return s;
}

std::string streamBytes(IMAPIProp* obj, ULONG tag, HRESULT& hr) {
  Ref<IStream> s;
  hr = obj->OpenProperty(tag, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(s.out()));
  std::string out;
  if (FAILED(hr)) return out;
  std::vector<char> buf(1 << 16);
  for (;;) {
    ULONG got = 0;
    hr = s->Read(buf.data(), static_cast<ULONG>(buf.size()), &got);
    if (FAILED(hr) || got == 0) break;
    out.append(buf.data(), got);
  }
  return out;
}

class Crash : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tolvane-crash-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    m_tmp = m_dir + "/tmp";
    ASSERT_EQ(mkdir(m_tmp.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((m_dir + "/src").c_str(), 0700), 0);
    // The deliver processes inherit both.
    setenv("TOLVANE_MAPI_HOME", (m_dir + "/home").c_str(), 1);
    setenv("TMPDIR", m_tmp.c_str(), 1);
    setenv("TOLVANE_MAPI_SPOOLER", "off", 1);
    mapiprofile::Profile p;
    p.name = "crash";
    p.address = "crash@example.com";
    std::string error;
    ASSERT_EQ(mapiprofile::create(p, error), S_OK) << error;
    m_store = p.storePath;
    for (int k = 0; k < kSources; ++k) {
      std::ofstream out(source(k), std::ios::binary);
      out << sourceMessage(k);
      ASSERT_TRUE(out.good());
    }
  }
  void TearDown() override {
    if (!HasFailure()) nftw(m_dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    else fprintf(stderr, "left for a look: %s\n", m_dir.c_str());
  }

  std::string source(int k) const { return m_dir + "/src/" + std::to_string(k) + ".eml"; }

  pid_t startDeliver(int k) {
    pid_t pid = fork();
    if (pid == 0) {
      int null = open("/dev/null", O_WRONLY);
      if (null >= 0) {
        dup2(null, 1);
        dup2(null, 2);
      }
      execl(TOLVANE_MAPI_TOOL, "tolvane-mapi", "deliver", "crash", source(k).c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid;
  }

  std::string m_dir, m_tmp, m_store;
};

TEST_F(Crash, KilledDeliveriesLeaveWholeMessagesAndNoFiles) {
  const char* seedText = getenv("TOLVANE_CRASH_SEED");
  const char* killsText = getenv("TOLVANE_CRASH_KILLS");
  unsigned seed = seedText ? static_cast<unsigned>(strtoul(seedText, nullptr, 10)) : std::random_device{}();
  int wantedKills = killsText ? atoi(killsText) : 120;
  printf("seed %u (TOLVANE_CRASH_SEED repeats the run)\n", seed);
  std::mt19937 rng(seed);

  // How long the largest delivery takes, unkilled: kills fall anywhere in
  // up to 1.3 times that.
  auto t0 = std::chrono::steady_clock::now();
  pid_t first = startDeliver(3);  // 1.3 MB, 1 KB and 70 KB
  int status = 0;
  ASSERT_EQ(waitpid(first, &status, 0), first);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "an unkilled delivery failed";
  long span = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
  span = std::max(span * 13 / 10, 20000L);

  // Value files that go while the deliveries run: each is one a killed
  // writer left, removed by the next delivery's open (nothing else here
  // deletes a value).
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, (m_store + ".values").c_str(), IN_DELETE), 0);
  size_t sweptDuring = 0;
  auto countSwept = [&] {
    alignas(struct inotify_event) char buf[8192];
    ssize_t n;
    while ((n = read(watch, buf, sizeof buf)) > 0) {
      for (char* p = buf; p < buf + n;) {
        auto* e = reinterpret_cast<struct inotify_event*>(p);
        if (e->len && e->name[0] != '.' && !(e->mask & IN_ISDIR)) ++sweptDuring;
        p += sizeof(struct inotify_event) + e->len;
      }
    }
  };

  struct Running {
    pid_t pid;
    std::chrono::steady_clock::time_point killAt;
  };
  std::vector<Running> running;
  int kills = 0, finished = 0, failed = 0, started = 1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(75);
  while ((kills < wantedKills || !running.empty()) && std::chrono::steady_clock::now() < deadline) {
    while (kills + static_cast<int>(running.size()) < wantedKills && running.size() < 3) {
      int k = static_cast<int>(rng() % kSources);
      long delay = static_cast<long>(rng() % static_cast<unsigned long>(span));
      running.push_back({startDeliver(k), std::chrono::steady_clock::now() + std::chrono::microseconds(delay)});
      ++started;
    }
    auto now = std::chrono::steady_clock::now();
    for (auto it = running.begin(); it != running.end();) {
      pid_t done = waitpid(it->pid, &status, WNOHANG);
      if (done == 0 && now >= it->killAt) {
        kill(it->pid, SIGKILL);
        done = waitpid(it->pid, &status, 0);
      }
      if (done == it->pid) {
        if (WIFSIGNALED(status)) ++kills;
        else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) ++finished;
        else ++failed;  // 75 when the store stayed locked too long
        it = running.erase(it);
      } else {
        ++it;
      }
    }
    countSwept();
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  for (const Running& r : running) {
    kill(r.pid, SIGKILL);
    waitpid(r.pid, &status, 0);
  }
  // A last round killed late, when value files are likely written and not
  // yet committed: what they leave is for the open below to remove (every
  // delivery above has swept what the ones before it left).
  {
    std::vector<pid_t> last;
    for (int k : {3, 6, 10}) last.push_back(startDeliver(k));  // 1.3 MB attachments
    std::this_thread::sleep_for(std::chrono::microseconds(span * 6 / 10 + static_cast<long>(rng() % (span / 2))));
    for (pid_t pid : last) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      if (WIFSIGNALED(status)) ++kills;
      else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) ++finished;
      else ++failed;
      ++started;
    }
  }
  countSwept();
  close(watch);
  printf("%d deliveries: %d killed, %d finished, %d failed; %zu value files of killed writers removed by later "
         "deliveries\n",
         started, kills, finished + 1, failed, sweptDuring);
  EXPECT_GE(kills, std::min(wantedKills, 100));
  EXPECT_EQ(failed, 0);

  // SQLite's own checks.
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(m_store.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* q = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &q, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(q), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(q, 0)), "ok");
    sqlite3_finalize(q);
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA foreign_key_check", -1, &q, nullptr), SQLITE_OK);
    EXPECT_EQ(sqlite3_step(q), SQLITE_DONE) << "rows whose parent is gone";
    sqlite3_finalize(q);
    sqlite3_close(db);
  }

  // The next open for writing removes what the killed writers left.
  size_t filesBefore = 0;
  for (const auto& n : namesIn(m_store + ".values"))
    if (n[0] != '.') ++filesBefore;
  size_t deadBefore = namesIn(m_store + ".values/.writers").size();
  {
    tmapi::StoreDb* raw = nullptr;
    std::string error;
    ASSERT_EQ(tmapi::StoreDb::open(m_store, &raw, error), S_OK) << error;
    delete raw;
  }
  EXPECT_TRUE(namesIn(m_store + ".values/.writers").empty()) << "a dead writer is left";
  std::set<std::string> named;
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(m_store.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* q = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT name FROM value_files", -1, &q, nullptr), SQLITE_OK);
    while (sqlite3_step(q) == SQLITE_ROW) named.insert(reinterpret_cast<const char*>(sqlite3_column_text(q, 0)));
    sqlite3_finalize(q);
    sqlite3_close(db);
  }
  size_t filesAfter = 0;
  for (const auto& n : namesIn(m_store + ".values")) {
    if (n[0] == '.') continue;
    ++filesAfter;
    EXPECT_TRUE(named.count(n)) << "value file no row names: " << n;
  }
  EXPECT_EQ(filesAfter, named.size()) << "rows name files that are missing";
  printf("value files: %zu before the last open (%zu writers gone), %zu after, %zu named by rows\n", filesBefore,
         deadBefore, filesAfter, named.size());

  // Nothing in the processes' TMPDIR.
  std::vector<std::string> left = namesIn(m_tmp);
  EXPECT_TRUE(left.empty()) << left.size() << " temporary files left, e.g. " << left[0];

  // Every message whole, compared with its source.
  ASSERT_EQ(MAPIInitialize(nullptr), S_OK);
  {
    Ref<IMAPISession> session;
    ASSERT_EQ(MAPILogonEx(0, reinterpret_cast<LPTSTR>(const_cast<char*>("crash")), nullptr, 0, session.out()), S_OK);
    Ref<IMAPITable> stores;
    ASSERT_EQ(session->GetMsgStoresTable(0, stores.out()), S_OK);
    LPSRowSet rows = nullptr;
    ASSERT_EQ(stores->QueryRows(1, 0, &rows), S_OK);
    LPSPropValue eid = PpropFindProp(rows->aRow[0].lpProps, rows->aRow[0].cValues, PR_ENTRYID);
    Ref<IMsgStore> store;
    HRESULT hr = session->OpenMsgStore(0, eid->Value.bin.cb, reinterpret_cast<LPENTRYID>(eid->Value.bin.lpb), nullptr,
                                       MAPI_BEST_ACCESS, store.out());
    FreeProws(rows);
    ASSERT_EQ(hr, S_OK);
    ULONG cb = 0;
    LPENTRYID inboxId = nullptr;
    ASSERT_EQ(store->GetReceiveFolder(nullptr, 0, &cb, &inboxId, nullptr), S_OK);
    Ref<IMAPIFolder> inbox;
    ULONG type = 0;
    hr = store->OpenEntry(cb, inboxId, nullptr, 0, &type, inbox.unk());
    MAPIFreeBuffer(inboxId);
    ASSERT_EQ(hr, S_OK);
    Ref<IMAPITable> contents;
    ASSERT_EQ(inbox->GetContentsTable(0, contents.out()), S_OK);
    SizedSPropTagArray(2, cols) = {2, {PR_ENTRYID, PR_SUBJECT_A}};
    ASSERT_EQ(HrQueryAllRows(contents.p, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
    std::map<int, int> copies;
    for (ULONG r = 0; r < rows->cRows; ++r) {
      const SPropValue* v = rows->aRow[r].lpProps;
      std::string subject = PROP_TYPE(v[1].ulPropTag) == PT_STRING8 ? v[1].Value.lpszA : "<none>";
      ASSERT_EQ(subject.rfind("crash-", 0), 0u) << subject;
      int k = atoi(subject.c_str() + 6);
      ++copies[k];
      Ref<IMessage> msg;
      ASSERT_EQ(store->OpenEntry(v[0].Value.bin.cb, reinterpret_cast<LPENTRYID>(v[0].Value.bin.lpb), nullptr, 0,
                                 &type, msg.unk()),
                S_OK);
      std::string body = stringProp(msg.p, PR_BODY_A_);
      while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
      EXPECT_EQ(body, bodyText(k)) << subject;
      Ref<IMAPITable> atts;
      ASSERT_EQ(msg->GetAttachmentTable(0, atts.out()), S_OK);
      SizedSPropTagArray(1, num) = {1, {PR_ATTACH_NUM}};
      LPSRowSet arows = nullptr;
      ASSERT_EQ(HrQueryAllRows(atts.p, reinterpret_cast<LPSPropTagArray>(&num), nullptr, nullptr, 0, &arows), S_OK);
      EXPECT_EQ(arows->cRows, attachmentCount(k)) << subject;
      for (ULONG a = 0; a < arows->cRows && a < attachmentCount(k); ++a) {
        Ref<IAttach> attach;
        ASSERT_EQ(msg->OpenAttach(arows->aRow[a].lpProps[0].Value.ul, nullptr, 0, attach.out()), S_OK);
        EXPECT_EQ(stringProp(attach.p, PR_ATTACH_LONG_FILENAME_A), attachmentName(k, a));
        std::string data = streamBytes(attach.p, PR_ATTACH_DATA_BIN, hr);
        EXPECT_EQ(hr, S_OK) << subject << " attachment " << a;
        EXPECT_TRUE(data == attachmentData(k, a))
            << subject << " attachment " << a << ": " << data.size() << " bytes, " << attachmentSize(k, a) << " sent";
      }
      FreeProws(arows);
    }
    printf("%u whole messages in the Inbox, copies of %zu of the %d sources\n", rows->cRows, copies.size(),
           kSources);
    EXPECT_GE(rows->cRows, 1u);
    FreeProws(rows);
    session->Logoff(0, 0, 0);
  }
  MAPIUninitialize();

  // The store goes on: a delivery after all that is stored.
  pid_t after = startDeliver(7);
  ASSERT_EQ(waitpid(after, &status, 0), after);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(namesIn(m_tmp).empty());
}

}  // namespace
