#include "bcore.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "jlang.h"
#include "testutil.h"

using testutil::TempDir;
using testutil::readFile;

// ---- WaitObject ------------------------------------------------------------

TEST(WaitObject, RecursiveLockNeedsEveryUnlock) {
  WaitObject wo;
  ASSERT_EQ(WaitObject::WO_OK, wo.getStatus());
  wo.lock();
  wo.lock();
  std::atomic<bool> got(false);
  std::thread other([&] {
    wo.lock();
    got = true;
    wo.unlock();
  });
  wo.unlock();
  JLangThread::sleep(50);
  EXPECT_FALSE(got.load()) << "one unlock of two released the lock";
  wo.unlock();
  other.join();
  EXPECT_TRUE(got.load());
}

// Rounds in which eight threads queue on a held lock and are let go at once:
// mostly while they spin, in every fourth round only after they have had
// time to go to sleep. Each takes the lock twice over (nested) and checks that
// nobody else is inside meanwhile.
TEST(WaitObject, ContendedLockExcludesWhileSpinningAndSleeping) {
  const int kThreads = 8;
  const int kRounds = 100;
  const int kChecks = 200;
  WaitObject wo;
  int counter = 0;  // plain on purpose: only the lock guards it
  std::atomic<int> inside(0);
  std::atomic<int> overlaps(0);
  auto enter = [&] {
    if (inside.fetch_add(1) != 0) overlaps++;
  };
  auto leave = [&] {
    for (int k = 0; k < kChecks; k++) {
      if (inside.load() != 1) overlaps++;
    }
    inside.fetch_sub(1);
  };
  for (int round = 0; round < kRounds; round++) {
    std::atomic<int> queued(0);
    std::vector<std::thread> threads;
    wo.lock();
    enter();
    for (int t = 0; t < kThreads; t++) {
      threads.emplace_back([&] {
        queued++;
        Synchronized hold(&wo);
        enter();
        {
          Synchronized again(&wo);
          counter++;
        }
        leave();
      });
    }
    for (int i = 0; i < 1000000 && queued.load() < kThreads; i++) std::this_thread::yield();
    if (round % 4 == 3) JLangThread::sleep(2);
    leave();
    wo.unlock();
    for (std::thread& t : threads) t.join();
  }
  EXPECT_EQ(0, overlaps.load());
  EXPECT_EQ(kThreads * kRounds, counter);
}

TEST(WaitObject, NotifyBeforeWaitIsLostAndTimedWaitTimesOut) {
  WaitObject wo;
  Synchronized hold(&wo);
  wo.notify();
  int64_t t0 = JLangSystem::currentTimeMillis();
  EXPECT_EQ(ETIMEDOUT, wo.wait(100));
  EXPECT_GE(JLangSystem::currentTimeMillis() - t0, 99);
}

TEST(WaitObject, NotifyWakesUnlimitedWaits) {
  for (int ms : {0, -5}) {
    WaitObject wo;
    bool flag = false;
    std::thread waiter([&] {
      Synchronized hold(&wo);
      while (!flag) EXPECT_EQ(0, wo.wait(ms));
    });
    JLangThread::sleep(20);
    {
      Synchronized hold(&wo);
      flag = true;
      wo.notify();
    }
    waiter.join();
  }
}

TEST(WaitObject, SynchronizedReleasesOnException) {
  WaitObject wo;
  try {
    Synchronized hold(&wo);
    throw std::runtime_error("x");
  } catch (const std::exception&) {
  }
  std::atomic<bool> got(false);
  std::thread other([&] {
    Synchronized hold(&wo);
    got = true;
  });
  other.join();
  EXPECT_TRUE(got.load());
}

// ---- JLangThread -------------------------------------------------------------

