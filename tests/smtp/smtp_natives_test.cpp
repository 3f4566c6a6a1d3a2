// Mail composed in Java through the natives leaves over SMTP, passes a real
// Postfix (started by smtp_natives_test.sh, which runs this binary as the
// owner of the MAPI home) and arrives through Postfix's pipe to
// `tolvane-mapi deliver` in another profile, where it is read back through
// the natives and compared field by field and byte by byte. A recipient
// that Postfix refuses with 550 gets a non-delivery report of its own.
#include "jvm_fixture.h"

#include <tolvane/mapitest.h>
#include <tolvane/profiles.h>
#include <tolvane/spool.h>

#include <mapicode.h>
#include <mapitags.h>
#include <mapiutil.h>
#include <mapix.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// PR_ATTACH_CONTENT_ID (MS-OXPROPS 0x3712), 8-bit.
const ULONG kAttachContentIdA = PROP_TAG(PT_STRING8, 0x3712);
const char* const kStringSig = "(JLjava/lang/String;)V";

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string port() {
  const char* p = getenv("TOLVANE_SMTP_TEST_PORT");
  return p ? p : "";
}

void ensureProfile(const std::string& name, const std::string& address, const std::string& display,
                   const std::string& transport = "local") {
  std::string error;
  mapiprofile::Profile p;
  if (FAILED(mapiprofile::load(name, p, error))) {
    p = mapiprofile::Profile();
    p.name = name;
    p.address = address;
    p.displayName = display;
    ASSERT_EQ(mapiprofile::create(p, error), S_OK) << error;
  }
  p.transport = transport;
  ASSERT_EQ(mapiprofile::write(p, error), S_OK) << error;
}

class SmtpNatives : public JvmTest {
 protected:
  void SetUp() override {
    JvmTest::SetUp();
    ASSERT_FALSE(port().empty()) << "run by smtp_natives_test.sh, which starts Postfix (TOLVANE_SMTP_TEST_PORT)";
    mapitest::reset();
    // The sender sends through Postfix; the receivers are named after the
    // local part, as Postfix's pipe passes ${user} to deliver.
    ensureProfile("jsender", "jsender@tolvane.test", "Sender", "smtp://127.0.0.1:" + port());
    ensureProfile("renee", "renee@inbox.test", "Renée");
    ensureProfile("carbon", "carbon@inbox.test", "Carbon");
    ensureProfile("hidden", "hidden@inbox.test", "Hidden");
    const char* temp = getenv("TEMP");
    m_temp = temp ? temp : "/tmp";
    mkdir(m_temp.c_str(), 0700);
    callBoolean("initMapi", "()Z");
    m_objects = mapitest::liveObjects();
  }
  void TearDown() override {
    if (m_message) callVoid("destroyMessage", "(J)V", m_message);
    if (m_transport) callVoid("closeTransport", "(J)V", m_transport);
    mapitest::reset();
    EXPECT_EQ(mapitest::liveObjects(), m_objects) << "MAPI objects were not released";
    JvmTest::TearDown();
  }

  void openTransport() {
    m_transport = callLong("getTransport", kGetStoreSig, str("jsender"), str(""), str(m_temp.c_str()),
                           str("Sent Items"));
    ASSERT_EQ("", takeException());
    ASSERT_NE(m_transport, 0);
    m_message = callLong("createMessage", "(J)J", m_transport);
    ASSERT_EQ("", takeException());
    ASSERT_NE(m_message, 0);
  }

  void send() {
    callVoid("sendMessage", "(J)V", m_message);
    ASSERT_EQ("", takeException());
    callVoid("destroyMessage", "(J)V", m_message);
    m_message = 0;
    std::string error;
    ASSERT_EQ(S_OK, mapispool::waitForEmptyQueue("jsender", 120000, error)) << error;
    callVoid("closeTransport", "(J)V", m_transport);
    m_transport = 0;
  }

  jint inboxCount(const char* profile) {
    jlong store = callLong("getStore", kGetStoreSig, str(profile), str(""), str(""), str(m_temp.c_str()));
    jlong folder = callLong("getInbox", "(J)J", store);
    callVoid("openFolder", "(JI)V", folder, jint{0});
    jint n = callInt("getFolderMessageCount", "(J)I", folder);
    callVoid("closeFolder", "(JZ)V", folder, JNI_FALSE);
    callVoid("closeStore", "(J)V", store);
    EXPECT_EQ("", takeException());
    return n;
  }

