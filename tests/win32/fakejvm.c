/* The JVM of the Wine test program: see fakejvm.h. */
#include "fakejvm.h"

#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* ---- classes ------------------------------------------------------------------ */

static JClass g_classes[] = {
    {"java/lang/Object", NULL, NULL},
    {"java/lang/String", "java/lang/Object", NULL},
    {"java/lang/Class", "java/lang/Object", NULL},
    {"java/lang/Throwable", "java/lang/Object", NULL},
    {"java/lang/Exception", "java/lang/Throwable", NULL},
    {"java/lang/RuntimeException", "java/lang/Exception", NULL},
    {"java/lang/Error", "java/lang/Throwable", NULL},
    {"java/lang/NoClassDefFoundError", "java/lang/Error", NULL},
    {"java/lang/NoSuchMethodError", "java/lang/Error", NULL},
    {"java/lang/OutOfMemoryError", "java/lang/Error", NULL},
    {"java/lang/ArrayIndexOutOfBoundsException", "java/lang/RuntimeException", NULL},
    {"java/lang/NegativeArraySizeException", "java/lang/RuntimeException", NULL},
    {"java/lang/IllegalStateException", "java/lang/RuntimeException", NULL},
    {"java/io/UnsupportedEncodingException", "java/lang/Exception", NULL},
    {"javax/mail/MessagingException", "java/lang/Exception", NULL},
    {"javax/mail/Folder", "java/lang/Object", NULL},
    {"javax/mail/Message", "java/lang/Object", NULL},
    {"javax/mail/Multipart", "java/lang/Object", NULL},
    {"javax/mail/BodyPart", "java/lang/Object", NULL},
    {"com/plimo/mail/mapi/MAPINative", "java/lang/Object", NULL},
    {"com/plimo/mail/mapi/MAPIMessage", "javax/mail/Message", NULL},
    {"com/plimo/mail/mapi/MAPIMultipart", "javax/mail/Multipart", NULL},
    {"com/plimo/mail/mapi/MAPIBodyPart", "javax/mail/BodyPart", NULL},
};
#define CLASS_COUNT ((int)(sizeof g_classes / sizeof g_classes[0]))

static const JClass* findClassNamed(const char* name) {
  int i;
  for (i = 0; i < CLASS_COUNT; ++i)
    if (strcmp(g_classes[i].name, name) == 0) return &g_classes[i];
  return NULL;
}

static int isSubclass(const JClass* cls, const JClass* of) {
  while (cls) {
    if (cls == of) return 1;
    cls = cls->super ? findClassNamed(cls->super) : NULL;
  }
  return 0;
}

/* ---- the journal, violations and the frame ---------------------------------------- */

#define JOURNAL_MAX 4096
static char g_native[96] = "(outside any native)";
static char* g_journal[JOURNAL_MAX];
static int g_journalCount;
static int g_violations;
static int g_quietViolations;
static Obj* g_pending;

typedef struct Ref {
  unsigned magic;
  Obj* obj;
  int global;
  int deleted; /* 1 by DeleteLocalRef/DeleteGlobalRef, 2 when its frame ended */
  int counted; /* a local reference made by the native being called */
} Ref;
#define REF_MAGIC 0x4A524546u

#define FRAME_MAX 200000
static Ref** g_frame; /* local references made in the current native call */
static int g_frameCount;
static int g_localLive, g_localPeak, g_globalLive;
static int g_frameMarks[64];
static int g_frameDepth;
static int g_inNative;

static void note(const char* fmt, ...) {
  char line[512];
  va_list args;
  va_start(args, fmt);
  vsnprintf(line, sizeof line, fmt, args);
  va_end(args);
  if (g_journalCount < JOURNAL_MAX) g_journal[g_journalCount++] = _strdup(line);
}

static void violation(const char* fmt, ...) {
  char line[512];
  va_list args;
  va_start(args, fmt);
  vsnprintf(line, sizeof line, fmt, args);
  va_end(args);
  ++g_violations;
  printf("%s: JNI misuse in %s: %s\n", g_quietViolations ? "provoked" : "FAIL", g_native, line);
  note("!! %s", line);
}

/* Functions that JNI allows to be called while an exception is pending. */
static void enter(const char* function, int allowedWhilePending) {
  note("%s", function);
  if (g_pending && !allowedWhilePending)
    violation("%s called while an exception is pending (%s: %s)", function, g_pending->cls->name,
              g_pending->bytes ? g_pending->bytes : "");
}

static Ref* newRef(Obj* obj, int global) {
  Ref* r;
  if (!obj) return NULL;
  r = (Ref*)calloc(1, sizeof(Ref));
  r->magic = REF_MAGIC;
  r->obj = obj;
  r->global = global;
  if (global) {
    ++g_globalLive;
  } else if (g_inNative) {
    r->counted = 1;
    if (g_frameCount >= FRAME_MAX) {
      printf("FAIL: more than %d local references in one native call (%s)\n", FRAME_MAX, g_native);
      ExitProcess(2);
    }
    g_frame[g_frameCount++] = r;
    if (++g_localLive > g_localPeak) g_localPeak = g_localLive;
  }
  return r;
}

jobject jvm_local(Obj* obj) { return (jobject)newRef(obj, 0); }

/* The object of a reference; NULL for null. A reference that was deleted or
   is not one of ours is a violation. */
static Obj* deref(jobject ref, const char* function) {
  Ref* r = (Ref*)ref;
  if (!r) return NULL;
  if (r->magic != REF_MAGIC) {
    violation("%s given something that is not a reference (%p)", function, (void*)ref);
    return NULL;
  }
  if (r->deleted) {
    violation("%s given a %s reference that was %s", function, r->global ? "global" : "local",
              r->deleted == 1 ? "deleted" : "released when its native call returned");
    return r->obj;
  }
  return r->obj;
}

Obj* jvm_deref(jobject ref) { return deref(ref, "the test"); }

