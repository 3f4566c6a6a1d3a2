// The runtime of the MAPI subsystem: buffers, test controls, property values,
// mapiutil helpers and the in-memory table. Every test ends by checking that
// it left no buffer unfreed and no object alive.
#include "runtime/memtable.h"
#include "runtime/prop.h"
#include "runtime/testctl_internal.h"

#include <mapicode.h>
#include <mapiutil.h>
#include <mapix.h>
#include <tolvane/mapitest.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

using tmapi::Prop;
using tmapi::PropRow;

namespace {

const ULONG PR_TEST_I2 = PROP_TAG(PT_I2, 0x6601);
const ULONG PR_TEST_R4 = PROP_TAG(PT_R4, 0x6602);
const ULONG PR_TEST_DOUBLE = PROP_TAG(PT_DOUBLE, 0x6603);
const ULONG PR_TEST_CURRENCY = PROP_TAG(PT_CURRENCY, 0x6604);
const ULONG PR_TEST_APPTIME = PROP_TAG(PT_APPTIME, 0x6605);
const ULONG PR_TEST_I8 = PROP_TAG(PT_I8, 0x6606);
const ULONG PR_TEST_CLSID = PROP_TAG(PT_CLSID, 0x6607);
const ULONG PR_TEST_MV_A = PROP_TAG(PT_MV_STRING8, 0x6608);
const ULONG PR_TEST_MV_W = PROP_TAG(PT_MV_UNICODE, 0x6609);
const ULONG PR_TEST_MV_BIN = PROP_TAG(PT_MV_BINARY, 0x660A);
const ULONG PR_TEST_MV_LONG = PROP_TAG(PT_MV_LONG, 0x660B);
const ULONG PR_TEST_MV_I8 = PROP_TAG(PT_MV_I8, 0x660C);
const ULONG PR_TEST_MV_TIME = PROP_TAG(PT_MV_SYSTIME, 0x660D);
const ULONG PR_TEST_ERROR = PROP_TAG(PT_ERROR, 0x660E);

// "Grüße € 𝄞": two-, three- and four-byte UTF-8 sequences.
const char kUtf8Text[] = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9D\x84\x9E";
const wchar_t kWideText[] = {L'G', L'r', 0xFC, 0xDF, L'e', L' ', 0x20AC, L' ', 0x1D11E, 0};

template <size_t N>
struct TagArray {
  ULONG cValues = N;
  ULONG aulPropTag[N];
  LPSPropTagArray get() { return reinterpret_cast<LPSPropTagArray>(this); }
};

template <typename... T>
TagArray<sizeof...(T)> tags(T... t) {
  TagArray<sizeof...(T)> a;
  ULONG v[] = {static_cast<ULONG>(t)...};
  for (size_t k = 0; k < sizeof...(T); ++k) a.aulPropTag[k] = v[k];
  return a;
}

class Runtime : public ::testing::Test {
 protected:
  void SetUp() override {
    mapitest::reset();
    m_buffers = mapitest::liveBuffers();
    m_objects = mapitest::liveObjects();
  }
  void TearDown() override {
    mapitest::reset();
    EXPECT_EQ(mapitest::liveBuffers(), m_buffers) << "MAPI buffers left unfreed";
    EXPECT_EQ(mapitest::liveObjects(), m_objects) << "MAPI objects left alive";
  }

