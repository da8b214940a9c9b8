// The datagram roads through real endpoints and receive threads, with
// loopback sockets as the far ends: kinds, relaying, learning, re-pairing,
// STUN latching, buffer growth, blocking, the RTCP port, reuse and the
// session time-out.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "SRTPtest.h"
#include "pathtest.h"

using pathtest::FarEnd;
using pathtest::Options;
using pathtest::PathTest;

namespace {

std::string familyName(const char* ip) { return std::strchr(ip, ':') != nullptr ? "v6" : "v4"; }

class FamilyPathTest : public PathTest, public ::testing::WithParamInterface<const char*> {};

INSTANTIATE_TEST_SUITE_P(Loopback, FamilyPathTest, ::testing::Values("127.0.0.1", "::1"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return familyName(info.param);
                         });

std::vector<signed char> bytesOf(std::initializer_list<int> v) {
  std::vector<signed char> out;
  for (int b : v) out.push_back(static_cast<signed char>(b));
  return out;
}

}  // namespace

// ---- kinds --------------------------------------------------------------------

TEST(ClassifyDatagram, KindsByFirstBytesInOrder) {
  struct Case {
    const char* name;
    std::vector<signed char> bytes;
    int kind;
  } cases[] = {
      {"7 bytes of RTP", bytesOf({0x80, 0x00, 0, 0, 0, 0, 0}), KIND_UNKNOWN},
      {"7 bytes with cookie", bytesOf({0x00, 0x01, 0, 0, 0x21, 0x12, 0xA4}), KIND_UNKNOWN},
      {"RTP pt 0", bytesOf({0x80, 0x00, 0, 0, 0, 0, 0, 0}), KIND_RTP},
      {"SR with marker 0xC8", bytesOf({0x80, 0xC8, 0, 0, 0, 0, 0, 0}), KIND_RTCP},
      {"0x48 is type 200 low bits", bytesOf({0x80, 0x48, 0, 0, 0, 0, 0, 0}), KIND_RTCP},
      {"0xC0 (192)", bytesOf({0x80, 0xC0, 0, 0, 0, 0, 0, 0}), KIND_RTCP},
      {"0xC1 (193)", bytesOf({0x80, 0xC1, 0, 0, 0, 0, 0, 0}), KIND_RTCP},
      {"0xCF (207)", bytesOf({0xBF, 0xCF, 0, 0, 0, 0, 0, 0}), KIND_RTCP},
      {"0xE0 is pt 96 with marker", bytesOf({0x80, 0xE0, 0, 0, 0, 0, 0, 0}), KIND_RTP},
      {"0x42 (66)", bytesOf({0x80, 0x42, 0, 0, 0, 0, 0, 0}), KIND_RTP},
      {"0x47 (71)", bytesOf({0x80, 0x47, 0, 0, 0, 0, 0, 0}), KIND_RTP},
      {"0x50 (80)", bytesOf({0x80, 0x50, 0, 0, 0, 0, 0, 0}), KIND_RTP},
      {"0xBF first byte", bytesOf({0xBF, 0x08, 0, 0, 0, 0, 0, 0}), KIND_RTP},
      {"0xC0 first byte", bytesOf({0xC0, 0xC8, 0, 0, 0, 0, 0, 0}), KIND_UNKNOWN},
      {"0x7F first byte", bytesOf({0x7F, 0x00, 0, 0, 0, 0, 0, 0}), KIND_UNKNOWN},
      {"DTLS 20", bytesOf({0x14, 0xFE, 0, 0, 0, 0, 0, 0}), KIND_DTLS},
      {"DTLS 63", bytesOf({0x3F, 0xFE, 0, 0, 0, 0, 0, 0}), KIND_DTLS},
      {"0x16 with cookie is DTLS", bytesOf({0x16, 0x00, 0, 0, 0x21, 0x12, 0xA4, 0x42}), KIND_DTLS},
      {"request with cookie", bytesOf({0x00, 0x01, 0, 0, 0x21, 0x12, 0xA4, 0x42}), KIND_STUN},
      {"answer 0x01 with cookie", bytesOf({0x01, 0x01, 0, 0, 0x21, 0x12, 0xA4, 0x42}), KIND_STUN},
      {"0x13 with cookie", bytesOf({0x13, 0x01, 0, 0, 0x21, 0x12, 0xA4, 0x42}), KIND_STUN},
      {"0x40 with cookie", bytesOf({0x40, 0x01, 0, 0, 0x21, 0x12, 0xA4, 0x42}), KIND_UNKNOWN},
      {"cookie one byte off", bytesOf({0x00, 0x01, 0, 0, 0x21, 0x12, 0xA4, 0x43}), KIND_UNKNOWN},
      {"zero first byte, no cookie", bytesOf({0x00, 0x01, 0, 0, 0, 0, 0, 0}), KIND_UNKNOWN},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.kind, classifyDatagram(c.bytes.data(), static_cast<int>(c.bytes.size())))
        << c.name;
  }
}

// ---- relaying -----------------------------------------------------------------

TEST_P(FamilyPathTest, RelaysRtpBothWaysBetweenFourFarEnds) {
  const char* ip = GetParam();
  FarEnd a1(ip), a2(ip), b1(ip), b2(ip);
  ASSERT_TRUE(openPair(ip, 101, b1));  // what arrives on A leaves B towards b1
  target(b, a2);
  int64_t t0 = JLangSystem::currentTimeMillis();

  const std::vector<std::string> toA = {pathtest::rtp("a-1", 0), pathtest::rtp("a-2", 18),
                                        pathtest::rtp("a-3", 0, 900)};
  const std::vector<std::string> toB = {pathtest::rtp("b-1", 8), pathtest::rtp("b-2", 0)};
  for (const std::string& d : toA) ASSERT_TRUE(a1.sendTo(a->localPort, d));
  for (const std::string& d : toB) ASSERT_TRUE(b2.sendTo(b->localPort, d));

  ASSERT_NO_FATAL_FAILURE(expectArrivals(b1, toA, b->localPort));
  ASSERT_NO_FATAL_FAILURE(expectArrivals(a2, toB, a->localPort));
  EXPECT_EQ(3, a->cntPacket.load());
  EXPECT_EQ(2, b->cntPacket.load());
  EXPECT_EQ(0, a->payloadType.load());  // the first one's
  EXPECT_EQ(8, b->payloadType.load());
  EXPECT_GE(a->lastRecvTime.load(), t0);
  EXPECT_LE(a->lastRecvTime.load(), JLangSystem::currentTimeMillis());
  EXPECT_EQ(a1.port(), lastFromOf(a).port);
  EXPECT_EQ(b2.port(), lastFromOf(b).port);
  EXPECT_EQ(0, b->rtcp.cntPacket.load());
  EXPECT_TRUE(pinsSettle(a, 3));
  EXPECT_TRUE(pinsSettle(b, 3));
  EXPECT_FALSE(a1.pending() || b2.pending());
}

TEST_P(FamilyPathTest, EndpointWithoutPartnerCountsAndRelaysNothing) {
  const char* ip = GetParam();
  FarEnd a1(ip), b1(ip), b2(ip), a2(ip);
  RTPex* a = open(ip, 111);
  RTPex* b = open(ip, 112);
  ASSERT_TRUE(a && b);
  target(a, b1);
  target(b, a2);
  a->setSender(b);  // one direction only
  b->lastRecvTime = 0;

  for (int i = 0; i < 3; i++) ASSERT_TRUE(b2.sendTo(b->localPort, pathtest::rtp("b" + std::to_string(i), 8)));
  ASSERT_TRUE(counted(b, 3));
  ASSERT_TRUE(b2.sendTo(b->localPort, pathtest::rtp("b-sync", 8)));
  ASSERT_TRUE(counted(b, 4));  // the first three are done
  EXPECT_FALSE(a2.pending());
  EXPECT_EQ(-1, b->payloadType.load());  // kept only with a partner
  EXPECT_NE(0, b->lastRecvTime.load());  // the session timer runs

  std::string got;
  ASSERT_TRUE(a1.sendTo(a->localPort, pathtest::rtp("a-1")));
  ASSERT_TRUE(b1.receive(&got));
  EXPECT_EQ(pathtest::rtp("a-1"), got);
  EXPECT_TRUE(pinsSettle(b, 3));  // registry, A's partner pin, test
  EXPECT_TRUE(pinsSettle(a, 2));
}

