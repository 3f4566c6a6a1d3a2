// Natives of com.plimo.mail.mapi.MAPINativeAttached: a message attached to a
// received message, opened from its part as a message handle that every
// reading native of MAPINative takes (subject, addresses, dates, bodies,
// content, parts, .msg export), and closed again.
//
// The attached message belongs to the content it was opened from
// (CMapiAttachedMessage): closeAttachedMessage deletes it, and so does the
// deletion of that content (a delete-flag change of the outer message, the
// close of its folder). Its handle is checked like every other one
// (bridge/handles.h).
#include "bridge/handles.h"
#include "bridge/jniutil.h"
#include "content/mapibodypart.h"
#include "content/mapicontent.h"
#include "content/mapimultipart.h"
#include "folder/mapifolder.h"
#include "message/attachedmessage.h"
#include "support/maplog.h"

#include <cstdio>
#include <memory>

TOLVANE_ATTACHED_NATIVE(jlong, openAttachedMessage)(JNIEnv* env, jclass, jlong hMultipart, jint index,
                                                    jobject javaMessage) {
  return nativeBoundary(env, jlong{0}, [&]() -> jlong {
    mapiLog("Java_com_plimo_mail_mapi_MAPINativeAttached_openAttachedMessage %d\n", static_cast<int>(index));
    CMapiMultipart* multipart = multipartOf(env, hMultipart);
    if (!multipart) return 0;
    CMapiContent* content = multipart->m_pOwnerContent;
    if (!content || !content->m_pMessage) {
      throwMessagingException(env, "The body part belongs to no message");
      return 0;
    }
    if (index < 0 || index >= multipart->getCount()) {
      char text[128];
      snprintf(text, sizeof text, "Body part index %d is out of range: the message has %d parts",
               static_cast<int>(index), multipart->getCount());
      throwMessagingException(env, text);
      return 0;
    }
    CMapiBodyPart* part = multipart->getPart(index);
    if (!part->isAttachedMessage()) {
      char text[96];
      snprintf(text, sizeof text, "Body part %d is not an attached message", static_cast<int>(index));
      throwMessagingException(env, text);
      return 0;
    }
    // The Java method is found before anything native is made.
    MessageClass mc;
    if (javaMessage) {
      if (!findMessageClass(env, mc)) return 0;
      bool isMessage = env->IsInstanceOf(javaMessage, mc.cls);
      env->DeleteLocalRef(mc.cls);
      if (!isMessage) {
        throwMessagingException(env, "The attached message's Java object is not a MAPIMessage");
        return 0;
      }
    }
    // Deleted again (and out of the content's list) on every failure below.
    std::unique_ptr<CMapiAttachedMessage> message(CMapiAttachedMessage::open(content, part));
    if (javaMessage) {
      env->CallVoidMethod(javaMessage, mc.setPointer, toHandle(message.get()));
      if (env->ExceptionCheck()) {
        throwMessagingException(env, "Unable to create the attached message's MAPIMessage object");
        return 0;
      }
    }
    return toHandle(message.release());
  });
}

TOLVANE_ATTACHED_NATIVE(void, closeAttachedMessage)(JNIEnv* env, jclass, jlong hMessage) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINativeAttached_closeAttachedMessage\n");
    if (rejectNullHandle(env, hMessage)) return;
    // Closed already, by this call or with its content, or never an
    // attached message: refused rather than followed.
    if (handleKind(hMessage) != liveobjects::Kind::AttachedMessage) {
      throwMessagingException(env, kAttachedMessageClosedText);
      return;
    }
    auto* message = fromHandle<CMapiAttachedMessage>(hMessage);
    liveobjects::Ending ending(kAttachedMessageClosedText, messageEndOwner(message->m_pFolder));
    delete message;
  });
}

TOLVANE_ATTACHED_NATIVE(jint, liveAttachedMessages)(JNIEnv* env, jclass) {
  return nativeBoundary(env, jint{0}, [&]() -> jint {
    return static_cast<jint>(liveobjects::count(liveobjects::Kind::AttachedMessage));
  });
}

// What a MIME form of a part needs beyond its type, name and content
// identifier (CMapiBodyPart::getMimeFields), null where the part has none.
TOLVANE_ATTACHED_NATIVE(jobjectArray, getPartMime)(JNIEnv* env, jclass, jlong hPart) {
  return nativeBoundary(env, jobjectArray{nullptr}, [&]() -> jobjectArray {
    mapiLog("Java_com_plimo_mail_mapi_MAPINativeAttached_getPartMime\n");
    CMapiBodyPart* part = partOf(env, hPart);
    if (!part) return nullptr;
    std::string fields[CMapiBodyPart::kMimeFields];
    bool present[CMapiBodyPart::kMimeFields];
    part->getMimeFields(fields, present);
    return newStringArray(env, fields, present, CMapiBodyPart::kMimeFields);
  });
}

TOLVANE_ATTACHED_NATIVE(jint, readPartData)(JNIEnv* env, jclass, jlong hPart, jlong offset, jbyteArray buffer,
                                            jint start, jint length) {
  return nativeBoundary(env, jint{0}, [&]() -> jint {
    mapiLog("Java_com_plimo_mail_mapi_MAPINativeAttached_readPartData\n");
    CMapiBodyPart* part = partOf(env, hPart);
    if (!part) return 0;
    if (!buffer) {
      throwMessagingException(env, "No buffer to read the part's data into");
      return 0;
    }
    jsize size = env->GetArrayLength(buffer);
    if (offset < 0 || start < 0 || length < 0 || start > size || length > size - start) {
      throwMessagingException(env, "The part's data cannot be read into that range of the buffer");
      return 0;
    }
    if (part->isAttachedMessage()) {
      throwMessagingException(env, "The body part is an attached message: its data is a .msg file (writeBodypartToFile)");
      return 0;
    }
    if (length == 0) return 0;
    // One piece per call, read into memory of ours (the store must not run
    // while the Java array is pinned).
    const jint kMaxPiece = 1024 * 1024;
    jint want = length < kMaxPiece ? length : kMaxPiece;
    std::unique_ptr<jbyte[]> piece(new jbyte[static_cast<size_t>(want)]);
    ULONG got = 0;
    part->readData(static_cast<uint64_t>(offset), piece.get(), static_cast<ULONG>(want), got);
    if (got == 0) return -1;
    env->SetByteArrayRegion(buffer, start, static_cast<jsize>(got), piece.get());
    return static_cast<jint>(got);
  });
}
