// Threads and the system clock.
#ifndef JLIB_JLANG_H
#define JLIB_JLANG_H

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#else
#include <pthread.h>
#include <sched.h>
#endif

#include <atomic>
#include <cstdint>

// Base of every thread: run() executes once on a thread of its own after
// start(); the destructor joins it.
class JLangThread {
 public:
  static constexpr int JLT_ERROR_THREAD_CREATE = -102;

  JLangThread();
  virtual ~JLangThread();
  JLangThread(const JLangThread&) = delete;
  JLangThread& operator=(const JLangThread&) = delete;

  virtual void run() {}
  // 0 when the thread was created, the platform error when creation failed,
  // the state (not 0) when already started or failed before.
  virtual int start();
  virtual int getPriority() { return 10; }
  void join();

  // Test-only: 0 before start, 1 started, 2 joined, else the creation error.
  int getState() const { return state; }
  // True once run() has returned on the thread; only the thread's own exit
  // follows. A wait that cannot join (a DLL detach holds the loader lock,
  // which the exit needs) polls this instead.
  bool hasLeftRun() const { return leftRun.load(std::memory_order_acquire); }

  static void sleep(int ms);

 private:
#ifdef _WIN32
  HANDLE thread;  // from _beginthreadex
#else
  pthread_t thread;
  pthread_attr_t attr;
  struct sched_param schedParam;
#endif
  // What the thread does: run() inside the catch-all, then the report that
  // hasLeftRun() reads, the last use of this object on the thread.
  void runAndReport();

  int state;
  std::atomic<bool> leftRun;

#ifdef _WIN32
  friend unsigned __stdcall thread_proc(void* arg);
#else
  friend void* thread_proc(void* arg);
#endif
};

#ifdef _WIN32
unsigned __stdcall thread_proc(void* arg);
#else
void* thread_proc(void* arg);
#endif

class JLangSystem {
 public:
  static int64_t currentTimeMillis();
  static int64_t currentTimeNanos();
};

#endif  // JLIB_JLANG_H