 private:
  long m_buffers = 0;
  long m_objects = 0;
};

// ---------------------------------------------------------------- buffers

TEST_F(Runtime, MoreBlocksAreFreedWithTheirParent) {
  long before = mapitest::liveBuffers();
  LPVOID root = nullptr;
  ASSERT_EQ(MAPIAllocateBuffer(64, &root), S_OK);
  memset(root, 0xAB, 64);
  for (int k = 0; k < 10; ++k) {
    LPVOID more = nullptr;
    ASSERT_EQ(MAPIAllocateMore(100 + k, root, &more), S_OK);
    ASSERT_NE(more, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(more) % 16, 0u);
    memset(more, k, 100 + k);
  }
  EXPECT_EQ(mapitest::liveBuffers(), before + 1);  // children do not count
  EXPECT_EQ(MAPIFreeBuffer(root), 0u);
  EXPECT_EQ(mapitest::liveBuffers(), before);
}

TEST_F(Runtime, BadFreesFailWithoutHarm) {
  EXPECT_EQ(MAPIFreeBuffer(nullptr), 0u);
  LPVOID root = nullptr, more = nullptr;
  ASSERT_EQ(MAPIAllocateBuffer(16, &root), S_OK);
  ASSERT_EQ(MAPIAllocateMore(16, root, &more), S_OK);
  // A child, a stack address, a pointer into a block: refused.
  EXPECT_EQ(MAPIFreeBuffer(more), static_cast<ULONG>(MAPI_E_INVALID_PARAMETER));
  char local[64] = {};
  EXPECT_EQ(MAPIFreeBuffer(local + 32), static_cast<ULONG>(MAPI_E_INVALID_PARAMETER));
  EXPECT_EQ(MAPIFreeBuffer(static_cast<char*>(root) + 8), static_cast<ULONG>(MAPI_E_INVALID_PARAMETER));
  // More on a child or on nothing is refused too.
  LPVOID p = reinterpret_cast<LPVOID>(1);
  EXPECT_EQ(MAPIAllocateMore(8, more, &p), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(MAPIAllocateMore(8, nullptr, &p), MAPI_E_INVALID_PARAMETER);
  // The root is still intact; freeing it twice fails the second time.
  EXPECT_EQ(MAPIFreeBuffer(root), 0u);
  EXPECT_EQ(MAPIFreeBuffer(root), static_cast<ULONG>(MAPI_E_INVALID_PARAMETER));
}

TEST_F(Runtime, AllocationFaultsFollowThePlan) {
  mapitest::addFault("MAPIAllocateBuffer", 2, MAPI_E_NOT_ENOUGH_MEMORY);
  LPVOID a = nullptr, b = reinterpret_cast<LPVOID>(1), c = nullptr;
  EXPECT_EQ(MAPIAllocateBuffer(8, &a), S_OK);
  EXPECT_EQ(MAPIAllocateBuffer(8, &b), MAPI_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(MAPIAllocateBuffer(8, &c), S_OK);
  mapitest::addFault("MAPIAllocateMore", 1, MAPI_E_NOT_ENOUGH_MEMORY);
  LPVOID more = reinterpret_cast<LPVOID>(1);
  EXPECT_EQ(MAPIAllocateMore(8, a, &more), MAPI_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(more, nullptr);
  MAPIFreeBuffer(a);
  MAPIFreeBuffer(c);
}

TEST_F(Runtime, DefaultMallocAllocatesAndFrees) {
  LPMALLOC m = MAPIGetDefaultMalloc();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m, MAPIGetDefaultMalloc());
  void* q = nullptr;
  EXPECT_EQ(m->QueryInterface(IID_IMalloc, &q), S_OK);
  EXPECT_EQ(q, m);
  char* p = static_cast<char*>(m->Alloc(10));
  ASSERT_NE(p, nullptr);
  memcpy(p, "0123456789", 10);
  EXPECT_EQ(m->GetSize(p), 10u);
  p = static_cast<char*>(m->Realloc(p, 1000));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(m->GetSize(p), 1000u);
  EXPECT_EQ(memcmp(p, "0123456789", 10), 0);
  m->Free(p);
}

// ---------------------------------------------------------------- test controls

TEST_F(Runtime, NthFaultFiresOnceAndSwitchesTheHookOff) {
  EXPECT_FALSE(tmapi::g_testControlsActive.load());
  mapitest::addFault("IFoo::Bar", 3, MAPI_E_NOT_FOUND);
  EXPECT_TRUE(tmapi::g_testControlsActive.load());
  EXPECT_EQ(tmapi::testCall("IFoo::Bar", ""), S_OK);
  EXPECT_EQ(tmapi::testCall("IFoo::Other", ""), S_OK);  // counted per method
  EXPECT_EQ(tmapi::testCall("IFoo::Bar", ""), S_OK);
  EXPECT_EQ(tmapi::testCall("IFoo::Bar", ""), MAPI_E_NOT_FOUND);
  EXPECT_FALSE(tmapi::g_testControlsActive.load());
  EXPECT_EQ(tmapi::testCall("IFoo::Bar", ""), S_OK);
}

TEST_F(Runtime, StickyFaultFailsFromTheNthCallOn) {
  tmapi::testCall("IFoo::Bar", "");  // calls before the fault is added do not count
  mapitest::addStickyFault("IFoo::Bar", 2, E_FAIL);
  EXPECT_EQ(tmapi::testCall("IFoo::Bar", ""), S_OK);
  EXPECT_EQ(tmapi::testCall("IFoo::Bar", ""), E_FAIL);
  EXPECT_EQ(tmapi::testCall("IFoo::Bar", ""), E_FAIL);
  EXPECT_TRUE(tmapi::g_testControlsActive.load());
  mapitest::clearFaults();
  EXPECT_FALSE(tmapi::g_testControlsActive.load());
  EXPECT_EQ(tmapi::testCall("IFoo::Bar", ""), S_OK);
}

TEST_F(Runtime, FaultSetsTheSystemError) {
  mapitest::addFault("IFoo::Write", 1, MAPI_E_DISK_ERROR, ENOSPC);
  errno = 0;
  EXPECT_EQ(tmapi::testCall("IFoo::Write", ""), MAPI_E_DISK_ERROR);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(tmapi::faultText("IFoo::Write", MAPI_E_DISK_ERROR), "IFoo::Write failed: injected fault 0x80040116");
}

TEST_F(Runtime, JournalRecordsCallsInOrder) {
  tmapi::testCall("IFoo::Bar", "before");
  mapitest::startJournal();
  EXPECT_TRUE(tmapi::g_testControlsActive.load());
  tmapi::testCall("IFoo::Bar", "n=1");
  tmapi::testCall("IFoo::BarBaz", "");
  tmapi::testCall("IFoo::Bar", "");
  mapitest::stopJournal();
  EXPECT_FALSE(tmapi::g_testControlsActive.load());
  tmapi::testCall("IFoo::Bar", "after");
  EXPECT_EQ(mapitest::journal(), (std::vector<std::string>{"IFoo::Bar n=1", "IFoo::BarBaz", "IFoo::Bar"}));
  EXPECT_EQ(mapitest::journalCount("IFoo::Bar"), 2u);
  EXPECT_EQ(mapitest::journalCount("IFoo::BarBaz"), 1u);
  EXPECT_EQ(mapitest::journalCount("IFoo"), 0u);
  mapitest::clearJournal();
  EXPECT_TRUE(mapitest::journal().empty());
}

TEST_F(Runtime, SizeLimitDefaultsToFourMiB) {
  EXPECT_EQ(mapitest::sizeLimit(), 4u * 1024 * 1024);
  mapitest::setSizeLimit(100);
  EXPECT_EQ(mapitest::sizeLimit(), 100u);
  mapitest::setSizeLimit(0);
  EXPECT_EQ(mapitest::sizeLimit(), 4u * 1024 * 1024);
  mapitest::setSizeLimit(100);
  mapitest::reset();
  EXPECT_EQ(mapitest::sizeLimit(), 4u * 1024 * 1024);
}

// Runs itself in a child process with the controls set in the environment.
TEST(TestControlEnvironment, IsReadAtLoad) {
  if (getenv("TOLVANE_RUNTIME_TEST_CHILD")) {
    EXPECT_EQ(mapitest::sizeLimit(), 1234u);
    EXPECT_TRUE(tmapi::g_testControlsActive.load());
    EXPECT_EQ(tmapi::testCall("IMAPITable::QueryRows", "count=1"), S_OK);
    errno = 0;
    EXPECT_EQ(tmapi::testCall("IMAPITable::QueryRows", "count=2"), MAPI_E_NOT_FOUND);
    EXPECT_EQ(errno, 5);
    EXPECT_EQ(tmapi::testCall("MAPIAllocateBuffer", ""), S_OK);  // its entry was malformed
    EXPECT_EQ(tmapi::testCall("HrGetOneProp", ""), E_FAIL);
    EXPECT_EQ(mapitest::journalCount("IMAPITable::QueryRows"), 2u);
    return;
  }
  char self[PATH_MAX] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  std::string cmd = std::string("TOLVANE_RUNTIME_TEST_CHILD=1 TOLVANE_MAPI_JOURNAL=1 TOLVANE_MAPI_SIZE_LIMIT=1234 ") +
                    "TOLVANE_MAPI_FAULTS='IMAPITable::QueryRows#2=0x8004010F/5; garbage ;MAPIAllocateBuffer#x=1;"
                    "HrGetOneProp#1=0x80004005' '" +
                    self + "' --gtest_filter=TestControlEnvironment.IsReadAtLoad 2>&1";
  FILE* child = popen(cmd.c_str(), "r");
  ASSERT_NE(child, nullptr);
  std::string output;
  char buf[512];
  while (fgets(buf, sizeof buf, child)) output += buf;
  int status = pclose(child);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("TOLVANE_MAPI_FAULTS: ignoring malformed entry \"garbage\""), std::string::npos) << output;
  EXPECT_NE(output.find("ignoring malformed entry \"MAPIAllocateBuffer#x=1\""), std::string::npos) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

// ---------------------------------------------------------------- property values

PropRow everyType() {
  FILETIME ft = {0x89ABCDEFu, 0x01D9F000u};
  GUID guid = {0x00020329, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  Prop i2, r4, cur, app, i8, mvLong, mvI8, mvTime;
  i2.tag = PR_TEST_I2, i2.i = -1234;
  r4.tag = PR_TEST_R4, r4.d = 1.5;
  cur.tag = PR_TEST_CURRENCY, cur.i = 123456789012LL;
  app.tag = PR_TEST_APPTIME, app.d = 45000.25;
  i8 = Prop::I8(PR_TEST_I8, -9000000000000LL);
  mvLong.tag = PR_TEST_MV_LONG, mvLong.mvi = {1, -2, 0x7FFFFFFF};
  mvI8.tag = PR_TEST_MV_I8, mvI8.mvi = {1LL << 40, -5};
  mvTime.tag = PR_TEST_MV_TIME, mvTime.mvi = {0x01D9F00089ABCDEFLL, 0};
  Prop mvBin;
  mvBin.tag = PR_TEST_MV_BIN, mvBin.mv = {std::string("\0\1\2", 3), ""};
  return {
      i2,
      Prop::Long(PR_MESSAGE_SIZE, 70000),
      r4,
      Prop::Double(PR_TEST_DOUBLE, -2.75),
      cur,
      app,
      Prop::Error(PR_TEST_ERROR, MAPI_E_NOT_ENOUGH_MEMORY),
      Prop::Bool(PR_DEFAULT_STORE, true),
      i8,
      Prop::String(PR_SUBJECT_A, "Hello"),
      Prop::String(PR_DISPLAY_NAME_W, kUtf8Text),
      Prop::Time(PR_CREATION_TIME, ft),
      Prop::Binary(PR_TEST_CLSID, &guid, sizeof guid),
      Prop::Binary(PR_ENTRYID, std::string("\x00\xFF\x10", 3)),
      Prop::MultiString(PR_TEST_MV_A, {"one", "", "three"}),
      Prop::MultiString(PR_TEST_MV_W, {kUtf8Text, "x"}),
      mvBin,
      mvLong,
      mvI8,
      mvTime,
  };
}

void expectSame(const Prop& a, const Prop& b) {
  EXPECT_EQ(a.tag, b.tag);
  EXPECT_EQ(a.i, b.i) << std::hex << a.tag;
  EXPECT_EQ(a.d, b.d) << std::hex << a.tag;
  EXPECT_EQ(a.bytes, b.bytes) << std::hex << a.tag;
  EXPECT_EQ(a.mv, b.mv) << std::hex << a.tag;
  EXPECT_EQ(a.mvi, b.mvi) << std::hex << a.tag;
}

TEST_F(Runtime, EveryTypeSurvivesTheRoundTrip) {
  PropRow row = everyType();
  ULONG count = 0;
  LPSPropValue values = nullptr;
  ASSERT_EQ(tmapi::rowToMAPI(row, nullptr, &count, &values), S_OK);
  ASSERT_EQ(count, row.size());
  // The MAPI side of a few types.
  LPSPropValue v = PpropFindProp(values, count, PR_SUBJECT_A);
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v->Value.lpszA, "Hello");
  v = PpropFindProp(values, count, PR_DISPLAY_NAME_W);
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v->Value.lpszW, kWideText);
  v = PpropFindProp(values, count, PR_TEST_MV_A);
  ASSERT_EQ(v->Value.MVszA.cValues, 3u);
  EXPECT_STREQ(v->Value.MVszA.lppszA[2], "three");
  v = PpropFindProp(values, count, PR_TEST_MV_W);
  EXPECT_STREQ(v->Value.MVszW.lppszW[0], kWideText);
  v = PpropFindProp(values, count, PR_CREATION_TIME);
  EXPECT_EQ(v->Value.ft.dwHighDateTime, 0x01D9F000u);
  EXPECT_EQ(v->Value.ft.dwLowDateTime, 0x89ABCDEFu);
  v = PpropFindProp(values, count, PR_TEST_CLSID);
  EXPECT_EQ(v->Value.lpguid->Data1, 0x00020329u);
  v = PpropFindProp(values, count, PR_TEST_I2);
  EXPECT_EQ(v->Value.i, -1234);
  v = PpropFindProp(values, count, PR_TEST_ERROR);
  EXPECT_EQ(v->Value.err, MAPI_E_NOT_ENOUGH_MEMORY);

  PropRow back;
  ASSERT_EQ(tmapi::rowFromMAPI(count, values, back), S_OK);
  ASSERT_EQ(back.size(), row.size());
  for (size_t k = 0; k < row.size(); ++k) expectSame(back[k], row[k]);

  // A packed copy (ScDupPropset) reads back the same.
  LPSPropValue dup = nullptr;
  ASSERT_EQ(ScDupPropset(static_cast<int>(count), values, MAPIAllocateBuffer, &dup), S_OK);
  MAPIFreeBuffer(values);
  PropRow again;
  ASSERT_EQ(tmapi::rowFromMAPI(count, dup, again), S_OK);
  for (size_t k = 0; k < row.size(); ++k) expectSame(again[k], row[k]);
  MAPIFreeBuffer(dup);
}

TEST_F(Runtime, ColumnsPickValuesAndMarkMissingOnes) {
  PropRow row = {Prop::String(PR_SUBJECT_A, "s"), Prop::Long(PR_MESSAGE_SIZE, 7),
                 Prop::Error(PR_ENTRYID, MAPI_E_NOT_ENOUGH_MEMORY)};
  auto cols = tags(PR_MESSAGE_SIZE, PR_DISPLAY_NAME_A, PROP_TAG(PT_UNSPECIFIED, PROP_ID(PR_SUBJECT_A)), PR_ENTRYID);
  ULONG count = 0;
  LPSPropValue values = nullptr;
  ASSERT_EQ(tmapi::rowToMAPI(row, cols.get(), &count, &values), S_OK);
  ASSERT_EQ(count, 4u);
  EXPECT_EQ(values[0].ulPropTag, PR_MESSAGE_SIZE);
  EXPECT_EQ(values[0].Value.l, 7);
  EXPECT_EQ(values[1].ulPropTag, CHANGE_PROP_TYPE(PR_DISPLAY_NAME_A, PT_ERROR));
  EXPECT_EQ(values[1].Value.err, MAPI_E_NOT_FOUND);
  EXPECT_EQ(values[2].ulPropTag, PR_SUBJECT_A);  // found by id, with its own type
  EXPECT_EQ(values[3].ulPropTag, CHANGE_PROP_TYPE(PR_ENTRYID, PT_ERROR));
  EXPECT_EQ(values[3].Value.err, MAPI_E_NOT_ENOUGH_MEMORY);  // the row's own error
  MAPIFreeBuffer(values);
  EXPECT_EQ(tmapi::valueSize(row[0]), 1u);
  EXPECT_EQ(tmapi::valueSize(row[1]), 0u);
}

TEST_F(Runtime, RowCopyFailuresFreeEverything) {
  PropRow row = everyType();
  for (unsigned n = 1;; ++n) {
    mapitest::reset();
    mapitest::addFault("MAPIAllocateMore", n, MAPI_E_NOT_ENOUGH_MEMORY);
    ULONG count = 99;
    LPSPropValue values = nullptr;
    HRESULT hr = tmapi::rowToMAPI(row, nullptr, &count, &values);
    if (hr == S_OK) {  // n is past the last allocation
      MAPIFreeBuffer(values);
      EXPECT_GT(n, 10u);
      break;
    }
    EXPECT_EQ(hr, MAPI_E_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(values, nullptr);
    EXPECT_EQ(count, 0u);
  }
}

TEST_F(Runtime, InvalidUtf8BecomesReplacementCharacters) {
  PropRow row = {Prop::String(PR_SUBJECT_W, "a\xC3(b\xFF")};
  ULONG count = 0;
  LPSPropValue values = nullptr;
  ASSERT_EQ(tmapi::rowToMAPI(row, nullptr, &count, &values), S_OK);
  const wchar_t expected[] = {L'a', 0xFFFD, L'(', L'b', 0xFFFD, 0};
  EXPECT_STREQ(values[0].Value.lpszW, expected);
  MAPIFreeBuffer(values);
}

// ---------------------------------------------------------------- mapiutil

// An IMAPIProp over a row of values, enough for HrGetOneProp/HrSetOneProp.
class RowProp : public IMAPIProp {
 public:
  PropRow row;
  SCODE setProblem = S_OK;  // reported as a problem by SetProps when failed

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetLastError(HRESULT, ULONG, LPMAPIERROR*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE SaveChanges(ULONG) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetProps(LPSPropTagArray tags, ULONG, ULONG* count, LPSPropValue* values) override {
    HRESULT hr = tmapi::rowToMAPI(row, tags, count, values);
    if (FAILED(hr)) return hr;
    for (ULONG k = 0; k < *count; ++k)
      if (PROP_TYPE((*values)[k].ulPropTag) == PT_ERROR) return MAPI_W_ERRORS_RETURNED;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPropList(ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT STDMETHODCALLTYPE SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) override {
    if (FAILED(setProblem)) {
      HRESULT hr = MAPIAllocateBuffer(CbNewSPropProblemArray(1), reinterpret_cast<LPVOID*>(problems));
      if (FAILED(hr)) return hr;
      (*problems)->cProblem = 1;
      (*problems)->aProblem[0] = {0, values[0].ulPropTag, setProblem};
      return S_OK;
    }
    PropRow add;
    HRESULT hr = tmapi::rowFromMAPI(count, values, add);
    if (FAILED(hr)) return hr;
    row.insert(row.end(), add.begin(), add.end());
    if (problems) *problems = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE DeleteProps(LPSPropTagArray, LPSPropProblemArray*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT STDMETHODCALLTYPE CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                                   LPSPropProblemArray*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT STDMETHODCALLTYPE CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                                      LPSPropProblemArray*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT STDMETHODCALLTYPE GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT STDMETHODCALLTYPE GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) override {
    return MAPI_E_NO_SUPPORT;
  }
};

TEST_F(Runtime, HrGetOnePropReturnsTheValueOrItsError) {
  RowProp obj;
  obj.row = {Prop::String(PR_SUBJECT_A, "Hi")};
  mapitest::startJournal();
  LPSPropValue v = nullptr;
  ASSERT_EQ(HrGetOneProp(&obj, PR_SUBJECT_A, &v), S_OK);
  EXPECT_STREQ(v->Value.lpszA, "Hi");
  MAPIFreeBuffer(v);
  v = reinterpret_cast<LPSPropValue>(1);
  EXPECT_EQ(HrGetOneProp(&obj, PR_BODY_A, &v), MAPI_E_NOT_FOUND);
  EXPECT_EQ(v, nullptr);
  EXPECT_FALSE(FPropExists(&obj, PR_BODY_A));
  EXPECT_TRUE(FPropExists(&obj, PR_SUBJECT_A));
  std::vector<std::string> calls;
  for (const std::string& line : mapitest::journal())
    if (line.rfind("HrGetOneProp ", 0) == 0) calls.push_back(line);
  EXPECT_EQ(calls, (std::vector<std::string>{"HrGetOneProp tag=0x0037001E", "HrGetOneProp tag=0x1000001E",
                                             "HrGetOneProp tag=0x1000001E", "HrGetOneProp tag=0x0037001E"}));
  // A planned fault fails the call before the object is asked.
  mapitest::addFault("HrGetOneProp", 1, MAPI_E_NO_ACCESS);
  EXPECT_EQ(HrGetOneProp(&obj, PR_SUBJECT_A, &v), MAPI_E_NO_ACCESS);
  EXPECT_EQ(v, nullptr);
}

TEST_F(Runtime, HrSetOnePropReportsTheProblem) {
  RowProp obj;
  SPropValue value = {};
  value.ulPropTag = PR_MESSAGE_SIZE;
  value.Value.l = 42;
  EXPECT_EQ(HrSetOneProp(&obj, &value), S_OK);
  ASSERT_EQ(obj.row.size(), 1u);
  EXPECT_EQ(obj.row[0].i, 42);
  obj.setProblem = MAPI_E_COMPUTED;
  EXPECT_EQ(HrSetOneProp(&obj, &value), MAPI_E_COMPUTED);
}

TEST_F(Runtime, LPropComparePropOrdersValues) {
  SPropValue a = {}, b = {};
  a.ulPropTag = b.ulPropTag = PR_SUBJECT_A;
  a.Value.lpszA = const_cast<char*>("apple");
  b.Value.lpszA = const_cast<char*>("banana");
  EXPECT_LT(LPropCompareProp(&a, &b), 0);
  EXPECT_GT(LPropCompareProp(&b, &a), 0);
  EXPECT_EQ(LPropCompareProp(&a, &a), 0);
  a.ulPropTag = b.ulPropTag = PR_MESSAGE_SIZE;
  a.Value.l = -1;
  b.Value.l = 1;
  EXPECT_LT(LPropCompareProp(&a, &b), 0);
}

// ---------------------------------------------------------------- tables

std::vector<PropRow> fiveMessages() {
  std::vector<PropRow> rows;
  const char* subjects[] = {"delta", "alpha", "echo", "bravo", "charlie"};
  for (int k = 0; k < 5; ++k) {
    PropRow row = {Prop::Long(PR_MESSAGE_SIZE, 100 * (k + 1)), Prop::String(PR_SUBJECT_A, subjects[k])};
    if (k % 2 == 0) row.push_back(Prop::Long(PR_MESSAGE_FLAGS, k));
    rows.push_back(std::move(row));
  }
  return rows;
}

struct TableRelease {
  IMAPITable* t;
  ~TableRelease() {
    if (t) t->Release();
  }
};

std::vector<LONG> sizesOf(const SRowSet* rows) {
  std::vector<LONG> out;
  for (ULONG k = 0; k < rows->cRows; ++k) out.push_back(rows->aRow[k].lpProps[0].Value.l);
  return out;
}

TEST_F(Runtime, TablePagesThroughItsRows) {
  long objects = mapitest::liveObjects();
  IMAPITable* table = nullptr;
  ASSERT_EQ(tmapi::createMemTable(fiveMessages(), nullptr, &table), S_OK);
  TableRelease guard{table};
  EXPECT_EQ(mapitest::liveObjects(), objects + 1);
  ULONG count = 0;
  ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
  EXPECT_EQ(count, 5u);
  std::vector<LONG> seen;
  std::vector<ULONG> pages;
  for (;;) {
    LPSRowSet rows = nullptr;
    ASSERT_EQ(table->QueryRows(2, 0, &rows), S_OK);
    ULONG n = rows->cRows;
    std::vector<LONG> sizes = sizesOf(rows);
    seen.insert(seen.end(), sizes.begin(), sizes.end());
    FreeProws(rows);
    if (n == 0) break;
    pages.push_back(n);
  }
  EXPECT_EQ(pages, (std::vector<ULONG>{2, 2, 1}));
  EXPECT_EQ(seen, (std::vector<LONG>{100, 200, 300, 400, 500}));  // creation order
  ULONG row = 0, num = 0, den = 0;
  ASSERT_EQ(table->QueryPosition(&row, &num, &den), S_OK);
  EXPECT_EQ(row, 5u);
  // Backward reads give the rows before the cursor, in table order.
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(-2, 0, &rows), S_OK);
  EXPECT_EQ(sizesOf(rows), (std::vector<LONG>{400, 500}));
  FreeProws(rows);
  EXPECT_EQ(table->QueryRows(0, 0, &rows), MAPI_E_INVALID_PARAMETER);
}

TEST_F(Runtime, SeekRowClampsAndReportsRowsSought) {
  IMAPITable* table = nullptr;
  ASSERT_EQ(tmapi::createMemTable(fiveMessages(), nullptr, &table), S_OK);
  TableRelease guard{table};
  LONG sought = 0;
  ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 3, &sought), S_OK);
  EXPECT_EQ(sought, 3);
  ASSERT_EQ(table->SeekRow(BOOKMARK_CURRENT, -5, &sought), S_OK);
  EXPECT_EQ(sought, -3);
  ASSERT_EQ(table->SeekRow(BOOKMARK_END, 2, &sought), S_OK);
  EXPECT_EQ(sought, 0);
  ASSERT_EQ(table->SeekRow(BOOKMARK_END, -1, &sought), S_OK);
  EXPECT_EQ(sought, -1);
  BOOKMARK bk = 0;
  ASSERT_EQ(table->CreateBookmark(&bk), S_OK);
  ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 0, nullptr), S_OK);
  ASSERT_EQ(table->SeekRow(bk, 0, &sought), S_OK);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(10, TBL_NOADVANCE, &rows), S_OK);
  EXPECT_EQ(sizesOf(rows), (std::vector<LONG>{500}));
  FreeProws(rows);
  EXPECT_EQ(table->FreeBookmark(bk), S_OK);
  EXPECT_EQ(table->SeekRow(bk, 0, &sought), MAPI_E_INVALID_BOOKMARK);
}

