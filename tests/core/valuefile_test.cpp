// Large values live in files of their own beside the store: written with
// their message, read back whole, removed with it.
#include "inbox_fixture.h"

#include "content/mapibodypart.h"
#include "content/mapicontent.h"
#include "content/mapimultipart.h"

#include <mapicode.h>
#include <mapitags.h>

#include <dirent.h>
#include <sys/stat.h>

namespace {

using mapifixture::Attachment;
using mapifixture::MessageDef;
using mapifixture::Value;

class ValueFileTest : public testutil::InboxTest {
 protected:
  std::vector<std::string> valueFiles() {
    std::vector<std::string> names;
    if (DIR* d = opendir((m_alice.storePath + ".values").c_str())) {
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
      closedir(d);
    }
    return names;
  }
  static char byteAt(uint64_t offset) { return static_cast<char>((offset * 131) ^ (offset >> 11)); }
  MessageDef withLargeAttachment(uint64_t size) {
    Attachment a = Attachment::file("large.bin", "");
    for (auto& v : a.props)
      if (v.tag == PR_ATTACH_DATA_BIN)
        v = Value::Generated(PR_ATTACH_DATA_BIN, size, [](uint64_t off, char* buf, size_t n) {
          for (size_t i = 0; i < n; ++i) buf[i] = byteAt(off + i);
        });
    MessageDef def;
    def.props = {Value::String(PR_SUBJECT_A, "large")};
    def.attachments = {a};
    return def;
  }
};

TEST_F(ValueFileTest, LargeValueIsAPrivateFileReadBackWholeAndRemovedWithItsMessage) {
  const uint64_t size = 3 * 1024 * 1024 + 5;
  add(withLargeAttachment(size));
  add(withProps({Value::String(PR_SUBJECT_A, "small")}));
  auto files = valueFiles();
  ASSERT_EQ(files.size(), 1u);
  struct stat st;
  ASSERT_EQ(stat((m_alice.storePath + ".values/" + files[0]).c_str(), &st), 0);
  EXPECT_EQ(st.st_size, static_cast<off_t>(size));
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  openInbox();
  CMapiMessage* m = fetch(1);
  auto parts = m->getContent()->m_pMultipart->m_parts;
  ASSERT_EQ(parts.size(), 1u);
  std::string out = m_tempDir + "/large.bin";
  parts[0]->writeToFile(out);
  std::string data = testutil::readFile(out);
  ASSERT_EQ(data.size(), size);
  for (uint64_t i = 0; i < size; i += 4093) ASSERT_EQ(data[i], byteAt(i)) << i;
  EXPECT_EQ(data[size - 1], byteAt(size - 1));

  m->setDeleteFlag(true);
  m_folder->Close(true);
  EXPECT_TRUE(valueFiles().empty()) << "the deleted message's value file stays";
  m_folder.reset();
  EXPECT_EQ(storedCount(), 1u);
}

TEST_F(ValueFileTest, FailedCommitLeavesNeitherTheMessageNorItsValueFile) {
  // A whole message is stored in one commit, after its value file is
  // written: failing that commit must take the file away again.
  mapitest::startJournal();
  add(withProps({Value::String(PR_SUBJECT_A, "one commit")}));
  ASSERT_EQ(mapitest::journalCount("StoreDb::commit"), 1u);
  mapitest::addStickyFault("StoreDb::commit", 1, MAPI_E_NOT_ENOUGH_DISK);
  std::string eid, error;
  EXPECT_EQ(mapifixture::addMessage("alice", withLargeAttachment(2 * 1024 * 1024), eid, error),
            MAPI_E_NOT_ENOUGH_DISK);
  mapitest::clearFaults();
  EXPECT_TRUE(valueFiles().empty());
  EXPECT_EQ(storedCount(), 1u);
}

TEST_F(ValueFileTest, StoreOfTheFirstFormatIsBroughtToTheCurrentOne) {
  // A store made before value files existed: no value_files table, version 1.
  std::string command = "python3 -c \"import sqlite3,sys; c=sqlite3.connect(sys.argv[1]); "
                        "c.execute('DROP TABLE value_files'); "
                        "c.execute(\\\"UPDATE store_info SET value=1 WHERE key='schema_version'\\\"); c.commit()\" '" +
                        m_alice.storePath + "'";
  ASSERT_EQ(system(command.c_str()), 0);
  add(withLargeAttachment(600 * 1024));
  EXPECT_EQ(valueFiles().size(), 1u);
  openInbox();
  EXPECT_EQ(m_folder->getMessageCount(), 1u);
}

}  // namespace
