// Datagrams the kernel dropped from full receive queues. On loopback a
// datagram is lost only that way; loss checks subtract these drops, so a
// starved receiver on a busy machine is told apart from a relay fault.
#ifndef TESTS_KERNELDROPS_H
#define TESTS_KERNELDROPS_H

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kerneldrops {

// Inodes of the sockets this process holds.
inline std::set<unsigned long> ownSocketInodes() {
  std::set<unsigned long> inodes;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return inodes;
  while (dirent* e = readdir(dir)) {
    char link[64];
    std::string path = std::string("/proc/self/fd/") + e->d_name;
    ssize_t n = readlink(path.c_str(), link, sizeof(link) - 1);
    if (n <= 0) continue;
    link[n] = '\0';
    unsigned long inode = 0;
    if (std::sscanf(link, "socket:[%lu]", &inode) == 1) inodes.insert(inode);
  }
  closedir(dir);
  return inodes;
}

// Drops counted on this process's UDP sockets bound to any of ports, both
// families; 0 when the tables cannot be read (no drop is excused).
inline long kernelDrops(const std::vector<int>& ports) {
  std::set<unsigned long> own = ownSocketInodes();
  long total = 0;
  for (const char* table : {"/proc/self/net/udp", "/proc/self/net/udp6"}) {
    std::ifstream in(table);
    std::string line;
    if (!std::getline(in, line)) continue;  // the heading
    while (std::getline(in, line)) {
      std::istringstream row(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, ref,
          pointer;
      unsigned long inode = 0;
      long drops = 0;
      row >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
          inode >> ref >> pointer >> drops;
      if (!row || own.count(inode) == 0) continue;
      std::string hexPort = local.substr(local.rfind(':') + 1);
      int port = static_cast<int>(std::strtol(hexPort.c_str(), nullptr, 16));
      for (int p : ports) {
        if (p == port) total += drops;
      }
    }
  }
  return total;
}

inline long kernelDrops(int port) { return kernelDrops(std::vector<int>{port}); }

// Waits until count() reaches expected or stops changing for quietMs, for at
// most ms; the final count. Read drop counters only after this: a datagram
// still in flight is neither received nor dropped. A count that takes the
// drops in stops short only on a loss: quietMs just ends that wait early,
// and is long enough for a receive thread starved on a loaded machine.
inline long settle(const std::function<long()>& count, long expected, int quietMs = 10000,
                   int ms = 30000) {
  long last = count();
  int still = 0;
  for (int waited = 0; waited < ms && last < expected && still < quietMs; waited += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    long now = count();
    still = now == last ? still + 10 : 0;
    last = now;
  }
  return last;
}

}  // namespace kerneldrops

#endif  // TESTS_KERNELDROPS_H
