// Conversions between Java values and native text, static field access by name.
#ifndef JLIB_JNIUTILS_H
#define JLIB_JNIUTILS_H

#include <jni.h>

#include <string>

// Replaces every occurrence of from in text by to, left to right.
// from must not be empty.
void replace(std::string& text, const char* from, const char* to);

class JNIUtils {
 public:
  typedef void (*DumpMethod)(std::string&);

  // Modified UTF-8 text of s; empty for a null s or unreadable characters.
  static std::string ToStdString(JNIEnv* env, jstring s);
  // New Java string; null with a Java error pending when it cannot be made.
  static jstring ToJavaString(JNIEnv* env, std::string& text);

  static std::string ToString(jlong value);
  static jlong ToLong(std::string& text, jlong def);

  // name is package.Class.field; false when the field cannot be reached.
  static bool setStaticIntField(JNIEnv* env, std::string name, int value);
  static bool getStaticIntField(JNIEnv* env, std::string name, int* out);
  static bool setStaticByteField(JNIEnv* env, std::string name, signed char value);
  static bool getStaticByteField(JNIEnv* env, std::string name, signed char* out);

  static std::string* allocStdString(const char* text);
  static std::string* allocStdString(std::string& text);
  static void freeStdString(std::string* p);

  static void setDumpErrorMethod(DumpMethod hook);
  static void setDumpDebugMethod(DumpMethod hook);
  static void dumpErrorString(std::string text);
  static void dumpDebugString(std::string text);

 private:
  JNIUtils() = delete;

  static DumpMethod dumpErrorMethod;
  static DumpMethod dumpDebugMethod;
};

#endif  // JLIB_JNIUTILS_H
