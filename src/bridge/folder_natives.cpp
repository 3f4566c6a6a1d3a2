// Natives of the Inbox folder: locate, open, count, fetch messages, close.
#include "bridge/handles.h"
#include "bridge/jniutil.h"
#include "folder/mapifolder.h"
#include "message/mapimessage.h"
#include "session/mapistore.h"
#include "support/liveobjects.h"
#include "support/mapierror.h"
#include "support/mapiexception.h"
#include "support/maplog.h"

#include <memory>
#include <vector>

namespace {

// Fetches the messages numbered first..last (1-based) into the array at
// index number - 1. On failure every message made by this call is closed
// and deleted, and an exception is pending.
void fetchRange(JNIEnv* env, CMapiFolder* pFolder, jobject folder, const MessageClass& mc, jobjectArray array,
                jint first, jint last) {
  std::vector<CMapiMessage*> created;
  bool failed = false;
  try {
    for (jint i = first - 1; i < last; ++i) {
      std::unique_ptr<CMapiMessage> fresh(new CMapiMessage);
      created.push_back(fresh.get());
      CMapiMessage* message = fresh.release();
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
  return nativeBoundary(env, jlong{0}, [&]() -> jlong {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_getInbox\n");
    CMapiStore* store = storeOf(env, hStore);
    if (!store) return 0;
    std::unique_ptr<CMapiFolder> folder(new CMapiFolder);
    try {
      store->getInbox(*folder);
      return toHandle(folder.release());
    } catch (CMapiException& e) {
      throwMessagingException(env, e.m_strMessage);
    }
    return 0;
  });
}

TOLVANE_NATIVE(void, openFolder)(JNIEnv* env, jclass, jlong hFolder, jint flags) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_openFolder\n");
    CMapiFolder* folder = folderOf(env, hFolder);
    if (!folder) return;
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_openFolder %d\n", static_cast<int>(flags));
    folder->open(static_cast<ULONG>(flags));
  });
}

TOLVANE_NATIVE(jint, getFolderMessageCount)(JNIEnv* env, jclass, jlong hFolder) {
  return nativeBoundary(env, jint{0}, [&]() -> jint {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_getFolderMessageCount\n");
    CMapiFolder* folder = folderOf(env, hFolder);
    return folder ? static_cast<jint>(folder->getMessageCount()) : 0;
  });
}

TOLVANE_NATIVE(jobject, getFolderMessage)(JNIEnv* env, jclass, jlong hFolder, jobject folder, jint number) {
  return nativeBoundary(env, jobject{nullptr}, [&]() -> jobject {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_getFolderMessage\n");
    MessageClass mc;
    if (!findMessageClass(env, mc)) return nullptr;
    jobject javaMessage = env->NewObject(mc.cls, mc.ctor, folder, number);
    if (!javaMessage) {
      throwMessagingException(env, "Unable to create MAPIMessage object");
      return nullptr;
    }
    CMapiFolder* pFolder = folderOf(env, hFolder);
    if (!pFolder) return nullptr;
    CMapiMessage* message = new CMapiMessage;
    try {
      pFolder->getMessage(static_cast<ULONG>(number), message);
      env->CallVoidMethod(javaMessage, mc.setPointer, toHandle(message));
      if (env->ExceptionCheck()) throw CMapiException("Unable to create MAPIMessage object");
    } catch (...) {
      raiseCaughtException(env);
      // Deleting a message also takes it out of the folder's list.
      message->close();
      delete message;
      env->DeleteLocalRef(mc.cls);
      return nullptr;
    }
    env->DeleteLocalRef(mc.cls);
    return javaMessage;
  });
}

TOLVANE_NATIVE(jobjectArray, getFolderMessages)(JNIEnv* env, jclass, jlong hFolder, jobject folder) {
  return nativeBoundary(env, jobjectArray{nullptr}, [&]() -> jobjectArray {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_getFolderMessages\n");
    MessageClass mc;
    if (!findMessageClass(env, mc)) return nullptr;
    CMapiFolder* pFolder = folderOf(env, hFolder);
    if (!pFolder) return nullptr;
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
  });
}

TOLVANE_NATIVE(jobjectArray, getFolderMessageChunk)(JNIEnv* env, jclass, jlong hFolder, jobject folder, jint first,
                                                    jint last) {
  return nativeBoundary(env, jobjectArray{nullptr}, [&]() -> jobjectArray {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_getFolderMessageChunk, %d %d\n", static_cast<int>(first),
            static_cast<int>(last));
    MessageClass mc;
    if (!findMessageClass(env, mc)) return nullptr;
    CMapiFolder* pFolder = folderOf(env, hFolder);
    if (!pFolder) return nullptr;
    jobjectArray array = last >= 0 ? env->NewObjectArray(last, mc.cls, nullptr) : nullptr;
    if (!array) {
      throwMessagingException(env, "Unable to create MAPIMessage result array");
      return nullptr;
    }
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_getFolderMessageChunk, Creating msg objects %d \n",
            static_cast<int>(first - 1));
    fetchRange(env, pFolder, folder, mc, array, first, last);
    env->DeleteLocalRef(mc.cls);
    return array;
  });
}

TOLVANE_NATIVE(jboolean, isFolderOpen)(JNIEnv* env, jclass, jlong hFolder) {
  return nativeBoundary(env, jboolean{JNI_FALSE}, [&]() -> jboolean {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_isFolderOpen\n");
    CMapiFolder* folder = folderOf(env, hFolder);
    return folder && folder->m_bOpen ? JNI_TRUE : JNI_FALSE;
  });
}

