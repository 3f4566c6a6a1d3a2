#include "inbox_fixture.h"

#include <mapitags.h>

namespace testutil {

void InboxTest::SetUp() {
  MapiTest::SetUp();
  m_tempDir = makeTempDir("msgtemp");
  g_bMapiInitialized = false;
  CMapiSession::initMapi();
}

void InboxTest::TearDown() {
  m_folder.reset();
  m_store.reset();
  removeTree(m_tempDir);
  MapiTest::TearDown();
}

std::string InboxTest::add(const mapifixture::MessageDef& def) {
  std::string eid, error;
  HRESULT hr = mapifixture::addMessage("alice", def, eid, error);
  EXPECT_EQ(hr, S_OK) << error;
  return eid;
}

std::string InboxTest::addSubject(const std::string& subject) {
  mapifixture::MessageDef def;
  def.props = {mapifixture::Value::String(PR_SUBJECT_A, subject), mapifixture::Value::Long(PR_MESSAGE_FLAGS, 0)};
  return add(def);
}

CMapiMessage* InboxTest::only(const mapifixture::MessageDef& def) {
  add(def);
  openInbox();
  return fetch(1);
}

mapifixture::MessageDef InboxTest::withProps(std::vector<mapifixture::Value> props) {
  mapifixture::MessageDef def;
  def.props = std::move(props);
  return def;
}

void InboxTest::openInbox() {
  m_store.reset(new CMapiStore("alice", "", "", m_tempDir));
  m_store->initialize();
  m_folder.reset(new CMapiFolder);
  m_store->getInbox(*m_folder);
  m_folder->open(0);
}

CMapiMessage* InboxTest::fetch(ULONG position) {
  CMapiMessage* message = new CMapiMessage;
  m_folder->getMessage(position, message);
  return message;
}

ULONG InboxTest::storedCount() {
  CMapiStore store("alice", "", "", m_tempDir);
  store.initialize();
  CMapiFolder folder;
  store.getInbox(folder);
  folder.open(0);
  return folder.getMessageCount();
}

}  // namespace testutil