TEST_F(Runtime, SetColumnsShapesRowsAndMissingColumnsArePTError) {
  IMAPITable* table = nullptr;
  ASSERT_EQ(tmapi::createMemTable(fiveMessages(), nullptr, &table), S_OK);
  TableRelease guard{table};
  auto cols = tags(PR_MESSAGE_FLAGS, PR_SUBJECT_A);
  ASSERT_EQ(table->SetColumns(cols.get(), 0), S_OK);
  LPSPropTagArray current = nullptr;
  ASSERT_EQ(table->QueryColumns(0, &current), S_OK);
  ASSERT_EQ(current->cValues, 2u);
  EXPECT_EQ(current->aulPropTag[0], PR_MESSAGE_FLAGS);
  MAPIFreeBuffer(current);
  ASSERT_EQ(table->QueryColumns(TBL_ALL_COLUMNS, &current), S_OK);
  EXPECT_EQ(current->cValues, 3u);
  MAPIFreeBuffer(current);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(2, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 2u);
  ASSERT_EQ(rows->aRow[0].cValues, 2u);
  EXPECT_EQ(rows->aRow[0].lpProps[0].ulPropTag, PR_MESSAGE_FLAGS);
  EXPECT_STREQ(rows->aRow[0].lpProps[1].Value.lpszA, "delta");
  EXPECT_EQ(rows->aRow[1].lpProps[0].ulPropTag, CHANGE_PROP_TYPE(PR_MESSAGE_FLAGS, PT_ERROR));
  EXPECT_EQ(rows->aRow[1].lpProps[0].Value.err, MAPI_E_NOT_FOUND);
  FreeProws(rows);
}

