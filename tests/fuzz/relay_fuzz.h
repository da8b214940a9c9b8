// A relay for the receive-path fuzz targets: four paired endpoints on
// 127.0.0.1 (plain, SRTP removed on the way in, SRTP applied on the way
// out, learning with STUN latching), taken off the receive threads so the
// fuzz thread alone calls their received(), each datagram sent for real
// over loopback to the leg's socket first.
#ifndef TESTS_FUZZ_RELAY_FUZZ_H
#define TESTS_FUZZ_RELAY_FUZZ_H

#include <poll.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "RTPex.h"
#include "SRTPInfo.h"
#include "fuzzcheck.h"
#include "jlang.h"
#include "relaytest.h"

namespace relayfuzz {

enum Mode { kPlain = 0, kSrtpIn = 1, kSrtpOut = 2, kLearn = 3, kModes = 4 };

// The master key of the SRTP far ends; the kept corpus was protected with it.
const char kKey[] = "0123456789abcdefghijklmnopqrst";
const int kBufSize = 512;
const int kWaitMs = 10000;
const size_t kMaxDatagram = 65000;

struct Pair {
  RTPex* a;  // the fuzzed leg's endpoint
  RTPex* b;  // its partner, through which the datagram leaves
};

class Relay {
 public:
  // The one relay of the process, made at the first use.
  static Relay& get() {
    static Relay* relay = new Relay();
    return *relay;
  }

  // Sends bytes (at most kMaxDatagram) from the far end to a's RTP (or RTCP)
  // port, has that leg receive them, and returns what the partner's far end
  // got.
  std::vector<std::string> feed(Mode mode, bool rtcpPort, const std::string& bytes) {
    Pair& p = pairs[mode];
    resetFor(mode);
    RTex* leg = rtcpPort ? static_cast<RTex*>(&p.a->rtcp) : static_cast<RTex*>(p.a);
    FUZZ_CHECK(sendFrom(near, leg->udpSender.getDesc(), bytes));
    FUZZ_CHECK(readable(leg->udpSender.getDesc(), kWaitMs));
    leg->received(JLangSystem::currentTimeMillis());
    FUZZ_CHECK(!readable(leg->udpSender.getDesc(), 0));  // read exactly once
    drainEvents();
    return drain(far);
  }

  // The SRTP far end of kSrtpOut: the key its partner protects with now.
  std::string outboundKey() {
    Synchronized hold(SRTPInfo::wo);
    const SRTPInfo* ctx = pairs[kSrtpOut].b->cryptoSend;
    return std::string(reinterpret_cast<const char*>(ctx->policy.key), SRTPInfo::KEY_LEN);
  }

  static bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
  }

 private:
  Relay() : near(relaytest::bindUdp("127.0.0.1", 0)), far(relaytest::bindUdp("127.0.0.1", 0)) {
    InitTrace(logDir.file("proxy.log"));
    srtp_init();
    RTPex::initEngine();
    FUZZ_CHECK(near >= 0 && far >= 0);
    for (int m = 0; m < kModes; m++) open(static_cast<Mode>(m));
  }

  void open(Mode mode) {
    bool learn = mode == kLearn;
    int64_t ida = openOne(1 + 2 * mode, learn);
    int64_t idb = openOne(2 + 2 * mode, learn);
    FUZZ_CHECK(ida != 0 && idb != 0);
    Pair p{RTPex::idToObj(ida), RTPex::idToObj(idb)};  // pinned for the process
    FUZZ_CHECK(p.a != nullptr && p.b != nullptr);
    offReceiveThreads(p.a);
    offReceiveThreads(p.b);
    p.a->setSender(p.b);
    p.b->setSender(p.a);
    std::string ip = "127.0.0.1";
    int farPort = relaytest::localPortOf(far);
    p.a->setTarget(ip, farPort, 0, learn);
    p.a->rtcp.setTarget(ip, farPort, 0, learn);
    if (mode == kSrtpIn || mode == kSrtpOut) {
      RTPex* in = mode == kSrtpIn ? p.a : p.b;  // the endpoint whose far end speaks SRTP
      RTPex* out = in == p.a ? p.b : p.a;
      in->createCryptoToSend(0);
      setRecvKey(out);
      RTPex::startSrtp(in, out);
      FUZZ_CHECK(in->srtpMode.load() == 2 && out->srtpMode.load() == 0);
    }
    pairs[mode] = p;
  }

