// The natives with an application's own com.plimo.mail.mapi classes that hold only
// what the natives use: MAPIMessage(Folder, int) and
// setMessagePointer(long), MAPIMultipart(long, MAPIMessage) and the seven-argument
// MAPIBodyPart constructor (own_classes/com/plimo/mail/mapi). No other class of ours is on
// the class path, so a native that asked for anything more would fail here. The test
// reads the handles from the objects' private fields.
//
// Every native's normal path (logon, the Inbox, every fetch, every read, the content and
// its parts, files, .msg export, expunge, every composition native and a send read back
// at its recipient), and the misuse of handles: closed stores, folders and transports,
// discarded contents, second closes, handles of another kind.
#include "jvm_fixture.h"

#include <tolvane/mapifixture.h>
#include <tolvane/mapitest.h>
#include <tolvane/profiles.h>
#include <tolvane/spool.h>

#include <mapicode.h>
#include <mapitags.h>

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using mapifixture::Attachment;
using mapifixture::MessageDef;
using mapifixture::Recipient;
using mapifixture::Value;

const char* const kSetStringSig = "(JLjava/lang/String;)V";
const char* const kInvalid = "Invalid class pointer.";
const char* const kFolderOfMessage = "The folder of this message is closed";
const char* const kStoreOfMessage = "The store of this message is closed";
const char* const kTransportOfMessage = "The transport of this message is closed";
const char* const kDiscarded = "The message's content was discarded when its delete flag changed; fetch it again";

// The natives that take a message handle first, with arguments that are fine for a live
// message; each raises the owner's text for a handle of a message that is gone.
struct MessageCall {
  const char* name;
  const char* sig;
};
const MessageCall kReads[] = {
    {"getMessageSubject", "(J)Ljava/lang/String;"}, {"getMessageText", "(J)Ljava/lang/String;"},
    {"getMessageHTML", "(J)Ljava/lang/String;"},    {"getMessageID", "(J)Ljava/lang/String;"},
    {"getMessagePriority", "(J)Ljava/lang/String;"}, {"getMessageFrom", "(J)[Ljava/lang/String;"},
    {"getMessageTo", "(J)[Ljava/lang/String;"},     {"getMessageCC", "(J)[Ljava/lang/String;"},
    {"getMessageBCC", "(J)[Ljava/lang/String;"},    {"getMessageReplyTo", "(J)[Ljava/lang/String;"},
    {"getMessageFile", "(J)Ljava/lang/String;"},
};

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

class OwnClasses : public JvmTest {
 protected:
  void SetUp() override {
    JvmTest::SetUp();
    mapitest::reset();
    const char* temp = getenv("TEMP");
    m_temp = temp ? temp : "/tmp";
    mkdir(m_temp.c_str(), 0700);
    callBoolean("initMapi", "()Z");
    m_objects = mapitest::liveObjects();
  }
  void TearDown() override {
    mapitest::reset();
    EXPECT_EQ(mapitest::liveObjects(), m_objects) << "MAPI objects were not released";
    JvmTest::TearDown();
  }

  void profile(const std::string& name, const std::string& address = "") { ensureProfile(name, address, name); }
  // A message with a text body, addresses and one attachment in a profile's Inbox.
  void deliverSample(const std::string& profileName, const std::string& subject) {
    MessageDef def;
    def.props = {Value::String(PR_SUBJECT_A, subject), Value::String(PR_BODY_A, "the text"),
                 Value::String(PR_SENDER_NAME_A, "Sam"),
                 Value::String(PR_SENDER_EMAIL_ADDRESS_A, "SMTP:sam@example.com"),
                 Value::String(PROP_TAG(PT_STRING8, 0x1035) /* PR_INTERNET_MESSAGE_ID */, "<" + subject + "@example.com>"),
                 Value::UnixTime(PR_MESSAGE_DELIVERY_TIME, 1700000000)};
    def.recipients = {Recipient::make(MAPI_TO, "Ann", "ann@example.com"),
                      Recipient::make(MAPI_CC, "Cid", "cid@example.com")};
    def.attachments = {Attachment::file("data.bin", "attached data")};
    std::string eid, error;
    ASSERT_EQ(mapifixture::addMessage(profileName, def, eid, error), S_OK) << error;
  }

