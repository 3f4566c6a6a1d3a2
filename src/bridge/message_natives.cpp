// Natives that read a received message.
#include "bridge/handles.h"
#include "bridge/jniutil.h"
#include "message/mapimessage.h"
#include "support/mapiexception.h"
#include "support/maplog.h"

#include <string>

namespace {

using StringRead = std::string (CMapiMessage::*)();

// A string read: the read and the conversion run inside the handler; a
// failure of the read raises the method's fixed text.
jstring readString(JNIEnv* env, jlong hMessage, const char* entryLog, StringRead read, const char* createFailed,
                   const char* retrieveFailed) {
  return nativeBoundary(env, jstring{nullptr}, [&]() -> jstring {
    mapiLog("%s", entryLog);
    CMapiMessage* message = messageOf(env, hMessage);
    if (!message) return nullptr;
    try {
      std::string value = (message->*read)();
      jstring result = nativeToJstring(env, value.c_str());
      if (!result) throwMessagingException(env, createFailed);
      return result;
    } catch (CMapiException&) {
      throwMessagingException(env, retrieveFailed);
    }
    return nullptr;
  });
}

// A native string list as a new Java String array; null with an exception
// pending on failure.
jobjectArray toStringArray(JNIEnv* env, const CStringList& list) {
  return newStringArray(env, list.data(), nullptr, list.size(), "Unable to create address result");
}

using AddressRead = void (CMapiMessage::*)(CStringList&);

// An address read: only the native read runs inside the handler; on
// CMapiException the method's fixed text is raised, or the exception's own
// text when fixedText is null.
jobjectArray readAddresses(JNIEnv* env, jlong hMessage, AddressRead read, const char* fixedText) {
  return nativeBoundary(env, jobjectArray{nullptr}, [&]() -> jobjectArray {
    CMapiMessage* message = messageOf(env, hMessage);
    if (!message) return nullptr;
    CStringList list;
    try {
      (message->*read)(list);
    } catch (CMapiException& e) {
      throwMessagingException(env, fixedText ? fixedText : e.m_strMessage.c_str());
      return nullptr;
    }
    return toStringArray(env, list);
  });
}

using DateRead = double (CMapiMessage::*)();

jdouble readDate(JNIEnv* env, jlong hMessage, const char* entryLog, DateRead read, const char* retrieveFailed) {
  return nativeBoundary(env, jdouble{0.0}, [&]() -> jdouble {
    mapiLog("%s", entryLog);
    CMapiMessage* message = messageOf(env, hMessage);
    if (!message) return 0.0;
    try {
      return (message->*read)();
    } catch (CMapiException&) {
      throwMessagingException(env, retrieveFailed);
    }
    return 0.0;
  });
}

}  // namespace

TOLVANE_NATIVE(jstring, getMessageSubject)(JNIEnv* env, jclass, jlong hMessage) {
  return readString(env, hMessage, "Java_com_plimo_mail_mapi_MAPINative_getMessageSubject\n",
                    &CMapiMessage::getSubject, "Unable to create subject result",
                    "Unable to retrieve subject for message");
}

TOLVANE_NATIVE(jstring, getMessageText)(JNIEnv* env, jclass, jlong hMessage) {
  return readString(env, hMessage, "Java_com_plimo_mail_mapi_MAPINative_getMessageText\n", &CMapiMessage::getText,
                    "Unable to create Text result", "Unable to retrieve Text for message");
}

TOLVANE_NATIVE(jstring, getMessageHTML)(JNIEnv* env, jclass, jlong hMessage) {
  return readString(env, hMessage, "Java_com_plimo_mail_mapi_MAPINative_getMessageHTML\n", &CMapiMessage::getHTML,
                    "Unable to create HTML result", "Unable to retrieve HTML for message");
}

TOLVANE_NATIVE(jstring, getMessageID)(JNIEnv* env, jclass, jlong hMessage) {
  return readString(env, hMessage, "Java_com_plimo_mail_mapi_MAPINative_getMessageID\n", &CMapiMessage::getID,
                    "Unable to create Message ID result", "Unable to create Message ID result");
}

TOLVANE_NATIVE(jstring, getMessagePriority)(JNIEnv* env, jclass, jlong hMessage) {
  return readString(env, hMessage, "Java_com_plimo_mail_mapi_MAPINative_getMessagePriority\n",
                    &CMapiMessage::getPriority, "Unable to create Priority result",
                    "Unable to retrieve Priority for message");
}

TOLVANE_NATIVE(jobjectArray, getMessageFrom)(JNIEnv* env, jclass, jlong hMessage) {
  return nativeBoundary(env, jobjectArray{nullptr}, [&]() -> jobjectArray {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_getMessageFrom->In\n");
    jobjectArray result = readAddresses(env, hMessage, &CMapiMessage::getFrom, nullptr);
    if (result) mapiLog("Java_com_plimo_mail_mapi_MAPINative_getMessageFrom->Out\n");
    return result;
  });
}

// The Internet header block of a received message ("" for none).
TOLVANE_ATTACHED_NATIVE(jstring, getMessageHeaders)(JNIEnv* env, jclass, jlong hMessage) {
  return readString(env, hMessage, "Java_com_plimo_mail_mapi_MAPINativeAttached_getMessageHeaders\n",
                    &CMapiMessage::getTransportHeaders, "Unable to create the headers result",
                    "Unable to retrieve the headers of the message");
}

