// SRTP conversion through real endpoints on loopback: pending mode, dropped
// datagrams that fail to unprotect, and contexts replaced while the receive
// threads convert.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "SRTPtest.h"
#include "pathtest.h"

namespace {

using srtptest::FarParty;
using srtptest::RelayPair;
using srtptest::rtcp;
using srtptest::rtp;

class SRTPRelayTest : public srtptest::RelayTest {};

// An endpoint opened pending drops media both ways until the pair starts;
// DTLS from its far end still passes.
TEST_F(SRTPRelayTest, PendingDropsMediaUntilStart) {
  FarParty farA;
  FarParty farB;
  ASSERT_TRUE(farA.ok() && farB.ok());
  RelayPair pair;
  ASSERT_TRUE(pair.open(true, false));
  EXPECT_EQ(1, pair.a->srtpMode.load());
  srtptest::wire(&pair, &farA, &farB);
  farA.speakSrtp(pair.a, pair.b, 0);
  int a = pair.a->localPort;
  int b = pair.b->localPort;

  // Each leg handles its datagrams in order: once a leg has counted the
  // second, the first is done with.
  for (uint32_t n : {1, 2}) {
    ASSERT_TRUE(farA.sendControl(a + 1, rtcp(0xA, n)));
    ASSERT_TRUE(farB.sendMedia(b, rtp(static_cast<uint16_t>(n), 0xB, 40)));
    ASSERT_TRUE(farB.sendControl(b + 1, rtcp(0xB, n)));
  }
  ASSERT_TRUE(farA.sendMedia(a, rtp(1, 0xA, 40)));
  ASSERT_TRUE(farA.media.sendTo(a, pathtest::dtls("pending")));
  std::string got;
  ASSERT_TRUE(farB.media.receive(&got));
  EXPECT_EQ(pathtest::dtls("pending"), got);  // the RTP sent before it was dropped
  EXPECT_TRUE(relaytest::waitUntil([&] {
    return pair.a->rtcp.cntPacket.load() == 2 && pair.b->cntPacket.load() == 2 &&
           pair.b->rtcp.cntPacket.load() == 2;
  }));

  int counted = SRTPInfo::countConcurrent;
  RTPex::startSrtp(pair.a, pair.b);
  EXPECT_EQ(2, pair.a->srtpMode.load());
  EXPECT_EQ(0, pair.b->srtpMode.load());
  EXPECT_EQ(counted + 1, SRTPInfo::countConcurrent);

  // The first datagrams to arrive are those sent after the start.
  ASSERT_TRUE(farA.sendMedia(a, rtp(3, 0xA, 40)));
  ASSERT_TRUE(farB.next(&farB.media, false, &got));
  EXPECT_EQ(rtp(3, 0xA, 40), got);
  ASSERT_TRUE(farB.sendMedia(b, rtp(3, 0xB, 40)));
  ASSERT_TRUE(farA.next(&farA.media, false, &got));
  EXPECT_EQ(rtp(3, 0xB, 40), got);
  ASSERT_TRUE(farA.sendControl(a + 1, rtcp(0xA, 3)));
  ASSERT_TRUE(farB.next(&farB.control, true, &got));
  EXPECT_EQ(rtcp(0xA, 3), got);
  ASSERT_TRUE(farB.sendControl(b + 1, rtcp(0xB, 3)));
  ASSERT_TRUE(farA.next(&farA.control, true, &got));
  EXPECT_EQ(rtcp(0xB, 3), got);

  EXPECT_TRUE(pair.close());
  EXPECT_EQ(counted, SRTPInfo::countConcurrent);  // the release took it back
}

// A datagram that fails to unprotect goes nowhere and the stream goes on,
// whether the other far end speaks plain RTP or SRTP of its own.
TEST_F(SRTPRelayTest, TamperedDatagramIsNotForwarded) {
  for (bool bothConvert : {false, true}) {
    SCOPED_TRACE(bothConvert ? "both convert" : "one side converts");
    FarParty farA;
    FarParty farB;
    RelayPair pair;
    ASSERT_TRUE(srtptest::startConverting(&pair, &farA, &farB, bothConvert));
    int a = pair.a->localPort;
    size_t mark = relaytest::logText().size();

    for (uint16_t seq = 1; seq <= 3; seq++) {
      std::string media = farA.wire(rtp(seq, 0xA, 60), false);
      std::string control = farA.wire(rtcp(0xA, seq), true);
      if (seq == 2) {
        media[30] ^= 0x10;
        control[12] ^= 0x10;
      }
      ASSERT_TRUE(farA.media.sendTo(a, media));
      ASSERT_TRUE(farA.control.sendTo(a + 1, control));
    }
    for (uint16_t seq : {1, 3}) {
      std::string got;
      ASSERT_TRUE(farB.next(&farB.media, false, &got)) << seq;
      EXPECT_EQ(rtp(seq, 0xA, 60), got);
      ASSERT_TRUE(farB.next(&farB.control, true, &got)) << seq;
      EXPECT_EQ(rtcp(0xA, seq), got);
    }
    {
      Synchronized hold(SRTPInfo::wo);
      EXPECT_EQ(2, pair.b->cryptoRecv->errorCount);
    }
    std::string log = relaytest::logSince(mark);
    EXPECT_EQ(1u, srtptest::count(log, "strp_unprotect() failed r=7"));
    EXPECT_EQ(1u, srtptest::count(log, "srtp_unprotect_rtcp() failed r=7"));
    EXPECT_TRUE(pair.close());
  }
}

// A new SSRC on every datagram from either far end, through the receive
// threads: the relay's contexts keep a bounded number of streams for the
// key's life; each way converts its first SSRCs up to the bound (the
// party's MAX_PARTY_STREAMS plain to SRTP, MAX_STREAMS SRTP to plain),
// later ones never leave and are counted, and SSRCs seen before convert
// again.
TEST_F(SRTPRelayTest, NewSsrcFloodKeepsStreamsBounded) {
  FarParty farA;  // speaks SRTP with A
  FarParty farB;  // plain
  RelayPair pair;
  ASSERT_TRUE(srtptest::startConverting(&pair, &farA, &farB, false));
  const uint32_t kFlood = 300;
  struct Way {
    const char* name;
    FarParty* from;
    int port;
    FarParty* to;
    SRTPInfo* ctx;
    int* failures;  // the context's count of refused datagrams
    uint32_t kept;  // streams kept
  } ways[] = {{"plain to SRTP", &farB, pair.b->localPort, &farA, pair.a->cryptoSend,
               &pair.a->cryptoSend->protectErrorCount, SRTPInfo::MAX_PARTY_STREAMS},
              {"SRTP to plain", &farA, pair.a->localPort, &farB, pair.b->cryptoRecv,
               &pair.b->cryptoRecv->errorCount, SRTPInfo::MAX_STREAMS}};
  for (const Way& w : ways) {
    SCOPED_TRACE(w.name);
    const uint32_t kKept = w.kept;
    auto passes = [&](uint32_t ssrc, uint16_t seq) {
      std::string sent = rtp(seq, ssrc, 40);
      std::string got;
      return w.from->sendMedia(w.port, sent) && w.to->next(&w.to->media, false, &got) &&
             got == sent;
    };
    for (uint32_t ssrc = 1; ssrc <= kFlood; ssrc++) {
      if (ssrc > kKept) {
        // Paced by the refusals counted, so that no socket overflows.
        ASSERT_TRUE(w.from->sendMedia(w.port, rtp(1, ssrc, 40)));
        ASSERT_TRUE(relaytest::waitUntil([&] {
          Synchronized hold(SRTPInfo::wo);
          return *w.failures == static_cast<int>(ssrc - kKept);
        })) << ssrc;
      } else {
        ASSERT_TRUE(passes(ssrc, 1)) << ssrc;
      }
    }
    EXPECT_EQ(static_cast<int>(kKept), srtptest::streamsAmong(w.ctx, 1, kFlood));
    // Also the first to arrive after the refused ones.
    EXPECT_TRUE(passes(1, 2));
    EXPECT_TRUE(passes(kKept, 2));
  }
  EXPECT_TRUE(pair.close());
}

// Java threads replace contexts and restart the pair while every leg's own
// receive thread converts in both directions; afterwards the stream flows
// with the newest keys.
TEST_F(SRTPRelayTest, ContextsReplacedWhileReceiveThreadsConvert) {
  relaytest::ScopedDispatcher oneLegPerThread(relaytest::dispatcherWith(1));
  FarParty farA;
  FarParty farB;
  RelayPair pair;
  ASSERT_TRUE(srtptest::startConverting(&pair, &farA, &farB, true));
  int a = pair.a->localPort;
  int b = pair.b->localPort;
  std::string keyA = srtptest::keyOf(farA.send.get());
  std::string keyB = srtptest::keyOf(farB.send.get());

  const int kPackets = 1500;
  // What the pumps sent to A's and B's RTP and RTCP legs, and what those
  // legs had counted before.
  RTex* legs[] = {pair.a, &pair.a->rtcp, pair.b, &pair.b->rtcp};
  const int legPorts[] = {a, a + 1, b, b + 1};
  std::atomic<int> sentTo[4] = {};
  int countedBefore[4];
  for (int i = 0; i < 4; i++) countedBefore[i] = legs[i]->cntPacket.load();
  auto pump = [](FarParty* far, int port, uint32_t ssrc, std::atomic<int>* sent) {
    for (int i = 0; i < kPackets; i++) {
      if (far->sendMedia(port, rtp(static_cast<uint16_t>(100 + i), ssrc, 80))) sent[0]++;
      if (i % 10 == 0 && far->sendControl(port + 1, rtcp(ssrc, static_cast<uint32_t>(i)))) {
        sent[1]++;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  };
  auto replace = [&](int rounds, bool fromA) {
    for (int i = 0; i < rounds; i++) {
      if (fromA) {
        srtptest::newSendKey(pair.a, 0);
        srtptest::setRecvKey(pair.b, 0, keyA);
      } else {
        srtptest::newSendKey(pair.b, 1);
        srtptest::setRecvKey(pair.a, 1, keyB);
      }
      RTPex::startSrtp(pair.a, pair.b);
      RTPex::getInfo("");
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back(pump, &farA, a, 0xA, &sentTo[0]);
  threads.emplace_back(pump, &farB, b, 0xB, &sentTo[2]);
  threads.emplace_back(replace, 300, true);
  threads.emplace_back(replace, 300, false);
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(2, pair.a->srtpMode.load());
  EXPECT_EQ(2, pair.b->srtpMode.load());

  // The far ends take the relay's newest keys; their next datagrams arrive.
  farA.learnKeyOf(pair.a, 0);
  farB.learnKeyOf(pair.b, 1);
  const std::string toB = rtp(9000, 0xA, 80);
  const std::string toA = rtp(9000, 0xB, 80);
  // Every leg has read what the pumps sent it, or the kernel dropped it:
  // no backlog of a starved receive thread may fill the far ends' queues
  // again after they are drained.
  ASSERT_TRUE(relaytest::waitUntil([&] {
    for (int i = 0; i < 4; i++) {
      long read = legs[i]->cntPacket.load() - countedBefore[i];
      if (read + relaytest::kernelDrops(legPorts[i]) < sentTo[i].load()) return false;
    }
    return true;
  }, 30000));
  // Room in the far ends' sockets for what comes next.
  for (FarParty* far : {&farA, &farB}) {
    std::string old;
    for (int i = 0; i < 4 * kPackets && far->media.receive(&old, nullptr, 300); i++) {
    }
  }
  ASSERT_TRUE(farA.sendMedia(a, toB));
  ASSERT_TRUE(farB.sendMedia(b, toA));
  auto arrives = [](FarParty* far, const std::string& want) {
    for (int i = 0; i < 2 * kPackets; i++) {
      std::string got;
      if (!far->media.receive(&got)) return false;
      if (srtptest::unprotectWith(far->recv.get(), &got, false) && got == want) return true;
    }
    return false;
  };
  EXPECT_TRUE(arrives(&farB, toB));
  EXPECT_TRUE(arrives(&farA, toA));
  EXPECT_TRUE(pair.close());
}

}  // namespace