// ---- learning -----------------------------------------------------------------

namespace {

struct LearnCase {
  const char* name;
  bool rtcpLeg;        // learning on the RTCP leg instead of the RTP leg
  bool storedTarget;   // the same destination set before without learning
  bool sendBehindNat;  // sending to the announced destination until learned
};

const LearnCase kLearnCases[] = {
    {"Rtp", false, false, false},
    {"RtpOverStoredTarget", false, true, false},
    {"RtpSendBehindNat", false, false, true},
    {"Rtcp", true, false, false},
};

void PrintTo(const LearnCase& c, std::ostream* os) { *os << c.name; }

using LearnParam = std::tuple<const char*, LearnCase>;

class LearningTest : public PathTest, public ::testing::WithParamInterface<LearnParam> {
 protected:
  const LearnCase& learnCase() const { return std::get<1>(GetParam()); }
  RTex* leg(RTPex* ep) const { return learnCase().rtcpLeg ? &ep->rtcp : static_cast<RTex*>(ep); }
  RTex* otherLeg(RTPex* ep) const {
    return learnCase().rtcpLeg ? static_cast<RTex*>(ep) : &ep->rtcp;
  }
  int portOf(RTPex* ep) const { return ep->localPort + (learnCase().rtcpLeg ? 1 : 0); }
  std::string media(const std::string& tag) const {
    return learnCase().rtcpLeg ? pathtest::rtcpSr(tag) : pathtest::rtp(tag);
  }
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Loopback, LearningTest,
                         ::testing::Combine(::testing::Values("127.0.0.1", "::1"),
                                            ::testing::ValuesIn(kLearnCases)),
                         [](const ::testing::TestParamInfo<LearnParam>& info) {
                           return familyName(std::get<0>(info.param)) + "_" +
                                  std::get<1>(info.param).name;
                         });

// A's leg sends where B's far end really sends from. Until that is seen,
// A's media is dropped, or goes to the announced destination when sending
// behind NAT; re-armed with the same destination, the learned source still
// matches.
TEST_P(LearningTest, DestinationWaitsForThePartnersFarEnd) {
  const char* ip = std::get<0>(GetParam());
  const LearnCase& c = learnCase();
  RTPex::SEND_BEHINDNAT = c.sendBehindNat;
  FarEnd a1(ip), announced(ip), farB(ip), a2(ip);
  Options o;
  o.behindNat = true;
  a = open(ip, 201, o);
  b = open(ip, 202, o);
  ASSERT_TRUE(a && b);
  RTex* la = leg(a);
  RTex* lb = leg(b);
  // One receive thread serves both: what is sent after a datagram was
  // counted is handled after it.
  ASSERT_EQ(la->thrd, lb->thrd);
  if (c.storedTarget) target(la, announced);
  target(la, announced, true);
  target(lb, a2);
  pair(a, b);
  EXPECT_TRUE(la->waitNat.load());
  EXPECT_EQ(c.storedTarget || c.sendBehindNat ? announced.port() : 0, sendToOf(la).port);

  std::string got;
  ASSERT_TRUE(a1.sendTo(portOf(a), media("early")));
  if (c.sendBehindNat) {
    ASSERT_TRUE(announced.receive(&got));
    EXPECT_EQ(media("early"), got);
  } else {
    ASSERT_TRUE(counted(la, 1));
  }
  int from = 0;
  ASSERT_TRUE(farB.sendTo(portOf(b), media("from-b")));
  ASSERT_TRUE(a2.receive(&got, &from));
  EXPECT_EQ(media("from-b"), got);
  EXPECT_EQ(portOf(a), from);

  ASSERT_TRUE(a1.sendTo(portOf(a), media("late")));
  ASSERT_TRUE(farB.receive(&got, &from));
  EXPECT_EQ(media("late"), got);  // "early" never went there
  EXPECT_EQ(portOf(b), from);
  EXPECT_FALSE(announced.pending());
  EXPECT_FALSE(la->waitNat.load());
  EXPECT_EQ(farB.port(), sendToOf(la).port);
  EXPECT_EQ(a1.port(), lastFromOf(la).port);
  EXPECT_EQ(0, otherLeg(a)->cntPacket.load());  // the other leg saw nothing

  // Armed again with the same address: the learned source still matches.
  target(la, announced, true);
  EXPECT_TRUE(la->waitNat.load());
  ASSERT_TRUE(a1.sendTo(portOf(a), media("again")));
  ASSERT_TRUE(farB.receive(&got));
  EXPECT_EQ(media("again"), got);
  EXPECT_TRUE(la->waitNat.load());
  EXPECT_TRUE(pinsSettle(a, 3));
  EXPECT_TRUE(pinsSettle(b, 3));
}

TEST_F(PathTest, SetTargetStoresDestinationAndArmsLearning) {
  RTPex::SEND_BEHINDNAT = false;
  Options learn;
  learn.behindNat = true;
  RTPex* e = open("127.0.0.1", 231, learn);
  RTPex* f = open("127.0.0.1", 232);
  ASSERT_TRUE(e && f);
  std::string ip1 = "127.0.0.1", ip2 = "127.0.0.2";

  e->aim.applied = true;
  e->setTarget(ip1, 40000, -5, false);
  EXPECT_EQ("127.0.0.1", e->target.text);
  EXPECT_EQ(40000, e->target.port);
  EXPECT_EQ(0u, e->target.scopeId);  // a negative scope is stored as 0
  EXPECT_EQ(40000, e->sendTo.port);
  EXPECT_FALSE(e->waitNat.load());
  EXPECT_FALSE(e->aim.applied.load());

  // The same destination arms learning without touching sendTo.
  e->aim.applied = true;
  e->setTarget(ip1, 40000, 0, true);
  EXPECT_TRUE(e->waitNat.load());
  EXPECT_FALSE(e->aim.applied.load());
  EXPECT_EQ(40000, e->sendTo.port);
  e->setTarget(ip1, 40000, 0, false);
  EXPECT_TRUE(e->waitNat.load());  // same destination: nothing changes

  // A new destination with learning: nowhere to send until learned.
  e->setTarget(ip2, 40002, 7, true);
  EXPECT_EQ("127.0.0.2", e->target.text);
  EXPECT_EQ(7u, e->target.scopeId);
  EXPECT_EQ(0, e->sendTo.port);
  EXPECT_STREQ("127.0.0.1", e->sendTo.addr);  // text and scope stay
  EXPECT_TRUE(e->waitNat.load());

  // A port beyond 16 bits keeps its low bits and never counts as the same.
  e->setTarget(ip2, 70000, 0, true);
  EXPECT_EQ(70000 & 0xFFFF, e->target.port);
  e->setTarget(ip2, 70000, 0, false);
  EXPECT_FALSE(e->waitNat.load());
  EXPECT_EQ(70000 & 0xFFFF, e->sendTo.port);

  // The text is kept as given; sendTo takes its numeric form, and a text
  // without one (a name that did not resolve, made here without a lookup)
  // is no far end, whatever its length.
  std::string spelled = "0:0:0:0:0:0:0:1";
  e->setTarget(spelled, 40004, 0, false);
  EXPECT_EQ(spelled, e->target.text);
  EXPECT_STREQ("::1", e->sendTo.addr);
  EXPECT_EQ(40004, e->sendTo.port);
  TargetText unresolved;
  unresolved.text = std::string(60, 'n') + ".example";
  e->setTarget(unresolved, 40004, 0, false);
  EXPECT_EQ(unresolved.text, e->target.text);
  EXPECT_STREQ("", e->sendTo.addr);
  EXPECT_EQ(40004, e->sendTo.port);
  EXPECT_TRUE(e->sendsToTarget());

  // Learning needs the leg's own permission; the RTCP leg has its own.
  f->setTarget(ip1, 40006, 0, true);
  EXPECT_FALSE(f->waitNat.load());
  EXPECT_EQ(40006, f->sendTo.port);
  e->rtcp.setTarget(ip1, 40007, 0, true);
  EXPECT_TRUE(e->rtcp.waitNat.load());
  EXPECT_EQ(0, e->rtcp.sendTo.port);

  RTPex::SEND_BEHINDNAT = true;
  e->rtcp.setTarget(ip2, 40009, 0, true);
  EXPECT_TRUE(e->rtcp.waitNat.load());
  EXPECT_EQ(40009, e->rtcp.sendTo.port);
}

// ---- re-pairing ---------------------------------------------------------------------

namespace {

struct RepairCase {
  const char* name;
  bool cServedD;      // C relayed for D before; else C is brand-new
  bool releaseFirst;  // both sides release their old partner first
};

const RepairCase kRepairCases[] = {
    {"CServedD", true, false},
    {"CServedDAfterRelease", true, true},
    {"FreshC", false, false},
    {"FreshCAfterRelease", false, true},
};

void PrintTo(const RepairCase& c, std::ostream* os) { *os << c.name; }

using RepairParam = std::tuple<bool, RepairCase>;  // the RTCP legs, the case

class RepairTest : public PathTest, public ::testing::WithParamInterface<RepairParam> {
 protected:
  bool rtcpLeg() const { return std::get<0>(GetParam()); }
  RTex* leg(RTPex* ep) const { return rtcpLeg() ? &ep->rtcp : static_cast<RTex*>(ep); }
  int portOf(RTPex* ep) const { return ep->localPort + (rtcpLeg() ? 1 : 0); }
  std::string media(const std::string& tag) const {
    return rtcpLeg() ? pathtest::rtcpSr(tag) : pathtest::rtp(tag);
  }

