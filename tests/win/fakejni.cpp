#include "fakejni.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>

namespace fakejni {
namespace {

enum Kind { STRING, BYTES, PROPERTIES, ENUMERATION, CLASS };

struct Object {
  Kind kind;
  std::string text;
  std::vector<jbyte> bytes;
  std::map<std::string, std::string> props;
  std::vector<std::string> keys;
  size_t next = 0;
  Kind classOf = CLASS;
};

struct Method {
  std::string name;
  std::string sig;
};

std::mutex mu;
std::deque<std::unique_ptr<Object>> objects;  // freed at exit
std::deque<std::unique_ptr<Method>> methods;
std::vector<NativeEvent> recorded;

Object* make(Kind kind) {
  std::lock_guard<std::mutex> hold(mu);
  objects.emplace_back(new Object());
  objects.back()->kind = kind;
  return objects.back().get();
}

Object* obj(jobject o) { return reinterpret_cast<Object*>(o); }

jobject classObject(Kind of) {
  Object* c = make(CLASS);
  c->classOf = of;
  return reinterpret_cast<jobject>(c);
}

jmethodID method(const char* name, const char* sig) {
  std::lock_guard<std::mutex> hold(mu);
  methods.emplace_back(new Method{name, sig});
  return reinterpret_cast<jmethodID>(methods.back().get());
}

const Method& methodOf(jmethodID id) { return *reinterpret_cast<Method*>(id); }

// Any JNI function this environment does not offer ends the process.
void JNICALL unexpectedCall() {
  std::fprintf(stderr, "fakejni: unexpected JNI call\n");
  std::fflush(stderr);
  std::abort();
}

const char* JNICALL getStringUTFChars(JNIEnv*, jstring s, jboolean* isCopy) {
  if (isCopy != nullptr) *isCopy = JNI_FALSE;
  return obj(s)->text.c_str();
}
void JNICALL releaseStringUTFChars(JNIEnv*, jstring, const char*) {}
jstring JNICALL newStringUTF(JNIEnv*, const char* text) { return newString(text); }
jsize JNICALL getArrayLength(JNIEnv*, jarray a) {
  return static_cast<jsize>(obj(a)->bytes.size());
}
jbyte* JNICALL getByteArrayElements(JNIEnv*, jbyteArray a, jboolean* isCopy) {
  if (isCopy != nullptr) *isCopy = JNI_FALSE;
  return obj(a)->bytes.data();
}
void JNICALL releaseByteArrayElements(JNIEnv*, jbyteArray, jbyte*, jint) {}
jbyteArray JNICALL newByteArray(JNIEnv*, jsize n) {
  return fakejni::newByteArray(std::vector<jbyte>(static_cast<size_t>(n), 0));
}
void JNICALL setByteArrayRegion(JNIEnv*, jbyteArray a, jsize start, jsize len, const jbyte* buf) {
  std::memcpy(obj(a)->bytes.data() + start, buf, static_cast<size_t>(len));
}
jclass JNICALL getObjectClass(JNIEnv*, jobject o) {
  return static_cast<jclass>(classObject(obj(o)->kind));
}
jmethodID JNICALL getMethodID(JNIEnv*, jclass, const char* name, const char* sig) {
  return method(name, sig);
}
jmethodID JNICALL getStaticMethodID(JNIEnv*, jclass, const char* name, const char* sig) {
  if (std::strcmp(name, "nativeEvent") != 0 ||
      std::strcmp(sig, "(JJIISLjava/lang/String;)V") != 0) {
    return nullptr;
  }
  return method(name, sig);
}
jobject JNICALL callObjectMethodV(JNIEnv*, jobject o, jmethodID id, va_list args) {
  const Method& m = methodOf(id);
  Object* self = obj(o);
  if (m.name == "propertyNames" && self->kind == PROPERTIES) {
    Object* en = make(ENUMERATION);
    for (const auto& kv : self->props) en->keys.push_back(kv.first);
    return reinterpret_cast<jobject>(en);
  }
  if (m.name == "nextElement" && self->kind == ENUMERATION) {
    return newString(self->keys.at(self->next++).c_str());
  }
  if (m.name == "getProperty" && self->kind == PROPERTIES) {
    jobject key = va_arg(args, jobject);
    auto it = self->props.find(obj(key)->text);
    return it == self->props.end() ? nullptr : newString(it->second.c_str());
  }
  unexpectedCall();
  return nullptr;
}
jboolean JNICALL callBooleanMethodV(JNIEnv*, jobject o, jmethodID id, va_list) {
  Object* self = obj(o);
  if (methodOf(id).name == "hasMoreElements" && self->kind == ENUMERATION) {
    return self->next < self->keys.size() ? JNI_TRUE : JNI_FALSE;
  }
  unexpectedCall();
  return JNI_FALSE;
}
void JNICALL callStaticVoidMethodV(JNIEnv*, jclass, jmethodID id, va_list args) {
  if (methodOf(id).name != "nativeEvent") unexpectedCall();
  NativeEvent ev;
  ev.sid = va_arg(args, jlong);
  ev.port = va_arg(args, jlong);
  ev.type = va_arg(args, jint);
  ev.value = va_arg(args, jint);
  ev.ipv6 = static_cast<jshort>(va_arg(args, int));
  (void)va_arg(args, jstring);
  std::lock_guard<std::mutex> hold(mu);
  recorded.push_back(ev);
}
jthrowable JNICALL exceptionOccurred(JNIEnv*) { return nullptr; }
jboolean JNICALL exceptionCheck(JNIEnv*) { return JNI_FALSE; }
void JNICALL exceptionClear(JNIEnv*) {}
void JNICALL deleteLocalRef(JNIEnv*, jobject) {}

JNINativeInterface_ makeTable() {
  JNINativeInterface_ t;
  void** slots = reinterpret_cast<void**>(&t);
  for (size_t i = 0; i < sizeof(t) / sizeof(void*); i++) {
    slots[i] = reinterpret_cast<void*>(&unexpectedCall);
  }
  t.GetStringUTFChars = getStringUTFChars;
  t.ReleaseStringUTFChars = releaseStringUTFChars;
  t.NewStringUTF = newStringUTF;
  t.GetArrayLength = getArrayLength;
  t.GetByteArrayElements = getByteArrayElements;
  t.ReleaseByteArrayElements = releaseByteArrayElements;
  t.NewByteArray = newByteArray;
  t.SetByteArrayRegion = setByteArrayRegion;
  t.GetObjectClass = getObjectClass;
  t.GetMethodID = getMethodID;
  t.GetStaticMethodID = getStaticMethodID;
  t.CallObjectMethodV = callObjectMethodV;
  t.CallBooleanMethodV = callBooleanMethodV;
  t.CallStaticVoidMethodV = callStaticVoidMethodV;
  t.ExceptionOccurred = exceptionOccurred;
  t.ExceptionCheck = exceptionCheck;
  t.ExceptionClear = exceptionClear;
  t.DeleteLocalRef = deleteLocalRef;
  return t;
}

}  // namespace

JNIEnv* env() {
  static JNINativeInterface_ table = makeTable();
  static JNIEnv e = {&table};
  return &e;
}

jstring newString(const char* text) {
  if (text == nullptr) return nullptr;
  Object* s = make(STRING);
  s->text = text;
  return reinterpret_cast<jstring>(s);
}

jbyteArray newByteArray(const std::vector<jbyte>& bytes) {
  Object* a = make(BYTES);
  a->bytes = bytes;
  return reinterpret_cast<jbyteArray>(a);
}

std::vector<jbyte> bytesOf(jbyteArray array) { return obj(array)->bytes; }

std::string textOf(jstring s) { return s == nullptr ? std::string() : obj(s)->text; }

jobject newProperties(const std::map<std::string, std::string>& props) {
  Object* p = make(PROPERTIES);
  p->props = props;
  return reinterpret_cast<jobject>(p);
}

jclass nativeClass() { return static_cast<jclass>(classObject(CLASS)); }

std::vector<NativeEvent> events() {
  std::lock_guard<std::mutex> hold(mu);
  return recorded;
}

}  // namespace fakejni
