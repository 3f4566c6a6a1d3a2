// Structured storage on libgsf: what StgCreateDocfile and its IStorage and
// IStream objects write, read back with libgsf's own reader.
#include "msgfile/storage.h"
#include "testsupport.h"

#include <mapiguid.h>
#include <mapix.h>
#include <objbase.h>

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-input.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <sys/resource.h>

#include "../synced_files.h"

namespace {

const DWORD kMode = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
const HRESULT kReverted = static_cast<HRESULT>(0x80030102u);

std::string pattern(size_t n, char seed) {
  std::string s(n, '\0');
  for (size_t k = 0; k < n; ++k) s[k] = static_cast<char>(seed + k * 7 + (k >> 9));
  return s;
}

void write(IStream* stm, const std::string& data, size_t piece) {
  for (size_t off = 0; off < data.size(); off += piece) {
    ULONG n = static_cast<ULONG>(std::min(piece, data.size() - off));
    ULONG done = 0;
    ASSERT_EQ(stm->Write(data.data() + off, n, &done), S_OK);
    ASSERT_EQ(done, n);
  }
}

// Reads a compound file with libgsf.
class Reader {
 public:
  explicit Reader(const std::string& path) {
    GError* err = nullptr;
    m_input = gsf_input_stdio_new(path.c_str(), &err);
    if (err) g_error_free(err);
    err = nullptr;
    if (m_input) m_root = gsf_infile_msole_new(m_input, &err);
    if (err) g_error_free(err);
  }
  ~Reader() {
    if (m_root) g_object_unref(m_root);
    if (m_input) g_object_unref(m_input);
  }
  bool ok() const { return m_root != nullptr; }
  GsfInfile* root() { return m_root; }

  // The content of a stream given by its path ("a/b/c"), or "<missing>".
  std::string stream(const std::string& path) {
    GsfInfile* dir = m_root;
    g_object_ref(dir);
    size_t start = 0;
    std::string out = "<missing>";
    for (;;) {
      size_t slash = path.find('/', start);
      std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
      GsfInput* child = gsf_infile_child_by_name(dir, part.c_str());
      g_object_unref(dir);
      if (!child) return out;
      if (slash == std::string::npos) {
        gsf_off_t size = gsf_input_size(child);
        out.assign(static_cast<size_t>(size), '\0');
        if (size && !gsf_input_read(child, static_cast<size_t>(size), reinterpret_cast<guint8*>(&out[0])))
          out = "<unreadable>";
        g_object_unref(child);
        return out;
      }
      if (!GSF_IS_INFILE(child)) {
        g_object_unref(child);
        return out;
      }
      dir = GSF_INFILE(child);
      start = slash + 1;
    }
  }

