#include "ProcessInfo.h"

#include <jni.h>

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <inttypes.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

int64_t getCurrentRSS() {
  std::unique_ptr<FILE, int (*)(FILE*)> f(fopen("/proc/self/statm", "r"), fclose);
  if (!f) return 0;
  int64_t pages = 0;
  if (fscanf(f.get(), "%*s%" SCNd64, &pages) != 1) return 0;
  return pages * static_cast<int64_t>(sysconf(_SC_PAGESIZE));
}

int64_t getPeakRSS() {
  struct rusage usage = {};
  getrusage(RUSAGE_SELF, &usage);
  const int64_t peak = static_cast<int64_t>(usage.ru_maxrss) * 1024;  // kernel gives kilobytes
  // The kernel's high-water mark may lag the exact current figure; a peak is never below it.
  return std::max(peak, getCurrentRSS());
}

#endif  // _WIN32

namespace {

#ifdef _WIN32

// The process's memory counters; all zero when PSAPI cannot give them.
PROCESS_MEMORY_COUNTERS memoryCounters() {
  PROCESS_MEMORY_COUNTERS pmc;
  ZeroMemory(&pmc, sizeof(pmc));
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc))) ZeroMemory(&pmc, sizeof(pmc));
  return pmc;
}

jlong rss() { return static_cast<jlong>(memoryCounters().WorkingSetSize); }
jlong peakRss() { return static_cast<jlong>(memoryCounters().PeakWorkingSetSize); }
jlong pid() { return static_cast<jlong>(GetCurrentProcessId()); }

#else

jlong rss() { return getCurrentRSS(); }
jlong peakRss() { return getPeakRSS(); }
jlong pid() { return static_cast<jlong>(getpid()); }

#endif  // _WIN32

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_com_tavindo_util_system_ProcessInfo_getRss0(JNIEnv*, jclass) {
  return rss();
}

JNIEXPORT jlong JNICALL Java_com_tavindo_util_system_ProcessInfo_getPeakRss0(JNIEnv*, jclass) {
  return peakRss();
}

JNIEXPORT jlong JNICALL Java_com_tavindo_util_system_ProcessInfo_getPid0(JNIEnv*, jclass) {
  return pid();
}

}  // extern "C"
