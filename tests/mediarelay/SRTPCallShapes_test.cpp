// Ordinary call shapes through a converting pair, on loopback: a plain
// party that moves its RTP port with its SSRC kept, and learning towards
// an SRTP side whose media is still held back until the keys are in.
#include <gtest/gtest.h>

#include <string>

#include "SRTPtest.h"
#include "pathtest.h"

namespace {

using pathtest::FarEnd;
using srtptest::FarParty;
using srtptest::RelayPair;
using srtptest::rtp;

class SRTPCallShapesTest : public srtptest::RelayTest {};

// Whether plain, sent from from to B's RTP port, reaches farA protected
// with A's outbound context.
bool reachesSrtpSide(RelayPair* pair, FarParty* farA, const FarEnd& from,
                     const std::string& plain) {
  if (!from.sendTo(pair->b->localPort, plain)) return false;
  std::string got;
  if (!farA->media.receive(&got)) return false;
  return srtptest::unprotectWith(farA->recv.get(), &got, false) && got == plain;
}

// The plain party gets a new RTP port in a re-INVITE (a new socket, or its
// NAT's new mapping after a long hold) and, as RFC 3550 allows, keeps its
// SSRC and sequence. Java sets the new target; the party's media must go on
// reaching the SRTP side, as it did before SSRCs were bound to a port.
TEST_F(SRTPCallShapesTest, PartyKeepsItsSsrcOnANewPort) {
  FarParty farA;
  FarParty farB;
  RelayPair pair;
  ASSERT_TRUE(srtptest::startConverting(&pair, &farA, &farB, false));
  const uint32_t ssrc = 0xB0B;
  for (uint16_t seq = 1; seq <= 5; seq++) {
    ASSERT_TRUE(reachesSrtpSide(&pair, &farA, farB.media, rtp(seq, ssrc, 40))) << seq;
  }
  FarEnd moved("127.0.0.1");
  ASSERT_TRUE(moved.ok());
  std::string ip = "127.0.0.1";
  pair.a->setTarget(ip, moved.port(), 0, false);
  int arrived = 0;
  for (uint16_t seq = 6; seq <= 10 && arrived == seq - 6; seq++) {
    arrived += reachesSrtpSide(&pair, &farA, moved, rtp(seq, ssrc, 40)) ? 1 : 0;
  }
  EXPECT_EQ(5, arrived) << "of the party's datagrams from its new port reached the SRTP side";
  EXPECT_TRUE(pair.close());
}

// A's endpoint is opened pending (its media dropped until the keys are in);
// B's side learns A behind a NAT (127.0.0.3, signalled as 127.0.0.2). A
// stranger's junk datagram to A's port while pending must not become where
// B's media goes: once SRTP runs, A's verified datagrams are the only
// source of A, and B's media must reach A, not the stranger.
TEST_F(SRTPCallShapesTest, JunkWhilePendingIsNotLearned) {
  FarParty farA("127.0.0.3");
  FarParty farB;
  FarEnd stranger("127.0.0.4", 0, "127.0.0.1");
  RelayPair pair;
  ASSERT_TRUE(farA.ok() && farB.ok() && stranger.ok());
  ASSERT_TRUE(pair.open(true, false));
  RelayPair::target(pair.a, farB.media.port(), farB.control.port());
  pair.b->setLearning(true);
  std::string signalled = "127.0.0.2";
  pair.b->setTarget(signalled, farA.media.port(), 0, true);
  farA.speakSrtp(pair.a, pair.b, 0);

  ASSERT_TRUE(stranger.sendTo(pair.a->localPort, rtp(1, 0x5757, 40)));
  ASSERT_TRUE(relaytest::waitUntil([&] { return pair.a->cntPacket.load() >= 1; }));
  // B answers and speaks at once; A's side is still pending.
  ASSERT_TRUE(farB.media.sendTo(pair.b->localPort, rtp(1, 0xB0B, 40)));
  ASSERT_TRUE(relaytest::waitUntil([&] { return pair.b->cntPacket.load() >= 1; }));

  RTPex::startSrtp(pair.a, pair.b);
  ASSERT_EQ(2, pair.a->srtpMode.load());
  for (uint16_t seq = 1; seq <= 3; seq++) {
    std::string plain = rtp(seq, 0xA0A, 40);
    ASSERT_TRUE(farA.sendMedia(pair.a->localPort, plain));
    std::string got;
    ASSERT_TRUE(farB.media.receive(&got)) << "A's verified media did not reach B";
    EXPECT_EQ(plain, got);
  }
  int arrived = 0;
  for (uint16_t seq = 2; seq <= 4 && arrived == seq - 2; seq++) {
    arrived += reachesSrtpSide(&pair, &farA, farB.media, rtp(seq, 0xB0B, 40)) ? 1 : 0;
  }
  EXPECT_EQ(3, arrived) << "of B's datagrams reached A";
  std::string leaked;
  EXPECT_FALSE(stranger.receive(&leaked, nullptr, 200)) << "B's media went to the stranger";
  EXPECT_TRUE(pair.close());
}

}  // namespace
