// Proves the JVM fixture itself: the VM starts with our classes and the native library,
// the call helpers reach MAPINative and Java objects, exceptions and strings come back.
#include "jvm_fixture.h"

#include <gtest/gtest-spi.h>

#include <cstdlib>

namespace {

class FixtureSmoke : public JvmTest {};

TEST_F(FixtureSmoke, InitMapiRuns) {
  EXPECT_EQ(JNI_TRUE, callBoolean("initMapi", "()Z"));
  EXPECT_EQ("", takeException());
}

TEST_F(FixtureSmoke, StoreHomeIsSet) {
  env();
  const char* home = std::getenv("TOLVANE_MAPI_HOME");
  ASSERT_NE(nullptr, home);
  EXPECT_NE('\0', *home);
}

TEST_F(FixtureSmoke, JavaObjectsCanBeBuiltAndCalled) {
  JNIEnv* e = env();
  jobject folder = newFolder("INBOX");
  ASSERT_NE(nullptr, folder);
  EXPECT_EQ("com.plimo.mail.mapi.testing.StandInFolder", className(folder));

  jclass messageClass = e->FindClass("com/plimo/mail/mapi/MAPIMessage");
  ASSERT_NE(nullptr, messageClass);
  jmethodID init = e->GetMethodID(messageClass, "<init>", "(Ljavax/mail/Folder;I)V");
  ASSERT_NE(nullptr, init);
  jobject message = e->NewObject(messageClass, init, folder, jint{4});
  ASSERT_EQ("", takeException(nullptr));
  ASSERT_NE(nullptr, message);

  callVoidMethod(message, "setMessagePointer", "(J)V", jlong{-0x7fffedcc});
  EXPECT_EQ(jlong{-0x7fffedcc}, callLongMethod(message, "getMessagePointer", "()J"));
  EXPECT_EQ(4, callIntMethod(message, "getMessageNumber", "()I"));
  jobject same = callObjectMethod(message, "getFolder", "()Ljavax/mail/Folder;");
  EXPECT_TRUE(e->IsSameObject(folder, same));
  EXPECT_EQ(JNI_FALSE, callBooleanMethod(message, "isExpunged", "()Z"));
}

TEST_F(FixtureSmoke, TakeExceptionGivesTheMessageAndClearsIt) {
  EXPECT_FALSE(exceptionPending());
  EXPECT_EQ("", takeException());

  jclass cls = env()->FindClass("javax/mail/MessagingException");
  ASSERT_NE(nullptr, cls);
  env()->ThrowNew(cls, "Invalid class pointer.");
  EXPECT_TRUE(exceptionPending());
  EXPECT_EQ("Invalid class pointer.", takeException());
  EXPECT_FALSE(exceptionPending());

  // a subclass of the expected class is accepted
  jclass illegalWrite = env()->FindClass("javax/mail/IllegalWriteException");
  env()->ThrowNew(illegalWrite, "read-only");
  EXPECT_EQ("read-only", takeException());
}

TEST_F(FixtureSmoke, TakeExceptionReportsAnUnexpectedClass) {
  jclass cls = env()->FindClass("java/lang/IllegalStateException");
  env()->ThrowNew(cls, "not a mail failure");
  EXPECT_NONFATAL_FAILURE(takeException(), "java.lang.IllegalStateException: not a mail failure");
  EXPECT_FALSE(exceptionPending());
}

TEST_F(FixtureSmoke, UnknownMethodIsAFailureNotACrash) {
  EXPECT_NONFATAL_FAILURE(callLong("noSuchNative", "(J)J", jlong{1}), "no static method noSuchNative");
  EXPECT_FALSE(exceptionPending());
}

TEST_F(FixtureSmoke, StringsRoundTripAsUtf8) {
  EXPECT_EQ("Grüße, ☃ and 𝄞", toStd(str("Grüße, ☃ and 𝄞")));
  EXPECT_EQ("", toStd(str("")));
  EXPECT_EQ(nullptr, str(nullptr));
  EXPECT_EQ("", toStd(nullptr));

  JNIEnv* e = env();
  jclass stringClass = e->FindClass("java/lang/String");
  jobjectArray array = e->NewObjectArray(3, stringClass, nullptr);
  e->SetObjectArrayElement(array, 0, str("\"Jane\" <jane@example.org>"));
  e->SetObjectArrayElement(array, 2, str("x@example.org"));
  EXPECT_EQ((std::vector<std::string>{"\"Jane\" <jane@example.org>", "", "x@example.org"}),
            toStdVector(array));
}

TEST_F(FixtureSmoke, ManyLocalReferencesInAFrameOfTheirOwn) {
  LocalFrame frame(2100);
  for (int i = 0; i < 2000; ++i) {
    ASSERT_NE(nullptr, str("local"));
  }
}

}  // namespace
