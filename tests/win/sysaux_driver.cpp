// Drives the utility library's exports through the fake JNI environment:
//   sysaux_driver <library> <directory>
// writes fixed inputs and their encryptions (enc_<case>_<bits>.bin) into the
// directory and checks the native exports and the process figures. Built for Windows (i686, under
// wine) and for Linux, so the two builds' outputs can be compared byte for byte.
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "fakejni.h"
#include "wincheck.h"

namespace {

typedef jboolean(JNICALL* EncryptFn)(JNIEnv*, jclass, jstring, jstring, jstring, jbyteArray);
typedef jlong(JNICALL* FigureFn)(JNIEnv*, jclass);
typedef bool (*NativeEncryptFn)(const char*, const char*, const char*, unsigned char*);



void* symbol(void* lib, const char* name) {
#ifdef _WIN32
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), name));
#else
  return dlsym(lib, name);
#endif
}

void* openLibrary(const char* path) {
#ifdef _WIN32
  return reinterpret_cast<void*>(LoadLibraryA(path));
#else
  return dlopen(path, RTLD_NOW);
#endif
}

long long processId() {
#ifdef _WIN32
  return static_cast<long long>(GetCurrentProcessId());
#else
  return static_cast<long long>(getpid());
#endif
}

void writeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

long fileSize(const std::string& path) {
  std::ifstream in(path.c_str(), std::ios::binary | std::ios::ate);
  return in ? static_cast<long>(in.tellg()) : -1;
}

struct Case {
  const char* name;
  std::string input;
  const char* password;
};

std::vector<Case> cases() {
  std::string all;
  for (int i = 0; i < 1000; i++) all += static_cast<char>(i % 256);  // CR, LF, NUL, 0x1A
  return {
      {"empty", "", "secret"},
      {"block", "0123456789abcdef", "secret"},
      {"block1", "0123456789abcdefX", "secret"},
      {"lines", "one\ntwo\r\nthree\n", "pass word"},
      {"binary", all, "secret"},
      {"nopass", "salt only", ""},
  };
}

void encryptCases(void* lib, const std::string& dir) {
  const std::vector<jbyte> salt = {1, 2, 3, 4, 5, 6, 7, 8, 9};  // only 8 are used
  struct Cipher {
    const char* bits;
    const char* name;
  } ciphers[] = {{"128", "Java_com_tavindo_util_crypto_CryptoUtil_encryptAes128Cbc0"},
                 {"256", "Java_com_tavindo_util_crypto_CryptoUtil_encryptAes256Cbc0"}};
  for (const Cipher& c : ciphers) {
    EncryptFn fn = reinterpret_cast<EncryptFn>(symbol(lib, c.name));
    check(fn != nullptr, std::string("export ") + c.name);
    if (fn == nullptr) continue;
    for (const Case& k : cases()) {
      std::string in = dir + "/in_" + k.name + ".bin";
      std::string out = dir + "/enc_" + k.name + "_" + c.bits + ".bin";
      writeFile(in, k.input);
      jboolean ok = fn(fakejni::env(), fakejni::nativeClass(), fakejni::newString(in.c_str()),
                       fakejni::newString(out.c_str()), fakejni::newString(k.password),
                       fakejni::newByteArray(salt));
      long expected = 16 + 16 * (static_cast<long>(k.input.size()) / 16 + 1);
      check(ok == JNI_TRUE, out + " encrypted");
      check(fileSize(out) == expected, out + " has " + std::to_string(expected) + " bytes");
    }
    // Refusals: a salt shorter than 8 bytes and an empty output path.
    std::string in = dir + "/in_block.bin";
    std::string out = dir + "/refused_" + c.bits + ".bin";
    check(fn(fakejni::env(), fakejni::nativeClass(), fakejni::newString(in.c_str()),
             fakejni::newString(out.c_str()), fakejni::newString("pw"),
             fakejni::newByteArray({1, 2, 3})) == JNI_FALSE && fileSize(out) < 0,
          "short salt refused");
    check(fn(fakejni::env(), fakejni::nativeClass(), fakejni::newString(in.c_str()),
             fakejni::newString(""), fakejni::newString("pw"), fakejni::newByteArray(salt)) ==
              JNI_FALSE,
          "empty output path refused");
  }
}

