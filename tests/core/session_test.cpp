// MAPI start-up, logon to a profile's default store, and the session's
// release, against the MAPI subsystem with planned faults.
#include "testutil.h"

#include "session/mapistore.h"
#include "support/mapiexception.h"

#include <mapicode.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using testutil::MapiTest;

class SessionTest : public MapiTest {
 protected:
  void SetUp() override {
    MapiTest::SetUp();
    g_bMapiInitialized = false;
    g_dwInitError = 0;
    mapitest::startJournal();
  }

  // Logs on to `profile` and returns the exception text ("" on success).
  std::string logonError(CMapiStore& store) {
    try {
      store.initialize();
    } catch (CMapiException& e) {
      return e.m_strMessage;
    }
    return "";
  }

  std::string journalLine(const std::string& method) {
    for (const auto& line : mapitest::journal())
      if (line.compare(0, method.size() + 1, method + " ") == 0 || line == method) return line;
    return "";
  }
};

TEST_F(SessionTest, InitMapiStartsMapiOnceHoweverOftenItRuns) {
  CMapiSession::initMapi();
  CMapiSession::initMapi();
  CMapiSession::initMapi();
  EXPECT_TRUE(g_bMapiInitialized);
  EXPECT_EQ(mapitest::journalCount("MAPIInitialize"), 1u);
  EXPECT_EQ(journalLine("MAPIInitialize"), "MAPIInitialize flags=0x00010000");
  EXPECT_EQ(log(), "CMapiSession::initMapi\nCMapiSession::initMapi\nCMapiSession::initMapi\n");
}

TEST_F(SessionTest, FailedStartIsReportedByEveryLogonUntilAStartSucceeds) {
  mapitest::addFault("MAPIInitialize", 1, MAPI_E_CALL_FAILED, EACCES);
  CMapiSession::initMapi();
  EXPECT_FALSE(g_bMapiInitialized);
  EXPECT_EQ(g_dwInitError, static_cast<DWORD>(EACCES));

  CMapiStore store("alice", "", "", "");
  EXPECT_EQ(logonError(store), strerror(EACCES));
  EXPECT_EQ(logonError(store), strerror(EACCES));
  EXPECT_EQ(mapitest::journalCount("MAPILogonEx"), 0u);
  std::string expected = std::string("CMapiSession::initMapi\nCMapiSession::initMapi failed:  13") +
                         "CMapiSession::initialize: not initialized : " + strerror(EACCES) + " \n";
  EXPECT_EQ(log().substr(0, expected.size()), expected);

  CMapiSession::initMapi();
  EXPECT_EQ(logonError(store), "");
  EXPECT_NE(store.m_lpMsgStore, nullptr);
}

TEST_F(SessionTest, LogonOpensTheDefaultStoreWithoutThePassword) {
  CMapiSession::initMapi();
  CMapiStore store("alice", "secret", "any store name", "/tmp");
  ASSERT_EQ(logonError(store), "");
  EXPECT_NE(store.m_lpSession, nullptr);
  EXPECT_NE(store.m_lpMsgStore, nullptr);
  EXPECT_EQ(store.m_lpStoreEntryID, nullptr);
  EXPECT_EQ(mapitest::liveBuffers(), m_buffersAtStart) << "the store's entry identifier is still held";
  EXPECT_EQ(journalLine("MAPILogonEx"), "MAPILogonEx profile=alice password=(null) flags=0x00008022");
  EXPECT_EQ(journalLine("IMAPISession::OpenMsgStore"), "IMAPISession::OpenMsgStore cb=40 flags=0x00000011");

  store.close();
  EXPECT_EQ(store.m_lpSession, nullptr);
  EXPECT_EQ(store.m_lpMsgStore, nullptr);
  EXPECT_EQ(mapitest::journalCount("IMAPISession::Logoff"), 1u);
  EXPECT_EQ(log(), "CMapiSession::initMapi\nCMapiSession::initialize alice\n"
                   "CMapiSession::close logging off session m_lpSession\n");
  store.close();  // a second close finds nothing and logs nothing
  EXPECT_EQ(mapitest::journalCount("IMAPISession::Logoff"), 1u);
}

TEST_F(SessionTest, UnknownOrEmptyProfileFailsTheLogon) {
  CMapiSession::initMapi();
  for (const char* name : {"nobody", ""}) {
    CMapiStore store(name, "", "", "");
    EXPECT_EQ(logonError(store), "MAPILogonEx Failed - Unable to login to MAPI") << name;
    EXPECT_EQ(store.m_lpSession, nullptr);
  }
  EXPECT_NE(log().find("CMapiSession::initialize MAPILogonEx failed 2\n"), std::string::npos);
}