 private:
  GsfInput* m_input = nullptr;
  GsfInfile* m_root = nullptr;
};

class StorageTest : public msgtest::LiveCountsTest {
 protected:
  void TearDown() override {
    tmapi::msgfile::setStreamMemoryLimit(0);
    LiveCountsTest::TearDown();
  }
};

TEST_F(StorageTest, StreamsOfEveryKindLandInTheFile) {
  msgtest::TempDir dir;
  std::string path = dir.file("tree.cfb");
  tmapi::msgfile::setStreamMemoryLimit(4096);
  std::string big = pattern(300 * 1024 + 5, 'a');      // passes straight through
  std::string spilled = pattern(200 * 1024 + 3, 'k');  // written meanwhile: to a temporary file
  std::string small = "small value";
  std::string replaced = pattern(1000, 'z');
  {
    IStorage* root = nullptr;
    std::wstring w = msgtest::wide(path);
    ASSERT_EQ(StgCreateDocfile(w.c_str(), STGM_TRANSACTED | STGM_CREATE | STGM_READWRITE, 0, &root), S_OK);
    IStorage* sub = nullptr;
    ASSERT_EQ(root->CreateStorage(L"__attach_version1.0_#00000000", kMode, 0, 0, &sub), S_OK);
    IStorage* inner = nullptr;
    ASSERT_EQ(sub->CreateStorage(L"__substg1.0_3701000D", kMode, 0, 0, &inner), S_OK);
    IStream *s1 = nullptr, *s2 = nullptr, *s3 = nullptr, *s4 = nullptr;
    ASSERT_EQ(sub->CreateStream(L"__substg1.0_37010102", kMode, 0, 0, &s1), S_OK);
    ASSERT_EQ(inner->CreateStream(L"__substg1.0_37010102", kMode, 0, 0, &s2), S_OK);
    ASSERT_EQ(root->CreateStream(L"__properties_version1.0", kMode, 0, 0, &s3), S_OK);
    // Interleaved: the first big stream passes through, the second is held back.
    for (size_t off = 0; off < big.size(); off += 10000) {
      ULONG n = static_cast<ULONG>(std::min<size_t>(10000, big.size() - off));
      ASSERT_EQ(s1->Write(big.data() + off, n, nullptr), S_OK);
      if (off < spilled.size()) {
        ULONG m = static_cast<ULONG>(std::min<size_t>(10000, spilled.size() - off));
        ASSERT_EQ(s2->Write(spilled.data() + off, m, nullptr), S_OK);
      }
    }
    write(s3, "first version", 4);
    s3->Release();
    // Replaced while nothing of it is in the file yet.
    ASSERT_EQ(root->CreateStream(L"__properties_version1.0", kMode, 0, 0, &s3), S_OK);
    write(s3, replaced, 100);
    s3->Release();
    IStream* dup = nullptr;
    EXPECT_EQ(root->CreateStream(L"__PROPERTIES_version1.0", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &dup),
              STG_E_FILEALREADYEXISTS);
    EXPECT_EQ(dup, nullptr);
    EXPECT_EQ(root->CreateStream(L"a-name-longer-than-thirty-one-chars", kMode, 0, 0, &dup), STG_E_INVALIDNAME);
    EXPECT_EQ(root->CreateStream(L"ok", STGM_READWRITE, 0, 0, &dup), STG_E_INVALIDFLAG);
    ASSERT_EQ(root->CreateStream(L"empty", kMode, 0, 0, &s4), S_OK);
    s4->Release();
    IStream* s5 = nullptr;
    ASSERT_EQ(sub->CreateStream(L"small", kMode, 0, 0, &s5), S_OK);
    write(s5, small, 3);
    s5->Release();
    STATSTG st;
    ASSERT_EQ(s1->Stat(&st, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(st.cbSize.QuadPart, big.size());
    EXPECT_EQ(WriteClassStg(root, IID_IMessage), S_OK);
    EXPECT_EQ(inner->SetClass(IID_IMessage), S_OK);
    EXPECT_EQ(sub->Commit(STGC_DEFAULT), S_OK);
    // s1 and s2 are still open at the root's Commit.
    EXPECT_EQ(root->Commit(STGC_DEFAULT), S_OK);
    EXPECT_EQ(s1->Write("x", 1, nullptr), kReverted);
    s1->Release();
    s2->Release();
    inner->Release();
    sub->Release();
    root->Release();
  }
  EXPECT_EQ(dir.listing(), "tree.cfb");
  Reader r(path);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.stream("__attach_version1.0_#00000000/__substg1.0_37010102") == big);
  EXPECT_TRUE(r.stream("__attach_version1.0_#00000000/__substg1.0_3701000D/__substg1.0_37010102") == spilled);
  EXPECT_EQ(r.stream("__attach_version1.0_#00000000/small"), small);
  EXPECT_TRUE(r.stream("__properties_version1.0") == replaced);
  EXPECT_EQ(r.stream("empty"), "");
  guint8 clsid[16];
  ASSERT_TRUE(gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(r.root()), clsid));
  EXPECT_EQ(memcmp(clsid, &IID_IMessage, 16), 0);
}

// A real write failure (the file size limit of the process): the write or the
// Commit reports it, and the target is left as StgCreateDocfile made it.
TEST_F(StorageTest, WriteFailureLeavesNoHalfFile) {
  msgtest::TempDir dir;
  std::string path = dir.file("full.cfb");
  tmapi::msgfile::setStreamMemoryLimit(4096);
  void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct rlimit lim = old;
  lim.rlim_cur = 256 * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
  HRESULT writeHr = S_OK, commitHr = S_OK;
  {
    IStorage* root = nullptr;
    std::wstring w = msgtest::wide(path);
    ASSERT_EQ(StgCreateDocfile(w.c_str(), STGM_TRANSACTED | STGM_CREATE | STGM_READWRITE, 0, &root), S_OK);
    IStream* stm = nullptr;
    ASSERT_EQ(root->CreateStream(L"big", kMode, 0, 0, &stm), S_OK);
    std::string piece = pattern(8192, 'q');
    for (int k = 0; k < 128 && SUCCEEDED(writeHr); ++k) writeHr = stm->Write(piece.data(), 8192, nullptr);
    stm->Release();
    commitHr = root->Commit(STGC_DEFAULT);
    EXPECT_EQ(root->Commit(STGC_DEFAULT), commitHr);  // the failure stays
    root->Release();
  }
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(FAILED(commitHr));
  EXPECT_TRUE(commitHr == STG_E_MEDIUMFULL || commitHr == STG_E_WRITEFAULT) << std::hex << commitHr;
  EXPECT_TRUE(SUCCEEDED(writeHr) || writeHr == commitHr);
  EXPECT_EQ(dir.listing(), "full.cfb");
  EXPECT_EQ(msgtest::fileSize(path), 0);
}

TEST_F(StorageTest, ReplacedStorageRevertsWhatIsHeldInside) {
  msgtest::TempDir dir;
  std::string path = dir.file("replace.cfb");
  {
    IStorage* root = nullptr;
    std::wstring w = msgtest::wide(path);
    ASSERT_EQ(StgCreateDocfile(w.c_str(), kMode, 0, &root), S_OK);
    IStorage* sub = nullptr;
    ASSERT_EQ(root->CreateStorage(L"sub", kMode, 0, 0, &sub), S_OK);
    IStream* old = nullptr;
    ASSERT_EQ(sub->CreateStream(L"old", kMode, 0, 0, &old), S_OK);
    sub->Release();
    ASSERT_EQ(root->CreateStorage(L"sub", kMode, 0, 0, &sub), S_OK);
    EXPECT_EQ(old->Write("x", 1, nullptr), kReverted);
    old->Release();
    IStream* fresh = nullptr;
    ASSERT_EQ(sub->CreateStream(L"new", kMode, 0, 0, &fresh), S_OK);
    write(fresh, "fresh", 5);
    fresh->Release();
    sub->Release();
    EXPECT_EQ(root->Commit(STGC_DEFAULT), S_OK);
    root->Release();
  }
  Reader r(path);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.stream("sub/new"), "fresh");
  EXPECT_EQ(r.stream("sub/old"), "<missing>");
}