static Obj* newObj(const JClass* cls, enum ObjKind kind) {
  Obj* o = (Obj*)calloc(1, sizeof(Obj));
  o->cls = cls;
  o->kind = kind;
  return o;
}

static Obj* classObject(const JClass* cls) {
  if (!cls->object) {
    Obj* o = newObj(findClassNamed("java/lang/Class"), O_CLASS);
    o->klass = cls;
    ((JClass*)cls)->object = o;
  }
  return cls->object;
}

static Obj* newString(const char* bytes, int length) {
  Obj* o = newObj(findClassNamed("java/lang/String"), O_STRING);
  o->bytes = (char*)malloc((size_t)length + 1);
  memcpy(o->bytes, bytes, (size_t)length);
  o->bytes[length] = '\0';
  o->length = length;
  return o;
}

static Obj* newThrowable(const char* className, const char* message) {
  Obj* o = newObj(findClassNamed(className), O_THROWABLE);
  o->bytes = _strdup(message ? message : "");
  return o;
}

static void raise(const char* className, const char* message) {
  if (g_pending) violation("the VM raised %s while %s was pending", className, g_pending->cls->name);
  g_pending = newThrowable(className, message);
  note("  -> %s: %s", className, message);
}

/* ---- faults ------------------------------------------------------------------------ */

static char g_failFindClass[128];
static int g_failGetBytes;
static char g_failNewObjectClass[128];
static int g_failNewObjectNth, g_newObjectSeen;

void jvm_fail_find_class(const char* className) { lstrcpynA(g_failFindClass, className, sizeof g_failFindClass); }
void jvm_fail_get_bytes(int fail) { g_failGetBytes = fail; }
void jvm_fail_new_object(const char* className, int nth) {
  lstrcpynA(g_failNewObjectClass, className, sizeof g_failNewObjectClass);
  g_failNewObjectNth = nth;
  g_newObjectSeen = 0;
}
void jvm_clear_faults(void) {
  g_failFindClass[0] = '\0';
  g_failGetBytes = 0;
  g_failNewObjectClass[0] = '\0';
  g_failNewObjectNth = g_newObjectSeen = 0;
}

/* ---- methods ------------------------------------------------------------------------- */

typedef struct Method Method;
typedef void (*MethodImpl)(const Method* m, Obj* self, const jvalue* args, jvalue* result);
struct Method {
  const char* cls;
  const char* name;
  const char* sig;
  MethodImpl impl;
};

static Obj* argObj(const jvalue* args, int i, const char* function) { return deref(args[i].l, function); }

static void String_getBytes(const Method* m, Obj* self, const jvalue* args, jvalue* result) {
  Obj* bytes;
  (void)m;
  (void)args;
  if (g_failGetBytes) {
    raise("java/io/UnsupportedEncodingException", "the default charset is not supported");
    result->l = NULL;
    return;
  }
  bytes = newObj(findClassNamed("java/lang/Object"), O_BYTES);
  bytes->bytes = (char*)malloc((size_t)self->length + 1);
  memcpy(bytes->bytes, self->bytes, (size_t)self->length);
  bytes->length = self->length;
  result->l = jvm_local(bytes);
}

static void String_init(const Method* m, Obj* self, const jvalue* args, jvalue* result) {
  Obj* bytes = argObj(args, 0, "String(byte[])");
  (void)m;
  (void)result;
  if (!bytes) {
    raise("java/lang/NullPointerException", "bytes");
    return;
  }
  self->bytes = (char*)malloc((size_t)bytes->length + 1);
  memcpy(self->bytes, bytes->bytes, (size_t)bytes->length);
  self->bytes[bytes->length] = '\0';
  self->length = bytes->length;
  self->kind = O_STRING;
}

static void Throwable_init(const Method* m, Obj* self, const jvalue* args, jvalue* result) {
  Obj* text = argObj(args, 0, "Throwable(String)");
  (void)m;
  (void)result;
  self->kind = O_THROWABLE;
  self->bytes = _strdup(text ? text->bytes : "");
}

/* Constructors and setters of the com.plimo.mail.mapi classes keep their
   arguments: references in ref[] (a constructor's from ref[0], a setter's
   from ref[4]), the long in handle, the int in number. */
static void keepArgs(const Method* m, Obj* self, const jvalue* args, jvalue* result) {
  const char* p = m->sig + 1;
  int i = 0, refs = strcmp(m->name, "<init>") == 0 ? 0 : 4;
  (void)result;
  while (*p && *p != ')') {
    if (*p == 'J') {
      self->handle = args[i].j;
      if (strcmp(m->name, "setMessagePointer") == 0) self->pointerSet = 1;
    } else if (*p == 'I') {
      self->number = args[i].i;
    } else if (*p == 'L' || *p == '[') {
      if (refs < 6) self->ref[refs] = argObj(args, i, m->name);
      ++refs;
      while (*p == '[') ++p;
      if (*p == 'L') p = strchr(p, ';');
    }
    ++p;
    ++i;
  }
}

static const Method g_methods[] = {
    {"java/lang/String", "getBytes", "()[B", String_getBytes},
    {"java/lang/String", "<init>", "([B)V", String_init},
    {"java/lang/Throwable", "<init>", "(Ljava/lang/String;)V", Throwable_init},
    {"javax/mail/MessagingException", "<init>", "(Ljava/lang/String;)V", Throwable_init},
    {"com/plimo/mail/mapi/MAPIMessage", "<init>", "(Ljavax/mail/Folder;I)V", keepArgs},
    {"com/plimo/mail/mapi/MAPIMessage", "setMessagePointer", "(J)V", keepArgs},
    {"com/plimo/mail/mapi/MAPIMultipart", "<init>", "(JLcom/plimo/mail/mapi/MAPIMessage;)V", keepArgs},
    {"com/plimo/mail/mapi/MAPIBodyPart", "<init>",
     "(JLcom/plimo/mail/mapi/MAPIMultipart;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/"
     "String;I)V",
     keepArgs},
};

