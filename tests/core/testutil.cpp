#include "testutil.h"

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace testutil {

std::string makeTempDir(const std::string& tag) {
  const char* base = getenv("TOLVANE_TEST_TMP");
  std::string root = base && *base ? base : "/tmp";
  mkdir(root.c_str(), 0700);
  std::string pattern = root + "/" + tag + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) {
    ADD_FAILURE() << "mkdtemp failed for " << pattern;
    return root;
  }
  return buf.data();
}

void removeTree(const std::string& path) {
  if (path.empty() || path == "/") return;
  std::string cmd = "rm -rf '" + path + "'";
  if (system(cmd.c_str()) != 0) ADD_FAILURE() << "could not remove " << path;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string logPath(const std::string& logDir) {
  return logDir + "/mapi-ee-" + std::to_string(getpid()) + ".log";
}

std::string logText(const std::string& logDir) {
  std::string raw = readFile(logPath(logDir));
  // The time text ("%c") holds no '>'.
  static const std::regex prefix(std::to_string(getpid()) + " > [^>]*  > ");
  return std::regex_replace(raw, prefix, "");
}

void MapiTest::SetUp() {
  m_home = makeTempDir("home");
  m_logDir = makeTempDir("log");
  setenv("TOLVANE_MAPI_HOME", m_home.c_str(), 1);
  setenv("TOLVANE_MAPI_LOGS", "1", 1);
  setenv("TEMP", m_logDir.c_str(), 1);
  mapitest::reset();
  m_alice = makeProfile("alice");
  m_objectsAtStart = mapitest::liveObjects();
  m_buffersAtStart = mapitest::liveBuffers();
}

mapiprofile::Profile MapiTest::makeProfile(const std::string& name) {
  mapiprofile::Profile p;
  p.name = name;
  p.address = name + "@example.org";
  p.displayName = "User " + name;
  std::string error;
  HRESULT hr = mapiprofile::create(p, error);
  EXPECT_EQ(hr, S_OK) << error;
  return p;
}

void MapiTest::TearDown() {
  mapitest::reset();
  EXPECT_EQ(mapitest::liveObjects(), m_objectsAtStart) << "MAPI objects were not released";
  EXPECT_EQ(mapitest::liveBuffers(), m_buffersAtStart) << "MAPI buffers were not freed";
  unsetenv("TOLVANE_MAPI_LOGS");
  removeTree(m_home);
  removeTree(m_logDir);
}

}  // namespace testutil
