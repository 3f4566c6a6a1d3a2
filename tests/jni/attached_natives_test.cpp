// The natives of com.plimo.mail.mapi.MAPINativeAttached from Java: an attached
// message opened from a part of a received message's content, read through
// MAPINative's reading natives like any message of the folder (its own parts
// and attached messages included), closed, and gone with its content, folder
// or store. Every test ends by proving that every MAPI object was released.
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

namespace {

using mapifixture::Attachment;
using mapifixture::MessageDef;
using mapifixture::Recipient;
using mapifixture::Value;

const char* const kOpenSig = "(JILcom/plimo/mail/mapi/MAPIMessage;)J";
const ULONG kBodyHtml = PROP_TAG(PT_STRING8, 0x1013);

class AttachedNatives : public JvmTest {
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
    m_attached = liveAttached();
  }
  void TearDown() override {
    if (m_folder) callVoid("closeFolder", "(JZ)V", m_folder, JNI_FALSE);
    if (m_store) callVoid("closeStore", "(J)V", m_store);
    EXPECT_EQ(m_attached, liveAttached()) << "attached messages were left open";
    mapitest::reset();
    EXPECT_EQ(mapitest::liveObjects(), m_objects) << "MAPI objects were not released";
    EXPECT_EQ(mapitest::liveBuffers(), m_buffers) << "MAPI buffers were not freed";
    JvmTest::TearDown();
  }

  // com.plimo.mail.mapi.MAPINativeAttached (a global reference).
  jclass attachedClass() {
    static jclass cls = nullptr;
    if (!cls) {
      nativeClass();
      jclass local = env()->FindClass("com/plimo/mail/mapi/MAPINativeAttached");
      EXPECT_NE(nullptr, local) << takeException(nullptr);
      cls = static_cast<jclass>(env()->NewGlobalRef(local));
      env()->DeleteLocalRef(local);
    }
    return cls;
  }
  jmethodID attachedMethod(const char* name, const char* sig) {
    jmethodID id = env()->GetStaticMethodID(attachedClass(), name, sig);
    EXPECT_NE(nullptr, id) << "MAPINativeAttached has no static method " << name << sig;
    if (!id) env()->ExceptionClear();
    return id;
  }
  // The calls leave an exception pending for takeException; a call that
  // throws nothing is checked here.
  jlong openAttached(jlong hMultipart, jint index, jobject target = nullptr) {
    jmethodID id = attachedMethod("openAttachedMessage", kOpenSig);
    return id ? env()->CallStaticLongMethod(attachedClass(), id, hMultipart, index, target) : 0;
  }
  void closeAttached(jlong hMessage) {
    jmethodID id = attachedMethod("closeAttachedMessage", "(J)V");
    if (id) env()->CallStaticVoidMethod(attachedClass(), id, hMessage);
  }
  int liveAttached() {
    jmethodID id = attachedMethod("liveAttachedMessages", "()I");
    jint n = id ? env()->CallStaticIntMethod(attachedClass(), id) : -1;
    EXPECT_EQ("", takeException());
    return n;
  }
  // A new MAPIMessage without a folder, for the natives to bind.
  jobject newJavaMessage() {
    jclass cls = env()->FindClass("com/plimo/mail/mapi/MAPIMessage");
    jmethodID ctor = env()->GetMethodID(cls, "<init>", "(Ljavax/mail/Folder;I)V");
    jobject m = env()->NewObject(cls, ctor, nullptr, jint{0});
    EXPECT_EQ("", takeException(nullptr));
    return m;
  }

  void add(const MessageDef& def) {
    std::string eid, error;
    ASSERT_EQ(mapifixture::addMessage(m_profile, def, eid, error), S_OK) << error;
  }
  void openInbox() {
    m_store = callLong("getStore", kGetStoreSig, str(m_profile.c_str()), str(""), str(""), str(m_tempDir.c_str()));
    ASSERT_EQ("", takeException());
    m_folder = callLong("getInbox", "(J)J", m_store);
    ASSERT_EQ("", takeException());
    callVoid("openFolder", "(JI)V", m_folder, jint{0});
    ASSERT_EQ("", takeException());
  }