/* What the natives may ask the JVM for: the classes and methods of the
   Java interface the natives use, and nothing else. An application brings its own
   com.plimo.mail.mapi classes with exactly these members; any other request
   would fail in its JVM, so here it fails the run. */
static const char* const g_allowedClasses[] = {
    "java/lang/String",
    "javax/mail/MessagingException",
    "java/lang/OutOfMemoryError",
    "com/plimo/mail/mapi/MAPIMessage",
    "com/plimo/mail/mapi/MAPIMultipart",
    "com/plimo/mail/mapi/MAPIBodyPart",
};
static const char* const g_allowedMethods[][3] = {
    {"java/lang/String", "getBytes", "()[B"},
    {"java/lang/String", "<init>", "([B)V"},
    {"com/plimo/mail/mapi/MAPIMessage", "<init>", "(Ljavax/mail/Folder;I)V"},
    {"com/plimo/mail/mapi/MAPIMessage", "setMessagePointer", "(J)V"},
    {"com/plimo/mail/mapi/MAPIMultipart", "<init>", "(JLcom/plimo/mail/mapi/MAPIMessage;)V"},
    {"com/plimo/mail/mapi/MAPIBodyPart", "<init>",
     "(JLcom/plimo/mail/mapi/MAPIMultipart;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/"
     "String;I)V"},
};

static int isAllowedClass(const char* name) {
  size_t i;
  for (i = 0; i < sizeof g_allowedClasses / sizeof g_allowedClasses[0]; ++i)
    if (strcmp(g_allowedClasses[i], name) == 0) return 1;
  return 0;
}

static int isAllowedMethod(const char* cls, const char* name, const char* sig) {
  size_t i;
  for (i = 0; i < sizeof g_allowedMethods / sizeof g_allowedMethods[0]; ++i)
    if (strcmp(g_allowedMethods[i][0], cls) == 0 && strcmp(g_allowedMethods[i][1], name) == 0 &&
        strcmp(g_allowedMethods[i][2], sig) == 0)
      return 1;
  return 0;
}

static const Method* findMethod(const JClass* cls, const char* name, const char* sig) {
  size_t i;
  int ctor = strcmp(name, "<init>") == 0;
  while (cls) {
    for (i = 0; i < sizeof g_methods / sizeof g_methods[0]; ++i) {
      const Method* m = &g_methods[i];
      if (strcmp(m->cls, cls->name) == 0 && strcmp(m->name, name) == 0 && strcmp(m->sig, sig) == 0) return m;
    }
    if (ctor) return NULL; /* constructors are not inherited */
    cls = cls->super ? findClassNamed(cls->super) : NULL;
  }
  return NULL;
}

/* Arguments of a va_list, typed by the method's signature. */
static void argsFromVa(const char* sig, va_list va, jvalue* out, int max) {
  const char* p = sig + 1;
  int i = 0;
  while (*p && *p != ')' && i < max) {
    switch (*p) {
      case 'Z': case 'B': case 'C': case 'S': case 'I':
        out[i].i = va_arg(va, jint);
        break;
      case 'J':
        out[i].j = va_arg(va, jlong);
        break;
      case 'F': case 'D':
        out[i].d = va_arg(va, jdouble);
        break;
      default:
        out[i].l = va_arg(va, jobject);
        while (*p == '[') ++p;
        if (*p == 'L') p = strchr(p, ';');
        break;
    }
    ++p;
    ++i;
  }
}

static const Method* methodOf(jmethodID id, const char* function) {
  size_t i;
  for (i = 0; i < sizeof g_methods / sizeof g_methods[0]; ++i)
    if ((const void*)&g_methods[i] == (const void*)id) return &g_methods[i];
  violation("%s given a method ID the VM never handed out (%p)", function, (void*)id);
  return NULL;
}

static jvalue invoke(const char* function, jobject self, jmethodID id, const jvalue* args) {
  jvalue result;
  Obj* o = deref(self, function);
  const Method* m = methodOf(id, function);
  result.j = 0;
  if (!m) return result;
  if (!o) {
    violation("%s: %s called on null", function, m->name);
    raise("java/lang/NullPointerException", m->name);
    return result;
  }
  if (!isSubclass(o->cls, findClassNamed(m->cls))) {
    violation("%s: %s.%s called on an object of %s", function, m->cls, m->name, o->cls->name);
    return result;
  }
  note("  %s.%s%s", m->cls, m->name, m->sig);
  m->impl(m, o, args, &result);
  return result;
}

static jobject construct(const char* function, jclass clazz, jmethodID id, const jvalue* args) {
  Obj* c = deref(clazz, function);
  const Method* m = methodOf(id, function);
  Obj* o;
  jvalue ignored;
  if (!c || c->kind != O_CLASS || !m) {
    violation("%s without a class or constructor", function);
    return NULL;
  }
  if (strcmp(m->name, "<init>") != 0 || strcmp(m->cls, c->klass->name) != 0) {
    violation("%s: %s.%s is not a constructor of %s", function, m->cls, m->name, c->klass->name);
    return NULL;
  }
  if (g_failNewObjectClass[0] && strcmp(g_failNewObjectClass, c->klass->name) == 0 &&
      ++g_newObjectSeen == g_failNewObjectNth) {
    raise("java/lang/OutOfMemoryError", "the test fails this construction");
    return NULL;
  }
  note("  new %s%s", c->klass->name, m->sig);
  o = newObj(c->klass, O_PLAIN);
  m->impl(m, o, args, &ignored);
  if (g_pending) return NULL;
  return jvm_local(o);
}

/* ---- the JNI functions ------------------------------------------------------------------- */

#define ENTER(name) enter(name, 0)
#define ENTER_ALLOWED(name) enter(name, 1)