  // Postfix delivers after it has accepted: wait for the Inbox to grow.
  bool waitForInbox(const char* profile, jint count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < deadline) {
      if (inboxCount(profile) >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
  }

  // A store of this process through MAPI, for what the natives do not read.
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

  // The last message of a folder of the store (by its PR_IPM_* or the Inbox).
  LPMESSAGE lastMessage(LPMDB store, ULONG folderTag) {
    ULONG cb = 0, type = 0;
    LPENTRYID id = nullptr;
    LPSPropValue v = nullptr;
    if (folderTag == 0) {
      EXPECT_EQ(S_OK, store->GetReceiveFolder(nullptr, 0, &cb, &id, nullptr));
    } else {
      EXPECT_EQ(S_OK, HrGetOneProp(store, folderTag, &v));
      cb = v->Value.bin.cb;
      id = reinterpret_cast<LPENTRYID>(v->Value.bin.lpb);
    }
    LPMAPIFOLDER folder = nullptr;
    EXPECT_EQ(S_OK, store->OpenEntry(cb, id, nullptr, 0, &type, reinterpret_cast<LPUNKNOWN*>(&folder)));
    if (folderTag == 0) MAPIFreeBuffer(id);
    MAPIFreeBuffer(v);
    LPMAPITABLE contents = nullptr;
    folder->GetContentsTable(0, &contents);
    SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
    LPSRowSet rows = nullptr;
    HrQueryAllRows(contents, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows);
    LPMESSAGE message = nullptr;
    if (rows->cRows > 0) {
      const SBinary& eid = rows->aRow[rows->cRows - 1].lpProps[0].Value.bin;
      folder->OpenEntry(eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), nullptr, 0, &type,
                        reinterpret_cast<LPUNKNOWN*>(&message));
    }
    FreeProws(rows);
    contents->Release();
    folder->Release();
    return message;
  }

  static std::string stringProp(LPMAPIPROP obj, ULONG tag) {
    LPSPropValue v = nullptr;
    std::string out;
    if (SUCCEEDED(HrGetOneProp(obj, tag, &v)) && v->Value.lpszA) out = reinterpret_cast<const char*>(v->Value.lpszA);
    MAPIFreeBuffer(v);
    return out;
  }

  std::string m_temp;
  long m_objects = 0;
  jlong m_transport = 0;
  jlong m_message = 0;
};

