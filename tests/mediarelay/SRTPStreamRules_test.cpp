// Who may move an SRTP stream, through real endpoints on loopback: an
// SSRC's index moves only with its first source, its RTCP comes from that
// source's address, new SSRCs get room by source address, no rollover
// counter wraps, only a verified datagram counts as the key holder's, and
// an inbound context keeps its streams for the key's life.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "SRTPtest.h"
#include "pathtest.h"

namespace {

using pathtest::FarEnd;
using srtptest::FarParty;
using srtptest::RelayPair;
using srtptest::rtcp;
using srtptest::rtp;

const int kStepMs = 2;
const int kAfterLossMs = 200;

enum class Fate { kArrived, kRefused, kOther, kNothing };

std::ostream& operator<<(std::ostream& os, Fate f) {
  const char* names[] = {"arrived", "refused", "something else arrived", "nothing came of it"};
  return os << names[static_cast<int>(f)];
}

int counter(const int* field) {
  Synchronized hold(SRTPInfo::wo);
  return *field;
}

// Waits for plain at at (SRTP removed with ctx when given), or for the
// failure count to grow.
Fate await(const FarEnd& at, SRTPInfo* ctx, bool asRtcp, const std::string& plain,
           const int* failures, int before, int ms) {
  for (int waited = 0; waited < ms; waited += kStepMs) {
    if (counter(failures) > before) return Fate::kRefused;
    std::string got;
    if (at.receive(&got, nullptr, kStepMs)) {
      bool ok = ctx == nullptr || srtptest::unprotectWith(ctx, &got, asRtcp);
      return ok && got == plain ? Fate::kArrived : Fate::kOther;
    }
  }
  return counter(failures) > before ? Fate::kRefused : Fate::kNothing;
}

// A converting call: farA speaks SRTP with A, farB plain RTP with B (the
// party of A's outbound context).
struct Call {
  FarParty farA;
  FarParty farB;
  RelayPair pair;

  ~Call() { EXPECT_TRUE(pair.close()); }
  bool start() { return srtptest::startConverting(&pair, &farA, &farB, false); }

  // plain from from to B's RTP port (RTCP port when asRtcp), protected by A.
  Fate toSrtp(const FarEnd& from, const std::string& plain, bool asRtcp = false,
              int ms = pathtest::kWaitMs) {
    const int* failures = &pair.a->cryptoSend->protectErrorCount;
    int before = counter(failures);
    if (!from.sendTo(pair.b->localPort + (asRtcp ? 1 : 0), plain)) return Fate::kNothing;
    return await(asRtcp ? farA.control : farA.media, farA.recv.get(), asRtcp, plain, failures,
                 before, ms);
  }