static jint JNICALL jGetVersion(JNIEnv* env) {
  (void)env;
  ENTER("GetVersion");
  return JNI_VERSION_1_8;
}

static jclass JNICALL jFindClass(JNIEnv* env, const char* name) {
  const JClass* cls;
  (void)env;
  enter("FindClass", 0);
  note("  FindClass(\"%s\")", name ? name : "(null)");
  if (!name) {
    violation("FindClass with a null name");
    return NULL;
  }
  if (g_inNative && !isAllowedClass(name)) {
    violation("FindClass of \"%s\", a class outside the natives' interface", name);
    raise("java/lang/NoClassDefFoundError", name);
    return NULL;
  }
  if (g_failFindClass[0] && strcmp(g_failFindClass, name) == 0) {
    raise("java/lang/NoClassDefFoundError", name);
    return NULL;
  }
  cls = findClassNamed(name);
  if (!cls) {
    raise("java/lang/NoClassDefFoundError", name);
    return NULL;
  }
  return (jclass)jvm_local(classObject(cls));
}

static jint JNICALL jThrow(JNIEnv* env, jthrowable obj) {
  Obj* o;
  (void)env;
  ENTER("Throw");
  o = deref(obj, "Throw");
  if (!o || !isSubclass(o->cls, findClassNamed("java/lang/Throwable"))) {
    violation("Throw given something that is not a Throwable");
    return -1;
  }
  g_pending = o;
  return 0;
}

static jint JNICALL jThrowNew(JNIEnv* env, jclass clazz, const char* msg) {
  Obj* c;
  (void)env;
  ENTER("ThrowNew");
  c = deref(clazz, "ThrowNew");
  if (!c || c->kind != O_CLASS || !isSubclass(c->klass, findClassNamed("java/lang/Throwable"))) {
    violation("ThrowNew given something that is not a Throwable class");
    return -1;
  }
  note("  ThrowNew(%s, \"%s\")", c->klass->name, msg ? msg : "(null)");
  g_pending = newThrowable(c->klass->name, msg);
  return 0;
}

static jthrowable JNICALL jExceptionOccurred(JNIEnv* env) {
  (void)env;
  ENTER_ALLOWED("ExceptionOccurred");
  return g_pending ? (jthrowable)jvm_local(g_pending) : NULL;
}

static void JNICALL jExceptionDescribe(JNIEnv* env) {
  (void)env;
  ENTER_ALLOWED("ExceptionDescribe");
  if (g_pending) printf("  (pending %s: %s)\n", g_pending->cls->name, g_pending->bytes);
}

static void JNICALL jExceptionClear(JNIEnv* env) {
  (void)env;
  ENTER_ALLOWED("ExceptionClear");
  g_pending = NULL;
}

static jboolean JNICALL jExceptionCheck(JNIEnv* env) {
  (void)env;
  ENTER_ALLOWED("ExceptionCheck");
  return g_pending ? JNI_TRUE : JNI_FALSE;
}

static void JNICALL jFatalError(JNIEnv* env, const char* msg) {
  (void)env;
  printf("FAIL: the library called FatalError in %s: %s\n", g_native, msg ? msg : "");
  fflush(stdout);
  ExitProcess(3);
}

static jint JNICALL jPushLocalFrame(JNIEnv* env, jint capacity) {
  (void)env;
  (void)capacity;
  ENTER_ALLOWED("PushLocalFrame");
  if (g_frameDepth >= 64) return -1;
  g_frameMarks[g_frameDepth++] = g_frameCount;
  return 0;
}

static jobject JNICALL jPopLocalFrame(JNIEnv* env, jobject result) {
  Obj* keep;
  int mark, i;
  (void)env;
  ENTER_ALLOWED("PopLocalFrame");
  keep = deref(result, "PopLocalFrame");
  if (g_frameDepth == 0) {
    violation("PopLocalFrame without PushLocalFrame");
    return NULL;
  }
  mark = g_frameMarks[--g_frameDepth];
  for (i = mark; i < g_frameCount; ++i) {
    if (!g_frame[i]->deleted) {
      g_frame[i]->deleted = 1;
      --g_localLive;
    }
  }
  g_frameCount = mark;
  return keep ? jvm_local(keep) : NULL;
}

static jobject JNICALL jNewGlobalRef(JNIEnv* env, jobject obj) {
  (void)env;
  ENTER("NewGlobalRef");
  return (jobject)newRef(deref(obj, "NewGlobalRef"), 1);
}

static void JNICALL jDeleteGlobalRef(JNIEnv* env, jobject ref) {
  Ref* r = (Ref*)ref;
  (void)env;
  ENTER_ALLOWED("DeleteGlobalRef");
  if (!r) return;
  deref(ref, "DeleteGlobalRef");
  if (!r->global) {
    violation("DeleteGlobalRef given a local reference");
    return;
  }
  if (!r->deleted) {
    r->deleted = 1;
    --g_globalLive;
  }
}

static void JNICALL jDeleteLocalRef(JNIEnv* env, jobject ref) {
  Ref* r = (Ref*)ref;
  (void)env;
  ENTER_ALLOWED("DeleteLocalRef");
  if (!r) return;
  deref(ref, "DeleteLocalRef");
  if (r->global) {
    violation("DeleteLocalRef given a global reference");
    return;
  }
  if (!r->deleted) {
    r->deleted = 1;
    if (r->counted) --g_localLive;
  }
}

static jboolean JNICALL jIsSameObject(JNIEnv* env, jobject a, jobject b) {
  (void)env;
  ENTER("IsSameObject");
  return deref(a, "IsSameObject") == deref(b, "IsSameObject") ? JNI_TRUE : JNI_FALSE;
}

static jobject JNICALL jNewLocalRef(JNIEnv* env, jobject ref) {
  (void)env;
  ENTER("NewLocalRef");
  return jvm_local(deref(ref, "NewLocalRef"));
}

