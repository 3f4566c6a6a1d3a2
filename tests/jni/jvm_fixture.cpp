#include "jvm_fixture.h"

#include <tolvane/profiles.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#ifndef TOLVANE_TEST_CLASSPATH
#error "TOLVANE_TEST_CLASSPATH (the Java class path of the tests) must be defined"
#endif
#ifndef TOLVANE_TEST_LIBDIR
#error "TOLVANE_TEST_LIBDIR (the directory of the native library) must be defined"
#endif

namespace {

const char kNativeClass[] = "com/plimo/mail/mapi/MAPINative";
const char kFolderClass[] = "com/plimo/mail/mapi/testing/StandInFolder";

JavaVM* g_vm = nullptr;
JNIEnv* g_env = nullptr;
jclass g_native = nullptr;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "jvm_fixture: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

// mkdir -p; profiles and logs go into these directories.
void makeDirs(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string prefix = path.substr(0, slash);
    if (!prefix.empty() && mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
      die("cannot create " + prefix + ": " + std::strerror(errno));
    }
    if (slash == std::string::npos) break;
  }
}

// The store lives under $TOLVANE_MAPI_HOME. CTest points it at a fresh folder in the
// build tree; a binary started by hand gets a fresh temporary one rather than the
// user's own ~/.tolvane-mapi.
void prepareEnvironment() {
  const char* home = std::getenv("TOLVANE_MAPI_HOME");
  if (home == nullptr || *home == '\0') {
    char templ[] = "/tmp/tolvane-jni-XXXXXX";
    if (mkdtemp(templ) == nullptr) die(std::string("mkdtemp: ") + std::strerror(errno));
    setenv("TOLVANE_MAPI_HOME", templ, 1);
    std::fprintf(stderr, "jvm_fixture: TOLVANE_MAPI_HOME not set, using %s\n", templ);
  } else {
    makeDirs(home);
  }
  const char* temp = std::getenv("TEMP");
  if (temp != nullptr && *temp != '\0') makeDirs(temp);
}

// The class path and library folder: the build's, unless the environment
// names copies (a test that runs as another user copies them where that
// user can read them).
std::string classPath() {
  const char* p = std::getenv("TOLVANE_TEST_CLASSPATH");
  return p && *p ? p : TOLVANE_TEST_CLASSPATH;
}
std::string libraryDir() {
  const char* p = std::getenv("TOLVANE_TEST_LIBDIR");
  return p && *p ? p : TOLVANE_TEST_LIBDIR;
}

void startVm() {
  prepareEnvironment();

  std::vector<std::string> options = {
      "-Djava.class.path=" + classPath(),
      "-Djava.library.path=" + libraryDir(),
      "-Xcheck:jni",
      // No performance data file in /tmp (hsperfdata).
      "-XX:-UsePerfData",
      // Strings cross the bridge in the VM's default charset; the store's text is UTF-8.
      "-Dfile.encoding=UTF-8",
  };
  // The companion classes' part files go to the test's temporary folder: the
  // process ends without shutting the VM down, so the VM's own clean-up at
  // exit (deleteOnExit) never runs, and nothing may stay in /tmp.
  if (const char* temp = std::getenv("TEMP"); temp != nullptr && *temp != '\0')
    options.push_back(std::string("-Djava.io.tmpdir=") + temp);
  // Extra options for a debugging session, e.g. TOLVANE_TEST_JVM_OPTIONS=-verbose:jni
  if (const char* extra = std::getenv("TOLVANE_TEST_JVM_OPTIONS")) {
    std::istringstream words(extra);
    for (std::string word; words >> word;) options.push_back(word);
  }

  std::vector<JavaVMOption> vmOptions(options.size());
  for (size_t i = 0; i < options.size(); ++i) {
    vmOptions[i].optionString = const_cast<char*>(options[i].c_str());
    vmOptions[i].extraInfo = nullptr;
  }
  JavaVMInitArgs args;
  args.version = JNI_VERSION_1_8;
  args.nOptions = static_cast<jint>(vmOptions.size());
  args.options = vmOptions.data();
  args.ignoreUnrecognized = JNI_FALSE;

  void* env = nullptr;
  jint rc = JNI_CreateJavaVM(&g_vm, &env, &args);
  if (rc != JNI_OK) die("JNI_CreateJavaVM failed with " + std::to_string(rc));
  g_env = static_cast<JNIEnv*>(env);
}

}  // namespace