TEST_F(StorageTest, OpeningAndReadingAreNotOffered) {
  msgtest::TempDir dir;
  IStorage* root = nullptr;
  std::wstring w = msgtest::wide(dir.file("x.cfb"));
  ASSERT_EQ(StgCreateDocfile(w.c_str(), kMode, 0, &root), S_OK);
  IStream* stm = nullptr;
  EXPECT_EQ(root->OpenStream(L"a", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stm), STG_E_INVALIDFUNCTION);
  IStorage* sub = nullptr;
  EXPECT_EQ(root->OpenStorage(L"a", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, &sub),
            STG_E_INVALIDFUNCTION);
  IEnumSTATSTG* e = nullptr;
  EXPECT_EQ(root->EnumElements(0, nullptr, 0, &e), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(StgCreateDocfile(w.c_str(), kMode, 1, &sub), STG_E_INVALIDPARAMETER);
  EXPECT_EQ(StgCreateDocfile(w.c_str(), STGM_READ, 0, &sub), STG_E_INVALIDFLAG);
  EXPECT_EQ(StgCreateDocfile(nullptr, kMode, 0, &sub), STG_E_INVALIDNAME);
  root->Release();
}

TEST_F(StorageTest, ACommitToTheCacheWritesTheSameFileWithoutASync) {
  msgtest::TempDir dir;
  for (DWORD flags : {DWORD{STGC_DEFAULT}, DWORD{STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE}}) {
    std::string path = dir.file("c" + std::to_string(flags) + ".cfb");
    IStorage* root = nullptr;
    std::wstring w = msgtest::wide(path);
    ASSERT_EQ(StgCreateDocfile(w.c_str(), kMode, 0, &root), S_OK);
    IStream* stm = nullptr;
    ASSERT_EQ(root->CreateStream(L"data", kMode, 0, 0, &stm), S_OK);
    std::string data = pattern(70000, 'k');
    write(stm, data, 4096);
    stm->Release();
    syncedfiles::take();
    EXPECT_EQ(root->Commit(flags), S_OK);
    root->Release();
    EXPECT_EQ(syncedfiles::take().size(), flags == STGC_DEFAULT ? 1u : 0u) << "flags " << flags;
    Reader back(path);
    ASSERT_TRUE(back.ok()) << "flags " << flags;
    EXPECT_EQ(back.stream("data"), data) << "flags " << flags;
  }
  EXPECT_EQ(dir.listing(), "c0.cfb c4.cfb") << "no temporary file is left";
}

TEST_F(StorageTest, CallsAreJournaled) {
  msgtest::TempDir dir;
  mapitest::startJournal();
  IStorage* root = nullptr;
  std::wstring w = msgtest::wide(dir.file("j.cfb"));
  ASSERT_EQ(StgCreateDocfile(w.c_str(), kMode, 0, &root), S_OK);
  EXPECT_EQ(WriteClassStg(root, IID_IMessage), S_OK);
  EXPECT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  root->Release();
  EXPECT_EQ(mapitest::journalCount("StgCreateDocfile"), 1u);
  EXPECT_EQ(mapitest::journalCount("WriteClassStg"), 1u);
  EXPECT_EQ(mapitest::journalCount("IStorage::SetClass"), 1u);
  EXPECT_EQ(mapitest::journalCount("IStorage::Commit"), 1u);
  mapitest::stopJournal();
}

}  // namespace
