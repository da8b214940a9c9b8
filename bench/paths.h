// The two roads the benchmark drives the same streams through: the relay
// engine itself and a bare forwarder (poll + recvfrom + sendto, one thread
// per 64 sockets), the practical limit.
#ifndef BENCH_PATHS_H
#define BENCH_PATHS_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loadgen.h"

namespace bench {

// Sockets per thread of both roads; each endpoint has an RTP and an RTCP
// socket, as the relay's.
const int kSocketsPerThread = 64;

inline int threadsFor(int calls) {
  return (calls * 4 + kSocketsPerThread - 1) / kSocketsPerThread;
}

// Far ends are in pairs: ends[2c] and ends[2c + 1] are the two sides of call c.
class Path {
 public:
  virtual ~Path() {}
  virtual const char* name() const = 0;
  // Opens the calls and points every far end at its side.
  virtual bool open(const std::vector<FarEnd*>& ends, bool srtp) = 0;
  virtual void close() = 0;
};

// ---- relay ------------------------------------------------------------------------

// Serves the engine's "GC" and "EVENT" queues as the host's worker threads do.
class EngineWorker {
 public:
  EngineWorker();
  ~EngineWorker();

 private:
  void serve(int queue);
  std::thread gc_;
  std::thread events_;
};

// Endpoint ports of one use, searched from a cursor that moves on.
class PortCursor {
 public:
  PortCursor(int min, int max) : min_(min), max_(max), next_(min) {}
  // Opens one endpoint on 127.0.0.1; its id or 0.
  int64_t open(int64_t sid);

 private:
  int min_;
  int max_;
  int next_;
};

class RelayPath : public Path {
 public:
  // Sets up the engine once per process.
  static void setUpEngine(const std::string& logPath);

  RelayPath() : ports_(47000, 52999) {}
  ~RelayPath() override { close(); }
  const char* name() const override { return "relay"; }
  bool open(const std::vector<FarEnd*>& ends, bool srtp) override;
  void close() override;

  // Opens, pairs and closes one call; false when an endpoint did not open.
  static bool churnOnce(PortCursor* ports);

  // RTP ports of the open endpoints.
  std::vector<int> ports() const;

 private:
  static bool pair(int64_t idA, int64_t idB, FarEnd* farA, FarEnd* farB, bool srtp);

  PortCursor ports_;
  std::vector<int64_t> ids_;
};

// ---- bare forwarder ------------------------------------------------------------

class BarePath : public Path {
 public:
  BarePath() : stop_(false) {}
  ~BarePath() override { close(); }
  const char* name() const override { return "bare"; }
  bool open(const std::vector<FarEnd*>& ends, bool srtp) override;
  void close() override;

 private:
  struct Socket {
    int fd;
    int partner;      // socket it forwards through; -1: an idle RTCP socket
    sockaddr_in dest; // where what arrives here goes
  };
  void forward(const std::vector<Socket>* group);

  std::atomic<bool> stop_;
  std::vector<std::unique_ptr<std::vector<Socket>>> groups_;
  std::vector<std::thread> threads_;
};

}  // namespace bench

#endif  // BENCH_PATHS_H
