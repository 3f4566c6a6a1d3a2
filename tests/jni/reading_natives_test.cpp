// Reading a store from Java: the Inbox, its messages as MAPIMessage objects,
// their reads, their content and their files.
#include "jvm_fixture.h"

#include <tolvane/mapifixture.h>
#include <tolvane/mapitest.h>
#include <tolvane/profiles.h>

#include <mapicode.h>
#include <mapitags.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using mapifixture::Attachment;
using mapifixture::MessageDef;
using mapifixture::Recipient;
using mapifixture::Value;

const ULONG kBodyHtml = PROP_TAG(PT_STRING8, 0x1013);

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

class ReadingNatives : public JvmTest {
 protected:
  void SetUp() override {
    JvmTest::SetUp();
    mapitest::reset();
    m_profile = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    mapiprofile::Profile p;
    p.name = m_profile;
    std::string error;
    ASSERT_EQ(mapiprofile::create(p, error), S_OK) << error;
    const char* temp = getenv("TEMP");
    m_tempDir = std::string(temp ? temp : "/tmp") + "/" + m_profile;
    mkdir(m_tempDir.c_str(), 0700);
    callBoolean("initMapi", "()Z");
    m_objects = mapitest::liveObjects();
    m_buffers = mapitest::liveBuffers();
  }
  void TearDown() override {
    if (m_folder) callVoid("closeFolder", "(JZ)V", m_folder, JNI_FALSE);
    if (m_store) callVoid("closeStore", "(J)V", m_store);
    mapitest::reset();
    EXPECT_EQ(mapitest::liveObjects(), m_objects) << "MAPI objects were not released";
    EXPECT_EQ(mapitest::liveBuffers(), m_buffers) << "MAPI buffers were not freed";
    JvmTest::TearDown();
  }
  void add(const MessageDef& def) {
    std::string eid, error;
    ASSERT_EQ(mapifixture::addMessage(m_profile, def, eid, error), S_OK) << error;
  }
  void addSubjects(int n) {
    for (int i = 1; i <= n; ++i) {
      MessageDef def;
      def.props = {Value::String(PR_SUBJECT_A, "message " + std::to_string(i))};
      add(def);
    }
  }
  void openInbox() {
    m_store = callLong("getStore", kGetStoreSig, str(m_profile.c_str()), str(""), str(""), str(m_tempDir.c_str()));
    ASSERT_EQ("", takeException());
    m_folder = callLong("getInbox", "(J)J", m_store);
    ASSERT_EQ("", takeException());
    callVoid("openFolder", "(JI)V", m_folder, jint{0});
    ASSERT_EQ("", takeException());
  }
  jlong pointer(jobject message) { return callLongMethod(message, "getMessagePointer", "()J"); }
  std::string subject(jobject message) {
    return toStd(static_cast<jstring>(callObject("getMessageSubject", "(J)Ljava/lang/String;", pointer(message))));
  }
  std::vector<std::string> strings(const char* native, jlong message) {
    return toStdVector(static_cast<jobjectArray>(callObject(native, "(J)[Ljava/lang/String;", message)));
  }

  std::string m_profile;
  std::string m_tempDir;
  jlong m_store = 0;
  jlong m_folder = 0;
  long m_objects = 0;
  long m_buffers = 0;
};

TEST_F(ReadingNatives, FolderOpensCountsAndFetchesAllMessages) {
  addSubjects(3);
  openInbox();
  EXPECT_EQ(JNI_TRUE, callBoolean("isFolderOpen", "(J)Z", m_folder));
  EXPECT_EQ(3, callInt("getFolderMessageCount", "(J)I", m_folder));
  jobject folder = newFolder();
  auto all = static_cast<jobjectArray>(callObject("getFolderMessages", kMessagesSig, m_folder, folder));
  ASSERT_EQ("", takeException());
  ASSERT_EQ(3, env()->GetArrayLength(all));
  for (jint i = 0; i < 3; ++i) {
    jobject m = env()->GetObjectArrayElement(all, i);
    EXPECT_EQ(i + 1, callIntMethod(m, "getMessageNumber", "()I"));
    EXPECT_TRUE(env()->IsSameObject(folder, callObjectMethod(m, "getFolder", "()Ljavax/mail/Folder;")));
    EXPECT_EQ("message " + std::to_string(i + 1), subject(m));
  }
  // A message fetched from a folder belongs to it: destroyMessage leaves it.
  jobject first = env()->GetObjectArrayElement(all, 0);
  callVoid("destroyMessage", "(J)V", pointer(first));
  EXPECT_EQ("message 1", subject(first));
}

