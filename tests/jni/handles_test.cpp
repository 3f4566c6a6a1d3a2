// Every native that needs an object refuses handle 0 with "Invalid class
// pointer." and its failure value; the closing natives accept 0 silently.
#include "jvm_fixture.h"

namespace {

class NullHandles : public JvmTest {};

const char* const kInvalid = "Invalid class pointer.";

TEST_F(NullHandles, ObjectResultsAreNull) {
  struct Case {
    const char* name;
    const char* sig;
  };
  const Case cases[] = {
      {"getMessageSubject", "(J)Ljava/lang/String;"},   {"getMessageText", "(J)Ljava/lang/String;"},
      {"getMessageHTML", "(J)Ljava/lang/String;"},      {"getMessageID", "(J)Ljava/lang/String;"},
      {"getMessagePriority", "(J)Ljava/lang/String;"},  {"getMessageFrom", "(J)[Ljava/lang/String;"},
      {"getMessageTo", "(J)[Ljava/lang/String;"},       {"getMessageCC", "(J)[Ljava/lang/String;"},
      {"getMessageBCC", "(J)[Ljava/lang/String;"},      {"getMessageReplyTo", "(J)[Ljava/lang/String;"},
      {"getBodypartDisposition", "(J)Ljava/lang/String;"}, {"getMessageFile", "(J)Ljava/lang/String;"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(nullptr, callObject(c.name, c.sig, jlong{0})) << c.name;
    EXPECT_EQ(kInvalid, takeException()) << c.name;
  }
  EXPECT_EQ(nullptr, callObject("getMessageContent", "(JLcom/plimo/mail/mapi/MAPIMessage;)Lcom/plimo/mail/mapi/MAPIMultipart;",
                                jlong{0}, nullptr));
  EXPECT_EQ(kInvalid, takeException());
  EXPECT_EQ(nullptr, callObject("getMultipartBodypart",
                                "(JLcom/plimo/mail/mapi/MAPIMultipart;I)Lcom/plimo/mail/mapi/MAPIBodyPart;", jlong{0},
                                nullptr, jint{0}));
  EXPECT_EQ(kInvalid, takeException());
}

TEST_F(NullHandles, NumbersAndFlags) {
  EXPECT_EQ(0, callLong("getInbox", "(J)J", jlong{0}));
  EXPECT_EQ(kInvalid, takeException());
  EXPECT_EQ(0, callInt("getFolderMessageCount", "(J)I", jlong{0}));
  EXPECT_EQ(kInvalid, takeException());
  EXPECT_EQ(0, callInt("getMultipartCount", "(J)I", jlong{0}));
  EXPECT_EQ(kInvalid, takeException());
  EXPECT_EQ(JNI_FALSE, callBoolean("isFolderOpen", "(J)Z", jlong{0}));
  EXPECT_EQ(kInvalid, takeException());
  EXPECT_EQ(0.0, callDouble("getMessageSentDate", "(J)D", jlong{0}));
  EXPECT_EQ(kInvalid, takeException());
  EXPECT_EQ(0.0, callDouble("getMessageReceiveTime", "(J)D", jlong{0}));
  EXPECT_EQ(kInvalid, takeException());
  callVoid("openFolder", "(JI)V", jlong{0}, jint{0});
  EXPECT_EQ(kInvalid, takeException());
  callVoid("setMessageDeleteFlag", "(JZ)V", jlong{0}, JNI_TRUE);
  EXPECT_EQ(kInvalid, takeException());
  callVoid("writeBodypartToFile", "(JLjava/lang/String;)V", jlong{0}, str("/tmp/x"));
  EXPECT_EQ(kInvalid, takeException());
}

TEST_F(NullHandles, FolderFetchesBuildTheirJavaObjectsFirst) {
  jobject folder = newFolder();
  const char* one = "(JLjavax/mail/Folder;I)Lcom/plimo/mail/mapi/MAPIMessage;";
  EXPECT_EQ(nullptr, callObject("getFolderMessage", one, jlong{0}, folder, jint{1}));
  EXPECT_EQ(kInvalid, takeException());
  EXPECT_EQ(nullptr, callObject("getFolderMessages", "(JLjavax/mail/Folder;)[Lcom/plimo/mail/mapi/MAPIMessage;",
                                jlong{0}, folder));
  EXPECT_EQ(kInvalid, takeException());
  EXPECT_EQ(nullptr, callObject("getFolderMessageChunk",
                                "(JLjavax/mail/Folder;II)[Lcom/plimo/mail/mapi/MAPIMessage;", jlong{0}, folder,
                                jint{1}, jint{2}));
  EXPECT_EQ(kInvalid, takeException());
}

TEST_F(NullHandles, ClosingNativesIgnoreZero) {
  callVoid("closeFolder", "(JZ)V", jlong{0}, JNI_TRUE);
  EXPECT_EQ("", takeException());
  callVoid("destroyMessage", "(J)V", jlong{0});
  EXPECT_EQ("", takeException());
  callVoid("closeStore", "(J)V", jlong{0});
  EXPECT_EQ("", takeException());
}

TEST_F(NullHandles, EmptyFileNameIsRefusedBeforeThePartIsTouched) {
  // The part handle is never followed when the name is empty.
  const jlong notAPart = 0x10;
  callVoid("writeBodypartToFile", "(JLjava/lang/String;)V", notAPart, str(nullptr));
  EXPECT_EQ("Unable to write bodypart to file. Empty file name", takeException());
  callVoid("writeBodypartToFile", "(JLjava/lang/String;)V", notAPart, str(""));
  EXPECT_EQ("Unable to write bodypart to file. Empty file name", takeException());
}

}  // namespace