TEST_F(Runtime, RestrictSortAndFindRow) {
  IMAPITable* table = nullptr;
  ASSERT_EQ(tmapi::createMemTable(fiveMessages(), nullptr, &table), S_OK);
  TableRelease guard{table};
  // Rows that have PR_MESSAGE_FLAGS, sorted by subject descending.
  SRestriction exist = {};
  exist.rt = RES_EXIST;
  exist.res.resExist.ulPropTag = PR_MESSAGE_FLAGS;
  ASSERT_EQ(table->Restrict(&exist, 0), S_OK);
  SizedSSortOrderSet(1, sort) = {1, 0, 0, {{PR_SUBJECT_A, TABLE_SORT_DESCEND}}};
  ASSERT_EQ(table->SortTable(reinterpret_cast<LPSSortOrderSet>(&sort), 0), S_OK);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(10, 0, &rows), S_OK);
  EXPECT_EQ(sizesOf(rows), (std::vector<LONG>{300, 100, 500}));  // echo, delta, charlie
  FreeProws(rows);
  // Property equality.
  SPropValue size = {};
  size.ulPropTag = PR_MESSAGE_SIZE;
  size.Value.l = 100;
  SRestriction eq = {};
  eq.rt = RES_PROPERTY;
  eq.res.resProperty = {RELOP_EQ, PR_MESSAGE_SIZE, &size};
  ASSERT_EQ(table->FindRow(&eq, BOOKMARK_BEGINNING, 0), S_OK);
  ULONG row = 0, num = 0, den = 0;
  table->QueryPosition(&row, &num, &den);
  EXPECT_EQ(row, 1u);
  size.Value.l = 200;  // filtered out by the restriction
  EXPECT_EQ(table->FindRow(&eq, BOOKMARK_BEGINNING, 0), MAPI_E_NOT_FOUND);
  ASSERT_EQ(table->Restrict(&eq, 0), S_OK);
  ULONG count = 0;
  table->GetRowCount(0, &count);
  EXPECT_EQ(count, 1u);
  // Unsupported kinds of restriction are refused, not ignored.
  SRestriction sub = {};
  sub.rt = RES_SUBRESTRICTION;
  EXPECT_EQ(table->Restrict(&sub, 0), MAPI_E_TOO_COMPLEX);
}

