#include "jlang.h"

#include <unistd.h>

#include "bcore.h"

JLangThread::JLangThread() : thread(), attr(), schedParam(), state(0) {}

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
  JLangThread* self = static_cast<JLangThread*>(arg);
  try {
    self->run();
  } catch (...) {
    LOG_EXCEPTION("thread_proc()");
  }
  return nullptr;
}

int64_t JLangSystem::currentTimeMillis() { return TimeUtil::currentTimeMillis(); }
int64_t JLangSystem::currentTimeNanos() { return TimeUtil::currentTimeNanos(); }