  // A datagram from a far end to in's leg arrives at to, from out's port.
  void relays(RTPex* in, RTPex* out, const FarEnd& to, const std::string& tag) {
    SCOPED_TRACE(tag);
    std::string got;
    int from = 0;
    ASSERT_TRUE(source.sendTo(portOf(in), media(tag)));
    ASSERT_TRUE(to.receive(&got, &from));
    EXPECT_EQ(media(tag), got);
    EXPECT_EQ(portOf(out), from);
  }

  FarEnd source{"127.0.0.1"};
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Loopback, RepairTest,
                         ::testing::Combine(::testing::Bool(), ::testing::ValuesIn(kRepairCases)),
                         [](const ::testing::TestParamInfo<RepairParam>& info) {
                           return std::string(std::get<0>(info.param) ? "Rtcp_" : "Rtp_") +
                                  std::get<1>(info.param).name;
                         });

// A (with B) and C (with D, or new) become partners. From the next datagram
// on, each leg's media leaves the new partner's socket towards its own
// target, never towards the far end that socket served before, also while
// the old partners still send through the same sockets.
TEST_P(RepairTest, NextDatagramFollowsTheNewPartner) {
  const RepairCase& c = std::get<1>(GetParam());
  FarEnd toA("127.0.0.1"), toB("127.0.0.1"), toC("127.0.0.1"), toD("127.0.0.1");
  a = open("127.0.0.1", 1001);
  b = open("127.0.0.1", 1002);
  RTPex* cc = open("127.0.0.1", 1003);
  RTPex* d = open("127.0.0.1", 1004);
  ASSERT_TRUE(a && b && cc && d);
  target(leg(a), toA);
  target(leg(b), toB);
  target(leg(cc), toC);
  target(leg(d), toD);
  pair(a, b);
  ASSERT_NO_FATAL_FAILURE(relays(a, b, toA, "a-via-b"));
  ASSERT_NO_FATAL_FAILURE(relays(b, a, toB, "b-via-a"));
  if (c.cServedD) {
    pair(cc, d);
    ASSERT_NO_FATAL_FAILURE(relays(cc, d, toC, "c-via-d"));
    ASSERT_NO_FATAL_FAILURE(relays(d, cc, toD, "d-via-c"));
  }

  if (c.releaseFirst) {
    a->releaseSender();
    cc->releaseSender();
  }
  pair(a, cc);
  target(leg(a), toA);  // the same destinations again change nothing
  target(leg(cc), toC);
  for (int i = 0; i < 2; i++) {
    std::string n = std::to_string(i);
    ASSERT_NO_FATAL_FAILURE(relays(a, cc, toA, "a-via-c-" + n));
    ASSERT_NO_FATAL_FAILURE(relays(cc, a, toC, "c-via-a-" + n));
    // B and D still send through A's and C's sockets.
    ASSERT_NO_FATAL_FAILURE(relays(b, a, toB, "b-via-a-" + n));
    if (c.cServedD) {
      ASSERT_NO_FATAL_FAILURE(relays(d, cc, toD, "d-via-c-" + n));
    }
  }
  ASSERT_NO_FATAL_FAILURE(relays(a, cc, toA, "a-via-c-last"));
  ASSERT_NO_FATAL_FAILURE(relays(cc, a, toC, "c-via-a-last"));
  for (const FarEnd* far : {&toA, &toB, &toC, &toD}) EXPECT_FALSE(far->pending());
  b->releaseSender();
  d->releaseSender();
}

// A leg with no destination is paired with C, whose socket D aimed at its far
// end: nothing of the leg's may reach D's far end.
class NoTargetTest : public RepairTest {};

INSTANTIATE_TEST_SUITE_P(Loopback, NoTargetTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(kRepairCases[0])),
                         [](const ::testing::TestParamInfo<RepairParam>& info) {
                           return std::string(std::get<0>(info.param) ? "Rtcp" : "Rtp");
                         });

TEST_P(NoTargetTest, SendsNothingThroughAServedSocket) {
  FarEnd toC("127.0.0.1"), toD("127.0.0.1");
  a = open("127.0.0.1", 1011);
  RTPex* cc = open("127.0.0.1", 1013);
  RTPex* d = open("127.0.0.1", 1014);
  ASSERT_TRUE(a && cc && d);
  target(leg(cc), toC);
  target(leg(d), toD);
  pair(cc, d);
  ASSERT_NO_FATAL_FAILURE(relays(d, cc, toD, "d-via-c"));
  a->setSender(cc);
  ASSERT_TRUE(source.sendTo(portOf(a), media("a-nowhere-1")));
  ASSERT_TRUE(source.sendTo(portOf(a), media("a-nowhere-2")));
  // One receive thread handles A's datagrams in turn: once the second is
  // counted, the first has been relayed or dropped.
  ASSERT_TRUE(counted(leg(a), 2));
  ASSERT_NO_FATAL_FAILURE(relays(d, cc, toD, "d-marker"));
  for (const FarEnd* far : {&toC, &toD}) EXPECT_FALSE(far->pending());
  a->releaseSender();
  d->releaseSender();
}

// ---- targets the partner socket cannot take ------------------------------------------

namespace {

enum class Road { kRtp, kRtcpPort, kMuxRtcp };

struct UnusableCase {
  const char* name;
  const char* ip;   // the endpoints' and far ends' family
  const char* bad;  // a target text that does not resolve for that family
};

const UnusableCase kUnusableCases[] = {
    {"V4ToV6Loopback", "127.0.0.1", "::1"},
    {"V4ToV6LinkLocal", "127.0.0.1", "fe80::1"},
    {"V6ToV4", "::1", "127.0.0.1"},
};

using UnusableParam = std::tuple<Road, UnusableCase>;

std::string roadName(Road r) {
  static const char* const kNames[] = {"Rtp_", "RtcpPort_", "MuxRtcp_"};
  return kNames[static_cast<int>(r)];
}

void PrintTo(Road r, std::ostream* os) { *os << roadName(r); }
void PrintTo(const UnusableCase& c, std::ostream* os) { *os << c.name; }

class UnusableTargetTest : public PathTest, public ::testing::WithParamInterface<UnusableParam> {
 protected:
  Road road() const { return std::get<0>(GetParam()); }
  const UnusableCase& param() const { return std::get<1>(GetParam()); }
  RTex* leg(RTPex* ep) const {
    return road() == Road::kRtcpPort ? &ep->rtcp : static_cast<RTex*>(ep);
  }
  int portOf(RTPex* ep) const { return ep->localPort + (road() == Road::kRtcpPort ? 1 : 0); }
  std::string media(const std::string& tag) const {
    return road() == Road::kRtp ? pathtest::rtp(tag) : pathtest::rtcpSr(tag);
  }
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Loopback, UnusableTargetTest,
    ::testing::Combine(::testing::Values(Road::kRtp, Road::kRtcpPort, Road::kMuxRtcp),
                       ::testing::ValuesIn(kUnusableCases)),
    [](const ::testing::TestParamInfo<UnusableParam>& info) {
      return roadName(std::get<0>(info.param)) + std::get<1>(info.param).name;
    });

// B relayed for A towards A's far end; C, re-paired with B, gets a target
// that B's socket cannot take. Nothing of C's may leave towards A's far end
// (or anywhere); once C has a usable target, its media goes there.
TEST_P(UnusableTargetTest, SendsNothingUntilAUsableTargetIsSet) {
  const char* ip = param().ip;
  FarEnd source(ip), toA(ip), toC(ip);
  a = open(ip, 1021);
  b = open(ip, 1022);
  RTPex* cc = open(ip, 1023);
  ASSERT_TRUE(a && b && cc);
  target(leg(a), toA);
  pair(a, b);
  std::string got;
  int from = 0;
  ASSERT_TRUE(source.sendTo(portOf(a), media("a-via-b")));
  ASSERT_TRUE(toA.receive(&got, &from));
  EXPECT_EQ(portOf(b), from);

  pair(cc, b);
  std::string bad = param().bad;
  leg(cc)->setTarget(bad, toC.port(), 0, false);
  const int kSent = 3;
  for (int i = 0; i < kSent; i++) {
    ASSERT_TRUE(source.sendTo(portOf(cc), media("c-nowhere-" + std::to_string(i))));
  }
  // One receive thread handles C's datagrams in turn: once the last is
  // counted, every one has been relayed or dropped.
  ASSERT_TRUE(counted(leg(cc), kSent));
  std::vector<std::string> leaked;
  ASSERT_TRUE(source.sendTo(portOf(a), media("a-marker")));
  ASSERT_TRUE(toA.receiveUntil(media("a-marker"), &leaked));
  EXPECT_TRUE(leaked.empty()) << leaked.size() << " of C's datagrams reached A's far end";
  EXPECT_FALSE(toC.pending());

  target(leg(cc), toC);
  ASSERT_TRUE(source.sendTo(portOf(cc), media("c-via-b")));
  ASSERT_TRUE(toC.receive(&got, &from));
  EXPECT_EQ(media("c-via-b"), got);
  EXPECT_EQ(portOf(b), from);
  a->releaseSender();
  b->releaseSender();
  cc->releaseSender();
}

// ---- STUN latching ------------------------------------------------------------------

class StunTest : public PathTest {
 protected:
  // a paired with b; what arrives on a goes to out.
  void start(int interval) {
    RTPex::STUN_INTERVAL = interval;
    ASSERT_TRUE(openPair("127.0.0.1", 301, out));
  }
  void relayed(const FarEnd& from, const std::string& d) {
    std::string got;
    ASSERT_TRUE(from.sendTo(a->localPort, d));
    ASSERT_TRUE(out.receive(&got));
    EXPECT_EQ(d, got);
  }
  // d from one source is dropped: nothing reaches out before the marker
  // that another (or the same) source sends after it.
  void dropped(const FarEnd& from, const std::string& d, const FarEnd& markerFrom,
               const std::string& marker) {
    std::vector<std::string> got;
    ASSERT_TRUE(from.sendTo(a->localPort, d));
    ASSERT_TRUE(markerFrom.sendTo(a->localPort, marker));
    ASSERT_TRUE(out.receiveUntil(marker, &got));
    EXPECT_TRUE(got.empty());
  }
  int candidates() {
    Synchronized hold(&a->addrLock);
    return a->stunCandidateCount;
  }