TEST_F(SmtpNatives, AMessageComposedInJavaArrivesThroughPostfixIdentical) {
  jint renee = inboxCount("renee"), carbon = inboxCount("carbon"), hidden = inboxCount("hidden");
  // A 10 MiB attachment of every byte value, and a small inline image.
  std::string attachment;
  attachment.reserve(10 * 1024 * 1024);
  for (size_t i = 0; i < 10 * 1024 * 1024; ++i) attachment += static_cast<char>((i * 131 + i / 7) & 0xFF);
  std::string image = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(700, '\x07') + std::string("\r\n.\r\n", 5);
  std::string attachmentPath = m_temp + "/Jahresbericht.bin";
  std::string imagePath = m_temp + "/logo.png";
  writeFile(attachmentPath, attachment);
  writeFile(imagePath, image);

  openTransport();
  const char* subject = "Grüße aus München – Präsentation 📎";
  const char* text = "Hallo Renée,\n\nsiehe Anhang.\n.\nEine Zeile mit nur einem Punkt steht darüber.\n";
  const char* html = "<html><body><p>Hallo Renée</p><img src=\"cid:logo@tolvane\"></body></html>";
  callVoid("setMessageSubject", kStringSig, m_message, str(subject));
  callVoid("addMessageFrom", kNameAddressSig, m_message, str("Jürgen Sender"), str("jsender@tolvane.test"));
  callVoid("addMessageToRecipient", kNameAddressSig, m_message, str("Renée Ñúñez"), str("renee@inbox.test"));
  callVoid("addMessageCCRecipient", kNameAddressSig, m_message, str("Carbon Çopy"), str("carbon@inbox.test"));
  callVoid("addMessageBCCRecipient", kNameAddressSig, m_message, str("Hidden One"), str("hidden@inbox.test"));
  callVoid("setMessageReplyTo", kNameAddressSig, m_message, str("Replies"), str("replies@tolvane.test"));
  callVoid("setMessagePriority", "(JI)V", m_message, jint{1});
  callVoid("setMessagePlainTextBody", kStringSig, m_message, str(text));
  callVoid("setMessageHTMLBody", kStringSig, m_message, str(html));
  callVoid("addMessageAttachment", kAttachSig, m_message, str("Jahresbericht Ü 2024.bin"),
           str("application/octet-stream"), str(attachmentPath.c_str()));
  callVoid("addMessageInlineAttachment", kInlineSig, m_message, str("logo.png"), str("image/png"),
           str(imagePath.c_str()), str("logo@tolvane"));
  ASSERT_EQ("", takeException());
  send();
  ASSERT_TRUE(waitForInbox("renee", renee + 1)) << "nothing arrived for renee";
  ASSERT_TRUE(waitForInbox("carbon", carbon + 1)) << "nothing arrived for carbon";
  ASSERT_TRUE(waitForInbox("hidden", hidden + 1)) << "nothing arrived for the BCC recipient";

  // The sent copy: its Message-ID is the one that arrived.
  LPMAPISESSION session = nullptr;
  LPMDB store = openStore("jsender", &session);
  LPMESSAGE sent = lastMessage(store, PR_IPM_SENTMAIL_ENTRYID);
  ASSERT_NE(nullptr, sent);
  std::string sentId = stringProp(sent, PROP_TAG(PT_STRING8, 0x1035));
  EXPECT_EQ(subject, stringProp(sent, PR_SUBJECT_A));
  sent->Release();
  store->Release();
  session->Logoff(0, 0, 0);
  session->Release();
  ASSERT_FALSE(sentId.empty());

  jlong hs = callLong("getStore", kGetStoreSig, str("renee"), str(""), str(""), str(m_temp.c_str()));
  jlong folder = callLong("getInbox", "(J)J", hs);
  callVoid("openFolder", "(JI)V", folder, jint{0});
  ASSERT_EQ("", takeException());
  auto all = static_cast<jobjectArray>(callObject("getFolderMessages", kMessagesSig, folder, newFolder()));
  ASSERT_EQ("", takeException());
  ASSERT_EQ(renee + 1, env()->GetArrayLength(all)) << "one copy for renee";
  jobject message = env()->GetObjectArrayElement(all, renee);
  jlong h = callLongMethod(message, "getMessagePointer", "()J");
  auto s = [&](const char* name) { return readString(name, h); };
  auto list = [&](const char* name) { return readStrings(name, h); };
  EXPECT_EQ(subject, s("getMessageSubject"));
  EXPECT_EQ(text, s("getMessageText"));
  EXPECT_NE(std::string::npos, s("getMessageHTML").find(html + 12)) << s("getMessageHTML");
  EXPECT_EQ("1", s("getMessagePriority"));
  EXPECT_EQ(sentId, s("getMessageID")) << "the Message-ID that left is the one that arrived";
  auto from = list("getMessageFrom");
  ASSERT_EQ(1u, from.size());
  EXPECT_NE(std::string::npos, from[0].find("jsender@tolvane.test")) << from[0];
  EXPECT_NE(std::string::npos, from[0].find("Jürgen Sender")) << from[0];
  auto to = list("getMessageTo");
  ASSERT_EQ(1u, to.size());
  EXPECT_NE(std::string::npos, to[0].find("renee@inbox.test")) << to[0];
  EXPECT_NE(std::string::npos, to[0].find("Renée Ñúñez")) << to[0];
  auto cc = list("getMessageCC");
  ASSERT_EQ(1u, cc.size());
  EXPECT_NE(std::string::npos, cc[0].find("Carbon Çopy")) << cc[0];
  EXPECT_NE(std::string::npos, cc[0].find("carbon@inbox.test")) << cc[0];
  EXPECT_TRUE(list("getMessageBCC").empty()) << "no header names the BCC recipient";
  auto replyTo = list("getMessageReplyTo");
  ASSERT_EQ(1u, replyTo.size());
  EXPECT_NE(std::string::npos, replyTo[0].find("REPLIES@TOLVANE.TEST")) << replyTo[0];
  EXPECT_NE(0.0, callDouble("getMessageSentDate", "(J)D", h));

  jobject multipart = callObject("getMessageContent", kContentSig, h, message);
  ASSERT_EQ("", takeException());
  ASSERT_NE(nullptr, multipart);
  jlong hMultipart = callLongMethod(multipart, "getMultipartPointer", "()J");
  jint count = callInt("getMultipartCount", "(J)I", hMultipart);
  std::map<std::string, std::string> files, types;
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
    unlink(out.c_str());
  }
  ASSERT_EQ(1u, files.count("Jahresbericht Ü 2024.bin")) << "parts: " << files.size();
  EXPECT_EQ(attachment.size(), files["Jahresbericht Ü 2024.bin"].size());
  EXPECT_TRUE(files["Jahresbericht Ü 2024.bin"] == attachment) << "the 10 MiB attachment differs";
  ASSERT_EQ(1u, files.count("logo.png"));
  EXPECT_TRUE(files["logo.png"] == image) << "the inline image differs";
  EXPECT_EQ("image/png", types["logo.png"]);
  callVoid("closeFolder", "(JZ)V", folder, JNI_FALSE);
  callVoid("closeStore", "(J)V", hs);
  ASSERT_EQ("", takeException());

  // The inline image kept its content id.
  session = nullptr;
  store = openStore("renee", &session);
  LPMESSAGE received = lastMessage(store, 0);
  ASSERT_NE(nullptr, received);
  LPMAPITABLE attachments = nullptr;
  ASSERT_EQ(S_OK, received->GetAttachmentTable(0, &attachments));
  SizedSPropTagArray(2, acols) = {2, {PR_ATTACH_LONG_FILENAME_A, kAttachContentIdA}};
  LPSRowSet arows = nullptr;
  ASSERT_EQ(S_OK, HrQueryAllRows(attachments, reinterpret_cast<LPSPropTagArray>(&acols), nullptr, nullptr, 0, &arows));
  bool cid = false;
  for (ULONG i = 0; i < arows->cRows; ++i)
    if (arows->aRow[i].lpProps[1].ulPropTag == kAttachContentIdA &&
        std::string(reinterpret_cast<const char*>(arows->aRow[i].lpProps[1].Value.lpszA)) == "logo@tolvane")
      cid = true;
  EXPECT_TRUE(cid) << "the inline image's content id";
  FreeProws(arows);
  attachments->Release();
  received->Release();
  store->Release();
  session->Logoff(0, 0, 0);
  session->Release();
}

