#include "bridge/handles.h"

using liveobjects::Kind;

namespace {

// Whether the end of an object says why it went (the things of a message, which go
// with their folder, content or transport), or only that it did (a store, folder or
// transport, which go by their own close).
enum class Reason { kItsEnd, kItsClose };

// The live object of `kind` (or `other`) at a handle's address, or null with the
// reason raised: for a handle whose object went, its end's text (goneText when it has
// none or only goneText counts), else kInvalidHandleText.
void* liveObject(JNIEnv* env, jlong handle, Kind kind, Kind other, const char* goneText, Reason reason) {
  if (rejectNullHandle(env, handle)) return nullptr;
  Kind found = liveobjects::kindOf(handleAddress(handle));
  if (found != Kind::None && (found == kind || found == other))
    return reinterpret_cast<void*>(static_cast<intptr_t>(handle));
  liveobjects::End end;
  if (found != Kind::None || !liveobjects::endOf(handleAddress(handle), end) ||
      (end.kind != kind && end.kind != other)) {
    throwMessagingException(env, kInvalidHandleText);
    return nullptr;
  }
  const char* text = goneText;
  if (reason == Reason::kItsEnd) {
    if (end.text) text = end.text;
    // The store that was closed since the object went speaks first: it would
    // have taken the object along.
    if (end.owner && liveobjects::kindOf(end.owner) != Kind::Store) text = kStoreOfMessageClosedText;
  }
  throwMessagingException(env, text);
  return nullptr;
}

}  // namespace

const char* messageEndText(const CMapiFolder* folder) {
  return folder && folder->isStoreClosed() ? kStoreOfMessageClosedText : kFolderOfMessageClosedText;
}

const CMapiStore* messageEndOwner(const CMapiFolder* folder) { return folder ? folder->m_pOwningStore : nullptr; }

CMapiStore* storeOf(JNIEnv* env, jlong handle) {
  return static_cast<CMapiStore*>(
      liveObject(env, handle, Kind::Store, Kind::Store, kStoreClosedText, Reason::kItsClose));
}

CMapiTransport* transportOf(JNIEnv* env, jlong handle) {
  return static_cast<CMapiTransport*>(
      liveObject(env, handle, Kind::Transport, Kind::Transport, kTransportClosedText, Reason::kItsClose));
}

CMapiFolder* folderOf(JNIEnv* env, jlong handle) {
  auto* folder = static_cast<CMapiFolder*>(
      liveObject(env, handle, Kind::Folder, Kind::Folder, kFolderClosedText, Reason::kItsClose));
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
      liveObject(env, handle, Kind::Message, Kind::AttachedMessage, kMessageDestroyedText, Reason::kItsEnd));
  return message && rejectDetachedMessage(env, message) ? nullptr : message;
}

// A store that closes leaves its folders' messages and their contents in
// place (CMapiFolder::detachFromStore), so the owners of a live multipart or
// part are live too.
CMapiMultipart* multipartOf(JNIEnv* env, jlong handle) {
  auto* multipart = static_cast<CMapiMultipart*>(
      liveObject(env, handle, Kind::Multipart, Kind::Multipart, kContentDiscardedText, Reason::kItsEnd));
  if (!multipart) return nullptr;
  CMapiContent* content = multipart->m_pOwnerContent;
  return content && rejectDetachedMessage(env, content->m_pMessage) ? nullptr : multipart;
}

CMapiBodyPart* partOf(JNIEnv* env, jlong handle) {
  auto* part = static_cast<CMapiBodyPart*>(
      liveObject(env, handle, Kind::BodyPart, Kind::BodyPart, kContentDiscardedText, Reason::kItsEnd));
  if (!part) return nullptr;
  CMapiMultipart* multipart = part->m_pMultipart;
  CMapiContent* content = multipart ? multipart->m_pOwnerContent : nullptr;
  return content && rejectDetachedMessage(env, content->m_pMessage) ? nullptr : part;
}
