// Plain RTP to SRTP through real endpoints on loopback while strangers send
// to the plain side: no index leaves protected twice, and the strangers' new
// SSRCs cannot use up the room of the party's.
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
using srtptest::rtp;
using srtptest::streamsAmong;

// A context's room for new outbound SSRCs: those of the party (the far end
// that the relay sends the other direction to) and those of one other
// source address. SRTPInfo's MAX_PARTY_STREAMS and MAX_STREAMS_PER_ADDRESS,
// written out so that the test builds against a relay without them too.
const int kPartyRoom = 32;
const int kOtherRoom = 8;

const int kWaitMs = 20000;
const int kStepMs = 2;

// How a datagram reaches B: RTP and multiplexed RTCP on the RTP port,
// RTCP on the RTCP port.
enum class Kind { kRtp, kRtcpPort, kRtcpMux };

const char* nameOf(Kind kind) {
  switch (kind) {
    case Kind::kRtp:
      return "RTP";
    case Kind::kRtcpPort:
      return "RTCP port";
    case Kind::kRtcpMux:
      return "multiplexed RTCP";
  }
  return "?";
}

// The call's own datagrams: RTP with 40 payload bytes, or a sender report.
std::string packet(Kind kind, uint32_t ssrc, uint16_t seq) {
  return kind == Kind::kRtp ? rtp(seq, ssrc, 40) : srtptest::rtcp(ssrc, seq);
}

// A stranger's: a bare 12-byte RTP header, or a sender report.
std::string probe(Kind kind, uint32_t ssrc) {
  return kind == Kind::kRtp ? rtp(1, ssrc, 0) : srtptest::rtcp(ssrc, 1);
}

// What became of a datagram sent to B's plain side.
enum class Fate {
  kArrived,  // farA received it, protected with A's outbound context
  kRefused,  // A's outbound context counted a refusal
  kOther,    // farA received something else
  kNothing,  // neither, in time
};

std::ostream& operator<<(std::ostream& os, Fate fate) {
  switch (fate) {
    case Fate::kArrived:
      return os << "arrived";
    case Fate::kRefused:
      return os << "refused";
    case Fate::kOther:
      return os << "something else arrived";
    case Fate::kNothing:
      return os << "nothing came of it";
  }
  return os;
}

// admitted arrivals, then refusals, n in all.
std::vector<Fate> firstAdmitted(int admitted, int n) {
  std::vector<Fate> fates(static_cast<size_t>(n), Fate::kRefused);
  for (int i = 0; i < admitted && i < n; i++) fates[static_cast<size_t>(i)] = Fate::kArrived;
  return fates;
}

// A converting call: farA speaks SRTP with A, farB plain RTP with B; what
// arrives on B leaves A protected with A's cryptoSend, and farB, where A
// sends, is that context's party. The stranger is no far end of the call.
struct Call {
  FarParty farA;
  FarParty farB;
  FarEnd stranger{"127.0.0.2", 0, "127.0.0.1"};  // not at the party's address
  RelayPair pair;

  ~Call() { EXPECT_TRUE(pair.close()); }

  bool start() { return stranger.ok() && srtptest::startConverting(&pair, &farA, &farB, false); }

  SRTPInfo* outbound() const { return pair.a->cryptoSend; }

  int refusals() const {
    Synchronized hold(SRTPInfo::wo);
    return pair.a->cryptoSend->protectErrorCount;
  }

  int portOf(Kind kind) const { return pair.b->localPort + (kind == Kind::kRtcpPort ? 1 : 0); }

  // farB's socket that the relay takes as the party for kind.
  const FarEnd& party(Kind kind) const {
    return kind == Kind::kRtcpPort ? farB.control : farB.media;
  }

  // Sends plain from from to B's port for kind and waits until the relay
  // has dealt with it. Each datagram is handled before the next is sent, so
  // no socket queue holds more than one: the kernel has none to drop. wire
  // gets the bytes that arrived.
  Fate relay(const FarEnd& from, Kind kind, const std::string& plain,
             std::string* wire = nullptr) {
    int before = refusals();
    if (!from.sendTo(portOf(kind), plain)) return Fate::kNothing;
    const FarEnd& at = kind == Kind::kRtcpPort ? farA.control : farA.media;
    for (int waited = 0; waited < kWaitMs; waited += kStepMs) {
      if (refusals() > before) return Fate::kRefused;
      std::string got;
      if (at.receive(&got, nullptr, kStepMs)) {
        if (wire != nullptr) *wire = got;
        bool plainAgain = srtptest::unprotectWith(farA.recv.get(), &got, kind != Kind::kRtp);
        return plainAgain && got == plain ? Fate::kArrived : Fate::kOther;
      }
    }
    relaytest::reportKernelDrops(
        "B and farA", relaytest::kernelDrops({portOf(kind), at.port()}));
    return Fate::kNothing;
  }

