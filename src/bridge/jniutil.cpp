#include "bridge/jniutil.h"

#include "support/mapiexception.h"

#include <cstdlib>
#include <cstring>

void throwMessagingException(JNIEnv* env, const char* message) noexcept {
  // JNI calls other than the exception functions are not allowed while an
  // exception is pending.
  if (env->ExceptionCheck()) env->ExceptionClear();
  jclass cls = env->FindClass("javax/mail/MessagingException");
  if (cls) {
    env->ThrowNew(cls, message);
  }
  env->DeleteLocalRef(cls);
}

void throwMessagingException(JNIEnv* env, const std::string& message) noexcept {
  throwMessagingException(env, message.c_str());
}

void raiseCaughtException(JNIEnv* env) noexcept {
  try {
    throw;
  } catch (CMapiException& e) {
    throwMessagingException(env, e.m_strMessage.c_str());
  } catch (...) {
    throwMessagingException(env, unexpectedFailureText());
  }
}

char* jstringToNative(JNIEnv* env, jstring text) {
  if (env->EnsureLocalCapacity(2) < 0) return nullptr;
  jclass stringClass = env->FindClass("java/lang/String");
  if (!stringClass) {
    throwMessagingException(env, "String class");
    return nullptr;
  }
  jmethodID getBytes = env->GetMethodID(stringClass, "getBytes", "()[B");
  if (!getBytes) {
    env->DeleteLocalRef(stringClass);
    throwMessagingException(env, "Unable to find getByte Method");
    return nullptr;
  }
  jbyteArray bytes = static_cast<jbyteArray>(env->CallObjectMethod(text, getBytes));
  jthrowable pending = env->ExceptionOccurred();
  if (pending) {
    env->DeleteLocalRef(pending);
    env->DeleteLocalRef(bytes);
    env->DeleteLocalRef(stringClass);
    return nullptr;
  }
  jsize len = bytes ? env->GetArrayLength(bytes) : 0;
  char* buffer = static_cast<char*>(malloc(static_cast<size_t>(len) + 1));
  if (!buffer) {
    env->DeleteLocalRef(bytes);
    env->DeleteLocalRef(stringClass);
    throwMessagingException(env, "java/lang/OutOfMemoryError");
    return nullptr;
  }
  if (len > 0) env->GetByteArrayRegion(bytes, 0, len, reinterpret_cast<jbyte*>(buffer));
  buffer[len] = '\0';
  env->DeleteLocalRef(bytes);
  env->DeleteLocalRef(stringClass);
  return buffer;
}

jobjectArray newStringArray(JNIEnv* env, const std::string* texts, const bool* present, size_t count,
                            const char* elementFailure) {
  jclass stringClass = env->FindClass("java/lang/String");
  if (!stringClass) {
    throwMessagingException(env, "Unable to find String class");
    return nullptr;
  }
  jobjectArray array = env->NewObjectArray(static_cast<jsize>(count), stringClass, nullptr);
  env->DeleteLocalRef(stringClass);
  if (!array) {
    throwMessagingException(env, "Unable to create String result array");
    return nullptr;
  }
  for (size_t i = 0; i < count; ++i) {
    if (present && !present[i]) continue;
    jstring s = nativeToJstring(env, texts[i].c_str());
    if (!s) {
      throwMessagingException(env, elementFailure);
      return nullptr;
    }
    env->SetObjectArrayElement(array, static_cast<jsize>(i), s);
    env->DeleteLocalRef(s);
  }
  return array;
}

jstring nativeToJstring(JNIEnv* env, const char* text) {
  if (env->EnsureLocalCapacity(2) < 0) return nullptr;
  size_t size = strlen(text);
  if (size > 0x7FFFFFFF) return nullptr;
  jsize len = static_cast<jsize>(size);
  jbyteArray bytes = env->NewByteArray(len);
  if (!bytes) return nullptr;
  jclass stringClass = env->FindClass("java/lang/String");
  if (!stringClass) {
    env->DeleteLocalRef(bytes);
    throwMessagingException(env, "String class");
    return nullptr;
  }
  jmethodID ctor = env->GetMethodID(stringClass, "<init>", "([B)V");
  if (!ctor) {
    env->DeleteLocalRef(bytes);
    env->DeleteLocalRef(stringClass);
    throwMessagingException(env, "Unable to find constructor Method");
    return nullptr;
  }
  env->SetByteArrayRegion(bytes, 0, len, reinterpret_cast<const jbyte*>(text));
  jstring result = static_cast<jstring>(env->NewObject(stringClass, ctor, bytes));
  env->DeleteLocalRef(bytes);
  env->DeleteLocalRef(stringClass);
  return result;
}

bool loadJavaString(JNIEnv* env, jstring text, std::string& out, const char* failureMessage) {
  out.clear();
  if (!text) return true;
  char* bytes = jstringToNative(env, text);
  if (!bytes) {
    throwMessagingException(env, failureMessage);
    return false;
  }
  out = bytes;  // up to the first NUL: a U+0000 cuts the text there
  free(bytes);
  return true;
}

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

bool rejectNullHandle(JNIEnv* env, jlong handle) {
  if (handle != 0) return false;
  throwMessagingException(env, "Invalid class pointer.");
  return true;
}

const char* unexpectedFailureText() { return "Unexpected failure in the native MAPI library"; }
