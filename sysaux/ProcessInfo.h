// Resident set size figures of the calling process (Linux; the Windows build
// has only the JNI methods).
#ifndef SYSAUX_PROCESSINFO_H
#define SYSAUX_PROCESSINFO_H

#include <stdint.h>

#ifndef SYSAUX_API
#define SYSAUX_API __attribute__((visibility("default")))
#endif

#ifndef _WIN32
extern "C" {

// Resident pages times the page size, from /proc/self/statm; 0 when unreadable.
SYSAUX_API int64_t getCurrentRSS();
// Largest resident set size the process has had, in bytes; never below
// getCurrentRSS().
SYSAUX_API int64_t getPeakRSS();

}  // extern "C"
#endif  // !_WIN32

#endif  // SYSAUX_PROCESSINFO_H
