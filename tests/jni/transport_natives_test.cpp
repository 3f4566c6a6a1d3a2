// The composition and transport natives, called from a real Java VM: their
// conversion orders and texts, and a message composed in Java that arrives in
// another profile's Inbox and reads back identical through the natives.
#include "jvm_fixture.h"

#include <tolvane/mapitest.h>
#include <tolvane/profiles.h>
#include <tolvane/spool.h>

#include <mapicode.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>
#include <mapix.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kGetTransportSig = kGetStoreSig;
const char* const kStringSig = "(JLjava/lang/String;)V";

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

class TransportNatives : public JvmTest {
 protected:
  void SetUp() override {
    JvmTest::SetUp();
    mapitest::reset();
    ensureProfile("tsender", "sender@tolvane.test", "Sender");
    ensureProfile("treceiver", "receiver@tolvane.test", "Receiver");
    ensureProfile("tbcc", "hidden@tolvane.test", "Hidden");
    const char* temp = getenv("TEMP");
    m_temp = temp ? temp : "/tmp";
    mkdir(m_temp.c_str(), 0700);
    m_logPath = m_temp + "/mapi-ee-" + std::to_string(getpid()) + ".log";
    unlink(m_logPath.c_str());
    setenv("TOLVANE_MAPI_LOGS", "1", 1);
    callBoolean("initMapi", "()Z");
    m_objects = mapitest::liveObjects();
  }
  void TearDown() override {
    if (m_message) callVoid("destroyMessage", "(J)V", m_message);
    if (m_transport) callVoid("closeTransport", "(J)V", m_transport);
    mapitest::reset();
    mapitest::setBackgroundSpooler(true);
    unsetenv("TOLVANE_MAPI_LOGS");
    EXPECT_EQ(mapitest::liveObjects(), m_objects) << "MAPI objects were not released";
    JvmTest::TearDown();
  }
  std::string log() {
    static const std::regex prefix(std::to_string(getpid()) + " > [^>]*  > ");
    return std::regex_replace(readFile(m_logPath), prefix, "");
  }

  void openTransport(const char* sentFolder = "Sent Items") {
    m_transport = callLong("getTransport", kGetTransportSig, str("tsender"), str("secret-password"),
                           str(m_temp.c_str()), str(sentFolder));
    ASSERT_EQ("", takeException());
    ASSERT_NE(m_transport, 0);
    m_message = callLong("createMessage", "(J)J", m_transport);
    ASSERT_EQ("", takeException());
    ASSERT_NE(m_message, 0);
  }