// The size the store gives a message, -1 for none (0 with the exception
// pending on a failure, as the other int natives).
TOLVANE_ATTACHED_NATIVE(jint, getMessageSize)(JNIEnv* env, jclass, jlong hMessage) {
  return nativeBoundary(env, jint{0}, [&]() -> jint {
    mapiLog("Java_com_plimo_mail_mapi_MAPINativeAttached_getMessageSize\n");
    CMapiMessage* message = messageOf(env, hMessage);
    if (!message) return 0;
    try {
      return static_cast<jint>(message->getStoredSize());
    } catch (CMapiException& e) {
      throwMessagingException(env, e.m_strMessage.c_str());
    }
    return 0;
  });
}

// What a MIME form of a message needs beyond its texts: its class and the
// code page its body came in ("" when the store has none).
TOLVANE_ATTACHED_NATIVE(jobjectArray, getMessageMime)(JNIEnv* env, jclass, jlong hMessage) {
  return nativeBoundary(env, jobjectArray{nullptr}, [&]() -> jobjectArray {
    mapiLog("Java_com_plimo_mail_mapi_MAPINativeAttached_getMessageMime\n");
    CMapiMessage* message = messageOf(env, hMessage);
    if (!message) return nullptr;
    std::string fields[2];
    LONG codePage = 0;
    try {
      message->getMimeForm(fields[0], codePage);
    } catch (CMapiException& e) {
      throwMessagingException(env, e.m_strMessage.c_str());
      return nullptr;
    }
    bool present[2] = {true, codePage != 0};
    if (codePage != 0) fields[1] = std::to_string(codePage);
    return newStringArray(env, fields, present, 2);
  });
}

// The author of a message (its From:), where getMessageFrom gives the sender
// (its Sender: when it has one).
TOLVANE_ATTACHED_NATIVE(jobjectArray, getMessageAuthor)(JNIEnv* env, jclass, jlong hMessage) {
  mapiLog("Java_com_plimo_mail_mapi_MAPINativeAttached_getMessageAuthor\n");
  return readAddresses(env, hMessage, &CMapiMessage::getAuthor, nullptr);
}

TOLVANE_NATIVE(jobjectArray, getMessageTo)(JNIEnv* env, jclass, jlong hMessage) {
  return nativeBoundary(env, jobjectArray{nullptr}, [&]() -> jobjectArray {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_getMessageTo ->In\n");
    CMapiMessage* message = messageOf(env, hMessage);
    if (!message) return nullptr;
    mapiLog("Before getTo \n");
    CStringList list;
    try {
      message->getTo(list);
      mapiLog("After getTo \n");
    } catch (CMapiException& e) {
      mapiLog("getTo Exception occured %s \n", e.m_strMessage.c_str());
      throwMessagingException(env, "Unable to retrieve TO for message");
      return nullptr;
    }
    jobjectArray result = toStringArray(env, list);
    if (result) mapiLog("Java_com_plimo_mail_mapi_MAPINative_getMessageTo ->Out\n");
    return result;
  });
}

TOLVANE_NATIVE(jobjectArray, getMessageCC)(JNIEnv* env, jclass, jlong hMessage) {
  return nativeBoundary(env, jobjectArray{nullptr}, [&]() -> jobjectArray {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_getMessageCC\n");
    return readAddresses(env, hMessage, &CMapiMessage::getCC, "Unable to retrieve CC for message");
  });
}

TOLVANE_NATIVE(jobjectArray, getMessageBCC)(JNIEnv* env, jclass, jlong hMessage) {
  return nativeBoundary(env, jobjectArray{nullptr}, [&]() -> jobjectArray {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_getMessageBCC\n");
    return readAddresses(env, hMessage, &CMapiMessage::getBCC, "Unable to retrieve BCC for message");
  });
}

TOLVANE_NATIVE(jobjectArray, getMessageReplyTo)(JNIEnv* env, jclass, jlong hMessage) {
  return nativeBoundary(env, jobjectArray{nullptr}, [&]() -> jobjectArray {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_getMessageReplyTo\n");
    return readAddresses(env, hMessage, &CMapiMessage::getReplyTo, "Unable to retrieve Reply To for message");
  });
}

TOLVANE_NATIVE(jdouble, getMessageSentDate)(JNIEnv* env, jclass, jlong hMessage) {
  return readDate(env, hMessage, "Java_com_plimo_mail_mapi_MAPINative_getMessageSentDate\n",
                  &CMapiMessage::getSentDate, "Unable to retrieve Sent Date for message");
}

TOLVANE_NATIVE(jdouble, getMessageReceiveTime)(JNIEnv* env, jclass, jlong hMessage) {
  return readDate(env, hMessage, "Java_com_plimo_mail_mapi_MAPINative_getMessageReceiveTime\n",
                  &CMapiMessage::getReceiveTime, "Unable to retrieve Receive Time for message");
}

TOLVANE_NATIVE(void, setMessageDeleteFlag)(JNIEnv* env, jclass, jlong hMessage, jboolean flag) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_setMessageDeleteFlag\n");
    bool bDelete = flag == 1;
    CMapiMessage* message = messageOf(env, hMessage);
    if (!message) return;
    // Discards the content: the handles of its multipart and parts (and of
    // the messages attached to it) say so from now on.
    liveobjects::Ending ending(kContentDiscardedText, messageEndOwner(message->m_pFolder));
    message->setDeleteFlag(bDelete);
  });
}