TEST_F(Runtime, HrQueryAllRowsAppliesColumnsRestrictionAndSort) {
  IMAPITable* table = nullptr;
  ASSERT_EQ(tmapi::createMemTable(fiveMessages(), nullptr, &table), S_OK);
  TableRelease guard{table};
  table->SeekRow(BOOKMARK_END, 0, nullptr);  // HrQueryAllRows starts from the beginning
  auto cols = tags(PR_MESSAGE_SIZE);
  SPropValue limit = {};
  limit.ulPropTag = PR_MESSAGE_SIZE;
  limit.Value.l = 200;
  SRestriction gt = {};
  gt.rt = RES_PROPERTY;
  gt.res.resProperty = {RELOP_GT, PR_MESSAGE_SIZE, &limit};
  SizedSSortOrderSet(1, sort) = {1, 0, 0, {{PR_SUBJECT_A, TABLE_SORT_ASCEND}}};
  LPSRowSet rows = nullptr;
  ASSERT_EQ(HrQueryAllRows(table, cols.get(), &gt, reinterpret_cast<LPSSortOrderSet>(&sort), 0, &rows), S_OK);
  EXPECT_EQ(sizesOf(rows), (std::vector<LONG>{400, 500, 300}));  // bravo, charlie, echo
  EXPECT_EQ(rows->aRow[0].cValues, 1u);
  FreeProws(rows);
  rows = reinterpret_cast<LPSRowSet>(1);
  EXPECT_EQ(HrQueryAllRows(table, nullptr, nullptr, nullptr, 2, &rows), MAPI_E_TABLE_TOO_BIG);
  EXPECT_EQ(rows, nullptr);
  ASSERT_EQ(HrQueryAllRows(table, nullptr, nullptr, nullptr, 3, &rows), S_OK);
  EXPECT_EQ(rows->cRows, 3u);
  FreeProws(rows);
}

