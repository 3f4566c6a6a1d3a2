// The handles of the native objects as the natives take them. A handle is
// the object's address; before following one, every native looks it up in
// the table of live objects (support/liveobjects.h) for the kind it needs.
// Each function here gives the object of a handle, or raises a
// MessagingException and gives null:
//  - 0, or an address that holds no live object of the kind and whose end
//    is not known: "Invalid class pointer.";
//  - an object that was deleted: why it went ("The folder of this message
//    is closed", ...), the outermost owner first;
//  - an object that lives on after its store or transport was closed: that
//    owner's text.
// A stale handle whose address was since given to a new object of the same
// kind reaches that live object: never freed memory.
#ifndef TOLVANE_BRIDGE_HANDLES_H
#define TOLVANE_BRIDGE_HANDLES_H

#include "bridge/jniutil.h"
#include "content/mapibodypart.h"
#include "content/mapicontent.h"
#include "content/mapimultipart.h"
#include "folder/mapifolder.h"
#include "message/mapimessage.h"
#include "session/mapistore.h"
#include "session/mapitransport.h"
#include "support/liveobjects.h"

constexpr const char* kInvalidHandleText = "Invalid class pointer.";
constexpr const char* kStoreClosedText = "The store is closed";
constexpr const char* kFolderClosedText = "The folder is closed";
constexpr const char* kTransportClosedText = "The transport is closed";
constexpr const char* kStoreOfFolderClosedText = "The store of this folder is closed";
constexpr const char* kStoreOfMessageClosedText = "The store of this message is closed";
constexpr const char* kFolderOfMessageClosedText = "The folder of this message is closed";
constexpr const char* kTransportOfMessageClosedText = "The transport of this message is closed";
constexpr const char* kMessageDestroyedText = "The message was destroyed";
constexpr const char* kMessageExpungedText = "The message was expunged";
constexpr const char* kAttachedMessageClosedText = "The attached message is closed";
constexpr const char* kContentDiscardedText =
    "The message's content was discarded when its delete flag changed; fetch it again";

// The address a handle carries (its low 32 bits on a 32-bit build).
inline const void* handleAddress(jlong handle) {
  return reinterpret_cast<const void*>(static_cast<intptr_t>(handle));
}

// The live object's kind at the handle's address; Kind::None for 0.
inline liveobjects::Kind handleKind(jlong handle) {
  return handle == 0 ? liveobjects::Kind::None : liveobjects::kindOf(handleAddress(handle));
}

// The Ending of the objects that go when `folder`'s messages go (its close,
// or one message's content): their text, and the store whose later close
// speaks first.
const char* messageEndText(const CMapiFolder* folder);
const CMapiStore* messageEndOwner(const CMapiFolder* folder);

CMapiStore* storeOf(JNIEnv* env, jlong handle);
CMapiTransport* transportOf(JNIEnv* env, jlong handle);
CMapiFolder* folderOf(JNIEnv* env, jlong handle);
// A message of a folder, being composed, or attached to another.
CMapiMessage* messageOf(JNIEnv* env, jlong handle);
CMapiMultipart* multipartOf(JNIEnv* env, jlong handle);
CMapiBodyPart* partOf(JNIEnv* env, jlong handle);

// Whether a live message lost its store or transport; raises the owner's
// text when it did.
bool rejectDetachedMessage(JNIEnv* env, const CMapiMessage* message);

#endif