TEST_F(ReadingNatives, ChunksArePlacedAtTheirNumbers) {
  addSubjects(6);
  openInbox();
  jobject folder = newFolder();
  auto chunk = static_cast<jobjectArray>(callObject("getFolderMessageChunk", kChunkSig, m_folder, folder, 3, 5));
  ASSERT_EQ("", takeException());
  ASSERT_EQ(5, env()->GetArrayLength(chunk));
  EXPECT_EQ(nullptr, env()->GetObjectArrayElement(chunk, 0));
  EXPECT_EQ(nullptr, env()->GetObjectArrayElement(chunk, 1));
  for (jint i = 2; i < 5; ++i) EXPECT_EQ("message " + std::to_string(i + 1), subject(env()->GetObjectArrayElement(chunk, i)));

  auto empty = static_cast<jobjectArray>(callObject("getFolderMessageChunk", kChunkSig, m_folder, folder, 4, 2));
  ASSERT_EQ("", takeException());
  ASSERT_EQ(2, env()->GetArrayLength(empty));
  EXPECT_EQ(nullptr, env()->GetObjectArrayElement(empty, 0));
  EXPECT_EQ(nullptr, env()->GetObjectArrayElement(empty, 1));
}

TEST_F(ReadingNatives, OutOfRangeFetchesFailAndLeaveNothingBehind) {
  addSubjects(2);
  openInbox();
  jobject folder = newFolder();
  EXPECT_EQ(2, callInt("getFolderMessageCount", "(J)I", m_folder));  // the list exists from here on
  long before = mapitest::liveObjects();
  EXPECT_EQ(nullptr, callObject("getFolderMessageChunk", kChunkSig, m_folder, folder, 0, 2));
  EXPECT_EQ("Index is out of range", takeException());
  EXPECT_EQ(nullptr, callObject("getFolderMessageChunk", kChunkSig, m_folder, folder, 1, 3));
  EXPECT_EQ("Index is out of range", takeException());
  for (jint n : {0, -1, 3}) {
    EXPECT_EQ(nullptr, callObject("getFolderMessage", kMessageSig, m_folder, folder, n));
    EXPECT_EQ("Index is out of range", takeException());
  }
  EXPECT_EQ(mapitest::liveObjects(), before) << "a failed fetch kept messages open";
  // The folder stays usable.
  jobject second = callObject("getFolderMessage", kMessageSig, m_folder, folder, 2);
  ASSERT_EQ("", takeException());
  EXPECT_EQ("message 2", subject(second));
  EXPECT_EQ(nullptr, callObject("getFolderMessageChunk", kChunkSig, m_folder, folder, 1, -1));
  EXPECT_EQ("Unable to create MAPIMessage result array", takeException());
}

TEST_F(ReadingNatives, EmptyOrUnopenedFolderHasNoMessages) {
  m_store = callLong("getStore", kGetStoreSig, str(m_profile.c_str()), str(""), str(""), str(m_tempDir.c_str()));
  m_folder = callLong("getInbox", "(J)J", m_store);
  ASSERT_EQ("", takeException());
  EXPECT_EQ(JNI_FALSE, callBoolean("isFolderOpen", "(J)Z", m_folder));
  jobject folder = newFolder();
  auto all = static_cast<jobjectArray>(callObject("getFolderMessages", kMessagesSig, m_folder, folder));
  ASSERT_EQ("", takeException());
  EXPECT_EQ(0, env()->GetArrayLength(all));
  EXPECT_EQ(nullptr, callObject("getFolderMessage", kMessageSig, m_folder, folder, 1));
  EXPECT_EQ("Index is out of range", takeException());
}

