// Encryption in place of a file that another writer grows between the
// library's read and its write. The growth comes from this program's own
// open(), which the library's calls resolve to: it appends to the armed path
// just before the library opens it for writing.
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdarg.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "crypto.h"
#include "testutil.h"

namespace {

// What the next write-open of growPath appends first (once).
std::string growPath;
std::string growBytes;

void appendArmed(const char* path, int flags) {
  if ((flags & O_ACCMODE) == O_RDONLY || growPath.empty() || growPath != path) return;
  std::ofstream out(growPath, std::ios::binary | std::ios::app);
  out.write(growBytes.data(), static_cast<std::streamsize>(growBytes.size()));
  growPath.clear();
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  typedef int (*OpenFn)(const char*, int, ...);
  static const OpenFn next = reinterpret_cast<OpenFn>(dlsym(RTLD_NEXT, "open"));
  appendArmed(path, flags);
  return next(path, flags, mode);
}

namespace {

struct Growth {
  const char* name;
  size_t plain;  // bytes read and encrypted
  size_t grown;  // bytes appended before the write
};

// The encryption is 16 bytes of header plus the plain bytes padded to the next
// multiple of 16: growth past that length left a tail before the fix.
void PrintTo(const Growth& g, std::ostream* os) { *os << g.plain << " + " << g.grown << " bytes"; }

const Growth kGrowths[] = {
    {"WithinTheEncryption", 100, 12},  // 112 bytes on disk, 128 written
    {"OneByteBeyond", 100, 29},
    {"EmptyFileGrown", 0, 40},
    {"DoubledInSize", 4096, 4096},
    {"LargeTail", 1000, 200000},
};

struct Cipher {
  const char* flag;
  bool (*encrypt)(const char*, const char*, const char*, unsigned char*);
};
const Cipher kCiphers[] = {{"-aes-128-cbc", EncryptAes128Cbc}, {"-aes-256-cbc", EncryptAes256Cbc}};

using testutil::patterned;
using testutil::writeFile;

class CryptoInPlace : public ::testing::TestWithParam<Growth> {};

TEST_P(CryptoInPlace, OutputCutToItsLength) {
  const Growth& g = GetParam();
  for (const Cipher& c : kCiphers) {
    SCOPED_TRACE(c.flag);
    testutil::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string file = dir.file("file");
    const std::string plain = patterned(g.plain, 7);
    writeFile(file, plain);
    growPath = file;
    growBytes = patterned(g.grown, 99);
    unsigned char salt[8] = {1, 2, 3, 4, 5, 6, 7, 8};

    EXPECT_TRUE(c.encrypt(file.c_str(), file.c_str(), "pass word", salt));
    EXPECT_TRUE(growPath.empty()) << "the write did not open the file";
    growPath.clear();

    struct stat st;
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(static_cast<off_t>(32 + 16 * (g.plain / 16)), st.st_size);
    const std::string decrypted = dir.file("decrypted");
    const std::string cmd = std::string("openssl enc -d ") + c.flag +
                            " -md md5 -pass 'pass:pass word' -in '" + file + "' -out '" +
                            decrypted + "' 2>/dev/null";
    EXPECT_EQ(0, std::system(cmd.c_str()));
    EXPECT_TRUE(plain == testutil::readFile(decrypted)) << "decryption differs from the input";
  }
}

INSTANTIATE_TEST_SUITE_P(Growths, CryptoInPlace, ::testing::ValuesIn(kGrowths),
                         [](const ::testing::TestParamInfo<Growth>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
