// The diagnostic log: the switch, the file name and place, the entry prefix.
#include "testutil.h"

#include "support/maplog.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = testutil::makeTempDir("logtest");
    setenv("TEMP", m_dir.c_str(), 1);
    unsetenv("TOLVANE_MAPI_LOGS");
  }
  void TearDown() override {
    unsetenv("TOLVANE_MAPI_LOGS");
    testutil::removeTree(m_dir);
  }
  bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
  }
  std::string m_dir;
};

TEST_F(LogTest, OffUnlessTheSwitchIsSet) {
  mapiLog("nothing %d\n", 1);
  EXPECT_FALSE(exists(testutil::logPath(m_dir)));
}

TEST_F(LogTest, AnyValueSwitchesItOnAndEntriesCarryThePrefix) {
  setenv("TOLVANE_MAPI_LOGS", "0", 1);
  mapiLog("CMapiContent::calculateMultipart->In\n");
  mapiLog("value %s %d\n", "text", 42);
  std::string raw = testutil::readFile(testutil::logPath(m_dir));
  std::string pid = std::to_string(getpid());
  // "<pid> > <strftime %c>  > <text>": in the C locale %c reads like
  // "Mon Dec  7 09:30:00 2026".
  std::regex entry(pid + " > [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}  > ");
  std::string stripped = std::regex_replace(raw, entry, "");
  EXPECT_EQ(stripped, "CMapiContent::calculateMultipart->In\nvalue text 42\n") << raw;
}

TEST_F(LogTest, FileIsPrivateToItsOwnerAndComesBackWhenDeleted) {
  setenv("TOLVANE_MAPI_LOGS", "1", 1);
  mapiLog("first\n");
  struct stat st;
  ASSERT_EQ(stat(testutil::logPath(m_dir).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  unlink(testutil::logPath(m_dir).c_str());
  mapiLog("second\n");
  EXPECT_EQ(testutil::logText(m_dir), "second\n");
}

TEST_F(LogTest, EntryWithoutLineBreakIsContinuedByTheNext) {
  setenv("TOLVANE_MAPI_LOGS", "1", 1);
  mapiLog("CMapiSession::initMapi failed:  %d", 5);
  mapiLog("next\n");
  std::string raw = testutil::readFile(testutil::logPath(m_dir));
  EXPECT_EQ(std::count(raw.begin(), raw.end(), '\n'), 1);
  EXPECT_EQ(testutil::logText(m_dir), "CMapiSession::initMapi failed:  5next\n");
}

TEST_F(LogTest, WithoutTempTheFileIsInTheCurrentDirectory) {
  setenv("TOLVANE_MAPI_LOGS", "1", 1);
  unsetenv("TEMP");
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(m_dir.c_str()), 0);
  mapiLog("here\n");
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(testutil::logText(m_dir), "here\n");
}

TEST_F(LogTest, LongTempDirectoryAndMissingDirectory) {
  setenv("TOLVANE_MAPI_LOGS", "1", 1);
  std::string deep = m_dir + "/" + std::string(120, 'd');
  ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
  setenv("TEMP", deep.c_str(), 1);
  mapiLog("long %s\n", "path");
  EXPECT_EQ(testutil::logText(deep), "long path\n");

  setenv("TEMP", (m_dir + "/missing").c_str(), 1);
  errno = 1234;
  mapiLog("dropped\n");  // silently dropped, and the caller's error stays
  EXPECT_EQ(errno, 1234);
  EXPECT_FALSE(exists(m_dir + "/missing"));
}

TEST_F(LogTest, SymbolicLinkInPlaceOfTheFileIsNotFollowed) {
  setenv("TOLVANE_MAPI_LOGS", "1", 1);
  std::string target = m_dir + "/target";
  testutil::writeFile(target, "keep");
  ASSERT_EQ(symlink(target.c_str(), testutil::logPath(m_dir).c_str()), 0);
  mapiLog("must not reach the target\n");
  EXPECT_EQ(testutil::readFile(target), "keep");
}

}  // namespace
