// The Inbox of a store, its message list, fetching by position, and the
// deletion of flagged messages when the folder closes.
#include "inbox_fixture.h"

#include <mapicode.h>
#include <mapitags.h>
#include <mapiutil.h>

#include "content/mapibodypart.h"
#include "content/mapicontent.h"
#include "content/mapimultipart.h"
#include "folder/mapifolder.h"
#include "message/mapimessage.h"
#include "session/mapistore.h"
#include "support/liveobjects.h"

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

using testutil::InboxTest;

class FolderTest : public InboxTest {};

TEST_F(FolderTest, GetInboxPointsAtTheReceiveFolderWithoutOpeningIt) {
  CMapiStore store("alice", "", "", m_tempDir);
  store.initialize();
  CMapiFolder folder;
  store.getInbox(folder);
  EXPECT_EQ(folder.m_pStore, &store);
  EXPECT_NE(folder.m_lpEntryID, nullptr);
  EXPECT_EQ(folder.m_lpFolder, nullptr);
  EXPECT_FALSE(folder.m_bOpen);
  EXPECT_EQ(folder.getMessageCount(), 0u);  // never opened: no list
  EXPECT_NE(log().find("CMapiStore::getInbox \n"), std::string::npos);
}

TEST_F(FolderTest, GetInboxFailureCarriesTheStoreErrorText) {
  CMapiStore store("alice", "", "", m_tempDir);
  store.initialize();
  mapitest::addFault("IMsgStore::GetReceiveFolder", 1, MAPI_E_NOT_FOUND);
  CMapiFolder folder;
  const std::string text = "IMsgStore::GetReceiveFolder failed: injected fault 0x8004010F";
  EXPECT_EQ(thrown([&] { store.getInbox(folder); }), text);
  EXPECT_EQ(folder.m_pStore, nullptr);
  EXPECT_NE(log().find("CMapiStore::getInbox \n" + text + "\n"), std::string::npos);
}

TEST_F(FolderTest, OpenFailuresLogTheirTextTwice) {
  CMapiFolder orphan;
  EXPECT_EQ(thrown([&] { orphan.open(7); }), "CMapiFolder::open: failed: ");
  EXPECT_NE(log().find("CMapiFolder::open ulFlags:7\nCMapiFolder::open: failed: \n"), std::string::npos);

  CMapiStore store("alice", "", "", m_tempDir);
  store.initialize();
  CMapiFolder folder;
  store.getInbox(folder);
  mapitest::addFault("IMsgStore::OpenEntry", 1, MAPI_E_NO_ACCESS);
  const std::string text = "CMapiFolder::open: failed: IMsgStore::OpenEntry failed: injected fault 0x80070005";
  EXPECT_EQ(thrown([&] { folder.open(0); }), text);
  EXPECT_FALSE(folder.m_bOpen);
  EXPECT_NE(log().find("CMapiFolder::open: failed: \n" + text + "\n"), std::string::npos);
}

TEST_F(FolderTest, EmptyFolderHasNoMessagesAndTriesAgainEachTime) {
  openInbox();
  mapitest::startJournal();
  EXPECT_EQ(m_folder->getMessageCount(), 0u);
  CMapiMessage message;
  EXPECT_EQ(thrown([&] { m_folder->getMessage(1, &message); }), "Index is out of range");
  EXPECT_EQ(message.m_pFolder, nullptr);
  EXPECT_EQ(mapitest::journalCount("IMAPIFolder::GetContentsTable"), 2u);
  EXPECT_EQ(log().find("getMessageCount MsgCount"), std::string::npos);
}

TEST_F(FolderTest, PositionsAreOneBasedAndEveryFetchIsANewOwnedMessage) {
  addSubject("one");
  addSubject("two");
  addSubject("three");
  openInbox();
  EXPECT_EQ(m_folder->getMessageCount(), 3u);
  EXPECT_NE(log().find("CMapiFolder::getMessageCount MsgCount 3\n"), std::string::npos);
  for (ULONG bad : {0u, 4u}) {
    CMapiMessage message;
    EXPECT_EQ(thrown([&] { m_folder->getMessage(bad, &message); }), "Index is out of range") << bad;
  }
  CMapiMessage* first = fetch(1);
  CMapiMessage* last = fetch(3);
  CMapiMessage* again = fetch(1);
  EXPECT_EQ(first->getSubject(), "one");
  EXPECT_EQ(last->getSubject(), "three");
  EXPECT_EQ(again->getSubject(), "one");
  EXPECT_NE(first, again);
  EXPECT_TRUE(first->m_bOwnedByFolder);
  EXPECT_EQ(first->m_pFolder, m_folder.get());
  EXPECT_EQ(m_folder->m_messages.size(), 3u);
  EXPECT_EQ(first->m_cbEntryID, 32u);
}

