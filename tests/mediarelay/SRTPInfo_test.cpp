// SRTP contexts without a relay: the policy, the key source, round trips,
// the unprotect retry, failure records, refused keys, failed sessions and
// the pairing of two endpoints.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

#include "SRTPtest.h"

namespace {

using pathtest::FarEnd;
using srtptest::keyOf;
using srtptest::protect;
using srtptest::rtcp;
using srtptest::rtp;
using srtptest::setRecvKey;

class SRTPInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { srtptest::setUp(); }

  static bool unprotect(RTPex* partner, std::string* pkt, bool asRtcp) {
    int len = static_cast<int>(pkt->size());
    pkt->resize(pkt->size() + 16);
    signed char* buf = reinterpret_cast<signed char*>(&(*pkt)[0]);
    bool ok = asRtcp ? unprotectRTCP(partner, buf, &len) : unprotectRTP(partner, buf, &len);
    pkt->resize(len);
    return ok;
  }

  // Opens out's RTP and RTCP sockets towards the two far ends.
  static void aim(RTPex* out, const FarEnd& rtpPeer, const FarEnd& rtcpPeer) {
    ASSERT_TRUE(rtpPeer.ok() && rtcpPeer.ok());
    ASSERT_NE(0, out->udpSender.open(0));
    ASSERT_NE(0, out->rtcp.udpSender.open(0));
    out->udpSender.setDestination("127.0.0.1", static_cast<unsigned short>(rtpPeer.port()), 0);
    out->rtcp.udpSender.setDestination("127.0.0.1",
                                       static_cast<unsigned short>(rtcpPeer.port()), 0);
  }
};

TEST_F(SRTPInfoTest, PolicyFollowsSuite) {
  struct Case {
    short suite;
    int rtpTag;
  } cases[] = {{1, 4}, {0, 10}, {2, 10}, {-1, 10}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.suite);
    SRTPInfo out(1, c.suite, nullptr, 0, 1024);
    std::string key = keyOf(&out);
    SRTPInfo in(0, c.suite, reinterpret_cast<unsigned char*>(&key[0]), SRTPInfo::KEY_LEN, 1024);
    ASSERT_EQ(0, out.status);
    ASSERT_EQ(0, in.status);
    EXPECT_EQ(c.rtpTag, out.policy.rtp.auth_tag_len);
    EXPECT_EQ(10, out.policy.rtcp.auth_tag_len);
    EXPECT_EQ(ssrc_any_outbound, out.policy.ssrc.type);
    EXPECT_EQ(ssrc_any_inbound, in.policy.ssrc.type);
    EXPECT_EQ(0, in.policy.allow_repeat_tx);
    EXPECT_EQ(0, out.policy.allow_repeat_tx);
    EXPECT_EQ(0u, in.policy.num_master_keys);
    EXPECT_EQ(1536, out.bufCapacity);
    EXPECT_EQ(0, out.errorCount);

    // What protection appends: the RTP tag, or the SRTCP index and 80-bit tag.
    std::string plain = rtp(1, 0x1234, 160);
    EXPECT_EQ(plain.size() + c.rtpTag, protect(&out, plain, false).size());
    EXPECT_EQ(rtcp(0x1234).size() + 14, protect(&out, rtcp(0x1234), true).size());

    // The replay window reaches 2048 packets back from the newest.
    std::string tooOld = protect(&out, rtp(900, 0x1234, 20), false);
    std::string inWindow = protect(&out, rtp(1000, 0x1234, 20), false);
    std::string newest = protect(&out, rtp(3000, 0x1234, 20), false);
    EXPECT_EQ(srtp_err_status_ok, srtptest::unprotectStatus(&in, &newest, false));
    EXPECT_EQ(srtp_err_status_ok, srtptest::unprotectStatus(&in, &inWindow, false));
    EXPECT_EQ(srtp_err_status_replay_old, srtptest::unprotectStatus(&in, &tooOld, false));
  }
}

TEST_F(SRTPInfoTest, RoundTripsRtpAndRtcp) {
  for (short suite : {0, 1}) {
    SCOPED_TRACE(suite);
    RTPex partner;
    SRTPInfo out(1, suite, nullptr, 0, 1024);
    setRecvKey(&partner, suite, keyOf(&out));
    ASSERT_NE(nullptr, partner.cryptoRecv);
    for (uint16_t seq = 10; seq < 15; seq++) {
      std::string plain = rtp(seq, 0xABCD, 20 + seq);
      std::string pkt = protect(&out, plain, false);
      ASSERT_NE(plain, pkt.substr(0, plain.size()));
      ASSERT_TRUE(unprotect(&partner, &pkt, false));
      EXPECT_EQ(plain, pkt);

      std::string report = rtcp(0xABCD, seq);
      std::string spkt = protect(&out, report, true);
      ASSERT_TRUE(unprotect(&partner, &spkt, true));
      EXPECT_EQ(report, spkt);
    }
    EXPECT_EQ(0, partner.cryptoRecv->errorCount);
  }
}

TEST_F(SRTPInfoTest, NoInboundContextLeavesDatagramAlone) {
  RTPex partner;
  std::string pkt = rtp(1, 5, 30);
  std::string before = pkt;
  EXPECT_TRUE(unprotect(&partner, &pkt, false));
  EXPECT_EQ(before, pkt);
  EXPECT_TRUE(unprotect(&partner, &pkt, true));
  EXPECT_EQ(before, pkt);
}

