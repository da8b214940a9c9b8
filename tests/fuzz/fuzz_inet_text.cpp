// The address text of arbitrary socket addresses (getIPStrAndPort and the
// InetAddrPort records filled from a receiver), and arbitrary destination
// text stored in a leg's records.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "RTPex.h"
#include "fuzzcheck.h"

namespace {

// A receiver whose last sender is set by hand.
class FakeReceiver : public UDPreceiver {
 public:
  void setLast(const sockaddr_storage& ss) { lastAddr = ss; }
};

const unsigned long kUntouched = 0xdeadbeef;

bool onlyAddressChars(const char* text) {
  for (const char* p = text; *p != '\0'; p++) {
    if (std::strchr("0123456789abcdef:.", *p) == nullptr) return false;
  }
  return true;
}

void checkV6(const sockaddr_in6& sin6) {
  char text[40];
  std::memset(text, 'x', sizeof(text));
  unsigned long scope = kUntouched;
  unsigned short port =
      SocketCore::getIPStrAndPort(reinterpret_cast<const sockaddr*>(&sin6), text, &scope);
  FUZZ_CHECK(std::memchr(text, '\0', sizeof(text)) != nullptr);
  FUZZ_CHECK(onlyAddressChars(text));
  FUZZ_CHECK(port == ntohs(sin6.sin6_port));
  FUZZ_CHECK(scope == sin6.sin6_scope_id);
  in6_addr back;
  FUZZ_CHECK(inet_pton(AF_INET6, text, &back) == 1);
  FUZZ_CHECK(std::memcmp(&back, &sin6.sin6_addr, sizeof(back)) == 0);
  // The platform's formatter follows the same compression rule.
  char platform[INET6_ADDRSTRLEN];
  FUZZ_CHECK(inet_ntop(AF_INET6, &sin6.sin6_addr, platform, sizeof(platform)) != nullptr);
  FUZZ_CHECK(std::strcmp(text, platform) == 0);
}

void checkV4(const sockaddr_in& sin) {
  char text[40];
  unsigned long scope = kUntouched;
  unsigned short port =
      SocketCore::getIPStrAndPort(reinterpret_cast<const sockaddr*>(&sin), text, &scope);
  FUZZ_CHECK(std::strlen(text) <= 15);
  FUZZ_CHECK(port == ntohs(sin.sin_port));
  FUZZ_CHECK(scope == 0);
  in_addr back;
  FUZZ_CHECK(inet_pton(AF_INET, text, &back) == 1);
  FUZZ_CHECK(back.s_addr == sin.sin_addr.s_addr);
}

// The record a receiver fills agrees with getIPStrAndPort.
void checkRecord(const sockaddr_storage& ss) {
  FakeReceiver r;
  r.setLast(ss);
  InetAddrPort rec;
  r.getRemoteAddrAndPortOfLast(&rec);
  char text[40];
  unsigned long scope = rec.scopeId;
  unsigned short port =
      SocketCore::getIPStrAndPort(reinterpret_cast<const sockaddr*>(&ss), text, &scope);
  FUZZ_CHECK(rec.port == port);
  FUZZ_CHECK(rec.scopeId == scope);
  FUZZ_CHECK(std::strcmp(rec.addr, text) == 0);
  std::string addr;
  unsigned short p2 = 0;
  unsigned long s2 = 0;
  r.getRemoteAddrAndPortOfLast(&addr, &p2, &s2);
  FUZZ_CHECK(addr == text && p2 == port);
}

// Any destination text is kept whole, and the leg sends to the numeric form
// it came with (none here is looked up: the input may read as any name).
void checkTarget(const uint8_t* data, size_t size) {
  RTex leg;
  TargetText given;
  given.text.assign(reinterpret_cast<const char*>(data), size);
  if (size > 0 && (data[0] & 1) != 0) given.v4 = "192.0.2.1";
  int port = size > 0 ? data[0] * 257 : 0;
  leg.setTarget(given, port, size > 1 ? static_cast<int8_t>(data[1]) : 0, false);
  FUZZ_CHECK(leg.target.text == given.text);
  FUZZ_CHECK(leg.target.port == static_cast<uint16_t>(port));
  FUZZ_CHECK(leg.sendTo.port == leg.target.port);
  FUZZ_CHECK(given.v4 == leg.sendTo.addr);
  FUZZ_CHECK(leg.sendsToTarget());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  sockaddr_storage ss;
  std::memset(&ss, 0, sizeof(ss));
  std::memcpy(&ss, data + 1, std::min(size - 1, sizeof(ss)));
  switch (data[0] % 3) {
    case 0:
      ss.ss_family = AF_INET6;
      checkV6(*reinterpret_cast<const sockaddr_in6*>(&ss));
      break;
    case 1:
      ss.ss_family = AF_INET;
      checkV4(*reinterpret_cast<const sockaddr_in*>(&ss));
      break;
    default: {
      if (ss.ss_family == AF_INET || ss.ss_family == AF_INET6) ss.ss_family = AF_UNSPEC;
      char text[40];
      unsigned long scope = kUntouched;
      FUZZ_CHECK(SocketCore::getIPStrAndPort(reinterpret_cast<const sockaddr*>(&ss), text,
                                             &scope) == 0);
      FUZZ_CHECK(std::strcmp(text, "0.0.0.0") == 0 && scope == kUntouched);
      break;
    }
  }
  checkRecord(ss);
  checkTarget(data + 1, size - 1);
  return 0;
}