TEST_F(ReadingNatives, MessageReadsFromJava) {
  MessageDef def;
  def.props = {Value::String(PR_SUBJECT_A, "Quarterly"),
               Value::String(PR_BODY_A, "plain"),
               Value::String(kBodyHtml, "<p>html</p>"),
               Value::String(PR_SENDER_NAME_A, "Sam"),
               Value::String(PR_SENDER_EMAIL_ADDRESS_A, "SMTP:sam@example.com"),
               Value::UnixTime(PR_CLIENT_SUBMIT_TIME, 946728000),
               Value::Long(PR_IMPORTANCE, 2)};
  def.recipients = {Recipient::make(MAPI_TO, "Ann", "ann@example.com"), Recipient::make(MAPI_TO, "Bob", "bob@example.com"),
                    Recipient::make(MAPI_CC, "Cy", "cy@example.com")};
  add(def);
  openInbox();
  jobject m = callObject("getFolderMessage", kMessageSig, m_folder, newFolder(), 1);
  ASSERT_EQ("", takeException());
  jlong h = pointer(m);
  EXPECT_EQ("Quarterly", subject(m));
  EXPECT_EQ("plain", toStd(static_cast<jstring>(callObject("getMessageText", "(J)Ljava/lang/String;", h))));
  EXPECT_EQ("<p>html</p>", toStd(static_cast<jstring>(callObject("getMessageHTML", "(J)Ljava/lang/String;", h))));
  EXPECT_EQ("", toStd(static_cast<jstring>(callObject("getMessageID", "(J)Ljava/lang/String;", h))));
  EXPECT_EQ("1", toStd(static_cast<jstring>(callObject("getMessagePriority", "(J)Ljava/lang/String;", h))));
  EXPECT_EQ(std::vector<std::string>{"\"Sam\" <sam@example.com>"}, strings("getMessageFrom", h));
  EXPECT_EQ((std::vector<std::string>{"\"Ann\" <ann@example.com>", "\"Bob\" <bob@example.com>"}),
            strings("getMessageTo", h));
  EXPECT_EQ(std::vector<std::string>{"\"Cy\" <cy@example.com>"}, strings("getMessageCC", h));
  EXPECT_EQ(std::vector<std::string>{}, strings("getMessageBCC", h));
  EXPECT_EQ(std::vector<std::string>{"\"Sam\" <sam@example.com>"}, strings("getMessageReplyTo", h));
  EXPECT_DOUBLE_EQ(36526.5, callDouble("getMessageSentDate", "(J)D", h));
  EXPECT_DOUBLE_EQ(0.0, callDouble("getMessageReceiveTime", "(J)D", h));
  EXPECT_EQ("", takeException());
}