// The native functions exported besides the JNI methods: the encryption
// functions in both builds, the two size functions on Linux only. Run after
// encryptCases: a native function writes what its JNI method wrote.
void nativeExports(void* lib, const std::string& dir) {
#ifdef _WIN32
  const bool sizes = false;
#else
  const bool sizes = true;
#endif
  struct Export {
    const char* name;
    bool present;
  } exports[] = {{"EncryptAesXXXCbc", true}, {"EncryptAes128Cbc", true},
                 {"EncryptAes256Cbc", true}, {"getCurrentRSS", sizes},
                 {"getPeakRSS", sizes}};
  for (const Export& e : exports) {
    check((symbol(lib, e.name) != nullptr) == e.present,
          std::string(e.present ? "export " : "no export ") + e.name);
  }
  struct Native {
    const char* name;
    const char* bits;
  } natives[] = {{"EncryptAes128Cbc", "128"}, {"EncryptAes256Cbc", "256"}};
  for (const Native& n : natives) {
    NativeEncryptFn fn = reinterpret_cast<NativeEncryptFn>(symbol(lib, n.name));
    if (fn == nullptr) continue;
    unsigned char salt[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::string in = dir + "/in_binary.bin";
    std::string out = dir + "/native_binary_" + n.bits + ".bin";
    check(fn(in.c_str(), out.c_str(), "secret", salt), out + " encrypted");
    std::string want = readAll(dir + "/enc_binary_" + n.bits + ".bin");
    check(!want.empty() && readAll(out) == want, out + " equals the JNI method's output");
  }
}

void processFigures(void* lib) {
  FigureFn rss = reinterpret_cast<FigureFn>(
      symbol(lib, "Java_com_tavindo_util_system_ProcessInfo_getRss0"));
  FigureFn peak = reinterpret_cast<FigureFn>(
      symbol(lib, "Java_com_tavindo_util_system_ProcessInfo_getPeakRss0"));
  FigureFn pid = reinterpret_cast<FigureFn>(
      symbol(lib, "Java_com_tavindo_util_system_ProcessInfo_getPid0"));
  check(rss != nullptr && peak != nullptr && pid != nullptr, "process figure exports");
  if (rss == nullptr || peak == nullptr || pid == nullptr) return;
  jlong before = rss(fakejni::env(), nullptr);
  std::vector<char> grow(8 << 20, 1);  // 8 MiB touched
  jlong after = rss(fakejni::env(), nullptr);
  jlong top = peak(fakejni::env(), nullptr);
  check(before > 0, "rss > 0");
  check(after >= before + (4 << 20), "rss grows with touched memory");
  check(top >= after, "peak rss >= rss");
  check(pid(fakejni::env(), nullptr) == processId(), "pid is the process id");
  const volatile char* keep = grow.data();  // the buffer lives up to here
  (void)keep[grow.size() - 1];
  std::printf("rss=%lld peak=%lld pid=%lld\n", static_cast<long long>(after),
              static_cast<long long>(top), static_cast<long long>(pid(fakejni::env(), nullptr)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::printf("usage: sysaux_driver <library> <directory>\n");
    return 2;
  }
  void* lib = openLibrary(argv[1]);
  check(lib != nullptr, std::string("load ") + argv[1]);
  if (lib != nullptr) {
    encryptCases(lib, argv[2]);
    nativeExports(lib, argv[2]);
    processFigures(lib);
  }
  std::printf("sysaux driver: %d checks, %d failed\n", wincheck::checks, wincheck::failures);
  return wincheck::failures == 0 ? 0 : 1;
}