  // Opens a store of this process through MAPI, for what the natives do not
  // read (named properties, folders other than the Inbox).
  LPMDB openStore(const char* profile, LPMAPISESSION* session) {
    EXPECT_EQ(MAPILogonEx(0, reinterpret_cast<LPTSTR>(const_cast<char*>(profile)), nullptr,
                          MAPI_NEW_SESSION | MAPI_EXTENDED | MAPI_NO_MAIL, session),
              S_OK);
    LPMAPITABLE table = nullptr;
    (*session)->GetMsgStoresTable(0, &table);
    SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
    LPSRowSet rows = nullptr;
    HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows);
    LPMDB store = nullptr;
    (*session)->OpenMsgStore(0, rows->aRow[0].lpProps[0].Value.bin.cb,
                             reinterpret_cast<LPENTRYID>(rows->aRow[0].lpProps[0].Value.bin.lpb), nullptr,
                             MAPI_BEST_ACCESS, &store);
    FreeProws(rows);
    table->Release();
    return store;
  }

  // The display names (by recipient type) of the sender's queued message
  // with this subject, which is then deleted (and so leaves the queue).
  std::map<LONG, std::string> takeBackFromOutbox(const char* subject) {
    std::map<LONG, std::string> names;
    LPMAPISESSION session = nullptr;
    LPMDB store = openStore("tsender", &session);
    LPSPropValue id = nullptr;
    ULONG type = 0;
    LPMAPIFOLDER outbox = nullptr;
    LPMAPITABLE contents = nullptr;
    LPSRowSet rows = nullptr;
    SizedSPropTagArray(2, entry) = {2, {PR_ENTRYID, PR_SUBJECT_A}};
    if (SUCCEEDED(HrGetOneProp(store, PR_IPM_OUTBOX_ENTRYID, &id)) &&
        SUCCEEDED(store->OpenEntry(id->Value.bin.cb, reinterpret_cast<LPENTRYID>(id->Value.bin.lpb), nullptr,
                                   MAPI_MODIFY, &type, reinterpret_cast<LPUNKNOWN*>(&outbox))) &&
        SUCCEEDED(outbox->GetContentsTable(0, &contents)) &&
        SUCCEEDED(HrQueryAllRows(contents, reinterpret_cast<LPSPropTagArray>(&entry), nullptr, nullptr, 0, &rows))) {
      for (ULONG r = 0; r < rows->cRows; ++r) {
        const SPropValue* p = rows->aRow[r].lpProps;
        if (PROP_TYPE(p[1].ulPropTag) != PT_STRING8 || strcmp(p[1].Value.lpszA, subject) != 0) continue;
        LPMESSAGE sent = nullptr;
        LPMAPITABLE recipients = nullptr;
        LPSRowSet recipientRows = nullptr;
        SizedSPropTagArray(2, columns) = {2, {PR_RECIPIENT_TYPE, PR_DISPLAY_NAME_A}};
        if (SUCCEEDED(outbox->OpenEntry(p[0].Value.bin.cb, reinterpret_cast<LPENTRYID>(p[0].Value.bin.lpb), nullptr,
                                        0, &type, reinterpret_cast<LPUNKNOWN*>(&sent))) &&
            SUCCEEDED(sent->GetRecipientTable(0, &recipients)) &&
            SUCCEEDED(HrQueryAllRows(recipients, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0,
                                     &recipientRows)))
          for (ULONG k = 0; k < recipientRows->cRows; ++k) {
            const SPropValue* v = recipientRows->aRow[k].lpProps;
            names[v[0].Value.l] = PROP_TYPE(v[1].ulPropTag) == PT_STRING8 ? v[1].Value.lpszA : "";
          }
        if (recipientRows) FreeProws(recipientRows);
        if (recipients) recipients->Release();
        if (sent) sent->Release();
        SBinary bin = p[0].Value.bin;
        ENTRYLIST list = {1, &bin};
        EXPECT_EQ(S_OK, outbox->DeleteMessages(&list, 0, nullptr, 0));
      }
    }
    if (rows) FreeProws(rows);
    if (contents) contents->Release();
    if (outbox) outbox->Release();
    MAPIFreeBuffer(id);
    store->Release();
    session->Logoff(0, 0, 0);
    session->Release();
    return names;
  }

  // Number of messages in a well-known folder of a profile's store.
  ULONG countIn(const char* profile, ULONG folderTag) {
    LPMAPISESSION session = nullptr;
    LPMDB store = openStore(profile, &session);
    ULONG n = 0;
    LPSPropValue id = nullptr;
    if (SUCCEEDED(HrGetOneProp(store, folderTag, &id))) {
      ULONG type = 0;
      LPMAPIFOLDER folder = nullptr;
      if (SUCCEEDED(store->OpenEntry(id->Value.bin.cb, reinterpret_cast<LPENTRYID>(id->Value.bin.lpb), nullptr, 0,
                                     &type, reinterpret_cast<LPUNKNOWN*>(&folder)))) {
        LPMAPITABLE contents = nullptr;
        folder->GetContentsTable(0, &contents);
        contents->GetRowCount(0, &n);
        contents->Release();
        folder->Release();
      }
    }
    MAPIFreeBuffer(id);
    store->Release();
    session->Logoff(0, 0, 0);
    session->Release();
    return n;
  }

  std::string m_temp;
  std::string m_logPath;
  long m_objects = 0;
  jlong m_transport = 0;
  jlong m_message = 0;
};

