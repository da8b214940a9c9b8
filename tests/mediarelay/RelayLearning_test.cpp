// Where a leg sends once it learns its far end from where that far end
// really sends: again after every new target, the signalled address before
// a stranger, and, on a leg that removes SRTP, only from datagrams that a
// context verified. Through real endpoints and their receive threads.
#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "SRTPtest.h"
#include "pathtest.h"

namespace {

using pathtest::FarEnd;
using pathtest::Options;

const int kRounds = 20;
// The wait for each datagram once one was lost: the test has failed by
// then, and the count of the rest only tells how badly.
const int kAfterLossMs = 200;

// A far end with an RTP and an RTCP socket on ip, sending to the relay on
// 127.0.0.1 (from another address: behind a NAT).
struct Party {
  explicit Party(const char* ip) : media(ip, 0, "127.0.0.1"), control(ip, 0, "127.0.0.1") {}
  bool ok() const { return media.ok() && control.ok(); }
  FarEnd media;
  FarEnd control;
};

// The leg under test: RTP on the RTP ports or RTCP on the RTCP ports.
struct Leg {
  bool rtcp;
  const char* name() const { return rtcp ? "RTCP" : "RTP"; }
  RTex* of(RTPex* ep) const { return rtcp ? static_cast<RTex*>(&ep->rtcp) : ep; }
  int port(const RTPex* ep) const { return ep->localPort + (rtcp ? 1 : 0); }
  const FarEnd& socket(const Party& p) const { return rtcp ? p.control : p.media; }
  std::string packet(const std::string& tag) const {
    return rtcp ? pathtest::rtcpSr(tag, 20) : pathtest::rtp(tag, 0, 20);
  }
};

const Leg kRtpLeg{false};
const Leg kRtcpLeg{true};

void drain(const FarEnd& at, std::vector<std::string>* got = nullptr) {
  std::string d;
  for (int i = 0; i < 1000 && at.pending(); i++) {
    if (at.receive(&d, nullptr, 0) && got != nullptr) got->push_back(d);
  }
}

// Datagrams that arrived where they should. Each is waited for in full
// until one is lost; older copies ahead of it are skipped.
class Tally {
 public:
  bool arrived(const FarEnd& at, const std::string& d) {
    for (int i = 0; i < 100; i++) {
      std::string got;
      if (!at.receive(&got, nullptr, lost_ ? kAfterLossMs : pathtest::kWaitMs)) break;
      if (got == d) {
        count++;
        return true;
      }
    }
    lost_ = true;
    return false;
  }
  int count = 0;

 private:
  bool lost_ = false;
};

class LearningTest : public pathtest::PathTest {
 protected:
  void SetUp() override {
    srtptest::setUp();
    pathtest::PathTest::SetUp();
  }

  // Both legs of ep aimed at p's ports, at p's address or at addr.
  static void aim(RTPex* ep, const Party& p, bool learn, const char* addr = nullptr) {
    std::string ip = addr != nullptr ? addr : p.media.ip();
    ep->setTarget(ip, p.media.port(), 0, learn);
    ep->rtcp.setTarget(ip, p.control.port(), 0, learn);
  }