// Every outbound context draws its own key: no 29-byte run of one key shows
// up in another, also past 2048 contexts, and only RANDOM_CHARS are used.
TEST_F(SRTPInfoTest, OutboundKeysShareNoMaterial) {
  const std::string alphabet = SRTPInfo::RANDOM_CHARS;
  ASSERT_EQ(62u, alphabet.size());
  RTPex a;
  RTPex b;
  std::unordered_map<std::string, int> runOwner;
  std::set<char> seen;
  const int kContexts = 2100;
  for (int i = 0; i < kContexts; i++) {
    RTPex* ep = i % 2 == 0 ? &a : &b;
    ep->createCryptoToSend(static_cast<short>(i % 2));
    ASSERT_NE(nullptr, ep->cryptoSend);
    std::string key = keyOf(ep->cryptoSend);
    for (char c : key) {
      ASSERT_NE(std::string::npos, alphabet.find(c)) << "key " << i;
      seen.insert(c);
    }
    for (int start = 0; start <= 1; start++) {
      auto it = runOwner.emplace(key.substr(start, 29), i).first;
      ASSERT_EQ(i, it->second) << "keys " << it->second << " and " << i << " share a run";
    }
  }
  EXPECT_EQ(0u, seen.count('q') + seen.count('Q'));
  EXPECT_EQ(60u, seen.size());  // every distinct character of the alphabet turns up
}

TEST_F(SRTPInfoTest, BufferGrowsWithRoomAndNeverShrinks) {
  SRTPInfo ctx(1, 0, nullptr, 0, 1024);
  struct Step {
    int len;
    int capacity;
  } steps[] = {{100, 1536}, {1024, 1536}, {1025, 1637}, {100, 1637}, {2000, 3100}};
  for (const Step& s : steps) {
    ctx.ensureBufCapacity(s.len);
    EXPECT_EQ(s.capacity, ctx.bufCapacity) << "len " << s.len;
  }
  // A small context still leaves room for what protection appends.
  SRTPInfo tiny(1, 0, nullptr, 0, 8);
  EXPECT_EQ(12, tiny.bufCapacity);
  tiny.ensureBufCapacity(20);
  EXPECT_LE(20 + SRTP_MAX_TRAILER_LEN + 4, tiny.bufCapacity);
}

// A packet with one byte too many before its tag authenticates on the retry.
TEST_F(SRTPInfoTest, RetryDropsByteBeforeTag) {
  for (short suite : {0, 1}) {
    SCOPED_TRACE(suite);
    RTPex partner;
    SRTPInfo out(1, suite, nullptr, 0, 1024);
    setRecvKey(&partner, suite, keyOf(&out));
    std::string plain = rtp(7, 0x77, 40);
    std::string pkt = protect(&out, plain, false);
    pkt.insert(pkt.size() - 10, 1, '\x55');
    ASSERT_TRUE(unprotect(&partner, &pkt, false));
    EXPECT_EQ(plain, pkt);
    EXPECT_EQ(0, partner.cryptoRecv->errorCount);
  }
}

// A failed retry leaves the datagram one byte shorter; short ones are not
// retried.
TEST_F(SRTPInfoTest, FailedUnprotectReportsFalse) {
  RTPex partner;
  SRTPInfo out(1, 0, nullptr, 0, 1024);
  setRecvKey(&partner, 0, keyOf(&out));

  std::string tampered = protect(&out, rtp(3, 0x33, 40), false);
  tampered[20] ^= 1;
  size_t tamperedLen = tampered.size();
  EXPECT_FALSE(unprotect(&partner, &tampered, false));
  EXPECT_EQ(tamperedLen - 1, tampered.size());

  std::string shortOne = rtp(4, 0x33, 0).substr(0, 11);
  EXPECT_FALSE(unprotect(&partner, &shortOne, false));
  EXPECT_EQ(11u, shortOne.size());

  std::string report = protect(&out, rtcp(0x33), true);
  report[10] ^= 1;
  size_t reportLen = report.size();
  EXPECT_FALSE(unprotect(&partner, &report, true));
  EXPECT_EQ(reportLen, report.size());  // RTCP knows no retry
  EXPECT_EQ(3, partner.cryptoRecv->errorCount);

  // The stream goes on after the failures.
  std::string next = rtp(5, 0x33, 40);
  std::string pkt = protect(&out, next, false);
  EXPECT_TRUE(unprotect(&partner, &pkt, false));
  EXPECT_EQ(next, pkt);
}

// Only the first two failures of a context are logged, RTP and RTCP
// counted together; a new context logs again.
TEST_F(SRTPInfoTest, FirstTwoFailuresLogged) {
  RTPex partner;
  SRTPInfo out(1, 0, nullptr, 0, 1024);
  size_t mark = relaytest::logText().size();
  for (int round = 0; round < 2; round++) {
    setRecvKey(&partner, 0, keyOf(&out));
    for (int i = 0; i < 3; i++) {
      std::string bad = protect(&out, rtcp(9, i), true);
      bad[12] ^= 1;
      EXPECT_FALSE(unprotect(&partner, &bad, true));
      bad = protect(&out, rtp(static_cast<uint16_t>(40 + 10 * round + i), 9, 30), false);
      bad[15] ^= 1;
      EXPECT_FALSE(unprotect(&partner, &bad, false));
    }
    EXPECT_EQ(6, partner.cryptoRecv->errorCount);
  }
  std::string log = relaytest::logSince(mark);
  // Per context: the first RTCP failure, then the first RTP failure.
  EXPECT_EQ(2u, srtptest::count(log, "srtp_unprotect_rtcp() failed r=7"));
  EXPECT_EQ(2u, srtptest::count(log, "strp_unprotect() failed r=7"));
}