  static int64_t openOne(int64_t sid, bool learn) {
    return RTPex::newInstance(sid, 0, 61000, 61998, 61000, 0, 0, "fuzz", kBufSize, kBufSize,
                              learn ? 1 : 0, 0, 0, "127.0.0.1", 0);
  }

  static void setRecvKey(RTPex* ep) {
    std::vector<signed char> key(kKey, kKey + SRTPInfo::KEY_LEN);
    ep->createCryptoToRecv(0, key.data(), SRTPInfo::KEY_LEN);
  }

  // Both legs leave their receive thread; the wait ends once no thread
  // can still call them.
  static void offReceiveThreads(RTPex* ep) {
    RTex::dispatcher->removeRunner(&ep->rtcp);
    RTex::dispatcher->removeRunner(ep);
    FUZZ_CHECK(relaytest::waitUntil([ep] { return !stillPolled(ep); }));
  }

  static bool stillPolled(RTPex* ep) { return !ep->isSafeToDelete() || !ep->rtcp.isSafeToDelete(); }

  // Every input starts from the same state: first buffers, no STUN
  // candidates, learning armed again, a fresh inbound replay window.
  void resetFor(Mode mode) {
    Pair& p = pairs[mode];
    for (RTex* leg : {static_cast<RTex*>(p.a), static_cast<RTex*>(&p.a->rtcp)}) {
      delete[] leg->recvBuf;
      leg->recvBuf = nullptr;
      leg->recvBufSize = 0;
    }
    for (RTPex* ep : {p.a, p.b}) {
      ep->requestedBufSize = 0;
      Synchronized hold(&ep->addrLock);
      ep->stunState = 0;
      ep->stunCandidateCount = 0;
    }
    if (mode == kLearn) {
      for (RTex* leg : {static_cast<RTex*>(p.a), static_cast<RTex*>(&p.a->rtcp)}) {
        Synchronized hold(&leg->addrLock);
        std::memset(leg->learnedAddr.addr, 0, sizeof(leg->learnedAddr.addr));
        leg->learnedAddr.port = 0;
        leg->waitNat = true;
      }
      // The partner's far end was seen at the far socket.
      for (RTex* leg : {static_cast<RTex*>(p.b), static_cast<RTex*>(&p.b->rtcp)}) {
        Synchronized hold(&leg->addrLock);
        std::strcpy(leg->lastFrom.addr, "127.0.0.1");
        leg->lastFrom.port = static_cast<uint16_t>(relaytest::localPortOf(far));
      }
    }
    if (mode == kSrtpIn) setRecvKey(p.b);
    if (mode == kSrtpOut) {
      setRecvKey(p.a);
      p.b->createCryptoToSend(0);
    }
  }

  // Events for Java carry a pin each: given back here, as the worker would.
  static void drainEvents() {
    while (RTPex::evQ[1]->hasEvent()) {
      EventObj ev = RTPex::evQ[1]->nextEvent();
      if (ev.data != nullptr) RTPex::unpin(static_cast<RTPex*>(ev.data));
    }
  }

  static bool sendFrom(int fd, int toFd, const std::string& bytes) {
    sockaddr_storage ss;
    socklen_t len;
    relaytest::fillAddr("127.0.0.1", relaytest::localPortOf(toFd), &ss, &len);
    return ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&ss), len) ==
           static_cast<ssize_t>(bytes.size());
  }

  // Loopback delivers during sendto, so what was sent is already waiting.
  static std::vector<std::string> drain(int fd) {
    std::vector<std::string> got;
    static char buf[65536];
    for (int i = 0; i < 16; i++) {
      ssize_t n = ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
      if (n < 0) break;
      got.emplace_back(buf, static_cast<size_t>(n));
    }
    return got;
  }

  testutil::TempDir logDir;
  int near;  // the far end of every fuzzed leg
  int far;   // the far end of every partner
  Pair pairs[kModes];
};

