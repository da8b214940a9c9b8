#include "ThreadDispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testutil.h"

namespace {

using testutil::waitUntil;

// Longer than the test time-out: a thread that misses a wake-up fails the
// test instead of passing late.
const int kLongIdleMs = 600000;

struct TestRunner : Runner {
  std::atomic<int> served{0};
  int lastPass = 0;  // plain on purpose: read by the owner only once safe
};

// Serves its runners by counting. Stepped, it runs one pass per permit, so a
// test decides exactly when the thread adopts.
class TestThread : public DispatchThread<TestRunner> {
 public:
  TestThread(bool stepped, int idleMs, bool failStart)
      : stepped_(stepped), idleMs_(idleMs), failStart_(failStart) {}
  ~TestThread() override { join(); }

  int start() override { return failStart_ ? EAGAIN : DispatchThread<TestRunner>::start(); }

  void run() override {
    while (stopFlag.load() == 0) {
      if (stepped_ && !takePermit()) break;
      if (adoptRunners()) adoptions++;
      if (countInUse == 0) {
        waitForWork(idleMs_);
      } else {
        for (int i = 0; i < countInUse; i++) {
          runnersInUse[i]->lastPass = passes.load() + 1;
          runnersInUse[i]->served++;
        }
      }
      passDone();
      if (!stepped_) JLangThread::sleep(1);
    }
  }

  // Lets the stepped thread run n passes and waits until they are done.
  bool runPasses(int n) {
    std::unique_lock<std::mutex> lk(m_);
    permits_ += n;
    granted_ += n;
    cv_.notify_all();
    return cv_.wait_for(lk, std::chrono::seconds(30), [this] { return done_ == granted_; });
  }

  std::atomic<int> passes{0};
  std::atomic<int> adoptions{0};

 private:
  bool takePermit() {
    std::unique_lock<std::mutex> lk(m_);
    while (permits_ == 0) {
      if (stopFlag.load() != 0) return false;
      cv_.wait_for(lk, std::chrono::milliseconds(5));
    }
    permits_--;
    return true;
  }

  void passDone() {
    std::lock_guard<std::mutex> lk(m_);
    passes++;
    done_++;
    cv_.notify_all();
  }

  const bool stepped_;
  const int idleMs_;
  const bool failStart_;
  std::mutex m_;
  std::condition_variable cv_;
  int permits_ = 0;
  int granted_ = 0;
  int done_ = 0;
};

class TestDispatcher : public ThreadDispatcher<TestRunner> {
 public:
  explicit TestDispatcher(int maxRunnerInThread, bool stepped = true, int idleMs = 1)
      : ThreadDispatcher<TestRunner>(maxRunnerInThread), stepped_(stepped), idleMs_(idleMs) {}

  const char* getDispacherName() override { return "TestDispatcher"; }

  DispatchThread<TestRunner>* newDispatchThread() override {
    if (noThreads) return nullptr;
    bool fail = failStarts > 0;
    if (fail) failStarts--;
    return new TestThread(stepped_, idleMs_, fail);
  }

  TestThread* thread(size_t i) {
    Synchronized hold(&wo);
    return static_cast<TestThread*>(threads.at(i));
  }
  void limitThreads(int n) { maxThreads = n; }

  // The runner counts line of getInfo, without its line end.
  std::string counts() {
    std::string info = getInfo("");
    size_t from = info.find(";\r\n") + 3;
    return info.substr(from, info.size() - from - 2);
  }

  bool noThreads = false;
  int failStarts = 0;

 private:
  const bool stepped_;
  const int idleMs_;
};

// A thread that stays in run() until its gate opens, stop request or not.
class GateThread : public DispatchThread<TestRunner> {
 public:
  explicit GateThread(const std::atomic<bool>* gate) : gate_(gate) {}
  ~GateThread() override { join(); }
  void run() override {
    while (!gate_->load()) JLangThread::sleep(1);
  }

 private:
  const std::atomic<bool>* gate_;
};

// Opens the gate before its teardown joins, so that a failed test ends.
class GateDispatcher : public ThreadDispatcher<TestRunner> {
 public:
  explicit GateDispatcher(std::atomic<bool>* gate) : ThreadDispatcher<TestRunner>(1), gate_(gate) {}
  ~GateDispatcher() override { *gate_ = true; }
  DispatchThread<TestRunner>* newDispatchThread() override { return new GateThread(gate_); }

 private:
  std::atomic<bool>* gate_;
};

// Bound of the waits for the threads' progress.
const int kWaitMs = 30000;

}  // namespace

// ---- placement -----------------------------------------------------------------