namespace {

class CountingThread : public JLangThread {
 public:
  ~CountingThread() override { join(); }
  void run() override { runs++; }
  std::atomic<int> runs{0};
};

// Leaves the join to the base destructor. run() takes what it needs before it
// reports that it has started, so it no longer touches the object then.
class ReportingThread : public JLangThread {
 public:
  ReportingThread(std::atomic<bool>* started, std::atomic<bool>* done)
      : started(started), done(done) {}
  void run() override {
    std::atomic<bool>* finished = done;
    started->store(true);
    sleep(100);
    finished->store(true);
  }

 private:
  std::atomic<bool>* started;
  std::atomic<bool>* done;
};

class ThrowingThread : public JLangThread {
 public:
  ~ThrowingThread() override { join(); }
  void run() override { throw std::runtime_error("boom"); }
};

}  // namespace

TEST(JLangThread, StartsOnceAndJoins) {
  CountingThread t;
  EXPECT_EQ(0, t.getState());
  EXPECT_EQ(0, t.start());
  EXPECT_EQ(1, t.start()) << "a second start must only report the state";
  t.join();
  EXPECT_EQ(2, t.getState());
  EXPECT_EQ(1, t.runs.load());
  t.join();  // a joined thread is not joined again
}

TEST(JLangThread, DestructorWaitsForRun) {
  std::atomic<bool> started(false);
  std::atomic<bool> done(false);
  int64_t t0 = JLangSystem::currentTimeMillis();
  {
    ReportingThread t(&started, &done);
    ASSERT_EQ(0, t.start());
    ASSERT_TRUE(testutil::waitUntil([&] { return started.load(); }));
  }
  EXPECT_TRUE(done.load()) << "destroyed before run() returned";
  EXPECT_GE(JLangSystem::currentTimeMillis() - t0, 99);
  CountingThread never;  // never started: destroyed at once
}

TEST(JLangThread, ExceptionInRunIsLoggedAndThreadEnds) {
  TempDir dir;
  InitTrace(dir.file("proxy.log"));
  {
    ThrowingThread t;
    t.start();
  }
  std::string text = readFile(dir.file("proxy.log"));
  std::regex shape(
      "Exception\\. thread_proc\\(\\)\r\n--- jlang\\.cpp\\([0-9]+\\)--- time:"
      "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\n\n");
  EXPECT_TRUE(std::regex_match(text, shape)) << text;
}

TEST(Clock, MillisAndNanosAgree) {
  int64_t ms = JLangSystem::currentTimeMillis();
  int64_t ns = JLangSystem::currentTimeNanos();
  EXPECT_GT(ms, 1600000000000LL);
  EXPECT_LE(ms, ns / 1000000);
  EXPECT_EQ(0, ns % 1000) << "nanoseconds have microsecond resolution";
  EXPECT_LE(ms, TimeUtil::currentTimeMillis());
}

// ---- log file -----------------------------------------------------------------

// Without the lock that InitTrace creates nothing is written, even to a
// named file. Other tests may have created it: it is set aside meanwhile.
TEST(Log, RecordBeforeInitTraceIsSkipped) {
  TempDir dir;
  InitTrace("");
  EXPECT_FALSE(logInit());
  EXPECT_FALSE(log_open());
  InitTrace(dir.file("proxy.log"));
  struct NoLock {
    NoLock() : saved(woLog) { woLog = nullptr; }
    ~NoLock() { woLog = saved; }
    WaitObject* saved;
  } noLock;
  logRecord("abc");
  LOG_EXCEPTION("nowhere");
  EXPECT_FALSE(testutil::fileExists(dir.file("proxy.log")));
}

TEST(Log, PlainRecordBytes) {
  TempDir dir;
  InitTrace(dir.file("proxy.log"));
  EXPECT_EQ(dir.file("proxy.log_bak"), logBackupFileName());
  logRecord("abc");
  logRecord("n=", -42, " id=", 1234567890123LL);
  EXPECT_EQ("abc\nn=-42 id=1234567890123\n", readFile(dir.file("proxy.log")));
}

