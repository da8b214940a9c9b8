#include "crypto.h"

#include <errno.h>
#include <fcntl.h>
#include <jni.h>
#include <openssl/crypto.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "jniutils.h"

namespace {

const long kMaxInputSize = 0xFFFFF;  // 1,048,575 bytes
const size_t kSaltSize = 8;
const size_t kHeaderSize = 16;  // "Salted__" and the salt
const int kMaxTempTries = 100;

typedef std::unique_ptr<FILE, int (*)(FILE*)> FilePtr;
typedef std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> CipherCtxPtr;

// Reads the whole file; false when it cannot be opened or sized, is larger
// than the limit, or does not read back as exactly its size.
bool readInput(const char* path, std::vector<unsigned char>* data) {
  FilePtr f(fopen(path, "rb"), fclose);
  if (!f) return false;
  if (fseek(f.get(), 0, SEEK_END) != 0) return false;
  const long n = ftell(f.get());
  if (n < 0 || n > kMaxInputSize) return false;
  if (fseek(f.get(), 0, SEEK_SET) != 0) return false;
  data->resize(static_cast<size_t>(n));
  if (fread(data->data(), 1, data->size(), f.get()) != data->size()) return false;
  // More bytes than its size, or a read error, means it was not read whole.
  return fgetc(f.get()) == EOF && !ferror(f.get());
}

// Builds the whole output file: header, then ciphertext with padding.
bool encrypt(const std::vector<unsigned char>& plain, const char* password,
             const unsigned char* salt, const EVP_CIPHER* cipher,
             std::vector<unsigned char>* file) {
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  if (!ctx) return false;
  unsigned char key[EVP_MAX_KEY_LENGTH];
  unsigned char iv[EVP_MAX_IV_LENGTH];
  const bool keyed =
      EVP_BytesToKey(cipher, EVP_md5(), salt,
                     reinterpret_cast<const unsigned char*>(password),
                     static_cast<int>(strlen(password)), 1, key, iv) != 0 &&
      EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key, iv) != 0;
  OPENSSL_cleanse(key, sizeof(key));
  OPENSSL_cleanse(iv, sizeof(iv));
  if (!keyed) return false;

  file->assign(kHeaderSize + plain.size() + 32, 0);
  memcpy(file->data(), "Salted__", 8);
  memcpy(file->data() + 8, salt, kSaltSize);
  unsigned char* body = file->data() + kHeaderSize;
  int produced = 0;
  if (EVP_EncryptUpdate(ctx.get(), body, &produced, plain.data(),
                        static_cast<int>(plain.size())) == 0) {
    return false;
  }
  int last = 0;
  if (EVP_EncryptFinal_ex(ctx.get(), body + produced, &last) == 0) return false;
  file->resize(kHeaderSize + produced + last);
  return true;
}

// Platform shims of the file steps below.
#ifdef _WIN32

const char kPathSeparators[] = "/\\";
int processId() { return _getpid(); }
int createNew(const char* path) {
  return _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}
ssize_t writeSome(int fd, const unsigned char* p, size_t len) {
  return _write(fd, p, static_cast<unsigned>(len));
}
bool keepMode(const std::string&, int) { return true; }  // no permission bits to carry
bool syncFile(int fd) { return _commit(fd) == 0; }
bool closeFile(int fd) { return _close(fd) == 0; }
bool moveOver(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}
void removeFile(const char* path) { _unlink(path); }

#else

const char kPathSeparators[] = "/";
int processId() { return static_cast<int>(getpid()); }
int createNew(const char* path) {
  return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}
