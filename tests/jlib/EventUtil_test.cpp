#include "EventUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "jlang.h"

namespace {

// Longer than the test time-out: a consumer that misses a wake-up fails the
// test instead of passing late.
const int kLongDelayMs = 600000;

int64_t now() { return JLangSystem::currentTimeMillis(); }

void* tag(long n) { return reinterpret_cast<void*>(n); }

void expectEvent(const EventObj& ev, int type, int64_t param, void* data) {
  EXPECT_EQ(type, ev.type);
  EXPECT_EQ(param, ev.param);
  EXPECT_EQ(data, ev.data);
}

}  // namespace

// ---- post, schedule and the counts -------------------------------------------

TEST(EventQueue, EmptyQueueInfo) {
  EventQueue q;
  EXPECT_EQ("q.size:0\nscdq.size:0\n", q.getQueueInfo());
  EXPECT_EQ(0, q.totalEventCount());
  EXPECT_FALSE(q.hasEvent());
  expectEvent(q.nextEvent(), 0, 0, nullptr);
}

TEST(EventQueue, PostedEventsComeOutFirstInFirstOut) {
  EventQueue q;
  q.post(7, 70L, tag(1));
  q.post(8, -1L, tag(2));
  q.post(9, INT64_MAX, UINT64_MAX);
  EXPECT_EQ("q.size:3\nscdq.size:0\n", q.getQueueInfo());
  EXPECT_EQ(3, q.totalEventCount());
  expectEvent(q.waitForEvent(), 7, 70, tag(1));
  expectEvent(q.waitForEvent(), 8, -1, tag(2));
  EventObj last = q.waitForEvent();
  EXPECT_EQ(9, last.type);
  EXPECT_EQ(INT64_MAX, last.param);
  EXPECT_EQ(UINT64_MAX, reinterpret_cast<uintptr_t>(last.data)) << "integer data is stored whole";
  EXPECT_EQ(0, q.totalEventCount());
}

TEST(EventQueue, ShortDelaysPostImmediately) {
  for (int delay : {19, 1, 0, -1, INT_MIN}) {
    SCOPED_TRACE(delay);
    EventQueue q;
    q.schedule(3, 30L, tag(3), delay);
    EXPECT_EQ("q.size:1\nscdq.size:0\n", q.getQueueInfo());
    expectEvent(q.waitForEvent(), 3, 30, tag(3));
  }
}

TEST(EventQueue, DelaysFromTwentyAreScheduledAtNowPlusDelay) {
  for (int delay : {20, 5000, INT_MAX}) {
    SCOPED_TRACE(delay);
    EventQueue q;
    int64_t before = now();
    q.schedule(4, 40L, tag(4), delay);
    int64_t after = now();
    std::string info = q.getQueueInfo();
    const std::string head = "q.size:0\nscdq.size:1\nnext schedule: ";
    ASSERT_EQ(head, info.substr(0, head.size()));
    int64_t due = std::stoll(info.substr(head.size()));
    EXPECT_EQ(info, head + std::to_string(due)) << "nothing after the due time";
    EXPECT_GE(due, before + delay);
    EXPECT_LE(due, after + delay);
    EXPECT_EQ(1, q.totalEventCount()) << "counts events not yet due";
  }
}

TEST(EventQueue, ScheduleKeepsDueOrderAndSchedulingOrderForEqualTimes) {
  // Delays far apart, so the order does not depend on the clock ticking
  // between the calls; nextEvent shows the list order without waiting.
  EventQueue q;
  q.schedule(1, 1L, nullptr, 30000);
  q.schedule(2, 2L, nullptr, 10000);
  q.schedule(3, 3L, nullptr, 20000);
  q.schedule(4, 4L, nullptr, 10000);  // due at or after event 2
  q.schedule(5, 5L, nullptr, 1000);   // earlier than all: goes to the front
  q.post(6, 6L, nullptr);
  EXPECT_EQ(6, q.totalEventCount());
  std::vector<int> order;
  while (q.hasEvent()) order.push_back(q.nextEvent().type);
  EXPECT_EQ((std::vector<int>{6, 5, 2, 4, 3, 1}), order);
}

TEST(EventQueue, EqualDelaysAreHandedOutInSchedulingOrder) {
  EventQueue q;
  for (long i = 0; i < 5; i++) q.schedule(1, i, nullptr, 20);
  for (long i = 0; i < 5; i++) EXPECT_EQ(i, q.waitForEvent().param);
}

TEST(EventQueue, MaxScheduledSizeRecordsTheLengthFoundBeforeAdding) {
  int before = EventQueue::maxScdQSize.load();
  EventQueue q;
  int n = before + 3;
  for (int i = 0; i < n; i++) q.schedule(1, i, nullptr, 60000);
  EXPECT_EQ(n - 1, EventQueue::maxScdQSize.load());
  EventQueue small;
  small.schedule(1, 0, nullptr, 60000);
  EXPECT_EQ(n - 1, EventQueue::maxScdQSize.load()) << "a shorter list never lowers it";
  q.schedule(1, 0, nullptr, 5);  // posted: not counted
  EXPECT_EQ(n - 1, EventQueue::maxScdQSize.load());
}

