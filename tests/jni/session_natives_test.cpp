// The natives that start MAPI, log on to a store and close it, called from a
// real Java VM.
#include "jvm_fixture.h"

#include <tolvane/mapitest.h>
#include <tolvane/profiles.h>

#include <mapicode.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <unistd.h>

namespace {


class SessionNatives : public JvmTest {
 protected:
  void SetUp() override {
    JvmTest::SetUp();
    mapitest::reset();
    std::string error;
    mapiprofile::Profile existing;
    if (FAILED(mapiprofile::load("jalice", existing, error))) {
      mapiprofile::Profile p;
      p.name = "jalice";
      p.address = "alice@example.org";
      ASSERT_EQ(mapiprofile::create(p, error), S_OK) << error;
    }
    const char* temp = getenv("TEMP");
    m_logPath = std::string(temp ? temp : ".") + "/mapi-ee-" + std::to_string(getpid()) + ".log";
    unlink(m_logPath.c_str());
    setenv("TOLVANE_MAPI_LOGS", "1", 1);
    callBoolean("initMapi", "()Z");
    m_objects = mapitest::liveObjects();
    m_buffers = mapitest::liveBuffers();
    mapitest::startJournal();
  }
  void TearDown() override {
    mapitest::reset();
    unsetenv("TOLVANE_MAPI_LOGS");
    EXPECT_EQ(mapitest::liveObjects(), m_objects) << "MAPI objects were not released";
    EXPECT_EQ(mapitest::liveBuffers(), m_buffers) << "MAPI buffers were not freed";
    JvmTest::TearDown();
  }
  // The entries without their "<pid> > <time>  > " prefixes.
  std::string log() {
    std::ifstream in(m_logPath);
    std::stringstream ss;
    ss << in.rdbuf();
    static const std::regex prefix(std::to_string(getpid()) + " > [^>]*  > ");
    return std::regex_replace(ss.str(), prefix, "");
  }
  bool logHas(const std::string& text) { return log().find(text) != std::string::npos; }