ssize_t writeSome(int fd, const unsigned char* p, size_t len) { return write(fd, p, len); }
// A replaced output keeps its permission bits.
bool keepMode(const std::string& output, int fd) {
  struct stat st;
  if (stat(output.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return true;
  return fchmod(fd, st.st_mode & 07777) == 0;
}
bool syncFile(int fd) { return fsync(fd) == 0; }
bool closeFile(int fd) { return close(fd) == 0; }
bool moveOver(const char* from, const char* to) { return rename(from, to) == 0; }
void removeFile(const char* path) { unlink(path); }

#endif  // _WIN32

bool writeAll(int fd, const unsigned char* p, size_t len) {
  while (len > 0) {
    const ssize_t n = writeSome(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Creates a new (binary) file in the directory of output; its name goes to *tmp.
int createTemp(const std::string& output, std::string* tmp) {
  const size_t slash = output.find_last_of(kPathSeparators);
  const std::string dir = slash == std::string::npos ? "" : output.substr(0, slash + 1);
  const std::string stem = dir + ".enc." + std::to_string(processId()) + ".";
  for (int i = 0; i < kMaxTempTries; i++) {
    *tmp = stem + std::to_string(i) + ".tmp";
    const int fd = createNew(tmp->c_str());
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Writes data to a temporary file and moves it over output; on failure the
// temporary file is removed and output is untouched.
bool replaceOutput(const std::string& output, const std::vector<unsigned char>& data) {
  std::string tmp;
  const int fd = createTemp(output, &tmp);
  if (fd < 0) return false;
  bool ok = keepMode(output, fd) && writeAll(fd, data.data(), data.size()) && syncFile(fd);
  ok = closeFile(fd) && ok;
  ok = ok && moveOver(tmp.c_str(), output.c_str());
  if (!ok) removeFile(tmp.c_str());
  return ok;
}

typedef bool (*EncryptFn)(const char*, const char*, const char*, unsigned char*);

jboolean encryptFromJava(JNIEnv* env, jstring input, jstring output, jstring password,
                         jbyteArray salt, EncryptFn encryptFile) {
  if (salt == nullptr || env->GetArrayLength(salt) < static_cast<jsize>(kSaltSize)) {
    return JNI_FALSE;
  }
  jbyte* elements = env->GetByteArrayElements(salt, nullptr);
  if (elements == nullptr) return JNI_FALSE;
  unsigned char saltBytes[kSaltSize];
  memcpy(saltBytes, elements, kSaltSize);
  env->ReleaseByteArrayElements(salt, elements, JNI_ABORT);
  try {
    const std::string in = JNIUtils::ToStdString(env, input);
    const std::string out = JNIUtils::ToStdString(env, output);
    const std::string pw = JNIUtils::ToStdString(env, password);
    return encryptFile(in.c_str(), out.c_str(), pw.c_str(), saltBytes) ? JNI_TRUE : JNI_FALSE;
  } catch (const std::bad_alloc&) {
    return JNI_FALSE;
  }
}

}  // namespace

bool EncryptAesXXXCbc(const char* input, const char* output, const char* password,
                      unsigned char* salt, const EVP_CIPHER* cipher) {
  if (input == nullptr || output == nullptr || *output == '\0' || salt == nullptr ||
      cipher == nullptr) {
    return false;
  }
  if (password == nullptr) password = "";
  try {
    std::vector<unsigned char> plain;
    if (!readInput(input, &plain)) return false;
    std::vector<unsigned char> file;
    if (!encrypt(plain, password, salt, cipher, &file)) return false;
    return replaceOutput(output, file);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool EncryptAes128Cbc(const char* input, const char* output, const char* password,
                      unsigned char* salt) {
  return EncryptAesXXXCbc(input, output, password, salt, EVP_aes_128_cbc());
}

bool EncryptAes256Cbc(const char* input, const char* output, const char* password,
                      unsigned char* salt) {
  return EncryptAesXXXCbc(input, output, password, salt, EVP_aes_256_cbc());
}

extern "C" {

JNIEXPORT jboolean JNICALL Java_com_tavindo_util_crypto_CryptoUtil_encryptAes128Cbc0(
    JNIEnv* env, jclass, jstring input, jstring output, jstring password, jbyteArray salt) {
  return encryptFromJava(env, input, output, password, salt, EncryptAes128Cbc);
}

JNIEXPORT jboolean JNICALL Java_com_tavindo_util_crypto_CryptoUtil_encryptAes256Cbc0(
    JNIEnv* env, jclass, jstring input, jstring output, jstring password, jbyteArray salt) {
  return encryptFromJava(env, input, output, password, salt, EncryptAes256Cbc);
}

}  // extern "C"