  jlong logon(const std::string& profileName) {
    jlong store = callLong("getStore", kGetStoreSig, str(profileName.c_str()), str(""), str(""), str(m_temp.c_str()));
    EXPECT_EQ("", takeException());
    return store;
  }
  jlong openInbox(jlong store) {
    jlong folder = callLong("getInbox", "(J)J", store);
    EXPECT_EQ("", takeException());
    callVoid("openFolder", "(JI)V", folder, jint{0});
    EXPECT_EQ("", takeException());
    return folder;
  }

  // A private field of one of the application's objects.
  jlong longField(jobject o, const char* name) {
    jclass cls = env()->GetObjectClass(o);
    jfieldID id = env()->GetFieldID(cls, name, "J");
    env()->DeleteLocalRef(cls);
    return id ? env()->GetLongField(o, id) : 0;
  }
  jint intField(jobject o, const char* name) {
    jclass cls = env()->GetObjectClass(o);
    jfieldID id = env()->GetFieldID(cls, name, "I");
    env()->DeleteLocalRef(cls);
    return id ? env()->GetIntField(o, id) : -1;
  }
  std::string stringField(jobject o, const char* name) {
    jclass cls = env()->GetObjectClass(o);
    jfieldID id = env()->GetFieldID(cls, name, "Ljava/lang/String;");
    env()->DeleteLocalRef(cls);
    return id ? toStd(static_cast<jstring>(env()->GetObjectField(o, id))) : "(no field)";
  }

  // The handle the native gave the message, after checking its number.
  jlong handleOf(jobject message, int number) {
    EXPECT_EQ("com.plimo.mail.mapi.MAPIMessage", className(message));
    EXPECT_EQ(number, callIntMethod(message, "getMessageNumber", "()I"));
    jlong h = longField(message, "pointer");
    EXPECT_NE(0, h);
    return h;
  }

  // Every message native raises `text` for this handle.
  void everyMessageNativeRaises(jlong h, const std::string& text) {
    for (const auto& c : kReads) {
      EXPECT_EQ(nullptr, callObject(c.name, c.sig, h)) << c.name;
      EXPECT_EQ(text, takeException()) << c.name;
    }
    EXPECT_EQ(0.0, callDouble("getMessageSentDate", "(J)D", h));
    EXPECT_EQ(text, takeException());
    callVoid("setMessageDeleteFlag", "(JZ)V", h, JNI_TRUE);
    EXPECT_EQ(text, takeException());
    EXPECT_EQ(nullptr, callObject("getMessageContent", kContentSig, h, nullptr));
    EXPECT_EQ(text, takeException());
    callVoid("setMessageSubject", kSetStringSig, h, str("s"));
    EXPECT_EQ(text, takeException());
    callVoid("addMessageToRecipient", kNameAddressSig, h, str("n"), str("n@example.com"));
    EXPECT_EQ(text, takeException());
    callVoid("setMessagePriority", "(JI)V", h, jint{1});
    EXPECT_EQ(text, takeException());
    callVoid("setMessageXHeader", "(JLjava/lang/String;Ljava/lang/String;)V", h, str("X-A"), str("b"));
    EXPECT_EQ(text, takeException());
    callVoid("setMessagePlainTextBody", kSetStringSig, h, str("body"));
    EXPECT_EQ(text, takeException());
    callVoid("addMessageAttachment", kAttachSig, h, str("a"), str("text/plain"), str("/dev/null"));
    EXPECT_EQ(text, takeException());
    callVoid("sendMessage", "(J)V", h);
    EXPECT_EQ(text, takeException());
  }
  // The multipart and part natives raise `text` for these handles.
  void contentNativesRaise(jlong multipart, jlong part, const std::string& text) {
    EXPECT_EQ(0, callInt("getMultipartCount", "(J)I", multipart));
    EXPECT_EQ(text, takeException());
    EXPECT_EQ(nullptr, callObject("getMultipartBodypart", kPartSig, multipart, nullptr, jint{0}));
    EXPECT_EQ(text, takeException());
    EXPECT_EQ(nullptr, callObject("getBodypartDisposition", "(J)Ljava/lang/String;", part));
    EXPECT_EQ(text, takeException());
    std::string out = m_temp + "/not-written.bin";
    callVoid("writeBodypartToFile", "(JLjava/lang/String;)V", part, str(out.c_str()));
    EXPECT_EQ(text, takeException());
    EXPECT_NE(0, access(out.c_str(), F_OK)) << "nothing was written";
  }

  std::string m_temp;
  long m_objects = 0;
};

