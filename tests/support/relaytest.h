// Helpers for the relay engine tests: engine set-up without a JVM, port
// lanes that no other test uses, port blockers, a probe leg, a
// deferred-delete worker and dispatchers of their own.
#ifndef TESTS_RELAYTEST_H
#define TESTS_RELAYTEST_H

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "RTPex.h"
#include "jlang.h"
#include "kerneldrops.h"
#include "testutil.h"

namespace relaytest {

const int kLaneWidth = 200;

// The engine and a log file, once per process.
inline testutil::TempDir& logDir() {
  static testutil::TempDir dir;
  return dir;
}

inline void setUpEngine() {
  static bool done = false;
  if (done) return;
  done = true;
  InitTrace(logDir().file("proxy.log"));
  RTPex::initEngine();
}

inline std::string logText() { return testutil::readFile(logDir().file("proxy.log")); }

// The log written since mark (a size taken with logText().size()).
inline std::string logSince(size_t mark) {
  std::string all = logText();
  return mark < all.size() ? all.substr(mark) : std::string();
}

using testutil::waitUntil;
using kerneldrops::kernelDrops;
using kerneldrops::settle;

// Endpoints in the registry.
inline size_t registered() {
  Synchronized hold(RTPex::woStatic);
  return RTPex::mapIDObj->size();
}

inline bool fillAddr(const char* ip, int port, sockaddr_storage* ss, socklen_t* len) {
  std::memset(ss, 0, sizeof(*ss));
  if (std::strchr(ip, ':') != nullptr) {
    sockaddr_in6* a = reinterpret_cast<sockaddr_in6*>(ss);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    *len = sizeof(*a);
    return inet_pton(AF_INET6, ip, &a->sin6_addr) == 1;
  }
  sockaddr_in* a = reinterpret_cast<sockaddr_in*>(ss);
  a->sin_family = AF_INET;
  a->sin_port = htons(static_cast<uint16_t>(port));
  *len = sizeof(*a);
  return inet_pton(AF_INET, ip, &a->sin_addr) == 1;
}

// A UDP socket bound to ip:port, or -1.
inline int bindUdp(const char* ip, int port) {
  sockaddr_storage ss;
  socklen_t len;
  if (!fillAddr(ip, port, &ss, &len)) return -1;
  int fd = socket(ss.ss_family, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline bool portFree(const char* ip, int port) {
  int fd = bindUdp(ip, port);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

inline bool rangeFree(const char* ip, int from, int to) {
  for (int p = from; p <= to; p++) {
    if (!portFree(ip, p)) return false;
  }
  return true;
}

// The first port of a lane of kLaneWidth ports that is free on both
// loopback addresses. Every test uses its own lane number (0 .. 29), so
// tests run in parallel never share ports; a busy lane moves 6000 up.
inline int laneBase(int lane) {
  for (int k = 0; k < 2; k++) {
    int base = 20000 + k * 6000 + lane * kLaneWidth;
    if (rangeFree("127.0.0.1", base, base + kLaneWidth - 1) &&
        rangeFree("::1", base, base + kLaneWidth - 1)) {
      return base;
    }
  }
  return 0;
}

// The local port of a socket descriptor.
inline int localPortOf(int fd) {
  sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return -1;
  if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

inline int familyOf(int fd) {
  sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return -1;
  return ss.ss_family;
}

// Reports the kernel's drops in the test's output: a property of the test
// and a line on stdout.
inline void reportKernelDrops(const std::string& what, long drops) {
  ::testing::Test::RecordProperty("kernel_drops_" + what, std::to_string(drops));
  std::printf("kernel queue drops (%s): %ld\n", what.c_str(), drops);
  std::fflush(stdout);
}

// Holds ports taken by sockets of its own.
class PortBlocker {
 public:
  PortBlocker(const char* ip) : ip_(ip) {}
  ~PortBlocker() {
    for (int fd : fds_) ::close(fd);
  }
  bool block(int port) {
    int fd = bindUdp(ip_, port);
    if (fd >= 0) fds_.push_back(fd);
    return fd >= 0;
  }
  bool blockRange(int from, int to) {
    bool all = true;
    for (int p = from; p <= to; p++) all = block(p) && all;
    return all;
  }

 private:
  const char* ip_;
  std::vector<int> fds_;
};

// Sends one datagram from a fresh socket; true when it left.
inline bool sendDatagram(const char* ip, int port, const std::string& bytes) {
  sockaddr_storage ss;
  socklen_t len;
  if (!fillAddr(ip, port, &ss, &len)) return false;
  int fd = socket(ss.ss_family, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  ssize_t n = sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&ss), len);
  ::close(fd);
  return n == static_cast<ssize_t>(bytes.size());
}

// A leg on an ephemeral 127.0.0.1 port that records what its thread calls.
// received() reads the datagram (unless drain is off), then stays inside
// while hold is set (at most 10 s), and throws once when throwOnce is set.
class ProbeLeg : public RTex {
 public:
  explicit ProbeLeg(bool drain = true) : drain_(drain) {
    udpSender.open(0);
    udpSender.setLocalAddrPort("127.0.0.1", 0, 0);
    udpReceiver.setSameSocket(&udpSender);
    pollDesc = udpSender.getDesc();
  }

  void received(int64_t now) override {
    if (drain_) {
      char buf[2048];
      udpReceiver.recv(buf, sizeof(buf));
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      recvTimes_.push_back(now);
    }
    inside = true;
    for (int i = 0; hold && i < 1000; i++) JLangThread::sleep(10);
    inside = false;
    if (throwOnce.exchange(false)) throw std::runtime_error("probe");
  }

  void unreceived(int64_t now) override {
    std::lock_guard<std::mutex> lock(mu_);
    unrecvTimes_.push_back(now);
  }

  int port() { return localPortOf(pollDesc); }
  bool poke() { return sendDatagram("127.0.0.1", port(), "datagram"); }
  std::vector<int64_t> recvTimes() {
    std::lock_guard<std::mutex> lock(mu_);
    return recvTimes_;
  }
  std::vector<int64_t> unrecvTimes() {
    std::lock_guard<std::mutex> lock(mu_);
    return unrecvTimes_;
  }
  size_t recvCount() { return recvTimes().size(); }
  size_t unrecvCount() { return unrecvTimes().size(); }

  std::atomic<bool> hold{false};
  std::atomic<bool> inside{false};
  std::atomic<bool> throwOnce{false};

 private:
  bool drain_;
  std::mutex mu_;
  std::vector<int64_t> recvTimes_;
  std::vector<int64_t> unrecvTimes_;
};

// Serves the "GC" queue as the event worker does for deferred deletes,
// until destroyed.
class GcWorker {
 public:
  static const int kStop = 9999;

  GcWorker() : thread_([this] { loop(); }) {}
  ~GcWorker() {
    RTPex::evQ[0]->post(kStop, 0, static_cast<void*>(nullptr));
    thread_.join();
  }
  int retries() const { return retries_.load(); }

 private:
  void loop() {
    for (;;) {
      EventObj ev = RTPex::evQ[0]->waitForEvent();
      if (ev.type == kStop) return;
      if (ev.type != RTPex::EV_DELETE_RETRY) continue;
      retries_++;
      RTPex::handleDeleteRetry(RTPex::evQ[0], static_cast<RTPex*>(ev.data));
    }
  }

  std::atomic<int> retries_{0};
  std::thread thread_;
};

// Installs a dispatcher of its own as RTex::dispatcher for a scope. Every
// endpoint made under it must be deleted before the scope ends.
class ScopedDispatcher {
 public:
  explicit ScopedDispatcher(RTexDispatcher* fresh) : old_(RTex::dispatcher), own_(fresh) {
    RTex::dispatcher = fresh;
  }
  ~ScopedDispatcher() {
    RTex::dispatcher = old_;
    delete own_;
  }

 private:
  RTexDispatcher* old_;
  RTexDispatcher* own_;
};

// A dispatcher of type D (made from args) with a given per-thread bound.
template <class D = RTexDispatcher, class... Args>
D* dispatcherWith(int maxRunners, Args... args) {
  int saved = RTexDispatcher::maxRunnerInThread;
  RTexDispatcher::maxRunnerInThread = maxRunners;
  D* d = new D(args...);
  RTexDispatcher::maxRunnerInThread = saved;
  return d;
}

// Opens an endpoint on 127.0.0.1 or ::1 in [from, to]; its id or 0.
inline int64_t openOn(const char* ip, int from, int to, int64_t sid = 1) {
  int16_t v6 = std::strchr(ip, ':') != nullptr ? 1 : 0;
  return RTPex::newInstance(sid, 0, from, to, from, 0, 0, "host", 512, 512, 0, v6, 0, ip, 0);
}

// Fixture of the engine tests: the engine set up, port lanes by number.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { setUpEngine(); }
  int lane(int n) {
    int base = laneBase(n);
    EXPECT_NE(0, base) << "no free port lane";
    return base;
  }
};

}  // namespace relaytest

#endif  // TESTS_RELAYTEST_H