TEST_F(Runtime, InjectedQueryRowsFaultIsExplainedByGetLastError) {
  IMAPITable* table = nullptr;
  ASSERT_EQ(tmapi::createMemTable(fiveMessages(), nullptr, &table), S_OK);
  TableRelease guard{table};
  mapitest::startJournal();
  mapitest::addFault("IMAPITable::QueryRows", 2, MAPI_E_NOT_ENOUGH_MEMORY);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(1, 0, &rows), S_OK);
  FreeProws(rows);
  rows = nullptr;
  ASSERT_EQ(table->QueryRows(1, 0, &rows), MAPI_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(rows, nullptr);
  LPMAPIERROR err = nullptr;
  ASSERT_EQ(table->GetLastError(MAPI_E_NOT_ENOUGH_MEMORY, 0, &err), S_OK);
  EXPECT_STREQ(err->lpszError, "IMAPITable::QueryRows failed: injected fault 0x8007000E");
  EXPECT_STREQ(err->lpszComponent, "tolvane-mapi table");
  MAPIFreeBuffer(err);
  EXPECT_EQ(mapitest::journalCount("IMAPITable::QueryRows"), 2u);
  EXPECT_EQ(mapitest::journal().at(0), "IMAPITable::QueryRows count=1");
}

TEST_F(Runtime, HrQueryAllRowsLeaksNothingOnAnyFailure) {
  // Every allocation and every table call in turn fails once.
  const char* methods[] = {"MAPIAllocateBuffer", "MAPIAllocateMore", "IMAPITable::SetColumns",
                           "IMAPITable::SeekRow", "IMAPITable::QueryRows"};
  auto cols = tags(PR_SUBJECT_A, PR_MESSAGE_SIZE);
  for (const char* method : methods) {
    for (unsigned n = 1; n < 40; ++n) {
      IMAPITable* table = nullptr;
      ASSERT_EQ(tmapi::createMemTable(fiveMessages(), nullptr, &table), S_OK);
      mapitest::reset();
      mapitest::addFault(method, n, MAPI_E_NOT_ENOUGH_MEMORY);
      LPSRowSet rows = nullptr;
      HRESULT hr = HrQueryAllRows(table, cols.get(), nullptr, nullptr, 0, &rows);
      bool fired = !tmapi::g_testControlsActive.load();
      table->Release();
      if (fired) {
        EXPECT_EQ(hr, MAPI_E_NOT_ENOUGH_MEMORY) << method << " #" << n;
        EXPECT_EQ(rows, nullptr);
      } else {
        ASSERT_EQ(hr, S_OK);
        EXPECT_EQ(rows->cRows, 5u);
        FreeProws(rows);
        break;
      }
    }
  }
}

TEST_F(Runtime, TableAnswersOnlyItsInterfaces) {
  IMAPITable* table = nullptr;
  ASSERT_EQ(tmapi::createMemTable({}, nullptr, &table), S_OK);
  TableRelease guard{table};
  void* p = nullptr;
  ASSERT_EQ(table->QueryInterface(IID_IMAPITable, &p), S_OK);
  EXPECT_EQ(p, table);
  static_cast<IMAPITable*>(p)->Release();
  ASSERT_EQ(table->QueryInterface(IID_IUnknown, &p), S_OK);
  static_cast<IUnknown*>(p)->Release();
  EXPECT_EQ(table->QueryInterface(IID_IMsgStore, &p), MAPI_E_INTERFACE_NOT_SUPPORTED);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(table->SeekRowApprox(1, 2), MAPI_E_NO_SUPPORT);
  ULONG status = 99, type = 99;
  EXPECT_EQ(table->GetStatus(&status, &type), S_OK);
  EXPECT_EQ(status, TBLSTAT_COMPLETE);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(5, 0, &rows), S_OK);
  EXPECT_EQ(rows->cRows, 0u);
  FreeProws(rows);
}

}  // namespace
