// What a JVM that a native test starts prints (its -Xcheck:jni warnings
// among it): kept for the checks and passed on.
#ifndef TESTS_SUPPORT_JVMOUTPUT_H
#define TESTS_SUPPORT_JVMOUTPUT_H

#include <jni.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace jvmoutput {

inline std::mutex& textLock() {
  static std::mutex m;
  return m;
}

inline std::string& text() {
  static std::string t;
  return t;
}

// The JVM's "vfprintf" hook.
inline jint JNICALL keep(FILE* stream, const char* format, va_list args) {
  char buf[4096];
  int n = vsnprintf(buf, sizeof(buf), format, args);
  if (n < 0) return n;
  {
    std::lock_guard<std::mutex> hold(textLock());
    text() += buf;
  }
  fputs(buf, stream == stdout ? stdout : stderr);
  return n;
}

// A mark of what has been printed so far.
inline size_t mark() {
  std::lock_guard<std::mutex> hold(textLock());
  return text().size();
}

// What was printed since the mark.
inline std::string since(size_t from) {
  std::lock_guard<std::mutex> hold(textLock());
  return from < text().size() ? text().substr(from) : std::string();
}

}  // namespace jvmoutput

#endif  // TESTS_SUPPORT_JVMOUTPUT_H
