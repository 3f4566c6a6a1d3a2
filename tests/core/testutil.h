// Shared helpers of the core tests: a private MAPI home with a profile, and
// the diagnostic log captured into a folder of the test's own.
#ifndef TOLVANE_TESTS_TESTUTIL_H
#define TOLVANE_TESTS_TESTUTIL_H

#include <tolvane/mapitest.h>
#include <tolvane/profiles.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testutil {

// A new empty folder under the test scratch area.
std::string makeTempDir(const std::string& tag);
void removeTree(const std::string& path);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

// The log entries of this process, with their "<pid> > <time>  > "
// prefixes removed and concatenated as written.
std::string logText(const std::string& logDir);
std::string logPath(const std::string& logDir);

// A test with its own MAPI home (TOLVANE_MAPI_HOME), a profile "alice", the
// log switched on into its own folder, and clean test controls. At the end
// it checks that every MAPI object and buffer taken by the test was given
// back.
class MapiTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string log() const { return logText(m_logDir); }
  mapiprofile::Profile makeProfile(const std::string& name);

  std::string m_home;
  std::string m_logDir;
  mapiprofile::Profile m_alice;
  long m_objectsAtStart = 0;
  long m_buffersAtStart = 0;
};

}  // namespace testutil

#endif