TEST_F(SessionTest, StoreTableFailuresLogOffAndReportTheSystemError) {
  CMapiSession::initMapi();
  for (const char* method : {"IMAPISession::GetMsgStoresTable", "IMAPITable::GetRowCount", "IMAPITable::SetColumns",
                             "IMAPITable::SeekRow", "IMAPITable::QueryRows"}) {
    mapitest::clearJournal();
    mapitest::addFault(method, 1, MAPI_E_CALL_FAILED, EIO);
    CMapiStore store("alice", "", "", "");
    EXPECT_EQ(logonError(store), strerror(EIO)) << method;
    EXPECT_EQ(store.m_lpSession, nullptr) << method;
    EXPECT_EQ(store.m_lpStoreEntryID, nullptr) << method;
    EXPECT_EQ(mapitest::journalCount("IMAPISession::Logoff"), 1u) << method;
  }
  EXPECT_NE(log().find(std::string("CMapiSession::initialize HrMAPIFindDefaultMsgStore failed: ") + strerror(EIO) +
                       "CMapiStore::~CMapiStore\n"),
            std::string::npos);
}

TEST_F(SessionTest, ProfileWithoutDefaultStoreFailsThroughTheStoreLookup) {
  mapiprofile::Profile p = m_alice;
  p.defaultStore = false;
  std::string error;
  ASSERT_EQ(mapiprofile::write(p, error), S_OK) << error;
  CMapiSession::initMapi();
  CMapiStore store("alice", "", "", "");
  EXPECT_EQ(logonError(store), "No default message store found in the profile: 0x80004005");
  EXPECT_EQ(store.m_lpSession, nullptr);
  EXPECT_EQ(mapitest::journalCount("IMAPISession::Logoff"), 1u);
  EXPECT_EQ(mapitest::journalCount("IMAPISession::OpenMsgStore"), 0u);
}

TEST_F(SessionTest, OpenMsgStoreFailureCarriesTheSessionErrorText) {
  CMapiSession::initMapi();
  mapitest::addFault("IMAPISession::OpenMsgStore", 1, MAPI_E_NOT_FOUND);
  CMapiStore store("alice", "", "", "");
  const std::string text = "IMAPISession::OpenMsgStore failed: injected fault 0x8004010F";
  EXPECT_EQ(logonError(store), text);
  EXPECT_EQ(store.m_lpSession, nullptr);
  EXPECT_EQ(store.m_lpStoreEntryID, nullptr);
  EXPECT_NE(log().find("CMapiSession::initialize failed " + text + "\n"), std::string::npos);
}

TEST_F(SessionTest, OpenMsgStoreFailureWithoutAnErrorRecordGivesTheResultCode) {
  CMapiSession::initMapi();
  mapitest::addFault("IMAPISession::OpenMsgStore", 1, MAPI_E_NOT_FOUND);
  mapitest::addFault("IMAPISession::GetLastError", 1, MAPI_E_CALL_FAILED);
  CMapiStore store("alice", "", "", "");
  EXPECT_EQ(logonError(store), "MAPI Logon Failure : 0x8004010F");
}

TEST_F(SessionTest, BrokenStoreFilesFailWithATextAndAreLeftUntouched) {
  CMapiSession::initMapi();
  const std::string path = m_alice.storePath;
  struct Case {
    const char* what;
    std::string contents;  // empty name: remove the file
    const char* expected;
  };
  std::string good = testutil::readFile(path);
  ASSERT_GT(good.size(), 4096u);
  std::string garbled = good;
  for (size_t i = 100; i < 4096; ++i) garbled[i] = static_cast<char>(0xA5);
  const Case cases[] = {
      {"not a database", std::string(5000, 'x'), "file is not a database"},
      {"empty file", "", "is not a message store"},
      {"garbled schema", garbled, "malformed"},
  };
  for (const auto& c : cases) {
    unlink((path + "-wal").c_str());
    unlink((path + "-shm").c_str());
    testutil::writeFile(path, c.contents);
    CMapiStore store("alice", "", "", "");
    std::string message = logonError(store);
    EXPECT_NE(message.find(c.expected), std::string::npos) << c.what << ": " << message;
    EXPECT_NE(message.find(path), std::string::npos) << c.what << ": " << message;
    EXPECT_EQ(testutil::readFile(path), c.contents) << c.what << ": the failed open changed the file";
    EXPECT_EQ(store.m_lpSession, nullptr);
  }

  unlink(path.c_str());
  CMapiStore missing("alice", "", "", "");
  std::string message = logonError(missing);
  EXPECT_NE(message.find(std::string("cannot be opened: ") + strerror(ENOENT)), std::string::npos) << message;

  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  CMapiStore directory("alice", "", "", "");
  message = logonError(directory);
  EXPECT_NE(message.find("is not a regular file"), std::string::npos) << message;
  rmdir(path.c_str());
}

TEST_F(SessionTest, DeletingAStoreLogsItsDestructorsAndLogsOff) {
  CMapiSession::initMapi();
  CMapiStore* store = new CMapiStore("alice", "", "", "");
  ASSERT_EQ(logonError(*store), "");
  CMapiSession* base = store;
  delete base;
  const std::string tail =
      "CMapiStore::~CMapiStore\nCMapiSession::close logging off session m_lpSession\nCMapiSession::~CMapiSession\n";
  std::string text = log();
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);

  CMapiSession* never = new CMapiStore("alice", "", "", "");
  delete never;
  const std::string bare = "CMapiStore::~CMapiStore\nCMapiSession::~CMapiSession\n";
  text = log();
  ASSERT_GE(text.size(), tail.size() + bare.size());
  EXPECT_EQ(text.substr(text.size() - tail.size() - bare.size()), tail + bare);
}

}  // namespace
