// unprotectRTP and unprotectRTCP over arbitrary bytes, with a fresh inbound
// context per input (so the replay window never carries over): never a
// read or write outside the datagram, and a length that only shrinks.
#include <srtp2/srtp.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "RTPex.h"
#include "SRTPInfo.h"
#include "fuzzcheck.h"
#include "testutil.h"

namespace {

// The master key of the kept corpus: its valid packets were protected
// with it.
const char kKey[] = "0123456789abcdefghijklmnopqrst";

RTPex* partner() {
  static testutil::TempDir logDir;
  static RTPex* ep = [] {
    InitTrace(logDir.file("proxy.log"));
    srtp_init();
    SRTPInfo::initStatic();
    return new RTPex();
  }();
  return ep;
}

}  // namespace

// First byte: bit 0 RTCP, bit 1 the 32-bit tag suite; the rest the datagram.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  RTPex* ep = partner();
  bool rtcp = (data[0] & 1) != 0;
  short suite = (data[0] & 2) != 0 ? SRTPInfo::SUITE_AES_CM_128_HMAC_SHA1_32 : 0;
  std::vector<signed char> key(kKey, kKey + SRTPInfo::KEY_LEN);
  ep->createCryptoToRecv(suite, key.data(), SRTPInfo::KEY_LEN);
  FUZZ_CHECK(ep->cryptoRecv != nullptr);

  int original = static_cast<int>(size - 1);
  // The exact length on the heap: ASan catches any access beyond it.
  std::vector<signed char> buf(data + 1, data + size);
  int len = original;
  bool plain = rtcp ? unprotectRTCP(ep, buf.data(), &len) : unprotectRTP(ep, buf.data(), &len);
  FUZZ_CHECK(len >= 0 && len <= original);
  if (plain) {
    FUZZ_CHECK(len < original);  // the tag at least is gone
  } else {
    // A failed RTP retry drops one byte; nothing else changes the length.
    FUZZ_CHECK(len == original || (!rtcp && original >= 12 && len == original - 1));
  }
  return 0;
}
