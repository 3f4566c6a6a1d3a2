#include "bridge/handles.h"

using liveobjects::Kind;

namespace {

// The live object of `kind` (or `other`) at a handle's address, or null
// with the reason raised.
void* liveObject(JNIEnv* env, jlong handle, Kind kind, Kind other, const char* goneText, const char* fixedText) {
  if (rejectNullHandle(env, handle)) return nullptr;
  Kind found = liveobjects::kindOf(handleAddress(handle));
  if (found != Kind::None && (found == kind || found == other))
    return reinterpret_cast<void*>(static_cast<intptr_t>(handle));
  if (found != Kind::None) {
    throwMessagingException(env, kInvalidHandleText);
    return nullptr;
  }
  raiseDeadHandle(env, handle, kind, other, goneText, fixedText);
  return nullptr;
}

}  // namespace

void raiseDeadHandle(JNIEnv* env, jlong handle, Kind a, Kind b, const char* goneText, const char* fixedText) {
  liveobjects::End end;
  if (!liveobjects::endOf(handleAddress(handle), end) || end.kind == Kind::None ||
      (end.kind != a && end.kind != b)) {
    throwMessagingException(env, kInvalidHandleText);
    return;
  }
  const char* text = fixedText ? fixedText : end.text ? end.text : goneText;
  // The store that was closed since the object went speaks first: it would
  // have taken the object along.
  if (!fixedText && end.owner && liveobjects::kindOf(end.owner) != Kind::Store) text = kStoreOfMessageClosedText;
  throwMessagingException(env, text);
}

const char* messageEndText(const CMapiFolder* folder) {
  return folder && folder->isStoreClosed() ? kStoreOfMessageClosedText : kFolderOfMessageClosedText;
}

const CMapiStore* messageEndOwner(const CMapiFolder* folder) { return folder ? folder->m_pOwningStore : nullptr; }

CMapiStore* storeOf(JNIEnv* env, jlong handle) {
  return static_cast<CMapiStore*>(
      liveObject(env, handle, Kind::Store, Kind::Store, kStoreClosedText, kStoreClosedText));
}

CMapiTransport* transportOf(JNIEnv* env, jlong handle) {
  return static_cast<CMapiTransport*>(
      liveObject(env, handle, Kind::Transport, Kind::Transport, kTransportClosedText, kTransportClosedText));
}

CMapiFolder* folderOf(JNIEnv* env, jlong handle) {
  auto* folder = static_cast<CMapiFolder*>(
      liveObject(env, handle, Kind::Folder, Kind::Folder, kFolderClosedText, kFolderClosedText));
  if (folder && folder->isStoreClosed()) {
    throwMessagingException(env, kStoreOfFolderClosedText);
    return nullptr;
  }
  return folder;
}

bool rejectDetachedMessage(JNIEnv* env, const CMapiMessage* message) {
  if (!message) return false;
  if (message->m_bTransportClosed) {
    throwMessagingException(env, kTransportOfMessageClosedText);
    return true;
  }
  if (!message->m_pFolder || !message->m_pFolder->isStoreClosed()) return false;
  throwMessagingException(env, kStoreOfMessageClosedText);
  return true;
}

CMapiMessage* messageOf(JNIEnv* env, jlong handle) {
  auto* message = static_cast<CMapiMessage*>(
      liveObject(env, handle, Kind::Message, Kind::AttachedMessage, kMessageDestroyedText, nullptr));
  return message && rejectDetachedMessage(env, message) ? nullptr : message;
}

// A store that closes leaves its folders' messages and their contents in
// place (CMapiFolder::detachFromStore), so the owners of a live multipart or
// part are live too.
CMapiMultipart* multipartOf(JNIEnv* env, jlong handle) {
  auto* multipart = static_cast<CMapiMultipart*>(
      liveObject(env, handle, Kind::Multipart, Kind::Multipart, kContentDiscardedText, nullptr));
  if (!multipart) return nullptr;
  CMapiContent* content = multipart->m_pOwnerContent;
  return content && rejectDetachedMessage(env, content->m_pMessage) ? nullptr : multipart;
}

CMapiBodyPart* partOf(JNIEnv* env, jlong handle) {
  auto* part = static_cast<CMapiBodyPart*>(
      liveObject(env, handle, Kind::BodyPart, Kind::BodyPart, kContentDiscardedText, nullptr));
  if (!part) return nullptr;
  CMapiMultipart* multipart = part->m_pMultipart;
  CMapiContent* content = multipart ? multipart->m_pOwnerContent : nullptr;
  return content && rejectDetachedMessage(env, content->m_pMessage) ? nullptr : part;
}