TEST(Log, ExceptionRecordWithValue) {
  TempDir dir;
  InitTrace(dir.file("proxy.log"));
  int line = __LINE__ + 1;
  LOG_EXCEPTION_V("RTPex::closeAndDelete() id=", 4294977296LL);
  std::string text = readFile(dir.file("proxy.log"));
  std::string head = "Exception. RTPex::closeAndDelete() id=4294977296\r\n--- bcore_test.cpp(" +
                     std::to_string(line) + ")--- time:";
  ASSERT_EQ(0u, text.find(head)) << text;
  EXPECT_EQ(head.size() + 24 + 2, text.size());
  EXPECT_EQ("\n\n", text.substr(text.size() - 2));
}

TEST(Log, EmptyNameOrMissingDirectoryDropsText) {
  TempDir dir;
  InitTrace("");
  logRecord("lost");
  InitTrace(dir.file("no/such/dir/proxy.log"));
  logRecord("lost");
  EXPECT_FALSE(testutil::fileExists(dir.file("no")));
  InitTrace(dir.file("proxy.log"));
  logRecord("kept");
  EXPECT_EQ("kept\n", readFile(dir.file("proxy.log")));
}

TEST(Log, RotatesOnlyAboveLimit) {
  TempDir dir;
  std::string log = dir.file("proxy.log");
  InitTrace(log);
  {
    std::ofstream old(dir.file("proxy.log_bak"));
    old << "older backup";
  }
  {
    std::ofstream big(log);
    big << std::string(LOG_FILE_SIZE - 1, 'x');
  }
  logRecord("");  // one line feed: exactly at the limit, no rotation
  EXPECT_EQ(static_cast<size_t>(LOG_FILE_SIZE), readFile(log).size());
  logRecord("a");  // still exactly at the limit when tested: appended
  EXPECT_EQ(static_cast<size_t>(LOG_FILE_SIZE) + 2, readFile(log).size());
  logRecord("new");  // above the limit: rotated first
  EXPECT_EQ("new\n", readFile(log));
  EXPECT_EQ(static_cast<size_t>(LOG_FILE_SIZE) + 2, readFile(dir.file("proxy.log_bak")).size());
}

TEST(Log, RemovedFileIsCreatedAgain) {
  TempDir dir;
  InitTrace(dir.file("proxy.log"));
  logRecord("one");
  std::remove(dir.file("proxy.log").c_str());
  logRecord("two");
  EXPECT_EQ("two\n", readFile(dir.file("proxy.log")));
}

TEST(Log, ConcurrentExceptionRecordsKeepBlocksWhole) {
  TempDir dir;
  InitTrace(dir.file("proxy.log"));
  const int kThreads = 4, kRecords = 50;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&] {
      for (int i = 0; i < kRecords; ++i) LOG_EXCEPTION_V("place=", i);
    });
  }
  for (auto& w : writers) w.join();
  std::string text = readFile(dir.file("proxy.log"));
  std::regex block2("place=[0-9]+\r\n--- bcore_test\\.cpp\\([0-9]+\\)");
  auto count = [&](const std::string& needle) {
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
    return n;
  };
  EXPECT_EQ(static_cast<size_t>(kThreads * kRecords), count("Exception. "));
  EXPECT_EQ(static_cast<size_t>(kThreads * kRecords), count("--- time:"));
  EXPECT_EQ(static_cast<size_t>(kThreads * kRecords),
            static_cast<size_t>(std::distance(std::sregex_iterator(text.begin(), text.end(), block2),
                                              std::sregex_iterator())));
}

namespace {

size_t countOf(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
  return n;
}

// Sets the log's size limit for a scope.
class LogLimit {
 public:
  explicit LogLimit(int bytes) : saved(LOG_FILE_SIZE) { LOG_FILE_SIZE = bytes; }
  ~LogLimit() { LOG_FILE_SIZE = saved; }
  LogLimit(const LogLimit&) = delete;
  LogLimit& operator=(const LogLimit&) = delete;