TEST_F(FolderTest, FetchingMarksTheMessageReadInTheStore) {
  addSubject("unread");
  openInbox();
  CMapiMessage* message = fetch(1);
  LPSPropValue flags = nullptr;
  ASSERT_EQ(HrGetOneProp(message->m_lpMessage, PR_MESSAGE_FLAGS, &flags), S_OK);
  EXPECT_TRUE(flags->Value.l & MSGFLAG_READ);
  MAPIFreeBuffer(flags);
  m_folder.reset();

  openInbox();  // a new session sees the flag stored
  message = fetch(1);
  ASSERT_EQ(HrGetOneProp(message->m_lpMessage, PR_MESSAGE_FLAGS, &flags), S_OK);
  EXPECT_TRUE(flags->Value.l & MSGFLAG_READ);
  MAPIFreeBuffer(flags);
}

TEST_F(FolderTest, TheListIsASnapshot) {
  addSubject("before");
  openInbox();
  EXPECT_EQ(m_folder->getMessageCount(), 1u);
  addSubject("after");
  EXPECT_EQ(m_folder->getMessageCount(), 1u);
  CMapiMessage message;
  EXPECT_EQ(thrown([&] { m_folder->getMessage(2, &message); }), "Index is out of range");
}

TEST_F(FolderTest, CloseWithExpungeDeletesExactlyTheFlaggedMessages) {
  for (const char* s : {"keep 1", "drop 2", "keep 3", "drop 4"}) addSubject(s);
  openInbox();
  fetch(1);
  fetch(2)->setDeleteFlag(true);
  fetch(3)->setDeleteFlag(false);
  fetch(4)->setDeleteFlag(true);
  mapitest::startJournal();
  m_folder->Close(true);
  EXPECT_EQ(mapitest::journalCount("IMAPIFolder::DeleteMessages"), 2u);
  EXPECT_TRUE(m_folder->m_messages.empty());
  m_folder.reset();

  openInbox();
  ASSERT_EQ(m_folder->getMessageCount(), 2u);
  EXPECT_EQ(fetch(1)->getSubject(), "keep 1");
  EXPECT_EQ(fetch(2)->getSubject(), "keep 3");
}

TEST_F(FolderTest, CloseWithoutExpungeKeepsFlaggedMessages) {
  addSubject("flagged");
  openInbox();
  fetch(1)->setDeleteFlag(true);
  m_folder->Close(false);
  m_folder.reset();
  EXPECT_EQ(storedCount(), 1u);
}

TEST_F(FolderTest, DestroyingAFlaggedMessageDeletesItFromItsFolder) {
  addSubject("a");
  addSubject("b");
  openInbox();
  CMapiMessage* message = fetch(2);
  message->setDeleteFlag(true);
  delete message;
  EXPECT_TRUE(m_folder->m_messages.empty());
  EXPECT_NE(log().find("CMapiMessage::~CMapiMessage 1\nCMapiMessage::~CMapiMessage: Deleting Message from Inbox: \n"),
            std::string::npos);
  EXPECT_EQ(storedCount(), 1u);
}

TEST_F(FolderTest, FailedOpenOfAMessageLeavesItListedWithoutAMapiMessage) {
  addSubject("x");
  openInbox();
  m_folder->getMessageCount();
  mapitest::addFault("IMAPIFolder::OpenEntry", 1, MAPI_E_CALL_FAILED);
  CMapiMessage* message = new CMapiMessage;
  EXPECT_FALSE(m_folder->getMessage(1, message));
  EXPECT_EQ(message->m_lpMessage, nullptr);
  EXPECT_EQ(message->m_pFolder, m_folder.get());
  EXPECT_EQ(m_folder->m_messages.size(), 1u);
  EXPECT_NE(log().find("iMessageNum:1, errcode = -2147467259,  CMapiFolder::getMessage m_lpFolder->OpenEntry failed: "
                       "IMAPIFolder::OpenEntry failed: injected fault 0x80004005\n"),
            std::string::npos);
  EXPECT_EQ(message->getID(), "MAPIMessage");
}

