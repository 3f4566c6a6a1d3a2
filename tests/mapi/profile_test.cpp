// The home of the profiles is used only when it is the user's own: a home
// (or its profiles/ or stores/ folder) that another user owns or can write
// is refused, whoever named it (TOLVANE_MAPI_HOME, or the fallback in /tmp
// of a user without a home folder), since its owner could plant a profile
// that receives the user's mail.
#include <mapicode.h>
#include <mapix.h>
#include <tolvane/mapitest.h>
#include <tolvane/profiles.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

const uid_t kOtherUser = 65534;  // nobody

class ProfileHome : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tolvane-profile-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    m_home = m_dir + "/home";
    setenv("TOLVANE_MAPI_HOME", m_home.c_str(), 1);
    mapiprofile::Profile p;
    p.name = "alice";
    p.address = "alice@example.com";
    std::string error;
    ASSERT_EQ(mapiprofile::create(p, error), S_OK) << error;
  }
  void TearDown() override {
    chmod(m_home.c_str(), 0700);
    nftw(m_dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  }

  // Every way in refuses the home with the same sentence.
  void expectRefused(const std::string& text) {
    std::string error;
    mapiprofile::Profile p;
    EXPECT_EQ(mapiprofile::checkHome(error), MAPI_E_NO_ACCESS);
    EXPECT_NE(error.find(text), std::string::npos) << error;
    error.clear();
    EXPECT_EQ(mapiprofile::load("alice", p, error), MAPI_E_NO_ACCESS);
    EXPECT_NE(error.find(text), std::string::npos) << error;
    std::vector<mapiprofile::Profile> all;
    EXPECT_EQ(mapiprofile::list(all, error), MAPI_E_NO_ACCESS);
    EXPECT_TRUE(all.empty());
    p = mapiprofile::Profile();
    p.name = "bob";
    EXPECT_EQ(mapiprofile::create(p, error), MAPI_E_NO_ACCESS);
    EXPECT_EQ(mapiprofile::remove("alice", false, error), MAPI_E_NO_ACCESS);
    // MAPI logs on to nothing there.
    ASSERT_EQ(MAPIInitialize(nullptr), S_OK);
    LPMAPISESSION session = nullptr;
    EXPECT_EQ(MAPILogonEx(0, reinterpret_cast<LPTSTR>(const_cast<char*>("alice")), nullptr, 0, &session),
              MAPI_E_LOGON_FAILED);
    EXPECT_EQ(session, nullptr);
    MAPIUninitialize();
  }

  std::string m_dir, m_home;
};

TEST_F(ProfileHome, AnOwnHomeIsUsed) {
  std::string error;
  EXPECT_EQ(mapiprofile::checkHome(error), S_OK) << error;
  struct stat st;
  ASSERT_EQ(stat(m_home.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  mapiprofile::Profile p;
  EXPECT_EQ(mapiprofile::load("alice", p, error), S_OK) << error;
  // Readable by others is fine; only writing matters.
  ASSERT_EQ(chmod(m_home.c_str(), 0755), 0);
  EXPECT_EQ(mapiprofile::load("alice", p, error), S_OK) << error;
}

TEST_F(ProfileHome, AHomeOthersCanWriteIsRefused) {
  ASSERT_EQ(chmod(m_home.c_str(), 0777), 0);
  expectRefused("The folder " + m_home + " can be written by other users (mode 0777): refusing to use it");
  // Sticky or not.
  ASSERT_EQ(chmod(m_home.c_str(), 01777), 0);
  expectRefused("(mode 1777)");
}

TEST_F(ProfileHome, AProfilesOrStoresFolderTheGroupCanWriteIsRefused) {
  ASSERT_EQ(chmod((m_home + "/profiles").c_str(), 0770), 0);
  expectRefused("The folder " + m_home + "/profiles can be written by other users (mode 0770)");
  ASSERT_EQ(chmod((m_home + "/profiles").c_str(), 0700), 0);
  ASSERT_EQ(chmod((m_home + "/stores").c_str(), 0730), 0);
  expectRefused("The folder " + m_home + "/stores can be written by other users (mode 0730)");
}

TEST_F(ProfileHome, AHomeOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
  ASSERT_EQ(chown(m_home.c_str(), kOtherUser, static_cast<gid_t>(-1)), 0);
  expectRefused("The folder " + m_home + " belongs to another user (uid 65534, not 0): refusing to use it");
  ASSERT_EQ(chown(m_home.c_str(), 0, static_cast<gid_t>(-1)), 0);
  ASSERT_EQ(chown((m_home + "/profiles").c_str(), kOtherUser, static_cast<gid_t>(-1)), 0);
  expectRefused("The folder " + m_home + "/profiles belongs to another user (uid 65534");
}

TEST_F(ProfileHome, ALinkOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a link to another user needs root";
  std::string link = m_dir + "/link";
  ASSERT_EQ(symlink(m_home.c_str(), link.c_str()), 0);
  setenv("TOLVANE_MAPI_HOME", link.c_str(), 1);
  std::string error;
  EXPECT_EQ(mapiprofile::checkHome(error), S_OK) << error;  // one's own link to one's own home
  ASSERT_EQ(lchown(link.c_str(), kOtherUser, static_cast<gid_t>(-1)), 0);
  expectRefused("The folder " + link + " is a symbolic link of another user (uid 65534)");
}

// A user without a home folder gets one of its own in /tmp, named after
// its uid; one planted there by someone else is refused.
TEST_F(ProfileHome, TheFallbackInTmpIsCheckedLikeAnyHome) {
  if (geteuid() != 0) GTEST_SKIP() << "running as a user without a home folder needs root";
  const uid_t homeless = 54000 + static_cast<uid_t>(getpid() % 1000);
  std::string fallback = "/tmp/.tolvane-mapi-" + std::to_string(homeless);
  nftw(fallback.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  // Planted by another user: a home with a profile that names a store.
  ASSERT_EQ(mkdir(fallback.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((fallback + "/profiles").c_str(), 0755), 0);
  std::ofstream(fallback + "/profiles/victim.profile")
      << "store=/tmp/planted.db\nstore_uid=00112233445566778899aabbccddeeff\n";
  ASSERT_EQ(chown((fallback + "/profiles").c_str(), kOtherUser, kOtherUser), 0);
  ASSERT_EQ(chown(fallback.c_str(), kOtherUser, kOtherUser), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    unsetenv("TOLVANE_MAPI_HOME");
    unsetenv("HOME");
    if (setgid(homeless) != 0 || setuid(homeless) != 0) _exit(2);
    if (mapiprofile::homeDir() != "/tmp/.tolvane-mapi-" + std::to_string(homeless)) _exit(3);
    mapiprofile::Profile p;
    std::string error;
    HRESULT hr = mapiprofile::load("victim", p, error);
    bool refused = hr == MAPI_E_NO_ACCESS && error.find("belongs to another user (uid 65534") != std::string::npos;
    _exit(refused ? 0 : 4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  nftw(fallback.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
