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
#include <windows.h>
#else
#include <sys/file.h>
#include <unistd.h>
#endif

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "jniutils.h"

namespace {

const long kMaxInputSize = 0xFFFFF;  // 1,048,575 bytes
const size_t kSaltSize = 8;
const size_t kHeaderSize = 16;  // "Salted__" and the salt

typedef std::unique_ptr<FILE, int (*)(FILE*)> FilePtr;
typedef std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> CipherCtxPtr;

// Where a file lives: equal ids name the same file (known only for disk files).
struct FileId {
  unsigned long long volume = 0;
  unsigned long long index = 0;
  bool known = false;
};

bool sameFile(const FileId& a, const FileId& b) {
  return a.known && b.known && a.volume == b.volume && a.index == b.index;
}

// What the platform shims tell about an open file.
struct FileKind {
  FileId id;
  bool regular = false;
  bool pipe = false;  // a FIFO or a socket: not a file to write an encryption into
};

// Platform shims of the file steps.
#ifdef _WIN32

FILE* openInputFile(const char* path) { return fopen(path, "rb"); }
bool describe(int fd, FileKind* kind) {
  const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  const DWORD type = GetFileType(h);
  if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) return false;
  kind->regular = type == FILE_TYPE_DISK;
  kind->pipe = type == FILE_TYPE_PIPE;
  if (!kind->regular) return true;  // a device such as NUL has no file id
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) return false;
  kind->id.volume = info.dwVolumeSerialNumber;
  kind->id.index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  kind->id.known = true;
  return true;
}
int openOutput(const char* path) {
  return _open(path, _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}
bool blockingAgain(int) { return true; }
// Locks taken by LockFileEx are mandatory: the in-place write through a second
// handle would fail. Calls of this process still take turns (FileTurn).
void lockFile(int) {}
void unlockFile(int) {}
ssize_t writeSome(int fd, const unsigned char* p, size_t len) {
  return _write(fd, p, static_cast<unsigned>(len));
}
bool rewindFile(int fd) { return _lseek(fd, 0, SEEK_SET) == 0; }
bool truncateFile(int fd, size_t size) { return _chsize_s(fd, static_cast<__int64>(size)) == 0; }
bool closeFile(int fd) { return _close(fd) == 0; }

#else

// Non-blocking, so that a FIFO put in place after the check cannot hold the caller.
FILE* openInputFile(const char* path) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, "rb");
  if (f == nullptr) close(fd);
  return f;
}
bool describe(int fd, FileKind* kind) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  kind->regular = S_ISREG(st.st_mode);
  kind->pipe = S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
  kind->id.volume = static_cast<unsigned long long>(st.st_dev);
  kind->id.index = static_cast<unsigned long long>(st.st_ino);
  kind->id.known = true;
  return true;
}
// Non-blocking, so that a FIFO without a reader fails at once instead of
// holding the caller; the output is then refused as a pipe, or made blocking
// again for the writes.
int openOutput(const char* path) {
  return open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
}
bool blockingAgain(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}
// An advisory lock on the whole file, for calls of other processes. flock,
// not fcntl: its lock belongs to the open file, not to the process, so
// closing the output descriptor of the same file does not drop it. On a file
// system without locks the in-process turn is all there is.
void lockFile(int fd) {
  while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
}
void unlockFile(int fd) { flock(fd, LOCK_UN); }
ssize_t writeSome(int fd, const unsigned char* p, size_t len) { return write(fd, p, len); }
bool rewindFile(int fd) { return lseek(fd, 0, SEEK_SET) == 0; }
bool truncateFile(int fd, size_t size) { return ftruncate(fd, static_cast<off_t>(size)) == 0; }
bool closeFile(int fd) { return close(fd) == 0; }

#endif  // _WIN32

// Opens the input; false when it is not a regular file or cannot be opened.
bool openInput(const char* path, FilePtr* f, FileId* id) {
  // Checked before the open: opening a FIFO or a device could block or act on it.
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  f->reset(openInputFile(path));
  if (!*f) return false;
  FileKind kind;
  if (!describe(fileno(f->get()), &kind) || !kind.regular) return false;
  *id = kind.id;
  return true;
}

