/*
 * Machine-dependent JNI types and linkage for 32-bit Windows (the x86
 * Windows JDK's conventions). The Windows build copies the host JDK's jni.h
 * beside this file, since jni.h includes "jni_md.h" from its own folder.
 */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

/* The build may define JNIEXPORT itself: the Windows DLL exports the natives
   through a .def file under their stdcall-decorated names, and a dllexport
   on top of that would add a second, mingw-style name for each of them. */
#ifndef JNIEXPORT
#define JNIEXPORT __declspec(dllexport)
#endif
#ifndef JNIIMPORT
#define JNIIMPORT __declspec(dllimport)
#endif
#define JNICALL __stdcall

/* long is 32 bits wide on Windows, 64-bit and 32-bit alike. */
typedef long jint;
#ifdef _MSC_VER
typedef __int64 jlong;
#else
typedef long long jlong;
#endif
typedef signed char jbyte;

#endif /* _JAVASOFT_JNI_MD_H_ */