TEST_F(OwnClasses, ReadsEveryFormOfAMessageAndExpunges) {
  profile("own-reader");
  deliverSample("own-reader", "first");
  deliverSample("own-reader", "second");
  jlong store = logon("own-reader");
  jlong folder = openInbox(store);
  EXPECT_EQ(JNI_TRUE, callBoolean("isFolderOpen", "(J)Z", folder));
  EXPECT_EQ(2, callInt("getFolderMessageCount", "(J)I", folder));
  jobject javaFolder = newFolder();

  auto all = static_cast<jobjectArray>(callObject("getFolderMessages", kMessagesSig, folder, javaFolder));
  ASSERT_EQ("", takeException());
  ASSERT_EQ(2, env()->GetArrayLength(all));
  auto chunk = static_cast<jobjectArray>(callObject("getFolderMessageChunk", kChunkSig, folder, javaFolder, 2, 2));
  ASSERT_EQ("", takeException());
  ASSERT_EQ(2, env()->GetArrayLength(chunk));
  EXPECT_EQ(nullptr, env()->GetObjectArrayElement(chunk, 0));
  handleOf(env()->GetObjectArrayElement(chunk, 1), 2);
  jobject message = callObject("getFolderMessage", kMessageSig, folder, javaFolder, jint{1});
  ASSERT_EQ("", takeException());
  jlong h = handleOf(message, 1);
  handleOf(env()->GetObjectArrayElement(all, 0), 1);

  auto s = [&](const char* name) { return readString(name, h); };
  auto list = [&](const char* name) { return readStrings(name, h); };
  EXPECT_EQ("first", s("getMessageSubject"));
  EXPECT_EQ("the text", s("getMessageText"));
  EXPECT_EQ("", s("getMessageHTML"));
  EXPECT_EQ("<first@example.com>", s("getMessageID"));
  EXPECT_FALSE(s("getMessagePriority").empty());
  EXPECT_EQ(std::vector<std::string>{"\"Sam\" <sam@example.com>"}, list("getMessageFrom"));
  EXPECT_EQ(std::vector<std::string>{"\"Ann\" <ann@example.com>"}, list("getMessageTo"));
  EXPECT_EQ(std::vector<std::string>{"\"Cid\" <cid@example.com>"}, list("getMessageCC"));
  EXPECT_TRUE(list("getMessageBCC").empty());
  list("getMessageReplyTo");
  callDouble("getMessageSentDate", "(J)D", h);
  EXPECT_EQ("", takeException());
  EXPECT_DOUBLE_EQ(25569.0 + 1700000000 / 86400.0, callDouble("getMessageReceiveTime", "(J)D", h));
  EXPECT_EQ("", takeException());

  // The content: a MAPIMultipart of the text and the attachment.
  jobject multipart = callObject("getMessageContent", kContentSig, h, message);
  ASSERT_EQ("", takeException());
  EXPECT_EQ("com.plimo.mail.mapi.MAPIMultipart", className(multipart));
  jlong hMultipart = longField(multipart, "pointer");
  ASSERT_EQ(2, callInt("getMultipartCount", "(J)I", hMultipart));
  jobject text = callObject("getMultipartBodypart", kPartSig, hMultipart, multipart, jint{0});
  jobject data = callObject("getMultipartBodypart", kPartSig, hMultipart, multipart, jint{1});
  ASSERT_EQ("", takeException());
  EXPECT_EQ("com.plimo.mail.mapi.MAPIBodyPart", className(data));
  EXPECT_EQ("text/plain", stringField(text, "type"));
  EXPECT_EQ("the text", stringField(text, "content"));
  EXPECT_EQ("attachment", stringField(data, "disposition"));
  EXPECT_EQ("data.bin", stringField(data, "content"));
  EXPECT_GT(intField(data, "size"), 0);
  jlong hData = longField(data, "pointer");
  EXPECT_EQ("attachment", toStd(static_cast<jstring>(callObject("getBodypartDisposition", "(J)Ljava/lang/String;", hData))));
  std::string out = m_temp + "/own-data.bin";
  callVoid("writeBodypartToFile", "(JLjava/lang/String;)V", hData, str(out.c_str()));
  ASSERT_EQ("", takeException());
  EXPECT_EQ("attached data", readFile(out));
  unlink(out.c_str());
  std::string msg = s("getMessageFile");
  EXPECT_EQ(0, access(msg.c_str(), F_OK)) << msg;

  // Expunge: the flagged message goes, the other stays.
  callVoid("setMessageDeleteFlag", "(JZ)V", h, JNI_TRUE);
  ASSERT_EQ("", takeException());
  callVoid("closeFolder", "(JZ)V", folder, JNI_TRUE);
  ASSERT_EQ("", takeException());
  EXPECT_NE(0, access(msg.c_str(), F_OK)) << "the .msg file goes with its message";
  folder = openInbox(store);
  EXPECT_EQ(1, callInt("getFolderMessageCount", "(J)I", folder));
  jobject left = callObject("getFolderMessage", kMessageSig, folder, javaFolder, jint{1});
  ASSERT_EQ("", takeException());
  EXPECT_EQ("second", toStd(static_cast<jstring>(callObject("getMessageSubject", "(J)Ljava/lang/String;",
                                                           handleOf(left, 1)))));
  callVoid("closeFolder", "(JZ)V", folder, JNI_FALSE);
  callVoid("closeStore", "(J)V", store);
  EXPECT_EQ("", takeException());
}