  // One datagram of kind from from for each of n new SSRCs from first up.
  std::vector<Fate> spray(const FarEnd& from, Kind kind, uint32_t first, int n) {
    std::vector<Fate> fates;
    for (int i = 0; i < n; i++) {
      fates.push_back(relay(from, kind, probe(kind, first + static_cast<uint32_t>(i))));
    }
    return fates;
  }
};

// Whether two protected RTP datagrams of the same length carry their
// plains under one keystream: their payloads XOR alike.
bool sameKeystream(const std::string& wire1, const std::string& wire2, const std::string& plain1,
                   const std::string& plain2) {
  if (wire1.size() != wire2.size() || plain1.size() != plain2.size()) return false;
  for (size_t i = 12; i < plain1.size(); i++) {
    if ((wire1[i] ^ wire2[i]) != (plain1[i] ^ plain2[i])) return false;
  }
  return true;
}

class SRTPPartyTest : public srtptest::RelayTest {};

// An SSRC and sequence number just protected, sent again with bytes of the
// sender's own, would leave under the same keystream: it is refused, whoever
// sends it, and the stream goes on.
TEST_F(SRTPPartyTest, RepeatedIndexIsNotProtectedAgain) {
  for (bool byStranger : {true, false}) {
    SCOPED_TRACE(byStranger ? "a stranger repeats" : "the party repeats");
    Call call;
    ASSERT_TRUE(call.start());
    const uint32_t ssrc = 0x5EC0;
    const std::string first = rtp(100, ssrc, 40, 0, 1);
    const std::string again = rtp(100, ssrc, 40, 0, 0x41);
    std::string firstWire;
    std::string againWire;
    ASSERT_EQ(Fate::kArrived, call.relay(call.farB.media, Kind::kRtp, first, &firstWire));
    size_t mark = relaytest::logText().size();

    const FarEnd& from = byStranger ? call.stranger : call.farB.media;
    EXPECT_EQ(Fate::kRefused, call.relay(from, Kind::kRtp, again, &againWire))
        << (sameKeystream(firstWire, againWire, first, again) ? "it left under the same keystream"
                                                              : "");
    EXPECT_EQ(1, call.refusals());
    // The party's repeat fails libsrtp2's replay check; a stranger's RTP of
    // the party's SSRC is refused before it.
    const std::string record = byStranger ? "protect error: r=" : "protect error: r=9";
    EXPECT_TRUE(relaytest::waitUntil(
        [&] { return srtptest::count(relaytest::logSince(mark), record) == 1; }));
    // The next index still converts, and is the next thing to arrive.
    EXPECT_EQ(Fate::kArrived, call.relay(call.farB.media, Kind::kRtp, rtp(101, ssrc, 40)));
  }
}

// Strangers' new SSRCs sent before the call's media, many more than a
// context keeps, on each way in: a few are admitted, and every datagram of
// the call's own SSRC converts afterwards.
TEST_F(SRTPPartyTest, StrangerFloodLeavesTheCallItsRoom) {
  for (Kind kind : {Kind::kRtp, Kind::kRtcpPort, Kind::kRtcpMux}) {
    for (int flood : {kPartyRoom, 100}) {
      SCOPED_TRACE(std::string(nameOf(kind)) + ", " + std::to_string(flood) + " stranger SSRCs");
      Call call;
      ASSERT_TRUE(call.start());
      std::vector<Fate> fates = call.spray(call.stranger, kind, 0x7000, flood);
      EXPECT_EQ(firstAdmitted(kOtherRoom, flood), fates);

      // On to the next case at the first datagram lost.
      for (uint16_t seq = 1; seq <= 200; seq++) {
        Fate fate = call.relay(call.party(kind), kind, packet(kind, 0xB0B, seq));
        if (fate != Fate::kArrived) {
          ADD_FAILURE() << "datagram " << seq << " of the call: " << fate;
          break;
        }
      }
      EXPECT_EQ(flood - kOtherRoom, call.refusals());
    }
  }
}

