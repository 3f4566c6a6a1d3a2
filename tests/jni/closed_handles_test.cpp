// Handles used after their owner was closed: the Java objects and the natives raise a
// MessagingException instead of reaching freed memory.
#include "jvm_fixture.h"

#include <tolvane/mapifixture.h>
#include <tolvane/mapitest.h>
#include <tolvane/profiles.h>

#include <mapicode.h>
#include <mapitags.h>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using mapifixture::Attachment;
using mapifixture::MessageDef;
using mapifixture::Recipient;
using mapifixture::Value;

const char* const kStringSig = "()Ljava/lang/String;";
const char* const kFolderOfMessage = "The folder of this message is closed";
const char* const kStoreOfMessage = "The store of this message is closed";
const char* const kDiscarded = "The message's content was discarded when its delete flag changed; fetch it again";

class ClosedHandles : public JvmTest {
 protected:
  void SetUp() override {
    JvmTest::SetUp();
    mapitest::reset();
    m_profile = std::string("closed-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
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

    MessageDef def;
    def.props = {Value::String(PR_SUBJECT_A, "kept"), Value::String(PR_BODY_A, "the text"),
                 Value::String(PR_SENDER_NAME_A, "Sam"),
                 Value::String(PR_SENDER_EMAIL_ADDRESS_A, "SMTP:sam@example.com")};
    def.recipients = {Recipient::make(MAPI_TO, "Ann", "ann@example.com")};
    def.attachments = {Attachment::file("data.bin", "attached data")};
    std::string eid;
    ASSERT_EQ(mapifixture::addMessage(m_profile, def, eid, error), S_OK) << error;

    m_store = callLong("getStore", kGetStoreSig, str(m_profile.c_str()), str(""), str(""), str(m_tempDir.c_str()));
    ASSERT_EQ("", takeException());
    m_folder = callLong("getInbox", "(J)J", m_store);
    ASSERT_EQ("", takeException());
    callVoid("openFolder", "(JI)V", m_folder, jint{0});
    ASSERT_EQ("", takeException());
  }
  void TearDown() override {
    if (m_folder) callVoid("closeFolder", "(JZ)V", m_folder, JNI_FALSE);
    EXPECT_EQ("", takeException());
    if (m_store) callVoid("closeStore", "(J)V", m_store);
    EXPECT_EQ("", takeException());
    mapitest::reset();
    EXPECT_EQ(mapitest::liveObjects(), m_objects) << "MAPI objects were not released";
    EXPECT_EQ(mapitest::liveBuffers(), m_buffers) << "MAPI buffers were not freed";
    JvmTest::TearDown();
  }
  jobject message() {
    jobject m = callObject("getFolderMessage", kMessageSig, m_folder, newFolder(), jint{1});
    EXPECT_EQ("", takeException());
    return m;
  }
  jlong pointer(jobject m) { return callLongMethod(m, "getMessagePointer", "()J"); }
  // The message's MAPIMultipart (through MAPIMessage.getMultipart) and its parts.
  jobject multipart(jobject m) {
    jobject mp = callObjectMethod(m, "getMultipart", "()Lcom/plimo/mail/mapi/MAPIMultipart;");
    EXPECT_EQ("", takeException());
    return mp;
  }
  jobject part(jobject mp, jint index) {
    jobject p = callObjectMethod(mp, "getBodyPart", "(I)Ljavax/mail/BodyPart;", index);
    return p;
  }
  // What the first read of a part's data stream raises (an IOException that carries the
  // MessagingException's text); "" when it reads.
  std::string firstReadFailure(jobject p) {
    jobject in = callObjectMethod(p, "getInputStream", "()Ljava/io/InputStream;");
    std::string opened = takeException();
    if (!opened.empty()) return opened;
    callIntMethod(in, "read", "()I");
    return takeException("java/io/IOException");
  }
  void closeFolder() {
    callVoid("closeFolder", "(JZ)V", m_folder, JNI_FALSE);
    ASSERT_EQ("", takeException());
    m_folder = 0;
  }
  void closeStore() {
    callVoid("closeStore", "(J)V", m_store);
    ASSERT_EQ("", takeException());
    m_store = 0;
  }

  std::string m_profile;
  std::string m_tempDir;
  jlong m_store = 0;
  jlong m_folder = 0;
  long m_objects = 0;
  long m_buffers = 0;
};

TEST_F(ClosedHandles, MessageOfAClosedFolderRaisesInsteadOfReadingFreedMemory) {
  jobject m = message();
  jobject mp = multipart(m);
  jobject data = part(mp, 1);
  ASSERT_EQ("", takeException());
  closeFolder();
  EXPECT_EQ(nullptr, callObjectMethod(m, "getSubject", kStringSig));
  EXPECT_EQ(kFolderOfMessage, takeException());
  EXPECT_EQ(nullptr, callObjectMethod(m, "getMessageFile", kStringSig));
  EXPECT_EQ(kFolderOfMessage, takeException());
  EXPECT_EQ(nullptr, callObjectMethod(m, "getFrom", "()[Ljavax/mail/Address;"));
  EXPECT_EQ(kFolderOfMessage, takeException());
  // The content fetched before: the multipart and its parts say the same.
  EXPECT_EQ(nullptr, part(mp, 0));
  EXPECT_EQ(kFolderOfMessage, takeException());
  EXPECT_EQ(kFolderOfMessage, firstReadFailure(data));
}

TEST_F(ClosedHandles, MessageOfAClosedStoreRaisesInJavaAndInTheNatives) {
  jobject m = message();
  jlong h = pointer(m);
  jobject mp = multipart(m);
  jlong hMultipart = callLongMethod(mp, "getMultipartPointer", "()J");
  jobject data = part(mp, 1);
  ASSERT_EQ("", takeException());
  jlong hPart = callLongMethod(data, "getBodyPartPointer", "()J");
  closeStore();

  // Through the Java objects.
  EXPECT_EQ(nullptr, callObjectMethod(m, "getMessageFile", kStringSig));
  EXPECT_EQ(kStoreOfMessage, takeException());
  EXPECT_EQ(nullptr, callObjectMethod(m, "getFrom", "()[Ljavax/mail/Address;"));
  EXPECT_EQ(kStoreOfMessage, takeException());
  EXPECT_EQ(kStoreOfMessage, firstReadFailure(data));

  // Straight to the natives: the folder and its messages live on, detached.
  EXPECT_EQ(nullptr, callObject("getMessageFile", "(J)Ljava/lang/String;", h));
  EXPECT_EQ(kStoreOfMessage, takeException());
  EXPECT_EQ(nullptr, callObject("getMessageFrom", "(J)[Ljava/lang/String;", h));
  EXPECT_EQ(kStoreOfMessage, takeException());
  EXPECT_EQ(nullptr, callObject("getMessageTo", "(J)[Ljava/lang/String;", h));
  EXPECT_EQ(kStoreOfMessage, takeException());
  EXPECT_EQ(nullptr, callObject("getMessageSubject", "(J)Ljava/lang/String;", h));
  EXPECT_EQ(kStoreOfMessage, takeException());
  EXPECT_EQ(0, callInt("getMultipartCount", "(J)I", hMultipart));
  EXPECT_EQ(kStoreOfMessage, takeException());
  std::string out = m_tempDir + "/data.bin";
  callVoid("writeBodypartToFile", "(JLjava/lang/String;)V", hPart, str(out.c_str()));
  EXPECT_EQ(kStoreOfMessage, takeException());
  EXPECT_NE(0, access(out.c_str(), F_OK)) << "nothing was written";
  EXPECT_EQ(0, callInt("getFolderMessageCount", "(J)I", m_folder));
  EXPECT_EQ("The store of this folder is closed", takeException());
  callVoid("openFolder", "(JI)V", m_folder, jint{0});
  EXPECT_EQ("The store of this folder is closed", takeException());
  EXPECT_EQ(nullptr, callObject("getFolderMessage", kMessageSig, m_folder, newFolder(), jint{1}));
  EXPECT_EQ("The store of this folder is closed", takeException());
  // The folder still closes (TearDown), releasing what is left.
}

TEST_F(ClosedHandles, StoreOrFolderClosedTwiceRaises) {
  jobject m = message();
  closeFolder();
  jlong folder = callLong("getInbox", "(J)J", m_store);
  ASSERT_EQ("", takeException());
  jlong closedFolder = folder;
  callVoid("closeFolder", "(JZ)V", folder, JNI_TRUE);
  ASSERT_EQ("", takeException());
  callVoid("closeFolder", "(JZ)V", closedFolder, JNI_TRUE);
  EXPECT_EQ("The folder is already closed", takeException());
  EXPECT_EQ(0, callInt("getFolderMessageCount", "(J)I", closedFolder));
  EXPECT_EQ("The folder is closed", takeException());
  EXPECT_EQ(JNI_FALSE, callBoolean("isFolderOpen", "(J)Z", closedFolder));
  EXPECT_EQ("The folder is closed", takeException());

  jlong store = m_store;
  closeStore();
  callVoid("closeStore", "(J)V", store);
  EXPECT_EQ("The store is already closed", takeException());
  EXPECT_EQ(0, callLong("getInbox", "(J)J", store));
  EXPECT_EQ("The store is closed", takeException());
  EXPECT_EQ(nullptr, callObjectMethod(m, "getSubject", kStringSig));
  EXPECT_EQ(kStoreOfMessage, takeException()) << "the outermost closed owner speaks";
}

TEST_F(ClosedHandles, MultipartOfADiscardedContentRaises) {
  jobject m = message();
  jlong h = pointer(m);
  jobject mp = multipart(m);
  jobject data = part(mp, 1);
  ASSERT_EQ("", takeException());
  // Straight to the native: MAPIMessage never hears of the change.
  callVoid("setMessageDeleteFlag", "(JZ)V", h, JNI_FALSE);
  ASSERT_EQ("", takeException());
  EXPECT_EQ(nullptr, part(mp, 0));
  EXPECT_EQ(kDiscarded, takeException());
  EXPECT_EQ(kDiscarded, firstReadFailure(data));
  // A content fetched again through the message is a new one.
  jobject again = callObject("getMessageContent",
                             "(JLcom/plimo/mail/mapi/MAPIMessage;)Lcom/plimo/mail/mapi/MAPIMultipart;", h, m);
  ASSERT_EQ("", takeException());
  EXPECT_EQ(2, callIntMethod(again, "getCount", "()I"));
  EXPECT_NE(nullptr, part(again, 1));
  EXPECT_EQ("", takeException());
}

TEST_F(ClosedHandles, FolderMessagesOfAClosedFolderRaiseToo) {
  auto all = static_cast<jobjectArray>(callObject("getFolderMessages", kMessagesSig, m_folder, newFolder()));
  ASSERT_EQ("", takeException());
  jobject m = env()->GetObjectArrayElement(all, 0);
  closeFolder();
  EXPECT_EQ(nullptr, callObjectMethod(m, "getContent", "()Ljava/lang/Object;"));
  EXPECT_EQ(kFolderOfMessage, takeException());
}

}  // namespace