TEST_F(FolderTest, ListFailuresGiveAnEmptyListAndTheirLogLines) {
  addSubject("x");
  struct Case {
    const char* method;
    const char* line;
  };
  const Case cases[] = {
      {"IMAPIFolder::GetContentsTable", "MapiFolder::createMessageList:: m_lpFolder->GetContentsTable failed: "},
      {"IMAPITable::GetRowCount", "MapiFolder::createMessageList:: m_lpContents->GetRowCount failed: "},
      {"IMAPITable::QueryRows", "MapiFolder::createMessageList:: m_lpContents->QueryRows failed: "},
  };
  for (const auto& c : cases) {
    openInbox();
    mapitest::addFault(c.method, 1, MAPI_E_BUSY);
    EXPECT_EQ(m_folder->getMessageCount(), 0u) << c.method;
    EXPECT_NE(log().find(std::string(c.line) + c.method + " failed: injected fault 0x8004010B\n"), std::string::npos)
        << c.method;
    EXPECT_EQ(m_folder->getMessageCount(), 1u) << c.method << ": the next count tries again";
    m_folder.reset();
  }
}

TEST_F(FolderTest, FailedDeletionIsLoggedAndCloseGoesOn) {
  addSubject("x");
  openInbox();
  fetch(1)->setDeleteFlag(true);
  mapitest::addFault("IMAPIFolder::DeleteMessages", 1, MAPI_E_NO_ACCESS);
  m_folder->Close(true);
  EXPECT_NE(log().find("CMapiFolder::close: failed : IMAPIFolder::DeleteMessages failed: injected fault 0x80070005\n"),
            std::string::npos);
  EXPECT_EQ(m_folder->m_lpFolder, nullptr);
  m_folder.reset();
  EXPECT_EQ(storedCount(), 1u);
}

TEST_F(FolderTest, StoreThatClosesDetachesItsFoldersAndReleasesTheirMapiObjects) {
  addSubject("one");
  addSubject("two");
  openInbox();
  CMapiMessage* message = fetch(1);
  CMapiContent* content = message->getContent();
  message->setDeleteFlag(true);
  content = message->getContent();
  m_store.reset();

  EXPECT_TRUE(m_folder->isStoreClosed());
  EXPECT_EQ(m_folder->m_pStore, nullptr);
  EXPECT_EQ(m_folder->m_pOwningStore, nullptr);
  EXPECT_EQ(m_folder->m_lpFolder, nullptr);
  EXPECT_FALSE(m_folder->m_bOpen);
  EXPECT_EQ(message->m_lpMessage, nullptr);
  EXPECT_EQ(message->m_pContent, content) << "the content stays, so that handles into it meet a live object";
  EXPECT_EQ(mapitest::liveObjects(), m_objectsAtStart) << "a MAPI object of the closed session was kept";
  EXPECT_EQ(thrown([&] { m_folder->open(0); }), "The store of this folder is closed");
  CMapiMessage other;
  EXPECT_EQ(thrown([&] { m_folder->getMessage(2, &other); }), "The store of this folder is closed");
  EXPECT_EQ(thrown([&] { message->getSubject(); }), "CMapiMessage::getSubject, m_lpMessage == NULL");
  EXPECT_EQ(thrown([&] { message->SaveToMSG(); }), "CMapiMessage::SavetoMSG failed, m_lpMessage == NULL \n ");
  // The folder still closes; the flagged message cannot be deleted any more.
  m_folder->Close(true);
  m_folder.reset();
  EXPECT_EQ(storedCount(), 2u);
}