// Failure counts stop at INT_MAX: they never wrap, and no failure past the
// first two is logged however many there are.
TEST_F(SRTPInfoTest, FailureCountsStopAtLimit) {
  RTPex ep;
  ep.createCryptoToSend(0);
  setRecvKey(&ep, 0, std::string(30, 'k'));
  std::string junk = rtp(1, 1, 30);
  struct Case {
    const char* name;
    int* count;
    std::function<void()> fail;
  } cases[] = {
      {"unprotectRTP", &ep.cryptoRecv->errorCount,
       [&] {
         std::string pkt = junk;
         EXPECT_FALSE(unprotect(&ep, &pkt, false));
       }},
      {"unprotectRTCP", &ep.cryptoRecv->errorCount,
       [&] {
         std::string pkt = junk;
         EXPECT_FALSE(unprotect(&ep, &pkt, true));
       }},
      {"sendSRTP", &ep.cryptoSend->protectErrorCount,
       [&] { sendSRTP(&ep, reinterpret_cast<signed char*>(&junk[0]), 5); }},
  };
  size_t mark = relaytest::logText().size();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    *c.count = INT_MAX - 1;
    for (int i = 0; i < 3; i++) c.fail();
    EXPECT_EQ(INT_MAX, *c.count);
  }
  EXPECT_EQ("", relaytest::logSince(mark));
}

TEST_F(SRTPInfoTest, ShortOrMissingRecvKeyIsRefused) {
  RTPex ep;
  SRTPInfo out(1, 0, nullptr, 0, 1024);
  setRecvKey(&ep, 0, keyOf(&out));
  SRTPInfo* kept = ep.cryptoRecv;
  std::string other(31, 'x');
  signed char* bytes = reinterpret_cast<signed char*>(&other[0]);
  ep.createCryptoToRecv(0, nullptr, 30);
  ep.createCryptoToRecv(0, bytes, 29);
  ep.createCryptoToRecv(0, bytes, -1);
  EXPECT_EQ(kept, ep.cryptoRecv);
  std::string pkt = protect(&out, rtp(1, 2, 10), false);
  EXPECT_TRUE(unprotect(&ep, &pkt, false));  // the old key still serves

  RTPex fresh;
  fresh.createCryptoToRecv(0, bytes, 29);
  EXPECT_EQ(nullptr, fresh.cryptoRecv);
}

// A longer key array is copied whole; its first 30 bytes are the key.
TEST_F(SRTPInfoTest, LongerRecvKeyUsesFirstThirty) {
  RTPex ep;
  SRTPInfo out(1, 0, nullptr, 0, 1024);
  setRecvKey(&ep, 0, keyOf(&out) + "trailing bytes");
  ASSERT_NE(nullptr, ep.cryptoRecv);
  std::string plain = rtp(2, 3, 12);
  std::string pkt = protect(&out, plain, false);
  EXPECT_TRUE(unprotect(&ep, &pkt, false));
  EXPECT_EQ(plain, pkt);
}

TEST_F(SRTPInfoTest, NewRecvKeyReplacesOld) {
  RTPex ep;
  SRTPInfo first(1, 0, nullptr, 0, 1024);
  SRTPInfo second(1, 0, nullptr, 0, 1024);
  setRecvKey(&ep, 0, keyOf(&first));
  setRecvKey(&ep, 0, keyOf(&second));
  std::string viaFirst = protect(&first, rtp(1, 4, 10), false);
  std::string viaSecond = protect(&second, rtp(2, 4, 10), false);
  EXPECT_FALSE(unprotect(&ep, &viaFirst, false));
  EXPECT_TRUE(unprotect(&ep, &viaSecond, false));
}

// The second constructor keys the session with key bytes then salt bytes.
TEST_F(SRTPInfoTest, KeyAndSaltConstructor) {
  SRTPInfo out(1, 0, nullptr, 0, 1024);
  std::string key = keyOf(&out);
  SRTPInfo in(0, 0, reinterpret_cast<unsigned char*>(&key[0]), 16,
              reinterpret_cast<unsigned char*>(&key[16]), 14, 1024);
  ASSERT_EQ(0, in.status);
  EXPECT_EQ(key, keyOf(&in));
  RTPex ep;
  ep.cryptoRecv = new SRTPInfo(0, 0, reinterpret_cast<unsigned char*>(&key[0]), 16,
                               reinterpret_cast<unsigned char*>(&key[16]), 14, 1024);
  std::string plain = rtp(8, 8, 8);
  std::string pkt = protect(&out, plain, false);
  EXPECT_TRUE(unprotect(&ep, &pkt, false));
  EXPECT_EQ(plain, pkt);
}

// Sending protects a copy and leaves through the right socket; the caller's
// bytes do not change.
TEST_F(SRTPInfoTest, SendProtectsCopyThroughRightSocket) {
  FarEnd rtpPeer("127.0.0.1");
  FarEnd rtcpPeer("127.0.0.1");
  RTPex out;
  ASSERT_NO_FATAL_FAILURE(aim(&out, rtpPeer, rtcpPeer));
  out.createCryptoToSend(1);
  RTPex far;  // holds the far end's inbound context
  setRecvKey(&far, 1, keyOf(out.cryptoSend));

  struct Case {
    const char* name;
    void (*send)(RTPex*, signed char*, int, const InetAddrPort*, bool);
    const FarEnd* at;
    bool asRtcp;
    std::string plain;
  } cases[] = {
      {"sendSRTP", sendSRTP, &rtpPeer, false, rtp(100, 0x99, 160)},
      {"sendSRTCP", sendSRTCP, &rtcpPeer, true, rtcp(0x99, 1)},
      {"sendSRTCPMux", sendSRTCPMux, &rtpPeer, true, rtcp(0x99, 2)},
      // Around the size up to which protection happens on the stack; larger
      // datagrams are protected in the context's buffer.
      {"sendSRTP at the stack room", sendSRTP, &rtpPeer, false,
       rtp(101, 0x99, 2048 - SRTPInfo::PROTECT_ROOM - 12)},
      {"sendSRTP above the stack room", sendSRTP, &rtpPeer, false,
       rtp(102, 0x99, 2048 - SRTPInfo::PROTECT_ROOM - 11)},
      {"sendSRTP near the stack buffer's size", sendSRTP, &rtpPeer, false,
       rtp(103, 0x99, 2048 - 16)},
      {"sendSRTP large", sendSRTP, &rtpPeer, false, rtp(104, 0x99, 3000)},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string buf = c.plain;
    c.send(&out, reinterpret_cast<signed char*>(&buf[0]),
           static_cast<int>(buf.size()), nullptr, false);
    EXPECT_EQ(c.plain, buf);
    std::string got;
    ASSERT_TRUE(c.at->receive(&got));
    EXPECT_GT(got.size(), c.plain.size());
    ASSERT_TRUE(unprotect(&far, &got, c.asRtcp));
    EXPECT_EQ(c.plain, got);
  }
}

