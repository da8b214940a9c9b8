// Every datagram of a plain party reaches its SRTP far end (the pion-based
// srtp_peer, independent of libsrtp2) protected, RTP and RTCP, however the
// party sends and is signalled, with and without strangers' SSRCs sent to
// the party's endpoint first.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "GoPeer.h"
#include "SRTPtest.h"
#include "pathtest.h"

namespace {

using gopeer::GoPeer;
using pathtest::FarEnd;
using pathtest::Options;
using srtptest::rtcp;
using srtptest::rtp;

// The wait for each datagram once one was lost: the row has failed by
// then, and the count of the rest only tells how badly.
const int kAfterLossMs = 200;
const int kPollMs = 5;
// How long a datagram of the far end that the party may get is waited for.
const int kDrainMs = 200;
const uint32_t kStrangerSsrc = 0x7000;  // strangers' SSRCs count up from here
const uint32_t kPartySsrc = 0xB0B000;

// How the party sends and how Java signals it.
enum class Party {
  kSignalled,   // from its target
  kBehindNat,   // from 127.0.0.3, its target says 127.0.0.1; learned
  kOtherPort,   // from its target's address, other ports
  kMultihomed,  // from 127.0.0.5, its target says 127.0.0.1
  kEarlyMedia,  // from its target, before the SRTP side has a target
  kHoldResume,  // from its target, through a hold (0.0.0.0) and back
  kSsrcChanges  // from its target, ten SSRCs one after the other
};

const char* nameOf(Party p) {
  switch (p) {
    case Party::kSignalled:
      return "Signalled";
    case Party::kBehindNat:
      return "BehindNat";
    case Party::kOtherPort:
      return "OtherPort";
    case Party::kMultihomed:
      return "Multihomed";
    case Party::kEarlyMedia:
      return "EarlyMedia";
    case Party::kHoldResume:
      return "HoldResume";
    case Party::kSsrcChanges:
      return "TenSsrcs";
  }
  return "?";
}

struct Row {
  Party party;
  bool learn;          // both endpoints and all four legs learn
  bool sendBehindNat;  // rtp.behindnat.send
  bool mux;            // the SRTP far end sends and takes RTCP on its RTP port
  int strangers;       // SSRCs sent first to the party's endpoint
  bool atParty = false;  // by a sender at the party's own address (other ports), else 127.0.0.2
};

void PrintTo(const Row& r, std::ostream* os) {
  *os << nameOf(r.party) << (r.learn ? " learning" : "") << (r.sendBehindNat ? " send" : "")
      << (r.mux ? " mux" : "") << " " << r.strangers << " strangers"
      << (r.atParty ? " at the party's address" : "");
}

std::string nameOf(const Row& r) {
  return std::string(nameOf(r.party)) + (r.learn ? "_Learn" : "") +
         (r.sendBehindNat ? "_SendBehindNat" : "") + (r.mux ? "_Mux" : "") + "_" +
         std::to_string(r.strangers) + "Strangers" + (r.atParty ? "AtPartyAddress" : "");
}

std::vector<Row> rows() {
  const Row table[] = {
      {Party::kSignalled, false, false, false, 0},  {Party::kSignalled, false, false, true, 0},
      {Party::kBehindNat, true, false, false, 0},   {Party::kBehindNat, true, false, true, 0},
      {Party::kBehindNat, true, true, false, 0},    {Party::kBehindNat, true, true, true, 0},
      {Party::kOtherPort, false, false, false, 0},  {Party::kMultihomed, false, false, false, 0},
      {Party::kMultihomed, false, false, true, 0},  {Party::kEarlyMedia, false, false, false, 0},
      {Party::kHoldResume, true, false, false, 0},  {Party::kHoldResume, false, false, false, 0},
      {Party::kSsrcChanges, true, false, true, 0},  {Party::kSsrcChanges, false, false, true, 0},
  };
  std::vector<Row> out;
  // A sender at the party's own address shares its room (the party's, or
  // eight SSRCs per address while the party is not recognised): four.
  const std::pair<int, bool> strangers[] = {{0, false}, {8, false}, {100, false}, {4, true}};
  for (const auto& st : strangers) {
    for (Row r : table) {
      r.strangers = st.first;
      r.atParty = st.second;
      out.push_back(r);
    }
  }
  return out;
}

// Two sockets of a plain far end on ip, sending to the relay on 127.0.0.1.
struct Plain {
  explicit Plain(const char* ip) : media(ip, 0, "127.0.0.1"), control(ip, 0, "127.0.0.1") {}
  bool ok() const { return media.ok() && control.ok(); }
  FarEnd media;
  FarEnd control;
};

std::string freshKey() {
  std::string key(SRTPInfo::KEY_LEN, '\0');
  SRTPInfo::drawKey(reinterpret_cast<unsigned char*>(&key[0]));
  return key;
}

bool isRtcp(const std::string& d) {
  int type = d.size() >= 2 ? (static_cast<unsigned char>(d[1]) & 0x7F) : 0;
  return type >= 64 && type <= 79;
}

uint32_t ssrcOf(const std::string& d) {
  size_t at = isRtcp(d) ? 4 : 8;
  if (d.size() < at + 4) return 0;
  uint32_t v = 0;
  for (size_t i = 0; i < 4; i++) v = (v << 8) | static_cast<unsigned char>(d[at + i]);
  return v;
}

class SRTPPartyTableTest : public pathtest::PathTest, public ::testing::WithParamInterface<Row> {
 protected:
  void SetUp() override {
    program = gopeer::peerProgram();
    if (program == nullptr) GTEST_SKIP() << "srtp_peer was not built (no Go or pion)";
    signal(SIGPIPE, SIG_IGN);
    srtptest::setUp();
    pathtest::PathTest::SetUp();
  }