TOLVANE_NATIVE(void, closeFolder)(JNIEnv* env, jclass, jlong hFolder, jboolean expunge) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_closeFolder\n");
    if (hFolder == 0) return;
    liveobjects::Kind kind = handleKind(hFolder);
    if (kind != liveobjects::Kind::Folder) {
      throwMessagingException(env,
                              kind == liveobjects::Kind::None ? "The folder is already closed" : kInvalidHandleText);
      return;
    }
    CMapiFolder* pFolder = fromHandle<CMapiFolder>(hFolder);
    // Its messages, their contents and parts go with it, and their handles
    // say why from now on.
    liveobjects::Ending ending(messageEndText(pFolder), messageEndOwner(pFolder));
    // The folder goes also when closing it fails part way; a folder whose
    // store was closed has nothing left to expunge with and just goes.
    std::unique_ptr<CMapiFolder> owner(pFolder);
    pFolder->Close(expunge == 1);
  });
}

TOLVANE_NATIVE(void, destroyMessage)(JNIEnv* env, jclass, jlong hMessage) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_destroyMessage\n");
    if (hMessage == 0) return;
    switch (handleKind(hMessage)) {
      case liveobjects::Kind::Message: {
        CMapiMessage* message = fromHandle<CMapiMessage>(hMessage);
        // A message fetched from a folder belongs to the folder.
        if (message->m_bOwnedByFolder) return;
        liveobjects::Ending ending(kMessageDestroyedText);
        delete message;
        return;
      }
      case liveobjects::Kind::AttachedMessage:
        // It belongs to the content it was opened from.
      case liveobjects::Kind::None:
        // Gone already: destroyed before, or with its folder.
        return;
      default:
        throwMessagingException(env, kInvalidHandleText);
    }
  });
}

// ---- The provider's folder: the stored read state, new mail, expunge --------

TOLVANE_ATTACHED_NATIVE(void, keepReadState)(JNIEnv* env, jclass, jlong hFolder) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINativeAttached_keepReadState\n");
    CMapiFolder* pFolder = folderOf(env, hFolder);
    if (pFolder) pFolder->keepReadState();
  });
}

TOLVANE_ATTACHED_NATIVE(jbooleanArray, getReadStates)(JNIEnv* env, jclass, jlong hFolder, jint first, jint last) {
  return nativeBoundary(env, jbooleanArray{nullptr}, [&]() -> jbooleanArray {
    mapiLog("Java_com_plimo_mail_mapi_MAPINativeAttached_getReadStates, %d %d\n", static_cast<int>(first),
            static_cast<int>(last));
    CMapiFolder* pFolder = folderOf(env, hFolder);
    if (!pFolder) return nullptr;
    if (first < 1 || last < first - 1) {
      throwMessagingException(env, "Index is out of range");
      return nullptr;
    }
    std::vector<jboolean> states;
    states.reserve(static_cast<size_t>(last - first + 1));
    try {
      for (jint n = first; n <= last; ++n)
        states.push_back(pFolder->wasRead(static_cast<ULONG>(n)) ? JNI_TRUE : JNI_FALSE);
    } catch (CMapiException& e) {
      throwMessagingException(env, e.m_strMessage);
      return nullptr;
    }
    jbooleanArray array = env->NewBooleanArray(static_cast<jsize>(states.size()));
    if (!array) {
      throwMessagingException(env, "Unable to create the read states result");
      return nullptr;
    }
    env->SetBooleanArrayRegion(array, 0, static_cast<jsize>(states.size()), states.data());
    return array;
  });
}

TOLVANE_ATTACHED_NATIVE(jint, refreshFolder)(JNIEnv* env, jclass, jlong hFolder) {
  return nativeBoundary(env, jint{0}, [&]() -> jint {
    mapiLog("Java_com_plimo_mail_mapi_MAPINativeAttached_refreshFolder\n");
    CMapiFolder* pFolder = folderOf(env, hFolder);
    if (!pFolder) return 0;
    try {
      return static_cast<jint>(pFolder->refresh());
    } catch (CMapiException& e) {
      throwMessagingException(env, e.m_strMessage);
    }
    return 0;
  });
}

TOLVANE_ATTACHED_NATIVE(jintArray, expungeFolder)(JNIEnv* env, jclass, jlong hFolder) {
  return nativeBoundary(env, jintArray{nullptr}, [&]() -> jintArray {
    mapiLog("Java_com_plimo_mail_mapi_MAPINativeAttached_expungeFolder\n");
    CMapiFolder* pFolder = folderOf(env, hFolder);
    if (!pFolder) return nullptr;
    std::vector<jint> positions;
    try {
      liveobjects::Ending ending(kMessageExpungedText);
      for (ULONG position : pFolder->expungeMarked()) positions.push_back(static_cast<jint>(position));
    } catch (CMapiException& e) {
      throwMessagingException(env, e.m_strMessage);
      return nullptr;
    }
    jintArray array = env->NewIntArray(static_cast<jsize>(positions.size()));
    if (!array) {
      throwMessagingException(env, "Unable to create the expunged messages result");
      return nullptr;
    }
    env->SetIntArrayRegion(array, 0, static_cast<jsize>(positions.size()), positions.data());
    return array;
  });
}

TOLVANE_ATTACHED_NATIVE(void, setMessageRead)(JNIEnv* env, jclass, jlong hMessage, jboolean read) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINativeAttached_setMessageRead %d\n", read ? 1 : 0);
    CMapiMessage* message = messageOf(env, hMessage);
    if (!message) return;
    if (!message->m_lpMessage) {
      throwMessagingException(env, "The message cannot be read");
      return;
    }
    HRESULT hr = message->m_lpMessage->SetReadFlag(read ? 0 : CLEAR_READ_FLAG);
    if (FAILED(hr))
      throwMessagingException(env, "The read state of the message could not be changed: " +
                                       mapiErrorText(message->m_lpMessage, hr));
  });
}
