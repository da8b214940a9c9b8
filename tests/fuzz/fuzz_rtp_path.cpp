// The RTP port of a real paired endpoint fed arbitrary datagrams over
// loopback. First byte: the pair (plain, SRTP in, SRTP out, learning); the
// rest is the datagram.
#include "relay_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  relayfuzz::Relay& relay = relayfuzz::Relay::get();
  relayfuzz::Mode mode = static_cast<relayfuzz::Mode>(data[0] % relayfuzz::kModes);
  std::string in(reinterpret_cast<const char*>(data + 1), size - 1);
  if (in.size() > relayfuzz::kMaxDatagram) in.resize(relayfuzz::kMaxDatagram);
  std::vector<std::string> out = relay.feed(mode, false, in);
  relayfuzz::checkForwarded(relay, mode, false, in, out);
  return 0;
}