void ensureProfile(const std::string& name, const std::string& address, const std::string& display) {
  std::string error;
  mapiprofile::Profile existing;
  if (SUCCEEDED(mapiprofile::load(name, existing, error))) return;
  mapiprofile::Profile p;
  p.name = name;
  p.address = address;
  p.displayName = display;
  ASSERT_EQ(mapiprofile::create(p, error), S_OK) << error;
}

// ---- VM and frames ---------------------------------------------------------------

JavaVM* JvmTest::vm() {
  if (g_vm == nullptr) startVm();
  return g_vm;
}

JNIEnv* JvmTest::env() {
  vm();
  return g_env;
}

JvmTest::LocalFrame::LocalFrame(jint capacity) {
  if (env()->PushLocalFrame(capacity) != 0) die("PushLocalFrame failed");
}

JvmTest::LocalFrame::~LocalFrame() {
  env()->PopLocalFrame(nullptr);
}

void JvmTest::SetUp() {
  if (env()->PushLocalFrame(kLocalCapacity) != 0) die("PushLocalFrame failed");
}

void JvmTest::TearDown() {
  clearStaleException("the end of the test");
  env()->PopLocalFrame(nullptr);
}

jclass JvmTest::nativeClass() {
  if (g_native == nullptr) {
    JNIEnv* e = env();
    jclass local = e->FindClass(kNativeClass);
    if (local == nullptr) {
      jthrowable t = e->ExceptionOccurred();
      e->ExceptionClear();
      die(std::string("cannot load ") + kNativeClass + ": " + describe(t) +
          "\n  class path: " + classPath() + "\n  library path: " + libraryDir());
    }
    // Resolving a static method initialises the class: this is where the library loads.
    e->GetStaticMethodID(local, "initMapi", "()Z");
    if (e->ExceptionCheck()) {
      jthrowable t = e->ExceptionOccurred();
      e->ExceptionClear();
      die(std::string("cannot initialise ") + kNativeClass + ": " + describe(t) +
          "\n  library path: " + libraryDir());
    }
    g_native = static_cast<jclass>(e->NewGlobalRef(local));
    e->DeleteLocalRef(local);
  }
  return g_native;
}

// ---- Exceptions -------------------------------------------------------------------

bool JvmTest::exceptionPending() {
  return env()->ExceptionCheck() == JNI_TRUE;
}

void JvmTest::clearStaleException(const char* before) {
  JNIEnv* e = env();
  if (!e->ExceptionCheck()) return;
  jthrowable t = e->ExceptionOccurred();
  e->ExceptionClear();
  ADD_FAILURE() << "exception left pending before " << before << ": " << describe(t);
  e->DeleteLocalRef(t);
}

std::string JvmTest::className(jobject obj) {
  if (obj == nullptr) return "(null)";
  JNIEnv* e = env();
  jclass cls = e->GetObjectClass(obj);
  jclass classClass = e->FindClass("java/lang/Class");
  jmethodID getName = e->GetMethodID(classClass, "getName", "()Ljava/lang/String;");
  jstring name = static_cast<jstring>(e->CallObjectMethod(cls, getName));
  std::string result;
  if (e->ExceptionCheck()) {
    e->ExceptionClear();
    result = "(unknown class)";
  } else {
    result = toStd(name);
  }
  e->DeleteLocalRef(name);
  e->DeleteLocalRef(classClass);
  e->DeleteLocalRef(cls);
  return result;
}

std::string JvmTest::describe(jthrowable t) {
  if (t == nullptr) return "(no exception)";
  JNIEnv* e = env();
  jclass throwable = e->FindClass("java/lang/Throwable");
  jmethodID toString = e->GetMethodID(throwable, "toString", "()Ljava/lang/String;");
  jstring text = static_cast<jstring>(e->CallObjectMethod(t, toString));
  std::string result;
  if (e->ExceptionCheck()) {
    e->ExceptionClear();
    result = className(t) + " (toString failed)";
  } else {
    result = toStd(text);
  }
  e->DeleteLocalRef(text);
  e->DeleteLocalRef(throwable);
  return result;
}

