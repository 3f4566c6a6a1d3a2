// The handles of the native objects as the natives take them. Each function
// gives the object of a handle, or raises a MessagingException and gives
// null: for 0 "Invalid class pointer.", for a store or folder that was
// closed (those register themselves, so a handle to a deleted one is known),
// and for an object that lives on after its store was closed.
//
// A message, a multipart or a body part of a folder that was closed no
// longer exists and cannot be recognised here: the Java objects that hold
// such handles check their NativeLifetime before every call.
#ifndef TOLVANE_BRIDGE_HANDLES_H
#define TOLVANE_BRIDGE_HANDLES_H

#include "bridge/jniutil.h"
#include "content/mapibodypart.h"
#include "content/mapicontent.h"
#include "content/mapimultipart.h"
#include "folder/mapifolder.h"
#include "message/mapimessage.h"
#include "session/mapistore.h"

// The texts of a closed owner. The NativeLifetime objects end with the
// "of this message" ones: the Java classes that check them all belong to a
// message.
constexpr const char* kStoreClosedText = "The store is closed";
constexpr const char* kFolderClosedText = "The folder is closed";
constexpr const char* kStoreOfFolderClosedText = "The store of this folder is closed";
constexpr const char* kStoreOfMessageClosedText = "The store of this message is closed";
constexpr const char* kFolderOfMessageClosedText = "The folder of this message is closed";
constexpr const char* kAttachedMessageClosedText = "The attached message is closed";
constexpr const char* kContentDiscardedText =
    "The message's content was discarded when its delete flag changed; fetch it again";

inline CMapiStore* storeOf(JNIEnv* env, jlong handle) {
  if (rejectNullHandle(env, handle)) return nullptr;
  CMapiStore* store = fromHandle<CMapiStore>(handle);
  if (!CMapiStore::exists(store)) {
    throwMessagingException(env, kStoreClosedText);
    return nullptr;
  }
  return store;
}

inline CMapiFolder* folderOf(JNIEnv* env, jlong handle) {
  if (rejectNullHandle(env, handle)) return nullptr;
  CMapiFolder* folder = fromHandle<CMapiFolder>(handle);
  if (!CMapiFolder::exists(folder)) {
    throwMessagingException(env, kFolderClosedText);
    return nullptr;
  }
  if (folder->isStoreClosed()) {
    throwMessagingException(env, kStoreOfFolderClosedText);
    return nullptr;
  }
  return folder;
}

// Whether a message belongs to a folder whose store was closed; raises the
// text when it does.
inline bool rejectDetachedMessage(JNIEnv* env, const CMapiMessage* message) {
  if (!message || !message->m_pFolder || !message->m_pFolder->isStoreClosed()) return false;
  throwMessagingException(env, kStoreOfMessageClosedText);
  return true;
}

inline CMapiMessage* messageOf(JNIEnv* env, jlong handle) {
  if (rejectNullHandle(env, handle)) return nullptr;
  CMapiMessage* message = fromHandle<CMapiMessage>(handle);
  return rejectDetachedMessage(env, message) ? nullptr : message;
}

// A store that closes leaves its folders' messages and their contents in
// place (CMapiFolder::detachFromStore), so these pointers still lead to live
// objects.
inline CMapiMultipart* multipartOf(JNIEnv* env, jlong handle) {
  if (rejectNullHandle(env, handle)) return nullptr;
  CMapiMultipart* multipart = fromHandle<CMapiMultipart>(handle);
  CMapiContent* content = multipart->m_pOwnerContent;
  return content && rejectDetachedMessage(env, content->m_pMessage) ? nullptr : multipart;
}

inline CMapiBodyPart* partOf(JNIEnv* env, jlong handle) {
  if (rejectNullHandle(env, handle)) return nullptr;
  CMapiBodyPart* part = fromHandle<CMapiBodyPart>(handle);
  CMapiMultipart* multipart = part->m_pMultipart;
  CMapiContent* content = multipart ? multipart->m_pOwnerContent : nullptr;
  return content && rejectDetachedMessage(env, content->m_pMessage) ? nullptr : part;
}

#endif
