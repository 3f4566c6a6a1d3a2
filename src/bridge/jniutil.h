// What every native method shares: Java string conversion, handles, and the
// translation of failures into javax.mail.MessagingException.
#ifndef TOLVANE_BRIDGE_JNIUTIL_H
#define TOLVANE_BRIDGE_JNIUTIL_H

#include <jni.h>

#include <cstdint>
#include <string>

// Raises a javax.mail.MessagingException with this text in the calling Java
// thread. An exception already pending (from the VM or an earlier step) is
// cleared first, so that the caller receives this one. The const char*
// form allocates nothing of its own, so that it can report a failed
// allocation.
void throwMessagingException(JNIEnv* env, const char* message) noexcept;
void throwMessagingException(JNIEnv* env, const std::string& message) noexcept;

// Java String to bytes in the VM's default charset, NUL-terminated, from
// malloc (the caller frees it). Null on failure.
char* jstringToNative(JNIEnv* env, jstring text);

// Bytes in the default charset to a new Java String; null on failure.
jstring nativeToJstring(JNIEnv* env, const char* text);

// A new String[] of `count` texts, an element null where `present` (when
// given) is false; null with a MessagingException pending on failure
// (`elementFailure` when an element cannot be made).
jobjectArray newStringArray(JNIEnv* env, const std::string* texts, const bool* present, size_t count,
                            const char* elementFailure = "Unable to create String result");

// A String argument as a native string: null stays empty; the text is cut at
// its first NUL. On a failed conversion raises failureMessage and returns
// false.
bool loadJavaString(JNIEnv* env, jstring text, std::string& out, const char* failureMessage);

// Handles: the object's address as a Java long (sign-extended from 32 bits
// on a 32-bit build); 0 is no object.
template <class T>
inline jlong toHandle(T* object) {
  return static_cast<jlong>(reinterpret_cast<intptr_t>(object));
}
template <class T>
inline T* fromHandle(jlong handle) {
  return reinterpret_cast<T*>(static_cast<intptr_t>(handle));
}

// The MAPIMessage class with its constructor (Folder, int) and
// setMessagePointer(long).
struct MessageClass {
  jclass cls = nullptr;
  jmethodID ctor = nullptr;
  jmethodID setPointer = nullptr;
};
// Looks them up; false with a MessagingException pending when one is missing.
bool findMessageClass(JNIEnv* env, MessageClass& mc);

// Raises "Invalid class pointer." when handle is 0 and tells whether it did.
bool rejectNullHandle(JNIEnv* env, jlong handle);

// Text for an unexpected C++ exception caught at the JNI boundary, where
// nothing but a Java exception may leave.
const char* unexpectedFailureText();

// Raises the exception being handled (call it inside a catch block): a
// CMapiException's own text, unexpectedFailureText() for anything else.
void raiseCaughtException(JNIEnv* env) noexcept;

// The boundary of a native method: runs its body and lets nothing but a Java
// exception leave (a C++ exception crossing into the VM ends the process).
// An exception that escapes the body is raised by raiseCaughtException and
// the native returns `failure`. Every native's whole body runs inside one:
//
//   TOLVANE_NATIVE(jint, getMultipartCount)(JNIEnv* env, jclass, jlong h) {
//     return nativeBoundary(env, jint{0}, [&]() -> jint { ... });
//   }
template <class Result, class Body>
Result nativeBoundary(JNIEnv* env, Result failure, Body body) noexcept {
  try {
    return body();
  } catch (...) {
    raiseCaughtException(env);
  }
  return failure;
}

template <class Body>
void nativeBoundary(JNIEnv* env, Body body) noexcept {
  try {
    body();
  } catch (...) {
    raiseCaughtException(env);
  }
}

#define TOLVANE_NATIVE(ret, name) \
  extern "C" JNIEXPORT ret JNICALL Java_com_plimo_mail_mapi_MAPINative_##name

// The natives of com.plimo.mail.mapi.MAPINativeAttached: the messages
// attached to received messages (bridge/attached_natives.cpp).
#define TOLVANE_ATTACHED_NATIVE(ret, name) \
  extern "C" JNIEXPORT ret JNICALL Java_com_plimo_mail_mapi_MAPINativeAttached_##name

#endif
