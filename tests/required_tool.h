// Tools that tests run but that are installed by the set-up of the test command, never by
// a test: the independent .msg reader (node with tests/msgreader's npm packages, installed
// by scripts/install-npm-deps.sh).
//
// A test whose tool is missing fails when CI is set or when the test command runs it
// (TOLVANE_REQUIRE_ALL_TOOLS=1, exported by scripts/run-tests.sh). Otherwise (a developer
// running one test binary by hand) it is skipped, and says so loudly on standard error.
#ifndef TOLVANE_TESTS_REQUIRED_TOOL_H
#define TOLVANE_TESTS_REQUIRED_TOOL_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace requiredtool {

inline bool flagSet(const char* name) {
  const char* v = std::getenv(name);
  return v && *v && std::strcmp(v, "0") != 0 && std::strcmp(v, "false") != 0;
}

// Whether a missing tool fails the test rather than skipping it.
inline bool missingToolFails() { return flagSet("CI") || flagSet("TOLVANE_REQUIRE_ALL_TOOLS"); }

// Empty when node and the reader's npm packages are installed, else what is missing.
inline std::string msgReaderMissing(const std::string& sourceDir) {
  const char* path = std::getenv("PATH");
  bool node = false;
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (!node && start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (!dir.empty() && access((dir + "/node").c_str(), X_OK) == 0) node = true;
    start = end + 1;
  }
  if (!node) return "node is not installed (Debian package nodejs; bash scripts/install-deps.sh test)";
  std::string marker = sourceDir + "/tests/msgreader/node_modules/.tolvane-installed";
  if (access(marker.c_str(), R_OK) != 0)
    return "the independent .msg reader is not installed in tests/msgreader "
           "(bash scripts/install-npm-deps.sh installs it)";
  return "";
}

// Reports a missing tool: a failure of the current test, or a loud note before the
// caller skips it.
inline void reportMissing(const std::string& why) {
  if (missingToolFails()) {
    ADD_FAILURE() << "a tool this test needs is missing: " << why
                  << " (missing tools fail under CI or the test command; TOLVANE_REQUIRE_ALL_TOOLS)";
    return;
  }
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::fprintf(stderr,
               "\n"
               "************************************************************************\n"
               "* SKIPPED %s.%s\n"
               "* a tool it needs is missing: %s\n"
               "* (under CI or the test command this test fails instead)\n"
               "************************************************************************\n\n",
               test ? test->test_suite_name() : "?", test ? test->name() : "?", why.c_str());
}

}  // namespace requiredtool

#endif
