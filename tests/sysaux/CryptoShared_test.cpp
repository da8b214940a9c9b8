// Calls that share a file: many encryptions of one file in place at once,
// through two paths and from two processes, and outputs that are FIFOs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "crypto.h"
#include "testutil.h"

namespace {

const char kPassword[] = "layer on layer";

using testutil::patterned;
using testutil::writeFile;

// One layer of the salted AES-256-CBC format taken off; false when the bytes
// are not such a file under kPassword.
bool decryptLayer(const std::string& in, std::string* out) {
  if (in.size() < 32 || in.compare(0, 8, "Salted__") != 0 || (in.size() - 16) % 16 != 0) {
    return false;
  }
  const unsigned char* salt = reinterpret_cast<const unsigned char*>(in.data() + 8);
  unsigned char key[EVP_MAX_KEY_LENGTH];
  unsigned char iv[EVP_MAX_IV_LENGTH];
  const EVP_CIPHER* cipher = EVP_aes_256_cbc();
  if (EVP_BytesToKey(cipher, EVP_md5(), salt, reinterpret_cast<const unsigned char*>(kPassword),
                     static_cast<int>(strlen(kPassword)), 1, key, iv) == 0) {
    return false;
  }
  std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> ctx(EVP_CIPHER_CTX_new(),
                                                                  EVP_CIPHER_CTX_free);
  std::vector<unsigned char> plain(in.size());
  int n = 0, last = 0;
  const unsigned char* body = reinterpret_cast<const unsigned char*>(in.data() + 16);
  if (!ctx || EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, key, iv) == 0 ||
      EVP_DecryptUpdate(ctx.get(), plain.data(), &n, body, static_cast<int>(in.size() - 16)) == 0 ||
      EVP_DecryptFinal_ex(ctx.get(), plain.data() + n, &last) == 0) {
    return false;
  }
  out->assign(reinterpret_cast<const char*>(plain.data()), static_cast<size_t>(n + last));
  return true;
}

// Takes off layers layers; the text of the first failure, or "" when they all
// came off and left original.
std::string peel(std::string data, int layers, const std::string& original) {
  for (int i = 0; i < layers; i++) {
    std::string inner;
    if (!decryptLayer(data, &inner)) return "layer " + std::to_string(i + 1) + " does not decrypt";
    data.swap(inner);
  }
  if (data != original) return "the innermost layer is not the original";
  return "";
}

// Encrypts path in place count times; the number of calls that succeeded.
int encryptInPlace(const std::string& path, int count, unsigned seed) {
  int done = 0;
  for (int i = 0; i < count; i++) {
    unsigned char salt[8];
    for (int b = 0; b < 8; b++) salt[b] = static_cast<unsigned char>(seed * 31 + i * 7 + b);
    if (EncryptAes256Cbc(path.c_str(), path.c_str(), kPassword, salt)) done++;
  }
  return done;
}

class CryptoShared : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    file = dir.file("file");
    writeFile(file, original);
    // A second path to the same file: a hard link, and a symbolic link to that.
    ASSERT_EQ(0, link(file.c_str(), dir.file("hard").c_str()));
    ASSERT_EQ(0, symlink("hard", dir.file("soft").c_str()));
    paths = {file, dir.file("soft")};
  }

  testutil::TempDir dir;
  const std::string original = patterned(200000, 5);
  std::string file;
  std::vector<std::string> paths;
};

// Every call that succeeds adds one whole layer: none reads another's
// half-written file, none is lost.
TEST_F(CryptoShared, ThreadsInPlaceThroughTwoPathsAddOneLayerEach) {
  const int kThreads = 6, kCalls = 5;
  std::vector<std::future<int>> calls;
  std::atomic<bool> go(false);
  for (int t = 0; t < kThreads; t++) {
    const std::string path = paths[t % paths.size()];
    calls.push_back(std::async(std::launch::async, [&go, path, t] {
      while (!go) std::this_thread::yield();
      return encryptInPlace(path, kCalls, static_cast<unsigned>(t));
    }));
  }
  go = true;
  int layers = 0;
  for (auto& c : calls) layers += c.get();
  EXPECT_EQ(kThreads * kCalls, layers) << "calls that failed";
  EXPECT_EQ("", peel(testutil::readFile(file), layers, original));
}

// The same from two processes, one through each path.
TEST_F(CryptoShared, ProcessesInPlaceAddOneLayerEach) {
  const int kCalls = 15;
  std::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(encryptInPlace(paths[1], kCalls, 1000));
  const int mine = encryptInPlace(paths[0], kCalls, 2000);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  const int theirs = WEXITSTATUS(status);
  EXPECT_EQ(kCalls, mine);
  EXPECT_EQ(kCalls, theirs);
  EXPECT_EQ("", peel(testutil::readFile(file), mine + theirs, original));
}

// The result of one call into a FIFO, and whether it came back within 20 s;
// a call still waiting is released by a reader of the test's own.
struct FifoCall {
  bool returned;
  bool result;
};

FifoCall encryptIntoFifo(const std::string& input, const std::string& fifo) {
  std::future<bool> call = std::async(std::launch::async, [&] {
    unsigned char salt[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    return EncryptAes256Cbc(input.c_str(), fifo.c_str(), kPassword, salt);
  });
  FifoCall c;
  c.returned = call.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  if (!c.returned) {
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    char buf[4096];
    while (call.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
      if (reader >= 0) (void)read(reader, buf, sizeof(buf));
    }
    if (reader >= 0) close(reader);
  }
  c.result = call.get();
  return c;
}

TEST_F(CryptoShared, FifoOutputRefusedWithoutWaiting) {
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));

  FifoCall alone = encryptIntoFifo(file, fifo);
  EXPECT_TRUE(alone.returned) << "the call waited for a reader";
  EXPECT_FALSE(alone.result);

  // With a reader waiting the FIFO is refused all the same: it gets nothing.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  FifoCall withReader = encryptIntoFifo(file, fifo);
  EXPECT_TRUE(withReader.returned);
  EXPECT_FALSE(withReader.result);
  char buf[64];
  EXPECT_EQ(0, ::read(reader, buf, sizeof(buf))) << "bytes reached the FIFO";
  close(reader);

  struct stat st;
  ASSERT_EQ(0, lstat(fifo.c_str(), &st));
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(original, testutil::readFile(file)) << "the input changed";
}

}  // namespace
