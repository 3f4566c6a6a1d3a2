// A received message: its property reads, addresses, .msg export, delete
// flag and end.
#include "inbox_fixture.h"

#include "platform/platform.h"

#include <tolvane/directory.h>

#include <mapicode.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using mapifixture::MessageDef;
using mapifixture::Recipient;
using mapifixture::Value;
using testutil::InboxTest;

const ULONG kInternetMessageId = PROP_TAG(PT_STRING8, 0x1035);
const ULONG kBodyHtml = PROP_TAG(PT_STRING8, 0x1013);

class MessageTest : public InboxTest {
 protected:
  static CStringList read(CMapiMessage* m, void (CMapiMessage::*f)(CStringList&)) {
    CStringList list;
    (m->*f)(list);
    return list;
  }
  // One-off entry identifier of an SMTP address, made by the address book.
  std::string oneOff(const std::string& name, const std::string& address) {
    LPADRBOOK ab = nullptr;
    EXPECT_EQ(m_store->m_lpSession->OpenAddressBook(0, nullptr, AB_NO_DIALOG, &ab), S_OK);
    ULONG cb = 0;
    LPENTRYID eid = nullptr;
    EXPECT_EQ(ab->CreateOneOff(reinterpret_cast<LPTSTR>(const_cast<char*>(name.c_str())),
                               reinterpret_cast<LPTSTR>(const_cast<char*>("SMTP")),
                               reinterpret_cast<LPTSTR>(const_cast<char*>(address.c_str())), 0, &cb, &eid),
              S_OK);
    std::string bytes(reinterpret_cast<const char*>(eid), cb);
    MAPIFreeBuffer(eid);
    ab->Release();
    return bytes;
  }
  static std::string flatEntryList(const std::vector<std::string>& ids) {
    std::string entries;
    for (const auto& id : ids) {
      uint32_t cb = static_cast<uint32_t>(id.size());
      entries.append(reinterpret_cast<const char*>(&cb), 4);
      entries += id;
      while (entries.size() % 4) entries += '\0';
    }
    uint32_t count = static_cast<uint32_t>(ids.size()), size = static_cast<uint32_t>(entries.size());
    return std::string(reinterpret_cast<const char*>(&count), 4) + std::string(reinterpret_cast<const char*>(&size), 4) +
           entries;
  }
};

TEST_F(MessageTest, StringReadsAndTheirAbsentDefaults) {
  CMapiMessage* m = only(withProps({Value::String(PR_SUBJECT_A, "Grüße"), Value::String(PR_BODY_A, "plain body"),
                                    Value::String(kBodyHtml, "<p>html</p>"),
                                    Value::String(kInternetMessageId, "<id@example.org>")}));
  EXPECT_EQ(m->getSubject(), "Grüße");
  EXPECT_EQ(m->getText(), "plain body");
  EXPECT_EQ(m->getHTML(), "<p>html</p>");
  EXPECT_EQ(m->getID(), "<id@example.org>");
  EXPECT_NE(log().find("CMapiMessage::getSubject:32 Grüße\n"), std::string::npos);
}

TEST_F(MessageTest, AbsentPropertiesGiveEmptyTextsAndZeroDates) {
  CMapiMessage* m = only(withProps({Value::Long(PR_MESSAGE_FLAGS, 0)}));
  EXPECT_EQ(m->getSubject(), "");
  EXPECT_EQ(m->getText(), "");
  EXPECT_EQ(m->getHTML(), "");
  EXPECT_EQ(m->getID(), "");
  EXPECT_EQ(m->getSentDate(), 0.0);
  EXPECT_EQ(m->getReceiveTime(), 0.0);
  EXPECT_EQ(m->getPriority(), "3");
  EXPECT_NE(log().find("CMapiMessage::getSubject:32 \n"), std::string::npos);
  EXPECT_EQ(log().find("returning MAPIMessage"), std::string::npos);
}

TEST_F(MessageTest, DatesAreAutomationDatesOfTheStoredUtcTime) {
  // 2000-01-01 12:00:00 UTC and 1999-12-31 00:00:00 UTC.
  CMapiMessage* m = only(withProps({Value::UnixTime(PR_CLIENT_SUBMIT_TIME, 946728000),
                                    Value::UnixTime(PR_MESSAGE_DELIVERY_TIME, 946598400)}));
  EXPECT_DOUBLE_EQ(m->getSentDate(), 36526.5);
  EXPECT_DOUBLE_EQ(m->getReceiveTime(), 36525.0);
}

