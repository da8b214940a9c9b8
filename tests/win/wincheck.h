// Counting checks for the Windows test programs, which run under wine without
// a test framework: each program ends by printing "N checks, M failed".
#ifndef TESTS_WIN_WINCHECK_H
#define TESTS_WIN_WINCHECK_H

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace wincheck {

inline int checks = 0;
inline int failures = 0;

}  // namespace wincheck

inline void check(bool ok, const std::string& what) {
  wincheck::checks++;
  if (!ok) {
    wincheck::failures++;
    std::printf("FAIL: %s\n", what.c_str());
  }
}

inline std::string readAll(const std::string& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

#endif  // TESTS_WIN_WINCHECK_H
