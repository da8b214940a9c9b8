// Machine-dependent JNI types for the Windows builds. The only jni_md.h on
// their include path: the JDK's own (the Linux one) is in include/linux,
// which the Windows builds never add.
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif  // _JAVASOFT_JNI_MD_H_