// ---- waitForEvent --------------------------------------------------------------

TEST(EventQueue, ImmediateEventGoesBeforeAnOverdueScheduledOne) {
  EventQueue q;
  q.schedule(1, 1L, nullptr, 20);
  JLangThread::sleep(40);
  q.post(2, 2L, nullptr);
  EXPECT_EQ(2, q.waitForEvent().type);
  EXPECT_EQ(1, q.waitForEvent().type);
  EXPECT_EQ(0, q.totalEventCount());
}

TEST(EventQueue, ScheduledEventIsHandedOutAtMostTenMsEarly) {
  for (int delay : {20, 150}) {
    SCOPED_TRACE(delay);
    EventQueue q;
    int64_t before = now();
    q.schedule(5, 50L, tag(5), delay);
    expectEvent(q.waitForEvent(), 5, 50, tag(5));
    EXPECT_GE(now(), before + delay - 10);
  }
}

TEST(EventQueue, ConsumerOnEmptyQueueWaitsUntilSomethingIsPosted) {
  EventQueue q;
  std::atomic<bool> returned(false);
  EventObj got{};
  std::thread consumer([&] {
    got = q.waitForEvent();
    returned = true;
  });
  JLangThread::sleep(100);
  EXPECT_FALSE(returned.load()) << "returned without an event";
  q.post(11, 110L, tag(11));
  consumer.join();
  expectEvent(got, 11, 110, tag(11));
}

TEST(EventQueue, WaitingConsumerWakesForAPostedEvent) {
  EventQueue q;
  q.schedule(1, 1L, nullptr, kLongDelayMs);
  EventObj got{};
  std::thread consumer([&] { got = q.waitForEvent(); });
  JLangThread::sleep(50);  // lets the consumer start its long wait
  q.post(2, 2L, tag(2));
  consumer.join();
  expectEvent(got, 2, 2, tag(2));
  EXPECT_EQ(1, q.totalEventCount());
}

TEST(EventQueue, WaitingConsumerRecomputesItsWaitForAnEarlierSchedule) {
  EventQueue q;
  q.schedule(1, 1L, nullptr, kLongDelayMs);
  EventObj got{};
  std::thread consumer([&] { got = q.waitForEvent(); });
  JLangThread::sleep(50);
  int64_t before = now();
  q.schedule(2, 2L, tag(2), 100);
  consumer.join();
  EXPECT_GE(now(), before + 90);
  expectEvent(got, 2, 2, tag(2));
  EXPECT_EQ(1, q.totalEventCount());
}

// ---- threads -------------------------------------------------------------------

TEST(EventQueue, ProducersAndConsumerHandOverEveryEventOnceInOrder) {
  const int kProducers = 4;
  const int kPerProducer = 2000;
  EventQueue q;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; p++) {
    producers.emplace_back([&q, p] {
      for (long i = 0; i < kPerProducer; i++) q.post(p, i, tag(p + 1));
    });
  }
  std::vector<long> next(kProducers, 0);
  int wrong = 0;
  for (int n = 0; n < kProducers * kPerProducer; n++) {
    EventObj ev = q.waitForEvent();
    if (ev.type < 0 || ev.type >= kProducers || ev.data != tag(ev.type + 1) ||
        ev.param != next[ev.type]) {
      wrong++;
      continue;
    }
    next[ev.type]++;
  }
  for (std::thread& t : producers) t.join();
  EXPECT_EQ(0, wrong);
  for (int p = 0; p < kProducers; p++) EXPECT_EQ(kPerProducer, next[p]);
  EXPECT_EQ(0, q.totalEventCount());
}

TEST(EventQueue, ScheduledEventsFromAnotherThreadComeOutInDueOrder) {
  // Delays 300 ms or more apart: a producer stall shorter than that keeps the order.
  const int delays[] = {1900, 400, 1600, 700, 700, 1000};
  const int expected[] = {1, 3, 4, 5, 2, 0};
  EventQueue q;
  std::vector<int64_t> earliest(6);
  std::thread producer([&] {
    for (int i = 0; i < 6; i++) {
      earliest[i] = now() + delays[i] - 10;
      q.schedule(i, i, nullptr, delays[i]);
      if (i == 2) q.post(99, 99, nullptr);
    }
  });
  EXPECT_EQ(99, q.waitForEvent().type) << "the immediate event comes first";
  std::vector<int> order;
  std::vector<int64_t> handedOut;
  for (int i = 0; i < 6; i++) {
    order.push_back(q.waitForEvent().type);
    handedOut.push_back(now());
  }
  producer.join();
  EXPECT_EQ(std::vector<int>(expected, expected + 6), order);
  for (int i = 0; i < 6; i++) {
    int type = order[i];
    if (type >= 0 && type < 6) {
      EXPECT_GE(handedOut[i], earliest[type]) << "event " << type;
    }
  }
}
