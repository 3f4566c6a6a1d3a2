// Sending in the core: folder paths and the sent folder, the transport, the
// composition and attachment operations of a message, against the MAPI
// subsystem with planned faults.
#include "testutil.h"

#include "folder/mapifolder.h"
#include "message/mapimessage.h"
#include "session/folderpath.h"
#include "session/mapitransport.h"
#include "support/mapiexception.h"
#include "support/proptags.h"

#include <tolvane/directory.h>

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using testutil::MapiTest;

template <class F>
std::string thrown(F f) {
  try {
    f();
  } catch (CMapiException& e) {
    return e.m_strMessage;
  }
  return "";
}

std::string bytesOf(const SBinary& bin) { return std::string(reinterpret_cast<const char*>(bin.lpb), bin.cb); }

class TransportTest : public MapiTest {
 protected:
  void SetUp() override {
    MapiTest::SetUp();
    // The queue is looked at, not sent from.
    mapitest::setBackgroundSpooler(false);
    CMapiSession::initMapi();
    m_tempDir = testutil::makeTempDir("transport");
  }
  void TearDown() override {
    m_messages.clear();
    m_transport.reset();
    testutil::removeTree(m_tempDir);
    mapitest::setBackgroundSpooler(true);
    MapiTest::TearDown();
  }

  CMapiTransport& open(const std::string& sentFolder) {
    m_transport.reset(new CMapiTransport("alice", "secret", m_tempDir, sentFolder));
    m_transport->open();
    return *m_transport;
  }

  CMapiMessage* create() {
    m_messages.emplace_back(m_transport->createMessage());
    return m_messages.back().get();
  }

  // A string or binary value of the message, "" when absent.
  static std::string value(LPMAPIPROP obj, ULONG tag) {
    LPSPropValue v = nullptr;
    std::string out;
    if (SUCCEEDED(HrGetOneProp(obj, tag, &v))) {
      if (PROP_TYPE(tag) == PT_BINARY) out = bytesOf(v->Value.bin);
      else if (PROP_TYPE(tag) == PT_STRING8) out = reinterpret_cast<const char*>(v->Value.lpszA);
    }
    MAPIFreeBuffer(v);
    return out;
  }
  static bool has(LPMAPIPROP obj, ULONG tag) {
    LPSPropValue v = nullptr;
    HRESULT hr = HrGetOneProp(obj, tag, &v);
    MAPIFreeBuffer(v);
    return SUCCEEDED(hr);
  }
  static LONG longValue(LPMAPIPROP obj, ULONG tag) {
    LPSPropValue v = nullptr;
    LONG out = -12345;
    if (SUCCEEDED(HrGetOneProp(obj, tag, &v))) out = v->Value.l;
    MAPIFreeBuffer(v);
    return out;
  }

  // The entry identifier of a folder below the top of alice's store.
  std::string folderId(const std::string& path) {
    ULONG cb = 0;
    LPENTRYID eid = nullptr;
    HRESULT hr = HrLocateFolderByPath(m_transport->m_lpMsgStore, '\\', ("Top of Information Store\\" + path).c_str(),
                                      &cb, &eid);
    std::string out = SUCCEEDED(hr) ? std::string(reinterpret_cast<const char*>(eid), cb) : "";
    MAPIFreeBuffer(eid);
    return out;
  }

  // Creates a folder below the folder at `parentPath` ("" for the top).
  void makeFolder(const std::string& parentPath, const std::string& name) {
    LPMAPIFOLDER root = nullptr;
    ULONG type = 0;
    ASSERT_EQ(m_transport->m_lpMsgStore->OpenEntry(0, nullptr, nullptr, MAPI_MODIFY, &type,
                                                   reinterpret_cast<LPUNKNOWN*>(&root)),
              S_OK);
    std::string full = "Top of Information Store" + (parentPath.empty() ? "" : "\\" + parentPath);
    ULONG cb = 0;
    LPENTRYID eid = nullptr;
    ASSERT_EQ(HrLocateSubfolderPath(root, '\\', full.c_str(), &cb, &eid), S_OK) << full;
    LPMAPIFOLDER parent = nullptr;
    ASSERT_EQ(root->OpenEntry(cb, eid, nullptr, MAPI_MODIFY, &type, reinterpret_cast<LPUNKNOWN*>(&parent)), S_OK);
    LPMAPIFOLDER child = nullptr;
    ASSERT_EQ(parent->CreateFolder(FOLDER_GENERIC, reinterpret_cast<LPTSTR>(const_cast<char*>(name.c_str())), nullptr,
                                   nullptr, 0, &child),
              S_OK);
    child->Release();
    parent->Release();
    MAPIFreeBuffer(eid);
    root->Release();
  }

  std::string m_tempDir;
  std::unique_ptr<CMapiTransport> m_transport;
  std::vector<std::unique_ptr<CMapiMessage>> m_messages;
};

// --- folder paths -----------------------------------------------------------------------