TEST_F(ReadingNatives, ReadFailuresRaiseTheFixedTexts) {
  MessageDef def;
  def.props = {Value::String(PR_SUBJECT_A, "x")};
  def.recipients = {Recipient::make(MAPI_TO, "Ann", "ann@example.com")};
  add(def);
  openInbox();
  jlong h = pointer(callObject("getFolderMessage", kMessageSig, m_folder, newFolder(), 1));
  ASSERT_EQ("", takeException());
  mapitest::addFault("IMessage::GetProps", 1, MAPI_E_NO_ACCESS);
  EXPECT_EQ(nullptr, callObject("getMessageSubject", "(J)Ljava/lang/String;", h));
  EXPECT_EQ("Unable to retrieve subject for message", takeException());
  mapitest::addFault("IMessage::GetRecipientTable", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(nullptr, callObject("getMessageTo", "(J)[Ljava/lang/String;", h));
  EXPECT_EQ("Unable to retrieve TO for message", takeException());
  mapitest::addFault("IMessage::GetProps", 1, MAPI_E_NO_ACCESS);
  EXPECT_EQ(nullptr, callObject("getMessageFrom", "(J)[Ljava/lang/String;", h));
  EXPECT_EQ(takeException().rfind("CMapiMessage::getForm: failed ", 0), 0u);
  mapitest::addFault("IMessage::GetProps", 1, MAPI_E_NO_ACCESS);
  EXPECT_EQ(0.0, callDouble("getMessageSentDate", "(J)D", h));
  EXPECT_EQ("Unable to retrieve Sent Date for message", takeException());
}

TEST_F(ReadingNatives, ContentPartsFilesAndMsgExport) {
  std::string data(200000, 'q');
  data += "tail";
  MessageDef inner;
  inner.props = {Value::String(PR_SUBJECT_A, "inner")};
  MessageDef def;
  def.props = {Value::String(PR_SUBJECT_A, "with parts"), Value::String(PR_BODY_A, "the text"),
               Value::String(kBodyHtml, "<b>the html</b>")};
  def.attachments = {Attachment::file("data.bin", data), Attachment::message("Earlier", inner)};
  add(def);
  openInbox();
  jobject message = callObject("getFolderMessage", kMessageSig, m_folder, newFolder(), 1);
  jlong h = pointer(message);
  jobject multipart = callObject("getMessageContent",
                                 "(JLcom/plimo/mail/mapi/MAPIMessage;)Lcom/plimo/mail/mapi/MAPIMultipart;", h, message);
  ASSERT_EQ("", takeException());
  ASSERT_NE(nullptr, multipart);
  jlong hMultipart = callLongMethod(multipart, "getMultipartPointer", "()J");
  ASSERT_EQ(4, callInt("getMultipartCount", "(J)I", hMultipart));
  const char* partSig = "(JLcom/plimo/mail/mapi/MAPIMultipart;I)Lcom/plimo/mail/mapi/MAPIBodyPart;";
  std::vector<jobject> parts;
  for (jint i = 0; i < 4; ++i) {
    parts.push_back(callObject("getMultipartBodypart", partSig, hMultipart, multipart, i));
    ASSERT_EQ("", takeException());
  }
  auto text = [&](jobject o, const char* method) {
    return toStd(static_cast<jstring>(callObjectMethod(o, method, "()Ljava/lang/String;")));
  };
  EXPECT_EQ("text/html", text(parts[0], "getContentType"));
  EXPECT_EQ("text/plain", text(parts[1], "getContentType"));
  EXPECT_EQ("data.bin", text(parts[2], "getFileName"));
  EXPECT_EQ("attachment", text(parts[2], "getDisposition"));
  EXPECT_EQ("Earlier.msg", text(parts[3], "getFileName"));
  EXPECT_EQ("message/rfc822", text(parts[3], "getContentType"));

  EXPECT_EQ(nullptr, callObject("getMultipartBodypart", partSig, hMultipart, multipart, 4));
  EXPECT_EQ("Body part index 4 is out of range: the message has 4 parts", takeException());

  jlong hData = callLongMethod(parts[2], "getBodyPartPointer", "()J");
  EXPECT_EQ("attachment", toStd(static_cast<jstring>(callObject("getBodypartDisposition", "(J)Ljava/lang/String;", hData))));
  std::string out = m_tempDir + "/data.bin";
  callVoid("writeBodypartToFile", "(JLjava/lang/String;)V", hData, str(out.c_str()));
  ASSERT_EQ("", takeException());
  EXPECT_EQ(data, readFile(out));

  auto msgPath = toStd(static_cast<jstring>(callObject("getMessageFile", "(J)Ljava/lang/String;", h)));
  ASSERT_EQ("", takeException());
  EXPECT_EQ(std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8), readFile(msgPath).substr(0, 8));

  // The delete flag discards the content and the files that belong to it.
  callVoid("setMessageDeleteFlag", "(JZ)V", h, JNI_TRUE);
  EXPECT_FALSE(exists(out));
  EXPECT_FALSE(exists(msgPath));
  callVoid("closeFolder", "(JZ)V", m_folder, JNI_TRUE);
  m_folder = 0;
  callVoid("closeStore", "(J)V", m_store);
  openInbox();
  EXPECT_EQ(0, callInt("getFolderMessageCount", "(J)I", m_folder)) << "expunge deleted the flagged message";
}

