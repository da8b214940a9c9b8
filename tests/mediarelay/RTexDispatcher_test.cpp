// Receive threads with real loopback sockets: placement, polling, sweeps,
// adoption of changed runner lists and the pause after a failing leg.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "relaytest.h"

namespace {

using relaytest::ProbeLeg;

class RTexDispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override { relaytest::setUpEngine(); }
};

}  // namespace

TEST_F(RTexDispatcherTest, NameAndThreadFactory) {
  std::unique_ptr<RTexDispatcher> d(relaytest::dispatcherWith(64));
  EXPECT_STREQ("RTPreceiverDispatcher", d->getDispacherName());
  EXPECT_EQ("<RTPreceiverDispatcher> thread count:0;\r\n\r\n", d->getInfo(""));
  std::unique_ptr<DispatchThread<RTex>> t(d->newDispatchThread());
  ASSERT_NE(nullptr, dynamic_cast<RTexDispatchThread*>(t.get()));
  EXPECT_EQ(1, t->id.load());
  EXPECT_EQ(0, t->getRunnerCount());
}

// Sockets per thread: the configured bound, one thread per socket for 0 or
// less, and never more than a selector holds.
TEST_F(RTexDispatcherTest, RunnersPerThread) {
  struct Case {
    int bound;
    int legs;
    const char* info;
  } cases[] = {
      {1, 3, "thread count:3;\r\n1,1,1\r\n"},
      {0, 2, "thread count:2;\r\n1,1\r\n"},
      {-5, 2, "thread count:2;\r\n1,1\r\n"},
      {2, 5, "thread count:3;\r\n2,2,1\r\n"},
      {100, 65, "thread count:2;\r\n64,1\r\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::unique_ptr<ProbeLeg>> legs;
    for (int i = 0; i < c.legs; i++) legs.emplace_back(new ProbeLeg());
    std::unique_ptr<RTexDispatcher> d(relaytest::dispatcherWith(c.bound));
    for (auto& leg : legs) EXPECT_EQ(1, d->addRunner(leg.get())) << c.bound;
    EXPECT_EQ(std::string("<RTPreceiverDispatcher> ") + c.info, d->getInfo("")) << c.bound;
  }
}

// Endpoints add their RTP leg, then their RTCP leg: with 3 per thread the
// second endpoint is split over two threads.
TEST_F(RTexDispatcherTest, EndpointLegsPlacement) {
  int b = relaytest::laneBase(10);
  ASSERT_NE(0, b);
  relaytest::ScopedDispatcher scoped(relaytest::dispatcherWith(3));
  int64_t id1 = relaytest::openOn("127.0.0.1", b, b + 50, 1);
  int64_t id2 = relaytest::openOn("127.0.0.1", b, b + 50, 2);
  ASSERT_NE(0, id1);
  ASSERT_NE(0, id2);
  {
    RTPexPin e1 = RTPexPin::find(id1);
    RTPexPin e2 = RTPexPin::find(id2);
    ASSERT_TRUE(e1 && e2);
    EXPECT_NE(nullptr, e1->thrd);
    EXPECT_EQ(e1->thrd, e1->rtcp.thrd);
    EXPECT_EQ(e1->thrd, e2->thrd);
    EXPECT_NE(nullptr, e2->rtcp.thrd);
    EXPECT_NE(e1->thrd, e2->rtcp.thrd);
    EXPECT_EQ("<RTPreceiverDispatcher> thread count:2;\r\n3,1\r\n", RTex::dispatcher->getInfo(""));
  }
  relaytest::GcWorker gc;
  EXPECT_EQ(1, RTPex::closeAndDelete(id1));
  EXPECT_EQ(1, RTPex::closeAndDelete(id2));
  EXPECT_TRUE(relaytest::waitUntil([&] { return relaytest::rangeFree("127.0.0.1", b, b + 3); }));
}

// A readable leg is marked active for every sweep; a silent one gets
// unreceived once per sweep, more than 200 ms apart.
TEST_F(RTexDispatcherTest, PollingAndSweeps) {
  ProbeLeg busy(false);  // never drained: readable in every pass
  ProbeLeg silent;
  std::unique_ptr<RTexDispatcher> d(relaytest::dispatcherWith(64));
  ASSERT_TRUE(busy.poke());
  ASSERT_EQ(1, d->addRunner(&busy));
  ASSERT_EQ(1, d->addRunner(&silent));
  EXPECT_EQ(busy.thrd, silent.thrd);
  ASSERT_TRUE(relaytest::waitUntil([&] { return silent.unrecvCount() >= 4; }));
  std::vector<int64_t> sweeps = silent.unrecvTimes();
  for (size_t i = 1; i < sweeps.size(); i++) EXPECT_GT(sweeps[i] - sweeps[i - 1], 200);
  ASSERT_GE(busy.recvCount(), 1u);
  int64_t firstRecv = busy.recvTimes()[0];
  for (int64_t t : busy.unrecvTimes()) EXPECT_LT(t, firstRecv);
  EXPECT_EQ(0u, silent.recvCount());
}

// A removed leg stays in use until its thread begins a new pass; an idle
// thread takes the next leg again.
TEST_F(RTexDispatcherTest, RemovedLegBecomesSafeAfterNextPass) {
  ProbeLeg gate;
  ProbeLeg removed;
  ProbeLeg later;
  std::unique_ptr<RTexDispatcher> d(relaytest::dispatcherWith(64));
  ASSERT_EQ(1, d->addRunner(&gate));
  ASSERT_EQ(1, d->addRunner(&removed));
  gate.hold = true;
  ASSERT_TRUE(gate.poke());
  ASSERT_TRUE(relaytest::waitUntil([&] { return gate.inside.load(); }));

  d->removeRunner(&removed);
  EXPECT_EQ(removed.thrd->id.load(), removed.removeRequestTID);
  EXPECT_FALSE(removed.isSafeToDelete());
  gate.hold = false;
  ASSERT_TRUE(relaytest::waitUntil([&] { return removed.isSafeToDelete(); }));
  size_t calls = removed.recvCount() + removed.unrecvCount();
  JLangThread::sleep(600);  // several sweeps
  EXPECT_EQ(calls, removed.recvCount() + removed.unrecvCount());

  // All legs gone: the thread adopts the empty list and waits for work.
  d->removeRunner(&gate);
  ASSERT_TRUE(relaytest::waitUntil([&] { return gate.isSafeToDelete(); }));
  ASSERT_TRUE(later.poke());
  ASSERT_EQ(1, d->addRunner(&later));
  EXPECT_EQ(gate.thrd, later.thrd);
  EXPECT_TRUE(relaytest::waitUntil([&] { return later.recvCount() >= 1; }));
  EXPECT_EQ("<RTPreceiverDispatcher> thread count:1;\r\n1\r\n", d->getInfo(""));
}

// A leg that throws is logged, the rest of the pass is skipped, and after
// a pause of 80 ms the thread serves every leg again.
TEST_F(RTexDispatcherTest, FailingLegIsLoggedAndThreadGoesOn) {
  ProbeLeg thrower;
  ProbeLeg other;
  thrower.throwOnce = true;
  ASSERT_TRUE(thrower.poke());
  ASSERT_TRUE(other.poke());
  size_t mark = relaytest::logText().size();
  std::unique_ptr<RTexDispatcher> d(relaytest::dispatcherWith(64));
  ASSERT_EQ(1, d->addRunner(&thrower));
  ASSERT_EQ(1, d->addRunner(&other));
  ASSERT_TRUE(relaytest::waitUntil([&] { return other.recvCount() >= 1; }));
  ASSERT_EQ(1u, thrower.recvCount());
  EXPECT_GE(other.recvTimes()[0] - thrower.recvTimes()[0], 79);
  std::string log = relaytest::logSince(mark);
  EXPECT_NE(std::string::npos, log.find("Exception. RTexDispatchThread::run()\r\n--- RTPex.cpp("))
      << log;

  ASSERT_TRUE(thrower.poke());
  EXPECT_TRUE(relaytest::waitUntil([&] { return thrower.recvCount() >= 2; }));
  EXPECT_EQ(std::string::npos, relaytest::logSince(mark).find("run() 2"));
}
