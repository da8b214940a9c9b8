// Dispatch templates: runners spread over a growing set of threads, a bounded
// number per thread. A thread walks its own copy-on-write runner array without
// a lock while other threads add and remove runners.
#ifndef JLIB_THREADDISPATCHER_H
#define JLIB_THREADDISPATCHER_H

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "bcore.h"
#include "jlang.h"

class RunnerBase {
 public:
  RunnerBase() {}
  virtual ~RunnerBase() {}
  RunnerBase(const RunnerBase&) = delete;
  RunnerBase& operator=(const RunnerBase&) = delete;

  WaitObject wo;  // for derived classes; the templates never take it
};

class DispatchThreadBase : public JLangThread {
 public:
  static int THREAD_PRIORITY;

  DispatchThreadBase() : id(1), stopFlag(0) {}

  int getPriority() override { return THREAD_PRIORITY; }

  // Generation counter, raised by the thread itself each time it adopts a
  // newly published runner array (release); readers load it with acquire.
  std::atomic<int> id;
  std::atomic<int> stopFlag;
};

// Bookkeeping the templates keep in every served object.
class Runner : public RunnerBase {
 public:
  Runner() : thrd(nullptr), dispatched(0), removeRequestTID(0) {}
  ~Runner() override {}

  // After removal: true when no thread can still use the runner, i.e. it was
  // never placed or its thread has adopted an array published since.
  bool isSafeToDelete() const {
    return thrd == nullptr || thrd->id.load(std::memory_order_acquire) != removeRequestTID;
  }

  DispatchThreadBase* thrd;  // set on first placement, never cleared
  int dispatched;
  int removeRequestTID;
};

template <class T>
class ThreadDispatcher;

// A serving thread. The subclass writes run() as a loop of passes and keeps
// to this protocol:
//
//   void run() override {
//     while (stopFlag.load() == 0) {
//       if (adoptRunners()) { /* rebuild what is derived from the runners */ }
//       if (countInUse == 0) { waitForWork(3000); continue; }
//       // serve runnersInUse[0 .. countInUse) without holding wo; keep no
//       // runner pointer into the next pass
//     }
//   }
//
// A subclass with members of its own calls join() first in its destructor,
// so that run() has returned before they go.
template <class T>
class DispatchThread : public DispatchThreadBase {
 public:
  DispatchThread() : runnerCount(0), runners(new T*[0]), countInUse(0) {
    runnersInUse = runners.load();
  }

  ~DispatchThread() override {
    join();
    T** published = runners.load();
    if (runnersInUse != published) delete[] runnersInUse;
    delete[] published;
  }

  // Both publish a new array; called only by the dispatcher under its lock.
  virtual int addRunner(T* r) {
    T** old = runners.load(std::memory_order_relaxed);
    T** fresh = new T*[runnerCount + 1];
    for (int i = 0; i < runnerCount; i++) fresh[i] = old[i];
    fresh[runnerCount] = r;
    Synchronized hold(&wo);
    r->thrd = this;
    runnerCount++;
    publish(old, fresh);
    return 1;
  }

  virtual int removeRunner(T* r) {
    if (runnerCount < 1 || r->thrd == nullptr) return 0;
    T** old = runners.load(std::memory_order_relaxed);
    int at = indexOf(old, runnerCount, r);
    if (at < 0) return 0;
    T** fresh = new T*[runnerCount - 1];
    for (int i = 0, j = 0; i < runnerCount; i++) {
      if (i != at) fresh[j++] = old[i];
    }
    Synchronized hold(&wo);
    runnerCount--;
    publish(old, fresh);
    r->removeRequestTID = id.load(std::memory_order_relaxed);
    return 1;
  }

  // Test-only: the runners held, adopted or not.
  int getRunnerCount() const { return runnerCount; }

 protected:
  // Adopts the newest published array at the top of a pass; true when it did.
  bool adoptRunners() {
    // Unlocked look first: a stale answer only delays adoption by one pass.
    if (runners.load(std::memory_order_relaxed) == runnersInUse) return false;
    Synchronized hold(&wo);
    T** published = runners.load(std::memory_order_relaxed);
    if (published == runnersInUse) return false;
    // Release: owners that see the new id also see that the previous pass is over.
    id.fetch_add(1, std::memory_order_release);
    delete[] runnersInUse;
    runnersInUse = published;
    countInUse = runnerCount;
    return true;
  }

  // Waits up to ms (0 or less: no limit) while there is nothing to serve,
  // nothing new published and no stop requested.
  void waitForWork(int ms) {
    Synchronized hold(&wo);
    if (countInUse == 0 && runners.load(std::memory_order_relaxed) == runnersInUse &&
        stopFlag.load() == 0) {
      wo.wait(ms);
    }
  }

  WaitObject wo;  // guards publishing and adoption; the thread waits on it
  int runnerCount;
  std::atomic<T**> runners;  // published array
  T** runnersInUse;          // adopted array, read only by the thread
  int countInUse;

