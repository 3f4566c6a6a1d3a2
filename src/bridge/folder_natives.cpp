// Natives of the Inbox folder: locate, open, count, fetch messages, close.
#include "bridge/jniutil.h"
#include "folder/mapifolder.h"
#include "message/mapimessage.h"
#include "session/mapistore.h"
#include "support/mapiexception.h"
#include "support/maplog.h"

#include <vector>

namespace {

// The MAPIMessage class with its constructor and setMessagePointer.
struct MessageClass {
  jclass cls = nullptr;
  jmethodID ctor = nullptr;
  jmethodID setPointer = nullptr;
};

bool findMessageClass(JNIEnv* env, MessageClass& mc) {
  mc.cls = env->FindClass("com/plimo/mail/mapi/MAPIMessage");
  if (!mc.cls) {
    throwMessagingException(env, "Unable to find MAPIMessage class");
    return false;
  }
  mc.ctor = env->GetMethodID(mc.cls, "<init>", "(Ljavax/mail/Folder;I)V");
  if (!mc.ctor) {
    throwMessagingException(env, "Unable to find MAPIMessage constructor");
    return false;
  }
  mc.setPointer = env->GetMethodID(mc.cls, "setMessagePointer", "(J)V");
  if (!mc.setPointer) {
    throwMessagingException(env, "Unable to find MAPIMessage.setMessagePointer() method");
    return false;
  }
  return true;
}

// Fetches the messages numbered first..last (1-based) into the array at
// index number - 1. On failure every message made by this call is closed
// and deleted, and an exception is pending.
void fetchRange(JNIEnv* env, CMapiFolder* pFolder, jobject folder, const MessageClass& mc, jobjectArray array,
                jint first, jint last) {
  std::vector<CMapiMessage*> created;
  bool failed = false;
  try {
    for (jint i = first - 1; i < last; ++i) {
      CMapiMessage* message = new CMapiMessage;
      created.push_back(message);
      pFolder->getMessage(static_cast<ULONG>(i + 1), message);
      jobject javaMessage = env->NewObject(mc.cls, mc.ctor, folder, static_cast<jint>(i + 1));
      if (!javaMessage) {
        throwMessagingException(env, "Unable to create MAPIMessage object");
        failed = true;
        break;
      }
      env->CallVoidMethod(javaMessage, mc.setPointer, toHandle(message));
      if (env->ExceptionCheck()) {
        throwMessagingException(env, "Unable to create MAPIMessage object");
        failed = true;
        break;
      }
      env->SetObjectArrayElement(array, i, javaMessage);
      env->DeleteLocalRef(javaMessage);
    }
  } catch (CMapiException& e) {
    throwMessagingException(env, e.m_strMessage);
    failed = true;
  } catch (...) {
    throwMessagingException(env, unexpectedFailureText());
    failed = true;
  }
  if (failed) {
    // Deleting a message also takes it out of the folder's list.
    for (CMapiMessage* message : created) {
      message->close();
      delete message;
    }
  }
}

}  // namespace

TOLVANE_NATIVE(jlong, getInbox)(JNIEnv* env, jclass, jlong hStore) {
  mapiLog("Java_com_plimo_mail_mapi_MAPINative_getInbox\n");
  if (rejectNullHandle(env, hStore)) return 0;
  CMapiFolder* pFolder = new CMapiFolder;
  mapiLog("Java_com_plimo_mail_mapi_MAPINative_getInbox\n");
  try {
    fromHandle<CMapiStore>(hStore)->getInbox(*pFolder);
    return toHandle(pFolder);
  } catch (CMapiException& e) {
    throwMessagingException(env, e.m_strMessage);
  } catch (...) {
    throwMessagingException(env, unexpectedFailureText());
  }
  delete pFolder;
  return 0;
}

TOLVANE_NATIVE(void, openFolder)(JNIEnv* env, jclass, jlong hFolder, jint flags) {
  mapiLog("Java_com_plimo_mail_mapi_MAPINative_openFolder\n");
  if (rejectNullHandle(env, hFolder)) return;
  mapiLog("Java_com_plimo_mail_mapi_MAPINative_openFolder %d\n", static_cast<int>(flags));
  try {
    fromHandle<CMapiFolder>(hFolder)->open(static_cast<ULONG>(flags));
  } catch (CMapiException& e) {
    throwMessagingException(env, e.m_strMessage);
  } catch (...) {
    throwMessagingException(env, unexpectedFailureText());
  }
}

TOLVANE_NATIVE(jint, getFolderMessageCount)(JNIEnv* env, jclass, jlong hFolder) {
  mapiLog("Java_com_plimo_mail_mapi_MAPINative_getFolderMessageCount\n");
  if (rejectNullHandle(env, hFolder)) return 0;
  return static_cast<jint>(fromHandle<CMapiFolder>(hFolder)->getMessageCount());
}