  // farA's SRTP of plain to A's RTP port, unprotected with B's inbound
  // context; wire is sent as it is when given.
  Fate toPlain(const std::string& plain, const std::string& wire = "") {
    const int* failures = &pair.b->cryptoRecv->errorCount;
    int before = counter(failures);
    std::string bytes = wire.empty() ? farA.wire(plain, false) : wire;
    if (!farA.media.sendTo(pair.a->localPort, bytes)) return Fate::kNothing;
    return await(farB.media, nullptr, false, plain, failures, before, pathtest::kWaitMs);
  }
};

class SRTPStreamRulesTest : public srtptest::RelayTest {};

// Someone at the party's address on another port, or at another address,
// sends the party's SSRC 30,000 ahead: the party's next 250 datagrams all
// arrive, as only the SSRC's first source moves its index.
TEST_F(SRTPStreamRulesTest, OnlyTheFirstSourceMovesAnIndex) {
  for (const char* ip : {"127.0.0.1", "127.0.0.2"}) {
    SCOPED_TRACE(std::string("jump from ") + ip);
    Call call;
    ASSERT_TRUE(call.start());
    FarEnd jumper(ip, 0, "127.0.0.1");
    ASSERT_TRUE(jumper.ok());
    const uint32_t ssrc = 0xB0B;
    for (uint16_t seq = 1000; seq < 1010; seq++) {
      ASSERT_EQ(Fate::kArrived, call.toSrtp(call.farB.media, rtp(seq, ssrc, 40)));
    }
    // Whatever becomes of it (awaited, so that it cannot be taken for the
    // fate of the party's next one), the party's datagrams must go on.
    EXPECT_NE(Fate::kNothing, call.toSrtp(jumper, rtp(31010, ssrc, 40, 0, 0x33)));
    int arrived = 0;
    bool lost = false;
    for (uint16_t seq = 1010; seq < 1260; seq++) {
      Fate f = call.toSrtp(call.farB.media, rtp(seq, ssrc, 40), false,
                           lost ? kAfterLossMs : pathtest::kWaitMs);
      if (f == Fate::kArrived) {
        arrived++;
      } else if (f == Fate::kNothing) {
        lost = true;
      }
    }
    EXPECT_EQ(250, arrived) << "of the party's next datagrams arrived";
  }
}

// The RTCP of an SSRC comes from the address of the SSRC's first sender,
// from any port: a party's RTCP from its RTCP port, and so the RTCP of a
// sender that is not the party (one multihomed, say).
TEST_F(SRTPStreamRulesTest, RtcpOfAnSsrcFromItsFirstSendersAddress) {
  Call call;
  ASSERT_TRUE(call.start());
  FarParty other("127.0.0.5");
  ASSERT_TRUE(other.ok());
  ASSERT_EQ(Fate::kArrived, call.toSrtp(call.farB.media, rtp(1, 0xB0B, 40)));
  EXPECT_EQ(Fate::kArrived, call.toSrtp(call.farB.control, rtcp(0xB0B), true));
  ASSERT_EQ(Fate::kArrived, call.toSrtp(other.media, rtp(1, 0x5E5, 40)));
  EXPECT_EQ(Fate::kArrived, call.toSrtp(other.control, rtcp(0x5E5), true));
  EXPECT_EQ(Fate::kArrived, call.toSrtp(other.media, rtp(2, 0x5E5, 40)));
}

// New SSRCs of sources other than the party have room by source address,
// eight each: strangers at one address cannot shut out those at another,
// a party not recognised yet among them.
TEST_F(SRTPStreamRulesTest, NewSsrcRoomPerSourceAddress) {
  Call call;
  ASSERT_TRUE(call.start());
  FarEnd first("127.0.0.2", 0, "127.0.0.1");
  FarEnd firstOtherPort("127.0.0.2", 0, "127.0.0.1");
  FarEnd second("127.0.0.4", 0, "127.0.0.1");
  ASSERT_TRUE(first.ok() && firstOtherPort.ok() && second.ok());
  for (uint32_t i = 0; i < 8; i++) {
    EXPECT_EQ(Fate::kArrived, call.toSrtp(i % 2 == 0 ? first : firstOtherPort, rtp(1, 0x7000 + i, 0)))
        << i;
  }
  EXPECT_EQ(Fate::kRefused, call.toSrtp(first, rtp(1, 0x7008, 0)));
  EXPECT_EQ(Fate::kRefused, call.toSrtp(firstOtherPort, rtp(1, 0x7009, 0)));
  for (uint32_t i = 0; i < 8; i++) {
    EXPECT_EQ(Fate::kArrived, call.toSrtp(second, rtp(1, 0x8000 + i, 0))) << i;
  }
  EXPECT_EQ(Fate::kRefused, call.toSrtp(second, rtp(1, 0x8008, 0)));
  // The party has a room of its own.
  for (uint32_t i = 0; i < 32; i++) {
    EXPECT_EQ(Fate::kArrived, call.toSrtp(call.farB.media, rtp(1, 0xB000 + i, 0))) << i;
  }
  EXPECT_EQ(Fate::kRefused, call.toSrtp(call.farB.media, rtp(1, 0xB020, 0)));
}

// A datagram that would take a stream's rollover counter to 2^31 is not
// protected and counts as a protect failure; the one before still leaves.
TEST_F(SRTPStreamRulesTest, NoRolloverCounterReaches2To31) {
  Call call;
  ASSERT_TRUE(call.start());
  const uint32_t ssrc = 0xB0B;
  const uint32_t top = 0x7FFFFFFF;
  ASSERT_EQ(Fate::kArrived, call.toSrtp(call.farB.media, rtp(65534, ssrc, 40)));
  {
    Synchronized hold(SRTPInfo::wo);
    ASSERT_EQ(srtp_err_status_ok, srtp_set_stream_roc(call.pair.a->cryptoSend->session, ssrc, top));
    ASSERT_EQ(srtp_err_status_ok, srtp_set_stream_roc(call.farA.recv->session, ssrc, top));
  }
  EXPECT_EQ(Fate::kArrived, call.toSrtp(call.farB.media, rtp(65535, ssrc, 40)));
  int before = counter(&call.pair.a->cryptoSend->protectErrorCount);
  EXPECT_EQ(Fate::kRefused, call.toSrtp(call.farB.media, rtp(0, ssrc, 40)));
  EXPECT_EQ(Fate::kRefused, call.toSrtp(call.farB.media, rtp(1, ssrc, 40)));
  EXPECT_EQ(before + 2, counter(&call.pair.a->cryptoSend->protectErrorCount));
}

// After a transfer the old SRTP leg still has A as its partner, but A keeps
// no inbound context for it: a stranger's datagram into that leg is not
// verified, so it does not count as the key holder's and cannot move the
// new party's SSRC 30,000 ahead.
TEST_F(SRTPStreamRulesTest, OnlyAVerifiedDatagramIsTheKeyHolders) {
  FarParty farA;
  FarParty oldFar;
  FarParty party;
  RelayPair pair;  // a: farA's side; b: the new party's side
  ASSERT_TRUE(farA.ok() && oldFar.ok() && party.ok() && pair.open());
  int64_t oldId = RTPex::newInstance(103, 0, RelayPair::kPortMin, RelayPair::kPortMax,
                                     RelayPair::kPortMin, 0, 0, "host", 2048, 2048, 0, 0, 0,
                                     "127.0.0.1", 0);
  ASSERT_NE(0, oldId);
  RTPexPin old = RTPexPin::find(oldId);
  // The first call: a with the old leg, both converting.
  old->setSender(pair.a);
  pair.a->setSender(old.get());
  RelayPair::target(pair.a, oldFar.media.port(), oldFar.control.port());
  RelayPair::target(old.get(), farA.media.port(), farA.control.port());
  farA.speakSrtp(pair.a, old.get(), 0);
  oldFar.speakSrtp(old.get(), pair.a, 0);
  RTPex::startSrtp(pair.a, old.get());
  // The transfer: a with b, whose party speaks plain; the old leg is left
  // with a as its partner.
  pair.a->setSender(pair.b);
  srtptest::setRecvKey(pair.b, 0, srtptest::keyOf(farA.send.get()));
  RelayPair::target(pair.a, party.media.port(), party.control.port());
  RelayPair::target(pair.b, farA.media.port(), farA.control.port());
  RTPex::startSrtp(pair.a, pair.b);
  ASSERT_EQ(2, old->srtpMode.load());

  const uint32_t ssrc = 0xB0B;
  auto relayed = [&](uint16_t seq, int ms) {
    std::string plain = rtp(seq, ssrc, 40);
    const int* failures = &pair.a->cryptoSend->protectErrorCount;
    int before = counter(failures);
    EXPECT_TRUE(party.media.sendTo(pair.b->localPort, plain));
    return await(farA.media, farA.recv.get(), false, plain, failures, before, ms);
  };
  for (uint16_t seq = 100; seq < 105; seq++) ASSERT_EQ(Fate::kArrived, relayed(seq, pathtest::kWaitMs));
  FarEnd stranger("127.0.0.2", 0, "127.0.0.1");
  ASSERT_TRUE(stranger.ok());
  ASSERT_TRUE(stranger.sendTo(old->localPort, rtp(30105, ssrc, 40, 0, 0x44)));
  ASSERT_TRUE(relaytest::waitUntil([&] { return old->cntPacket.load() >= 1; }));
  int arrived = 0;
  bool lost = false;
  for (uint16_t seq = 105; seq < 125; seq++) {
    Fate f = relayed(seq, lost ? kAfterLossMs : pathtest::kWaitMs);
    if (f == Fate::kArrived) arrived++;
    if (f == Fate::kNothing) lost = true;
  }
  EXPECT_EQ(20, arrived) << "of the new party's datagrams arrived";
  old.reset();
  RTPex::closeAndDelete(oldId);
  EXPECT_TRUE(pair.close());
}

// An inbound context keeps at most 32 streams, for the key's life: a 33rd
// SSRC is refused and counted, and neither its replays nor those of a kept
// stream pass.
TEST_F(SRTPStreamRulesTest, InboundStreamsAreKeptForTheKeysLife) {
  {
    Call call;
    ASSERT_TRUE(call.start());
    std::vector<std::string> firstWires;
    for (uint32_t ssrc = 1; ssrc <= 32; ssrc++) {
      std::string plain = rtp(1, ssrc, 40);
      std::string wire = call.farA.wire(plain, false);
      firstWires.push_back(wire);
      ASSERT_EQ(Fate::kArrived, call.toPlain(plain, wire)) << ssrc;
    }
    std::string extra = rtp(1, 33, 40);
    std::string extraWire = call.farA.wire(extra, false);
    EXPECT_EQ(Fate::kRefused, call.toPlain(extra, extraWire));
    int passed = 0;
    for (int i = 0; i < 5; i++) passed += call.toPlain(extra, extraWire) == Fate::kArrived;
    for (uint32_t ssrc = 1; ssrc <= 10; ssrc++) {
      passed += call.toPlain(rtp(1, ssrc, 40), firstWires[ssrc - 1]) == Fate::kArrived;
    }
    EXPECT_EQ(0, passed) << "replays reached the plain side";
    // The kept streams go on.
    EXPECT_EQ(Fate::kArrived, call.toPlain(rtp(2, 1, 40)));
  }
}

}  // namespace
