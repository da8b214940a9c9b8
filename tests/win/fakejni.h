// A small JNI environment for driving the DLLs' exports without a JVM: Java
// strings, byte arrays, a properties object with its enumeration, and the
// static callback nativeEvent, whose calls are recorded. A call of a JNI function
// it does not offer aborts the process.
#ifndef TESTS_WIN_FAKEJNI_H
#define TESTS_WIN_FAKEJNI_H

#include <jni.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace fakejni {

struct NativeEvent {
  jlong sid;
  jlong port;
  jint type;
  jint value;
  jshort ipv6;
};

JNIEnv* env();
// A Java string; null for nullptr.
jstring newString(const char* text);
jbyteArray newByteArray(const std::vector<jbyte>& bytes);
std::vector<jbyte> bytesOf(jbyteArray array);
std::string textOf(jstring s);
// A java.util.Properties stand-in answering propertyNames and getProperty.
jobject newProperties(const std::map<std::string, std::string>& props);
// The class on which static natives are called (it holds nativeEvent).
jclass nativeClass();

// nativeEvent calls so far.
std::vector<NativeEvent> events();

}  // namespace fakejni

#endif  // TESTS_WIN_FAKEJNI_H