 private:
  friend class ThreadDispatcher<T>;

  static int indexOf(T** array, int count, T* r) {
    for (int i = 0; i < count; i++) {
      if (array[i] == r) return i;
    }
    return -1;
  }

  void publish(T** old, T** fresh) REQUIRES(wo) {
    if (old != runnersInUse) delete[] old;
    runners.store(fresh);
    wo.notify();
  }

  // Called by the dispatcher under its lock.
  void requestStop() {
    Synchronized hold(&wo);
    stopFlag.store(1);
    wo.notify();
  }
};

// The pool. A subclass supplies the threads through newDispatchThread().
template <class T>
class ThreadDispatcher {
 public:
  explicit ThreadDispatcher(int maxRunnerInThread)
      : maxRunnerInThread(maxRunnerInThread), maxThreads(-1) {}

  virtual ~ThreadDispatcher() {
    std::vector<DispatchThread<T>*> stopping = requestStopAll(true);
    // Each delete joins the thread before its members go.
    for (DispatchThread<T>* t : stopping) delete t;
  }

  ThreadDispatcher(const ThreadDispatcher&) = delete;
  ThreadDispatcher& operator=(const ThreadDispatcher&) = delete;

  // 1 when the runner was placed on a thread, 0 when it was placed before,
  // no thread could be had or a new thread could not be started.
  virtual int addRunner(T* r) {
    Synchronized hold(&wo);
    if (r->thrd != nullptr) return 0;
    r->dispatched = 1;
    for (DispatchThread<T>* t : threads) {
      if (t->runnerCount < maxRunnerInThread) return t->addRunner(r);
    }
    if (maxThreads >= 0 && static_cast<int>(threads.size()) >= maxThreads) return 0;
    return addToNewThread(r);
  }

  virtual void removeRunner(T* r) {
    Synchronized hold(&wo);
    if (r->dispatched != 1) return;
    r->dispatched = 0;
    if (r->thrd != nullptr) static_cast<DispatchThread<T>*>(r->thrd)->removeRunner(r);
  }

  virtual std::string getInfo(const std::string& unused) {
    Synchronized hold(&wo);
    std::string info = std::string("<") + getDispacherName() +
                       "> thread count:" + std::to_string(threads.size()) + ";\r\n";
    for (size_t i = 0; i < threads.size(); i++) {
      if (i > 0) info += ",";
      info += std::to_string(threads[i]->runnerCount);
      if (threads[i]->stopFlag.load() != 0) info += "(f)";
    }
    return info + "\r\n";
  }

  // Asks every thread to stop and waits up to ms in all, polling each
  // millisecond, until each has left run(). Joins and frees nothing, so it
  // may run where threads cannot exit yet (a DLL detach). The number of
  // threads still in run() at the end.
  int stopAll(int ms) {
    // The entries live as long as the dispatcher.
    std::vector<DispatchThread<T>*> stopping = requestStopAll(false);
    // A monotonic bound: this may run where a clock step must not stretch it.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      int running = 0;
      for (DispatchThread<T>* t : stopping) {
        if (!t->hasLeftRun()) running++;
      }
      if (running == 0 || std::chrono::steady_clock::now() >= until) return running;
      JLangThread::sleep(1);
    }
  }

  virtual const char* getDispacherName() { return "ThreadDispatcher"; }

  // Returns a new, not yet started thread, which the dispatcher then owns.
  virtual DispatchThread<T>* newDispatchThread() { return nullptr; }

 protected:
  int maxRunnerInThread;
  int maxThreads;  // -1: no limit
  WaitObject wo;  // taken before any thread's lock
  std::vector<DispatchThread<T>*> threads GUARDED_BY(wo);

 private:
  // Asks every thread to stop; the threads, taken out of the list when
  // release is set.
  std::vector<DispatchThread<T>*> requestStopAll(bool release) {
    Synchronized hold(&wo);
    for (DispatchThread<T>* t : threads) t->requestStop();
    if (!release) return threads;
    std::vector<DispatchThread<T>*> taken;
    taken.swap(threads);
    return taken;
  }

  // A thread that cannot be started is dropped with the runner taken back,
  // so no runner is left on a thread that never runs.
  int addToNewThread(T* r) REQUIRES(wo) {
    std::unique_ptr<DispatchThread<T>> fresh(newDispatchThread());
    if (!fresh) return 0;
    threads.reserve(threads.size() + 1);  // the push_back below cannot throw
    int placed = fresh->addRunner(r);
    if (placed == 0) return 0;
    int rc = fresh->start();
    if (rc != 0) {
      r->thrd = nullptr;  // never served: safe to delete, may be added again
      logRecord(getDispacherName(), " thread start failed: ", rc);
      return 0;
    }
    threads.push_back(fresh.release());
    return placed;
  }
};

#endif  // JLIB_THREADDISPATCHER_H