TEST_F(TransportTest, PathsResolveOneNamePerLevelWhateverTheSeparatorsAndCase) {
  open("");
  makeFolder("Inbox", "Orders");
  makeFolder("Inbox\\Orders", "2026");
  std::string inbox = folderId("Inbox");
  std::string deep = folderId("Inbox\\Orders\\2026");
  ASSERT_FALSE(inbox.empty());
  ASSERT_FALSE(deep.empty());
  EXPECT_NE(inbox, deep);
  EXPECT_EQ(folderId("inbox"), inbox);
  EXPECT_EQ(folderId("\\\\INBOX\\\\orders\\\\\\2026\\"), deep);

  ULONG cb = 0;
  LPENTRYID eid = nullptr;
  EXPECT_EQ(HrLocateFolderByPath(m_transport->m_lpMsgStore, '\\', "Top of Information Store\\Inbox\\Nowhere", &cb,
                                 &eid),
            MAPI_E_NOT_FOUND);
  EXPECT_EQ(eid, nullptr);
  EXPECT_EQ(cb, 0u);
  EXPECT_EQ(HrLocateFolderByPath(nullptr, '\\', "x", &cb, &eid), E_FAIL);
  EXPECT_EQ(HrLocateFolderByPath(m_transport->m_lpMsgStore, '\\', "x", nullptr, &eid), E_INVALIDARG);
}

TEST_F(TransportTest, OfTwoSiblingsThatDifferOnlyInCaseTheFirstWins) {
  open("");
  makeFolder("", "Archive");
  makeFolder("", "ARCHIVE");
  makeFolder("Archive", "first-only");
  // The child exists only below the first sibling, so the path reaches it
  // only if the first one is chosen.
  EXPECT_FALSE(folderId("archive\\first-only").empty());
}

