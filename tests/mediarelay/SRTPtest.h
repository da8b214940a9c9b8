// Helpers of the SRTP tests: libsrtp2 and the engine once per process, RTP
// and RTCP packets, protection with a context, keys, a pair of relay
// endpoints and far parties that speak plain RTP or SRTP with it.
#ifndef TESTS_SRTPTEST_H
#define TESTS_SRTPTEST_H

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "RTPex.h"
#include "SRTPInfo.h"
#include "pathtest.h"
#include "relaytest.h"

namespace srtptest {

inline void setUp() {
  static bool done = false;
  if (done) return;
  done = true;
  relaytest::setUpEngine();
  srtp_init();
}

inline void put32(std::string* s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) (*s)[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

// An RTP packet: version 2, payload type pt, seq, ssrc, payload bytes
// counting up from fill.
inline std::string rtp(uint16_t seq, uint32_t ssrc, int payloadLen, int pt = 0, int fill = 1) {
  std::string p(12 + payloadLen, '\0');
  p[0] = static_cast<char>(0x80);
  p[1] = static_cast<char>(pt & 0x7F);
  p[2] = static_cast<char>(seq >> 8);
  p[3] = static_cast<char>(seq);
  put32(&p, 4, 1000u * seq);
  put32(&p, 8, ssrc);
  for (int i = 0; i < payloadLen; i++) p[12 + i] = static_cast<char>(fill + i);
  return p;
}

// An RTCP sender report (type 200) of 28 bytes.
inline std::string rtcp(uint32_t ssrc, uint32_t count = 7) {
  std::string p(28, '\0');
  p[0] = static_cast<char>(0x80);
  p[1] = static_cast<char>(200);
  p[3] = 6;  // length in words minus one
  put32(&p, 4, ssrc);
  put32(&p, 20, count);
  put32(&p, 24, count * 160);
  return p;
}

inline std::string keyOf(const SRTPInfo* ctx) {
  return std::string(reinterpret_cast<const char*>(ctx->policy.key), SRTPInfo::KEY_LEN);
}

// plain protected with ctx's session (RTP or RTCP).
inline std::string protect(SRTPInfo* ctx, const std::string& plain, bool asRtcp) {
  Synchronized hold(SRTPInfo::wo);
  std::string buf(plain.size() + SRTP_MAX_TRAILER_LEN + 4, '\0');
  buf.replace(0, plain.size(), plain);
  int n = static_cast<int>(plain.size());
  int r = asRtcp ? srtp_protect_rtcp(ctx->session, &buf[0], &n)
                 : srtp_protect(ctx->session, &buf[0], &n);
  if (r != 0) return std::string();
  buf.resize(n);
  return buf;
}

// SRTP removed in place with ctx's session; libsrtp2's status (ok when
// the packet now holds the plain bytes).
inline srtp_err_status_t unprotectStatus(SRTPInfo* ctx, std::string* pkt, bool asRtcp) {
  Synchronized hold(SRTPInfo::wo);
  int n = static_cast<int>(pkt->size());
  srtp_err_status_t r = asRtcp ? srtp_unprotect_rtcp(ctx->session, &(*pkt)[0], &n)
                               : srtp_unprotect(ctx->session, &(*pkt)[0], &n);
  if (r == srtp_err_status_ok) pkt->resize(n);
  return r;
}

// SRTP removed in place with ctx's session; false when it fails.
inline bool unprotectWith(SRTPInfo* ctx, std::string* pkt, bool asRtcp) {
  return unprotectStatus(ctx, pkt, asRtcp) == srtp_err_status_ok;
}

// Two paired endpoints on 127.0.0.1 in the SRTP tests' port range, pinned
// for the test; closed and deleted (sockets gone) by close(), which needs
// the "GC" queue served.
class RelayPair {
 public:
  static const int kPortMin = 45000;
  static const int kPortMax = 46999;

  RelayPair() : a(nullptr), b(nullptr), idA(0), idB(0) {}
  ~RelayPair() { close(); }
  RelayPair(const RelayPair&) = delete;
  RelayPair& operator=(const RelayPair&) = delete;

  bool open(bool aPending = false, bool bPending = false) {
    idA = openOne(101, aPending);
    idB = openOne(102, bPending);
    if (idA == 0 || idB == 0) return false;
    a = RTPex::idToObj(idA);  // pinned until close()
    b = RTPex::idToObj(idB);
    if (a == nullptr || b == nullptr) return false;
    a->setSender(b);
    b->setSender(a);
    return true;
  }

  // Where what arrives on ep's ports is sent.
  static void target(RTPex* ep, int rtpPort, int rtcpPort) {
    std::string ip = "127.0.0.1";
    ep->setTarget(ip, rtpPort, 0, false);
    ep->rtcp.setTarget(ip, rtcpPort, 0, false);
  }

  bool close() {
    int ports[2] = {a != nullptr ? a->localPort : 0, b != nullptr ? b->localPort : 0};
    if (a != nullptr) RTPex::unpin(a);
    if (b != nullptr) RTPex::unpin(b);
    a = b = nullptr;
    if (idA != 0) RTPex::closeAndDelete(idA);
    if (idB != 0) RTPex::closeAndDelete(idB);
    idA = idB = 0;
    return relaytest::waitUntil([&] {
      for (int p : ports) {
        if (p != 0 && !relaytest::rangeFree("127.0.0.1", p, p + 1)) return false;
      }
      return true;
    });
  }

  RTPex* a;
  RTPex* b;
  int64_t idA;
  int64_t idB;

 private:
  static int64_t openOne(int64_t sid, bool pending) {
    return RTPex::newInstance(sid, 0, kPortMin, kPortMax, kPortMin, 0, 0, "host", 2048, 2048, 0,
                              0, pending ? 1 : 0, "127.0.0.1", 0);
  }
};

// A new outbound context on ep and its key, as createCryptoToSend0 gives it.
inline std::string newSendKey(RTPex* ep, short suite) {
  std::string key(SRTPInfo::KEY_LEN, '\0');
  ep->createCryptoToSend(suite, reinterpret_cast<unsigned char*>(&key[0]));
  return key;
}

inline void setRecvKey(RTPex* ep, short suite, std::string key) {
  ep->createCryptoToRecv(suite, reinterpret_cast<signed char*>(&key[0]),
                         static_cast<int>(key.size()));
}

// A far party with an RTP and an RTCP socket; with contexts it speaks SRTP.
struct FarParty {
  FarParty() = default;
  // Its sockets on ip, sending to the relay on 127.0.0.1 (a far end behind
  // a NAT, say).
  explicit FarParty(const char* ip) : media(ip, 0, "127.0.0.1"), control(ip, 0, "127.0.0.1") {}

  pathtest::FarEnd media{"127.0.0.1"};
  pathtest::FarEnd control{"127.0.0.1"};
  std::unique_ptr<SRTPInfo> send;  // protects what it sends
  std::unique_ptr<SRTPInfo> recv;  // removes SRTP from what it receives

  bool ok() const { return media.ok() && control.ok(); }

  // Makes its own send key and gives it to the relay's inbound context on
  // partner; takes the relay's key of ep as its receive key.
  void speakSrtp(RTPex* ep, RTPex* partner, short suite) {
    send.reset(new SRTPInfo(1, suite, nullptr, 0, 1024));
    srtptest::setRecvKey(partner, suite, srtptest::keyOf(send.get()));
    learnKeyOf(ep, suite);
  }
  void learnKeyOf(RTPex* ep, short suite) {
    std::string key = srtptest::newSendKey(ep, suite);
    recv.reset(new SRTPInfo(0, suite, reinterpret_cast<unsigned char*>(&key[0]), 30, 1024));
  }

  std::string wire(const std::string& plain, bool asRtcp) {
    return send ? protect(send.get(), plain, asRtcp) : plain;
  }
  bool sendMedia(int port, const std::string& plain) {
    return media.sendTo(port, wire(plain, false));
  }
  bool sendControl(int port, const std::string& plain) {
    return control.sendTo(port, wire(plain, true));
  }

  // The next datagram on a socket, with SRTP removed when it speaks SRTP.
  bool next(const pathtest::FarEnd* on, bool asRtcp, std::string* plain) {
    if (!on->receive(plain)) return false;
    return !recv || srtptest::unprotectWith(recv.get(), plain, asRtcp);
  }
};

// What arrives on A goes to farB, what arrives on B to farA.
inline void wire(RelayPair* pair, FarParty* farA, FarParty* farB) {
  RelayPair::target(pair->a, farB->media.port(), farB->control.port());
  RelayPair::target(pair->b, farA->media.port(), farA->control.port());
}

// Opens and wires the pair; farA speaks SRTP (suite 0) with A, and farB
// (suite 1) with B when both convert; then the pair starts.
inline bool startConverting(RelayPair* pair, FarParty* farA, FarParty* farB, bool bothConvert) {
  if (!farA->ok() || !farB->ok() || !pair->open()) return false;
  wire(pair, farA, farB);
  farA->speakSrtp(pair->a, pair->b, 0);
  if (bothConvert) farB->speakSrtp(pair->b, pair->a, 1);
  RTPex::startSrtp(pair->a, pair->b);
  return true;
}

// A fixture for tests through real endpoints: libsrtp2 and the engine set
// up, and both event queues served (deferred deletes, and events that pin
// endpoints).
class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setUp();
    worker.reset(new pathtest::EventWorker());
  }

  std::unique_ptr<pathtest::EventWorker> worker;
};

// How many of the SSRCs first..last have a stream in ctx's session.
inline int streamsAmong(SRTPInfo* ctx, uint32_t first, uint32_t last) {
  Synchronized hold(SRTPInfo::wo);
  int n = 0;
  for (uint32_t ssrc = first; ssrc <= last; ssrc++) {
    uint32_t roc;
    if (srtp_get_stream_roc(ctx->session, ssrc, &roc) == srtp_err_status_ok) n++;
  }
  return n;
}

inline size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

}  // namespace srtptest

#endif  // TESTS_SRTPTEST_H