TEST_F(OwnClasses, ComposesAndSendsAMessageThatArrivesWhole) {
  profile("own-sender", "own-sender@tolvane.test");
  profile("own-receiver", "own-receiver@tolvane.test");
  std::string file = m_temp + "/report.bin";
  std::string image = m_temp + "/logo.png";
  writeFile(file, std::string("report\0bytes", 12));
  writeFile(image, "\x89PNG image");
  jlong transport = callLong("getTransport", kGetStoreSig, str("own-sender"), str(""), str(m_temp.c_str()),
                             str("Sent Items"));
  ASSERT_EQ("", takeException());
  jlong m = callLong("createMessage", "(J)J", transport);
  ASSERT_EQ("", takeException());
  callVoid("setMessageSubject", kSetStringSig, m, str("Quarterly"));
  callVoid("addMessageFrom", kNameAddressSig, m, str("Own Sender"), str("own-sender@tolvane.test"));
  callVoid("addMessageToRecipient", kNameAddressSig, m, str("Receiver"), str("own-receiver@tolvane.test"));
  callVoid("addMessageCCRecipient", kNameAddressSig, m, str("Copy"), str("own-receiver@tolvane.test"));
  callVoid("addMessageBCCRecipient", kNameAddressSig, m, str("Hidden"), str("own-sender@tolvane.test"));
  callVoid("setMessageReplyTo", kNameAddressSig, m, str("Replies"), str("replies@tolvane.test"));
  callVoid("setMessagePriority", "(JI)V", m, jint{1});
  callVoid("setMessageXHeader", "(JLjava/lang/String;Ljava/lang/String;)V", m, str("X-Order"), str("4711"));
  callVoid("setMessagePlainTextBody", kSetStringSig, m, str("See the report.\n"));
  callVoid("setMessageHTMLBody", kSetStringSig, m, str("<p>See the report.</p><img src=\"cid:logo@x\">"));
  callVoid("addMessageAttachment", kAttachSig, m, str("report.bin"), str("application/octet-stream"),
           str(file.c_str()));
  callVoid("addMessageInlineAttachment", kInlineSig, m, str("logo.png"), str("image/png"), str(image.c_str()),
           str("logo@x"));
  ASSERT_EQ("", takeException());
  callVoid("sendMessage", "(J)V", m);
  ASSERT_EQ("", takeException());
  callVoid("destroyMessage", "(J)V", m);
  std::string error;
  ASSERT_EQ(S_OK, mapispool::waitForEmptyQueue("own-sender", 60000, error)) << error;
  callVoid("closeTransport", "(J)V", transport);
  ASSERT_EQ("", takeException());

  jlong store = logon("own-receiver");
  jlong folder = openInbox(store);
  ASSERT_EQ(1, callInt("getFolderMessageCount", "(J)I", folder));
  jobject message = callObject("getFolderMessage", kMessageSig, folder, newFolder(), jint{1});
  ASSERT_EQ("", takeException());
  jlong h = handleOf(message, 1);
  EXPECT_EQ("Quarterly", toStd(static_cast<jstring>(callObject("getMessageSubject", "(J)Ljava/lang/String;", h))));
  EXPECT_EQ("1", toStd(static_cast<jstring>(callObject("getMessagePriority", "(J)Ljava/lang/String;", h))));
  auto replyTo = toStdVector(static_cast<jobjectArray>(callObject("getMessageReplyTo", "(J)[Ljava/lang/String;", h)));
  ASSERT_EQ(1u, replyTo.size());
  EXPECT_EQ("REPLIES@TOLVANE.TEST", replyTo[0]);
  jobject multipart = callObject("getMessageContent", kContentSig, h, message);
  ASSERT_EQ("", takeException());
  jlong hMultipart = longField(multipart, "pointer");
  jint count = callInt("getMultipartCount", "(J)I", hMultipart);
  std::string got;
  for (jint i = 0; i < count; ++i) {
    jobject part = callObject("getMultipartBodypart", kPartSig, hMultipart, multipart, i);
    if (part && stringField(part, "content") == "report.bin") {
      std::string out = m_temp + "/arrived.bin";
      callVoid("writeBodypartToFile", "(JLjava/lang/String;)V", longField(part, "pointer"), str(out.c_str()));
      got = readFile(out);
      unlink(out.c_str());
    }
  }
  EXPECT_EQ("", takeException());
  EXPECT_EQ(std::string("report\0bytes", 12), got) << "the attachment arrived byte for byte";
  callVoid("closeFolder", "(JZ)V", folder, JNI_FALSE);
  callVoid("closeStore", "(J)V", store);
  EXPECT_EQ("", takeException());
}

