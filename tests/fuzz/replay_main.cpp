// Runs a fuzz target over kept inputs without libFuzzer: every argument is
// a file or a directory of files, each file one input. Fails when no input
// was found; a target that finds a fault aborts.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void collect(const std::string& path, std::vector<std::string>* files) {
  if (!isDirectory(path)) {
    files->push_back(path);
    return;
  }
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(path + "/" + name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) collect(n, files);
}

bool runOne(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // An exact-size heap copy, so a read past the input is caught.
  uint8_t* copy = new uint8_t[bytes.size()];
  std::copy(bytes.begin(), bytes.end(), copy);
  LLVMFuzzerTestOneInput(copy, bytes.size());
  delete[] copy;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::string> files;
  for (int i = 1; i < argc; i++) collect(argv[i], &files);
  size_t ran = 0;
  for (const std::string& f : files) {
    if (runOne(f)) {
      ran++;
    } else {
      std::fprintf(stderr, "cannot read %s\n", f.c_str());
      return 1;
    }
  }
  std::printf("%zu inputs replayed\n", ran);
  return ran > 0 ? 0 : 1;
}