// The protect step alone: nothing without an outbound context, otherwise
// what the far end's context takes back to the same bytes.
TEST_F(SRTPInfoTest, ProtectIntoLeavesSourceAndNeedsContext) {
  RTPex out;
  std::string plain = rtp(7, 0x42, 160);
  const signed char* src = reinterpret_cast<const signed char*>(plain.data());
  std::string wire(plain.size() + SRTPInfo::PROTECT_ROOM, '\0');
  unsigned char* dst = reinterpret_cast<unsigned char*>(&wire[0]);
  int n = 0;
  EXPECT_EQ(-1, protectRTPInto(&out, src, static_cast<int>(plain.size()), dst, &n));
  EXPECT_EQ(0, n);

  out.createCryptoToSend(0);
  RTPex far;
  setRecvKey(&far, 0, keyOf(out.cryptoSend));
  ASSERT_EQ(0, protectRTPInto(&out, src, static_cast<int>(plain.size()), dst, &n));
  EXPECT_EQ(static_cast<int>(plain.size()) + 10, n);
  EXPECT_EQ(rtp(7, 0x42, 160), plain);
  wire.resize(static_cast<size_t>(n));
  ASSERT_TRUE(unprotect(&far, &wire, false));
  EXPECT_EQ(plain, wire);
}

// Protection failures send nothing; all are counted, the first two of a
// context logged (RTP and RTCP together), so a sender of short datagrams
// cannot flood the log. No context sends nothing and writes nothing.
TEST_F(SRTPInfoTest, ProtectFailuresAreCountedAndNotSent) {
  FarEnd rtpPeer("127.0.0.1");
  FarEnd rtcpPeer("127.0.0.1");
  RTPex out;
  out.localPort = 45678;
  ASSERT_NO_FATAL_FAILURE(aim(&out, rtpPeer, rtcpPeer));
  std::string tooShort = "\x80\x00\x00\x01\x00";
  signed char* bytes = reinterpret_cast<signed char*>(&tooShort[0]);

  size_t mark = relaytest::logText().size();
  sendSRTP(&out, bytes, 5);
  sendSRTCP(&out, bytes, 4);
  EXPECT_EQ("", relaytest::logSince(mark));

  for (int round = 0; round < 2; round++) {
    out.createCryptoToSend(0);
    const int kRepeats = 200;
    for (int i = 0; i < kRepeats; i++) {
      sendSRTCP(&out, bytes, 4);
      sendSRTP(&out, bytes, 5);
      sendSRTCPMux(&out, bytes, 4);
    }
    EXPECT_EQ(3 * kRepeats, out.cryptoSend->protectErrorCount);
  }
  // Per context: the first RTCP failure, then the first RTP failure.
  std::string log = relaytest::logSince(mark);
  EXPECT_EQ(2u, srtptest::count(log, "protect error: r=2,port=45678"));
  EXPECT_EQ(2u, srtptest::count(log, "protect_rtcp error: r=2,port=45678"));

  // The first datagram to arrive is the first good one.
  std::string good = rtp(1, 1, 20);
  sendSRTP(&out, reinterpret_cast<signed char*>(&good[0]), 32);
  std::string report = rtcp(1);
  sendSRTCP(&out, reinterpret_cast<signed char*>(&report[0]), 28);
  std::string got;
  ASSERT_TRUE(rtpPeer.receive(&got));
  EXPECT_EQ(good.size() + 10, got.size());
  ASSERT_TRUE(rtcpPeer.receive(&got));
  EXPECT_EQ(report.size() + 14, got.size());
}

// A context whose session was never made fails every datagram without
// reaching libsrtp2, and is freed without a dealloc.
TEST_F(SRTPInfoTest, FailedSessionFailsEveryDatagram) {
  FarEnd peer("127.0.0.1");
  ASSERT_TRUE(peer.ok());
  RTPex ep;
  ep.localPort = 45680;
  ASSERT_NE(0, ep.udpSender.open(0));
  ep.udpSender.setDestination("127.0.0.1", static_cast<unsigned short>(peer.port()), 0);
  srtp_shutdown();  // srtp_create now fails
  ep.createCryptoToSend(0);
  setRecvKey(&ep, 0, std::string(30, 'k'));
  srtp_init();
  ASSERT_NE(nullptr, ep.cryptoSend);
  ASSERT_NE(nullptr, ep.cryptoRecv);
  int failed = ep.cryptoRecv->status;
  ASSERT_NE(0, failed);
  ASSERT_NE(0, ep.cryptoSend->status);

  size_t mark = relaytest::logText().size();
  std::string pkt = rtp(1, 1, 30);
  std::string before = pkt;
  EXPECT_FALSE(unprotect(&ep, &pkt, false));
  EXPECT_EQ(before, pkt);
  EXPECT_FALSE(unprotect(&ep, &pkt, true));
  EXPECT_EQ(2, ep.cryptoRecv->errorCount);
  sendSRTP(&ep, reinterpret_cast<signed char*>(&pkt[0]), 42);
  std::string log = relaytest::logSince(mark);
  std::string r = std::to_string(failed);
  EXPECT_EQ(1u, srtptest::count(log, "strp_unprotect() failed r=" + r));
  EXPECT_EQ(1u, srtptest::count(log, "srtp_unprotect_rtcp() failed r=" + r));
  EXPECT_EQ(1u, srtptest::count(log, "protect error: r=" + r + ",port=45680"));

  // Replaced by a working context, the endpoint sends again.
  ep.createCryptoToSend(0);
  ASSERT_EQ(0, ep.cryptoSend->status);
  sendSRTP(&ep, reinterpret_cast<signed char*>(&pkt[0]), 42);
  std::string got;
  ASSERT_TRUE(peer.receive(&got));
  EXPECT_EQ(52u, got.size());
}