  FarEnd out{"127.0.0.1"}, s1{"127.0.0.1"}, s2{"127.0.0.1"};
};

TEST_F(StunTest, SecondSourceWithinTheIntervalIsDropped) {
  ASSERT_NO_FATAL_FAILURE(start(60000));
  relayed(s1, pathtest::stun(false, "s1-a"));
  EXPECT_GT(a->stunState.load(), 0);
  dropped(s2, pathtest::stun(false, "s2-a"), s1, pathtest::stun(false, "s1-b"));
  EXPECT_EQ(s1.port(), lastFromOf(a).port);
  EXPECT_EQ(2, a->cntPacket.load());  // the dropped one is not counted
}

TEST_F(StunTest, AfterTheIntervalANewSourceIsTakenAndAnAnswerHolds) {
  ASSERT_NO_FATAL_FAILURE(start(200));
  relayed(s1, pathtest::stun(false, "s1-a"));
  JLangThread::sleep(300);  // the hold is over
  relayed(s2, pathtest::stun(false, "s2-a"));
  EXPECT_EQ(s2.port(), lastFromOf(a).port);
  EXPECT_EQ(2, candidates());
  relayed(s2, pathtest::stun(true, "s2-answer"));
  EXPECT_EQ(-1, a->stunState.load());
  JLangThread::sleep(300);  // an answered source holds for good
  dropped(s1, pathtest::stun(false, "s1-b"), s2, pathtest::stun(false, "s2-b"));
}

TEST_F(StunTest, AnAnswerFromAnOlderCandidateMakesItTheNewest) {
  ASSERT_NO_FATAL_FAILURE(start(200));
  relayed(s1, pathtest::stun(false, "s1-a"));
  JLangThread::sleep(300);
  relayed(s2, pathtest::stun(false, "s2-a"));
  JLangThread::sleep(300);
  relayed(s1, pathtest::stun(true, "s1-answer"));  // swapped to newest
  EXPECT_EQ(-1, a->stunState.load());
  EXPECT_EQ(s2.port(), lastFromOf(a).port);  // not moved by a swap
  dropped(s2, pathtest::stun(false, "s2-b"), s1, pathtest::stun(false, "s1-b"));
}

TEST_F(StunTest, AfterMediaStunIsDropped) {
  ASSERT_NO_FATAL_FAILURE(start(60000));
  FarEnd media("127.0.0.1");
  relayed(media, pathtest::rtp("m-1"));
  EXPECT_EQ(-2, a->stunState.load());
  dropped(s1, pathtest::stun(false, "s1-a"), s1, pathtest::rtp("m-2"));
  EXPECT_EQ(0, candidates());
}

TEST_F(StunTest, ThirteenthSourceEmptiesTheList) {
  ASSERT_NO_FATAL_FAILURE(start(-1));  // a window over at once: every state is open
  std::vector<std::unique_ptr<FarEnd>> s;
  for (int i = 0; i < 13; i++) {
    s.emplace_back(new FarEnd("127.0.0.1"));
    relayed(*s.back(), pathtest::stun(false, "src" + std::to_string(i)));
    EXPECT_EQ(i < 12 ? i + 1 : 1, candidates()) << i;
    EXPECT_EQ(s.back()->port(), lastFromOf(a).port) << i;
  }
  // The first source is no candidate any more: taken anew as the newest.
  relayed(*s[0], pathtest::stun(false, "src0-again"));
  EXPECT_EQ(2, candidates());
  EXPECT_EQ(s[0]->port(), lastFromOf(a).port);
}

TEST_F(StunTest, PartnerLatchingStunRedirectsTheDestination) {
  ASSERT_NO_FATAL_FAILURE(start(60000));
  FarEnd media("127.0.0.1");
  ASSERT_TRUE(s1.sendTo(b->localPort, pathtest::stun(false, "to-b")));
  ASSERT_TRUE(counted(b, 1));
  EXPECT_GT(b->stunState.load(), 0);
  std::string got;
  int from = 0;
  ASSERT_TRUE(media.sendTo(a->localPort, pathtest::rtp("follows")));
  ASSERT_TRUE(s1.receive(&got, &from));
  EXPECT_EQ(pathtest::rtp("follows"), got);
  EXPECT_EQ(b->localPort, from);
  EXPECT_EQ(s1.port(), sendToOf(a).port);
  EXPECT_FALSE(out.pending());
}

// ---- buffer growth ------------------------------------------------------------------

// A datagram that fills the buffer grows it by 200 bytes (at most 20000),
// posts event 13 and is dropped; a datagram as long as the buffer may have
// been cut, so it counts as filling it.
TEST_F(PathTest, FilledBufferGrowsPostsEventAndDropsTheDatagram) {
  struct Step {
    size_t size;        // the datagram that fills the buffer
    size_t markerSize;  // the one sent after it, which passes
    int bufAfter;
  };
  struct Case {
    const char* name;
    int rtpBuf;
    std::vector<Step> steps;
  } cases[] = {
      // 160 read, + 200; the next one as long as the first passes.
      {"grows", 160, {{172, 172, 360}, {360, 12, 560}}},
      {"stops at 20000", 19900, {{19950, 19999, 20000}, {20500, 19999, 20000}}},
  };
  FarEnd a1("127.0.0.1"), out("127.0.0.1");
  int sid = 400;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Options o;
    o.rtpBuf = c.rtpBuf;
    sid += 10;
    ASSERT_TRUE(openPair("127.0.0.1", sid, out, o));
    std::vector<int> grown;  // the size after each growth
    int buf = c.rtpBuf;
    for (size_t i = 0; i < c.steps.size(); i++) {
      const Step& s = c.steps[i];
      std::string fill = pathtest::rtp("fill-" + std::to_string(i), 0, s.size);
      std::string marker = pathtest::rtp("marker-" + std::to_string(i), 0, s.markerSize);
      std::vector<std::string> got = before(a1, a->localPort, fill, marker, out);
      EXPECT_TRUE(got.empty());
      EXPECT_EQ(s.bufAfter, a->recvBufSize.load());
      EXPECT_EQ(static_cast<int>(2 * (i + 1)), a->cntPacket.load());  // the dropped ones counted
      if (s.bufAfter > buf) grown.push_back(s.bufAfter);
      buf = s.bufAfter;
    }

    ASSERT_TRUE(worker->flush());
    std::vector<pathtest::EventWorker::Delivered> ev = worker->of(sid, RTPex::EV_BUFFER_SIZE);
    ASSERT_EQ(grown.size(), ev.size());
    for (size_t i = 0; i < ev.size(); i++) EXPECT_LE(grown[i], ev[i].bufSize) << i;
    EXPECT_EQ(buf, ev.back().bufSize);
    EXPECT_EQ(0u, worker->count(sid + 1, RTPex::EV_BUFFER_SIZE));
    EXPECT_TRUE(pinsSettle(a, 3));  // the events' pins came back
    EXPECT_TRUE(pinsSettle(b, 3));
  }
}

TEST_F(PathTest, DtlsMakesBothEndpointsApplyTheDtlsSize) {
  RTPex::PACKET_SIZE_DTLS = 1500;
  FarEnd a1("127.0.0.1"), b1("127.0.0.1"), c1("127.0.0.1"), out("127.0.0.1");
  Options o;
  o.rtpBuf = 512;
  ASSERT_TRUE(openPair("127.0.0.1", 421, out, o, o));
  RTPex* c = open("127.0.0.1", 423, o);  // unpaired
  ASSERT_TRUE(c);

  std::string got;
  ASSERT_TRUE(a1.sendTo(a->localPort, pathtest::dtls("hello")));
  ASSERT_TRUE(out.receive(&got));
  EXPECT_EQ(pathtest::dtls("hello"), got);
  EXPECT_EQ(512, a->recvBufSize.load());  // applied at the next receive
  ASSERT_TRUE(a1.sendTo(a->localPort, pathtest::rtp("after")));
  ASSERT_TRUE(out.receive(&got));
  ASSERT_TRUE(b1.sendTo(b->localPort, pathtest::rtp("to-b")));
  ASSERT_TRUE(counted(b, 1));
  EXPECT_EQ(1500, a->recvBufSize.load());
  EXPECT_EQ(1500, b->recvBufSize.load());

  // A request not larger than the buffer changes nothing.
  ASSERT_TRUE(b1.sendTo(b->localPort, pathtest::dtls("again")));
  ASSERT_TRUE(b1.sendTo(b->localPort, pathtest::rtp("sync")));
  ASSERT_TRUE(counted(b, 3));
  EXPECT_EQ(1500, b->recvBufSize.load());

  ASSERT_TRUE(c1.sendTo(c->localPort, pathtest::dtls("alone")));
  ASSERT_TRUE(c1.sendTo(c->localPort, pathtest::rtp("alone-2")));
  ASSERT_TRUE(c1.sendTo(c->localPort, pathtest::rtp("alone-3")));
  ASSERT_TRUE(counted(c, 3));
  EXPECT_EQ(512, c->recvBufSize.load());

  ASSERT_TRUE(worker->flush());
  EXPECT_EQ(1u, worker->count(421, RTPex::EV_BUFFER_SIZE));
  EXPECT_EQ(1u, worker->count(422, RTPex::EV_BUFFER_SIZE));
  EXPECT_EQ(0u, worker->count(423, RTPex::EV_BUFFER_SIZE));
  ASSERT_EQ(1u, worker->of(421, RTPex::EV_BUFFER_SIZE).size());
  EXPECT_EQ(1500, worker->of(421, RTPex::EV_BUFFER_SIZE)[0].bufSize);
}

// ---- blocking -----------------------------------------------------------------------

TEST_F(PathTest, BlockingKeysDropTheirKindOnly) {
  std::vector<int*> all = {&RTPex::BLOCK_RTCP, &RTPex::BLOCK_STUN, &RTPex::BLOCK_DTLS,
                           &RTPex::BLOCK_UNKNOWN};
  struct Case {
    const char* name;
    std::vector<int*> keys;  // the blocking keys set
    std::string datagram;
    bool blocked;
    bool media;  // ends STUN latching, blocked or not
  } cases[] = {
      {"mux RTCP blocked", {&RTPex::BLOCK_RTCP}, pathtest::datagram(0x80, 0xC8, "r"), true, true},
      {"mux RTCP passes", {}, pathtest::datagram(0x80, 0xC8, "r"), false, true},
      {"STUN blocked", {&RTPex::BLOCK_STUN}, pathtest::stun(false, "s"), true, false},
      {"STUN passes", {}, pathtest::stun(false, "s"), false, false},
      {"DTLS blocked", {&RTPex::BLOCK_DTLS}, pathtest::dtls("d"), true, false},
      {"DTLS passes", {}, pathtest::dtls("d"), false, false},
      {"7 bytes blocked", {&RTPex::BLOCK_UNKNOWN}, std::string("\x80\x00short", 7), true, false},
      {"7 bytes pass", {}, std::string("\x80\x00short", 7), false, false},
      {"unknown blocked", {&RTPex::BLOCK_UNKNOWN}, pathtest::datagram(0xC0, 0, "u"), true, false},
      {"RTP never blocked", all, pathtest::rtp("p"), false, true},
  };
  FarEnd a1("127.0.0.1"), out("127.0.0.1");
  int sid = 500;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int* key : all) *key = 0;
    for (int* key : c.keys) *key = 1;
    sid += 2;
    ASSERT_TRUE(openPair("127.0.0.1", sid, out));
    a->lastRecvTime = 0;

