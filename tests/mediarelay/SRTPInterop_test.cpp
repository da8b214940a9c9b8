// SRTP through real endpoints against an SRTP far end that is not libsrtp
// (the pion-based srtp_peer program): both suites, SRTCP on the RTCP port,
// multiplexed RTCP, and a pair where both sides convert with their own keys.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>

#include "GoPeer.h"
#include "SRTPtest.h"
#include "pathtest.h"

namespace {

using pathtest::FarEnd;
using pathtest::kWaitMs;
using srtptest::RelayPair;
using srtptest::rtcp;
using srtptest::rtp;

using gopeer::GoPeer;
using gopeer::peerProgram;

// A plain far end: an RTP and an RTCP socket.
struct PlainEnd {
  FarEnd media{"127.0.0.1"};
  FarEnd control{"127.0.0.1"};
};

std::string freshKey() {
  std::string key(SRTPInfo::KEY_LEN, '\0');
  SRTPInfo::drawKey(reinterpret_cast<unsigned char*>(&key[0]));
  return key;
}

class SRTPInteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    program = peerProgram();
    if (program == nullptr) GTEST_SKIP() << "srtp_peer was not built (no Go or pion)";
    signal(SIGPIPE, SIG_IGN);
    srtptest::setUp();
    worker.reset(new pathtest::EventWorker());
  }

  // go speaks SRTP with ep's relay side: ep's outbound key to go, go's own
  // key to partner's inbound context.
  static void keyUp(GoPeer* go, RTPex* ep, RTPex* partner, short suite) {
    go->key("recv", suite, srtptest::newSendKey(ep, suite));
    std::string own = freshKey();
    srtptest::setRecvKey(partner, suite, own);
    go->key("send", suite, own);
  }

  // Opens the pair converting in suite: go sends SRTP to A, and gets as
  // SRTP what plain sends to B.
  void openConverting(GoPeer* go, PlainEnd* plain, RelayPair* pair, short suite) {
    ASSERT_TRUE(go->start(program));
    ASSERT_TRUE(plain->media.ok() && plain->control.ok());
    ASSERT_TRUE(pair->open());
    RelayPair::target(pair->a, plain->media.port(), plain->control.port());
    RelayPair::target(pair->b, go->rtpPort, go->rtcpPort);
    keyUp(go, pair->a, pair->b, suite);
    RTPex::startSrtp(pair->a, pair->b);
  }

  const char* program = nullptr;
  // Serves both queues: deferred deletes, and events that pin endpoints.
  std::unique_ptr<pathtest::EventWorker> worker;
};

TEST_F(SRTPInteropTest, FarEndSpeaksSrtpInBothSuites) {
  struct Case {
    short suite;
    size_t rtpTag;
  } cases[] = {{0, 10}, {1, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.suite);
    GoPeer go;
    PlainEnd plain;
    RelayPair pair;
    ASSERT_NO_FATAL_FAILURE(openConverting(&go, &plain, &pair, c.suite));
    int a = pair.a->localPort;
    int b = pair.b->localPort;
    std::string got;

    // SRTP from the far end arrives plain; plain from the other side
    // arrives as SRTP that the far end authenticates and decrypts.
    for (uint16_t seq = 1; seq <= 3; seq++) {
      std::string media = rtp(seq, 0x5A5A, 160, 8);
      EXPECT_EQ(media.size() + c.rtpTag, go.send("rtp", a, media).size());
      ASSERT_TRUE(plain.media.receive(&got));
      EXPECT_EQ(media, got);
      std::string back = rtp(seq, 0x0B0B, 160, 8, 50);
      ASSERT_TRUE(plain.media.sendTo(b, back));
      EXPECT_EQ(back, go.recv("rtp"));
    }

    // SRTCP both ways on the RTCP ports.
    EXPECT_EQ(rtcp(0x5A5A).size() + 14, go.send("rtcp", a + 1, rtcp(0x5A5A)).size());
    ASSERT_TRUE(plain.control.receive(&got));
    EXPECT_EQ(rtcp(0x5A5A), got);
    ASSERT_TRUE(plain.control.sendTo(b + 1, rtcp(0x0B0B)));
    EXPECT_EQ(rtcp(0x0B0B), go.recv("rtcp"));

    // Multiplexed RTCP stays on the RTP ports, converted both ways.
    EXPECT_FALSE(go.send("rtp", a, rtcp(0x5A5A, 9)).empty());
    ASSERT_TRUE(plain.media.receive(&got));
    EXPECT_EQ(rtcp(0x5A5A, 9), got);
    ASSERT_TRUE(plain.media.sendTo(b, rtcp(0x0B0B, 9)));
    EXPECT_EQ(rtcp(0x0B0B, 9), go.recv("rtp"));
    EXPECT_TRUE(pair.close());
  }
}

