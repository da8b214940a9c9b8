#include "bcore.h"

#ifndef _WIN32
#include <sys/time.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

// ---- WaitObject ----------------------------------------------------------

#ifdef _WIN32

WaitObject::WaitObject() : event(nullptr), waiters(0) { InitializeCriticalSection(&section); }

WaitObject::~WaitObject() {
  DeleteCriticalSection(&section);
  if (event != nullptr) CloseHandle(event);
}

int WaitObject::lock() {
  EnterCriticalSection(&section);
  return 0;
}

int WaitObject::unlock() {
  LeaveCriticalSection(&section);
  return 0;
}

// notify sets the manual-reset event, which wakes every thread waiting then.
int WaitObject::wait(int ms) {
  if (event == nullptr) {
    event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (event == nullptr) return 0;
  }
  waiters++;
  ResetEvent(event);
  LeaveCriticalSection(&section);
  WaitForSingleObject(event, ms > 0 ? static_cast<DWORD>(ms) : INFINITE);
  EnterCriticalSection(&section);
  waiters--;
  return 0;
}

int WaitObject::wait() { return wait(0); }

void WaitObject::notify() {
  if (event != nullptr && waiters > 0) SetEvent(event);
}

#else

namespace {

const int kLockSpins = 200;

inline void spinPause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

WaitObject::WaitObject() : status(WO_OK) {
  if (pthread_mutexattr_init(&mutexAttr) != 0) {
    status = WO_ERROR_MUTEX_INIT;
    return;
  }
  if (pthread_mutexattr_settype(&mutexAttr, PTHREAD_MUTEX_RECURSIVE) != 0 ||
      pthread_mutex_init(&mutex, &mutexAttr) != 0) {
    pthread_mutexattr_destroy(&mutexAttr);
    status = WO_ERROR_MUTEX_INIT;
    return;
  }
  if (pthread_cond_init(&cond, nullptr) != 0) {
    status = WO_ERROR_COND_INIT;
    pthread_mutex_destroy(&mutex);
    pthread_mutexattr_destroy(&mutexAttr);
  }
}

WaitObject::~WaitObject() {
  if (status != WO_OK) return;
  status = WO_ERROR_UNINIT;
  pthread_cond_destroy(&cond);
  pthread_mutex_destroy(&mutex);
  pthread_mutexattr_destroy(&mutexAttr);
}

// The relay's holds are short (an SRTP call, a few fields, a send): a
// contended lock is usually free again within the few microseconds of the
// spin, sooner than a sleep in the kernel and the wake-up that follows.
int WaitObject::lock() {
  if (status < 0) return status;
  for (int i = 0; i < kLockSpins; i++) {
    if (pthread_mutex_trylock(&mutex) == 0) return 0;
    spinPause();
  }
  return pthread_mutex_lock(&mutex);
}

int WaitObject::unlock() {
  if (status < 0) return status;
  return pthread_mutex_unlock(&mutex);
}

int WaitObject::wait(int ms) {
  if (status < 0) return status;
  if (ms <= 0) return pthread_cond_wait(&cond, &mutex);
  // The deadline is taken from the wall clock, as every time-out of the system.
  struct timeval now;
  gettimeofday(&now, nullptr);
  long sec = now.tv_sec + ms / 1000;
  long usec = now.tv_usec + (ms % 1000) * 1000L;
  sec += usec / 1000000;
  usec %= 1000000;
  struct timespec deadline;
  deadline.tv_sec = sec;
  deadline.tv_nsec = usec * 1000;
  return pthread_cond_timedwait(&cond, &mutex, &deadline);
}

int WaitObject::wait() {
  if (status < 0) return status;
  return wait(0);
}

void WaitObject::notify() {
  if (status < 0) return;
  pthread_cond_signal(&cond);
}

#endif  // _WIN32

// ---- clocks --------------------------------------------------------------

#ifdef _WIN32

namespace {

// 100-nanosecond units since 1970-01-01 00:00 UTC.
int64_t fileTimeSinceEpoch() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  ULARGE_INTEGER t;
  t.LowPart = ft.dwLowDateTime;
  t.HighPart = ft.dwHighDateTime;
  return static_cast<int64_t>(t.QuadPart) - 116444736000000000LL;
}

}  // namespace