static jint JNICALL jEnsureLocalCapacity(JNIEnv* env, jint capacity) {
  (void)env;
  ENTER("EnsureLocalCapacity");
  return capacity < 0 ? -1 : 0;
}

static jobject JNICALL jNewObjectV(JNIEnv* env, jclass clazz, jmethodID id, va_list va) {
  jvalue args[16];
  const Method* m;
  (void)env;
  ENTER("NewObjectV");
  m = methodOf(id, "NewObjectV");
  if (!m) return NULL;
  argsFromVa(m->sig, va, args, 16);
  return construct("NewObjectV", clazz, id, args);
}

static jobject JNICALL jNewObject(JNIEnv* env, jclass clazz, jmethodID id, ...) {
  jobject o;
  va_list va;
  va_start(va, id);
  o = jNewObjectV(env, clazz, id, va);
  va_end(va);
  return o;
}

static jobject JNICALL jNewObjectA(JNIEnv* env, jclass clazz, jmethodID id, const jvalue* args) {
  (void)env;
  ENTER("NewObjectA");
  return construct("NewObjectA", clazz, id, args);
}

static jclass JNICALL jGetObjectClass(JNIEnv* env, jobject obj) {
  Obj* o;
  (void)env;
  ENTER("GetObjectClass");
  o = deref(obj, "GetObjectClass");
  return o ? (jclass)jvm_local(classObject(o->cls)) : NULL;
}

static jboolean JNICALL jIsInstanceOf(JNIEnv* env, jobject obj, jclass clazz) {
  Obj* o;
  Obj* c;
  (void)env;
  ENTER("IsInstanceOf");
  o = deref(obj, "IsInstanceOf");
  c = deref(clazz, "IsInstanceOf");
  if (!o) return JNI_TRUE;
  return c && c->kind == O_CLASS && isSubclass(o->cls, c->klass) ? JNI_TRUE : JNI_FALSE;
}

static jmethodID JNICALL jGetMethodID(JNIEnv* env, jclass clazz, const char* name, const char* sig) {
  Obj* c;
  const Method* m;
  (void)env;
  ENTER("GetMethodID");
  c = deref(clazz, "GetMethodID");
  note("  GetMethodID(%s, \"%s\", \"%s\")", c && c->kind == O_CLASS ? c->klass->name : "?", name, sig);
  if (!c || c->kind != O_CLASS) {
    violation("GetMethodID without a class");
    return NULL;
  }
  if (g_inNative && !isAllowedMethod(c->klass->name, name, sig)) {
    char text[300];
    snprintf(text, sizeof text, "%s.%s%s", c->klass->name, name, sig);
    violation("GetMethodID of %s, a method outside the natives' interface", text);
    raise("java/lang/NoSuchMethodError", text);
    return NULL;
  }
  m = findMethod(c->klass, name, sig);
  if (!m) {
    char text[300];
    snprintf(text, sizeof text, "%s.%s%s", c->klass->name, name, sig);
    raise("java/lang/NoSuchMethodError", text);
    return NULL;
  }
  return (jmethodID)m;
}