  // Outer (text, data.bin, Travel.msg); Travel (html, text, notes.txt,
  // Deeper.msg, addressed and dated); Deeper (text).
  void addForwarded() {
    MessageDef deeper;
    deeper.props = {Value::String(PR_SUBJECT_A, "Deeper"), Value::String(PR_BODY_A, "deepest text")};
    MessageDef travel;
    travel.props = {Value::String(PR_SUBJECT_A, "Travel plans"),
                    Value::String(PR_BODY_A, "The train leaves at 9:40."),
                    Value::String(kBodyHtml, "<p>The train</p>"),
                    Value::String(PR_SENDER_NAME_A, "Dave"),
                    Value::String(PR_SENDER_EMAIL_ADDRESS_A, "SMTP:dave@example.org"),
                    Value::UnixTime(PR_CLIENT_SUBMIT_TIME, 946728000)};
    travel.recipients = {Recipient::make(MAPI_TO, "Carol", "carol@example.net"),
                         Recipient::make(MAPI_CC, "Eve", "eve@example.net")};
    travel.attachments = {Attachment::file("notes.txt", "Day 1: Berlin"), Attachment::message("Deeper", deeper)};
    MessageDef outer;
    outer.props = {Value::String(PR_SUBJECT_A, "Fwd: Travel plans"), Value::String(PR_BODY_A, "see below")};
    outer.attachments = {Attachment::file("data.bin", "bytes"), Attachment::message("Travel plans", travel)};
    add(outer);
  }
  // The first message of the Inbox and its content's handle.
  void openOuter(jobject& message, jlong& hMultipart) {
    message = callObject("getFolderMessage", kMessageSig, m_folder, newFolder(), 1);
    ASSERT_EQ("", takeException());
    jobject multipart = callObject("getMessageContent", kContentSig, pointer(message), message);
    ASSERT_EQ("", takeException());
    ASSERT_NE(nullptr, multipart);
    hMultipart = callLongMethod(multipart, "getMultipartPointer", "()J");
  }

  jlong pointer(jobject message) { return callLongMethod(message, "getMessagePointer", "()J"); }
  std::string text(const char* native, jlong h) {
    std::string s = toStd(static_cast<jstring>(callObject(native, "(J)Ljava/lang/String;", h)));
    EXPECT_EQ("", takeException()) << native;
    return s;
  }
  std::vector<std::string> strings(const char* native, jlong h) {
    auto v = toStdVector(static_cast<jobjectArray>(callObject(native, "(J)[Ljava/lang/String;", h)));
    EXPECT_EQ("", takeException()) << native;
    return v;
  }
  jlong contentOf(jlong hMessage, jobject javaMessage = nullptr) {
    jobject multipart = callObject("getMessageContent", kContentSig, hMessage, javaMessage);
    EXPECT_EQ("", takeException());
    return multipart ? callLongMethod(multipart, "getMultipartPointer", "()J") : 0;
  }
  std::string partString(jlong hMultipart, jint index, const char* method) {
    jobject part = callObject("getMultipartBodypart", kPartSig, hMultipart, nullptr, index);
    EXPECT_EQ("", takeException());
    return part ? toStd(static_cast<jstring>(callObjectMethod(part, method, "()Ljava/lang/String;"))) : "";
  }

  std::string m_profile;
  std::string m_tempDir;
  jlong m_store = 0;
  jlong m_folder = 0;
  long m_objects = 0;
  long m_buffers = 0;
  int m_attached = 0;
};