TEST_F(TransportNatives, HandlesAndStringsAreCheckedInEachMethodsOrder) {
  // Handle first, before the strings.
  callVoid("setMessageXHeader", "(JLjava/lang/String;Ljava/lang/String;)V", jlong{0}, str("X-A"), str("b"));
  EXPECT_EQ("Invalid class pointer.", takeException());
  EXPECT_EQ(0, callLong("createMessage", "(J)J", jlong{0}));
  EXPECT_EQ("Invalid class pointer.", takeException());
  callVoid("setMessagePriority", "(JI)V", jlong{0}, jint{1});
  EXPECT_EQ("Invalid class pointer.", takeException());
  callVoid("sendMessage", "(J)V", jlong{0});
  EXPECT_EQ("Invalid class pointer.", takeException());
  // After the strings; an empty body returns before the handle test.
  callVoid("setMessageSubject", kStringSig, jlong{0}, str("x"));
  EXPECT_EQ("Invalid class pointer.", takeException());
  callVoid("setMessagePlainTextBody", kStringSig, jlong{0}, str(""));
  EXPECT_EQ("", takeException());
  callVoid("setMessageHTMLBody", kStringSig, jlong{0}, static_cast<jstring>(nullptr));
  EXPECT_EQ("", takeException());
  callVoid("addMessageAttachment", kAttachSig, jlong{0}, str("a"), str("b"), str("c"));
  EXPECT_EQ("Invalid class pointer.", takeException());
  callVoid("closeTransport", "(J)V", jlong{0});
  EXPECT_EQ("", takeException());
}

TEST_F(TransportNatives, GetTransportLogsItsNameOnlyAndFailsCleanly) {
  jlong t = callLong("getTransport", kGetTransportSig, str("no-such-profile"), str("secret-password"),
                     str(m_temp.c_str()), str("Sent Items"));
  EXPECT_EQ(0, t);
  EXPECT_EQ("MAPILogonEx Failed - Unable to login to MAPI", takeException());
  std::string text = log();
  EXPECT_NE(text.find("Java_com_plimo_mail_mapi_MAPINative_getTransport\n"), std::string::npos);
  EXPECT_EQ(text.find("secret-password"), std::string::npos);
  EXPECT_EQ(text.find("Sent Items"), std::string::npos) << "no line of the argument values";
}