#define CALL_VARIANTS(Type, jtype, field, fallback)                                                    \
  static jtype JNICALL jCall##Type##MethodV(JNIEnv* env, jobject obj, jmethodID id, va_list va) {        \
    jvalue args[16];                                                                                  \
    const Method* m;                                                                                  \
    (void)env;                                                                                        \
    ENTER("Call" #Type "MethodV");                                                                    \
    m = methodOf(id, "Call" #Type "MethodV");                                                         \
    if (!m) return fallback;                                                                          \
    argsFromVa(m->sig, va, args, 16);                                                                 \
    return (jtype)invoke("Call" #Type "MethodV", obj, id, args).field;                                \
  }                                                                                                   \
  static jtype JNICALL jCall##Type##Method(JNIEnv* env, jobject obj, jmethodID id, ...) {               \
    jtype r;                                                                                          \
    va_list va;                                                                                       \
    va_start(va, id);                                                                                 \
    r = jCall##Type##MethodV(env, obj, id, va);                                                       \
    va_end(va);                                                                                       \
    return r;                                                                                         \
  }                                                                                                   \
  static jtype JNICALL jCall##Type##MethodA(JNIEnv* env, jobject obj, jmethodID id, const jvalue* args) { \
    (void)env;                                                                                        \
    ENTER("Call" #Type "MethodA");                                                                    \
    return (jtype)invoke("Call" #Type "MethodA", obj, id, args).field;                                \
  }

CALL_VARIANTS(Object, jobject, l, NULL)
CALL_VARIANTS(Boolean, jboolean, z, JNI_FALSE)
CALL_VARIANTS(Int, jint, i, 0)
CALL_VARIANTS(Long, jlong, j, 0)

static void JNICALL jCallVoidMethodV(JNIEnv* env, jobject obj, jmethodID id, va_list va) {
  jvalue args[16];
  const Method* m;
  (void)env;
  ENTER("CallVoidMethodV");
  m = methodOf(id, "CallVoidMethodV");
  if (!m) return;
  argsFromVa(m->sig, va, args, 16);
  invoke("CallVoidMethodV", obj, id, args);
}

static void JNICALL jCallVoidMethod(JNIEnv* env, jobject obj, jmethodID id, ...) {
  va_list va;
  va_start(va, id);
  jCallVoidMethodV(env, obj, id, va);
  va_end(va);
}

static void JNICALL jCallVoidMethodA(JNIEnv* env, jobject obj, jmethodID id, const jvalue* args) {
  (void)env;
  ENTER("CallVoidMethodA");
  invoke("CallVoidMethodA", obj, id, args);
}

static jstring JNICALL jNewStringUTF(JNIEnv* env, const char* utf) {
  (void)env;
  ENTER("NewStringUTF");
  if (!utf) return NULL;
  return (jstring)jvm_local(newString(utf, (int)strlen(utf)));
}

static jsize JNICALL jGetStringUTFLength(JNIEnv* env, jstring str) {
  Obj* o;
  (void)env;
  ENTER("GetStringUTFLength");
  o = deref(str, "GetStringUTFLength");
  return o ? o->length : 0;
}

static const char* JNICALL jGetStringUTFChars(JNIEnv* env, jstring str, jboolean* isCopy) {
  Obj* o;
  char* copy;
  (void)env;
  ENTER("GetStringUTFChars");
  o = deref(str, "GetStringUTFChars");
  if (!o || o->kind != O_STRING) return NULL;
  copy = _strdup(o->bytes);
  if (isCopy) *isCopy = JNI_TRUE;
  return copy;
}

static void JNICALL jReleaseStringUTFChars(JNIEnv* env, jstring str, const char* chars) {
  (void)env;
  (void)str;
  ENTER_ALLOWED("ReleaseStringUTFChars");
  free((void*)chars);
}

static jsize JNICALL jGetArrayLength(JNIEnv* env, jarray array) {
  Obj* o;
  (void)env;
  ENTER("GetArrayLength");
  o = deref(array, "GetArrayLength");
  if (!o || (o->kind != O_BYTES && o->kind != O_ARRAY)) {
    violation("GetArrayLength given something that is not an array");
    return 0;
  }
  return o->length;
}

static jobjectArray JNICALL jNewObjectArray(JNIEnv* env, jsize length, jclass elementClass, jobject initial) {
  Obj* c;
  Obj* a;
  Obj* init;
  int i;
  (void)env;
  ENTER("NewObjectArray");
  c = deref(elementClass, "NewObjectArray");
  init = deref(initial, "NewObjectArray");
  if (!c || c->kind != O_CLASS) {
    violation("NewObjectArray without an element class");
    return NULL;
  }
  if (length < 0) {
    raise("java/lang/NegativeArraySizeException", "length");
    return NULL;
  }
  a = newObj(findClassNamed("java/lang/Object"), O_ARRAY);
  a->klass = c->klass;
  a->length = length;
  a->elems = (Obj**)calloc((size_t)length + 1, sizeof(Obj*));
  for (i = 0; i < length; ++i) a->elems[i] = init;
  return (jobjectArray)jvm_local(a);
}

static jobject JNICALL jGetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index) {
  Obj* a;
  (void)env;
  ENTER("GetObjectArrayElement");
  a = deref(array, "GetObjectArrayElement");
  if (!a || a->kind != O_ARRAY) return NULL;
  if (index < 0 || index >= a->length) {
    raise("java/lang/ArrayIndexOutOfBoundsException", "index");
    return NULL;
  }
  return a->elems[index] ? jvm_local(a->elems[index]) : NULL;
}

static void JNICALL jSetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index, jobject value) {
  Obj* a;
  Obj* v;
  (void)env;
  ENTER("SetObjectArrayElement");
  a = deref(array, "SetObjectArrayElement");
  v = deref(value, "SetObjectArrayElement");
  if (!a || a->kind != O_ARRAY) {
    violation("SetObjectArrayElement given something that is not an object array");
    return;
  }
  if (index < 0 || index >= a->length) {
    raise("java/lang/ArrayIndexOutOfBoundsException", "index");
    return;
  }
  if (v && !isSubclass(v->cls, a->klass)) {
    violation("SetObjectArrayElement stores a %s in an array of %s", v->cls->name, a->klass->name);
    return;
  }
  a->elems[index] = v;
}

static jbyteArray JNICALL jNewByteArray(JNIEnv* env, jsize length) {
  Obj* a;
  (void)env;
  ENTER("NewByteArray");
  if (length < 0) {
    raise("java/lang/NegativeArraySizeException", "length");
    return NULL;
  }
  a = newObj(findClassNamed("java/lang/Object"), O_BYTES);
  a->bytes = (char*)calloc((size_t)length + 1, 1);
  a->length = length;
  return (jbyteArray)jvm_local(a);
}

static int byteRange(Obj* a, jsize start, jsize len, const char* function) {
  if (!a || a->kind != O_BYTES) {
    violation("%s given something that is not a byte array", function);
    return 0;
  }
  if (start < 0 || len < 0 || start > a->length || len > a->length - start) {
    raise("java/lang/ArrayIndexOutOfBoundsException", function);
    return 0;
  }
  return 1;
}

static void JNICALL jGetByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize len, jbyte* buf) {
  Obj* a;
  (void)env;
  ENTER("GetByteArrayRegion");
  a = deref(array, "GetByteArrayRegion");
  if (byteRange(a, start, len, "GetByteArrayRegion")) memcpy(buf, a->bytes + start, (size_t)len);
}

static void JNICALL jSetByteArrayRegion(JNIEnv* env, jbyteArray array, jsize start, jsize len, const jbyte* buf) {
  Obj* a;
  (void)env;
  ENTER("SetByteArrayRegion");
  a = deref(array, "SetByteArrayRegion");
  if (byteRange(a, start, len, "SetByteArrayRegion")) memcpy(a->bytes + start, buf, (size_t)len);
}

static jbyte* JNICALL jGetByteArrayElements(JNIEnv* env, jbyteArray array, jboolean* isCopy) {
  Obj* a;
  (void)env;
  ENTER("GetByteArrayElements");
  a = deref(array, "GetByteArrayElements");
  if (!a || a->kind != O_BYTES) return NULL;
  if (isCopy) *isCopy = JNI_FALSE;
  return (jbyte*)a->bytes;
}

static void JNICALL jReleaseByteArrayElements(JNIEnv* env, jbyteArray array, jbyte* elems, jint mode) {
  (void)env;
  (void)array;
  (void)elems;
  (void)mode;
  ENTER_ALLOWED("ReleaseByteArrayElements");
}

