// GoogleTest fixture for the JNI tests: a Java VM inside the test process, with our
// Java classes on its class path and the native library on its library path, so that the
// natives run exactly as they do under the Java service, with a real JNIEnv.
//
// One VM per process (a process can create only one): it starts at the first test and
// lives until the process ends. It runs with -Xcheck:jni; CTest fails the run when the
// VM prints a JNI warning.
//
//   class StoreNatives : public JvmTest {};
//
//   TEST_F(StoreNatives, ZeroHandleIsRejected) {
//     jlong folder = callLong("getInbox", "(J)J", jlong{0});
//     EXPECT_EQ(0, folder);
//     EXPECT_EQ("Invalid class pointer.", takeException());
//   }
//
// Rules that keep -Xcheck:jni quiet:
//  - After a call that throws, take the exception (takeException) before making any other
//    JNI call. The fixture reports a test failure for an exception left pending.
//  - Calls made with env() directly (NewObject, CallObjectMethod...) need an
//    ExceptionCheck (or takeException) before the next JNI call even when nothing was
//    thrown; the call helpers below make it themselves.
//  - Arguments pass through C varargs: give handles as jlong (jlong{0}, not 0) and
//    booleans as jboolean (JNI_TRUE); an int where a long is expected reads garbage.
//  - Every test runs inside a local frame of kLocalCapacity references; a test that
//    makes more (a loop over many messages) opens a LocalFrame of its own.
#pragma once

#include <jni.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// JNI signatures of the natives the tests call most.
inline const char* const kGetStoreSig =
    "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)J";
inline const char* const kMessageSig = "(JLjavax/mail/Folder;I)Lcom/plimo/mail/mapi/MAPIMessage;";
inline const char* const kContentSig = "(JLcom/plimo/mail/mapi/MAPIMessage;)Lcom/plimo/mail/mapi/MAPIMultipart;";
inline const char* const kPartSig = "(JLcom/plimo/mail/mapi/MAPIMultipart;I)Lcom/plimo/mail/mapi/MAPIBodyPart;";
inline const char* const kMessagesSig = "(JLjavax/mail/Folder;)[Lcom/plimo/mail/mapi/MAPIMessage;";
inline const char* const kChunkSig = "(JLjavax/mail/Folder;II)[Lcom/plimo/mail/mapi/MAPIMessage;";
inline const char* const kNameAddressSig = "(JLjava/lang/String;Ljava/lang/String;)V";
inline const char* const kAttachSig = "(JLjava/lang/String;Ljava/lang/String;Ljava/lang/String;)V";
inline const char* const kInlineSig = "(JLjava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)V";

// Creates a profile of the test's MAPI home unless it exists (a test failure when it
// cannot be made).
void ensureProfile(const std::string& name, const std::string& address, const std::string& display);

// The bytes of a file ("" when it cannot be read).
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class JvmTest : public ::testing::Test {
 public:
  static constexpr jint kLocalCapacity = 512;

  // The VM, started on first use. A start failure ends the process with a message.
  static JavaVM* vm();
  // The JNIEnv of the thread that started the VM (the test thread).
  static JNIEnv* env();

  // Pushes a local frame for the scope of the object.
  class LocalFrame {
   public:
    explicit LocalFrame(jint capacity = kLocalCapacity);
    ~LocalFrame();
    LocalFrame(const LocalFrame&) = delete;
    LocalFrame& operator=(const LocalFrame&) = delete;
  };

 protected:
  void SetUp() override;
  void TearDown() override;

  // Static methods of com.plimo.mail.mapi.MAPINative, by name and JNI signature, e.g.
  // callLong("getStore", "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;"
  //          "Ljava/lang/String;)J", str("p"), str(""), str(""), str("/tmp")).
  // An unknown method is a test failure (and the call returns 0/null).
  jlong callLong(const char* name, const char* sig, ...);
  jint callInt(const char* name, const char* sig, ...);
  jboolean callBoolean(const char* name, const char* sig, ...);
  jdouble callDouble(const char* name, const char* sig, ...);
  jobject callObject(const char* name, const char* sig, ...);
  void callVoid(const char* name, const char* sig, ...);

  // Instance methods of any object (MAPIMessage.getMessagePointer and the like).
  jlong callLongMethod(jobject obj, const char* name, const char* sig, ...);
  jint callIntMethod(jobject obj, const char* name, const char* sig, ...);
  jboolean callBooleanMethod(jobject obj, const char* name, const char* sig, ...);
  jobject callObjectMethod(jobject obj, const char* name, const char* sig, ...);
  void callVoidMethod(jobject obj, const char* name, const char* sig, ...);

  // The pending exception's getMessage() text (or "(null)" for a null message), after
  // clearing it; "" when none is pending. Unless expectedClass is null, an exception of
  // another class is also a test failure.
  std::string takeException(const char* expectedClass = "javax/mail/MessagingException");
  bool exceptionPending();

  // A Java String of UTF-8 text (null for nullptr), and back. toStd(nullptr) is "".
  jstring str(const char* utf8);
  std::string toStd(jstring s);
  // The elements of a String[] (null elements read as "").
  std::vector<std::string> toStdVector(jobjectArray strings);
  // A message read of MAPINative that gives a String (String[]) for a handle; an
  // exception is a test failure naming the native.
  std::string readString(const char* native, jlong handle);
  std::vector<std::string> readStrings(const char* native, jlong handle);

  // A javax.mail.Folder to hand to the natives that take one (a stand-in from the
  // test-support jar: an empty folder with a store and a session).
  jobject newFolder(const char* name = "INBOX");

  // com.plimo.mail.mapi.MAPINative (a global reference; the class is initialised, so the
  // native library is loaded).
  jclass nativeClass();
  // obj.getClass().getName(), e.g. "com.plimo.mail.mapi.MAPIMessage".
  std::string className(jobject obj);
  // Class name and message of a throwable, for failure texts.
  std::string describe(jthrowable t);

 private:
  jmethodID staticMethod(const char* name, const char* sig);
  jmethodID instanceMethod(jobject obj, const char* name, const char* sig);
  void clearStaleException(const char* before);
  void checkedCall();
};