// ---- pairing ------------------------------------------------------------------

class SRTPStartTest : public SRTPInfoTest {
 protected:
  static void give(RTPex* ep, bool send, bool recv) {
    if (send) ep->createCryptoToSend(0);
    if (recv) setRecvKey(ep, 0, std::string(30, 'r'));
  }
};

TEST_F(SRTPStartTest, PairsSurviveOnlyComplete) {
  struct Case {
    bool aSend, bRecv, bSend, aRecv;
    int aMode, bMode;
  } cases[] = {
      // A's far end (A's send, B's recv) | B's far end (B's send, A's recv)
      {true, true, false, false, 2, 0},   {true, false, false, false, 0, 0},
      {false, true, false, false, 0, 0},  {false, false, false, false, 0, 0},
      {false, false, true, true, 0, 2},   {false, false, true, false, 0, 0},
      {false, false, false, true, 0, 0},  {true, true, true, true, 2, 2},
      {true, true, true, false, 2, 0},    {false, true, true, true, 0, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.aSend << c.bRecv << c.bSend << c.aRecv);
    RTPex a;
    RTPex b;
    a.srtpMode = 1;
    b.srtpMode = 1;
    give(&a, c.aSend, c.aRecv);
    give(&b, c.bSend, c.bRecv);
    SRTPInfo* aSend = a.cryptoSend;
    SRTPInfo* bRecv = b.cryptoRecv;
    int counted = SRTPInfo::countConcurrent;
    RTPex::startSrtp(&a, &b);
    EXPECT_EQ(c.aMode, a.srtpMode.load());
    EXPECT_EQ(c.bMode, b.srtpMode.load());
    bool aPair = c.aMode == 2;
    bool bPair = c.bMode == 2;
    EXPECT_EQ(aPair ? aSend : nullptr, a.cryptoSend);
    EXPECT_EQ(aPair ? bRecv : nullptr, b.cryptoRecv);
    EXPECT_EQ(bPair, b.cryptoSend != nullptr);
    EXPECT_EQ(bPair, a.cryptoRecv != nullptr);
    EXPECT_EQ(counted + (aPair || bPair ? 1 : 0), SRTPInfo::countConcurrent);
    EXPECT_EQ(aPair || bPair, a.countedConcurrent);
    EXPECT_FALSE(b.countedConcurrent);
    a.releaseSender();
    EXPECT_EQ(counted, SRTPInfo::countConcurrent);
  }
}

// A pair counts once while it converts, however often and in whichever
// order it is started; it stops counting when a start leaves it plain or
// when it is released. The status text shows the count.
TEST_F(SRTPStartTest, PairCountsOnceWhileConverting) {
  RTPex a;
  RTPex b;
  int counted = SRTPInfo::countConcurrent;
  auto shows = [](int n) {
    return RTPex::getInfo("").find("\r\n<SRTP Converting> count:" + std::to_string(n) +
                                   "\r\n") != std::string::npos;
  };
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE(round);
    give(&a, true, false);
    give(&b, false, true);
    for (int i = 0; i < 3; i++) RTPex::startSrtp(&a, &b);
    RTPex::startSrtp(&b, &a);
    EXPECT_EQ(counted + 1, SRTPInfo::countConcurrent);
    EXPECT_TRUE(shows(counted + 1));
    if (round == 0) {
      // Started again with its inbound context gone: plain, no longer counted.
      {
        Synchronized hold(SRTPInfo::wo);
        delete b.cryptoRecv;
        b.cryptoRecv = nullptr;
      }
      RTPex::startSrtp(&a, &b);
      EXPECT_EQ(0, a.srtpMode.load());
      EXPECT_EQ(counted, SRTPInfo::countConcurrent);
      a.releaseSender();
    } else {
      b.releaseSender();  // B was never counted
      EXPECT_EQ(counted + 1, SRTPInfo::countConcurrent);
      a.releaseSender();
      a.releaseSender();
    }
    EXPECT_EQ(counted, SRTPInfo::countConcurrent);
    EXPECT_TRUE(shows(counted));
  }
}

// ---- streams per SSRC -----------------------------------------------------------

// One SSRC after another through a relay context, RTP or RTCP, outbound
// (the relay protects, the far end takes it off) or inbound (the far end
// protects, the relay takes it off). The far end's session is libsrtp2's
// own and keeps every stream.
class SRTPStreamTest : public SRTPInfoTest {
 protected:
  struct Way {
    const char* name;
    bool outbound;
    bool asRtcp;
  };
  static constexpr Way kWays[] = {{"outbound RTP", true, false},
                                  {"outbound RTCP", true, true},
                                  {"inbound RTP", false, false},
                                  {"inbound RTCP", false, true}};
  static const uint32_t kCall = 500000;  // the SSRC of the call itself