TEST_F(FolderTest, NativeObjectsAreKnownExactlyWhileTheyExist) {
  using liveobjects::Kind;
  add(withProps({mapifixture::Value::String(PR_BODY_A, "the text")}));
  auto* store = new CMapiStore("alice", "", "", m_tempDir);
  auto* folder = new CMapiFolder;
  auto* kept = new CMapiFolder;
  EXPECT_EQ(liveobjects::kindOf(store), Kind::Store);
  EXPECT_EQ(liveobjects::kindOf(folder), Kind::Folder);
  store->initialize();
  store->getInbox(*folder);
  store->getInbox(*kept);
  folder->open(0);
  auto* message = new CMapiMessage;
  EXPECT_EQ(liveobjects::kindOf(message), Kind::Message);
  folder->getMessage(1, message);
  CMapiMultipart* multipart = message->getContent()->m_pMultipart;
  ASSERT_NE(multipart, nullptr);
  CMapiBodyPart* part = multipart->getPart(0);
  EXPECT_EQ(liveobjects::kindOf(multipart), Kind::Multipart);
  EXPECT_EQ(liveobjects::kindOf(part), Kind::BodyPart);
  {
    // The folder deletes its message, which takes its content along: each
    // leaves with the reason in force, the outermost one.
    liveobjects::Ending closing("folder closed", store);
    liveobjects::Ending inner("not this one");
    folder->Close(false);
    delete folder;
  }
  for (const void* gone : {static_cast<const void*>(folder), static_cast<const void*>(message),
                           static_cast<const void*>(multipart), static_cast<const void*>(part)}) {
    EXPECT_EQ(liveobjects::kindOf(gone), Kind::None);
    liveobjects::End end;
    ASSERT_TRUE(liveobjects::endOf(gone, end));
    EXPECT_STREQ(end.text, "folder closed");
    EXPECT_EQ(end.owner, store);
  }
  liveobjects::End end;
  EXPECT_TRUE(liveobjects::endOf(message, end));
  EXPECT_EQ(end.kind, Kind::Message);
  EXPECT_FALSE(liveobjects::endOf(kept, end)) << "a live object has no end";
  EXPECT_EQ(liveobjects::kindOf(kept), Kind::Folder);
  delete store;
  EXPECT_EQ(liveobjects::kindOf(store), Kind::None);
  ASSERT_TRUE(liveobjects::endOf(store, end));
  EXPECT_EQ(end.kind, Kind::Store);
  EXPECT_EQ(end.text, nullptr) << "deleted outside any Ending";
  EXPECT_TRUE(kept->isStoreClosed());
  delete kept;
  EXPECT_EQ(liveobjects::kindOf(kept), Kind::None);
}

TEST_F(FolderTest, FolderLocatedAgainBelongsToTheLastStore) {
  CMapiStore first("alice", "", "", m_tempDir);
  first.initialize();
  auto second = std::make_unique<CMapiStore>("alice", "", "", m_tempDir);
  second->initialize();
  CMapiFolder folder;
  first.getInbox(folder);
  MAPIFreeBuffer(folder.m_lpEntryID);
  second->getInbox(folder);
  EXPECT_EQ(folder.m_pOwningStore, second.get());
  second.reset();
  EXPECT_TRUE(folder.isStoreClosed());
  MAPIFreeBuffer(folder.m_lpEntryID);
  first.getInbox(folder);
  EXPECT_FALSE(folder.isStoreClosed()) << "a folder located again is attached again";
  folder.open(0);
  EXPECT_TRUE(folder.m_bOpen);
}

}  // namespace

namespace {

class StoreTroubleTest : public testutil::InboxTest {};

TEST_F(StoreTroubleTest, StoreLockedByAnotherProcessGivesBusyErrorsNotACrash) {
  addSubject("locked");
  mapitest::setLockWait(200);  // for the connections opened from here on
  openInbox();
  // Another process takes the store's write lock and keeps it.
  std::string command = "python3 -c \"import sqlite3,sys,time; c=sqlite3.connect(sys.argv[1], isolation_level=None); "
                        "c.execute('BEGIN EXCLUSIVE'); print('locked', flush=True); time.sleep(3)\" '" +
                        m_alice.storePath + "'";
  FILE* locker = popen(command.c_str(), "r");
  ASSERT_NE(locker, nullptr);
  char line[32] = {0};
  ASSERT_NE(fgets(line, sizeof line, locker), nullptr);
  ASSERT_STREQ(line, "locked\n");

  // Reading goes on; the read mark cannot be stored, which a fetch ignores.
  CMapiMessage* message = fetch(1);
  EXPECT_EQ(message->getSubject(), "locked");
  message->setDeleteFlag(true);
  m_folder->Close(true);
  std::string text = log();
  size_t at = text.find("CMapiFolder::close: failed : ");
  ASSERT_NE(at, std::string::npos);
  EXPECT_NE(text.substr(at, 200).find("locked"), std::string::npos) << text.substr(at, 200);
  pclose(locker);
  m_folder.reset();
  EXPECT_EQ(storedCount(), 1u) << "the failed deletion left the message in place";
}

TEST_F(StoreTroubleTest, StoreFileDeletedWhileTheFolderIsOpen) {
  addSubject("still here");
  openInbox();
  ASSERT_EQ(m_folder->getMessageCount(), 1u);
  unlink(m_alice.storePath.c_str());
  CMapiMessage* message = fetch(1);
  EXPECT_EQ(message->getSubject(), "still here");
  m_folder->Close(true);
  m_folder.reset();
  m_store.reset();
  CMapiStore again("alice", "", "", m_tempDir);
  EXPECT_NE(thrown([&] { again.initialize(); }).find("cannot be opened"), std::string::npos);
}

}  // namespace
