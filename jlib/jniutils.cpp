#include "jniutils.h"

#include <stdint.h>
#include <string.h>

JNIUtils::DumpMethod JNIUtils::dumpErrorMethod = nullptr;
JNIUtils::DumpMethod JNIUtils::dumpDebugMethod = nullptr;

void replace(std::string& text, const char* from, const char* to) {
  const size_t fromLen = strlen(from);
  const size_t toLen = strlen(to);
  size_t pos = 0;
  while ((pos = text.find(from, pos, fromLen)) != std::string::npos) {
    text.replace(pos, fromLen, to, toLen);
    pos += toLen;
  }
}

namespace {

// Writes v (0..999) at buf[pos]; returns the position after the last digit.
int int3digitToChars(char* buf, int v, int pos, bool zeroPad) {
  const int hundreds = v / 100;
  const int tens = (v / 10) % 10;
  const int ones = v % 10;
  if (zeroPad || hundreds != 0) buf[pos++] = static_cast<char>('0' + hundreds);
  if (zeroPad || hundreds != 0 || tens != 0) buf[pos++] = static_cast<char>('0' + tens);
  buf[pos++] = static_cast<char>('0' + ones);
  return pos;
}

// Splits package.Class.field into the JNI class path and the field name.
bool splitFieldName(std::string& name, std::string* classPath, std::string* field) {
  replace(name, ".", "/");
  const size_t slash = name.rfind('/');
  if (slash == std::string::npos) return false;
  *classPath = name.substr(0, slash);
  *field = name.substr(slash + 1);
  return !classPath->empty() && !field->empty();
}

bool findStaticField(JNIEnv* env, std::string& name, const char* sig,
                     jclass* cls, jfieldID* id) {
  std::string classPath;
  std::string field;
  if (!splitFieldName(name, &classPath, &field)) return false;
  *cls = env->FindClass(classPath.c_str());
  if (*cls == nullptr) return false;
  *id = env->GetStaticFieldID(*cls, field.c_str(), sig);
  return *id != nullptr;
}

}  // namespace

std::string JNIUtils::ToStdString(JNIEnv* env, jstring s) {
  if (s == nullptr) return std::string();
  const char* chars = env->GetStringUTFChars(s, nullptr);
  if (chars == nullptr) return std::string();
  std::string text;
  try {
    text = chars;
  } catch (...) {
    env->ReleaseStringUTFChars(s, chars);
    throw;
  }
  env->ReleaseStringUTFChars(s, chars);
  return text;
}

jstring JNIUtils::ToJavaString(JNIEnv* env, std::string& text) {
  return env->NewStringUTF(text.c_str());
}

std::string JNIUtils::ToString(jlong value) {
  static const uint64_t kPowers[] = {
      1000000000000000000ULL, 1000000000000000ULL, 1000000000000ULL,
      1000000000ULL, 1000000ULL, 1000ULL};
  char buf[24];
  int pos = 0;
  uint64_t magnitude = static_cast<uint64_t>(value);
  if (value < 0) {
    buf[pos++] = '-';
    magnitude = 0 - magnitude;
  }
  bool started = false;
  for (uint64_t power : kPowers) {
    if (!started && magnitude < power) continue;
    pos = int3digitToChars(buf, static_cast<int>(magnitude / power), pos, started);
    magnitude %= power;
    started = true;
  }
  pos = int3digitToChars(buf, static_cast<int>(magnitude), pos, started);
  return std::string(buf, pos);
}

jlong JNIUtils::ToLong(std::string& text, jlong def) {
  // Unsigned accumulation: wraps in two's complement without overflow.
  uint64_t value = 0;
  bool negative = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      value = value * 10 + static_cast<uint64_t>(c - '0');
    } else if (c == '-' && i == 0) {
      negative = true;
    } else {
      return def;
    }
  }
  if (negative) value = 0 - value;
  return static_cast<jlong>(value);
}

bool JNIUtils::setStaticIntField(JNIEnv* env, std::string name, int value) {
  jclass cls;
  jfieldID id;
  if (!findStaticField(env, name, "I", &cls, &id)) return false;
  env->SetStaticIntField(cls, id, value);
  return true;
}

bool JNIUtils::getStaticIntField(JNIEnv* env, std::string name, int* out) {
  jclass cls;
  jfieldID id;
  if (!findStaticField(env, name, "I", &cls, &id)) return false;
  *out = env->GetStaticIntField(cls, id);
  return true;
}

bool JNIUtils::setStaticByteField(JNIEnv* env, std::string name, signed char value) {
  jclass cls;
  jfieldID id;
  if (!findStaticField(env, name, "B", &cls, &id)) return false;
  env->SetStaticByteField(cls, id, value);
  return true;
}

bool JNIUtils::getStaticByteField(JNIEnv* env, std::string name, signed char* out) {
  jclass cls;
  jfieldID id;
  if (!findStaticField(env, name, "B", &cls, &id)) return false;
  *out = env->GetStaticByteField(cls, id);
  return true;
}

std::string* JNIUtils::allocStdString(const char* text) {
  return new std::string(text);
}

std::string* JNIUtils::allocStdString(std::string& text) {
  return new std::string(text);
}

void JNIUtils::freeStdString(std::string* p) {
  delete p;
}

void JNIUtils::setDumpErrorMethod(DumpMethod hook) {
  dumpErrorMethod = hook;
}

void JNIUtils::setDumpDebugMethod(DumpMethod hook) {
  dumpDebugMethod = hook;
}

void JNIUtils::dumpErrorString(std::string text) {
  if (dumpErrorMethod != nullptr) dumpErrorMethod(text);
}

void JNIUtils::dumpDebugString(std::string text) {
  if (dumpDebugMethod != nullptr) dumpDebugMethod(text);
}
