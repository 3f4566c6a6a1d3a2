// Natives that open a transport and compose and send messages through it.
#include "bridge/handles.h"
#include "bridge/jniutil.h"
#include "message/mapimessage.h"
#include "session/mapitransport.h"
#include "support/mapiexception.h"
#include "support/maplog.h"

#include <string>

namespace {

const char* const kLoadPersonal = "Unable to load Personal for JNI Native call";
const char* const kLoadAddress = "Unable to load Address for JNI Native call";
const char* const kLoadMimeType = "Unable to load MimeType for JNI Native call";
const char* const kLoadAttachName = "Unable to load AttachName for JNI Native call";
const char* const kLoadTempFile = "Unable to load TempFile for JNI Native call";
const char* const kLoadBody = "Unable to load Body for JNI Native call";
const char* const kSetContentFailed = "Unable to set content for message";

// Runs a composition operation on the message of the handle, once the
// handle is known to be a live message: a CMapiException raises the
// method's fixed text (or the exception's own when fixedText is null).
template <class Operation>
void compose(JNIEnv* env, jlong hMessage, const char* fixedText, Operation operation) {
  CMapiMessage* message = messageOf(env, hMessage);
  if (!message) return;
  try {
    operation(message);
  } catch (CMapiException& e) {
    throwMessagingException(env, fixedText ? fixedText : e.m_strMessage.c_str());
  } catch (...) {
    throwMessagingException(env, unexpectedFailureText());
  }
}

// The shape of the methods that take a name and an address.
using AddressOperation = void (*)(CMapiMessage*, const std::string&, const std::string&);

void nameAndAddress(JNIEnv* env, jlong hMessage, jstring jPersonal, jstring jAddress, bool addressStandsForName,
                    const char* fixedText, AddressOperation operation) {
  std::string personal, address;
  if (!loadJavaString(env, jPersonal, personal, kLoadPersonal)) return;
  if (!loadJavaString(env, jAddress, address, kLoadAddress)) return;
  if (addressStandsForName && jAddress && personal.empty()) personal = address;
  compose(env, hMessage, fixedText,
          [&](CMapiMessage* message) { operation(message, personal, address); });
}

void body(JNIEnv* env, jlong hMessage, jstring jBody, void (CMapiMessage::*setter)(std::string)) {
  std::string text;
  if (!loadJavaString(env, jBody, text, kLoadBody)) return;
  // An empty body leaves the message as it is.
  if (text.empty()) return;
  compose(env, hMessage, kSetContentFailed, [&](CMapiMessage* message) { (message->*setter)(text); });
}

}  // namespace

TOLVANE_NATIVE(jlong, getTransport)(JNIEnv* env, jclass, jstring jProfile, jstring jPassword, jstring jTempDir,
                                    jstring jSentFolder) {
  return nativeBoundary(env, jlong{0}, [&]() -> jlong {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_getTransport\n");
    std::string profile, password, tempDir, sentFolder;
    if (!loadJavaString(env, jProfile, profile, "Unable to load profile for JNI Native call")) return 0;
    if (!loadJavaString(env, jPassword, password, "Unable to load Password for JNI Native call")) return 0;
    if (!loadJavaString(env, jTempDir, tempDir, "Unable to load TempDir for JNI Native call")) return 0;
    if (!loadJavaString(env, jSentFolder, sentFolder, "Unable to load SentFolder for JNI Native call")) return 0;

    CMapiTransport* pTransport = nullptr;
    try {
      pTransport = new CMapiTransport(profile, password, tempDir, sentFolder);
      pTransport->open();
      return toHandle(pTransport);
    } catch (CMapiException& e) {
      throwMessagingException(env, e.m_strMessage);
    } catch (...) {
      throwMessagingException(env, unexpectedFailureText());
    }
    delete pTransport;
    return 0;
  });
}

TOLVANE_NATIVE(jlong, createMessage)(JNIEnv* env, jclass, jlong hTransport) {
  return nativeBoundary(env, jlong{0}, [&]() -> jlong {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_createMessage\n");
    CMapiTransport* transport = transportOf(env, hTransport);
    if (!transport) return 0;
    try {
      return toHandle(transport->createMessage());
    } catch (CMapiException& e) {
      throwMessagingException(env, e.m_strMessage);
    } catch (...) {
      throwMessagingException(env, unexpectedFailureText());
    }
    return 0;
  });
}

TOLVANE_NATIVE(void, setMessageSubject)(JNIEnv* env, jclass, jlong hMessage, jstring jSubject) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_setMessageSubject\n");
    std::string subject;
    if (!loadJavaString(env, jSubject, subject, "Unable to load subject for JNI Native call")) return;
    compose(env, hMessage, "Unable to set subject for message",
            [&](CMapiMessage* message) { message->setSubject(subject); });
  });
}

TOLVANE_NATIVE(void, addMessageToRecipient)(JNIEnv* env, jclass, jlong hMessage, jstring jPersonal,
                                            jstring jAddress) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_addMessageToRecipient\n");
    nameAndAddress(env, hMessage, jPersonal, jAddress, true, "Unable to add recipient for message",
                   [](CMapiMessage* m, const std::string& n, const std::string& a) { m->addRecipient(n, a, MAPI_TO); });
  });
}

TOLVANE_NATIVE(void, addMessageCCRecipient)(JNIEnv* env, jclass, jlong hMessage, jstring jPersonal,
                                            jstring jAddress) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_addMessageCCRecipient\n");
    nameAndAddress(env, hMessage, jPersonal, jAddress, false, "Unable to set CC recipient for message",
                   [](CMapiMessage* m, const std::string& n, const std::string& a) { m->addRecipient(n, a, MAPI_CC); });
  });
}