// plain protected by the far end's partner must come back from its bytes.
inline bool roundTrips(const std::string& key, bool asRtcp, const std::string& got,
                       const std::string& plain) {
  std::vector<unsigned char> k(key.begin(), key.end());
  SRTPInfo rx(0, 0, k.data(), SRTPInfo::KEY_LEN, 1024);
  if (!rx.usable()) return false;
  std::string buf = got;
  int n = static_cast<int>(buf.size());
  Synchronized hold(SRTPInfo::wo);
  int r = asRtcp ? srtp_unprotect_rtcp(rx.session, &buf[0], &n)
                 : srtp_unprotect(rx.session, &buf[0], &n);
  return r == srtp_err_status_ok && buf.substr(0, static_cast<size_t>(n)) == plain;
}

inline bool passesRtcpPort(const std::string& d) {
  if (d.size() < 8) return false;
  unsigned b0 = static_cast<unsigned char>(d[0]);
  unsigned type = static_cast<unsigned char>(d[1]) & 0x7F;
  return b0 >= 0x80 && b0 <= 0xBF && type >= 72 && type <= 79;
}

// What the partner's far end got for the datagram in: the datagram
// unchanged, or converted by the pair's SRTP mode, or nothing when the path
// drops it.
inline void checkForwarded(Relay& relay, Mode mode, bool rtcpPort, const std::string& in,
                           const std::vector<std::string>& out) {
  FUZZ_CHECK(out.size() <= 1);
  std::string seen = in;
  bool asRtcp = true;
  if (rtcpPort) {
    // A datagram longer than the RTCP port's buffer is dropped, not cut.
    if (seen.size() > static_cast<size_t>(kBufSize) || !passesRtcpPort(seen)) {
      FUZZ_CHECK(out.empty());
      return;
    }
  } else {
    // A datagram that fills the buffer grows it and is dropped.
    if (in.empty() || in.size() >= static_cast<size_t>(kBufSize)) {
      FUZZ_CHECK(out.empty());
      return;
    }
    int kind = classifyDatagram(reinterpret_cast<const signed char*>(in.data()),
                                static_cast<int>(in.size()));
    if (kind != KIND_RTP && kind != KIND_RTCP) mode = kPlain;  // only media is converted
    asRtcp = kind == KIND_RTCP;
  }
  if (mode == kPlain || mode == kLearn) {
    FUZZ_CHECK(out.size() == 1 && out[0] == seen);
  } else if (mode == kSrtpIn && !out.empty()) {
    FUZZ_CHECK(out[0].size() < seen.size());  // at least the tag removed
  } else if (mode == kSrtpOut && !out.empty()) {
    FUZZ_CHECK(roundTrips(relay.outboundKey(), asRtcp, out[0], seen));
  }
}

// One input of the path targets: the first byte picks the pair, the rest is
// the datagram sent to the RTP port, or to the RTCP port with rtcpPort.
inline int fuzzPath(const uint8_t* data, size_t size, bool rtcpPort) {
  if (size < 1) return 0;
  Relay& relay = Relay::get();
  Mode mode = static_cast<Mode>(data[0] % kModes);
  std::string in(reinterpret_cast<const char*>(data + 1), size - 1);
  if (in.size() > kMaxDatagram) in.resize(kMaxDatagram);
  std::vector<std::string> out = relay.feed(mode, rtcpPort, in);
  checkForwarded(relay, mode, rtcpPort, in, out);
  return 0;
}

}  // namespace relayfuzz

#endif  // TESTS_FUZZ_RELAY_FUZZ_H