  int refusals() {
    Synchronized hold(SRTPInfo::wo);
    return srtpSide->cryptoSend != nullptr ? srtpSide->cryptoSend->protectErrorCount : 0;
  }

  // Sends d from from to port of the plain side's endpoint and waits until
  // leg counted it.
  void handled(const FarEnd& from, RTex* leg, int port, const std::string& d) {
    int before = leg->cntPacket.load();
    ASSERT_TRUE(from.sendTo(port, d));
    bool counted = false;
    for (int waited = 0; !counted && waited < 10 * pathtest::kWaitMs; waited++) {
      counted = leg->cntPacket.load() > before;
      if (!counted) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    ASSERT_TRUE(counted) << "the relay did not count a datagram";
  }

  // One datagram of the party, sent from from to port of the plain side's
  // endpoint and awaited at the far end's socket goSocket: it must arrive
  // and decrypt to what the party sent. Strangers' datagrams ahead of it
  // are skipped. Paced: one at a time, so no queue holds more than a few.
  void party(const FarEnd& from, int port, const std::string& plain, const char* goSocket) {
    sent++;
    sentBefore.insert(plain);
    int before = refusals();
    if (!from.sendTo(port, plain)) {
      ADD_FAILURE() << "could not send";
      return;
    }
    int budget = lost > 0 ? kAfterLossMs : pathtest::kWaitMs;
    for (int waited = 0; waited < budget; waited += kPollMs) {
      std::string got = go.recv(goSocket, kPollMs);
      if (got == "timeout") {
        if (refusals() > before) break;
        continue;
      }
      if (got.compare(0, 4, "bad ") == 0 || got.compare(0, 4, "err ") == 0) {
        ADD_FAILURE() << "the far end could not use a datagram: " << got;
        continue;
      }
      uint32_t ssrc = ssrcOf(got);
      if (ssrc >= kStrangerSsrc && ssrc < kStrangerSsrc + 200) continue;
      if (got == plain) {
        arrived++;
        return;
      }
      // One sent before, late or not counted.
      if (sentBefore.count(got) != 0) continue;
      ADD_FAILURE() << "something else arrived";
    }
    if (refusals() > before) {
      refused++;
    } else {
      lost++;
    }
  }

  // RTP of ssrc from the party's RTP socket.
  void partyRtp(uint32_t ssrc, uint16_t seq) {
    party(partySend->media, plainSide->localPort, rtp(seq, ssrc, 40), "rtp");
  }
  // RTCP of ssrc on the RTCP port, and multiplexed too when the far end
  // multiplexes.
  void partyRtcp(uint32_t ssrc, uint32_t count) {
    const Row& row = GetParam();
    party(partySend->control, plainSide->localPort + 1, rtcp(ssrc, count), row.mux ? "rtp" : "rtcp");
    if (row.mux) party(partySend->media, plainSide->localPort, rtcp(ssrc, count + 1000), "rtp");
  }

  // The far end sends one RTP and one RTCP datagram and waits until the
  // relay counted each, so that whatever they teach it is in place. What
  // reaches the party is drained, not counted: the other direction is
  // tested elsewhere, and before anything is learned nothing arrives.
  void farSends(uint16_t seq) {
    const Row& row = GetParam();
    // A learned party gets them where it sends from, any other at its target.
    const Plain* at = row.party == Party::kBehindNat ? partySend.get() : partyTarget;
    RTex* rtcpLeg = row.mux ? static_cast<RTex*>(srtpSide) : &srtpSide->rtcp;
    farSendsOne(srtpSide, "rtp", srtpSide->localPort, rtp(seq, 0xFA5, 40), &at->media);
    farSendsOne(rtcpLeg, row.mux ? "rtp" : "rtcp", rtcpLeg == srtpSide ? srtpSide->localPort
                                                                        : srtpSide->localPort + 1,
                rtcp(0xFA5, seq), row.mux ? &at->media : &at->control);
  }

  void farSendsOne(RTex* leg, const char* socket, int port, const std::string& plain,
                   const FarEnd* drain) {
    int before = leg->cntPacket.load();
    go.send(socket, port, plain);
    ASSERT_TRUE(relaytest::waitUntil([&] { return leg->cntPacket.load() > before; }))
        << "the relay did not count the far end's datagram";
    std::string got;
    drain->receive(&got, nullptr, kDrainMs);
  }

  // Aims the SRTP side's legs at the party's target (at addr).
  void aimAtParty(const char* addr) {
    std::string ip = addr;
    srtpSide->setTarget(ip, partyTarget->media.port(), 0, GetParam().learn);
    srtpSide->rtcp.setTarget(ip, partyTarget->control.port(), 0, GetParam().learn);
  }

  const char* program = nullptr;
  GoPeer go;
  RTPex* srtpSide = nullptr;   // its far end is the Go peer
  RTPex* plainSide = nullptr;  // its far end is the party
  std::unique_ptr<Plain> partySend;    // the sockets the party sends from
  std::unique_ptr<Plain> otherPorts;   // the party's target, when it sends from others
  std::set<std::string> sentBefore;    // the party's datagrams so far
  Plain* partyTarget = nullptr;        // the ports Java signals for the party
  int sent = 0;
  int arrived = 0;
  int refused = 0;
  int lost = 0;
};

TEST_P(SRTPPartyTableTest, EveryDatagramOfThePartyDecryptsAtTheFarEnd) {
  const Row& row = GetParam();
  RTPex::SEND_BEHINDNAT = row.sendBehindNat;
  const char* partyIp = row.party == Party::kBehindNat    ? "127.0.0.3"
                        : row.party == Party::kMultihomed ? "127.0.0.5"
                                                          : "127.0.0.1";
  partySend.reset(new Plain(partyIp));
  partyTarget = partySend.get();
  if (row.party == Party::kOtherPort || row.party == Party::kBehindNat ||
      row.party == Party::kMultihomed) {
    // Ports of the party's own that it does not send from.
    otherPorts.reset(new Plain("127.0.0.1"));
    partyTarget = otherPorts.get();
  }
  Plain stranger(row.atParty ? partyIp : "127.0.0.2");
  ASSERT_TRUE(partySend->ok() && partyTarget->ok() && stranger.ok());
  ASSERT_TRUE(go.start(program));
  Options o;
  o.behindNat = row.learn;
  srtpSide = open("127.0.0.1", 401, o);
  plainSide = open("127.0.0.1", 402, o);
  ASSERT_TRUE(srtpSide != nullptr && plainSide != nullptr);
  go.key("recv", 0, srtptest::newSendKey(srtpSide, 0));
  std::string own = freshKey();
  srtptest::setRecvKey(plainSide, 0, own);
  go.key("send", 0, own);
  RTPex::startSrtp(srtpSide, plainSide);
  pair(srtpSide, plainSide);
  std::string loopback = "127.0.0.1";
  plainSide->setTarget(loopback, go.rtpPort, 0, row.learn);
  plainSide->rtcp.setTarget(loopback, row.mux ? go.rtpPort : go.rtcpPort, 0, row.learn);
  if (row.party != Party::kEarlyMedia) aimAtParty("127.0.0.1");

  for (int i = 0; i < row.strangers; i++) {
    uint32_t ssrc = kStrangerSsrc + static_cast<uint32_t>(i);
    handled(stranger.media, plainSide, plainSide->localPort, rtp(1, ssrc, 0));
    handled(stranger.control, &plainSide->rtcp, plainSide->localPort + 1, rtcp(ssrc, 1));
  }
  uint16_t seq = 1;
  if (row.party == Party::kEarlyMedia) {
    // Before the SRTP side has a target the party is no one's yet: these
    // are not counted.
    for (int i = 0; i < 3; i++) partyRtp(kPartySsrc, seq++);
    partyRtcp(kPartySsrc, 1);
    sent = arrived = refused = lost = 0;
    aimAtParty("127.0.0.1");
  }
  if (row.party == Party::kBehindNat) {
    // Learned from these, once the far end has sent: not counted.
    std::string first = rtp(seq++, kPartySsrc, 40);
    std::string firstRtcp = rtcp(kPartySsrc, 1);
    sentBefore.insert(first);
    sentBefore.insert(firstRtcp);
    handled(partySend->media, plainSide, plainSide->localPort, first);
    handled(partySend->control, &plainSide->rtcp, plainSide->localPort + 1, firstRtcp);
  }
  farSends(1);
  // The far end talks too, once the party has sent: a call's usual order.
  partyRtp(kPartySsrc, seq++);
  partyRtcp(kPartySsrc, 1);
  farSends(2);

  switch (row.party) {
    case Party::kHoldResume:
      for (const char* phase : {"before", "hold", "resume"}) {
        SCOPED_TRACE(phase);
        if (std::string(phase) == "hold") aimAtParty("0.0.0.0");
        if (std::string(phase) == "resume") {
          aimAtParty("127.0.0.1");
          farSends(3);
        }
        for (int i = 0; i < 6; i++) partyRtp(kPartySsrc, seq++);
        partyRtcp(kPartySsrc, seq);
      }
      break;
    case Party::kSsrcChanges:
      for (uint32_t k = 1; k < 10; k++) {
        for (int i = 0; i < 2; i++) partyRtp(kPartySsrc + k, seq++);
        partyRtcp(kPartySsrc + k, seq);
      }
      break;
    default:
      for (int i = 0; i < 20; i++) partyRtp(kPartySsrc, seq++);
      for (uint32_t i = 2; i <= 5; i++) partyRtcp(kPartySsrc, i);
      break;
  }
  EXPECT_EQ(sent, arrived) << "of the party's datagrams decrypted at the far end; refused: "
                           << refused << ", lost: " << lost;
}

INSTANTIATE_TEST_SUITE_P(Rows, SRTPPartyTableTest, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row>& info) {
                           return nameOf(info.param);
                         });

}  // namespace