TEST_F(AttachedNatives, AnAttachedMessageReadsLikeAMessageOfTheFolder) {
  addForwarded();
  openInbox();
  jobject outer;
  jlong hOuter;
  openOuter(outer, hOuter);
  ASSERT_EQ(3, callInt("getMultipartCount", "(J)I", hOuter));
  EXPECT_EQ("message/rfc822", partString(hOuter, 2, "getContentType"));

  jobject javaTravel = newJavaMessage();
  jlong hTravel = openAttached(hOuter, 2, javaTravel);
  ASSERT_EQ("", takeException());
  ASSERT_NE(0, hTravel);
  EXPECT_EQ(hTravel, pointer(javaTravel)) << "the Java message is bound to the new handle";
  EXPECT_EQ(m_attached + 1, liveAttached());

  EXPECT_EQ("Travel plans", text("getMessageSubject", hTravel));
  EXPECT_EQ("The train leaves at 9:40.", text("getMessageText", hTravel));
  EXPECT_EQ("<p>The train</p>", text("getMessageHTML", hTravel));
  EXPECT_EQ(std::vector<std::string>{"\"Dave\" <dave@example.org>"}, strings("getMessageFrom", hTravel));
  EXPECT_EQ(std::vector<std::string>{"\"Carol\" <carol@example.net>"}, strings("getMessageTo", hTravel));
  EXPECT_EQ(std::vector<std::string>{"\"Eve\" <eve@example.net>"}, strings("getMessageCC", hTravel));
  EXPECT_DOUBLE_EQ(36526.5, callDouble("getMessageSentDate", "(J)D", hTravel));
  EXPECT_EQ("", takeException());
  // The Java object reads through the same handle.
  EXPECT_EQ("Travel plans",
            toStd(static_cast<jstring>(callObjectMethod(javaTravel, "getSubject", "()Ljava/lang/String;"))));
  EXPECT_EQ("", takeException());

  // Its own parts: the bodies, an attachment with its data, and a message attached to it.
  jlong hTravelParts = contentOf(hTravel, javaTravel);
  ASSERT_NE(0, hTravelParts);
  ASSERT_EQ(4, callInt("getMultipartCount", "(J)I", hTravelParts));
  EXPECT_EQ("text/html", partString(hTravelParts, 0, "getContentType"));
  EXPECT_EQ("text/plain", partString(hTravelParts, 1, "getContentType"));
  EXPECT_EQ("notes.txt", partString(hTravelParts, 2, "getFileName"));
  EXPECT_EQ("Deeper.msg", partString(hTravelParts, 3, "getFileName"));
  jobject notes = callObject("getMultipartBodypart", kPartSig, hTravelParts, nullptr, 2);
  ASSERT_EQ("", takeException());
  std::string notesPath = m_tempDir + "/notes.txt";
  callVoid("writeBodypartToFile", "(JLjava/lang/String;)V", callLongMethod(notes, "getBodyPartPointer", "()J"),
           str(notesPath.c_str()));
  ASSERT_EQ("", takeException());
  EXPECT_EQ("Day 1: Berlin", readFile(notesPath));

  jlong hDeeper = openAttached(hTravelParts, 3);
  ASSERT_EQ("", takeException());
  ASSERT_NE(0, hDeeper);
  EXPECT_EQ("Deeper", text("getMessageSubject", hDeeper));
  EXPECT_EQ("deepest text", text("getMessageText", hDeeper));
  EXPECT_EQ(m_attached + 2, liveAttached());

  // The .msg export of an attached message.
  std::string msg = text("getMessageFile", hTravel);
  EXPECT_EQ(std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8), readFile(msg).substr(0, 8)) << msg;

  // Closing it closes what was opened through it, and ends its Java object.
  closeAttached(hTravel);
  EXPECT_EQ("", takeException());
  EXPECT_EQ(m_attached, liveAttached());
  EXPECT_EQ(nullptr, callObjectMethod(javaTravel, "getSubject", "()Ljava/lang/String;"));
  EXPECT_EQ("The attached message is closed", takeException());
  struct stat st;
  EXPECT_NE(0, stat(msg.c_str(), &st)) << "the export went with the message";

  // A closed handle, a nested one closed with its owner, and 0.
  closeAttached(hTravel);
  EXPECT_EQ("The attached message is closed", takeException());
  closeAttached(hDeeper);
  EXPECT_EQ("The attached message is closed", takeException());
  closeAttached(0);
  EXPECT_EQ("Invalid class pointer.", takeException());
  // A message of the folder is not an attached message: refused, left alone.
  closeAttached(pointer(outer));
  EXPECT_EQ("The attached message is closed", takeException());
  EXPECT_EQ("Fwd: Travel plans", text("getMessageSubject", pointer(outer)));
}