std::string JvmTest::takeException(const char* expectedClass) {
  JNIEnv* e = env();
  jthrowable t = e->ExceptionOccurred();
  if (t == nullptr) return "";
  e->ExceptionClear();

  if (expectedClass != nullptr) {
    jclass expected = e->FindClass(expectedClass);
    if (expected == nullptr) {
      e->ExceptionClear();
      ADD_FAILURE() << "no class " << expectedClass << " to compare with " << describe(t);
    } else if (!e->IsInstanceOf(t, expected)) {
      ADD_FAILURE() << "expected a " << expectedClass << ", got " << describe(t);
    }
    e->DeleteLocalRef(expected);
  }

  jclass throwable = e->FindClass("java/lang/Throwable");
  jmethodID getMessage = e->GetMethodID(throwable, "getMessage", "()Ljava/lang/String;");
  jstring message = static_cast<jstring>(e->CallObjectMethod(t, getMessage));
  std::string result;
  if (e->ExceptionCheck()) {
    e->ExceptionClear();
    ADD_FAILURE() << "getMessage() failed on " << className(t);
  } else {
    result = message != nullptr ? toStd(message) : "(null)";
  }
  e->DeleteLocalRef(message);
  e->DeleteLocalRef(throwable);
  e->DeleteLocalRef(t);
  return result;
}

// ---- Strings ----------------------------------------------------------------------

jstring JvmTest::str(const char* utf8) {
  if (utf8 == nullptr) return nullptr;
  JNIEnv* e = env();
  jsize length = static_cast<jsize>(std::strlen(utf8));
  jbyteArray bytes = e->NewByteArray(length);
  e->SetByteArrayRegion(bytes, 0, length, reinterpret_cast<const jbyte*>(utf8));
  jclass stringClass = e->FindClass("java/lang/String");
  jmethodID init = e->GetMethodID(stringClass, "<init>", "([BLjava/lang/String;)V");
  jstring charset = e->NewStringUTF("UTF-8");
  jstring result = static_cast<jstring>(e->NewObject(stringClass, init, bytes, charset));
  if (e->ExceptionCheck()) {
    clearStaleException("the end of str()");
    result = nullptr;
  }
  e->DeleteLocalRef(charset);
  e->DeleteLocalRef(stringClass);
  e->DeleteLocalRef(bytes);
  return result;
}

std::string JvmTest::toStd(jstring s) {
  if (s == nullptr) return "";
  JNIEnv* e = env();
  jclass stringClass = e->FindClass("java/lang/String");
  jmethodID getBytes = e->GetMethodID(stringClass, "getBytes", "(Ljava/lang/String;)[B");
  jstring charset = e->NewStringUTF("UTF-8");
  jbyteArray bytes = static_cast<jbyteArray>(e->CallObjectMethod(s, getBytes, charset));
  std::string result;
  if (e->ExceptionCheck()) {
    clearStaleException("the end of toStd()");
  } else {
    jsize length = e->GetArrayLength(bytes);
    result.resize(static_cast<size_t>(length));
    if (length > 0) e->GetByteArrayRegion(bytes, 0, length, reinterpret_cast<jbyte*>(&result[0]));
  }
  e->DeleteLocalRef(bytes);
  e->DeleteLocalRef(charset);
  e->DeleteLocalRef(stringClass);
  return result;
}

std::string JvmTest::readString(const char* native, jlong handle) {
  std::string out = toStd(static_cast<jstring>(callObject(native, "(J)Ljava/lang/String;", handle)));
  EXPECT_EQ("", takeException()) << native;
  return out;
}

std::vector<std::string> JvmTest::readStrings(const char* native, jlong handle) {
  auto out = toStdVector(static_cast<jobjectArray>(callObject(native, "(J)[Ljava/lang/String;", handle)));
  EXPECT_EQ("", takeException()) << native;
  return out;
}

std::vector<std::string> JvmTest::toStdVector(jobjectArray strings) {
  std::vector<std::string> result;
  if (strings == nullptr) return result;
  JNIEnv* e = env();
  jsize length = e->GetArrayLength(strings);
  for (jsize i = 0; i < length; ++i) {
    jstring item = static_cast<jstring>(e->GetObjectArrayElement(strings, i));
    result.push_back(toStd(item));
    e->DeleteLocalRef(item);
  }
  return result;
}

jobject JvmTest::newFolder(const char* name) {
  JNIEnv* e = env();
  jclass cls = e->FindClass(kFolderClass);
  if (cls == nullptr) {
    jthrowable t = e->ExceptionOccurred();
    e->ExceptionClear();
    ADD_FAILURE() << "cannot load " << kFolderClass << ": " << describe(t);
    return nullptr;
  }
  jmethodID init = e->GetMethodID(cls, "<init>", "(Ljava/lang/String;)V");
  jstring folderName = str(name);
  jobject folder = e->NewObject(cls, init, folderName);
  if (e->ExceptionCheck()) {
    clearStaleException("the end of newFolder()");
    folder = nullptr;
  }
  e->DeleteLocalRef(folderName);
  e->DeleteLocalRef(cls);
  return folder;
}

// ---- Calls ------------------------------------------------------------------------

