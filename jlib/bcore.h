// Core of the base library: the one lock type, its scoped hold, the clocks
// and the process's log file.
#ifndef JLIB_BCORE_H
#define JLIB_BCORE_H

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <cstdint>
#include <fstream>
#include <string>

#include "thread_annotations.h"

// A recursive mutex with one condition variable. A failed or destroyed
// object answers every call with its negative status and locks nothing.
// Although the mutex is recursive, no code takes one it holds already: a
// function that needs the lock held says so (REQUIRES, a ...Locked name).
class CAPABILITY("mutex") WaitObject {
 public:
  static constexpr int WO_OK = 0;
  static constexpr int WO_ERROR_MUTEX_INIT = -100;
  static constexpr int WO_ERROR_COND_INIT = -101;
  static constexpr int WO_ERROR_UNINIT = -200;

  WaitObject();
  ~WaitObject();
  WaitObject(const WaitObject&) = delete;
  WaitObject& operator=(const WaitObject&) = delete;

  int lock() ACQUIRE();
  int unlock() RELEASE();
  // Waits until notified or until ms milliseconds of wall time have passed
  // (ms <= 0: no limit). Returns 0 when woken, ETIMEDOUT at the deadline.
  int wait(int ms) REQUIRES(this);
  int wait() REQUIRES(this);
  void notify();

#ifdef _WIN32
  int getStatus() const { return WO_OK; }

 private:
  CRITICAL_SECTION section;
  HANDLE event;  // manual-reset, made by the first wait
  int waiters;   // threads inside a wait
#else
  int getStatus() const { return status; }

 private:
  pthread_mutex_t mutex;
  pthread_mutexattr_t mutexAttr;
  pthread_cond_t cond;
  int status;
#endif
};

// Holds a WaitObject for the length of a scope.
class SCOPED_CAPABILITY Synchronized {
 public:
  explicit Synchronized(WaitObject* wo) ACQUIRE(wo) : wo(wo) { wo->lock(); }
  virtual ~Synchronized() RELEASE() { wo->unlock(); }
  Synchronized(const Synchronized&) = delete;
  Synchronized& operator=(const Synchronized&) = delete;

 private:
  WaitObject* wo;
};

class TimeUtil {
 public:
  static int64_t currentTimeMillis();
  static int64_t currentTimeNanos();
};

// ---- log file ----------------------------------------------------------

extern WaitObject* woLog;
extern std::ofstream logdump GUARDED_BY(woLog);
extern int LOG_FILE_SIZE;
extern std::string trace_file_name;

void InitTrace(const std::string& path);
bool logInit();
bool log_open() REQUIRES(woLog);
void log_filebackup();
const char* getCurrentTime();

// Test-only: the file names set by InitTrace.
const std::string& logFileName();
const std::string& logBackupFileName();

namespace jlog {

// Where a block stands in its record. Only a record's first block may rotate
// the file, and only while no other record is unfinished: a rotation between
// two blocks would leave the record's start in the backup.
enum class Part {
  Whole,  // a plain record: its one block
  First,  // a record of several blocks (counted by a RecordScope): its first
  Rest,   // a later block of such a record
};

// Opens the log for a block when it is closed (rotating first, at a record's
// first block, when it is too large). Called with woLog held; false drops the
// block, as it does for every block once the library's statics are being
// destroyed (exit or unload).
bool blockReady(Part part) REQUIRES(woLog);
// Ends a record: line end, flush, close. Called with woLog held.
void endRecord() REQUIRES(woLog);
// The name of a source file without its directories.
const char* baseName(const char* path);

// Counts a record of several blocks as unfinished from before its first
// block until it is done, also when it is abandoned part way.
class RecordScope {
 public:
  RecordScope() EXCLUDES(woLog);
  ~RecordScope() EXCLUDES(woLog);
  RecordScope(const RecordScope&) = delete;
  RecordScope& operator=(const RecordScope&) = delete;

 private:
  bool counted;  // woLog existed when the record was begun (it never goes)
};

inline void put() REQUIRES(woLog) {}
template <class T, class... R>
inline void put(const T& first, const R&... rest) REQUIRES(woLog) {
  logdump << first;
  put(rest...);
}

// One block, written with woLog held; the last block of a record ends it.
template <class... P>
void blockLocked(Part part, bool last, const P&... pieces) REQUIRES(woLog) {
  if (!blockReady(part)) return;
  put(pieces...);
  if (last) endRecord();
}

// One block: the pieces written under woLog.
template <class... P>
void block(Part part, bool last, const P&... pieces) EXCLUDES(woLog) {
  if (woLog == nullptr) return;  // before InitTrace: the record is skipped
  Synchronized hold(woLog);
  blockLocked(part, last, pieces...);
}

// Third block of an exception record: "--- time:", the asctime text, line end.
void timeBlock() EXCLUDES(woLog);

template <class V>
void exceptionRecord(const char* file, int line, const char* place, const V& value) {
  try {
    RecordScope record;
    block(Part::First, false, "Exception. ");
    block(Part::Rest, false, place, value, "\r\n--- ", baseName(file), "(", line, ")");
    timeBlock();
  } catch (...) {
    // nothing raised while logging leaves the handler
  }
}

}  // namespace jlog

// A plain record: the pieces, then a line end.
template <class... P>
void logRecord(const P&... pieces) EXCLUDES(woLog) {
  jlog::block(jlog::Part::Whole, true, pieces...);
}

// The same, written within a hold of woLog taken by the caller.
template <class... P>
void logRecordLocked(const P&... pieces) REQUIRES(woLog) {
  jlog::blockLocked(jlog::Part::Whole, true, pieces...);
}

// The exception record of a catch-all handler: "Exception. " place value,
// "\r\n--- " file "(" line ")", "--- time:" asctime text, line end.
#define LOG_EXCEPTION(place) jlog::exceptionRecord(__FILE__, __LINE__, (place), "")
#define LOG_EXCEPTION_V(place, value) jlog::exceptionRecord(__FILE__, __LINE__, (place), (value))

#endif  // JLIB_BCORE_H