TEST_F(TransportNatives, FailuresGiveEachMethodsFixedTextOrTheOperationsOwn) {
  mapitest::setBackgroundSpooler(false);
  openTransport();
  mapitest::addFault("IMessage::SetProps", 1, MAPI_E_CALL_FAILED);
  callVoid("setMessageSubject", kStringSig, m_message, str("s"));
  EXPECT_EQ("Unable to set subject for message", takeException());
  mapitest::addFault("IMessage::ModifyRecipients", 1, MAPI_E_CALL_FAILED);
  callVoid("addMessageToRecipient", kNameAddressSig, m_message, str("a"), str("a@b.example"));
  EXPECT_EQ("Unable to add recipient for message", takeException());
  mapitest::addFault("IMessage::ModifyRecipients", 1, MAPI_E_CALL_FAILED);
  callVoid("addMessageCCRecipient", kNameAddressSig, m_message, str("a"), str("a@b.example"));
  EXPECT_EQ("Unable to set CC recipient for message", takeException());
  mapitest::addFault("IMessage::ModifyRecipients", 1, MAPI_E_CALL_FAILED);
  callVoid("addMessageBCCRecipient", kNameAddressSig, m_message, str("a"), str("a@b.example"));
  EXPECT_EQ("Unable to set BCC recipient for message", takeException());
  mapitest::addFault("IMessage::SetProps", 1, MAPI_E_CALL_FAILED);
  callVoid("addMessageFrom", kNameAddressSig, m_message, str("a"), str("a@b.example"));
  EXPECT_EQ("Unable to set from address for message", takeException());
  mapitest::addFault("IMessage::SetProps", 1, MAPI_E_CALL_FAILED);
  callVoid("setMessageReplyTo", kNameAddressSig, m_message, str("a"), str("a@b.example"));
  EXPECT_EQ("Unable to set Reply To address for message", takeException());
  mapitest::addFault("IMessage::SetProps", 1, MAPI_E_CALL_FAILED);
  callVoid("setMessagePriority", "(JI)V", m_message, jint{1});
  EXPECT_EQ("Unable to set priority for message", takeException());
  mapitest::addFault("IMessage::SetProps", 1, MAPI_E_CALL_FAILED);
  callVoid("setMessagePlainTextBody", kStringSig, m_message, str("b"));
  EXPECT_EQ("Unable to set content for message", takeException());
  callVoid("addMessageAttachment", kAttachSig, m_message, str("a"), str("text/plain"),
           str((m_temp + "/does-not-exist").c_str()));
  EXPECT_EQ("Unable to set content for message", takeException());
  callVoid("addMessageInlineAttachment", kInlineSig, m_message, str("a"), str("text/plain"),
           str((m_temp + "/does-not-exist").c_str()), str("cid"));
  EXPECT_EQ("Unable to set content for message", takeException());
  // setXHeader reports nothing.
  mapitest::addFault("IMessage::GetIDsFromNames", 1, MAPI_E_CALL_FAILED);
  callVoid("setMessageXHeader", "(JLjava/lang/String;Ljava/lang/String;)V", m_message, str("X-A"), str("b"));
  EXPECT_EQ("", takeException());
  // No recipient: the submission is refused with the operation's own text.
  callVoid("sendMessage", "(J)V", m_message);
  std::string refused = takeException();
  EXPECT_EQ(0u, refused.rfind("CMapiMessage::send failed ", 0)) << refused;
}

TEST_F(TransportNatives, AToRecipientWithoutANameTakesTheAddressAsName) {
  mapitest::setBackgroundSpooler(false);
  openTransport();
  callVoid("addMessageToRecipient", kNameAddressSig, m_message, static_cast<jstring>(nullptr),
           str("to@tolvane.test"));
  callVoid("addMessageCCRecipient", kNameAddressSig, m_message, static_cast<jstring>(nullptr),
           str("cc@tolvane.test"));
  ASSERT_EQ("", takeException());
  auto to = toStdVector(static_cast<jobjectArray>(callObject("getMessageTo", "(J)[Ljava/lang/String;", m_message)));
  auto cc = toStdVector(static_cast<jobjectArray>(callObject("getMessageCC", "(J)[Ljava/lang/String;", m_message)));
  ASSERT_EQ("", takeException());
  ASSERT_EQ(1u, to.size());
  ASSERT_EQ(1u, cc.size());
  EXPECT_NE(std::string::npos, to[0].find("to@tolvane.test"));
  EXPECT_NE(std::string::npos, cc[0].find("cc@tolvane.test"));
  // As stored once submitted: the To row carries the address as its display
  // name, the CC row none.
  callVoid("setMessageSubject", kStringSig, m_message, str("Recipients without names"));
  callVoid("sendMessage", "(J)V", m_message);
  ASSERT_EQ("", takeException());
  EXPECT_EQ(takeBackFromOutbox("Recipients without names"),
            (std::map<LONG, std::string>{{MAPI_TO, "to@tolvane.test"}, {MAPI_CC, ""}}));
}

