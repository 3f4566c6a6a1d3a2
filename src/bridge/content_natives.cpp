// Natives that give Java a message's content: its parts, a part's data in a
// file, and the whole message as a .msg file.
#include "bridge/handles.h"
#include "bridge/jniutil.h"
#include "content/mapibodypart.h"
#include "content/mapicontent.h"
#include "content/mapimultipart.h"
#include "folder/mapifolder.h"
#include "message/mapimessage.h"
#include "support/mapiexception.h"
#include "support/maplog.h"

#include <cstdio>
#include <stdexcept>

TOLVANE_NATIVE(jobject, getMessageContent)(JNIEnv* env, jclass, jlong hMessage, jobject javaMessage) {
  return nativeBoundary(env, jobject{nullptr}, [&]() -> jobject {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_getMessageContent ->In\n");
    CMapiMessage* message = messageOf(env, hMessage);
    if (!message) return nullptr;
    mapiLog("Before get Content\n");
    jobject result = nullptr;
    try {
      CMapiContent* content = message->getContent();
      if (!content->isMultipart()) {
        mapiLog("Java_com_plimo_mail_mapi_MAPINative_getMessageContent,  not multipart");
      } else {
        jclass cls = env->FindClass("com/plimo/mail/mapi/MAPIMultipart");
        if (!cls) {
          throwMessagingException(env, "Unable to find MAPIMultipart class");
          return nullptr;
        }
        jmethodID ctor = env->GetMethodID(cls, "<init>", "(JLcom/plimo/mail/mapi/MAPIMessage;)V");
        if (!ctor) {
          throwMessagingException(env, "Unable to find MAPIMultipart constructor");
          return nullptr;
        }
        mapiLog("Before creating MAPIMessage object\n");
        result = env->NewObject(cls, ctor, toHandle(content->m_pMultipart), javaMessage);
        if (!result) {
          throwMessagingException(env, "Unable to create MAPIMultipart object");
          return nullptr;
        }
        env->DeleteLocalRef(cls);
      }
    } catch (CMapiException& e) {
      mapiLog("Exception: Java_com_plimo_mail_mapi_MAPINative_getMessageContents %s\n", e.m_strMessage.c_str());
      throwMessagingException(env, "Unable to retrieve message content");
      result = nullptr;
    } catch (...) {
      throwMessagingException(env, "Unable to retrieve message content");
      result = nullptr;
    }
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_getMessageContent ->Out\n");
    return result;
  });
}

TOLVANE_NATIVE(jint, getMultipartCount)(JNIEnv* env, jclass, jlong hMultipart) {
  return nativeBoundary(env, jint{0}, [&]() -> jint {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_getMultipartCount\n");
    CMapiMultipart* multipart = multipartOf(env, hMultipart);
    return multipart ? multipart->getCount() : 0;
  });
}

TOLVANE_NATIVE(jobject, getMultipartBodypart)(JNIEnv* env, jclass, jlong hMultipart, jobject javaMultipart,
                                              jint index) {
  return nativeBoundary(env, jobject{nullptr}, [&]() -> jobject {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_getMultipartBodypart\n");
    CMapiMultipart* multipart = multipartOf(env, hMultipart);
    if (!multipart) return nullptr;
    CMapiBodyPart* part = nullptr;
    try {
      part = multipart->getPart(index);
    } catch (std::out_of_range&) {
      char text[128];
      snprintf(text, sizeof text, "Body part index %d is out of range: the message has %d parts",
               static_cast<int>(index), multipart->getCount());
      throwMessagingException(env, text);
      return nullptr;
    }
    if (part->m_nSource != SOURCE_MESSAGE_PROPERTY && part->m_nSource != SOURCE_ATTACHMENT) return nullptr;

    jstring contentType = nativeToJstring(env, part->getContentType().c_str());
    jstring disposition = nativeToJstring(env, part->getDisposition().c_str());
    jstring contentId = nativeToJstring(env, part->getContentId().c_str());
    jint size = static_cast<jint>(part->m_ulSize);

    jclass cls = env->FindClass("com/plimo/mail/mapi/MAPIBodyPart");
    if (!cls) {
      throwMessagingException(env, "Unable to find MAPIBodyPart class");
      return nullptr;
    }
    jmethodID ctor = env->GetMethodID(
        cls, "<init>",
        "(JLcom/plimo/mail/mapi/MAPIMultipart;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/"
        "String;I)V");
    if (!ctor) {
      throwMessagingException(env, "Unable to find MapiBodyPart constructor");
      return nullptr;
    }
    std::string contentText = part->m_nType == PART_HTML_BODY   ? part->getHtml()
                              : part->m_nType == PART_TEXT_BODY ? part->getText()
                                                                : part->getFileName();
    jstring content = nativeToJstring(env, contentText.c_str());
    jobject result =
        env->NewObject(cls, ctor, toHandle(part), javaMultipart, contentType, disposition, content, contentId, size);
    env->DeleteLocalRef(content);
    env->DeleteLocalRef(cls);
    env->DeleteLocalRef(contentType);
    env->DeleteLocalRef(disposition);
    env->DeleteLocalRef(contentId);
    if (!result) {
      throwMessagingException(env, "Unable to create MapiBodyPart object");
      return nullptr;
    }
    return result;
  });
}

TOLVANE_NATIVE(jstring, getBodypartDisposition)(JNIEnv* env, jclass, jlong hPart) {
  return nativeBoundary(env, jstring{nullptr}, [&]() -> jstring {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_getBodypartDisposition\n");
    CMapiBodyPart* part = partOf(env, hPart);
    if (!part) return nullptr;
    jstring result = nativeToJstring(env, part->getDisposition().c_str());
    if (!result) throwMessagingException(env, "Unable to create Body Part result");
    return result;
  });
}

TOLVANE_NATIVE(void, writeBodypartToFile)(JNIEnv* env, jclass, jlong hPart, jstring jFileName) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_writeBodypartToFile\n");
    if (rejectNullHandle(env, hPart)) return;
    std::string fileName;
    if (!loadJavaString(env, jFileName, fileName, "Unable to load FileName for JNI Native call")) return;
    // The part handle is followed only once there is a file name.
    if (fileName.empty()) {
      throwMessagingException(env, "Unable to write bodypart to file. Empty file name");
      return;
    }
    CMapiBodyPart* part = partOf(env, hPart);
    if (!part) return;
    part->writeToFile(fileName);
  });
}

TOLVANE_NATIVE(jstring, getMessageFile)(JNIEnv* env, jclass, jlong hMessage) {
  return nativeBoundary(env, jstring{nullptr}, [&]() -> jstring {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_getMessageFile\n");
    CMapiMessage* message = messageOf(env, hMessage);
    if (!message) return nullptr;
    std::string path = message->SaveToMSG();
    jstring result = nativeToJstring(env, path.c_str());
    if (!result) throwMessagingException(env, "Unable to create Message File result");
    return result;
  });
}