 private:
  int saved;
};

}  // namespace

// Plain and exception records from several threads while the file crosses
// the limit: the rotation falls between records, so each file holds every
// part of its exception records and the two files together hold them all.
TEST(Log, RotationKeepsEachRecordInOneFile) {
  LogLimit limit(4096);
  TempDir dir;
  const std::string log = dir.file("proxy.log");
  const std::string bak = dir.file("proxy.log_bak");
  InitTrace(log);
  const int kTrials = 50, kThreads = 4, kRecords = 10;
  const std::string kPlace = "place=";
  const std::string kSource = "\r\n--- bcore_test.cpp(";
  const std::string kTime = "--- time:";
  for (int trial = 0; trial < kTrials; ++trial) {
    std::remove(log.c_str());
    std::remove(bak.c_str());
    {
      std::ofstream full(log);
      full << std::string(LOG_FILE_SIZE - 200, 'x') << '\n';  // just below the limit
    }
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&, t] {
        for (int i = 0; i < kRecords; ++i) {
          LOG_EXCEPTION_V(kPlace.c_str(), t * 100 + i);
          logRecord("plain ", t, " ", i);
        }
      });
    }
    for (auto& w : writers) w.join();
    logRecord("end");  // rotates now if no record found the file free to rotate
    ASSERT_TRUE(testutil::fileExists(bak)) << "trial " << trial << ": never rotated";

    size_t total = 0;
    for (const std::string& file : {log, bak}) {
      const std::string text = readFile(file);
      const size_t records = countOf(text, "Exception. ");
      EXPECT_EQ(records, countOf(text, kPlace)) << "trial " << trial << ", " << file;
      EXPECT_EQ(records, countOf(text, kSource)) << "trial " << trial << ", " << file;
      EXPECT_EQ(records, countOf(text, kTime)) << "trial " << trial << ", " << file;
      total += records;
    }
    ASSERT_EQ(static_cast<size_t>(kThreads * kRecords), total) << "trial " << trial;
    if (HasFailure()) break;
  }
}

namespace {

// Runs body in a forked child, which must end the process itself. Returns
// the child's wait status, or -1 when it had not ended within boundMs (it is
// killed then).
int runInChild(const std::function<void()>& body, int boundMs) {
  std::fflush(nullptr);  // the child must not write the parent's buffers again
  pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(99);
  }
  if (pid < 0) return -1;
  int status = 0;
  for (int waited = 0; waited <= boundMs; waited += 5) {
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    usleep(5000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

std::string describeStatus(int status) {
  if (status == -1) return "hung";
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "exit status " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

// Threads logging while the process exits: once the log's statics start to
// go their records are skipped, and every exit ends cleanly.
TEST(Log, ExitWhileThreadsLogEndsCleanly) {
  TempDir dir;
  const std::string log = dir.file("proxy.log");
  // Writing on into the exit crashed or hung a few runs in a hundred. A
  // sanitized child takes far longer to exit; there the runs look for races.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr int kRuns = 20;
#else
  constexpr int kRuns = 100;
#endif
  constexpr int kWriters = 4;
  for (int run = 0; run < kRuns; ++run) {
    std::remove(log.c_str());
    int status = runInChild(
        [&log] {
          InitTrace(log);
          std::atomic<int> written(0);
          for (int t = 0; t < kWriters; ++t) {
            std::thread([&written] {
              for (int i = 0; i < 10000000; ++i) {
                logRecord("record ", i);
                LOG_EXCEPTION_V("place=", i);
                ++written;
              }
            }).detach();
          }
          for (int i = 0; i < 5000 && written < 10 * kWriters; ++i) usleep(1000);
          // The writers are under way and their records reach the file.
          if (written < 10 * kWriters) _exit(2);
          if (readFile(log).find("record 0\n") == std::string::npos) _exit(3);
          std::exit(0);
        },
        10000);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "run " << run << ": " << describeStatus(status);
  }
}