TEST_F(AttachedNatives, BadIndexesAndPartsThatAreNotMessagesAreRefused) {
  addForwarded();
  openInbox();
  jobject outer;
  jlong hOuter;
  openOuter(outer, hOuter);
  for (jint index : {3, -1, 1000}) {
    EXPECT_EQ(0, openAttached(hOuter, index));
    EXPECT_EQ("Body part index " + std::to_string(index) + " is out of range: the message has 3 parts",
              takeException());
  }
  EXPECT_EQ(0, openAttached(hOuter, 0));
  EXPECT_EQ("Body part 0 is not an attached message", takeException());
  EXPECT_EQ(0, openAttached(hOuter, 1));
  EXPECT_EQ("Body part 1 is not an attached message", takeException());
  EXPECT_EQ(0, openAttached(0, 2));
  EXPECT_EQ("Invalid class pointer.", takeException());
  // Nothing was made by the refusals; the right part still opens.
  EXPECT_EQ(m_attached, liveAttached());
  jlong h = openAttached(hOuter, 2);
  ASSERT_EQ("", takeException());
  EXPECT_EQ("Travel plans", text("getMessageSubject", h));
  closeAttached(h);
  EXPECT_EQ("", takeException());
}

TEST_F(AttachedNatives, AnOpenFailureRaisesItsTextAndLeavesNothing) {
  addForwarded();
  openInbox();
  jobject outer;
  jlong hOuter;
  openOuter(outer, hOuter);
  long objects = mapitest::liveObjects();
  mapitest::addFault("IAttach::OpenProperty", 1, MAPI_E_NO_ACCESS);
  EXPECT_EQ(0, openAttached(hOuter, 2));
  EXPECT_EQ(0u, takeException().rfind("Unable to open the attached message: ", 0));
  EXPECT_EQ(m_attached, liveAttached());
  EXPECT_EQ(objects, mapitest::liveObjects()) << "a failed open kept MAPI objects";
}

TEST_F(AttachedNatives, TheFolderCloseClosesAttachedMessagesAndEndsTheirJavaObjects) {
  addForwarded();
  openInbox();
  jobject outer;
  jlong hOuter;
  openOuter(outer, hOuter);
  jobject javaTravel = newJavaMessage();
  openAttached(hOuter, 2, javaTravel);
  ASSERT_EQ("", takeException());
  EXPECT_EQ(m_attached + 1, liveAttached());
  callVoid("closeFolder", "(JZ)V", m_folder, JNI_FALSE);
  ASSERT_EQ("", takeException());
  m_folder = 0;
  EXPECT_EQ(m_attached, liveAttached());
  EXPECT_EQ(nullptr, callObjectMethod(javaTravel, "getSubject", "()Ljava/lang/String;"));
  EXPECT_EQ("The folder of this message is closed", takeException());
}

TEST_F(AttachedNatives, ADeleteFlagChangeOfTheOuterMessageClosesItsAttachedMessages) {
  addForwarded();
  openInbox();
  jobject outer;
  jlong hOuter;
  openOuter(outer, hOuter);
  jobject javaTravel = newJavaMessage();
  openAttached(hOuter, 2, javaTravel);
  ASSERT_EQ("", takeException());
  callVoid("setMessageDeleteFlag", "(JZ)V", pointer(outer), JNI_FALSE);
  ASSERT_EQ("", takeException());
  EXPECT_EQ(m_attached, liveAttached());
  EXPECT_EQ(nullptr, callObjectMethod(javaTravel, "getSubject", "()Ljava/lang/String;"));
  EXPECT_EQ("The message's content was discarded when its delete flag changed; fetch it again", takeException());
}