// After strangers have tried 40 new SSRCs, the party changes SSRC ten
// times, as holds and transfers make it: each of its SSRCs converts, RTP and
// RTCP, while strangers' SSRCs beyond their room never leave.
TEST_F(SRTPPartyTest, PartySsrcChangesConvertAfterStrangers) {
  Call call;
  ASSERT_TRUE(call.start());
  uint32_t next = 0x7000;
  EXPECT_EQ(firstAdmitted(kOtherRoom, 31), call.spray(call.stranger, Kind::kRtp, next, 31));
  next += 31;
  EXPECT_EQ(firstAdmitted(0, 9), call.spray(call.stranger, Kind::kRtp, next, 9));
  next += 9;

  const uint32_t party = 0xC0DE00;
  for (uint32_t k = 0; k < 10; k++) {
    SCOPED_TRACE("party SSRC " + std::to_string(k));
    for (uint16_t seq = 1; seq <= 5; seq++) {
      uint16_t index = static_cast<uint16_t>(100 * k + seq);
      ASSERT_EQ(Fate::kArrived,
                call.relay(call.farB.media, Kind::kRtp, packet(Kind::kRtp, party + k, index)));
    }
    ASSERT_EQ(Fate::kArrived, call.relay(call.farB.control, Kind::kRtcpPort,
                                         packet(Kind::kRtcpPort, party + k, 1)));
    // Between the changes strangers go on with new SSRCs.
    EXPECT_EQ(Fate::kRefused, call.relay(call.stranger, Kind::kRtp, probe(Kind::kRtp, next++)));
  }
  EXPECT_EQ(10, streamsAmong(call.outbound(), party, party + 9));
  EXPECT_EQ(kOtherRoom, streamsAmong(call.outbound(), 0x7000, next - 1));
}

// An SSRC's RTP is taken only from the source that sent it first, whoever
// that is: a second source, the party included, would move its index and
// get the first one's datagrams refused as old. The first goes on as
// before, and the party's SSRCs take no room of the strangers'.
TEST_F(SRTPPartyTest, SsrcStaysWithItsFirstSource) {
  for (bool strangerFirst : {true, false}) {
    SCOPED_TRACE(strangerFirst ? "a stranger sends it first" : "the party sends it first");
    Call call;
    ASSERT_TRUE(call.start());
    const uint32_t ssrc = 0x5151;
    const FarEnd& first = strangerFirst ? call.stranger : call.farB.media;
    const FarEnd& second = strangerFirst ? call.farB.media : call.stranger;
    ASSERT_EQ(Fate::kArrived, call.relay(first, Kind::kRtp, rtp(10, ssrc, 40)));
    EXPECT_EQ(Fate::kRefused, call.relay(second, Kind::kRtp, rtp(1000, ssrc, 40)));
    EXPECT_EQ(Fate::kArrived, call.relay(first, Kind::kRtp, rtp(11, ssrc, 40)));
    EXPECT_EQ(1, call.refusals());

    int strangersLeft = strangerFirst ? kOtherRoom - 1 : kOtherRoom;
    EXPECT_EQ(firstAdmitted(strangersLeft, kOtherRoom + 1),
              call.spray(call.stranger, Kind::kRtp, 0x7000, kOtherRoom + 1));
    EXPECT_EQ(Fate::kArrived, call.relay(first, Kind::kRtp, rtp(12, ssrc, 40)));
  }
}