TEST_F(SmtpNatives, ARecipientPostfixRefusesGetsAReportAloneWhileTheOthersArrive) {
  jint renee = inboxCount("renee");
  jint reports = inboxCount("jsender");
  openTransport();
  callVoid("setMessageSubject", kStringSig, m_message, str("Teilweise zugestellt"));
  callVoid("addMessageToRecipient", kNameAddressSig, m_message, str("Renée"), str("renee@inbox.test"));
  callVoid("addMessageToRecipient", kNameAddressSig, m_message, str("Refused"), str("rejected@inbox.test"));
  callVoid("setMessagePlainTextBody", kStringSig, m_message, str("body\n"));
  ASSERT_EQ("", takeException());
  send();
  ASSERT_TRUE(waitForInbox("renee", renee + 1));
  ASSERT_EQ(reports + 1, inboxCount("jsender")) << "one report in the sender's Inbox";

  LPMAPISESSION session = nullptr;
  LPMDB store = openStore("jsender", &session);
  LPMESSAGE report = lastMessage(store, 0);
  ASSERT_NE(nullptr, report);
  EXPECT_EQ("REPORT.IPM.Note.NDR", stringProp(report, PR_MESSAGE_CLASS_A));
  LPMAPITABLE recipients = nullptr;
  ASSERT_EQ(S_OK, report->GetRecipientTable(0, &recipients));
  SizedSPropTagArray(3, cols) = {3, {PR_EMAIL_ADDRESS_A, PR_REPORT_TEXT_A, PR_SUPPLEMENTARY_INFO_A}};
  LPSRowSet rows = nullptr;
  ASSERT_EQ(S_OK, HrQueryAllRows(recipients, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows));
  ASSERT_EQ(1u, rows->cRows) << "only the refused recipient is named";
  const SPropValue* v = rows->aRow[0].lpProps;
  ASSERT_EQ(PR_EMAIL_ADDRESS_A, v[0].ulPropTag);
  EXPECT_STREQ("rejected@inbox.test", reinterpret_cast<const char*>(v[0].Value.lpszA));
  ASSERT_EQ(PR_REPORT_TEXT_A, v[1].ulPropTag);
  std::string reportText = reinterpret_cast<const char*>(v[1].Value.lpszA);
  EXPECT_EQ("The server 127.0.0.1:" + port() +
                " refused the recipient: 550 5.7.1 <rejected@inbox.test>: Recipient address rejected: "
                "Mailbox refused by the test's access map",
            reportText);
  ASSERT_EQ(PR_SUPPLEMENTARY_INFO_A, v[2].ulPropTag);
  EXPECT_STREQ("5.7.1", reinterpret_cast<const char*>(v[2].Value.lpszA));
  FreeProws(rows);
  recipients->Release();
  // The original is attached.
  LPMAPITABLE attachments = nullptr;
  ASSERT_EQ(S_OK, report->GetAttachmentTable(0, &attachments));
  ULONG count = 0;
  attachments->GetRowCount(0, &count);
  EXPECT_EQ(1u, count);
  attachments->Release();
  report->Release();
  store->Release();
  session->Logoff(0, 0, 0);
  session->Release();
}

}  // namespace