  // A relay context of one way and the far end's.
  struct Rig {
    void open(const Way& w) {
      way = w;
      if (way.outbound) {
        ASSERT_NO_FATAL_FAILURE(aim(&relay, rtpPeer, rtcpPeer));
        relay.createCryptoToSend(0);
        std::string key = keyOf(relay.cryptoSend);
        far.reset(new SRTPInfo(0, 0, reinterpret_cast<unsigned char*>(&key[0]), 30, 1024));
        ctx = relay.cryptoSend;
      } else {
        far.reset(new SRTPInfo(1, 0, nullptr, 0, 1024));
        setRecvKey(&relay, 0, keyOf(far.get()));
        ctx = relay.cryptoRecv;
      }
    }

    std::string plain(uint32_t ssrc, uint32_t n) const {
      return way.asRtcp ? rtcp(ssrc, n) : rtp(static_cast<uint16_t>(n), ssrc, 20);
    }

    // Hands the n-th datagram of ssrc to the relay's context; an outbound
    // one comes from the party or from the stranger at from.
    void convert(uint32_t ssrc, uint32_t n, std::string* pkt,
                 const InetAddrPort* from = nullptr) {
      *pkt = plain(ssrc, n);
      if (way.outbound) {
        signed char* bytes = reinterpret_cast<signed char*>(&(*pkt)[0]);
        int len = static_cast<int>(pkt->size());
        way.asRtcp ? sendSRTCP(&relay, bytes, len, from)
                   : sendSRTP(&relay, bytes, len, from);
      } else {
        *pkt = protect(far.get(), *pkt, way.asRtcp);
        if (!unprotect(&relay, pkt, way.asRtcp)) pkt->clear();
      }
    }

    // True when the n-th datagram of ssrc comes through as it went in.
    bool passes(uint32_t ssrc, uint32_t n, const InetAddrPort* from = nullptr) {
      std::string pkt;
      convert(ssrc, n, &pkt, from);
      if (way.outbound) {
        if (!(way.asRtcp ? rtcpPeer : rtpPeer).receive(&pkt)) return false;
        if (!srtptest::unprotectWith(far.get(), &pkt, way.asRtcp)) return false;
      }
      return pkt == plain(ssrc, n);
    }

    int streams(uint32_t first, uint32_t last) {
      return srtptest::streamsAmong(ctx, first, last);
    }

    // Where the party is: datagrams from this address are its.
    void placeParty(const char* addr) {
      Synchronized hold(SRTPInfo::wo);
      std::snprintf(relay.party.addr[1], InetAddrPort::ADDR_SIZE, "%s", addr);
    }

    int failures() {
      Synchronized hold(SRTPInfo::wo);
      return way.outbound ? ctx->protectErrorCount : ctx->errorCount;
    }

    // Inbound datagrams of fresh SSRCs, tampered with: none converts, none
    // makes a stream, and the streams kept stay.
    void tamperedMakeNoStream(uint32_t first, uint32_t last) {
      int kept = streams(1, first - 1);
      for (uint32_t ssrc = first; ssrc <= last; ssrc++) {
        std::string bad = protect(far.get(), plain(ssrc, 1), way.asRtcp);
        bad[way.asRtcp ? 12 : 15] ^= 1;
        EXPECT_FALSE(unprotect(&relay, &bad, way.asRtcp));
      }
      EXPECT_EQ(0, streams(first, last));
      EXPECT_EQ(kept, streams(1, first - 1));
    }

    Way way{};
    FarEnd rtpPeer{"127.0.0.1"};
    FarEnd rtcpPeer{"127.0.0.1"};
    RTPex relay;
    std::unique_ptr<SRTPInfo> far;
    SRTPInfo* ctx = nullptr;
  };
};

constexpr SRTPStreamTest::Way SRTPStreamTest::kWays[];

// A stream is kept for the key's life, inbound and outbound: made again it
// would restart its replay list (inbound: replays would pass) and its
// rollover count (outbound: indices protected before would be protected
// again). So a session holds at most MAX_STREAMS inbound or
// MAX_PARTY_STREAMS outbound streams of the party; a datagram of a further
// SSRC is refused and counted, and the kept ones go on.
TEST_F(SRTPStreamTest, StreamsStayForTheKeysLife) {
  const uint32_t kFlood = 300;  // SSRCs 1..kFlood, one datagram each
  for (const Way& w : kWays) {
    SCOPED_TRACE(w.name);
    const uint32_t kKept =
        (w.outbound ? SRTPInfo::MAX_PARTY_STREAMS : SRTPInfo::MAX_STREAMS) - 1;  // and the call's
    Rig t;
    ASSERT_NO_FATAL_FAILURE(t.open(w));
    uint32_t callSeq = 1;
    ASSERT_TRUE(t.passes(kCall, callSeq));
    for (uint32_t ssrc = 1; ssrc <= kFlood; ssrc++) {
      if (ssrc > kKept) {
        std::string pkt;
        int before = t.failures();
        t.convert(ssrc, 1, &pkt);
        EXPECT_EQ(before + 1, t.failures()) << ssrc;
        if (!w.outbound) {
          EXPECT_TRUE(pkt.empty());
        }
      } else {
        ASSERT_TRUE(t.passes(ssrc, 1)) << ssrc;
      }
      // The call goes on between them; the refused ones never left.
      if (ssrc % 4 == 0) {
        ASSERT_TRUE(t.passes(kCall, ++callSeq)) << ssrc;
      }
    }
    EXPECT_EQ(static_cast<int>(kFlood - kKept), t.failures());
    EXPECT_EQ(static_cast<int>(kKept), t.streams(1, kKept));
    EXPECT_EQ(0, t.streams(kKept + 1, kFlood));
    EXPECT_EQ(1, t.streams(kCall, kCall));
    if (!w.outbound) {
      t.tamperedMakeNoStream(kFlood + 1, kFlood + 100);
      // A refused SSRC's datagram and its replays never convert.
      std::string first = protect(t.far.get(), t.plain(kFlood, 2), w.asRtcp);
      for (int i = 0; i < 5; i++) {
        std::string pkt = first;
        EXPECT_FALSE(unprotect(&t.relay, &pkt, w.asRtcp));
      }
    }
    // Kept streams go on where they were.
    EXPECT_TRUE(t.passes(1, 2));
    EXPECT_TRUE(t.passes(kKept, 2));
    EXPECT_TRUE(t.passes(kCall, ++callSeq));
  }
}