// Strangers fill their room and are refused beyond it; the streams are
// exactly those of the admitted SSRCs, and none is removed or made again
// (a stream made again would take index 1 anew). A stranger is any source
// at another address than the party's.
TEST_F(SRTPPartyTest, StrangerStreamsAreNeverRemade) {
  enum Source { kOtherAddress, kPartyPortOtherAddress };
  struct Case {
    const char* name;
    Source source;
  } cases[] = {{"another address", kOtherAddress},
               {"the party's port on another address", kPartyPortOtherAddress}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Call call;
    ASSERT_TRUE(call.start());
    std::unique_ptr<FarEnd> elsewhere;
    const FarEnd* stranger = &call.stranger;
    if (c.source == kPartyPortOtherAddress) {
      elsewhere.reset(new FarEnd("127.0.0.3", call.farB.media.port(), "127.0.0.1"));
      stranger = elsewhere.get();
    }
    ASSERT_TRUE(stranger->ok());
    SRTPInfo* ctx = call.outbound();
    const uint32_t first = 0x6000;
    const uint32_t beyond = first + kOtherRoom;  // first SSRC without room
    EXPECT_EQ(firstAdmitted(kOtherRoom, 2 * kOtherRoom),
              call.spray(*stranger, Kind::kRtp, first, 2 * kOtherRoom));
    EXPECT_EQ(kOtherRoom, streamsAmong(ctx, first, beyond - 1));
    EXPECT_EQ(0, streamsAmong(ctx, beyond, beyond + kOtherRoom - 1));

    for (uint16_t seq = 1; seq <= 3; seq++) {
      ASSERT_EQ(Fate::kArrived, call.relay(call.farB.media, Kind::kRtp, rtp(seq, 0xB0B, 40)));
    }
    for (uint32_t ssrc = first; ssrc < beyond; ssrc++) {
      SCOPED_TRACE(::testing::Message() << "SSRC 0x" << std::hex << ssrc);
      EXPECT_EQ(Fate::kRefused, call.relay(*stranger, Kind::kRtp, rtp(1, ssrc, 0)));
      EXPECT_EQ(Fate::kArrived, call.relay(*stranger, Kind::kRtp, rtp(2, ssrc, 0)));
    }
    EXPECT_EQ(Fate::kRefused, call.relay(*stranger, Kind::kRtp, probe(Kind::kRtp, beyond)));
    EXPECT_EQ(kOtherRoom, streamsAmong(ctx, first, beyond - 1));
    EXPECT_EQ(0, streamsAmong(ctx, beyond, beyond + kOtherRoom - 1));
    EXPECT_EQ(1, streamsAmong(ctx, 0xB0B, 0xB0B));
  }
}

// The party is its address, whatever port it sends from (a party may send
// from another port than it receives on, and RTCP from its RTP socket):
// strangers that used up their room before do not stop it.
TEST_F(SRTPPartyTest, PartySendsFromAnotherPortAfterStrangers) {
  for (Kind kind : {Kind::kRtp, Kind::kRtcpPort, Kind::kRtcpMux}) {
    SCOPED_TRACE(nameOf(kind));
    Call call;
    ASSERT_TRUE(call.start());
    EXPECT_EQ(firstAdmitted(kOtherRoom, kOtherRoom + 4),
              call.spray(call.stranger, kind, 0x7000, kOtherRoom + 4));
    FarEnd otherPort("127.0.0.1");
    ASSERT_TRUE(otherPort.ok());
    const FarEnd* froms[] = {&otherPort, &call.farB.media};
    for (const FarEnd* from : froms) {
      for (uint16_t seq = 1; seq <= 5; seq++) {
        uint16_t index = static_cast<uint16_t>(seq + (from == &otherPort ? 0 : 10));
        ASSERT_EQ(Fate::kArrived,
                  call.relay(*from, kind, packet(kind, 0xB0B + (from == &otherPort), index)));
      }
    }
  }
}

// When both sides speak SRTP, a datagram that passed authentication on its
// way in comes from the holder of the key, wherever it comes from (behind a
// NAT that moved it, say): it converts like the party's own.
TEST_F(SRTPPartyTest, AuthenticatedSenderCountsAsTheParty) {
  FarParty farA;
  FarParty farB;
  RelayPair pair;
  ASSERT_TRUE(srtptest::startConverting(&pair, &farA, &farB, true));
  FarEnd moved("127.0.0.4", 0, "127.0.0.1");
  ASSERT_TRUE(moved.ok());
  const int b = pair.b->localPort;
  auto arrives = [&](const FarEnd& from, uint16_t seq) {
    std::string plain = rtp(seq, 0xB0B, 40);
    std::string got;
    return from.sendTo(b, farB.wire(plain, false)) && farA.next(&farA.media, false, &got) &&
           got == plain;
  };
  EXPECT_TRUE(arrives(farB.media, 1));
  EXPECT_TRUE(arrives(moved, 2));
  EXPECT_TRUE(arrives(farB.media, 3));
  {
    Synchronized hold(SRTPInfo::wo);
    EXPECT_EQ(0, pair.a->cryptoSend->protectErrorCount);
  }
  EXPECT_TRUE(pair.close());
}

}  // namespace