TEST_F(OwnClasses, StaleHandlesOfReadingRaiseInsteadOfReachingFreedMemory) {
  profile("own-stale");
  deliverSample("own-stale", "one");
  jlong store = logon("own-stale");
  jlong folder = openInbox(store);
  jobject message = callObject("getFolderMessage", kMessageSig, folder, newFolder(), jint{1});
  ASSERT_EQ("", takeException());
  jlong h = handleOf(message, 1);
  auto content = [&](jlong& hMultipart, jlong& hPart) {
    jobject mp = callObject("getMessageContent", kContentSig, h, message);
    ASSERT_EQ("", takeException());
    hMultipart = longField(mp, "pointer");
    hPart = longField(callObject("getMultipartBodypart", kPartSig, hMultipart, mp, jint{1}), "pointer");
    ASSERT_EQ("", takeException());
  };

  // A discarded content: its multipart and parts say so; the message fetches a new one.
  jlong hMultipart = 0, hPart = 0;
  content(hMultipart, hPart);
  callVoid("setMessageDeleteFlag", "(JZ)V", h, JNI_FALSE);
  ASSERT_EQ("", takeException());
  contentNativesRaise(hMultipart, hPart, kDiscarded);
  content(hMultipart, hPart);

  // Handles of another kind, or of no object at all.
  EXPECT_EQ(nullptr, callObject("getMessageSubject", "(J)Ljava/lang/String;", folder));
  EXPECT_EQ(kInvalid, takeException());
  EXPECT_EQ(0, callInt("getFolderMessageCount", "(J)I", h));
  EXPECT_EQ(kInvalid, takeException());
  EXPECT_EQ(0, callLong("getInbox", "(J)J", hPart));
  EXPECT_EQ(kInvalid, takeException());
  EXPECT_EQ(0, callInt("getMultipartCount", "(J)I", hPart));
  EXPECT_EQ(kInvalid, takeException());
  callVoid("closeStore", "(J)V", folder);
  EXPECT_EQ(kInvalid, takeException());
  callVoid("closeFolder", "(JZ)V", store, JNI_TRUE);
  EXPECT_EQ(kInvalid, takeException());
  callVoid("destroyMessage", "(J)V", store);
  EXPECT_EQ(kInvalid, takeException());
  EXPECT_EQ(nullptr, callObject("getMessageSubject", "(J)Ljava/lang/String;", jlong{0x10}));
  EXPECT_EQ(kInvalid, takeException());
  // A message of a folder belongs to the folder.
  callVoid("destroyMessage", "(J)V", h);
  EXPECT_EQ("", takeException());
  EXPECT_EQ("one", toStd(static_cast<jstring>(callObject("getMessageSubject", "(J)Ljava/lang/String;", h))));

  // A closed folder: its messages, their contents and the folder itself.
  callVoid("closeFolder", "(JZ)V", folder, JNI_FALSE);
  ASSERT_EQ("", takeException());
  everyMessageNativeRaises(h, kFolderOfMessage);
  contentNativesRaise(hMultipart, hPart, kFolderOfMessage);
  EXPECT_EQ(0, callInt("getFolderMessageCount", "(J)I", folder));
  EXPECT_EQ("The folder is closed", takeException());
  EXPECT_EQ(nullptr, callObject("getFolderMessage", kMessageSig, folder, newFolder(), jint{1}));
  EXPECT_EQ("The folder is closed", takeException());
  callVoid("closeFolder", "(JZ)V", folder, JNI_TRUE);
  EXPECT_EQ("The folder is already closed", takeException());
  callVoid("destroyMessage", "(J)V", h);
  EXPECT_EQ("", takeException()) << "gone with its folder: nothing left to destroy";

  // A closed store: its folders live on detached, their messages too.
  folder = openInbox(store);
  message = callObject("getFolderMessage", kMessageSig, folder, newFolder(), jint{1});
  h = handleOf(message, 1);
  content(hMultipart, hPart);
  callVoid("closeStore", "(J)V", store);
  ASSERT_EQ("", takeException());
  everyMessageNativeRaises(h, kStoreOfMessage);
  contentNativesRaise(hMultipart, hPart, kStoreOfMessage);
  EXPECT_EQ(0, callInt("getFolderMessageCount", "(J)I", folder));
  EXPECT_EQ("The store of this folder is closed", takeException());
  EXPECT_EQ(0, callLong("getInbox", "(J)J", store));
  EXPECT_EQ("The store is closed", takeException());
  callVoid("closeStore", "(J)V", store);
  EXPECT_EQ("The store is already closed", takeException());
  // The folder still closes, and its messages then say the outermost owner went.
  callVoid("closeFolder", "(JZ)V", folder, JNI_TRUE);
  EXPECT_EQ("", takeException());
  everyMessageNativeRaises(h, kStoreOfMessage);
}

