// classifyDatagram over arbitrary first bytes: never reads past the
// datagram, and every kind agrees with the bytes that decide it.
#include <cstdint>
#include <cstring>
#include <vector>

#include "RTPex.h"
#include "fuzzcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The exact length on the heap: a read beyond it is caught by ASan.
  std::vector<signed char> buf(data, data + size);
  int len = static_cast<int>(size);
  int kind = classifyDatagram(buf.data(), len);
  FUZZ_CHECK(kind == KIND_RTP || kind == KIND_RTCP || kind == KIND_STUN || kind == KIND_DTLS ||
             kind == KIND_UNKNOWN);
  if (len < 8) {
    FUZZ_CHECK(kind == KIND_UNKNOWN);
    return 0;
  }
  unsigned b0 = data[0];
  unsigned type = data[1] & 0x7F;
  bool rtcpType = type == 64 || type == 65 || (type >= 72 && type <= 79);
  if (b0 >= 0x80 && b0 <= 0xBF) {
    FUZZ_CHECK(kind == (rtcpType ? KIND_RTCP : KIND_RTP));
  } else if (b0 >= 20 && b0 <= 63) {
    FUZZ_CHECK(kind == KIND_DTLS);
  } else {
    bool stun = (b0 & 0xC0) == 0 && std::memcmp(data + 4, "\x21\x12\xA4\x42", 4) == 0;
    FUZZ_CHECK(kind == (stun ? KIND_STUN : KIND_UNKNOWN));
  }
  // The length beyond the eighth byte never changes the kind.
  FUZZ_CHECK(classifyDatagram(buf.data(), 8) == kind);
  return 0;
}