jmethodID JvmTest::staticMethod(const char* name, const char* sig) {
  clearStaleException(name);
  JNIEnv* e = env();
  jmethodID id = e->GetStaticMethodID(nativeClass(), name, sig);
  if (id == nullptr) {
    e->ExceptionClear();
    ADD_FAILURE() << "MAPINative has no static method " << name << sig;
  }
  return id;
}

jmethodID JvmTest::instanceMethod(jobject obj, const char* name, const char* sig) {
  clearStaleException(name);
  if (obj == nullptr) {
    ADD_FAILURE() << "calling " << name << sig << " on null";
    return nullptr;
  }
  JNIEnv* e = env();
  jclass cls = e->GetObjectClass(obj);
  jmethodID id = e->GetMethodID(cls, name, sig);
  if (id == nullptr) {
    e->ExceptionClear();
    ADD_FAILURE() << className(obj) << " has no method " << name << sig;
  }
  e->DeleteLocalRef(cls);
  return id;
}

// -Xcheck:jni wants an exception check after every call into Java before the next JNI
// call, thrown or not. The helpers make it, so that a test can build its next arguments
// (str(), newFolder()) right away; a pending exception stays pending for takeException().
void JvmTest::checkedCall() {
  env()->ExceptionCheck();
}

// The variadic wrappers differ only in the JNI function and the result type.
#define TOLVANE_STATIC_CALL(Result, Jni, failure)                 \
  jmethodID id = staticMethod(name, sig);                         \
  if (id == nullptr) return failure;                              \
  va_list args;                                                   \
  va_start(args, sig);                                            \
  Result result = env()->Jni(nativeClass(), id, args);            \
  va_end(args);                                                   \
  checkedCall();                                                  \
  return result

#define TOLVANE_INSTANCE_CALL(Result, Jni, failure)               \
  jmethodID id = instanceMethod(obj, name, sig);                  \
  if (id == nullptr) return failure;                              \
  va_list args;                                                   \
  va_start(args, sig);                                            \
  Result result = env()->Jni(obj, id, args);                      \
  va_end(args);                                                   \
  checkedCall();                                                  \
  return result

jlong JvmTest::callLong(const char* name, const char* sig, ...) {
  TOLVANE_STATIC_CALL(jlong, CallStaticLongMethodV, 0);
}

jint JvmTest::callInt(const char* name, const char* sig, ...) {
  TOLVANE_STATIC_CALL(jint, CallStaticIntMethodV, 0);
}

jboolean JvmTest::callBoolean(const char* name, const char* sig, ...) {
  TOLVANE_STATIC_CALL(jboolean, CallStaticBooleanMethodV, JNI_FALSE);
}

jdouble JvmTest::callDouble(const char* name, const char* sig, ...) {
  TOLVANE_STATIC_CALL(jdouble, CallStaticDoubleMethodV, 0.0);
}

jobject JvmTest::callObject(const char* name, const char* sig, ...) {
  TOLVANE_STATIC_CALL(jobject, CallStaticObjectMethodV, nullptr);
}

void JvmTest::callVoid(const char* name, const char* sig, ...) {
  jmethodID id = staticMethod(name, sig);
  if (id == nullptr) return;
  va_list args;
  va_start(args, sig);
  env()->CallStaticVoidMethodV(nativeClass(), id, args);
  va_end(args);
  checkedCall();
}

jlong JvmTest::callLongMethod(jobject obj, const char* name, const char* sig, ...) {
  TOLVANE_INSTANCE_CALL(jlong, CallLongMethodV, 0);
}

jint JvmTest::callIntMethod(jobject obj, const char* name, const char* sig, ...) {
  TOLVANE_INSTANCE_CALL(jint, CallIntMethodV, 0);
}

jboolean JvmTest::callBooleanMethod(jobject obj, const char* name, const char* sig, ...) {
  TOLVANE_INSTANCE_CALL(jboolean, CallBooleanMethodV, JNI_FALSE);
}

jobject JvmTest::callObjectMethod(jobject obj, const char* name, const char* sig, ...) {
  TOLVANE_INSTANCE_CALL(jobject, CallObjectMethodV, nullptr);
}

void JvmTest::callVoidMethod(jobject obj, const char* name, const char* sig, ...) {
  jmethodID id = instanceMethod(obj, name, sig);
  if (id == nullptr) return;
  va_list args;
  va_start(args, sig);
  env()->CallVoidMethodV(obj, id, args);
  va_end(args);
  checkedCall();
}

#undef TOLVANE_STATIC_CALL
#undef TOLVANE_INSTANCE_CALL
