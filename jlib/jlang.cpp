#include "jlang.h"

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "bcore.h"

#ifdef _WIN32

JLangThread::JLangThread() : thread(nullptr), state(0), leftRun(false) {}

JLangThread::~JLangThread() { join(); }

int JLangThread::start() {
  if (state != 0) return state;
  uintptr_t h = _beginthreadex(nullptr, 0, thread_proc, this, 0, nullptr);
  thread = reinterpret_cast<HANDLE>(h);
  state = thread != nullptr ? 1 : JLT_ERROR_THREAD_CREATE;
  return state == 1 ? 0 : state;
}

void JLangThread::join() {
  if (state != 1) return;
  WaitForSingleObject(thread, INFINITE);
  state = 2;
  CloseHandle(thread);
  thread = nullptr;
}

void JLangThread::sleep(int ms) { Sleep(static_cast<DWORD>(ms)); }

unsigned __stdcall thread_proc(void* arg) {
  static_cast<JLangThread*>(arg)->runAndReport();
  _endthreadex(0);
  return 0;
}

#else

JLangThread::JLangThread() : thread(), attr(), schedParam(), state(0), leftRun(false) {}

JLangThread::~JLangThread() {
  bool started = state == 1 || state == 2;
  join();
  if (started) pthread_attr_destroy(&attr);
}

int JLangThread::start() {
  if (state != 0) return state;
  state = 1;  // before the thread exists: a second start already sees it started
  pthread_attr_init(&attr);
  pthread_attr_getschedparam(&attr, &schedParam);
  schedParam.sched_priority = getPriority();
  // No policy or explicit scheduling is set: the thread inherits the creator's.
  (void)pthread_attr_setschedparam(&attr, &schedParam);
  int rc = pthread_create(&thread, &attr, thread_proc, this);
  if (rc != 0) {
    pthread_attr_destroy(&attr);
    state = JLT_ERROR_THREAD_CREATE;
    return rc;
  }
  return 0;
}

void JLangThread::join() {
  if (state != 1) return;
  pthread_join(thread, nullptr);
  state = 2;
}

void JLangThread::sleep(int ms) {
  usleep(static_cast<uint32_t>(ms) * 1000u);
}

void* thread_proc(void* arg) {
  static_cast<JLangThread*>(arg)->runAndReport();
  return nullptr;
}

#endif  // _WIN32

void JLangThread::runAndReport() {
  try {
    run();
  } catch (...) {
    LOG_EXCEPTION("thread_proc()");
  }
  // The owner may free this object (or unload this code) from here on.
  leftRun.store(true, std::memory_order_release);
}

int64_t JLangSystem::currentTimeMillis() { return TimeUtil::currentTimeMillis(); }
int64_t JLangSystem::currentTimeNanos() { return TimeUtil::currentTimeNanos(); }
