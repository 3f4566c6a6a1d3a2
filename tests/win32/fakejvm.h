/*
 * A JVM of our own for calling the Windows DLL's natives under Wine: a
 * JNINativeInterface_ table over a small object model (the classes that the
 * natives look up, strings as bytes, arrays, exceptions), which records every
 * JNI call, counts local and global references, and rejects a JNI call made
 * while an exception is pending. A slot of the table that it does not fill
 * ends the run and names its index.
 */
#ifndef TOLVANE_TESTS_WIN32_FAKEJVM_H
#define TOLVANE_TESTS_WIN32_FAKEJVM_H

#include <jni.h>

typedef struct Obj Obj;
typedef struct JClass JClass;

enum ObjKind { O_CLASS, O_STRING, O_BYTES, O_ARRAY, O_THROWABLE, O_PLAIN };

struct JClass {
  const char* name;
  const char* super; /* name of the superclass, or NULL */
  Obj* object;       /* the Class object */
};

struct Obj {
  const JClass* cls;
  enum ObjKind kind;
  const JClass* klass; /* O_CLASS: the class it stands for */
  char* bytes;         /* O_STRING, O_BYTES: the bytes; O_THROWABLE: the message */
  int length;          /* O_STRING, O_BYTES, O_ARRAY */
  Obj** elems;         /* O_ARRAY */
  /* Fields of the com.plimo.mail.mapi objects, filled by their constructors
     and methods. */
  Obj* ref[6]; /* constructor arguments from 0, a setter's from 4 */
  jlong handle;
  jint number;
  int pointerSet;
};

/* The environment the natives get. */
JNIEnv* jvm_env(void);
/* The class argument of a static native (MAPINative). */
jclass jvm_native_class(void);

/* Objects the harness makes, as local references of the caller. */
jstring jvm_string(const char* bytes);
jobject jvm_new_plain(const char* className);
Obj* jvm_deref(jobject ref);
jobject jvm_local(Obj* obj);

/* A native call's frame: begin before the call, end after it (which releases
   every local reference made in it, as the JVM does when a native returns).
   jvm_end returns the exception the native left pending (cleared) or NULL. */
void jvm_begin(const char* native);
Obj* jvm_end(void);

/* What the last call did. */
int jvm_local_peak(void);     /* most local references live at once */
int jvm_locals_left(void);    /* local references the native did not delete */
int jvm_globals_live(void);   /* global references not deleted, all calls */
int jvm_violations(void);     /* JNI misuse seen since the start */
/* A self-test provokes misuse: while quiet, it is counted but not
   reported; jvm_forget_violations drops the count afterwards. */
void jvm_quiet_violations(int quiet);
void jvm_forget_violations(void);
int jvm_call_count(const char* function); /* JNI calls of that name in the last native call */
void jvm_dump_journal(void);  /* prints the last native call's JNI calls */

/* Faults for the next calls (cleared by jvm_clear_faults):
   FindClass of that class fails (NoClassDefFoundError pending);
   String.getBytes throws; the nth NewObject of that class returns NULL with
   an OutOfMemoryError pending. */
void jvm_fail_find_class(const char* className);
void jvm_fail_get_bytes(int fail);
void jvm_fail_new_object(const char* className, int nth);
void jvm_clear_faults(void);

#endif
