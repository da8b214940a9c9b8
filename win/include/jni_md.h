// Machine-dependent JNI types for the Windows builds, found before the JDK's
// own jni_md.h (which is the Linux one) by the include path order.
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif  // _JAVASOFT_JNI_MD_H_