TEST_F(TransportTest, SplitPathKeepsTokensAndTheirCopyInOneBuffer) {
  long buffers = mapitest::liveBuffers();
  ULONG count = 99;
  char** tokens = nullptr;
  ASSERT_EQ(HrSplitPath("\\\\a\\bc\\\\d\\", "\\", &count, &tokens), S_OK);
  ASSERT_EQ(count, 3u);
  EXPECT_STREQ(tokens[0], "a");
  EXPECT_STREQ(tokens[1], "bc");
  EXPECT_STREQ(tokens[2], "d");
  EXPECT_EQ(tokens[3], nullptr);
  EXPECT_EQ(mapitest::liveBuffers(), buffers + 1);
  MAPIFreeBuffer(tokens);

  ASSERT_EQ(HrSplitPath("", "\\", &count, &tokens), S_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(tokens, nullptr);

  mapitest::addFault("MAPIAllocateBuffer", 1, MAPI_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(HrSplitPath("a\\b", "\\", &count, &tokens), E_OUTOFMEMORY);
  EXPECT_EQ(tokens, nullptr);
}

TEST_F(TransportTest, ATrailByteEqualToTheSeparatorDoesNotSplitADoubleByteName) {
  // "\x95\x5C" is one Shift JIS character whose second byte is a backslash.
  const char* path = "\\x\x95\x5Cy\\z";
  ULONG count = 0;
  char** tokens = nullptr;
  ASSERT_EQ(HrSplitPath(path, "\\", &count, &tokens), S_OK);
  EXPECT_EQ(count, 3u) << "without a double-byte code page the byte splits";
  MAPIFreeBuffer(tokens);

  mapitest::setDBCSCodePage(932);
  ASSERT_EQ(HrSplitPath(path, "\\", &count, &tokens), S_OK);
  ASSERT_EQ(count, 2u);
  EXPECT_STREQ(tokens[0], "x\x95\x5Cy");
  EXPECT_STREQ(tokens[1], "z");
  MAPIFreeBuffer(tokens);

  open("");
  makeFolder("", "x\x95\x5Cy");
  EXPECT_FALSE(folderId("x\x95\x5Cy").empty());
  mapitest::setDBCSCodePage(0);
}

TEST_F(TransportTest, ATopFolderOfAnotherNameResolvesNoPath) {
  open("");
  LPMAPIFOLDER root = nullptr;
  ULONG type = 0;
  ASSERT_EQ(m_transport->m_lpMsgStore->OpenEntry(0, nullptr, nullptr, MAPI_MODIFY, &type,
                                                 reinterpret_cast<LPUNKNOWN*>(&root)),
            S_OK);
  ULONG cb = 0;
  LPENTRYID eid = nullptr;
  ASSERT_EQ(HrLocateChildFolder(root, "Top of Information Store", &cb, &eid), S_OK);
  LPMAPIFOLDER top = nullptr;
  ASSERT_EQ(root->OpenEntry(cb, eid, nullptr, MAPI_MODIFY, &type, reinterpret_cast<LPUNKNOWN*>(&top)), S_OK);
  SPropValue name{};
  name.ulPropTag = PR_DISPLAY_NAME_A;
  name.Value.lpszA = const_cast<LPSTR>("Mailbox");
  ASSERT_EQ(HrSetOneProp(top, &name), S_OK);
  top->Release();
  MAPIFreeBuffer(eid);
  root->Release();

  LPENTRYID sent = reinterpret_cast<LPENTRYID>(1);
  ULONG cbSent = 7;
  m_transport->getSentFolder("Sent Items", &sent, &cbSent);
  EXPECT_EQ(sent, nullptr);
  EXPECT_EQ(cbSent, 0u);
  EXPECT_NE(log().find("CMapiSession::getSentFolder failed "), std::string::npos);
}

TEST_F(TransportTest, FailuresOfTheHierarchyLookupAreResults) {
  open("");
  LPMAPIFOLDER root = nullptr;
  ULONG type = 0;
  ASSERT_EQ(m_transport->m_lpMsgStore->OpenEntry(0, nullptr, nullptr, 0, &type, reinterpret_cast<LPUNKNOWN*>(&root)),
            S_OK);
  ULONG cb = 0;
  LPENTRYID eid = nullptr;
  mapitest::addFault("IMAPIFolder::GetHierarchyTable", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(HrLocateChildFolder(root, "Top of Information Store", &cb, &eid), E_FAIL);
  mapitest::addFault("IMAPITable::QueryRows", 1, MAPI_E_NOT_FOUND);
  EXPECT_EQ(HrLocateChildFolder(root, "Top of Information Store", &cb, &eid), MAPI_E_NOT_FOUND);
  mapitest::addFault("IMAPITable::QueryRows", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(HrLocateChildFolder(root, "Top of Information Store", &cb, &eid), E_FAIL);
  mapitest::addFault("IMAPIFolder::OpenEntry", 1, MAPI_E_NO_ACCESS);
  EXPECT_EQ(HrLocateSubfolderPath(root, '\\', "Top of Information Store\\Inbox", &cb, &eid), E_FAIL);
  EXPECT_EQ(eid, nullptr);
  mapitest::addFault("IMsgStore::OpenEntry", 1, MAPI_E_NO_ACCESS);
  EXPECT_EQ(HrLocateFolderByPath(m_transport->m_lpMsgStore, '\\', "Top of Information Store", &cb, &eid),
            MAPI_E_NO_ACCESS);
  root->Release();
}

// --- the transport ----------------------------------------------------------------------

TEST_F(TransportTest, MessagesCarryTheSentFolderOrAreDeletedAfterSubmission) {
  open("Sent Items");
  std::string sentItems = folderId("Sent Items");
  ASSERT_FALSE(sentItems.empty());
  ASSERT_EQ(std::string(reinterpret_cast<const char*>(m_transport->m_lpSentEntryID), m_transport->m_cbSentEntryID),
            sentItems);
  CMapiMessage* a = create();
  CMapiMessage* b = create();
  for (CMapiMessage* m : {a, b}) {
    EXPECT_EQ(value(m->m_lpMessage, PR_SENTMAIL_ENTRYID), sentItems);
    EXPECT_FALSE(has(m->m_lpMessage, PR_DELETE_AFTER_SUBMIT));
    EXPECT_EQ(value(m->m_lpMessage, PR_MESSAGE_CLASS_A), "IPM.Note");
    EXPECT_TRUE(has(m->m_lpMessage, PR_CLIENT_SUBMIT_TIME));
    EXPECT_EQ(m->m_pFolder, m_transport->m_pOutbox);
    EXPECT_FALSE(m->m_bOwnedByFolder);
  }
  EXPECT_TRUE(m_transport->m_pOutbox->m_messages.empty());
  m_messages.clear();

  // Only an empty path deletes sent messages. A path that names no folder
  // (separators alone name none) files them in the store's sent folder, and
  // says so in the log; so does a store that names none (then deleted).
  struct Case {
    const char* path;
    bool storeNamesOne;
    bool filed;
  } cases[] = {{"", true, false}, {"No Such Folder", true, true}, {"\\\\", true, true}, {"Nowhere", false, false}};
  // The store's properties read by an open without a sent folder: the
  // next read is the one for the store's sent folder.
  mapitest::clearJournal();
  mapitest::startJournal();
  open("");
  size_t reads = mapitest::journalCount("IMsgStore::GetProps");
  mapitest::stopJournal();
  for (const Case& c : cases) {
    std::string before = log();
    if (!c.storeNamesOne) mapitest::addFault("IMsgStore::GetProps", reads + 1, MAPI_E_NOT_FOUND);
    open(c.path);
    mapitest::clearFaults();
    CMapiMessage* m = create();
    EXPECT_EQ(value(m->m_lpMessage, PR_SENTMAIL_ENTRYID), c.filed ? sentItems : "") << c.path;
    EXPECT_EQ(has(m->m_lpMessage, PR_DELETE_AFTER_SUBMIT), !c.filed) << c.path;
    std::string logged = log().substr(before.size());
    std::string noFolder = std::string("CMapiTransport::open: no folder has the path \"") + c.path + "\"";
    EXPECT_EQ(logged.find(c.filed ? noFolder + "; sent messages are filed in the store's sent folder\n"
                                   : noFolder + " and the store names no sent folder; sent messages are "
                                                "deleted once sent\n") != std::string::npos,
              *c.path != '\0')
        << c.path << ": " << logged;
    m_messages.clear();
  }
}

TEST_F(TransportTest, OpenAndCreateReportTheStoresOwnTexts) {
  m_transport.reset(new CMapiTransport("alice", "", m_tempDir, ""));
  mapitest::addFault("IMsgStore::OpenEntry", 1, MAPI_E_NO_ACCESS);
  EXPECT_EQ(thrown([&] { m_transport->open(); }), "IMsgStore::OpenEntry failed: injected fault 0x80070005");

  open("");
  mapitest::addFault("IMAPIFolder::CreateMessage", 1, MAPI_E_NOT_ENOUGH_DISK);
  EXPECT_EQ(thrown([&] { create(); }), "IMAPIFolder::CreateMessage failed: injected fault 0x8004010D");
  mapitest::addFault("IMessage::SetProps", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(thrown([&] { create(); }), "IMessage::SetProps failed: injected fault 0x80004005");
  EXPECT_TRUE(m_messages.empty() || m_messages.back() == nullptr);
  m_messages.clear();

  // A store that does not name its Outbox opens, and creates nothing.
  m_transport.reset(new CMapiTransport("alice", "", m_tempDir, ""));
  mapitest::addFault("HrGetOneProp", 1, MAPI_E_NOT_FOUND);
  m_transport->open();
  EXPECT_EQ(m_transport->m_pOutbox->m_lpFolder, nullptr);
  EXPECT_EQ(thrown([&] { create(); }),
            "CMapiTransport::createMessage: the store has no Outbox to create the message in");
  m_messages.clear();
}

// --- composition ------------------------------------------------------------------------

class ComposeTest : public TransportTest {
 protected:
  void SetUp() override {
    TransportTest::SetUp();
    open("Sent Items");
    m = create();
  }
  LPMESSAGE msg() { return m->m_lpMessage; }
  CMapiMessage* m = nullptr;

  struct Row {
    std::string name, address, addrtype;
    LONG type = 0;
  };
  std::vector<Row> recipients() {
    LPMAPITABLE table = nullptr;
    std::vector<Row> rows;
    if (FAILED(msg()->GetRecipientTable(0, &table))) return rows;
    SizedSPropTagArray(4, cols) = {4, {PR_DISPLAY_NAME_A, PR_EMAIL_ADDRESS_A, PR_ADDRTYPE_A, PR_RECIPIENT_TYPE}};
    LPSRowSet set = nullptr;
    HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &set);
    for (ULONG i = 0; set && i < set->cRows; ++i) {
      const SPropValue* v = set->aRow[i].lpProps;
      Row r;
      if (v[0].ulPropTag == PR_DISPLAY_NAME_A) r.name = reinterpret_cast<const char*>(v[0].Value.lpszA);
      if (v[1].ulPropTag == PR_EMAIL_ADDRESS_A) r.address = reinterpret_cast<const char*>(v[1].Value.lpszA);
      if (v[2].ulPropTag == PR_ADDRTYPE_A) r.addrtype = reinterpret_cast<const char*>(v[2].Value.lpszA);
      if (v[3].ulPropTag == PR_RECIPIENT_TYPE) r.type = v[3].Value.l;
      rows.push_back(r);
    }
    if (set) FreeProws(set);
    table->Release();
    return rows;
  }
};

TEST_F(ComposeTest, SettersWriteTheirPropertyAndEmptyTextsDoNothing) {
  m->setSubject("Grüße");
  m->setPlainTextBody("plain");
  m->setHTMLBody("<p>html</p>");
  m->setPriority(5);
  EXPECT_EQ(value(msg(), PR_SUBJECT_A), "Grüße");
  EXPECT_EQ(value(msg(), PR_BODY_A), "plain");
  EXPECT_EQ(value(msg(), PR_BODY_HTML_A), "<p>html</p>");
  EXPECT_EQ(longValue(msg(), PR_PRIORITY), 5);
  EXPECT_EQ(m->getPriority(), "1");
  m->setPriority(-7);
  EXPECT_EQ(longValue(msg(), PR_PRIORITY), -7);

  m->setSubject("");
  m->setPlainTextBody("");
  EXPECT_EQ(value(msg(), PR_SUBJECT_A), "Grüße");
  EXPECT_EQ(value(msg(), PR_BODY_A), "plain");

  CMapiMessage bare;
  EXPECT_EQ(thrown([&] { bare.setSubject(""); }), "");
  EXPECT_EQ(thrown([&] { bare.setPlainTextBody(""); }), "");
  EXPECT_EQ(thrown([&] { bare.setSubject("x"); }).rfind("CMapiMessage::setSubject failed ", 0), 0u);
  EXPECT_EQ(thrown([&] { bare.setPriority(1); }).rfind("CMapiMessage::setPriority failed ", 0), 0u);

  mapitest::addFault("IMessage::SetProps", 1, MAPI_E_NO_ACCESS);
  EXPECT_EQ(thrown([&] { m->setHTMLBody("x"); }),
            "CMapiMessage::setHTMLBody failed IMessage::SetProps failed: injected fault 0x80070005");
  EXPECT_NE(log().find("CMapiMessage::setHTMLBody failed IMessage::SetProps failed: injected fault 0x80070005\n"),
            std::string::npos);
  EXPECT_EQ(value(msg(), PR_BODY_HTML_A), "<p>html</p>");
}

TEST_F(ComposeTest, RecipientsKeepTheirNamesAndNamesWithoutAtAreResolved) {
  mapidirectory::Entry boss;
  boss.displayName = "The Boss";
  boss.smtpAddress = "boss@corp.example";
  std::string error;
  ASSERT_EQ(mapidirectory::add(boss, error), S_OK) << error;

  mapitest::startJournal();
  m->addRecipient("Bob Example", "bob@example.org", MAPI_TO);
  m->addRecipient("", "carol@example.org", MAPI_CC);
  EXPECT_EQ(mapitest::journalCount("IAddrBook::ResolveName"), 0u);
  m->addRecipient("", "The Boss", MAPI_BCC);
  m->addRecipient("", "nobody-here", MAPI_TO);
  EXPECT_EQ(mapitest::journalCount("IAddrBook::ResolveName"), 2u);
  m->addRecipient("", "", MAPI_TO);
  EXPECT_EQ(mapitest::journalCount("IMessage::ModifyRecipients"), 4u);

  auto rows = recipients();
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].name, "Bob Example");
  EXPECT_EQ(rows[0].address, "bob@example.org");
  EXPECT_EQ(rows[0].addrtype, "SMTP");
  EXPECT_EQ(rows[0].type, MAPI_TO);
  EXPECT_EQ(rows[1].name, "");
  EXPECT_EQ(rows[1].type, MAPI_CC);
  EXPECT_EQ(rows[2].name, "The Boss");  // the directory's entry
  EXPECT_EQ(rows[2].type, MAPI_BCC);
  EXPECT_EQ(rows[3].name, "nobody-here");  // unresolved: as built
  EXPECT_EQ(rows[3].address, "nobody-here");
  EXPECT_EQ(rows[3].type, MAPI_TO);

  mapitest::addFault("IMessage::ModifyRecipients", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(thrown([&] { m->addRecipient("x", "x@example.org", MAPI_TO); }),
            "addRecipeint failed IMessage::ModifyRecipients failed: injected fault 0x80004005");
  EXPECT_EQ(recipients().size(), 4u);

  CMapiMessage bare;
  EXPECT_EQ(thrown([&] { bare.addRecipient("x", "x@example.org", MAPI_TO); }), "");
}

TEST_F(ComposeTest, FromTakesTheAddressAsNameOnlyWhenItHasNoAt) {
  m->addFrom("", "postmaster");
  EXPECT_EQ(value(msg(), PR_SENDER_NAME_A), "postmaster");
  EXPECT_EQ(value(msg(), PR_SENDER_EMAIL_ADDRESS_A), "postmaster");
  EXPECT_EQ(value(msg(), PR_SENDER_ADDRTYPE_A), "SMTP");
  m->addFrom("", "alice@example.org");
  EXPECT_EQ(value(msg(), PR_SENDER_NAME_A), "");
  m->addFrom("Alice", "alice@example.org");
  EXPECT_EQ(value(msg(), PR_SENDER_NAME_A), "Alice");
  EXPECT_FALSE(has(msg(), PR_SENT_REPRESENTING_NAME_A));
  mapitest::addFault("IMessage::SetProps", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(thrown([&] { m->addFrom("A", "a@b"); }),
            "CMapiMessage::addFrom failed IMessage::SetProps failed: injected fault 0x80004005");
}

TEST_F(ComposeTest, XHeadersAreNamedPropertiesCreatedOnceAndOverwritten) {
  m->setXHeader("X-Mailer", "first");
  m->setXHeader("X-Mailer", "second");
  MAPINAMEID name{};
  const GUID internetHeaders = {0x00020386, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  name.lpguid = const_cast<LPGUID>(&internetHeaders);
  name.ulKind = MNID_STRING;
  name.Kind.lpwstrName = const_cast<LPWSTR>(L"X-Mailer");
  LPMAPINAMEID names = &name;
  LPSPropTagArray tags = nullptr;
  ASSERT_EQ(msg()->GetIDsFromNames(1, &names, 0, &tags), S_OK);
  ULONG tag = PROP_TAG(PT_STRING8, PROP_ID(tags->aulPropTag[0]));
  MAPIFreeBuffer(tags);
  EXPECT_EQ(value(msg(), tag), "second");

  // A value stays on one line; a name that is no field name, or one the
  // message's own values make, is not passed on; In-Reply-To and References
  // go to the properties replies are threaded by.
  m->setXHeader("X-Mailer", "third\r\nBcc: victim@example.org\n\n\x01");
  EXPECT_EQ(value(msg(), tag), "third Bcc: victim@example.org ");
  m->setXHeader("In-Reply-To", "<a@example.org>\r\nTo: x");
  m->setXHeader("REFERENCES", "<z@example.org> <a@example.org>");
  EXPECT_EQ(value(msg(), PR_IN_REPLY_TO_ID_A), "<a@example.org> To: x");
  EXPECT_EQ(value(msg(), PR_INTERNET_REFERENCES_A), "<z@example.org> <a@example.org>");
  mapitest::startJournal();
  for (const char* refused : {"Bcc", "Content-Type", "From", "X-Bad Name", "X-Bad:Name", "X-\r\nBcc", ""})
    m->setXHeader(refused, "v");
  EXPECT_EQ(mapitest::journalCount("IMessage::GetIDsFromNames"), 0u);
  EXPECT_EQ(mapitest::journalCount("IMessage::SetProps"), 0u);
  mapitest::stopJournal();

  // Failures are silent.
  mapitest::addFault("IMessage::GetIDsFromNames", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(thrown([&] { m->setXHeader("X-Other", "v"); }), "");
  CMapiMessage bare;
  EXPECT_EQ(thrown([&] { bare.setXHeader("X-Other", "v"); }), "");
}

TEST_F(ComposeTest, ReplyToIsOneOneOffEntryInAFlatEntryList) {
  m->setReplyTo("Replies", "replies@example.org");
  EXPECT_EQ(value(msg(), PR_REPLY_RECIPIENT_NAMES_A), "Replies");
  std::string list = value(msg(), PR_REPLY_RECIPIENT_ENTRIES);
  ASSERT_GT(list.size(), 12u);
  ULONG count = 0, size = 0, cb = 0;
  memcpy(&count, list.data(), 4);
  memcpy(&size, list.data() + 4, 4);
  memcpy(&cb, list.data() + 8, 4);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(cb + 12, list.size());
  EXPECT_EQ(size, cb + 4);
  // The reading side gives the address back.
  CStringList replyTo;
  m->getReplyTo(replyTo);
  ASSERT_EQ(replyTo.size(), 1u);
  EXPECT_EQ(replyTo[0], "REPLIES@EXAMPLE.ORG") << "the reading side gives the proxy address in capitals";

  mapitest::addFault("IAddrBook::CreateOneOff", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(thrown([&] { m->setReplyTo("a", "a@b"); }).rfind("CMapiMessage::setReplyTo failed ", 0), 0u);
  mapitest::addFault("MAPIAllocateBuffer", 2, MAPI_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(thrown([&] { m->setReplyTo("a", "a@b"); }).rfind("CMapiMessage::setReplyTo failed ", 0), 0u);
  mapitest::addFault("IMessage::SetProps", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(thrown([&] { m->setReplyTo("a", "a@b"); }),
            "CMapiMessage::setReplyTo failed IMessage::SetProps failed: injected fault 0x80004005");
  EXPECT_EQ(value(msg(), PR_REPLY_RECIPIENT_NAMES_A), "Replies");

  // A received message has no transport to make the entry with.
  CMapiMessage received;
  CMapiFolder folder;
  received.m_pFolder = &folder;
  received.m_lpMessage = msg();
  msg()->AddRef();
  EXPECT_EQ(thrown([&] { received.setReplyTo("a", "a@b"); }),
            "CMapiMessage::setReplyTo failed the message was not created by a transport");
  received.m_pFolder = nullptr;
}

TEST_F(ComposeTest, SendSavesThenSubmitsAndReportsEitherFailure) {
  mapitest::startJournal();
  mapitest::addFault("IMessage::SaveChanges", 1, MAPI_E_NOT_ENOUGH_DISK);
  EXPECT_EQ(thrown([&] { m->send(); }),
            "CMapiMessage::send failed IMessage::SaveChanges failed: injected fault 0x8004010D");
  EXPECT_EQ(mapitest::journalCount("IMessage::SubmitMessage"), 0u);

  // No recipient at all: the store refuses the submission.
  std::string noRecipients = thrown([&] { m->send(); });
  EXPECT_EQ(noRecipients.rfind("CMapiMessage::send failed ", 0), 0u);
  EXPECT_NE(noRecipients.find("recipient"), std::string::npos) << noRecipients;

  m->addRecipient("Bob", "bob@example.org", MAPI_TO);
  mapitest::clearJournal();
  m->send();
  auto lines = mapitest::journal();
  std::vector<std::string> calls;
  for (const auto& l : lines)
    if (l.rfind("IMessage::SaveChanges", 0) == 0 || l.rfind("IMessage::SubmitMessage", 0) == 0) calls.push_back(l);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], "IMessage::SaveChanges flags=2");
  EXPECT_EQ(calls[1], "IMessage::SubmitMessage flags=0");
  LONG flags = longValue(msg(), PR_MESSAGE_FLAGS);
  EXPECT_TRUE(flags & MSGFLAG_SUBMIT);

  CMapiMessage bare;
  EXPECT_EQ(thrown([&] { bare.send(); }).rfind("CMapiMessage::send failed ", 0), 0u);
}

// --- attachments ------------------------------------------------------------------------

class AttachTest : public ComposeTest {
 protected:
  std::string file(const std::string& name, const std::string& bytes) {
    std::string path = m_tempDir + "/" + name;
    testutil::writeFile(path, bytes);
    return path;
  }
  ULONG attachmentCount() {
    LPMAPITABLE table = nullptr;
    ULONG n = 0;
    if (SUCCEEDED(msg()->GetAttachmentTable(0, &table))) {
      table->GetRowCount(0, &n);
      table->Release();
    }
    return n;
  }
  // Opens attachment `num` and reads its data and a string property.
  std::string data(ULONG num) {
    LPATTACH att = nullptr;
    if (FAILED(msg()->OpenAttach(num, nullptr, 0, &att))) return "<no attachment>";
    LPSTREAM stream = nullptr;
    std::string out;
    if (SUCCEEDED(att->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(&stream)))) {
      char buf[4096];
      ULONG got = 0;
      while (SUCCEEDED(stream->Read(buf, sizeof buf, &got)) && got > 0) out.append(buf, got);
      stream->Release();
    }
    att->Release();
    return out;
  }
  std::string attachValue(ULONG num, ULONG tag) {
    LPATTACH att = nullptr;
    if (FAILED(msg()->OpenAttach(num, nullptr, 0, &att))) return "<no attachment>";
    std::string out = has(att, tag) ? value(att, tag) : "<absent>";
    att->Release();
    return out;
  }
};

TEST_F(AttachTest, TheFileIsCopiedInKilobytePiecesIntoASavedAttachment) {
  std::string bytes;
  for (int i = 0; i < 2500; ++i) bytes += static_cast<char>(i * 7);
  std::string path = file("report.pdf", bytes);
  mapitest::startJournal();
  m->addAttachment("report.pdf", "application/pdf", path);
  std::vector<std::string> writes;
  for (const auto& l : mapitest::journal())
    if (l.rfind("IStream::Write", 0) == 0) writes.push_back(l);
  EXPECT_EQ(writes, (std::vector<std::string>{"IStream::Write cb=1024", "IStream::Write cb=1024",
                                              "IStream::Write cb=452"}));
  EXPECT_EQ(mapitest::journalCount("IStream::Commit"), 0u);
  EXPECT_EQ(mapitest::journalCount("IAttach::SaveChanges"), 1u);
  EXPECT_EQ(attachmentCount(), 1u);
  EXPECT_EQ(data(0), bytes);
  EXPECT_EQ(attachValue(0, PR_DISPLAY_NAME_A), "report.pdf");
  EXPECT_EQ(attachValue(0, PR_ATTACH_LONG_FILENAME_A), "report.pdf");
  EXPECT_EQ(attachValue(0, PR_ATTACH_CONTENT_ID_A), "<absent>");
  EXPECT_EQ(attachValue(0, PR_ATTACH_MIME_TAG_A), "application/pdf");
  EXPECT_EQ(testutil::readFile(path), bytes) << "the input file is left in place";

  m->addAttachment("empty.bin", "", file("empty.bin", ""));
  EXPECT_EQ(attachmentCount(), 2u);
  EXPECT_EQ(data(1), "");
  EXPECT_EQ(attachValue(1, PR_ATTACH_MIME_TAG_A), "<absent>");
}

TEST_F(AttachTest, OnlyAWellFormedMediaTypeIsKept) {
  std::string path = file("a.bin", "x");
  struct Case {
    const char* given;
    const char* kept;
  } cases[] = {{" Text/HTML ; charset=utf-8", "text/html"},
               {"text/plain\r\nBcc: victim@example.org", "<absent>"},
               {"message/rfc822", "<absent>"},
               {"multipart/mixed; boundary=x", "<absent>"},
               {"no-slash", "<absent>"},
               {"image/", "<absent>"},
               {"application/vnd.ms-excel", "application/vnd.ms-excel"}};
  ULONG n = 0;
  for (const Case& c : cases) {
    m->addAttachment("a.bin", c.given, path);
    EXPECT_EQ(attachValue(n++, PR_ATTACH_MIME_TAG_A), c.kept) << c.given;
  }
}

TEST_F(AttachTest, AnInlineAttachmentCarriesItsContentIdAndReleasesTheStreamFirst) {
  m->addInlineAttachment("logo.png", "image/png", file("logo.png", "\x89PNG\r\n"), "logo@example");
  EXPECT_EQ(attachValue(0, PR_ATTACH_CONTENT_ID_A), "logo@example");
  EXPECT_EQ(attachValue(0, PR_DISPLAY_NAME_A), "logo.png");
  EXPECT_EQ(attachValue(0, PR_ATTACH_MIME_TAG_A), "image/png");
  EXPECT_EQ(data(0), "\x89PNG\r\n");
}

TEST_F(AttachTest, AMissingFileCreatesNothingAndSaysSo) {
  std::string missing = m_tempDir + "/missing.bin";
  mapitest::startJournal();
  EXPECT_EQ(thrown([&] { m->addAttachment("a", "", missing); }),
            "CMapiMessage::addAttachment:Unable to open input file " + missing);
  EXPECT_EQ(thrown([&] { m->addInlineAttachment("a", "", missing, "cid"); }),
            "CMapiMessage::addInlineAttachment Unable to open input file: " + missing);
  EXPECT_EQ(mapitest::journalCount("IMessage::CreateAttach"), 0u);
  EXPECT_EQ(attachmentCount(), 0u);
  std::string text = log();
  // addAttachment logs the path alone; the inline one its text, once.
  EXPECT_NE(text.find("\n" + missing + "\n"), std::string::npos) << text;
  std::string inlineLine = "CMapiMessage::addInlineAttachment Unable to open input file: " + missing + "\n";
  size_t first = text.find(inlineLine);
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(text.find(inlineLine, first + 1), std::string::npos);
}

TEST_F(AttachTest, EveryFailingStepRaisesItsTextAndLeavesNoAttachment) {
  std::string path = file("data.bin", std::string(3000, 'x'));
  struct Case {
    const char* method;
    unsigned nth;
    std::string attachText, inlineText;
  } cases[] = {
      {"IMessage::CreateAttach", 1,
       "CMapiMessage::addAttchment m_lpMessage->CreateAttach failed IMessage::CreateAttach failed: injected fault "
       "0x80004005",
       "CMapiMessage::addInlineAttachment: m_lpMessage->CreateAttach failed IMessage::CreateAttach failed: injected "
       "fault 0x80004005"},
      {"IAttach::SetProps", 1,
       "CMapiMessage::addAttchment m_lpMessage->CreateAttach failed IAttach::SetProps failed: injected fault "
       "0x80004005",
       "CMapiMessage::addInlineAttachment: m_lpMessage->CreateAttach failed IAttach::SetProps failed: injected "
       "fault 0x80004005"},
      {"IAttach::OpenProperty", 1,
       "CMapiMessage::addAttchment, lpAttach->OpenProperty failed IAttach::OpenProperty failed: injected fault "
       "0x80004005",
       "CMapiMessage::addInlineAttachment: lpAttach->OpenProperty failed IAttach::OpenProperty failed: injected "
       "fault 0x80004005"},
      {"IStream::Write", 2,
       "CMapiMessage::addAttchment, lpAttach->SaveChanges failed the attachment data could not be written: "
       "0x80004005",
       "CMapiMessage::addInlineAttachment lpAttach->SaveChanges failed the attachment data could not be written: "
       "0x80004005"},
      {"IAttach::SaveChanges", 1,
       "CMapiMessage::addAttchment, lpAttach->SaveChanges failed IAttach::SaveChanges failed: injected fault "
       "0x80004005",
       "CMapiMessage::addInlineAttachment lpAttach->SaveChanges failed IAttach::SaveChanges failed: injected fault "
       "0x80004005"},
  };
  for (const Case& c : cases) {
    mapitest::addFault(c.method, c.nth, MAPI_E_CALL_FAILED);
    EXPECT_EQ(thrown([&] { m->addAttachment("a", "", path); }), c.attachText) << c.method;
    mapitest::addFault(c.method, c.nth, MAPI_E_CALL_FAILED);
    EXPECT_EQ(thrown([&] { m->addInlineAttachment("a", "", path, "cid"); }), c.inlineText) << c.method;
    EXPECT_EQ(attachmentCount(), 0u) << c.method;
  }
  // The property array cannot be made: a failure, not a quiet return.
  mapitest::addFault("MAPIAllocateBuffer", 1, MAPI_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(thrown([&] { m->addAttachment("a", "", path); })
                .rfind("CMapiMessage::addAttchment m_lpMessage->CreateAttach failed ", 0),
            0u);
  EXPECT_EQ(attachmentCount(), 0u);

  // A message object without a MAPI message.
  CMapiMessage bare;
  EXPECT_EQ(thrown([&] { bare.addAttachment("a", "", path); })
                .rfind("CMapiMessage::addAttchment m_lpMessage->CreateAttach failed ", 0),
            0u);
  // What was attached before a failure stays.
  m->addAttachment("ok", "", path);
  mapitest::addFault("IAttach::SaveChanges", 1, MAPI_E_CALL_FAILED);
  thrown([&] { m->addAttachment("b", "", path); });
  EXPECT_EQ(attachmentCount(), 1u);
}

TEST_F(AttachTest, AFileThatCannotBeReadIsNotAttachedTruncated) {
  // A directory opens on some systems but cannot be read as data.
  EXPECT_EQ(thrown([&] { m->addAttachment("dir", "", m_tempDir); }),
            "CMapiMessage::addAttachment:Unable to open input file " + m_tempDir);
  // A file that opens but cannot be read (this process's memory at address
  // 0), and one that cannot be read from its start again (a pipe).
  EXPECT_EQ(thrown([&] { m->addAttachment("mem", "", "/proc/self/mem"); }),
            "CMapiMessage::addAttchment, lpAttach->SaveChanges failed Input/output error");
  std::string fifo = m_tempDir + "/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);  // so that opening it to read does not wait
  ASSERT_GE(writer, 0);
  EXPECT_EQ(thrown([&] { m->addInlineAttachment("pipe", "", fifo, "cid"); }),
            "CMapiMessage::addInlineAttachment lpAttach->SaveChanges failed Illegal seek");
  ::close(writer);
  EXPECT_EQ(attachmentCount(), 0u);
}

}  // namespace
