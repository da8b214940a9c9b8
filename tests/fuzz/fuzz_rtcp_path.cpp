// The RTCP port of a real paired endpoint fed arbitrary datagrams over
// loopback. First byte: the pair (plain, SRTP in, SRTP out, learning); the
// rest is the datagram.
#include "relay_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return relayfuzz::fuzzPath(data, size, true);
}