    std::string marker = pathtest::rtp("marker-" + std::to_string(sid));
    ASSERT_TRUE(a1.sendTo(a->localPort, c.datagram));
    if (c.blocked) {
      // A blocked datagram still refreshes the session timer.
      ASSERT_TRUE(relaytest::waitUntil([&] { return a->lastRecvTime.load() != 0; }));
      EXPECT_EQ(0, a->cntPacket.load());
    }
    std::vector<std::string> got;
    ASSERT_TRUE(a1.sendTo(a->localPort, marker));
    ASSERT_TRUE(out.receiveUntil(marker, &got));
    EXPECT_EQ(c.blocked ? std::vector<std::string>() : std::vector<std::string>{c.datagram}, got);
    EXPECT_EQ(c.blocked ? 1 : 2, a->cntPacket.load());
    if (c.media) {
      EXPECT_EQ(-2, a->stunState.load());  // blocked or not, it is media
    }
  }
}

// ---- SRTP pending -------------------------------------------------------------------

TEST_F(PathTest, PendingSrtpDropsMediaOfThatEndpoint) {
  struct Case {
    const char* name;
    int aMode, bMode;
    int portOffset;  // 1: the RTCP port
    std::string datagram;
    bool relayed;
  } cases[] = {
      {"A pending: RTP", 1, 0, 0, pathtest::rtp("p"), false},
      {"A pending: mux RTCP", 1, 0, 0, pathtest::datagram(0x80, 0xC9, "r"), false},
      {"A pending: STUN", 1, 0, 0, pathtest::stun(false, "s"), true},
      {"A pending: DTLS", 1, 0, 0, pathtest::dtls("d"), true},
      {"A pending: unknown", 1, 0, 0, pathtest::datagram(0xC0, 0, "u"), true},
      {"A pending: RTCP port", 1, 0, 1, pathtest::rtcpSr("c"), false},
      {"B pending: STUN", 0, 1, 0, pathtest::stun(false, "s"), false},
      {"B pending: DTLS", 0, 1, 0, pathtest::dtls("d"), false},
      {"B pending: RTCP port", 0, 1, 1, pathtest::rtcpSr("c"), false},
      {"A converting: STUN untouched", 2, 0, 0, pathtest::stun(false, "s"), true},
      {"B converting: DTLS plain", 0, 2, 0, pathtest::dtls("d"), true},
      {"B converting: unknown plain", 0, 2, 0, pathtest::datagram(0xC0, 0, "u"), true},
  };
  FarEnd a1("127.0.0.1"), out("127.0.0.1");
  int sid = 600;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sid += 2;
    ASSERT_TRUE(openPair("127.0.0.1", sid, out));
    a->srtpMode = static_cast<int16_t>(c.aMode);
    b->srtpMode = static_cast<int16_t>(c.bMode);
    RTex* leg = c.portOffset == 1 ? static_cast<RTex*>(&a->rtcp) : static_cast<RTex*>(a);

    ASSERT_TRUE(a1.sendTo(a->localPort + c.portOffset, c.datagram));
    std::string got;
    if (c.relayed) {
      ASSERT_TRUE(out.receive(&got));
      EXPECT_EQ(c.datagram, got);
    } else {
      // A second datagram that is dropped as well; once it is counted the
      // first one is done with.
      std::string sync = c.portOffset == 1 ? pathtest::rtcpSr("sync") : pathtest::rtp("sync");
      ASSERT_TRUE(a1.sendTo(a->localPort + c.portOffset, sync));
      ASSERT_TRUE(counted(leg, 2));
      EXPECT_FALSE(out.pending());
    }
    EXPECT_TRUE(pinsSettle(b, 3));
  }
}

