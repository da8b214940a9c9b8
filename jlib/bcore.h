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

// A recursive mutex with one condition variable. A failed or destroyed
// object answers every call with its negative status and locks nothing.
class WaitObject {
 public:
  static constexpr int WO_OK = 0;
  static constexpr int WO_ERROR_MUTEX_INIT = -100;
  static constexpr int WO_ERROR_COND_INIT = -101;
  static constexpr int WO_ERROR_UNINIT = -200;

  WaitObject();
  ~WaitObject();
  WaitObject(const WaitObject&) = delete;
  WaitObject& operator=(const WaitObject&) = delete;

  int lock();
  int unlock();
  // Waits until notified or until ms milliseconds of wall time have passed
  // (ms <= 0: no limit). Returns 0 when woken, ETIMEDOUT at the deadline.
  int wait(int ms);
  int wait();
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
class Synchronized {
 public:
  explicit Synchronized(WaitObject* wo) : wo(wo) { wo->lock(); }
  virtual ~Synchronized() { wo->unlock(); }
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

extern std::ofstream logdump;
extern WaitObject* woLog;
extern int LOG_FILE_SIZE;
extern std::string trace_file_name;

void InitTrace(const std::string& path);
bool logInit();
bool log_open();
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
bool blockReady(Part part);
// Ends a record: line end, flush, close. Called with woLog held.
void endRecord();
// The name of a source file without its directories.
const char* baseName(const char* path);

// Counts a record of several blocks as unfinished from before its first
// block until it is done, also when it is abandoned part way.
class RecordScope {
 public:
  RecordScope();
  ~RecordScope();
  RecordScope(const RecordScope&) = delete;
  RecordScope& operator=(const RecordScope&) = delete;

 private:
  WaitObject* lock;  // woLog when the record was begun, null before InitTrace
};

inline void put() {}
template <class T, class... R>
inline void put(const T& first, const R&... rest) {
  logdump << first;
  put(rest...);
}

// One block: the pieces written under woLog; the last block of a record ends it.
template <class... P>
void block(Part part, bool last, const P&... pieces) {
  if (woLog == nullptr) return;  // before InitTrace: the record is skipped
  Synchronized hold(woLog);
  if (!blockReady(part)) return;
  put(pieces...);
  if (last) endRecord();
}

// Third block of an exception record: "--- time:", the asctime text, line end.
void timeBlock();

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
void logRecord(const P&... pieces) {
  jlog::block(jlog::Part::Whole, true, pieces...);
}

// The exception record of a catch-all handler: "Exception. " place value,
// "\r\n--- " file "(" line ")", "--- time:" asctime text, line end.
#define LOG_EXCEPTION(place) jlog::exceptionRecord(__FILE__, __LINE__, (place), "")
#define LOG_EXCEPTION_V(place, value) jlog::exceptionRecord(__FILE__, __LINE__, (place), (value))

#endif  // JLIB_BCORE_H