// Everything a sender sets, sent to another profile of the same home and
// read back there through the natives.
TEST_F(TransportNatives, AComposedMessageArrivesWhole) {
  ULONG inboxBefore = 0;
  {
    jlong store = callLong("getStore", kGetStoreSig, str("treceiver"), str(""), str(""), str(m_temp.c_str()));
    jlong folder = callLong("getInbox", "(J)J", store);
    callVoid("openFolder", "(JI)V", folder, jint{0});
    inboxBefore = static_cast<ULONG>(callInt("getFolderMessageCount", "(J)I", folder));
    callVoid("closeFolder", "(JZ)V", folder, JNI_FALSE);
    callVoid("closeStore", "(J)V", store);
    ASSERT_EQ("", takeException());
  }
  ULONG sentBefore = countIn("tsender", PR_IPM_SENTMAIL_ENTRYID);
  ULONG outboxBefore = countIn("tsender", PR_IPM_OUTBOX_ENTRYID);

  std::string attachment;
  attachment.reserve(3 * 1024 * 1024);
  for (size_t i = 0; i < 3 * 1024 * 1024; ++i) attachment += static_cast<char>((i * 131 + i / 7) & 0xFF);
  std::string image = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(500, '\x07');
  std::string attachmentPath = m_temp + "/quarterly.bin";
  std::string imagePath = m_temp + "/logo.png";
  writeFile(attachmentPath, attachment);
  writeFile(imagePath, image);

  openTransport();
  const char* subject = "Grüße aus München – Präsentation";
  callVoid("setMessageSubject", kStringSig, m_message, str(subject));
  callVoid("addMessageFrom", kNameAddressSig, m_message, str("Jürgen Sender"), str("sender@tolvane.test"));
  callVoid("addMessageToRecipient", kNameAddressSig, m_message, str("Renée Receiver"), str("receiver@tolvane.test"));
  callVoid("addMessageCCRecipient", kNameAddressSig, m_message, str("Carbon"), str("receiver@tolvane.test"));
  callVoid("addMessageBCCRecipient", kNameAddressSig, m_message, str("Hidden One"), str("hidden@tolvane.test"));
  callVoid("setMessageReplyTo", kNameAddressSig, m_message, str("Replies"), str("replies@tolvane.test"));
  callVoid("setMessagePriority", "(JI)V", m_message, jint{1});
  callVoid("setMessageXHeader", "(JLjava/lang/String;Ljava/lang/String;)V", m_message, str("X-Order-Ref"),
           str("PO-4711"));
  // A reply keeps its thread.
  callVoid("setMessageXHeader", "(JLjava/lang/String;Ljava/lang/String;)V", m_message, str("In-Reply-To"),
           str("<q1@tolvane.test>"));
  callVoid("setMessageXHeader", "(JLjava/lang/String;Ljava/lang/String;)V", m_message, str("references"),
           str("<q0@tolvane.test> <q1@tolvane.test>"));
  callVoid("setMessagePlainTextBody", kStringSig, m_message, str("Hallo Renée,\nsiehe Anhang.\n"));
  callVoid("setMessageHTMLBody", kStringSig, m_message,
           str("<html><body><p>Hallo Renée</p><img src=\"cid:logo@tolvane\"></body></html>"));
  callVoid("addMessageAttachment", kAttachSig, m_message, str("Quarterly Ü.bin"), str("application/octet-stream"),
           str(attachmentPath.c_str()));
  callVoid("addMessageInlineAttachment", kInlineSig, m_message, str("logo.png"), str("image/png"),
           str(imagePath.c_str()), str("logo@tolvane"));
  ASSERT_EQ("", takeException());
  callVoid("sendMessage", "(J)V", m_message);
  ASSERT_EQ("", takeException());
  callVoid("destroyMessage", "(J)V", m_message);
  m_message = 0;

  // The session's spooler sends it in the background.
  std::string error;
  ASSERT_EQ(S_OK, mapispool::waitForEmptyQueue("tsender", 60000, error)) << error;
  callVoid("closeTransport", "(J)V", m_transport);
  m_transport = 0;
  EXPECT_EQ(sentBefore + 1, countIn("tsender", PR_IPM_SENTMAIL_ENTRYID)) << "the sent copy is kept";
  EXPECT_EQ(outboxBefore, countIn("tsender", PR_IPM_OUTBOX_ENTRYID)) << "nothing sent stays in the Outbox";

  // Read it back where it arrived.
  jlong store = callLong("getStore", kGetStoreSig, str("treceiver"), str(""), str(""), str(m_temp.c_str()));
  jlong folder = callLong("getInbox", "(J)J", store);
  callVoid("openFolder", "(JI)V", folder, jint{0});
  ASSERT_EQ("", takeException());
  auto all = static_cast<jobjectArray>(callObject("getFolderMessages", kMessagesSig, folder, newFolder()));
  ASSERT_EQ("", takeException());
  // Delivered once for To and once for CC? No: one copy per mailbox.
  ASSERT_EQ(static_cast<jsize>(inboxBefore + 1), env()->GetArrayLength(all));
  jobject message = env()->GetObjectArrayElement(all, static_cast<jsize>(inboxBefore));
  jlong h = callLongMethod(message, "getMessagePointer", "()J");
  auto s = [&](const char* name) { return readString(name, h); };
  auto list = [&](const char* name) { return readStrings(name, h); };
  EXPECT_EQ(subject, s("getMessageSubject"));
  EXPECT_EQ("Hallo Renée,\nsiehe Anhang.\n", s("getMessageText"));
  EXPECT_NE(std::string::npos, s("getMessageHTML").find("<p>Hallo Renée</p><img src=\"cid:logo@tolvane\">"));
  EXPECT_EQ("1", s("getMessagePriority"));
  std::string id = s("getMessageID");
  EXPECT_FALSE(id.empty());
  auto from = list("getMessageFrom");
  ASSERT_EQ(1u, from.size());
  EXPECT_NE(std::string::npos, from[0].find("sender@tolvane.test")) << from[0];
  EXPECT_NE(std::string::npos, from[0].find("Jürgen Sender")) << from[0];
  auto to = list("getMessageTo");
  ASSERT_EQ(1u, to.size());
  EXPECT_NE(std::string::npos, to[0].find("receiver@tolvane.test"));
  EXPECT_NE(std::string::npos, to[0].find("Renée Receiver")) << to[0];
  auto cc = list("getMessageCC");
  ASSERT_EQ(1u, cc.size());
  EXPECT_NE(std::string::npos, cc[0].find("Carbon"));
  EXPECT_TRUE(list("getMessageBCC").empty()) << "no header names a BCC recipient";
  auto replyTo = list("getMessageReplyTo");
  ASSERT_EQ(1u, replyTo.size());
  EXPECT_NE(std::string::npos, replyTo[0].find("REPLIES@TOLVANE.TEST")) << replyTo[0];
  EXPECT_NE(0.0, callDouble("getMessageSentDate", "(J)D", h));

  jobject multipart = callObject("getMessageContent", kContentSig, h, message);
  ASSERT_EQ("", takeException());
  ASSERT_NE(nullptr, multipart);
  jlong hMultipart = callLongMethod(multipart, "getMultipartPointer", "()J");
  jint count = callInt("getMultipartCount", "(J)I", hMultipart);
  std::map<std::string, std::string> files;  // file name -> bytes written
  std::map<std::string, std::string> types;
  for (jint i = 0; i < count; ++i) {
    jobject part = callObject("getMultipartBodypart", kPartSig, hMultipart, multipart, i);
    ASSERT_EQ("", takeException());
    std::string name = toStd(static_cast<jstring>(callObjectMethod(part, "getFileName", "()Ljava/lang/String;")));
    if (name.empty()) continue;
    types[name] = toStd(static_cast<jstring>(callObjectMethod(part, "getContentType", "()Ljava/lang/String;")));
    std::string out = m_temp + "/received-" + std::to_string(i);
    callVoid("writeBodypartToFile", "(JLjava/lang/String;)V", callLongMethod(part, "getBodyPartPointer", "()J"),
             str(out.c_str()));
    ASSERT_EQ("", takeException());
    files[name] = readFile(out);
  }
  ASSERT_EQ(1u, files.count("Quarterly Ü.bin")) << "parts: " << files.size();
  EXPECT_TRUE(files["Quarterly Ü.bin"] == attachment) << "the 3 MiB attachment differs";
  ASSERT_EQ(1u, files.count("logo.png"));
  EXPECT_TRUE(files["logo.png"] == image);
  EXPECT_EQ("image/png", types["logo.png"]);
  callVoid("closeFolder", "(JZ)V", folder, JNI_FALSE);
  callVoid("closeStore", "(J)V", store);
  ASSERT_EQ("", takeException());

  // The X- header and the content id arrived as properties.
  LPMAPISESSION session = nullptr;
  LPMDB mdb = openStore("treceiver", &session);
  ULONG cb = 0;
  LPENTRYID inboxId = nullptr;
  ASSERT_EQ(S_OK, mdb->GetReceiveFolder(nullptr, 0, &cb, &inboxId, nullptr));
  ULONG type = 0;
  LPMAPIFOLDER inbox = nullptr;
  ASSERT_EQ(S_OK, mdb->OpenEntry(cb, inboxId, nullptr, 0, &type, reinterpret_cast<LPUNKNOWN*>(&inbox)));
  LPMAPITABLE contents = nullptr;
  inbox->GetContentsTable(0, &contents);
  SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
  LPSRowSet rows = nullptr;
  HrQueryAllRows(contents, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows);
  ASSERT_EQ(inboxBefore + 1, rows->cRows);
  const SBinary& eid = rows->aRow[rows->cRows - 1].lpProps[0].Value.bin;
  LPMESSAGE received = nullptr;
  ASSERT_EQ(S_OK, inbox->OpenEntry(eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), nullptr, 0, &type,
                                   reinterpret_cast<LPUNKNOWN*>(&received)));
  const GUID internetHeaders = {0x00020386, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  MAPINAMEID name{};
  name.lpguid = const_cast<LPGUID>(&internetHeaders);
  name.ulKind = MNID_STRING;
  name.Kind.lpwstrName = const_cast<LPWSTR>(L"X-Order-Ref");
  LPMAPINAMEID names = &name;
  LPSPropTagArray tags = nullptr;
  ASSERT_EQ(S_OK, received->GetIDsFromNames(1, &names, 0, &tags));
  LPSPropValue value = nullptr;
  ASSERT_EQ(S_OK, HrGetOneProp(received, PROP_TAG(PT_STRING8, PROP_ID(tags->aulPropTag[0])), &value));
  EXPECT_STREQ("PO-4711", reinterpret_cast<const char*>(value->Value.lpszA));
  MAPIFreeBuffer(value);
  ASSERT_EQ(S_OK, HrGetOneProp(received, PROP_TAG(PT_STRING8, 0x1042), &value));  // In-Reply-To
  EXPECT_STREQ("<q1@tolvane.test>", reinterpret_cast<const char*>(value->Value.lpszA));
  MAPIFreeBuffer(value);
  ASSERT_EQ(S_OK, HrGetOneProp(received, PROP_TAG(PT_STRING8, 0x1039), &value));  // References
  EXPECT_STREQ("<q0@tolvane.test> <q1@tolvane.test>", reinterpret_cast<const char*>(value->Value.lpszA));
  MAPIFreeBuffer(value);
  MAPIFreeBuffer(tags);
  received->Release();
  FreeProws(rows);
  contents->Release();
  inbox->Release();
  MAPIFreeBuffer(inboxId);
  mdb->Release();
  session->Logoff(0, 0, 0);
  session->Release();

  // The BCC recipient's mailbox got it too.
  {
    jlong hs = callLong("getStore", kGetStoreSig, str("tbcc"), str(""), str(""), str(m_temp.c_str()));
    jlong hf = callLong("getInbox", "(J)J", hs);
    callVoid("openFolder", "(JI)V", hf, jint{0});
    EXPECT_GE(callInt("getFolderMessageCount", "(J)I", hf), 1);
    callVoid("closeFolder", "(JZ)V", hf, JNI_FALSE);
    callVoid("closeStore", "(J)V", hs);
    ASSERT_EQ("", takeException());
  }
}