TOLVANE_NATIVE(void, addMessageBCCRecipient)(JNIEnv* env, jclass, jlong hMessage, jstring jPersonal,
                                             jstring jAddress) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_addMessageBCCRecipient\n");
    nameAndAddress(env, hMessage, jPersonal, jAddress, false, "Unable to set BCC recipient for message",
                   [](CMapiMessage* m, const std::string& n, const std::string& a) { m->addRecipient(n, a, MAPI_BCC); });
  });
}

TOLVANE_NATIVE(void, addMessageFrom)(JNIEnv* env, jclass, jlong hMessage, jstring jPersonal, jstring jAddress) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_addMessageFrom\n");
    nameAndAddress(env, hMessage, jPersonal, jAddress, false, "Unable to set from address for message",
                   [](CMapiMessage* m, const std::string& n, const std::string& a) { m->addFrom(n, a); });
  });
}

TOLVANE_NATIVE(void, setMessageReplyTo)(JNIEnv* env, jclass, jlong hMessage, jstring jPersonal, jstring jAddress) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_setMessageReplyTo\n");
    nameAndAddress(env, hMessage, jPersonal, jAddress, false, "Unable to set Reply To address for message",
                   [](CMapiMessage* m, const std::string& n, const std::string& a) { m->setReplyTo(n, a); });
  });
}

TOLVANE_NATIVE(void, setMessagePriority)(JNIEnv* env, jclass, jlong hMessage, jint priority) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_setMessagePriority\n");
    compose(env, hMessage, "Unable to set priority for message",
            [&](CMapiMessage* message) { message->setPriority(static_cast<LONG>(priority)); });
  });
}

TOLVANE_NATIVE(void, setMessageXHeader)(JNIEnv* env, jclass, jlong hMessage, jstring jName, jstring jValue) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_setMessageXHeader\n");
    if (rejectNullHandle(env, hMessage)) return;
    std::string name, value;
    if (!loadJavaString(env, jName, name, "Unable to load Header Name for JNI Native call")) return;
    if (!loadJavaString(env, jValue, value, "Unable to load Header Value for JNI Native call")) return;
    // The operation reports nothing; an unexpected failure still must not
    // leave the native method.
    compose(env, hMessage, nullptr, [&](CMapiMessage* message) { message->setXHeader(name, value); });
  });
}

TOLVANE_NATIVE(void, sendMessage)(JNIEnv* env, jclass, jlong hMessage) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_sendMessage\n");
    compose(env, hMessage, nullptr, [](CMapiMessage* message) { message->send(); });
  });
}

TOLVANE_NATIVE(void, setMessagePlainTextBody)(JNIEnv* env, jclass, jlong hMessage, jstring jBody) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_setMessagePlainTextBody\n");
    body(env, hMessage, jBody, &CMapiMessage::setPlainTextBody);
  });
}

TOLVANE_NATIVE(void, setMessageHTMLBody)(JNIEnv* env, jclass, jlong hMessage, jstring jBody) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_setMessageHTMLBody\n");
    body(env, hMessage, jBody, &CMapiMessage::setHTMLBody);
  });
}

TOLVANE_NATIVE(void, addMessageAttachment)(JNIEnv* env, jclass, jlong hMessage, jstring jAttachName,
                                           jstring jMimeType, jstring jTempFile) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_addMessageAttachment\n");
    std::string mimeType, attachName, tempFile;
    if (!loadJavaString(env, jMimeType, mimeType, kLoadMimeType)) return;
    if (!loadJavaString(env, jAttachName, attachName, kLoadAttachName)) return;
    if (!loadJavaString(env, jTempFile, tempFile, kLoadTempFile)) return;
    compose(env, hMessage, kSetContentFailed,
            [&](CMapiMessage* message) { message->addAttachment(attachName, mimeType, tempFile); });
  });
}

TOLVANE_NATIVE(void, addMessageInlineAttachment)(JNIEnv* env, jclass, jlong hMessage, jstring jAttachName,
                                                 jstring jMimeType, jstring jTempFile, jstring jContentID) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_addMessageInlineAttachment\n");
    std::string mimeType, attachName, tempFile, contentID;
    if (!loadJavaString(env, jMimeType, mimeType, kLoadMimeType)) return;
    if (!loadJavaString(env, jAttachName, attachName, kLoadAttachName)) return;
    if (!loadJavaString(env, jTempFile, tempFile, kLoadTempFile)) return;
    if (!loadJavaString(env, jContentID, contentID, "Unable to load ContentID for JNI Native call")) return;
    compose(env, hMessage, kSetContentFailed, [&](CMapiMessage* message) {
      message->addInlineAttachment(attachName, mimeType, tempFile, contentID);
    });
  });
}

TOLVANE_NATIVE(void, closeTransport)(JNIEnv* env, jclass, jlong hTransport) {
  nativeBoundary(env, [&] {
    mapiLog("Java_com_plimo_mail_mapi_MAPINative_closeTransport\n");
    if (hTransport == 0) return;
    liveobjects::Kind kind = handleKind(hTransport);
    // A transport closed before: nothing left to do.
    if (kind == liveobjects::Kind::None) return;
    if (kind != liveobjects::Kind::Transport) {
      throwMessagingException(env, kInvalidHandleText);
      return;
    }
    // The messages it created live on, detached, until they are destroyed.
    liveobjects::Ending ending(kTransportOfMessageClosedText);
    delete fromHandle<CMapiTransport>(hTransport);
  });
}
