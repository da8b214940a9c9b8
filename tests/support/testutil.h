// Small helpers shared by the native tests: temporary directories, files
// and bounded waits.
#ifndef TESTS_TESTUTIL_H
#define TESTS_TESTUTIL_H

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

namespace testutil {

// A fresh directory under TMPDIR, removed with its contents at scope end.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base ? base : "/tmp") + "/jlibtest.XXXXXX";
    char* made = mkdtemp(&tmpl[0]);
    path_ = made ? made : "";
  }
  ~TempDir() {
    if (!path_.empty()) (void)std::system(("rm -rf '" + path_ + "'").c_str());
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// n bytes of a pattern that differs by seed.
inline std::string patterned(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((i * 131 + seed) & 0xFF);
  return s;
}

inline bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Waits until done() holds, polling every 10 ms for at most ms.
inline bool waitUntil(const std::function<bool()>& done, int ms = 10000) {
  for (int waited = 0; waited < ms; waited += 10) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

}  // namespace testutil

#endif  // TESTS_TESTUTIL_H