// ---- RTCP port ----------------------------------------------------------------------

TEST_F(PathTest, RtcpPortPassesOnlyTypes200To207) {
  struct Case {
    std::string datagram;
    bool passes;
  };
  std::vector<Case> cases = {
      {std::string("\x81\xC8" "abcde", 7), false},
      {pathtest::datagram(0x81, 0xC8, "sr", 8), true},
      {pathtest::datagram(0x80, 0x48, "no-marker"), true},
      {pathtest::datagram(0xBF, 0xCF, "207"), true},
      {pathtest::datagram(0x80, 0xC0, "192"), false},
      {pathtest::datagram(0x80, 0xC1, "193"), false},
      {pathtest::datagram(0x80, 0x00, "rtp-0"), false},
      {pathtest::datagram(0x80, 0x47, "71"), false},
      {pathtest::datagram(0x80, 0x50, "80"), false},
      {pathtest::datagram(0x7F, 0xC8, "v1"), false},
      {pathtest::datagram(0xC0, 0xC8, "v3"), false},
      {pathtest::stun(false, "stun"), false},
  };
  for (int t = 0xC9; t <= 0xCF; t++) {
    cases.push_back({pathtest::datagram(0x80, static_cast<unsigned char>(t), "t"), true});
  }
  FarEnd a1("127.0.0.1"), out("127.0.0.1");
  ASSERT_TRUE(openPair("127.0.0.1", 701, out));

  int passed = 0;
  for (size_t i = 0; i < cases.size(); i++) {
    SCOPED_TRACE(i);
    std::string marker = pathtest::rtcpSr("marker-" + std::to_string(i));
    std::vector<std::string> got = before(a1, a->localPort + 1, cases[i].datagram, marker, out);
    passed += cases[i].passes ? 2 : 1;
    EXPECT_EQ(cases[i].passes ? std::vector<std::string>{cases[i].datagram}
                              : std::vector<std::string>(),
              got);
    EXPECT_EQ(passed, a->rtcp.cntPacket.load());
  }
  int from = 0;
  std::string got;
  ASSERT_TRUE(a1.sendTo(a->localPort + 1, pathtest::rtcpSr("source")));
  ASSERT_TRUE(out.receive(&got, &from));
  EXPECT_EQ(b->localPort + 1, from);  // out of the partner's RTCP socket
  EXPECT_EQ(0, a->cntPacket.load());
  EXPECT_TRUE(pinsSettle(b, 3));
}