// Reads the whole file; false when it cannot be sized, is larger than the
// limit, or does not read back as exactly its size.
bool readInput(FILE* f, std::vector<unsigned char>* data) {
  if (fseek(f, 0, SEEK_END) != 0) return false;
  const long n = ftell(f);
  if (n < 0 || n > kMaxInputSize) return false;
  if (fseek(f, 0, SEEK_SET) != 0) return false;
  data->resize(static_cast<size_t>(n));
  if (fread(data->data(), 1, data->size(), f) != data->size()) return false;
  // More bytes than its size, or a read error, means it was not read whole.
  return fgetc(f) == EOF && !ferror(f);
}

// Calls on one file (one device and inode, whatever the path) take turns from
// the read to the end of the write: a read in the middle of another call's
// in-place write would take half a ciphertext for the file. An entry lives
// while a call holds or awaits its turn.
class FileTurns {
 public:
  void acquire(const FileId& id) {
    std::unique_lock<std::mutex> hold(mu);
    Turn& turn = turns[key(id)];
    turn.users++;
    turn.freed.wait(hold, [&turn] { return !turn.busy; });
    turn.busy = true;
  }

  void release(const FileId& id) {
    std::lock_guard<std::mutex> hold(mu);
    auto it = turns.find(key(id));
    if (it == turns.end()) return;
    it->second.busy = false;
    if (--it->second.users == 0) {
      turns.erase(it);
    } else {
      it->second.freed.notify_one();
    }
  }

 private:
  typedef std::pair<unsigned long long, unsigned long long> Key;
  struct Turn {
    bool busy = false;  // a call holds the turn
    int users = 0;      // the holder and the waiters
    std::condition_variable freed;
  };

  static Key key(const FileId& id) { return Key(id.volume, id.index); }

  std::mutex mu;
  std::map<Key, Turn> turns;  // guarded by mu
};

// Never freed: a Java thread may still be in a call while the process exits.
FileTurns& fileTurns() {
  static FileTurns* turns = new FileTurns();
  return *turns;
}

// Holds the turn of the input's file in this process, then its advisory lock
// (fd is the input's descriptor), for the length of a scope.
class FileTurn {
 public:
  FileTurn(const FileId& id, int fd) : id(id), fd(fd) {
    fileTurns().acquire(id);
    lockFile(fd);
  }
  ~FileTurn() {
    unlockFile(fd);
    fileTurns().release(id);
  }
  FileTurn(const FileTurn&) = delete;
  FileTurn& operator=(const FileTurn&) = delete;

 private:
  const FileId id;
  const int fd;
};

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

// Writes data to the file at output, where and what it is (a link's target, a
// device), as opening it for writing with truncation would; a FIFO or a
// socket is refused before anything is written. The input's own file is
// overwritten first and cut to the new length after, so that a failed write
// can put the input's bytes back (they are the only copy), and bytes a writer
// appended after the read do not trail the output.
bool writeOutput(const char* output, const std::vector<unsigned char>& data,
                 const FileId& input, const std::vector<unsigned char>& plain) {
  const int fd = openOutput(output);
  if (fd < 0) return false;
  FileKind kind;
  if (!describe(fd, &kind) || kind.pipe || !blockingAgain(fd)) {
    closeFile(fd);
    return false;
  }
  const bool inPlace = sameFile(kind.id, input);
  bool ok = !kind.regular || inPlace || truncateFile(fd, 0);
  ok = ok && writeAll(fd, data.data(), data.size());
  if (ok && inPlace) ok = truncateFile(fd, data.size());
  if (!ok && inPlace && rewindFile(fd) && writeAll(fd, plain.data(), plain.size())) {
    truncateFile(fd, plain.size());
  }
  return closeFile(fd) && ok;
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
    FilePtr in(nullptr, fclose);
    FileId inputId;
    if (!openInput(input, &in, &inputId)) return false;
    FileTurn turn(inputId, fileno(in.get()));
    std::vector<unsigned char> plain;
    if (!readInput(in.get(), &plain)) return false;
    std::vector<unsigned char> file;
    if (!encrypt(plain, password, salt, cipher, &file)) return false;
    return writeOutput(output, file, inputId, plain);
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
