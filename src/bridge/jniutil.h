// What every native method shares: Java string conversion, handles, and the
// translation of failures into javax.mail.MessagingException.
#ifndef TOLVANE_BRIDGE_JNIUTIL_H
#define TOLVANE_BRIDGE_JNIUTIL_H

#include <jni.h>

#include <cstdint>
#include <string>

// Raises a javax.mail.MessagingException with this text in the calling Java
// thread. An exception already pending (from the VM or an earlier step) is
// cleared first, so that the caller receives this one.
void throwMessagingException(JNIEnv* env, std::string message);

// Java String to bytes in the VM's default charset, NUL-terminated, from
// malloc (the caller frees it). Null on failure.
char* jstringToNative(JNIEnv* env, jstring text);

// Bytes in the default charset to a new Java String; null on failure.
jstring nativeToJstring(JNIEnv* env, const char* text);

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

// Raises "Invalid class pointer." when handle is 0 and tells whether it did.
bool rejectNullHandle(JNIEnv* env, jlong handle);

// Text for an unexpected C++ exception caught at the JNI boundary, where
// nothing but a Java exception may leave.
const char* unexpectedFailureText();

#define TOLVANE_NATIVE(ret, name) \
  extern "C" JNIEXPORT ret JNICALL Java_com_plimo_mail_mapi_MAPINative_##name

#endif