// A report longer than the RTCP port's buffer is dropped, not forwarded cut
// with a length field that claims more. The buffer grows by one step, up to
// the ceiling, with no event (Java hears only of the RTP port's size), and
// the next report of that length arrives whole. One that fills the buffer
// exactly passes.
TEST_F(PathTest, LongRtcpIsDroppedAndTheBufferGrows) {
  struct Case {
    int buf;
    size_t length;
    int grown;
    bool nextPasses;
  };
  const Case cases[] = {
      {64, 200, 264, true},
      {64, 64, 64, true},
      {19900, 19950, 20000, true},
      {20000, 20001, 20000, false},  // at the ceiling: dropped for good
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.buf);
    const int64_t sid = 711 + 2 * static_cast<int64_t>(i);
    FarEnd a1("127.0.0.1"), out("127.0.0.1");
    Options o;
    o.rtcpBuf = c.buf;
    ASSERT_TRUE(openPair("127.0.0.1", sid, out, o));
    std::string report = pathtest::rtcpSr("long", c.length);
    std::string marker = pathtest::rtcpSr("marker");
    bool fits = c.length <= static_cast<size_t>(c.buf);
    EXPECT_EQ(fits ? std::vector<std::string>{report} : std::vector<std::string>(),
              before(a1, a->localPort + 1, report, marker, out));
    EXPECT_EQ(c.grown, a->rtcp.recvBufSize.load());
    EXPECT_EQ(c.nextPasses ? std::vector<std::string>{report} : std::vector<std::string>(),
              before(a1, a->localPort + 1, report, marker, out));
    EXPECT_EQ(c.grown, a->rtcp.recvBufSize.load());
    ASSERT_TRUE(worker->flush());
    EXPECT_EQ(0u, worker->count(sid, RTPex::EV_BUFFER_SIZE));
  }
}

// A first buffer size of 0 or less, given at opening or at reuse, means
// 1500 bytes on both ports: nothing is read as empty, everything is relayed.
TEST_F(PathTest, FirstSizeBelowOneMeansTheDefault) {
  struct Case {
    int opened;
    bool reused;
    int reuseSize;
  };
  const Case cases[] = {{0, false, 0}, {-5, false, 0}, {512, true, 0}, {512, true, -5}};
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
    const Case& c = cases[i];
    SCOPED_TRACE(i);
    const int64_t sid = 741 + 2 * static_cast<int64_t>(i);
    FarEnd a1("127.0.0.1"), out("127.0.0.1");
    Options o;
    o.rtpBuf = c.opened;
    o.rtcpBuf = c.opened;
    ASSERT_TRUE(openPair("127.0.0.1", sid, out, o));
    if (c.reused) {
      a->reinit(RTPexSession{sid, 0, 0, 0, "host", c.reuseSize, c.reuseSize, false, false,
                             "127.0.0.1", 0});
      target(a, out);
      target(&a->rtcp, out);
    }
    for (int n = 0; n < 10; n++) {
      std::string tag = std::to_string(n);
      std::string got;
      ASSERT_TRUE(a1.sendTo(a->localPort, pathtest::rtp("rtp-" + tag)));
      ASSERT_TRUE(out.receive(&got));
      EXPECT_EQ(pathtest::rtp("rtp-" + tag), got);
      ASSERT_TRUE(a1.sendTo(a->localPort + 1, pathtest::rtcpSr("rtcp-" + tag)));
      ASSERT_TRUE(out.receive(&got));
      EXPECT_EQ(pathtest::rtcpSr("rtcp-" + tag), got);
    }
    EXPECT_EQ(10, a->cntPacket.load());
    EXPECT_EQ(10, a->rtcp.cntPacket.load());
    EXPECT_EQ(1500, a->recvBufSize.load());
    EXPECT_EQ(1500, a->rtcp.recvBufSize.load());
  }
}

TEST_F(PathTest, RtcpWithoutPartnerCountsOnly) {
  FarEnd c1("127.0.0.1");
  RTPex* c = open("127.0.0.1", 721);
  ASSERT_TRUE(c);
  EXPECT_EQ(0, c->lastRecvTime.load());
  ASSERT_TRUE(c1.sendTo(c->localPort + 1, pathtest::rtcpSr("alone")));
  ASSERT_TRUE(counted(&c->rtcp, 1));
  EXPECT_NE(0, c->lastRecvTime.load());
  EXPECT_EQ(0, lastFromOf(&c->rtcp).port);  // set only with a partner
}

// ---- session time-out ---------------------------------------------------------------

TEST_F(PathTest, SessionTimeoutPostsOneEventPerSilence) {
  FarEnd a1("127.0.0.1");
  Options o;
  o.timeout = 300;
  RTPex* a = open("127.0.0.1", 801, o);
  RTPex* b = open("127.0.0.1", 802);  // no time-out
  ASSERT_TRUE(a && b);
  pair(a, b);  // arms the timer

  ASSERT_TRUE(relaytest::waitUntil([&] { return worker->count(801, RTPex::EV_SESSION_TIMEOUT) == 1; }));
  EXPECT_EQ(0, a->lastRecvTime.load());
  JLangThread::sleep(1000);  // several sweeps past the time-out
  ASSERT_TRUE(worker->flush());
  EXPECT_EQ(1u, worker->count(801, RTPex::EV_SESSION_TIMEOUT));

  ASSERT_TRUE(a1.sendTo(a->localPort, pathtest::rtp("wake")));  // arms again
  ASSERT_TRUE(relaytest::waitUntil([&] { return worker->count(801, RTPex::EV_SESSION_TIMEOUT) == 2; }));
  JLangThread::sleep(1000);
  ASSERT_TRUE(worker->flush());
  EXPECT_EQ(2u, worker->count(801, RTPex::EV_SESSION_TIMEOUT));
  EXPECT_EQ(0u, worker->count(802, RTPex::EV_SESSION_TIMEOUT));
  EXPECT_TRUE(pinsSettle(a, 3));
}

// ---- reuse --------------------------------------------------------------------------

