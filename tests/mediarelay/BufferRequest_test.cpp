// Receive buffers that cannot be allocated: a first size, a size request.
// In this program every array allocation from kRefused bytes up fails, as
// it does on a host without that much memory, and so does one of exactly
// refusedExactly bytes while a test sets it.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "SRTPtest.h"
#include "pathtest.h"

namespace {

const std::size_t kRefused = std::size_t(1) << 30;
std::atomic<std::size_t> refusedExactly{0};

// Refuses arrays of exactly n bytes for the length of a scope.
class RefuseExactly {
 public:
  explicit RefuseExactly(std::size_t n) { refusedExactly = n; }
  ~RefuseExactly() { refusedExactly = 0; }
};

}  // namespace

void* operator new[](std::size_t n) {
  std::size_t exactly = refusedExactly.load();
  if (n >= kRefused || (exactly != 0 && n == exactly)) throw std::bad_alloc();
  void* p = std::malloc(n != 0 ? n : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void operator delete[](void* p) noexcept { std::free(p); }

void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

using pathtest::FarEnd;
using pathtest::PathTest;

using relaytest::logSince;
using srtptest::count;

// DTLS datagrams ask both legs for a buffer that cannot be had: each leg
// tries it once at its next receive (one exception record), keeps the
// buffer it has and goes on relaying; later requests of that size, at
// whatever rate anyone sends DTLS, are not tried again.
TEST_F(PathTest, UnallocatableSizeRequestIsTriedOnce) {
  RTPex::PACKET_SIZE_DTLS = 2000000000;
  FarEnd a1("127.0.0.1"), b1("127.0.0.1"), toA("127.0.0.1"), toB("127.0.0.1");
  pathtest::Options o;
  o.rtpBuf = 512;
  ASSERT_TRUE(openPair("127.0.0.1", 1201, toA, o, o));
  target(b, toB);
  size_t mark = relaytest::logText().size();

  std::string got;
  ASSERT_TRUE(a1.sendTo(a->localPort, pathtest::dtls("hello")));
  ASSERT_TRUE(toA.receive(&got));
  EXPECT_EQ(pathtest::dtls("hello"), got);
  EXPECT_EQ(2000000000, a->requestedBufSize.load());
  EXPECT_EQ(2000000000, b->requestedBufSize.load());

  const int kRounds = 20;
  for (int i = 0; i < kRounds; i++) {
    std::string n = std::to_string(i);
    ASSERT_TRUE(a1.sendTo(a->localPort, pathtest::dtls("again-" + n)));
    ASSERT_TRUE(toA.receive(&got));
    EXPECT_EQ(pathtest::dtls("again-" + n), got);
    ASSERT_TRUE(a1.sendTo(a->localPort, pathtest::rtp("a-" + n)));
    ASSERT_TRUE(toA.receive(&got));
    EXPECT_EQ(pathtest::rtp("a-" + n), got);
    ASSERT_TRUE(b1.sendTo(b->localPort, pathtest::rtp("b-" + n)));
    ASSERT_TRUE(toB.receive(&got));
    EXPECT_EQ(pathtest::rtp("b-" + n), got);
  }
  for (RTPex* ep : {a, b}) {
    EXPECT_EQ(512, ep->recvBufSize.load());
    EXPECT_EQ(0, ep->requestedBufSize.load());
  }
  std::string log = relaytest::logSince(mark);
  EXPECT_EQ(2u, srtptest::count(log, "Exception. RTPex::received()")) << log.substr(0, 2000);
  ASSERT_TRUE(worker->flush());
  EXPECT_EQ(0u, worker->count(1201, RTPex::EV_BUFFER_SIZE));
  EXPECT_EQ(0u, worker->count(1202, RTPex::EV_BUFFER_SIZE));
}

// A first size that cannot be allocated: each leg says so once, takes the
// default size and reads every datagram, the first included, instead of
// leaving it unread to be polled again and again.
TEST_F(PathTest, UnallocatableFirstSizeFallsBackToTheDefault) {
  FarEnd a1("127.0.0.1"), out("127.0.0.1");
  pathtest::Options o;
  o.rtpBuf = INT_MAX;
  o.rtcpBuf = INT_MAX;
  ASSERT_TRUE(openPair("127.0.0.1", 1211, out, o, o));
  size_t mark = relaytest::logText().size();

  for (int i = 0; i < 10; i++) {
    std::string n = std::to_string(i);
    std::string got;
    ASSERT_TRUE(a1.sendTo(a->localPort, pathtest::rtp("rtp-" + n)));
    ASSERT_TRUE(out.receive(&got));
    EXPECT_EQ(pathtest::rtp("rtp-" + n), got);
    ASSERT_TRUE(a1.sendTo(a->localPort + 1, pathtest::rtcpSr("rtcp-" + n)));
    ASSERT_TRUE(out.receive(&got));
    EXPECT_EQ(pathtest::rtcpSr("rtcp-" + n), got);
  }
  EXPECT_EQ(10, a->cntPacket.load());
  EXPECT_EQ(10, a->rtcp.cntPacket.load());
  EXPECT_EQ(1500, a->recvBufSize.load());
  EXPECT_EQ(1500, a->rtcp.recvBufSize.load());
  std::string log = logSince(mark);
  EXPECT_EQ(1u, count(log, "Exception. RTPex::received()")) << log.substr(0, 2000);
  EXPECT_EQ(1u, count(log, "Exception. RTCPex::received()")) << log.substr(0, 2000);
}

// Not even the default size can be had: each datagram is read and dropped
// (one record per leg), and once memory is back the leg takes the default
// size and relays what comes next.
TEST_F(PathTest, NoBufferAtAllDropsEachDatagramOnce) {
  FarEnd a1("127.0.0.1"), out("127.0.0.1");
  pathtest::Options o;
  o.rtpBuf = INT_MAX;
  o.rtcpBuf = INT_MAX;
  ASSERT_TRUE(openPair("127.0.0.1", 1231, out, o, o));
  size_t mark = relaytest::logText().size();
  {
    RefuseExactly noDefault(1500);
    for (int i = 0; i < 5; i++) {
      std::string n = std::to_string(i);
      ASSERT_TRUE(a1.sendTo(a->localPort, pathtest::rtp("lost-" + n)));
      ASSERT_TRUE(a1.sendTo(a->localPort + 1, pathtest::rtcpSr("lost-" + n)));
    }
    // Each leg has refused its first size; every datagram has been read,
    // or the socket would still be readable.
    EXPECT_TRUE(relaytest::waitUntil([&] {
      std::string log = logSince(mark);
      return count(log, "Exception. RTPex::received()") == 1 &&
             count(log, "Exception. RTCPex::received()") == 1;
    }, pathtest::kWaitMs));
    for (RTex* leg : {static_cast<RTex*>(a), static_cast<RTex*>(&a->rtcp)}) {
      EXPECT_TRUE(relaytest::waitUntil([&] {
        pollfd p{leg->udpReceiver.getDesc(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 0;
      }, pathtest::kWaitMs));
    }
  }
  for (int port : {a->localPort, a->localPort + 1}) {
    std::string marker = port == a->localPort ? pathtest::rtp("next") : pathtest::rtcpSr("next");
    std::string got;
    ASSERT_TRUE(a1.sendTo(port, marker));
    ASSERT_TRUE(out.receive(&got));
    EXPECT_EQ(marker, got) << "a datagram of the refused time was relayed";
  }
  EXPECT_EQ(1, a->cntPacket.load());
  EXPECT_EQ(1, a->rtcp.cntPacket.load());
  EXPECT_EQ(1500, a->recvBufSize.load());
  EXPECT_EQ(1500, a->rtcp.recvBufSize.load());
  std::string log = logSince(mark);
  EXPECT_EQ(1u, count(log, "Exception. RTPex::received()")) << log.substr(0, 2000);
  EXPECT_EQ(1u, count(log, "Exception. RTCPex::received()")) << log.substr(0, 2000);
}

// Reuse, on its own thread, while DTLS datagrams keep asking A for a size
// it cannot have: the refusal is cleared for each new session, so the size
// is tried at most once per session, and A keeps its buffer.
TEST_F(PathTest, ReuseBesideRefusedSizeRequests) {
  RTPex::PACKET_SIZE_DTLS = 2000000000;
  FarEnd a1("127.0.0.1"), toA("127.0.0.1");
  pathtest::Options o;
  o.rtpBuf = 512;
  ASSERT_TRUE(openPair("127.0.0.1", 1221, toA, o, o));
  const RTPexSession next{1221, 0, 0, 0, "host", 512, 512, false, false, "127.0.0.1", 0};
  size_t mark = relaytest::logText().size();

  std::atomic<bool> stop{false};
  std::atomic<int> reuses{0};
  std::thread reuser([&] {
    for (int i = 0; i < 100000 && !stop.load(); i++) {
      a->reinit(next);
      reuses++;
      JLangThread::sleep(1);
    }
  });
  for (int i = 0; i < 300; i++) {
    ASSERT_TRUE(a1.sendTo(a->localPort, pathtest::dtls("d" + std::to_string(i))));
    if (i % 10 == 0) JLangThread::sleep(1);
  }
  // The last datagram has been read once A's socket is empty again.
  EXPECT_TRUE(relaytest::waitUntil([&] {
    pollfd p{a->udpReceiver.getDesc(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
  }, pathtest::kWaitMs));
  stop = true;
  reuser.join();
  size_t records = count(logSince(mark), "Exception. RTPex::received()");
  EXPECT_GE(records, 1u);
  EXPECT_LE(records, static_cast<size_t>(reuses.load()) + 1);
  EXPECT_EQ(512, a->recvBufSize.load());

  // One more session, quietly: its first request is refused once, and
  // later ones are not tried.
  a->reinit(next);
  mark = relaytest::logText().size();
  for (int i = 1; i <= 3; i++) {
    ASSERT_TRUE(a1.sendTo(a->localPort, pathtest::dtls("q" + std::to_string(i))));
    ASSERT_TRUE(counted(a, i));
  }
  EXPECT_EQ(1u, count(logSince(mark), "Exception. RTPex::received()"));
  EXPECT_EQ(512, a->recvBufSize.load());
}
