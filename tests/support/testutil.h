// Small helpers shared by the native tests.
#ifndef TESTS_TESTUTIL_H
#define TESTS_TESTUTIL_H

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

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

inline bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace testutil

#endif  // TESTS_TESTUTIL_H