TOLVANE_NATIVE(jobject, getFolderMessage)(JNIEnv* env, jclass, jlong hFolder, jobject folder, jint number) {
  mapiLog("Java_com_plimo_mail_mapi_MAPINative_getFolderMessage\n");
  MessageClass mc;
  if (!findMessageClass(env, mc)) return nullptr;
  jobject javaMessage = env->NewObject(mc.cls, mc.ctor, folder, number);
  if (!javaMessage) {
    throwMessagingException(env, "Unable to create MAPIMessage object");
    return nullptr;
  }
  if (rejectNullHandle(env, hFolder)) return nullptr;
  CMapiMessage* message = new CMapiMessage;
  try {
    fromHandle<CMapiFolder>(hFolder)->getMessage(static_cast<ULONG>(number), message);
    env->CallVoidMethod(javaMessage, mc.setPointer, toHandle(message));
    if (env->ExceptionCheck()) throw CMapiException("Unable to create MAPIMessage object");
  } catch (CMapiException& e) {
    throwMessagingException(env, e.m_strMessage);
    message->close();
    delete message;
    env->DeleteLocalRef(mc.cls);
    return nullptr;
  } catch (...) {
    throwMessagingException(env, unexpectedFailureText());
    message->close();
    delete message;
    env->DeleteLocalRef(mc.cls);
    return nullptr;
  }
  env->DeleteLocalRef(mc.cls);
  return javaMessage;
}

TOLVANE_NATIVE(jobjectArray, getFolderMessages)(JNIEnv* env, jclass, jlong hFolder, jobject folder) {
  mapiLog("Java_com_plimo_mail_mapi_MAPINative_getFolderMessages\n");
  MessageClass mc;
  if (!findMessageClass(env, mc)) return nullptr;
  if (rejectNullHandle(env, hFolder)) return nullptr;
  CMapiFolder* pFolder = fromHandle<CMapiFolder>(hFolder);
  ULONG count = pFolder->getMessageCount();
  if (count > 0x7FFFFFFF) {
    throwMessagingException(env, "Unable to create MAPIMessage result array");
    return nullptr;
  }
  jobjectArray array = env->NewObjectArray(static_cast<jsize>(count), mc.cls, nullptr);
  if (!array) {
    throwMessagingException(env, "Unable to create MAPIMessage result array");
    return nullptr;
  }
  fetchRange(env, pFolder, folder, mc, array, 1, static_cast<jint>(count));
  env->DeleteLocalRef(mc.cls);
  return array;
}

TOLVANE_NATIVE(jobjectArray, getFolderMessageChunk)(JNIEnv* env, jclass, jlong hFolder, jobject folder, jint first,
                                                    jint last) {
  mapiLog("Java_com_plimo_mail_mapi_MAPINative_getFolderMessageChunk, %d %d\n", static_cast<int>(first),
          static_cast<int>(last));
  MessageClass mc;
  if (!findMessageClass(env, mc)) return nullptr;
  if (rejectNullHandle(env, hFolder)) return nullptr;
  jobjectArray array = last >= 0 ? env->NewObjectArray(last, mc.cls, nullptr) : nullptr;
  if (!array) {
    throwMessagingException(env, "Unable to create MAPIMessage result array");
    return nullptr;
  }
  mapiLog("Java_com_plimo_mail_mapi_MAPINative_getFolderMessageChunk, Creating msg objects %d \n",
          static_cast<int>(first - 1));
  fetchRange(env, fromHandle<CMapiFolder>(hFolder), folder, mc, array, first, last);
  env->DeleteLocalRef(mc.cls);
  return array;
}

TOLVANE_NATIVE(jboolean, isFolderOpen)(JNIEnv* env, jclass, jlong hFolder) {
  mapiLog("Java_com_plimo_mail_mapi_MAPINative_isFolderOpen\n");
  if (rejectNullHandle(env, hFolder)) return JNI_FALSE;
  return fromHandle<CMapiFolder>(hFolder)->m_bOpen ? JNI_TRUE : JNI_FALSE;
}

TOLVANE_NATIVE(void, closeFolder)(JNIEnv*, jclass, jlong hFolder, jboolean expunge) {
  mapiLog("Java_com_plimo_mail_mapi_MAPINative_closeFolder\n");
  if (hFolder == 0) return;
  CMapiFolder* pFolder = fromHandle<CMapiFolder>(hFolder);
  pFolder->Close(expunge == 1);
  delete pFolder;
}

TOLVANE_NATIVE(void, destroyMessage)(JNIEnv*, jclass, jlong hMessage) {
  mapiLog("Java_com_plimo_mail_mapi_MAPINative_destroyMessage\n");
  if (hMessage == 0) return;
  CMapiMessage* message = fromHandle<CMapiMessage>(hMessage);
  // A message fetched from a folder belongs to the folder.
  if (!message->m_bOwnedByFolder) delete message;
}