  std::string m_logPath;
  long m_objects = 0;
  long m_buffers = 0;
};

TEST_F(SessionNatives, GetStoreLogsOnAndCloseStoreLogsOff) {
  jlong store = callLong("getStore", kGetStoreSig, str("jalice"), str("secret"), str("Store"), str("/tmp"));
  ASSERT_EQ("", takeException());
  ASSERT_NE(store, 0);
  EXPECT_EQ(mapitest::journalCount("MAPILogonEx"), 1u);
  EXPECT_EQ(mapitest::journalCount("IMAPISession::OpenMsgStore"), 1u);
  EXPECT_GT(mapitest::liveObjects(), m_objects);

  callVoid("closeStore", "(J)V", store);
  EXPECT_EQ("", takeException());
  EXPECT_EQ(mapitest::journalCount("IMAPISession::Logoff"), 1u);

  EXPECT_TRUE(logHas("\n>>>>>>>>>>>>>>>> Java_com_plimo_mail_mapi_MAPINative_getStore <<<<<<<<<<<<<<<<<\n"));
  // The password is masked; the other arguments stand as given.
  EXPECT_TRUE(logHas("Java_com_plimo_mail_mapi_MAPINative_getStore : 'jalice' '********' 'Store' '/tmp'\n"));
  EXPECT_FALSE(logHas("secret"));
  EXPECT_TRUE(logHas("Java_com_plimo_mail_mapi_MAPINative_closeStore\n"));
  EXPECT_TRUE(logHas("CMapiStore::~CMapiStore\nCMapiSession::close logging off session m_lpSession\n"));
}

TEST_F(SessionNatives, NullArgumentsAreEmptyStrings) {
  jlong store = callLong("getStore", kGetStoreSig, str(nullptr), str(nullptr), str(nullptr), str(nullptr));
  EXPECT_EQ(store, 0);
  EXPECT_EQ("MAPILogonEx Failed - Unable to login to MAPI", takeException());
  EXPECT_TRUE(logHas("Java_com_plimo_mail_mapi_MAPINative_getStore : '' '' '' ''\n"));
  EXPECT_TRUE(logHas("CMapiSession::initialize \n"));
}

TEST_F(SessionNatives, UnknownProfileFailsAndLeavesNothingBehind) {
  jlong store = callLong("getStore", kGetStoreSig, str("nobody"), str(""), str(""), str("/tmp"));
  EXPECT_EQ(store, 0);
  EXPECT_EQ("MAPILogonEx Failed - Unable to login to MAPI", takeException());
  // An empty password stays an empty field.
  EXPECT_TRUE(logHas("Java_com_plimo_mail_mapi_MAPINative_getStore : 'nobody' '' '' '/tmp'\n"));
  EXPECT_TRUE(logHas("CMapiStore::~CMapiStore\nCMapiSession::~CMapiSession\n"));
}

TEST_F(SessionNatives, StoreOpenFailureCarriesTheMapiErrorText) {
  mapitest::addFault("IMAPISession::OpenMsgStore", 1, MAPI_E_NOT_FOUND);
  jlong store = callLong("getStore", kGetStoreSig, str("jalice"), str(""), str(""), str("/tmp"));
  EXPECT_EQ(store, 0);
  EXPECT_EQ("IMAPISession::OpenMsgStore failed: injected fault 0x8004010F", takeException());
  EXPECT_EQ(mapitest::journalCount("IMAPISession::Logoff"), 1u);
}

TEST_F(SessionNatives, StringIsCutAtTheFirstNulCharacter) {
  const jchar withNul[] = {'j', 'a', 'l', 'i', 'c', 'e', 0, 'x', 'y'};
  jstring profile = env()->NewString(withNul, 9);
  jlong store = callLong("getStore", kGetStoreSig, profile, str(""), str(""), str(""));
  ASSERT_EQ("", takeException());
  EXPECT_NE(store, 0);
  callVoid("closeStore", "(J)V", store);
  EXPECT_TRUE(logHas("getStore : 'jalice' '' '' ''\n"));
}

TEST_F(SessionNatives, InitMapiStartsMapiOnlyOnceAndCloseStoreAcceptsZero) {
  EXPECT_EQ(JNI_TRUE, callBoolean("initMapi", "()Z"));
  EXPECT_EQ(JNI_TRUE, callBoolean("initMapi", "()Z"));
  EXPECT_EQ(mapitest::journalCount("MAPIInitialize"), 0u);  // started by SetUp's call already
  EXPECT_TRUE(logHas("Java_com_plimo_mail_mapi_MAPINative_initMapi\n"
                     "---- Java_com_plimo_mail_mapi_MAPINative_initMapi -----\nCMapiSession::initMapi\n"));
  callVoid("closeStore", "(J)V", jlong{0});
  EXPECT_EQ("", takeException());
}

// A failed start-up can only be seen in a process where MAPI never started:
// this test runs the binary again with a planned MAPIInitialize failure.
TEST_F(SessionNatives, FailedStartIsReportedAtTheNextLogon) {
  std::string self = "/proc/" + std::to_string(getpid()) + "/exe";
  char exe[4096];
  ssize_t n = readlink(self.c_str(), exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  exe[n] = '\0';
  std::string cmd = std::string("TOLVANE_JNI_INIT_CHILD=1 TOLVANE_MAPI_FAULTS='MAPIInitialize#1=0x80004005/13' '") +
                    exe + "' --gtest_filter=InitFailureChild.* 2>&1";
  FILE* child = popen(cmd.c_str(), "r");
  ASSERT_NE(child, nullptr);
  std::string output;
  char buf[4096];
  while (size_t got = fread(buf, 1, sizeof buf, child)) output.append(buf, got);
  EXPECT_EQ(pclose(child), 0) << "the child run failed: " << cmd << "\n" << output;
  // The child's test ran (a filter that matches nothing passes too).
  EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << output;
}

// The child's test: registered only in the child process (TOLVANE_JNI_INIT_CHILD), so a
// normal run neither runs nor skips it.
class InitFailureChild : public JvmTest {
 public:
  void TestBody() override;
};

[[maybe_unused]] const bool kChildTestRegistered =
    getenv("TOLVANE_JNI_INIT_CHILD") != nullptr &&
    ::testing::RegisterTest("InitFailureChild", "InitMapiSucceedsAndGetStoreReportsTheSavedError", nullptr,
                            nullptr, __FILE__, __LINE__, []() -> JvmTest* { return new InitFailureChild; }) != nullptr;

void InitFailureChild::TestBody() {
  EXPECT_EQ(JNI_TRUE, callBoolean("initMapi", "()Z"));
  jlong store = callLong("getStore", kGetStoreSig, str("jalice"), str(""), str(""), str("/tmp"));
  EXPECT_EQ(store, 0);
  EXPECT_EQ(strerror(EACCES), takeException());
}

}  // namespace