static struct JNIInvokeInterface_ g_invoke;
static JavaVM g_vm = &g_invoke;

static jint JNICALL jGetJavaVM(JNIEnv* env, JavaVM** vm) {
  (void)env;
  ENTER("GetJavaVM");
  *vm = &g_vm;
  return JNI_OK;
}

static jobjectRefType JNICALL jGetObjectRefType(JNIEnv* env, jobject obj) {
  Ref* r = (Ref*)obj;
  (void)env;
  ENTER("GetObjectRefType");
  if (!r || r->magic != REF_MAGIC || r->deleted) return JNIInvalidRefType;
  return r->global ? JNIGlobalRefType : JNILocalRefType;
}

static struct JNINativeInterface_ g_functions;
static JNIEnv g_env = &g_functions;

static jint JNICALL vmGetEnv(JavaVM* vm, void** penv, jint version) {
  (void)vm;
  (void)version;
  note("JavaVM.GetEnv");
  *penv = &g_env;
  return JNI_OK;
}

static jint JNICALL vmAttachCurrentThread(JavaVM* vm, void** penv, void* args) {
  (void)vm;
  (void)args;
  note("JavaVM.AttachCurrentThread");
  *penv = &g_env;
  return JNI_OK;
}

/* ---- unfilled slots --------------------------------------------------------------------------- */

static void unfilled(const char* table, int slot) {
  printf("FAIL: the library called slot %d of the %s table, which this JVM does not fill (in %s)\n", slot, table,
         g_native);
  jvm_dump_journal();
  fflush(stdout);
  ExitProcess(4);
}

#define SLOT(r, c) \
  static void JNICALL slot_##r##_##c(void) { unfilled("JNINativeInterface_", (r)*10 + (c)); }
#define SLOT_ROW(r) \
  SLOT(r, 0) SLOT(r, 1) SLOT(r, 2) SLOT(r, 3) SLOT(r, 4) SLOT(r, 5) SLOT(r, 6) SLOT(r, 7) SLOT(r, 8) SLOT(r, 9)
SLOT_ROW(0) SLOT_ROW(1) SLOT_ROW(2) SLOT_ROW(3) SLOT_ROW(4) SLOT_ROW(5) SLOT_ROW(6) SLOT_ROW(7) SLOT_ROW(8)
SLOT_ROW(9) SLOT_ROW(10) SLOT_ROW(11) SLOT_ROW(12) SLOT_ROW(13) SLOT_ROW(14) SLOT_ROW(15) SLOT_ROW(16)
SLOT_ROW(17) SLOT_ROW(18) SLOT_ROW(19) SLOT_ROW(20) SLOT_ROW(21) SLOT_ROW(22) SLOT_ROW(23) SLOT_ROW(24)
#define SLOT_REF(r, c) (void*)slot_##r##_##c
#define SLOT_REFS(r)                                                                                            \
  SLOT_REF(r, 0), SLOT_REF(r, 1), SLOT_REF(r, 2), SLOT_REF(r, 3), SLOT_REF(r, 4), SLOT_REF(r, 5), SLOT_REF(r, 6), \
      SLOT_REF(r, 7), SLOT_REF(r, 8), SLOT_REF(r, 9)
static void* const g_slots[250] = {
    SLOT_REFS(0),  SLOT_REFS(1),  SLOT_REFS(2),  SLOT_REFS(3),  SLOT_REFS(4),  SLOT_REFS(5),  SLOT_REFS(6),
    SLOT_REFS(7),  SLOT_REFS(8),  SLOT_REFS(9),  SLOT_REFS(10), SLOT_REFS(11), SLOT_REFS(12), SLOT_REFS(13),
    SLOT_REFS(14), SLOT_REFS(15), SLOT_REFS(16), SLOT_REFS(17), SLOT_REFS(18), SLOT_REFS(19), SLOT_REFS(20),
    SLOT_REFS(21), SLOT_REFS(22), SLOT_REFS(23), SLOT_REFS(24)};

static void invokeSlot(int slot) {
  printf("FAIL: the library called slot %d of the JNIInvokeInterface_ table, which this JVM does not fill\n", slot);
  fflush(stdout);
  ExitProcess(4);
}
static void JNICALL invoke_slot_0(void) { invokeSlot(0); }
static void JNICALL invoke_slot_1(void) { invokeSlot(1); }
static void JNICALL invoke_slot_2(void) { invokeSlot(2); }
static void JNICALL invoke_slot_3(void) { invokeSlot(3); }
static void JNICALL invoke_slot_4(void) { invokeSlot(4); }
static void JNICALL invoke_slot_5(void) { invokeSlot(5); }
static void JNICALL invoke_slot_6(void) { invokeSlot(6); }
static void JNICALL invoke_slot_7(void) { invokeSlot(7); }

static int g_ready;