TEST_F(TransportNatives, WithoutASentFolderTheSentMessageIsGone) {
  ULONG sentBefore = countIn("tsender", PR_IPM_SENTMAIL_ENTRYID);
  ULONG outboxBefore = countIn("tsender", PR_IPM_OUTBOX_ENTRYID);
  openTransport(nullptr);
  callVoid("setMessageSubject", kStringSig, m_message, str("no copy"));
  callVoid("addMessageToRecipient", kNameAddressSig, m_message, str("R"), str("receiver@tolvane.test"));
  callVoid("sendMessage", "(J)V", m_message);
  ASSERT_EQ("", takeException());
  std::string error;
  ASSERT_EQ(S_OK, mapispool::waitForEmptyQueue("tsender", 60000, error)) << error;
  EXPECT_EQ(sentBefore, countIn("tsender", PR_IPM_SENTMAIL_ENTRYID));
  EXPECT_EQ(outboxBefore, countIn("tsender", PR_IPM_OUTBOX_ENTRYID));
}

TEST_F(TransportNatives, AnUnreachableRecipientGetsANonDeliveryReportAlone) {
  jlong store = callLong("getStore", kGetStoreSig, str("tsender"), str(""), str(""), str(m_temp.c_str()));
  jlong folder = callLong("getInbox", "(J)J", store);
  callVoid("openFolder", "(JI)V", folder, jint{0});
  jint before = callInt("getFolderMessageCount", "(J)I", folder);
  callVoid("closeFolder", "(JZ)V", folder, JNI_FALSE);
  ASSERT_EQ("", takeException());

  openTransport();
  callVoid("setMessageSubject", kStringSig, m_message, str("partly"));
  callVoid("addMessageToRecipient", kNameAddressSig, m_message, str("R"), str("receiver@tolvane.test"));
  callVoid("addMessageToRecipient", kNameAddressSig, m_message, str("Ghost"), str("ghost"));
  callVoid("sendMessage", "(J)V", m_message);
  ASSERT_EQ("", takeException());
  std::string error;
  ASSERT_EQ(S_OK, mapispool::waitForEmptyQueue("tsender", 60000, error)) << error;

  folder = callLong("getInbox", "(J)J", store);
  callVoid("openFolder", "(JI)V", folder, jint{0});
  ASSERT_EQ(before + 1, callInt("getFolderMessageCount", "(J)I", folder));
  auto all = static_cast<jobjectArray>(callObject("getFolderMessages", kMessagesSig, folder, newFolder()));
  jobject report = env()->GetObjectArrayElement(all, before);
  jlong h = callLongMethod(report, "getMessagePointer", "()J");
  jobject multipart = callObject("getMessageContent", kContentSig, h, report);
  ASSERT_EQ("", takeException());
  ASSERT_NE(nullptr, multipart);
  jlong hMultipart = callLongMethod(multipart, "getMultipartPointer", "()J");
  jobject first = callObject("getMultipartBodypart", kPartSig, hMultipart, multipart, 0);
  ASSERT_EQ("", takeException());
  std::string out = m_temp + "/report.txt";
  callVoid("writeBodypartToFile", "(JLjava/lang/String;)V", callLongMethod(first, "getBodyPartPointer", "()J"),
           str(out.c_str()));
  ASSERT_EQ("", takeException());
  std::string text = readFile(out);
  EXPECT_EQ(0u, text.rfind("Your message did not reach some or all of the intended recipients.", 0)) << text;
  EXPECT_NE(std::string::npos, text.find("partly")) << text;
  EXPECT_NE(std::string::npos, text.find("The recipient's address \"ghost\" has no domain")) << text;
  EXPECT_EQ(std::string::npos, text.find("receiver@tolvane.test")) << "only the failed recipient: " << text;
  callVoid("closeFolder", "(JZ)V", folder, JNI_FALSE);
  callVoid("closeStore", "(J)V", store);
  ASSERT_EQ("", takeException());
}

}  // namespace
