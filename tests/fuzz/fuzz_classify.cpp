// classifyDatagram over arbitrary first bytes: never reads past the
// datagram, gives a known kind only from 8 bytes on and only where the
// bytes that mark that kind are present, and ignores what follows them.
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
  // Each kind holds the first byte that marks it.
  unsigned b0 = data[0];
  if (kind == KIND_RTP || kind == KIND_RTCP) FUZZ_CHECK(b0 >= 0x80 && b0 <= 0xBF);
  if (kind == KIND_DTLS) FUZZ_CHECK(b0 >= 20 && b0 <= 63);
  if (kind == KIND_STUN) {
    FUZZ_CHECK((b0 & 0xC0) == 0 && std::memcmp(data + 4, "\x21\x12\xA4\x42", 4) == 0);
  }
  // The length beyond the eighth byte never changes the kind.
  FUZZ_CHECK(classifyDatagram(buf.data(), 8) == kind);
  return 0;
}