TEST_F(AttachedNatives, AClosedStoresAttachedMessagesSaySoAndReleaseTheirMapiObjects) {
  addForwarded();
  openInbox();
  jobject outer;
  jlong hOuter;
  openOuter(outer, hOuter);
  jlong hTravel = openAttached(hOuter, 2);
  ASSERT_EQ("", takeException());
  jlong hTravelParts = contentOf(hTravel);
  jlong hDeeper = openAttached(hTravelParts, 3);
  ASSERT_EQ("", takeException());
  callVoid("closeStore", "(J)V", m_store);
  ASSERT_EQ("", takeException());
  m_store = 0;
  for (jlong h : {hTravel, hDeeper}) {
    EXPECT_EQ(nullptr, callObject("getMessageSubject", "(J)Ljava/lang/String;", h));
    EXPECT_EQ("The store of this message is closed", takeException());
  }
  EXPECT_EQ(0, openAttached(hOuter, 2));
  EXPECT_EQ("The store of this message is closed", takeException());
  // They are still there, without MAPI objects, until closed.
  EXPECT_EQ(m_attached + 2, liveAttached());
  closeAttached(hTravel);
  EXPECT_EQ("", takeException());
  EXPECT_EQ(m_attached, liveAttached());
}

}  // namespace

// readPartData: a part's data straight from the store, in pieces that go on
// where the last one ended or seek, without a file; the same bytes as
// writeBodypartToFile writes.
class PartData : public AttachedNatives {
 protected:
  jint read(jlong hPart, jlong offset, jbyteArray buffer, jint start, jint length) {
    jmethodID id = attachedMethod("readPartData", "(JJ[BII)I");
    return id ? env()->CallStaticIntMethod(attachedClass(), id, hPart, offset, buffer, start, length) : 0;
  }
  // Every byte from offset on, in pieces of `piece` bytes.
  std::string readAll(jlong hPart, jint piece, jlong offset = 0) {
    jbyteArray buffer = env()->NewByteArray(piece);
    std::string out;
    for (;;) {
      jint n = read(hPart, offset + static_cast<jlong>(out.size()), buffer, 0, piece);
      EXPECT_EQ("", takeException());
      if (n <= 0) {
        EXPECT_EQ(-1, n);
        break;
      }
      EXPECT_LE(n, piece);
      std::string got(static_cast<size_t>(n), '\0');
      env()->GetByteArrayRegion(buffer, 0, n, reinterpret_cast<jbyte*>(&got[0]));
      out += got;
    }
    env()->DeleteLocalRef(buffer);
    return out;
  }
  jlong partHandle(jlong hMultipart, jint index) {
    jobject part = callObject("getMultipartBodypart", kPartSig, hMultipart, nullptr, index);
    EXPECT_EQ("", takeException());
    return part ? callLongMethod(part, "getBodyPartPointer", "()J") : 0;
  }
  // Outer (text "see below", big.bin of 600,001 bytes: more than two of the
  // store's pieces, Travel plans.msg).
  std::string addLarge() {
    std::string big;
    for (int i = 0; i < 600001; ++i) big += static_cast<char>((i * 31 + (i >> 9)) & 0xff);
    MessageDef travel;
    travel.props = {Value::String(PR_SUBJECT_A, "Travel plans"), Value::String(PR_BODY_A, "The train")};
    MessageDef outer;
    outer.props = {Value::String(PR_SUBJECT_A, "Large"), Value::String(PR_BODY_A, "see below")};
    outer.attachments = {Attachment::file("big.bin", big), Attachment::message("Travel plans", travel)};
    add(outer);
    return big;
  }
  // addLarge, the Inbox opened, and the message's Java object and content.
  std::string openLarge(jobject& outer, jlong& hOuter) {
    std::string big = addLarge();
    openInbox();
    openOuter(outer, hOuter);
    return big;
  }
};

