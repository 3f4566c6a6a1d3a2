// Nothing but a Java exception leaves a native: a C++ exception that crosses into the VM
// ends the process. Every allocation of the test thread fails while a test says so (this
// binary replaces the global operator new, which the native library uses too), and the
// natives that allocate on their way must raise a MessagingException and stay usable.
#include "jvm_fixture.h"

#include <tolvane/mapifixture.h>
#include <tolvane/mapitest.h>
#include <tolvane/profiles.h>

#include <mapicode.h>
#include <mapitags.h>

#include <cstdlib>
#include <new>
#include <string>
#include <sys/stat.h>

namespace {

// Only the test thread's allocations fail, and only between the calls of a FailingAllocations.
thread_local bool t_failAllocations = false;

}  // namespace

// The default operator delete (libstdc++'s) frees with free, which fits.
void* operator new(std::size_t size) {
  if (t_failAllocations) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

namespace {

const char* const kUnexpected = "Unexpected failure in the native MAPI library";

// Every allocation of this thread fails while it exists. Nothing between its construction
// and its end may allocate but the code under test.
class FailingAllocations {
 public:
  FailingAllocations() { t_failAllocations = true; }
  ~FailingAllocations() { t_failAllocations = false; }
};

class NativeBoundary : public JvmTest {
 protected:
  void SetUp() override {
    JvmTest::SetUp();
    mapitest::reset();
    // Texts longer than std::string keeps in place: loading them allocates.
    m_profile = std::string("boundary-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    mapiprofile::Profile p;
    p.name = m_profile;
    std::string error;
    ASSERT_EQ(mapiprofile::create(p, error), S_OK) << error;
    const char* temp = getenv("TEMP");
    m_tempDir = std::string(temp ? temp : "/tmp") + "/" + m_profile;
    mkdir(m_tempDir.c_str(), 0700);
    callBoolean("initMapi", "()Z");
    m_objects = mapitest::liveObjects();
  }
  void TearDown() override {
    t_failAllocations = false;
    if (m_folder) callVoid("closeFolder", "(JZ)V", m_folder, JNI_FALSE);
    if (m_store) callVoid("closeStore", "(J)V", m_store);
    EXPECT_EQ("", takeException());
    EXPECT_EQ(mapitest::liveObjects(), m_objects) << "MAPI objects were not released";
    JvmTest::TearDown();
  }
  void openInbox() {
    mapifixture::MessageDef def;
    def.props = {mapifixture::Value::String(PR_SUBJECT_A, "a subject")};
    def.attachments = {mapifixture::Attachment::file("attachment-with-a-long-name.bin", "data")};
    std::string eid, error;
    ASSERT_EQ(mapifixture::addMessage(m_profile, def, eid, error), S_OK) << error;
    m_store = callLong("getStore", kGetStoreSig, str(m_profile.c_str()), str(""), str(""), str(m_tempDir.c_str()));
    ASSERT_EQ("", takeException());
    m_folder = callLong("getInbox", "(J)J", m_store);
    ASSERT_EQ("", takeException());
    callVoid("openFolder", "(JI)V", m_folder, jint{0});
    ASSERT_EQ("", takeException());
    EXPECT_EQ(1, callInt("getFolderMessageCount", "(J)I", m_folder));
    ASSERT_EQ("", takeException());
  }

  std::string m_profile;
  std::string m_tempDir;
  jlong m_store = 0;
  jlong m_folder = 0;
  long m_objects = 0;
};

TEST_F(NativeBoundary, FailedAllocationsWhileLoadingArgumentsRaise) {
  jstring profile = str(m_profile.c_str());
  jstring empty = str("");
  jstring temp = str(m_tempDir.c_str());
  jstring longText = str("a text too long to be kept inside a std::string");
  jlong store = 0, transport = 0;
  {
    FailingAllocations failing;
    store = callLong("getStore", kGetStoreSig, profile, empty, empty, temp);
  }
  EXPECT_EQ(0, store);
  EXPECT_EQ(kUnexpected, takeException());
  {
    FailingAllocations failing;
    transport = callLong("getTransport", kGetStoreSig, profile, empty, temp, empty);
  }
  EXPECT_EQ(0, transport);
  EXPECT_EQ(kUnexpected, takeException());
  {
    FailingAllocations failing;
    callVoid("setMessageSubject", "(JLjava/lang/String;)V", jlong{0}, longText);
  }
  EXPECT_EQ(kUnexpected, takeException());
  {
    FailingAllocations failing;
    callVoid("addMessageToRecipient", "(JLjava/lang/String;Ljava/lang/String;)V", jlong{0}, longText, longText);
  }
  EXPECT_EQ(kUnexpected, takeException());
  // The same calls work once memory is there again.
  m_store = callLong("getStore", kGetStoreSig, profile, empty, empty, temp);
  EXPECT_EQ("", takeException());
  EXPECT_NE(0, m_store);
}

TEST_F(NativeBoundary, FailedAllocationsOfNativeObjectsRaise) {
  openInbox();
  jlong folder = 0;
  {
    FailingAllocations failing;
    folder = callLong("getInbox", "(J)J", m_store);
  }
  EXPECT_EQ(0, folder);
  EXPECT_EQ(kUnexpected, takeException());

  jobject javaFolder = newFolder();
  jobject message = nullptr;
  {
    FailingAllocations failing;
    message = callObject("getFolderMessage", kMessageSig, m_folder, javaFolder, jint{1});
  }
  EXPECT_EQ(nullptr, message);
  EXPECT_EQ(kUnexpected, takeException());

  message = callObject("getFolderMessage", kMessageSig, m_folder, javaFolder, jint{1});
  ASSERT_EQ("", takeException());
  jlong h = callLongMethod(message, "getMessagePointer", "()J");
  jobject multipart = nullptr;
  {
    FailingAllocations failing;
    multipart = callObject("getMessageContent", kContentSig, h, message);
  }
  EXPECT_EQ(nullptr, multipart);
  EXPECT_EQ("Unable to retrieve message content", takeException());

  multipart = callObject("getMessageContent", kContentSig, h, message);
  ASSERT_EQ("", takeException());
  ASSERT_NE(nullptr, multipart);
  jlong hMultipart = callLongMethod(multipart, "getMultipartPointer", "()J");
  jobject part = nullptr;
  {
    FailingAllocations failing;
    part = callObject("getMultipartBodypart", kPartSig, hMultipart, multipart, jint{0});
  }
  EXPECT_EQ(nullptr, part);
  EXPECT_EQ(kUnexpected, takeException());

  // Everything stays usable.
  part = callObject("getMultipartBodypart", kPartSig, hMultipart, multipart, jint{0});
  ASSERT_EQ("", takeException());
  EXPECT_EQ("attachment-with-a-long-name.bin",
            toStd(static_cast<jstring>(callObjectMethod(part, "getFileName", "()Ljava/lang/String;"))));
  folder = callLong("getInbox", "(J)J", m_store);
  EXPECT_EQ("", takeException());
  callVoid("closeFolder", "(JZ)V", folder, JNI_FALSE);
  EXPECT_EQ("", takeException());
}

}  // namespace