// A new SSRC on every datagram from the plain party: the far end decrypts
// each of the first MAX_PARTY_STREAMS, also when one comes back; the SSRCs
// beyond them never leave (a stream made afresh would repeat its
// keystream).
TEST_F(SRTPInteropTest, FarEndDecryptsFloodOfNewSsrcs) {
  GoPeer go;
  PlainEnd plain;
  RelayPair pair;
  ASSERT_NO_FATAL_FAILURE(openConverting(&go, &plain, &pair, 0));
  int b = pair.b->localPort;
  auto send = [&](uint32_t ssrc, uint16_t seq) {
    std::string media = rtp(seq, ssrc, 60);
    return plain.media.sendTo(b, media) ? media : std::string();
  };
  const uint32_t kKept = SRTPInfo::MAX_PARTY_STREAMS;
  const uint32_t kFlood = 2 * kKept;
  for (uint32_t ssrc = 1; ssrc <= kFlood; ssrc++) {
    std::string media = send(ssrc, 1);
    ASSERT_FALSE(media.empty());
    if (ssrc <= kKept) {
      ASSERT_EQ(media, go.recv("rtp")) << ssrc;
    }
  }
  // The refused ones never left: the next to arrive is a kept SSRC's.
  ASSERT_FALSE(send(kFlood, 2).empty());
  for (uint32_t ssrc : {1u, kKept}) {
    std::string media = send(ssrc, 2);
    EXPECT_EQ(media, go.recv("rtp")) << ssrc;
  }
  EXPECT_EQ(static_cast<int>(kKept), srtptest::streamsAmong(pair.a->cryptoSend, 1, kFlood));
  EXPECT_TRUE(pair.close());
}

// Each far end speaks SRTP with keys of its own, one in each suite: the
// relay removes one side's protection and applies the other's.
TEST_F(SRTPInteropTest, BothSidesConvertWithTheirOwnKeys) {
  GoPeer goA;
  GoPeer goB;
  ASSERT_TRUE(goA.start(program));
  ASSERT_TRUE(goB.start(program));
  RelayPair pair;
  ASSERT_TRUE(pair.open());
  RelayPair::target(pair.a, goB.rtpPort, goB.rtcpPort);
  RelayPair::target(pair.b, goA.rtpPort, goA.rtcpPort);
  keyUp(&goA, pair.a, pair.b, 0);
  keyUp(&goB, pair.b, pair.a, 1);
  RTPex::startSrtp(pair.a, pair.b);
  EXPECT_EQ(2, pair.a->srtpMode.load());
  EXPECT_EQ(2, pair.b->srtpMode.load());
  int a = pair.a->localPort;
  int b = pair.b->localPort;

  for (uint16_t seq = 1; seq <= 3; seq++) {
    std::string toB = rtp(seq, 0xAAAA, 120, 0, seq);
    EXPECT_FALSE(goA.send("rtp", a, toB).empty());
    EXPECT_EQ(toB, goB.recv("rtp"));
    std::string toA = rtp(seq, 0xBBBB, 120, 0, 100 + seq);
    EXPECT_FALSE(goB.send("rtp", b, toA).empty());
    EXPECT_EQ(toA, goA.recv("rtp"));
  }
  EXPECT_FALSE(goA.send("rtcp", a + 1, rtcp(0xAAAA)).empty());
  EXPECT_EQ(rtcp(0xAAAA), goB.recv("rtcp"));
  EXPECT_FALSE(goB.send("rtcp", b + 1, rtcp(0xBBBB)).empty());
  EXPECT_EQ(rtcp(0xBBBB), goA.recv("rtcp"));
  EXPECT_TRUE(pair.close());
}

}  // namespace