// No outbound rollover count goes past MAX_ROC: libsrtp2 would wrap it and
// protect the stream's first indices again under the same keystream. The
// datagram that would take it there is refused and counted.
TEST_F(SRTPStreamTest, RolloverCountStopsBelowTheWrap) {
  Rig t;
  ASSERT_NO_FATAL_FAILURE(t.open(kWays[0]));  // outbound RTP
  ASSERT_TRUE(t.passes(kCall, 65000));
  {
    Synchronized hold(SRTPInfo::wo);
    ASSERT_EQ(srtp_err_status_ok, srtp_set_stream_roc(t.ctx->session, kCall, SRTPInfo::MAX_ROC - 1));
  }
  // The far end follows the count as the sequence numbers roll over.
  {
    Synchronized hold(SRTPInfo::wo);
    ASSERT_EQ(srtp_err_status_ok, srtp_set_stream_roc(t.far->session, kCall, SRTPInfo::MAX_ROC - 1));
  }
  EXPECT_TRUE(t.passes(kCall, 65535));
  EXPECT_TRUE(t.passes(kCall, 0));  // rolled over to MAX_ROC
  EXPECT_EQ(0, t.failures());
  std::string pkt;
  for (uint32_t seq : {1u, 2u, 40000u}) t.convert(kCall, seq, &pkt);
  EXPECT_EQ(3, t.failures());
  uint32_t roc = 0;
  {
    Synchronized hold(SRTPInfo::wo);
    ASSERT_EQ(srtp_err_status_ok, srtp_get_stream_roc(t.ctx->session, kCall, &roc));
  }
  EXPECT_EQ(SRTPInfo::MAX_ROC, roc);
}

// Sources of datagrams: the party's address (see placeParty) and others.
InetAddrPort source(const char* addr, uint16_t port) {
  InetAddrPort a;
  std::snprintf(a.addr, sizeof(a.addr), "%s", addr);
  a.port = port;
  return a;
}
const char kPartyAddr[] = "203.0.113.5";
const InetAddrPort kParty = source(kPartyAddr, 4000);
const InetAddrPort kPartyOtherPort = source(kPartyAddr, 4002);
const InetAddrPort kStranger = source("192.0.2.7", 4000);
const InetAddrPort kStrangerOtherPort = source("192.0.2.7", 4002);
const InetAddrPort kOtherStranger = source("198.51.100.9", 4000);

// An index is protected once: the same SSRC and sequence number again, from
// the same source, with other bytes, never leaves (the XOR of the two would
// give the first one's plain bytes) and counts as a failure; the stream
// goes on with the next sequence number.
TEST_F(SRTPStreamTest, IndexIsProtectedOnce) {
  struct Case {
    const char* name;
    const InetAddrPort* first;
    const InetAddrPort* again;
  } cases[] = {{"the party twice", nullptr, nullptr},
               {"a stranger twice", &kStranger, &kStranger},
               {"a stranger, then the party", &kStranger, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig t;
    ASSERT_NO_FATAL_FAILURE(t.open(kWays[0]));  // outbound RTP
    ASSERT_TRUE(t.passes(kCall, 1, c.first));
    std::string other = rtp(1, kCall, 20, 0, 77);  // the same header, other bytes
    size_t mark = relaytest::logText().size();
    sendSRTP(&t.relay, reinterpret_cast<signed char*>(&other[0]),
             static_cast<int>(other.size()), c.again);
    EXPECT_EQ(1, t.ctx->protectErrorCount);
    EXPECT_EQ(1u, srtptest::count(relaytest::logSince(mark), "protect error: r=9"));
    // The next datagram to arrive is the next sequence number's.
    EXPECT_TRUE(t.passes(kCall, 2, c.again));
    EXPECT_EQ(1, t.ctx->protectErrorCount);
  }
}

// An SSRC is bound to the source that sent it first: its RTP is taken only
// from that address and port, its RTCP from that address. Anyone else, the
// party included, could move its index far ahead and get its sender's own
// datagrams refused as too old, or drive its rollover count. A datagram
// that passed SRTP authentication comes from the key's holder and is taken.
TEST_F(SRTPStreamTest, SsrcIsBoundToItsFirstSource) {
  struct Case {
    const char* name;
    const InetAddrPort* first;  // sends index 1
    const InetAddrPort* other;  // tries a jump ahead
    bool verified;              // other's datagram was authenticated
    bool rtpTaken;
    bool rtcpTaken;
  } cases[] = {
      {"the party's, from a stranger", &kParty, &kStranger, false, false, false},
      {"the party's, from its address's other port", &kParty, &kPartyOtherPort, false, false, true},
      {"a stranger's, from another stranger", &kStranger, &kOtherStranger, false, false, false},
      {"a stranger's, from its other port", &kStranger, &kStrangerOtherPort, false, false, true},
      {"a stranger's, from the party", &kStranger, &kParty, false, false, false},
      {"the party's, authenticated from elsewhere", &kParty, &kOtherStranger, true, true, true},
  };
  for (int i = 0; i < 2; i++) {
    const Way& w = kWays[i];  // outbound RTP and RTCP
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(w.name) + ", " + c.name);
      Rig t;
      ASSERT_NO_FATAL_FAILURE(t.open(w));
      t.placeParty(kPartyAddr);
      ASSERT_TRUE(t.passes(kCall, 1, c.first));
      bool taken = w.asRtcp ? c.rtcpTaken : c.rtpTaken;
      std::string jump = t.plain(kCall, 30000);
      signed char* bytes = reinterpret_cast<signed char*>(&jump[0]);
      int len = static_cast<int>(jump.size());
      w.asRtcp ? sendSRTCP(&t.relay, bytes, len, c.other, c.verified)
               : sendSRTP(&t.relay, bytes, len, c.other, c.verified);
      EXPECT_EQ(taken ? 0 : 1, t.failures());
      std::string got;
      if (taken) {
        ASSERT_TRUE((w.asRtcp ? t.rtcpPeer : t.rtpPeer).receive(&got));
      }
      // The first source goes on; after a refused jump, where it was.
      EXPECT_TRUE(t.passes(kCall, taken && !w.asRtcp ? 30001 : 2, c.first));
    }
  }
}