TEST_F(MessageTest, PriorityFromPriorityThenImportance) {
  struct Case {
    std::vector<Value> props;
    const char* expected;
  };
  const Case cases[] = {
      {{Value::Long(PR_PRIORITY, 1)}, "1"},   {{Value::Long(PR_PRIORITY, 0)}, "3"},
      {{Value::Long(PR_PRIORITY, -1)}, "5"},  {{Value::Long(PR_PRIORITY, 7)}, "1"},
      {{Value::Long(PR_PRIORITY, -9)}, "5"},  {{Value::Long(PR_IMPORTANCE, 2)}, "1"},
      {{Value::Long(PR_IMPORTANCE, 1)}, "3"}, {{Value::Long(PR_IMPORTANCE, 0)}, "5"},
      {{Value::Long(PR_PRIORITY, -1), Value::Long(PR_IMPORTANCE, 2)}, "5"},
  };
  for (const auto& c : cases) add(withProps(c.props));
  openInbox();
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
    EXPECT_EQ(fetch(static_cast<ULONG>(i + 1))->getPriority(), cases[i].expected) << i;
}

// A received message's envelope values are read together with the first of them (one
// IMessage::GetProps); a failed read keeps nothing, so the next one reads again.
TEST_F(MessageTest, FailedPriorityReadFallsBackToImportance) {
  for (int k = 0; k < 2; ++k) add(withProps({Value::Long(PR_PRIORITY, 1), Value::Long(PR_IMPORTANCE, 0)}));
  openInbox();
  CMapiMessage* first = fetch(1);
  CMapiMessage* second = fetch(2);
  mapitest::addFault("IMessage::GetProps", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(first->getPriority(), "5");
  EXPECT_EQ(first->getPriority(), "1") << "read again, and kept";
  mapitest::addFault("IMessage::GetProps", 1, MAPI_E_CALL_FAILED);
  mapitest::addFault("IMessage::GetProps", 2, MAPI_E_NO_ACCESS);
  EXPECT_EQ(thrown([&] { second->getPriority(); }).rfind("CMapiMessage::getPriority, Unable to retrieve priority ", 0),
            0u);
}

// What the message object writes itself is what it reads next, its kept envelope values
// notwithstanding.
TEST_F(MessageTest, EnvelopeValuesWrittenAreReadAnew) {
  CMapiMessage* m = only(withProps({Value::String(PR_SUBJECT_A, "old"), Value::Long(PR_PRIORITY, 1)}));
  EXPECT_EQ(m->getSubject(), "old");
  m->setSubject("new");
  m->setPriority(-1);
  EXPECT_EQ(m->getSubject(), "new");
  EXPECT_EQ(m->getPriority(), "5");
}

TEST_F(MessageTest, BodyAboveTheSizeLimitFailsAPropertyRead) {
  mapitest::setSizeLimit(64);
  CMapiMessage* m = only(withProps({Value::String(PR_BODY_A, std::string(100, 'b'))}));
  std::string text = thrown([&] { m->getText(); });
  EXPECT_EQ(text.rfind("CMapiMessage::getText, Unable to retrieve message text ", 0), 0u) << text;
  EXPECT_GT(text.size(), strlen("CMapiMessage::getText, Unable to retrieve message text ")) << "no MAPI error text";
}

TEST_F(MessageTest, MessageWithoutItsMapiMessage) {
  CMapiMessage m;
  EXPECT_EQ(thrown([&] { m.getSubject(); }), "CMapiMessage::getSubject, m_lpMessage == NULL");
  EXPECT_EQ(m.getID(), "MAPIMessage");
  errno = ENOENT;
  EXPECT_EQ(thrown([&] { m.getText(); }), std::string("CMapiMessage::getText, Unable to retrieve message text ") +
                                              strerror(ENOENT));
  EXPECT_EQ(thrown([&] { m.getSentDate(); }), "CMapiMessage::getSentDate, m_lpMessage == NULL");
  EXPECT_EQ(thrown([&] { m.getPriority(); }), "CMapiMessage::getPriority, m_lpMessage == NULL");
  EXPECT_EQ(thrown([&] { CStringList from; m.getFrom(from); }), "CMapiMessage::getFrom, m_lpMessage == NULL");
  CStringList list;
  EXPECT_EQ(thrown([&] { m.getTo(list); }), "CMapiMessage::getTo, m_lpMessage == NULL");
  EXPECT_EQ(thrown([&] { m.getCC(list); }), "CMapiMessage::getAddress,  m_lpMessage  == NULL");
  EXPECT_EQ(thrown([&] { m.getReplyTo(list); }),
            "CMapiMessage::getReplyTo Unable to retrieve message reply to names, MAPI_E_NOT_FOUND ");
  EXPECT_EQ(thrown([&] { m.SaveToMSG(); }), "CMapiMessage::SavetoMSG failed, m_lpMessage == NULL \n ");
  EXPECT_TRUE(list.empty());
  EXPECT_NE(log().find("m_lpMessage is NULL, using GetLastError method\n"), std::string::npos);
}

TEST_F(MessageTest, SenderNamesAreEscapedAndPrefixesCut) {
  add(withProps({Value::String(PR_SENDER_NAME_A, "Sales, \"Desk\""),
                 Value::String(PR_SENDER_EMAIL_ADDRESS_A, "SMTP:desk@example.com")}));
  add(withProps({Value::String(PR_SENDER_NAME_A, "Only Name")}));
  add(withProps({Value::String(PR_SENDER_EMAIL_ADDRESS_A, "x@example.com")}));
  add(withProps({Value::String(PR_SENDER_NAME_A, "Odd"),
                 Value::String(PR_SENDER_EMAIL_ADDRESS_A, "junk smtp:Mixed@Example.com")}));
  openInbox();
  EXPECT_EQ(read(fetch(1), &CMapiMessage::getFrom), CStringList{"\"Sales, \\\"Desk\\\"\" <desk@example.com>"});
  EXPECT_EQ(read(fetch(2), &CMapiMessage::getFrom), CStringList{});
  EXPECT_EQ(read(fetch(3), &CMapiMessage::getFrom), CStringList{"\"\" <x@example.com>"});
  EXPECT_EQ(read(fetch(4), &CMapiMessage::getFrom), CStringList{"\"Odd\" <Mixed@Example.com>"});
}

TEST_F(MessageTest, RecipientsByTypeInTableOrder) {
  MessageDef def;
  def.recipients = {Recipient::make(MAPI_TO, "Ann \"A\"", "ann@example.com"),
                    Recipient::make(MAPI_CC, "Cid", "SMTP:cid@example.com"),
                    Recipient::make(MAPI_TO, "Bob", "bob@example.com")};
  Recipient noType = Recipient::make(MAPI_TO, "No Type", "nt@example.com");
  noType.props.erase(noType.props.begin() + 3);  // PR_ADDRTYPE
  def.recipients.push_back(noType);
  CMapiMessage* m = only(def);
  EXPECT_EQ(read(m, &CMapiMessage::getTo),
            (CStringList{"\"Ann \"A\"\" <ann@example.com>", "\"Bob\" <bob@example.com>"}));
  EXPECT_EQ(read(m, &CMapiMessage::getCC), CStringList{"\"Cid\" <cid@example.com>"});
  EXPECT_EQ(read(m, &CMapiMessage::getBCC), CStringList{});
}

TEST_F(MessageTest, ExchangeAddressesResolveThroughTheDirectory) {
  mapidirectory::Entry e;
  e.displayName = "Dana";
  e.smtpAddress = "dana@example.com";
  e.distinguishedName = "/o=Example/ou=Exchange/cn=Recipients/cn=dana";
  e.proxies = {"smtp:d@example.com"};
  std::string error;
  ASSERT_EQ(mapidirectory::add(e, error), S_OK) << error;
  mapidirectory::Entry bare;
  bare.displayName = "No Proxies";
  bare.distinguishedName = "/o=Example/cn=Recipients/cn=bare";
  ASSERT_EQ(mapidirectory::add(bare, error), S_OK) << error;

  MessageDef def;
  def.props = {Value::String(PR_SENDER_NAME_A, "Dana"), Value::String(PR_SENDER_EMAIL_ADDRESS_A, e.distinguishedName)};
  def.recipients = {Recipient::make(MAPI_TO, "No Proxies", bare.distinguishedName)};
  CMapiMessage* m = only(def);
  EXPECT_EQ(read(m, &CMapiMessage::getFrom), CStringList{"\"Dana\" <dana@example.com>"});
  EXPECT_EQ(read(m, &CMapiMessage::getTo), CStringList{"\"No Proxies\" <>"});
  mapitest::startJournal();
  read(m, &CMapiMessage::getFrom);
  EXPECT_EQ(mapitest::journalCount("IMAPISession::OpenAddressBook"), 0u) << "the address book is opened once";
}

TEST_F(MessageTest, ReplyToEntriesAreUpperCaseAndAligned) {
  openInbox();
  std::string first = oneOff("Odd Name", "reply1@example.com");
  std::string second = oneOff("R", "Reply2@Example.com");
  ASSERT_NE(first.size() % 4, 0u) << "the test needs an entry that is not a multiple of 4";
  m_folder.reset();
  m_store.reset();
  add(withProps({Value::Binary(PR_REPLY_RECIPIENT_ENTRIES, flatEntryList({first, second}))}));
  add(withProps({Value::String(PR_SENDER_NAME_A, "Sender"),
                 Value::String(PR_SENDER_EMAIL_ADDRESS_A, "SMTP:sender@example.com")}));
  add(withProps({Value::String(PR_SENDER_EMAIL_ADDRESS_A, "sender@example.com")}));
  add(withProps({Value::Binary(PR_REPLY_RECIPIENT_ENTRIES, flatEntryList({first}).substr(0, 12))}));
  openInbox();
  EXPECT_EQ(read(fetch(1), &CMapiMessage::getReplyTo), (CStringList{"REPLY1@EXAMPLE.COM", "REPLY2@EXAMPLE.COM"}));
  EXPECT_EQ(read(fetch(2), &CMapiMessage::getReplyTo), CStringList{"\"Sender\" <sender@example.com>"});
  std::string text = thrown([&] { read(fetch(3), &CMapiMessage::getReplyTo); });
  EXPECT_EQ(text.rfind("CMapiMessage::getReplyTo, Unable to retrieve message reply to names ", 0), 0u) << text;
  // A list whose entry runs past its end is refused, not read beyond it.
  EXPECT_EQ(thrown([&] { read(fetch(4), &CMapiMessage::getReplyTo); }),
            "CMapiMessage::getReplyTo, the reply recipient entries are damaged");
}

TEST_F(MessageTest, RecipientTableFailures) {
  MessageDef def;
  def.recipients = {Recipient::make(MAPI_TO, "Ann", "ann@example.com")};
  CMapiMessage* m = only(def);
  mapitest::addFault("IMAPITable::SetColumns", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(read(m, &CMapiMessage::getTo), CStringList{});
  EXPECT_NE(log().find("CMapiMessage::getAddress SetColumns failed: "), std::string::npos);
  mapitest::addFault("IMAPITable::GetRowCount", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(thrown([&] { read(m, &CMapiMessage::getTo); }).rfind("CMapiMessage::getAddress GetRowCount failed ", 0), 0u);
  mapitest::addFault("IMAPITable::QueryRows", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(thrown([&] { read(m, &CMapiMessage::getTo); }).rfind("CMapiMessage::getAddress QueryRows failed ", 0), 0u);
  EXPECT_NE(log().find("CMapiMessage::getAddress QueryRows failed CMapiMessage::getAddress QueryRows failed "),
            std::string::npos);
  mapitest::addFault("IMessage::GetRecipientTable", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(thrown([&] { read(m, &CMapiMessage::getTo); }).rfind("getAddress GetRecipientTable failed: ", 0), 0u);
  EXPECT_EQ(read(m, &CMapiMessage::getTo), CStringList{"\"Ann\" <ann@example.com>"});
}

// Compound-file directory entries hold their names as UTF-16LE.
bool hasStream(const std::string& file, const std::string& name) {
  std::string wide;
  for (char c : name) {
    wide += c;
    wide += '\0';
  }
  return file.find(wide) != std::string::npos;
}

TEST_F(MessageTest, SaveToMsgWritesACompoundFileWithoutThePlainBody) {
  MessageDef def;
  def.props = {Value::String(PR_SUBJECT_A, "Exported"), Value::String(PR_BODY_A, "plain"),
               Value::String(kBodyHtml, "<b>html</b>")};
  def.recipients = {Recipient::make(MAPI_TO, "Ann", "ann@example.com")};
  MessageDef inner;
  inner.props = {Value::String(PR_SUBJECT_A, "inner")};
  inner.attachments = {mapifixture::Attachment::file("inner.txt", "inner data")};
  def.attachments = {mapifixture::Attachment::file("a.bin", std::string(5000, 'a')),
                     mapifixture::Attachment::message("Inner", inner)};
  CMapiMessage* m = only(def);
  mapitest::startJournal();
  std::string path = m->SaveToMSG();
  // One commit writes the file, and leaves it to the system's cache: the
  // copy is the caller's to read and goes with the message.
  std::vector<std::string> commits;
  for (const std::string& line : mapitest::journal())
    if (line.rfind("IStorage::Commit", 0) == 0) commits.push_back(line);
  mapitest::stopJournal();
  mapitest::clearJournal();
  ASSERT_EQ(commits.size(), 1u);
  EXPECT_NE(commits[0].find("flags=0x4"), std::string::npos) << commits[0];
  EXPECT_EQ(path.rfind(m_tempDir + "/mpi", 0), 0u) << path;
  EXPECT_EQ(m->m_strTempFile, path);
  std::string bytes = testutil::readFile(path);
  ASSERT_GE(bytes.size(), 8u);
  EXPECT_EQ(bytes.substr(0, 8), std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8));
  EXPECT_TRUE(hasStream(bytes, "__substg1.0_0037001F")) << "subject";
  EXPECT_TRUE(hasStream(bytes, "__substg1.0_10130102")) << "HTML body";
  EXPECT_TRUE(hasStream(bytes, "__recip_version1.0_#00000000"));
  EXPECT_TRUE(hasStream(bytes, "__attach_version1.0_#00000000"));
  EXPECT_TRUE(hasStream(bytes, "__substg1.0_3701000D")) << "the embedded message";
  EXPECT_FALSE(hasStream(bytes, "__substg1.0_1000001F")) << "the plain body must be left out";

  std::string second = m->SaveToMSG();
  EXPECT_NE(second, path);
  EXPECT_EQ(m->m_strTempFile, second);
  m->setDeleteFlag(false);
  EXPECT_TRUE(platform::fileExists(path)) << "only the last file belongs to the message";
  EXPECT_FALSE(platform::fileExists(second));
  EXPECT_EQ(m->m_strTempFile, "");
  EXPECT_NE(log().find("CMapiMessage::setDeleteFlag Deleting file : " + second + "\n"), std::string::npos);
  platform::deleteFile(path);
}

TEST_F(MessageTest, TheMessageRemovesItsFileWhenItEnds) {
  CMapiMessage* m = only(withProps({Value::String(PR_SUBJECT_A, "x")}));
  std::string path = m->SaveToMSG();
  m_folder->Close(false);
  EXPECT_FALSE(platform::fileExists(path));
  EXPECT_NE(log().find("CMapiMessage::~CMapiMessage Deleting file : " + path + "\n"), std::string::npos);
}

TEST_F(MessageTest, SaveToMsgFailures) {
  CMapiMessage* m = only(withProps({Value::String(PR_SUBJECT_A, "x")}));
  m_store->m_strTempDir = m_tempDir + "/missing";
  EXPECT_EQ(thrown([&] { m->SaveToMSG(); }), "CMapiMessage::SaveToMSG failed to create temp file: 2\n");
  EXPECT_EQ(m->m_strTempFile, "");
  m_store->m_strTempDir = m_tempDir;

  struct Case {
    const char* method;
    const char* prefix;
  };
  const Case cases[] = {
      {"StgCreateDocfile", "CMapiMessage::SavetoMSG, StgCreateDocfile failed"},
      {"IMessage::CopyTo", "CMapiMessage::SavetoMSG, m_lpMessage->CopyTo failed "},
      {"IMessage::SaveChanges", "CMapiMessage::SavetoMSG, SaveChanges failed "},
      {"IStorage::Commit", "CMapiMessage::SavetoMSG, pStorage -> Commit failed "},
  };
  for (const auto& c : cases) {
    // Sticky: every call of the method fails, wherever the export makes it.
    mapitest::addStickyFault(c.method, 1, MAPI_E_NOT_ENOUGH_DISK);
    std::string text = thrown([&] { m->SaveToMSG(); });
    mapitest::clearFaults();
    EXPECT_EQ(text.rfind(c.prefix, 0), 0u) << c.method << ": " << text;
    EXPECT_NE(m->m_strTempFile, "") << c.method << ": the made file stays named for removal";
  }
  std::string last = m->m_strTempFile;
  m->setDeleteFlag(false);
  EXPECT_FALSE(platform::fileExists(last));
}

TEST_F(MessageTest, StaticSaveToMsgWithoutAMessage) {
  std::string path = m_tempDir + "/none.msg";
  EXPECT_EQ(CMapiMessage::SaveToMSG(nullptr, path), 1);
  EXPECT_FALSE(platform::fileExists(path));
  EXPECT_NE(log().find("CMapiMessage::SaveToMSG failed, pMessage == NULL\n"), std::string::npos);
}

}  // namespace

namespace {

TEST_F(MessageTest, ExportNeverWritesThroughASymbolicLink) {
  CMapiMessage* m = only(withProps({Value::String(PR_SUBJECT_A, "x")}));
  std::string victim = m_tempDir + "/victim";
  testutil::writeFile(victim, "keep me");
  std::string link = m_tempDir + "/planted.msg";
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  EXPECT_LT(CMapiMessage::SaveToMSG(m->m_lpMessage, link), 0);
  EXPECT_EQ(testutil::readFile(victim), "keep me");
}

}  // namespace