int64_t TimeUtil::currentTimeMillis() { return fileTimeSinceEpoch() / 10000; }

int64_t TimeUtil::currentTimeNanos() { return fileTimeSinceEpoch(); }

#else

int64_t TimeUtil::currentTimeMillis() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

int64_t TimeUtil::currentTimeNanos() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000000000 + static_cast<int64_t>(tv.tv_usec) * 1000;
}

#endif  // _WIN32

// ---- log file ------------------------------------------------------------

static std::string logfilename;
static std::string logbackupfilename;
std::ofstream logdump;
WaitObject* woLog = nullptr;
int LOG_FILE_SIZE = 2097152;
std::string trace_file_name = "l.txt";

namespace {

// Set once the statics above are about to be destroyed (process exit or
// library unload); from then on no block is written.
std::atomic<bool> logUnloading(false);

// Records of several blocks begun and not yet done.
int unfinishedRecords GUARDED_BY(woLog) = 0;

// Defined after the log's statics, so destroyed before them: waits for the
// block being written and stops every later one, so that no thread still
// writing touches the stream or the names while they go, or stdio while the
// exit clears it.
struct LogUnloadGuard {
  ~LogUnloadGuard() {
    if (woLog == nullptr) {
      logUnloading = true;
      return;
    }
    Synchronized hold(woLog);
    logUnloading = true;
  }
} logUnloadGuard;

}  // namespace

void InitTrace(const std::string& path) {
  if (woLog == nullptr) woLog = new WaitObject();
  logfilename = path;
  logbackupfilename = path + "_bak";
}

bool logInit() { return !logfilename.empty(); }

const std::string& logFileName() { return logfilename; }
const std::string& logBackupFileName() { return logbackupfilename; }

bool log_open() {
  if (logfilename.empty()) return false;
  logdump.open(logfilename.c_str(), std::ios::out | std::ios::app | std::ios::ate);
  if (logdump.is_open()) {
    logdump.clear();
  } else {
    logdump.setstate(std::ios::failbit);
  }
  return logdump.is_open();
}

void log_filebackup() {
  if (logfilename.empty()) return;
  std::remove(logbackupfilename.c_str());
  std::rename(logfilename.c_str(), logbackupfilename.c_str());
}

const char* getCurrentTime() {
  time_t now = time(nullptr);
  return asctime(localtime(&now));
}

namespace jlog {

bool blockReady(Part part) {
  if (logUnloading) return false;
  if (logdump.is_open()) return true;
  if (!log_open()) return false;
  const int others = unfinishedRecords - (part == Part::First ? 1 : 0);
  const bool mayRotate = part != Part::Rest && others == 0;
  if (mayRotate && static_cast<long long>(logdump.tellp()) > LOG_FILE_SIZE) {
    logdump.close();
    log_filebackup();
    if (!log_open()) return false;
  }
  return true;
}

RecordScope::RecordScope() : counted(woLog != nullptr) {
  if (!counted) return;
  Synchronized hold(woLog);
  unfinishedRecords++;
}

RecordScope::~RecordScope() {
  if (!counted) return;
  Synchronized hold(woLog);
  unfinishedRecords--;
}

void endRecord() {
  logdump << std::endl;
  logdump.close();
}

const char* baseName(const char* path) {
#ifdef _WIN32
  return path;  // the full path, as the compiler gives it
#else
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
#endif
}

void timeBlock() {
  if (woLog == nullptr) return;
  Synchronized hold(woLog);
  if (!blockReady(Part::Rest)) return;
  logdump << "--- time:" << getCurrentTime();
  endRecord();
}

}  // namespace jlog