// Outbound SSRCs have room by source: MAX_PARTY_STREAMS for the party's
// addresses, MAX_OTHER_STREAMS for all others with at most
// MAX_STREAMS_PER_ADDRESS each, so that strangers at one address shut out
// neither the party nor a far end that sends from an address the relay
// does not know. A header that libsrtp2 refuses takes no room. Nothing is
// ever removed: exactly the admitted SSRCs have streams.
TEST_F(SRTPStreamTest, OutboundRoomBySource) {
  const uint32_t kPerAddress = SRTPInfo::MAX_STREAMS_PER_ADDRESS;
  const uint32_t kOthers = SRTPInfo::MAX_OTHER_STREAMS;
  const uint32_t kPartyRoom = SRTPInfo::MAX_PARTY_STREAMS;
  const uint32_t kPartyBase = 1000;  // the party's own SSRCs
  const uint32_t kLate = 5000;       // SSRCs after a room is taken
  for (int i = 0; i < 2; i++) {
    const Way& w = kWays[i];  // outbound RTP and RTCP
    SCOPED_TRACE(w.name);
    Rig t;
    ASSERT_NO_FATAL_FAILURE(t.open(w));
    t.placeParty(kPartyAddr);
    int refused = 0;
    auto refuse = [&](uint32_t ssrc, uint32_t n, const InetAddrPort* from) {
      std::string pkt;
      t.convert(ssrc, n, &pkt, from);
      EXPECT_EQ(++refused, t.failures()) << ssrc;
    };
    if (!w.asRtcp) {
      // 15 CSRCs that the datagram does not hold: refused, no room taken.
      std::string bad = rtp(1, 9999, 8);
      bad[0] = static_cast<char>(0x8F);
      sendSRTP(&t.relay, reinterpret_cast<signed char*>(&bad[0]),
               static_cast<int>(bad.size()), &kStranger);
      EXPECT_EQ(++refused, t.failures());
    }
    // A stranger fills his address's room, then is refused.
    for (uint32_t ssrc = 1; ssrc <= kPerAddress; ssrc++) {
      ASSERT_TRUE(t.passes(ssrc, 1, &kStranger)) << ssrc;
    }
    for (uint32_t ssrc = kLate; ssrc < kLate + 100; ssrc++) refuse(ssrc, 1, &kStranger);
    // Another address still has its own, also from its other ports.
    ASSERT_TRUE(t.passes(kLate + 100, 1, &kOtherStranger));
    // The party's SSRCs all convert, also from another port.
    for (uint32_t ssrc = kPartyBase; ssrc < kPartyBase + kPartyRoom; ssrc++) {
      ASSERT_TRUE(t.passes(ssrc, 1, ssrc % 2 == 0 ? &kParty : &kPartyOtherPort)) << ssrc;
    }
    refuse(kPartyBase + kPartyRoom, 1, &kParty);
    // Other addresses share what is left of the others' room.
    uint32_t used = kPerAddress + 1;
    char addr[InetAddrPort::ADDR_SIZE];
    for (uint32_t n = 0; used < kOthers; n++, used++) {
      std::snprintf(addr, sizeof(addr), "192.0.2.%u", 100 + n / kPerAddress);
      InetAddrPort from = source(addr, 4000);
      ASSERT_TRUE(t.passes(kLate + 200 + n, 1, &from)) << addr;
    }
    refuse(kLate + 300, 1, &kOtherStranger);
    // SSRCs with a stream go on.
    EXPECT_TRUE(t.passes(kPartyBase, 2, &kParty));
    EXPECT_TRUE(t.passes(2, 2, &kStranger));

    EXPECT_EQ(static_cast<int>(kPerAddress), t.streams(1, kPerAddress));
    EXPECT_EQ(static_cast<int>(kPartyRoom), t.streams(kPartyBase, kPartyBase + kPartyRoom));
    EXPECT_EQ(static_cast<int>(kOthers - kPerAddress), t.streams(kLate, kLate + 400));
    EXPECT_EQ(0, t.streams(9999, 9999));
  }
}

// The party's address as the relay writes a datagram's source, whatever
// spelling the target has; a name stays as it is and is never looked up.
TEST(SourceSpelling, NumericAddressesAsTheRelayWritesThem) {
  struct Case {
    const char* text;
    const char* spelled;
  } cases[] = {{"127.0.0.1", "127.0.0.1"},
               {"0:0:0:0:0:0:0:1", "::1"},
               {"::0001", "::1"},
               {"2001:DB8:0:0:0:0:0:5", "2001:db8::5"},
               {"fe80::1%1", "fe80::1"},
               {"", ""},
               {"media.invalid", "media.invalid"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    char out[InetAddrPort::ADDR_SIZE];
    SocketCore::sourceSpelling(c.text, out);
    EXPECT_STREQ(c.spelled, out);
  }
}

}  // namespace
