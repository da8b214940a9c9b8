// JNIUtils::ToLong over arbitrary text, and ToString of arbitrary values
// read back by ToLong.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzzcheck.h"
#include "jniutils.h"

namespace {

const jlong kDef = 0x5eed5eed5eedLL;

// The text is an optional leading '-' followed by digits only.
bool isDecimal(const std::string& s) {
  size_t i = !s.empty() && s[0] == '-' ? 1 : 0;
  for (; i < s.size(); i++) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  return true;
}

void checkText(const std::string& text) {
  std::string copy = text;
  jlong got = JNIUtils::ToLong(copy, kDef);
  FUZZ_CHECK(copy == text);
  if (text.empty()) {
    FUZZ_CHECK(got == 0);
    return;
  }
  if (!isDecimal(text)) {
    FUZZ_CHECK(got == kDef);
    return;
  }
  bool negative = text[0] == '-';
  std::string digits = text.substr(negative ? 1 : 0);
  // Within range the value is the one strtoll reads.
  size_t first = digits.find_first_not_of('0');
  size_t significant = first == std::string::npos ? 0 : digits.size() - first;
  if (significant <= 18) {
    errno = 0;
    long long want = digits.empty() ? 0 : std::strtoll(text.c_str(), nullptr, 10);
    FUZZ_CHECK(errno == 0);
    FUZZ_CHECK(got == want);
  }
  // Leading zeros change nothing; "-" and the digits compose.
  std::string padded = (negative ? "-0" : "0") + digits;
  FUZZ_CHECK(JNIUtils::ToLong(padded, kDef) == got);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  checkText(text);
  if (size >= sizeof(int64_t)) {
    int64_t v;
    std::memcpy(&v, data, sizeof(v));
    std::string s = JNIUtils::ToString(v);
    FUZZ_CHECK(s == std::to_string(static_cast<long long>(v)));
    FUZZ_CHECK(JNIUtils::ToLong(s, kDef) == v);
  }
  return 0;
}