static void setUp(void) {
  size_t slots = sizeof g_functions / sizeof(void*);
  void* invokeSlots[8] = {(void*)invoke_slot_0, (void*)invoke_slot_1, (void*)invoke_slot_2, (void*)invoke_slot_3,
                          (void*)invoke_slot_4, (void*)invoke_slot_5, (void*)invoke_slot_6, (void*)invoke_slot_7};
  if (g_ready) return;
  g_ready = 1;
  g_frame = (Ref**)calloc(FRAME_MAX, sizeof(Ref*));
  if (slots > sizeof g_slots / sizeof g_slots[0] || sizeof g_invoke / sizeof(void*) > 8) {
    printf("FAIL: this jni.h has more slots than the test JVM can trap\n");
    ExitProcess(2);
  }
  memcpy(&g_functions, g_slots, slots * sizeof(void*));
  memcpy(&g_invoke, invokeSlots, sizeof g_invoke);
  g_invoke.GetEnv = vmGetEnv;
  g_invoke.AttachCurrentThread = vmAttachCurrentThread;

  g_functions.GetVersion = jGetVersion;
  g_functions.FindClass = jFindClass;
  g_functions.Throw = jThrow;
  g_functions.ThrowNew = jThrowNew;
  g_functions.ExceptionOccurred = jExceptionOccurred;
  g_functions.ExceptionDescribe = jExceptionDescribe;
  g_functions.ExceptionClear = jExceptionClear;
  g_functions.ExceptionCheck = jExceptionCheck;
  g_functions.FatalError = jFatalError;
  g_functions.PushLocalFrame = jPushLocalFrame;
  g_functions.PopLocalFrame = jPopLocalFrame;
  g_functions.NewGlobalRef = jNewGlobalRef;
  g_functions.DeleteGlobalRef = jDeleteGlobalRef;
  g_functions.DeleteLocalRef = jDeleteLocalRef;
  g_functions.IsSameObject = jIsSameObject;
  g_functions.NewLocalRef = jNewLocalRef;
  g_functions.EnsureLocalCapacity = jEnsureLocalCapacity;
  g_functions.NewObject = jNewObject;
  g_functions.NewObjectV = jNewObjectV;
  g_functions.NewObjectA = jNewObjectA;
  g_functions.GetObjectClass = jGetObjectClass;
  g_functions.IsInstanceOf = jIsInstanceOf;
  g_functions.GetMethodID = jGetMethodID;
  g_functions.CallObjectMethod = jCallObjectMethod;
  g_functions.CallObjectMethodV = jCallObjectMethodV;
  g_functions.CallObjectMethodA = jCallObjectMethodA;
  g_functions.CallBooleanMethod = jCallBooleanMethod;
  g_functions.CallBooleanMethodV = jCallBooleanMethodV;
  g_functions.CallBooleanMethodA = jCallBooleanMethodA;
  g_functions.CallIntMethod = jCallIntMethod;
  g_functions.CallIntMethodV = jCallIntMethodV;
  g_functions.CallIntMethodA = jCallIntMethodA;
  g_functions.CallLongMethod = jCallLongMethod;
  g_functions.CallLongMethodV = jCallLongMethodV;
  g_functions.CallLongMethodA = jCallLongMethodA;
  g_functions.CallVoidMethod = jCallVoidMethod;
  g_functions.CallVoidMethodV = jCallVoidMethodV;
  g_functions.CallVoidMethodA = jCallVoidMethodA;
  g_functions.NewStringUTF = jNewStringUTF;
  g_functions.GetStringUTFLength = jGetStringUTFLength;
  g_functions.GetStringUTFChars = jGetStringUTFChars;
  g_functions.ReleaseStringUTFChars = jReleaseStringUTFChars;
  g_functions.GetArrayLength = jGetArrayLength;
  g_functions.NewObjectArray = jNewObjectArray;
  g_functions.GetObjectArrayElement = jGetObjectArrayElement;
  g_functions.SetObjectArrayElement = jSetObjectArrayElement;
  g_functions.NewByteArray = jNewByteArray;
  g_functions.GetByteArrayRegion = jGetByteArrayRegion;
  g_functions.SetByteArrayRegion = jSetByteArrayRegion;
  g_functions.GetByteArrayElements = jGetByteArrayElements;
  g_functions.ReleaseByteArrayElements = jReleaseByteArrayElements;
  g_functions.GetJavaVM = jGetJavaVM;
  g_functions.GetObjectRefType = jGetObjectRefType;
}

/* ---- the harness's side ---------------------------------------------------------------------- */

JNIEnv* jvm_env(void) {
  setUp();
  return &g_env;
}

jclass jvm_native_class(void) {
  setUp();
  return (jclass)jvm_local(classObject(findClassNamed("com/plimo/mail/mapi/MAPINative")));
}

jstring jvm_string(const char* bytes) {
  setUp();
  return bytes ? (jstring)jvm_local(newString(bytes, (int)strlen(bytes))) : NULL;
}

jobject jvm_new_plain(const char* className) {
  const JClass* cls;
  setUp();
  cls = findClassNamed(className);
  if (!cls) {
    printf("FAIL: the test JVM has no class %s\n", className);
    ExitProcess(2);
  }
  return jvm_local(newObj(cls, O_PLAIN));
}

void jvm_begin(const char* native) {
  int i;
  setUp();
  for (i = 0; i < g_journalCount; ++i) free(g_journal[i]);
  g_journalCount = 0;
  lstrcpynA(g_native, native, sizeof g_native);
  /* The arguments the harness made stay valid during the call; only what
     the native makes is counted. */
  g_localLive = 0;
  g_localPeak = 0;
  g_frameDepth = 0;
  g_pending = NULL;
  g_frameCount = 0;
  g_inNative = 1;
}

Obj* jvm_end(void) {
  Obj* thrown = g_pending;
  int i;
  /* What the native left behind is released by the VM when it returns. */
  for (i = 0; i < g_frameCount; ++i)
    if (!g_frame[i]->deleted) g_frame[i]->deleted = 2;
  g_frameCount = 0;
  g_pending = NULL;
  g_inNative = 0;
  lstrcpynA(g_native, "(outside any native)", sizeof g_native);
  return thrown;
}

int jvm_local_peak(void) { return g_localPeak; }
int jvm_locals_left(void) { return g_localLive; }
int jvm_globals_live(void) { return g_globalLive; }
int jvm_violations(void) { return g_violations; }
void jvm_forget_violations(void) { g_violations = 0; }
void jvm_quiet_violations(int quiet) { g_quietViolations = quiet; }

int jvm_call_count(const char* function) {
  int i, n = 0;
  for (i = 0; i < g_journalCount; ++i)
    if (strcmp(g_journal[i], function) == 0) ++n;
  return n;
}

void jvm_dump_journal(void) {
  int i;
  printf("  JNI calls of %s:\n", g_native);
  for (i = 0; i < g_journalCount; ++i) printf("    %s\n", g_journal[i]);
}