TEST(ThreadDispatcher, InitialState) {
  TestRunner r;
  EXPECT_EQ(nullptr, r.thrd);
  EXPECT_EQ(0, r.dispatched);
  EXPECT_EQ(0, r.removeRequestTID);
  EXPECT_TRUE(r.isSafeToDelete()) << "a runner never placed";
  TestThread t(true, 1, false);
  EXPECT_EQ(1, t.id.load());
  EXPECT_EQ(0, t.stopFlag.load());
  EXPECT_EQ(0, t.getRunnerCount());
  EXPECT_EQ(1000, DispatchThreadBase::THREAD_PRIORITY);
  EXPECT_EQ(DispatchThreadBase::THREAD_PRIORITY, t.getPriority());
}

TEST(ThreadDispatcher, FirstFitInCreationOrder) {
  struct Case {
    int maxRunnerInThread;
    int adds;
    const char* counts;
  };
  const Case cases[] = {
      {2, 5, "2,2,1"}, {1, 3, "1,1,1"}, {0, 3, "1,1,1"}, {-1, 2, "1,1"}, {64, 3, "3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.maxRunnerInThread);
    std::vector<TestRunner> runners(c.adds);
    TestDispatcher d(c.maxRunnerInThread);
    for (int i = 0; i < c.adds; i++) {
      ASSERT_EQ(1, d.addRunner(&runners[i]));
      EXPECT_EQ(1, runners[i].dispatched);
    }
    EXPECT_EQ(c.counts, d.counts());
    for (int i = 0; i < c.adds; i++) {
      size_t expected = c.maxRunnerInThread > 0 ? i / c.maxRunnerInThread : i;
      EXPECT_EQ(d.thread(expected), runners[i].thrd) << "runner " << i;
    }
  }
}

TEST(ThreadDispatcher, FreedPlaceInAnEarlierThreadIsFilledFirst) {
  std::vector<TestRunner> runners(7);
  TestDispatcher d(2);
  for (int i = 0; i < 5; i++) ASSERT_EQ(1, d.addRunner(&runners[i]));
  d.removeRunner(&runners[0]);
  EXPECT_EQ("1,2,1", d.counts());
  EXPECT_EQ(d.thread(0), runners[0].thrd) << "thrd stays set after removal";
  EXPECT_EQ(0, runners[0].dispatched);
  ASSERT_EQ(1, d.addRunner(&runners[5]));
  EXPECT_EQ(d.thread(0), runners[5].thrd);
  ASSERT_EQ(1, d.addRunner(&runners[6]));
  EXPECT_EQ(d.thread(2), runners[6].thrd);
  EXPECT_EQ("2,2,2", d.counts());
}

TEST(ThreadDispatcher, RunnerIsPlacedOnlyOnce) {
  TestRunner r;
  TestDispatcher d(4);
  ASSERT_EQ(1, d.addRunner(&r));
  EXPECT_EQ(0, d.addRunner(&r)) << "added twice";
  EXPECT_EQ("1", d.counts());
  d.removeRunner(&r);
  EXPECT_EQ(0, d.addRunner(&r)) << "added again after removal";
  EXPECT_EQ("0", d.counts());
  EXPECT_EQ(0, r.dispatched);
}

TEST(ThreadDispatcher, RemovingAnUnknownOrRemovedRunnerChangesNothing) {
  TestRunner a, b, never;
  TestDispatcher d(4);
  ASSERT_EQ(1, d.addRunner(&a));
  ASSERT_EQ(1, d.addRunner(&b));
  d.removeRunner(&never);
  EXPECT_EQ("2", d.counts());
  EXPECT_EQ(0, never.dispatched);
  d.removeRunner(&a);
  int tid = a.removeRequestTID;
  d.removeRunner(&a);
  EXPECT_EQ("1", d.counts()) << "the second removal took another runner";
  EXPECT_EQ(tid, a.removeRequestTID);

  TestThread* t = d.thread(0);
  EXPECT_EQ(0, t->removeRunner(&a)) << "not in the published array";
  EXPECT_EQ(0, t->removeRunner(&never)) << "never placed";
  EXPECT_EQ(1, t->removeRunner(&b));
  EXPECT_EQ(0, t->removeRunner(&b)) << "no runners left";
  EXPECT_EQ("0", d.counts());
}

TEST(ThreadDispatcher, NoThreadToBeHad) {
  struct Case {
    const char* name;
    int maxThreads;  // -1: none set
    bool noThreads;
    const char* counts;
  };
  const Case cases[] = {
      {"limit reached", 1, false, "1"},
      {"limit zero", 0, false, ""},
      {"factory gives none", -1, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestRunner first, r;
    TestDispatcher d(1);
    if (c.maxThreads == 1) {
      ASSERT_EQ(1, d.addRunner(&first));
    }
    d.limitThreads(c.maxThreads);
    d.noThreads = c.noThreads;
    EXPECT_EQ(0, d.addRunner(&r));
    EXPECT_EQ(1, r.dispatched) << "accepted though not placed";
    EXPECT_EQ(nullptr, r.thrd);
    EXPECT_EQ(c.counts, d.counts());
    d.removeRunner(&r);
    EXPECT_EQ(0, r.dispatched);
    EXPECT_EQ(c.counts, d.counts());
    EXPECT_TRUE(r.isSafeToDelete());
  }
}

TEST(ThreadDispatcher, BareTemplateMakesNoThread) {
  TestRunner r;
  ThreadDispatcher<TestRunner> d(4);
  EXPECT_EQ("<ThreadDispatcher> thread count:0;\r\n\r\n", d.getInfo("ignored"));
  EXPECT_EQ(0, d.addRunner(&r));
  EXPECT_EQ(1, r.dispatched);
  EXPECT_EQ("<ThreadDispatcher> thread count:0;\r\n\r\n", d.getInfo(""));
}

TEST(ThreadDispatcher, InfoListsRunnerCountsAndStoppedThreads) {
  std::vector<TestRunner> runners(4);
  TestDispatcher d(3);
  for (TestRunner& r : runners) ASSERT_EQ(1, d.addRunner(&r));
  EXPECT_EQ("<TestDispatcher> thread count:2;\r\n3,1\r\n", d.getInfo(""));
  d.removeRunner(&runners[3]);
  d.thread(0)->stopFlag = 1;
  EXPECT_EQ("<TestDispatcher> thread count:2;\r\n3(f),0\r\n", d.getInfo(""));
}

TEST(ThreadDispatcher, ThreadThatCannotStartKeepsNoRunner) {
  testutil::TempDir dir;
  InitTrace(dir.file("proxy.log"));
  TestRunner r, other;
  TestDispatcher d(4);
  d.failStarts = 1;
  EXPECT_EQ(0, d.addRunner(&r));
  EXPECT_EQ(nullptr, r.thrd);
  EXPECT_TRUE(r.isSafeToDelete());
  EXPECT_EQ("<TestDispatcher> thread count:0;\r\n\r\n", d.getInfo(""));
  EXPECT_EQ("TestDispatcher thread start failed: " + std::to_string(EAGAIN) + "\n",
            testutil::readFile(dir.file("proxy.log")));
  // A later add makes a thread that starts, and it serves.
  ASSERT_EQ(1, d.addRunner(&other));
  ASSERT_EQ(1, d.addRunner(&r));
  EXPECT_EQ("2", d.counts());
  ASSERT_TRUE(d.thread(0)->runPasses(1));
  EXPECT_EQ(1, r.served.load());
  EXPECT_EQ(1, other.served.load());
  InitTrace("");
}

// ---- adoption and the safe-delete condition ------------------------------------

TEST(ThreadDispatcher, RemovedRunnerIsSafeOnlyAfterTheThreadsNextPass) {
  TestRunner r;
  TestDispatcher d(4);
  ASSERT_EQ(1, d.addRunner(&r));
  TestThread* t = d.thread(0);
  ASSERT_TRUE(t->runPasses(1));
  EXPECT_EQ(2, t->id.load());
  EXPECT_EQ(1, r.served.load());

  d.removeRunner(&r);
  EXPECT_EQ(2, r.removeRequestTID);
  EXPECT_EQ(t->id.load(), r.removeRequestTID);
  EXPECT_FALSE(r.isSafeToDelete());
  ASSERT_TRUE(t->runPasses(1));
  EXPECT_EQ(3, t->id.load());
  EXPECT_TRUE(r.isSafeToDelete());
  EXPECT_EQ(1, r.served.load()) << "served after its removal was adopted";
  EXPECT_EQ(2, t->adoptions.load());
}

TEST(ThreadDispatcher, SeveralPublicationsAreAdoptedAsOne) {
  TestRunner a, b, c;
  TestDispatcher d(4);
  ASSERT_EQ(1, d.addRunner(&a));
  TestThread* t = d.thread(0);
  ASSERT_EQ(1, d.addRunner(&b));
  d.removeRunner(&a);
  ASSERT_EQ(1, d.addRunner(&c));
  EXPECT_EQ(1, a.removeRequestTID);
  EXPECT_FALSE(a.isSafeToDelete());
  ASSERT_TRUE(t->runPasses(1));
  EXPECT_EQ(2, t->id.load()) << "one adoption for three publications";
  EXPECT_TRUE(a.isSafeToDelete());
  EXPECT_EQ(0, a.served.load());
  EXPECT_EQ(1, b.served.load());
  EXPECT_EQ(1, c.served.load());
  ASSERT_TRUE(t->runPasses(2));
  EXPECT_EQ(2, t->id.load()) << "no publication, no adoption";
  EXPECT_EQ(3, b.served.load());
}

TEST(ThreadDispatcher, EmptiedThreadWaitsAndTakesTheNextRunner) {
  TestRunner a, b, c, next;
  TestDispatcher d(2, false, kLongIdleMs);
  ASSERT_EQ(1, d.addRunner(&a));
  ASSERT_EQ(1, d.addRunner(&b));
  ASSERT_EQ(1, d.addRunner(&c));
  ASSERT_TRUE(waitUntil([&] { return a.served > 0 && c.served > 0; }, kWaitMs));
  d.removeRunner(&a);
  d.removeRunner(&b);
  ASSERT_TRUE(waitUntil([&] { return a.isSafeToDelete() && b.isSafeToDelete(); }, kWaitMs));
  EXPECT_EQ("0,1", d.counts());
  // The first thread now waits for work far longer than the test may run.
  ASSERT_EQ(1, d.addRunner(&next));
  EXPECT_EQ(d.thread(0), next.thrd);
  EXPECT_TRUE(waitUntil([&] { return next.served > 0; }, kWaitMs))
      << "the add did not wake the thread";
}

TEST(ThreadDispatcher, TeardownStopsIdleAndBusyThreads) {
  TestRunner idle, busy;
  auto d = std::make_unique<TestDispatcher>(1, false, kLongIdleMs);
  ASSERT_EQ(1, d->addRunner(&idle));
  ASSERT_EQ(1, d->addRunner(&busy));
  d->removeRunner(&idle);
  ASSERT_TRUE(waitUntil([&] { return idle.isSafeToDelete() && busy.served > 0; }, kWaitMs));
  // The first thread waits for work far longer than the test may run: only
  // the stop request's wake-up lets the join return in time.
  d.reset();
  int served = busy.served.load();
  JLangThread::sleep(20);
  EXPECT_EQ(served, busy.served.load()) << "served after teardown";
}

TEST(ThreadDispatcher, StopAllWaitsUntilEveryThreadLeftRunAndKeepsThem) {
  TestRunner idle, busy;
  TestDispatcher d(1, false, kLongIdleMs);
  ASSERT_EQ(1, d.addRunner(&idle));
  ASSERT_EQ(1, d.addRunner(&busy));
  d.removeRunner(&idle);
  ASSERT_TRUE(waitUntil([&] { return idle.isSafeToDelete() && busy.served > 0; }, kWaitMs));
  // The idle thread waits far longer than the bound: only the wake-up of
  // the stop request lets it leave in time.
  EXPECT_EQ(0, d.stopAll(30000));
  EXPECT_TRUE(d.thread(0)->hasLeftRun());
  EXPECT_TRUE(d.thread(1)->hasLeftRun());
  EXPECT_EQ("0(f),1(f)", d.counts()) << "threads and their runners are kept";
  int served = busy.served.load();
  JLangThread::sleep(20);
  EXPECT_EQ(served, busy.served.load()) << "served after stopAll";
}

TEST(ThreadDispatcher, StopAllGivesUpAfterItsBoundOnAThreadStillRunning) {
  TestRunner r;
  std::atomic<bool> gate(false);
  GateDispatcher d(&gate);
  ASSERT_EQ(1, d.addRunner(&r));
  int64_t t0 = JLangSystem::currentTimeMillis();
  EXPECT_EQ(1, d.stopAll(50));
  EXPECT_GE(JLangSystem::currentTimeMillis() - t0, 50);
  EXPECT_FALSE(static_cast<DispatchThreadBase*>(r.thrd)->hasLeftRun());
  gate = true;
  EXPECT_EQ(0, d.stopAll(30000));
  EXPECT_TRUE(static_cast<DispatchThreadBase*>(r.thrd)->hasLeftRun());
}

TEST(ThreadDispatcher, OwnersAddServeRemoveAndDeleteWhileThreadsRun) {
  const int kOwners = 4;
  const int kRounds = 40;
  TestDispatcher d(3, false, 5);
  std::atomic<int> failures(0);
  std::vector<std::thread> owners;
  for (int o = 0; o < kOwners; o++) {
    owners.emplace_back([&] {
      for (int i = 0; i < kRounds; i++) {
        std::unique_ptr<TestRunner> r(new TestRunner);
        if (d.addRunner(r.get()) != 1 || !waitUntil([&] { return r->served > 0; }, kWaitMs)) {
          failures++;
          return;
        }
        d.removeRunner(r.get());
        if (!waitUntil([&] { return r->isSafeToDelete(); }, kWaitMs)) {
          failures++;
          (void)r.release();  // a thread may still use it
          return;
        }
        // Safe: the serving thread's writes are visible and it writes no more.
        if (r->lastPass < 1) failures++;
        r->lastPass = -1;
      }
    });
  }
  for (std::thread& t : owners) t.join();
  EXPECT_EQ(0, failures.load());
  std::string counts = d.counts();
  EXPECT_EQ(std::string::npos, counts.find_first_not_of("0,")) << counts;
}