TEST_F(ReadingNatives, PartDataReadThroughJavaLivesInPrivateFiles) {
  MessageDef inner;
  inner.props = {Value::String(PR_SUBJECT_A, "inner")};
  MessageDef def;
  def.attachments = {Attachment::file("data.bin", "private bytes"), Attachment::message("Earlier", inner)};
  add(def);
  openInbox();
  jobject message = callObject("getFolderMessage", kMessageSig, m_folder, newFolder(), 1);
  ASSERT_EQ("", takeException());
  jobject multipart = callObjectMethod(message, "getMultipart", "()Lcom/plimo/mail/mapi/MAPIMultipart;");
  ASSERT_EQ("", takeException());
  for (jint i = 0; i < 2; ++i) {
    jobject part = callObjectMethod(multipart, "getBodyPart", "(I)Ljavax/mail/BodyPart;", i);
    ASSERT_EQ("", takeException());
    jobject in = callObjectMethod(part, "getInputStream", "()Ljava/io/InputStream;");
    ASSERT_EQ("", takeException()) << "part " << i;
    callVoidMethod(in, "close", "()V");
    // The file the store wrote (MAPIBodyPart.dataFile, private: JNI reaches it all the same).
    jobject file = callObjectMethod(part, "dataFile", "()Ljava/io/File;");
    ASSERT_EQ("", takeException());
    std::string path = toStd(static_cast<jstring>(callObjectMethod(file, "getPath", "()Ljava/lang/String;")));
    struct stat st;
    ASSERT_EQ(0, lstat(path.c_str(), &st)) << path;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
    EXPECT_EQ(0600u, st.st_mode & 07777) << path;
    std::string dir = path.substr(0, path.rfind('/'));
    ASSERT_EQ(0, lstat(dir.c_str(), &st)) << dir;
    EXPECT_EQ(0700u, st.st_mode & 07777) << dir;
    EXPECT_EQ(i == 0 ? "private bytes" : std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8),
              readFile(path).substr(0, i == 0 ? 13 : 8));
  }
}

TEST_F(ReadingNatives, MessageWithoutContentGivesNull) {
  MessageDef def;
  def.props = {Value::String(PR_SUBJECT_A, "bare")};
  add(def);
  openInbox();
  jobject message = callObject("getFolderMessage", kMessageSig, m_folder, newFolder(), 1);
  EXPECT_EQ(nullptr, callObject("getMessageContent",
                                "(JLcom/plimo/mail/mapi/MAPIMessage;)Lcom/plimo/mail/mapi/MAPIMultipart;",
                                pointer(message), message));
  EXPECT_EQ("", takeException());
}

TEST_F(ReadingNatives, MissingTempDirectoryFailsTheExport) {
  addSubjects(1);
  m_store = callLong("getStore", kGetStoreSig, str(m_profile.c_str()), str(""), str(""),
                     str((m_tempDir + "/missing").c_str()));
  m_folder = callLong("getInbox", "(J)J", m_store);
  callVoid("openFolder", "(JI)V", m_folder, jint{0});
  ASSERT_EQ("", takeException());
  jobject message = callObject("getFolderMessage", kMessageSig, m_folder, newFolder(), 1);
  EXPECT_EQ(nullptr, callObject("getMessageFile", "(J)Ljava/lang/String;", pointer(message)));
  EXPECT_EQ("CMapiMessage::SaveToMSG failed to create temp file: 2\n", takeException());
}

}  // namespace