TEST_F(PartData, ReadsTheStoredBytesInPiecesAndSeeks) {
  jobject outer;
  jlong hOuter;
  std::string big = openLarge(outer, hOuter);
  jlong hBig = partHandle(hOuter, 1);
  EXPECT_EQ("see below", readAll(partHandle(hOuter, 0), 4096));
  EXPECT_EQ(big, readAll(hBig, 65536));
  EXPECT_EQ(big, readAll(hBig, 1 << 22)) << "one piece per call, at most 1 MiB";
  EXPECT_EQ(big.substr(300000), readAll(hBig, 7000, 300000)) << "a read that seeks back";
  EXPECT_EQ("", readAll(hBig, 10, static_cast<jlong>(big.size()) + 5)) << "past the end";

  // Into the middle of a buffer, which keeps the rest.
  jbyteArray buffer = env()->NewByteArray(16);
  jbyte marks[16];
  for (int i = 0; i < 16; ++i) marks[i] = 'x';
  env()->SetByteArrayRegion(buffer, 0, 16, marks);
  EXPECT_EQ(4, read(hBig, 1000, buffer, 6, 4));
  ASSERT_EQ("", takeException());
  env()->GetByteArrayRegion(buffer, 0, 16, marks);
  EXPECT_EQ("xxxxxx" + big.substr(1000, 4) + "xxxxxx", std::string(reinterpret_cast<char*>(marks), 16));
  EXPECT_EQ(0, read(hBig, 0, buffer, 0, 0));
  EXPECT_EQ("", takeException());

  // The same bytes as the part's file.
  std::string path = m_tempDir + "/big.bin";
  callVoid("writeBodypartToFile", "(JLjava/lang/String;)V", hBig, str(path.c_str()));
  ASSERT_EQ("", takeException());
  std::ifstream file(path, std::ios::binary);
  std::stringstream written;
  written << file.rdbuf();
  EXPECT_EQ(big, written.str());
  EXPECT_EQ(big.substr(0, 5000), readAll(hBig, 5000).substr(0, 5000)) << "a read after the file was written";
}

TEST_F(PartData, RefusalsAndAFailedReadSayWhy) {
  jobject outer;
  jlong hOuter;
  std::string big = openLarge(outer, hOuter);
  jlong hBig = partHandle(hOuter, 1);
  jbyteArray buffer = env()->NewByteArray(100);
  EXPECT_EQ(0, read(0, 0, buffer, 0, 100));
  EXPECT_EQ("Invalid class pointer.", takeException());
  EXPECT_EQ(0, read(hBig, 0, nullptr, 0, 100));
  EXPECT_EQ("No buffer to read the part's data into", takeException());
  for (auto range : {std::make_pair(-1, 10), std::make_pair(0, 101), std::make_pair(95, 6), std::make_pair(0, -1)}) {
    EXPECT_EQ(0, read(hBig, 0, buffer, range.first, range.second));
    EXPECT_EQ("The part's data cannot be read into that range of the buffer", takeException())
        << range.first << " " << range.second;
  }
  EXPECT_EQ(0, read(hBig, -5, buffer, 0, 10));
  EXPECT_EQ("The part's data cannot be read into that range of the buffer", takeException());
  EXPECT_EQ(0, read(partHandle(hOuter, 2), 0, buffer, 0, 100));
  EXPECT_EQ("The body part is an attached message: its data is a .msg file (writeBodypartToFile)", takeException());

  // A store that fails a read: the text, and the next read starts afresh.
  EXPECT_EQ(100, read(hBig, 0, buffer, 0, 100));
  ASSERT_EQ("", takeException());
  mapitest::addFault("IStream::Read", 1, MAPI_E_DISK_ERROR);
  EXPECT_EQ(0, read(hBig, 100, buffer, 0, 100));
  EXPECT_EQ("Unable to read the part's data", takeException());
  EXPECT_EQ(big.substr(100), readAll(hBig, 65536, 100));
  mapitest::addFault("IMessage::OpenAttach", 1, MAPI_E_NO_ACCESS);
  EXPECT_EQ(0, read(hBig, 0, buffer, 0, 100));
  EXPECT_EQ("Unable to read the part's data", takeException());
  EXPECT_EQ(big, readAll(hBig, 65536));
}

TEST_F(PartData, AnOpenStreamIsLetGoWithItsContent) {
  jobject outer;
  jlong hOuter;
  openLarge(outer, hOuter);
  jlong before = mapitest::liveObjects();
  jbyteArray buffer = env()->NewByteArray(100);
  // Half read: the stream and its attachment stay open.
  EXPECT_EQ(100, read(partHandle(hOuter, 1), 0, buffer, 0, 100));
  ASSERT_EQ("", takeException());
  EXPECT_LT(before, mapitest::liveObjects());
  // A delete-flag change discards the content; the fixture's TearDown then
  // proves that nothing of it is left once the folder closes.
  callVoid("setMessageDeleteFlag", "(JZ)V", pointer(outer), JNI_TRUE);
  ASSERT_EQ("", takeException());
  EXPECT_GE(before, mapitest::liveObjects());
}