  // Sends d from from to leg's port of ep and waits until the leg counted it.
  static void handled(const FarEnd& from, const Leg& leg, RTPex* ep, const std::string& d) {
    RTex* l = leg.of(ep);
    int before = l->cntPacket.load();
    ASSERT_TRUE(from.sendTo(leg.port(ep), d));
    // Polled finely: the tests pace every datagram this way.
    bool counted = false;
    for (int waited = 0; !counted && waited < 10 * pathtest::kWaitMs; waited++) {
      counted = l->cntPacket.load() > before;
      if (!counted) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    ASSERT_TRUE(counted) << "the relay did not count a datagram";
  }

  // handled, then a second datagram from the same source: once that one is
  // counted, the leg's thread has finished with the first, so whatever the
  // first taught the relay is in place before anything else is sent.
  static void settled(const FarEnd& from, const Leg& leg, RTPex* ep, const std::string& d,
                      const std::string& next) {
    handled(from, leg, ep, d);
    handled(from, leg, ep, next);
  }
  static void settled(const FarEnd& from, const Leg& leg, RTPex* ep, const std::string& d) {
    settled(from, leg, ep, d, d);
  }

  static void reuse(RTPex* ep, int64_t sid, bool behindNat) {
    ep->reinit(RTPexSession{sid, 0, 0, 0, "host", 2048, 2048, behindNat, false, "127.0.0.1", 0});
  }
};

// ---- a new target ---------------------------------------------------------------

// How Java changes the phone's target after the phone was learned.
enum class Change { kNewPort, kHoldResume, kNewAddress, kSameTarget };

const char* nameOf(Change c) {
  switch (c) {
    case Change::kNewPort:
      return "NewPort";
    case Change::kHoldResume:
      return "HoldResume";
    case Change::kNewAddress:
      return "NewAddress";
    case Change::kSameTarget:
      return "SameTargetAgain";
  }
  return "?";
}

struct RelearnCase {
  Leg leg;
  Change change;
  bool sendBehindNat;
};

void PrintTo(const RelearnCase& c, std::ostream* os) {
  *os << c.leg.name() << " " << nameOf(c.change) << (c.sendBehindNat ? " send behind NAT" : "");
}

class RelearnTest : public LearningTest, public ::testing::WithParamInterface<RelearnCase> {};

// A phone behind a NAT sends from 127.0.0.3 while its target says
// 127.0.0.1. Learned once, it is learned again after Java gives a new
// target with learning on: a changed target forgets the learned source and
// the next datagram learns afresh; the same target again keeps it. The
// signalled ports get nothing while the phone sends.
TEST_P(RelearnTest, NextDatagramsReachThePhoneAgain) {
  const RelearnCase& c = GetParam();
  const Leg& leg = c.leg;
  RTPex::SEND_BEHINDNAT = c.sendBehindNat;
  Party phone("127.0.0.3");
  Party q("127.0.0.1");
  Party signalled("127.0.0.1");
  Party resignalled(c.change == Change::kNewAddress ? "127.0.0.4" : "127.0.0.1");
  ASSERT_TRUE(phone.ok() && q.ok() && signalled.ok() && resignalled.ok());
  Options learn;
  learn.behindNat = true;
  RTPex* toPhone = open("127.0.0.1", 301, learn);
  RTPex* fromPhone = open("127.0.0.1", 302, learn);
  ASSERT_TRUE(toPhone != nullptr && fromPhone != nullptr);
  aim(toPhone, signalled, true);
  aim(fromPhone, q, true);
  pair(toPhone, fromPhone);

  int seq = 0;
  // The phone sends, then Q: true when Q's datagram reached the phone.
  auto round = [&](Tally* tally) {
    std::string up = leg.packet("up" + std::to_string(++seq));
    settled(leg.socket(phone), leg, fromPhone, up);
    drain(leg.socket(q));
    std::string down = leg.packet("down" + std::to_string(seq));
    EXPECT_TRUE(leg.socket(q).sendTo(leg.port(toPhone), down));
    return tally->arrived(leg.socket(phone), down);
  };
  Tally learned;
  for (int i = 0; i < 3; i++) round(&learned);
  ASSERT_EQ(3, learned.count) << "the phone was not learned in the first place";

  switch (c.change) {
    case Change::kNewPort:
    case Change::kNewAddress:
      aim(toPhone, resignalled, true);
      break;
    case Change::kHoldResume:
      aim(toPhone, signalled, true, "0.0.0.0");
      aim(toPhone, signalled, true);
      break;
    case Change::kSameTarget:
      aim(toPhone, signalled, true);
      break;
  }
  Tally after;
  for (int i = 0; i < kRounds; i++) round(&after);
  EXPECT_EQ(kRounds, after.count) << "of Q's datagrams reached the phone after the new target; "
                                  << "the leg sends to " << sendToOf(leg.of(toPhone)).addr << ":"
                                  << sendToOf(leg.of(toPhone)).port;
  EXPECT_FALSE(leg.socket(signalled).pending()) << "the signalled ports got the phone's media";
  EXPECT_FALSE(leg.socket(resignalled).pending()) << "the new ports got the phone's media";
}

std::vector<RelearnCase> relearnCases() {
  std::vector<RelearnCase> cases;
  for (const Leg& leg : {kRtpLeg, kRtcpLeg}) {
    for (Change change :
         {Change::kNewPort, Change::kHoldResume, Change::kNewAddress, Change::kSameTarget}) {
      for (bool sendBehindNat : {false, true}) cases.push_back(RelearnCase{leg, change, sendBehindNat});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Targets, RelearnTest, ::testing::ValuesIn(relearnCases()),
                         [](const ::testing::TestParamInfo<RelearnCase>& info) {
                           return std::string(info.param.leg.name()) + "_" +
                                  nameOf(info.param.change) +
                                  (info.param.sendBehindNat ? "_SendBehindNat" : "");
                         });

// An endpoint reused for a new session learns on both legs as the new
// session says, whatever the first one said.
TEST_F(LearningTest, ReuseSetsLearningOfBothLegs) {
  for (bool first : {false, true}) {
    for (const Leg& leg : {kRtpLeg, kRtcpLeg}) {
      const bool next = !first;
      SCOPED_TRACE(std::string(leg.name()) + (next ? ": learning on after off" : ": off after on"));
      Party phone("127.0.0.3");
      Party q("127.0.0.1");
      Party signalled("127.0.0.1");
      ASSERT_TRUE(phone.ok() && q.ok() && signalled.ok());
      Options o;
      o.behindNat = first;
      RTPex* toPhone = open("127.0.0.1", 311, o);
      Options learn;
      learn.behindNat = true;
      RTPex* fromPhone = open("127.0.0.1", 312, learn);
      ASSERT_TRUE(toPhone != nullptr && fromPhone != nullptr);
      reuse(toPhone, 313, next);
      aim(toPhone, signalled, true);
      aim(fromPhone, q, true);
      pair(toPhone, fromPhone);

      Tally tally;
      for (int i = 1; i <= 3; i++) {
        settled(leg.socket(phone), leg, fromPhone, leg.packet("up" + std::to_string(i)));
        std::string down = leg.packet("down" + std::to_string(i));
        ASSERT_TRUE(leg.socket(q).sendTo(leg.port(toPhone), down));
        tally.arrived(leg.socket(next ? phone : signalled), down);
      }
      EXPECT_EQ(3, tally.count) << "of Q's datagrams reached the "
                                << (next ? "learned phone" : "signalled target");
      EXPECT_FALSE(leg.socket(next ? signalled : phone).pending());
    }
  }
}

// ---- the signalled address first ------------------------------------------------

// Who else sends to the party's endpoint besides the party.
enum class Interloper { kNobody, kStrangersFirst, kStrangerBetween, kPreviousCallStillSends };

const char* nameOf(Interloper i) {
  switch (i) {
    case Interloper::kNobody:
      return "Nobody";
    case Interloper::kStrangersFirst:
      return "StrangersFirst";
    case Interloper::kStrangerBetween:
      return "StrangerBetween";
    case Interloper::kPreviousCallStillSends:
      return "PreviousCallStillSends";
  }
  return "?";
}

struct PreferCase {
  Leg leg;
  Interloper who;
};

void PrintTo(const PreferCase& c, std::ostream* os) { *os << c.leg.name() << " " << nameOf(c.who); }

class PreferSignalledTest : public LearningTest,
                            public ::testing::WithParamInterface<PreferCase> {};

// The party sends from the address Java signalled for it; a stranger at
// 127.0.0.2 sends to the party's endpoint too. The far end's media reach
// the party from the party's first datagram on, and the stranger gets none
// of them, whether the stranger sent before the party or after.
TEST_P(PreferSignalledTest, PartyAtItsSignalledAddressGetsTheMedia) {
  const Leg& leg = GetParam().leg;
  const Interloper who = GetParam().who;
  Party party("127.0.0.1");
  Party far("127.0.0.1");
  Party stranger("127.0.0.2");
  ASSERT_TRUE(party.ok() && far.ok() && stranger.ok());
  Options learn;
  learn.behindNat = true;
  RTPex* toParty = open("127.0.0.1", 321, learn);
  RTPex* fromParty = open("127.0.0.1", 322, learn);
  ASSERT_TRUE(toParty != nullptr && fromParty != nullptr);
  const FarEnd& p = leg.socket(party);
  const FarEnd& f = leg.socket(far);
  const FarEnd& s = leg.socket(stranger);
  auto tag = [&](const char* who, int n) { return leg.packet(who + std::to_string(n)); };

  if (who == Interloper::kPreviousCallStillSends) {
    // The previous call: the stranger was the far end of the reused pair.
    aim(toParty, stranger, true);
    aim(fromParty, far, true);
    pair(toParty, fromParty);
    settled(s, leg, fromParty, tag("old", 0));
    ASSERT_TRUE(f.sendTo(leg.port(toParty), tag("oldcall", 0)));
    Tally previous;
    ASSERT_TRUE(previous.arrived(s, tag("oldcall", 0))) << "the previous call did not work";
    reuse(toParty, 323, true);
    reuse(fromParty, 324, true);
  }
  aim(toParty, party, true);
  aim(fromParty, far, true);
  pair(toParty, fromParty);

  // Sent from the party's first datagram on, and due at the party.
  std::set<std::string> partys;
  Tally tally;
  int expected = 0;
  auto farSends = [&](int n) {
    std::string d = tag("far", n);
    partys.insert(d);
    expected++;
    EXPECT_TRUE(f.sendTo(leg.port(toParty), d));
    tally.arrived(p, d);
  };
  switch (who) {
    case Interloper::kNobody:
      settled(p, leg, fromParty, tag("party", 0));
      farSends(0);
      break;
    case Interloper::kStrangersFirst:
      for (int i = 1; i <= 3; i++) settled(s, leg, fromParty, tag("stranger", i));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      // Nobody at the signalled address has sent yet: this one may go to
      // the stranger.
      settled(f, leg, toParty, tag("farfirst", 0));
      settled(p, leg, fromParty, tag("party", 0));
      break;
    case Interloper::kStrangerBetween:
      settled(p, leg, fromParty, tag("party", 0));
      settled(s, leg, fromParty, tag("stranger", 0));
      farSends(0);
      break;
    case Interloper::kPreviousCallStillSends:
      settled(s, leg, fromParty, tag("old", 1));
      settled(p, leg, fromParty, tag("party", 0));
      settled(s, leg, fromParty, tag("old", 2));
      farSends(0);
      break;
  }
  for (int i = 1; i <= kRounds; i++) {
    if (who == Interloper::kPreviousCallStillSends) settled(s, leg, fromParty, tag("old", 2 + i));
    settled(p, leg, fromParty, tag("party", i));
    drain(f);
    farSends(i);
  }
  EXPECT_EQ(expected, tally.count) << "of the far end's datagrams reached the party";
  std::vector<std::string> atStranger;
  drain(s, &atStranger);
  int misled = 0;
  for (const std::string& d : atStranger) misled += partys.count(d) != 0 ? 1 : 0;
  EXPECT_EQ(0, misled) << "of the far end's datagrams went to the stranger";
}

std::vector<PreferCase> preferCases() {
  std::vector<PreferCase> cases;
  for (const Leg& leg : {kRtpLeg, kRtcpLeg}) {
    for (Interloper who : {Interloper::kNobody, Interloper::kStrangersFirst, Interloper::kStrangerBetween,
                           Interloper::kPreviousCallStillSends}) {
      cases.push_back(PreferCase{leg, who});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Interlopers, PreferSignalledTest, ::testing::ValuesIn(preferCases()),
                         [](const ::testing::TestParamInfo<PreferCase>& info) {
                           return std::string(info.param.leg.name()) + "_" +
                                  nameOf(info.param.who);
                         });

// ---- verified sources ---------------------------------------------------------

struct VerifiedCase {
  Leg leg;
  bool junk;
};

void PrintTo(const VerifiedCase& c, std::ostream* os) {
  *os << c.leg.name() << (c.junk ? " with junk" : " without junk");
}

class VerifiedLearningTest : public LearningTest,
                             public ::testing::WithParamInterface<VerifiedCase> {};

// The SRTP far end sits behind a NAT (sends from 127.0.0.3, signalled at
// 127.0.0.1); a stranger sends junk to the endpoint that removes SRTP. The
// junk fails authentication, so it does not count as the far end having
// sent: the party's media still go to the far end, as they do without junk.
TEST_P(VerifiedLearningTest, JunkOnTheSrtpSideDoesNotMoveTheDestination) {
  const Leg& leg = GetParam().leg;
  srtptest::FarParty far("127.0.0.3");
  Party signalledFar("127.0.0.1");
  Party party("127.0.0.1");
  Party stranger("127.0.0.2");
  ASSERT_TRUE(far.ok() && signalledFar.ok() && party.ok() && stranger.ok());
  Options learn;
  learn.behindNat = true;
  RTPex* srtpSide = open("127.0.0.1", 331, learn);
  RTPex* plainSide = open("127.0.0.1", 332, learn);
  ASSERT_TRUE(srtpSide != nullptr && plainSide != nullptr);
  aim(srtpSide, party, true);
  aim(plainSide, signalledFar, true);
  pair(srtpSide, plainSide);
  far.speakSrtp(srtpSide, plainSide, 0);
  RTPex::startSrtp(srtpSide, plainSide);
  const FarEnd& farSocket = leg.rtcp ? far.control : far.media;
  const FarEnd& s = leg.socket(stranger);
  const FarEnd& p = leg.socket(party);

  uint16_t farSeq = 0;
  auto farPacket = [&] {
    ++farSeq;
    std::string plain = leg.rtcp ? srtptest::rtcp(0xFA5, farSeq) : srtptest::rtp(farSeq, 0xFA5, 40);
    return far.wire(plain, leg.rtcp);
  };
  uint16_t junkSeq = 0;
  auto junk = [&] {
    ++junkSeq;
    std::string j = leg.rtcp ? srtptest::rtcp(0xBAD, junkSeq) : srtptest::rtp(junkSeq, 0xBAD, 40);
    return j + std::string(14, static_cast<char>(0x80 | junkSeq));
  };
  int arrived = 0;
  bool lost = false;
  for (uint16_t i = 1; i <= kRounds; i++) {
    settled(farSocket, leg, srtpSide, farPacket(), farPacket());
    if (GetParam().junk) settled(s, leg, srtpSide, junk(), junk());
    std::string plain = leg.rtcp ? srtptest::rtcp(0xB0B, i) : srtptest::rtp(i, 0xB0B, 40);
    ASSERT_TRUE(p.sendTo(leg.port(plainSide), plain));
    std::string got;
    // Anything of the far end's own that the relay sent to it comes first.
    drain(leg.socket(party));
    if (farSocket.receive(&got, nullptr, lost ? kAfterLossMs : pathtest::kWaitMs) &&
        srtptest::unprotectWith(far.recv.get(), &got, leg.rtcp) && got == plain) {
      arrived++;
    } else {
      lost = true;
    }
  }
  EXPECT_EQ(kRounds, arrived) << "of the party's datagrams reached the SRTP far end";
  EXPECT_FALSE(s.pending()) << "the stranger got the party's media";
}

INSTANTIATE_TEST_SUITE_P(Legs, VerifiedLearningTest,
                         ::testing::Values(VerifiedCase{kRtpLeg, false}, VerifiedCase{kRtpLeg, true},
                                           VerifiedCase{kRtcpLeg, false},
                                           VerifiedCase{kRtcpLeg, true}),
                         [](const ::testing::TestParamInfo<VerifiedCase>& info) {
                           return std::string(info.param.leg.name()) +
                                  (info.param.junk ? "_Junk" : "_NoJunk");
                         });

}  // namespace