// A is reused again and again while B's media leaves through A's socket.
// Each datagram goes out under the old session (SRTP with A's context) or
// the new one (plain); none is lost between the two. Meanwhile A's own
// datagrams meet a target that B's socket cannot take, set anew after each
// reuse: none of them may leave towards the far end B's socket served.
TEST_F(PathTest, ReuseWhileThePartnersMediaFlowsLosesNothing) {
  srtptest::setUp();
  FarEnd source("127.0.0.1"), out("127.0.0.1"), toA("127.0.0.1"), sourceA("127.0.0.1");
  a = open("127.0.0.1", 1101);
  b = open("127.0.0.1", 1102);
  ASSERT_TRUE(a && b);
  target(b, out);
  target(a, toA);
  pair(a, b);
  std::string got;
  ASSERT_TRUE(sourceA.sendTo(a->localPort, pathtest::rtp("a-via-b")));
  ASSERT_TRUE(toA.receive(&got));  // B's socket now aims at toA
  std::string refused = "::1";
  a->setTarget(refused, toA.port(), 0, false);

  std::atomic<bool> stop{false};
  std::atomic<int> reuses{0};
  std::thread reuser([&] {
    const RTPexSession next{1101, 0, 0, 0, "host", 2048, 2048, false, false, "127.0.0.1", 0};
    for (int i = 0; i < 1000000 && !stop.load(); i++) {
      a->createCryptoToSend(SRTPInfo::SUITE_AES_CM_128_HMAC_SHA1_32);
      a->srtpMode = 2;  // the old session converts
      a->reinit(next);
      a->setTarget(refused, toA.port(), 0, false);
      reuses++;
    }
  });
  std::thread towardsA([&] {
    for (int i = 0; i < 1000000 && !stop.load(); i++) {
      sourceA.sendTo(a->localPort, pathtest::rtp("a-nowhere"));
      if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  const int kBursts = 1000;
  const int kBurst = 20;
  long sent = 0;
  long arrived = 0;
  // Each datagram arrives or the kernel drops it from B's or out's queue.
  auto accounted = [&] {
    std::string got;
    while (arrived < sent && out.receive(&got, nullptr, 10)) arrived++;
    return arrived == sent ? sent : arrived + relaytest::kernelDrops(b->localPort) + out.drops();
  };
  for (int n = 0; n < kBursts && accounted() == sent; n++) {
    for (int i = 0; i < kBurst; i++, sent++) {
      ASSERT_TRUE(source.sendTo(b->localPort, srtptest::rtp(static_cast<uint16_t>(sent), 7, 20)));
    }
    relaytest::settle(accounted, sent);
  }
  stop = true;
  reuser.join();
  towardsA.join();
  // A's datagrams still queued are handled while its target is refused;
  // none of them may have left.
  ASSERT_TRUE(relaytest::waitUntil([&] {
    pollfd p{a->udpReceiver.getDesc(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
  }));
  std::vector<std::string> leaked;
  std::string early;
  while (leaked.size() < 1000 && toA.receive(&early, nullptr, 100)) leaked.push_back(early);
  EXPECT_TRUE(leaked.empty()) << leaked.size() << " of A's datagrams left";
  // With a target A relays again; what was in flight as it changed may go
  // there first.
  target(a, toA);
  std::vector<std::string> inFlight;
  ASSERT_TRUE(sourceA.sendTo(a->localPort, pathtest::rtp("a-marker")));
  ASSERT_TRUE(toA.receiveUntil(pathtest::rtp("a-marker"), &inFlight));
  long dropsAtB = relaytest::kernelDrops(b->localPort);
  relaytest::reportKernelDrops("relay", dropsAtB);
  relaytest::reportKernelDrops("out", out.drops());
  EXPECT_GT(reuses.load(), 0);
  EXPECT_EQ(sent - dropsAtB, b->cntPacket.load());  // all accepted by B
  EXPECT_EQ(sent - dropsAtB - out.drops(), arrived);
}

// ---- under load ---------------------------------------------------------------------

// Datagrams of every kind keep arriving while other threads pair, re-pair,
// re-target, time out and close endpoints; afterwards a pair set up last
// relays to its last target and every pin has come back.
TEST_P(FamilyPathTest, DatagramsWhileEndpointsChange) {
  const char* ip = GetParam();
  RTPex::STUN_INTERVAL = 50;
  const int kSlots = 6;
  std::mutex mu;
  std::vector<int64_t> ids(kSlots);
  std::vector<int> ports(kSlots);
  std::vector<int64_t> closed;
  int64_t nextSid = 900;
  auto openSlot = [&](int i) {
    int16_t v6 = std::strchr(ip, ':') != nullptr ? 1 : 0;
    int64_t id = RTPex::newInstance(++nextSid, 0, pathtest::kPortMin, pathtest::kPortMax,
                                    pathtest::kPortMin, 0, 40, "host", 256, 256, 1, v6, 0, ip, 0);
    ASSERT_NE(0, id);
    ids[i] = id;
    ports[i] = static_cast<int>(id & 0xFFFF);
  };
  for (int i = 0; i < kSlots; i++) openSlot(i);
  std::vector<std::unique_ptr<FarEnd>> sinks;
  for (int i = 0; i < 3; i++) sinks.emplace_back(new FarEnd(ip));

  std::atomic<bool> stop(false);
  std::vector<std::thread> senders;
  for (int t = 0; t < 2; t++) {
    senders.emplace_back([&, t] {
      FarEnd far(ip);
      std::mt19937 rnd(17 + t);
      for (int n = 0; n < 20000 && !stop.load(); n++) {
        int port;
        {
          std::lock_guard<std::mutex> hold(mu);
          port = ports[rnd() % kSlots];
        }
        std::string tag = std::to_string(n);
        switch (rnd() % 7) {
          case 0: far.sendTo(port, pathtest::rtp(tag, 0)); break;
          case 1: far.sendTo(port, pathtest::datagram(0x80, 0xC8, tag)); break;
          case 2: far.sendTo(port, pathtest::stun(rnd() % 2 == 0, tag)); break;
          case 3: far.sendTo(port, pathtest::dtls(tag)); break;
          case 4: far.sendTo(port, pathtest::rtp(tag, 8, 300 + rnd() % 700)); break;
          case 5: far.sendTo(port, pathtest::datagram(0xC0, 0, tag)); break;
          default: far.sendTo(port + 1, pathtest::rtcpSr(tag, 8 + rnd() % 400)); break;
        }
        if (n % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  std::thread drain([&] {
    std::string got;
    while (!stop.load()) {
      for (auto& s : sinks) s->receive(&got, nullptr, 5);
    }
  });

  std::thread churn([&] {
    std::mt19937 rnd(5);
    for (int n = 0; n < 1500; n++) {
      int64_t x, y;
      {
        std::lock_guard<std::mutex> hold(mu);
        x = ids[rnd() % kSlots];
        y = ids[rnd() % kSlots];
      }
      RTPexPin a = RTPexPin::find(x);
      RTPexPin b = RTPexPin::find(y);
      if (!a || !b) continue;
      const FarEnd& sink = *sinks[rnd() % sinks.size()];
      std::string sinkIp = sink.ip();
      switch (rnd() % 6) {
        case 0:
        case 1: a->setSender(b.get()); break;
        case 2: a->releaseSender(); break;
        case 3: a->setTarget(sinkIp, sink.port(), 0, rnd() % 2 == 0); break;
        case 4: a->rtcp.setTarget(sinkIp, sink.port(), 0, rnd() % 2 == 0); break;
        default: {
          a.reset();
          b.reset();
          std::lock_guard<std::mutex> hold(mu);
          int i = static_cast<int>(rnd() % kSlots);
          closed.push_back(ids[i]);
          RTPex::closeAndDelete(ids[i]);
          openSlot(i);
          break;
        }
      }
      if (n % 5 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  churn.join();
  stop = true;
  for (std::thread& t : senders) t.join();
  drain.join();

  // Unpair everything, then pair the first two slots with fixed targets.
  for (int64_t id : ids) {
    RTPexPin e = RTPexPin::find(id);
    ASSERT_TRUE(e);
    e->releaseSender();
  }
  RTPexPin x = RTPexPin::find(ids[0]);
  RTPexPin y = RTPexPin::find(ids[1]);
  ASSERT_TRUE(x && y);
  FarEnd src(ip), last(ip);
  target(x.get(), last);
  pair(x.get(), y.get());
  x->sessionTimeout = 0;
  y->sessionTimeout = 0;
  // Media on y ends any STUN hold there, which would redirect x's datagrams.
  ASSERT_TRUE(src.sendTo(y->localPort, pathtest::rtp("calm")));
  ASSERT_TRUE(relaytest::waitUntil([&] { return y->stunState.load() == -2; }));
  std::string got;
  bool arrived = false;
  for (int i = 0; i < 200 && !arrived; i++) {
    ASSERT_TRUE(src.sendTo(x->localPort, pathtest::rtp("final")));
    arrived = last.receive(&got, nullptr, 50) && got == pathtest::rtp("final");
  }
  EXPECT_TRUE(arrived);
  ASSERT_TRUE(worker->flush());
  EXPECT_TRUE(pinsSettle(x.get(), 3));  // registry, partner, this test
  EXPECT_TRUE(pinsSettle(y.get(), 3));
  x.reset();
  y.reset();
  for (int64_t id : ids) RTPex::closeAndDelete(id);
  EXPECT_EQ(0, RTPex::closeAndDelete(closed.empty() ? -1 : closed.front()));
}