TEST_F(OwnClasses, StaleHandlesOfSendingRaiseInsteadOfReachingFreedMemory) {
  profile("own-misuse", "own-misuse@tolvane.test");
  mapitest::setBackgroundSpooler(false);
  jlong transport = callLong("getTransport", kGetStoreSig, str("own-misuse"), str(""), str(m_temp.c_str()),
                             str(""));
  ASSERT_EQ("", takeException());
  jlong destroyed = callLong("createMessage", "(J)J", transport);
  jlong kept = callLong("createMessage", "(J)J", transport);
  ASSERT_EQ("", takeException());
  callVoid("setMessageSubject", kSetStringSig, kept, str("kept"));
  ASSERT_EQ("", takeException());

  // A handle of another kind is refused and leaves both objects as they were.
  EXPECT_EQ(0, callLong("createMessage", "(J)J", kept));
  EXPECT_EQ(kInvalid, takeException());
  callVoid("destroyMessage", "(J)V", transport);
  EXPECT_EQ(kInvalid, takeException());
  callVoid("closeTransport", "(J)V", kept);
  EXPECT_EQ(kInvalid, takeException());
  EXPECT_EQ("kept", toStd(static_cast<jstring>(callObject("getMessageSubject", "(J)Ljava/lang/String;", kept))));
  EXPECT_EQ("", takeException());

  // A destroyed message.
  callVoid("destroyMessage", "(J)V", destroyed);
  ASSERT_EQ("", takeException());
  everyMessageNativeRaises(destroyed, "The message was destroyed");
  callVoid("destroyMessage", "(J)V", destroyed);
  EXPECT_EQ("", takeException()) << "a second destroy does nothing";

  // A closed transport: its messages stay until destroyed, but hold nothing of MAPI.
  callVoid("closeTransport", "(J)V", transport);
  ASSERT_EQ("", takeException());
  EXPECT_EQ(mapitest::liveObjects(), m_objects) << "the transport released its messages' MAPI objects";
  everyMessageNativeRaises(kept, kTransportOfMessage);
  EXPECT_EQ(0, callLong("createMessage", "(J)J", transport));
  EXPECT_EQ("The transport is closed", takeException());
  callVoid("closeTransport", "(J)V", transport);
  EXPECT_EQ("", takeException()) << "a second close does nothing";
  callVoid("destroyMessage", "(J)V", kept);
  EXPECT_EQ("", takeException());
  callVoid("destroyMessage", "(J)V", kept);
  EXPECT_EQ("", takeException());
  mapitest::setBackgroundSpooler(true);
}

}  // namespace
