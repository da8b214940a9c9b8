// A receive-buffer size request that cannot be allocated. In this program
// every array allocation from kRefused bytes up fails, as it does on a host
// without that much memory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "SRTPtest.h"
#include "pathtest.h"

namespace {

const std::size_t kRefused = std::size_t(1) << 30;

}  // namespace

void* operator new[](std::size_t n) {
  if (n >= kRefused) throw std::bad_alloc();
  void* p = std::malloc(n != 0 ? n : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void operator delete[](void* p) noexcept { std::free(p); }

void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

using pathtest::FarEnd;
using pathtest::PathTest;

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
