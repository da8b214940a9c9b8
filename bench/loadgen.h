// Load generator and sink on loopback: far ends that send 172-byte RTP
// packets (send time and a 32-bit sequence in the payload) at a rate or flat
// out, and sinks that count every stream, check its order and measure the
// time each packet took.
#ifndef BENCH_LOADGEN_H
#define BENCH_LOADGEN_H

#include <netinet/in.h>
#include <srtp2/srtp.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace bench {

const int kPacketSize = 172;
const int kHeaderSize = 12;

int64_t nowNs();
// CPU time of a clock id (a thread's or the process's), ns.
int64_t cpuNs(clockid_t clock);

// A UDP socket bound to 127.0.0.1 on port (0: ephemeral); -1 on failure.
int bindLoopback(int port);
int portOf(int fd);
sockaddr_in loopbackAddr(int port);

// One far end: a socket that sends one stream and receives the peer's.
struct FarEnd {
  FarEnd();
  ~FarEnd();
  FarEnd(const FarEnd&) = delete;
  FarEnd& operator=(const FarEnd&) = delete;

  int fd;
  uint32_t ssrc;      // id of the stream it sends
  uint32_t peerSsrc;  // id of the stream it receives
  sockaddr_in to;   // where it sends
  srtp_t protect;   // set: what it sends is SRTP
  srtp_t unprotect; // set: what it receives is SRTP
  // Sender side, owned by one sender thread.
  uint32_t sent;
  // Sink side, owned by one sink thread.
  uint64_t received;
  uint64_t reordered;
  uint64_t bad;  // not a packet of the expected stream, or SRTP failed
  int64_t highest;  // highest sequence seen, -1 before the first
};

// Added latency in 1 us buckets up to 50 ms, plus the exact maximum.
class Histogram {
 public:
  static const int kBuckets = 50000;
  Histogram() : counts_(kBuckets + 1, 0), total_(0), maxNs_(0) {}
  void add(int64_t ns);
  void merge(const Histogram& other);
  // Value at fraction q (0..1) in us; 0 when empty.
  double quantileUs(double q) const;
  double maxUs() const { return maxNs_ / 1000.0; }
  uint64_t total() const { return total_; }

 private:
  std::vector<uint64_t> counts_;
  uint64_t total_;
  int64_t maxNs_;
};

// A libsrtp2 session over a 30-byte master key (AES_CM_128_HMAC_SHA1_80).
srtp_t makeSrtp(const unsigned char* key, bool outbound);

// The traffic of one run: sender and sink threads over a set of far ends.
class Traffic {
 public:
  struct Options {
    int rate = 0;            // packets per second per stream; 0: flat out
    int senderThreads = 1;
    int sinkThreads = 1;
    uint32_t maxPackets = 0;  // per stream; 0: until stopped
    int64_t warmupNs = 200000000;  // latency of packets sent earlier is not kept
  };

  Traffic(std::vector<FarEnd*> ends, const Options& opts);
  ~Traffic();

  void start();
  // True once every stream has sent maxPackets (never without a limit).
  bool sendersDone() const;
  // Stops the senders, waits for what is under way (until all arrived, or
  // nothing arrived for quietMs, at most drainMs), stops the sinks.
  void stop(int drainMs, int quietMs);

  uint64_t receivedNow() const;  // all sinks, while running
  int64_t generatorCpuNs() const;  // sender and sink threads, while running

  uint64_t sent() const;
  uint64_t received() const;
  uint64_t reordered() const;
  uint64_t bad() const;
  const Histogram& latency() const { return latency_; }

 private:
  struct Sink {
    std::vector<FarEnd*> ends;
    Histogram hist;
    std::atomic<uint64_t> count{0};
    std::thread thread;
    clockid_t clock = 0;
  };
  struct Sender {
    std::vector<FarEnd*> ends;
    std::thread thread;
    clockid_t clock = 0;
  };

  void sendLoop(Sender* s);
  void sinkLoop(Sink* s);
  void take(Sink* s, FarEnd* e, unsigned char* buf, int n, int64_t now);
  // A field of every far end, added up.
  template <class N>
  uint64_t sum(N FarEnd::*field) const;

  std::vector<FarEnd*> ends_;
  Options opts_;
  int64_t startNs_;
  std::atomic<bool> sending_;
  std::atomic<bool> sinking_;
  std::atomic<int> sendersRunning_;
  std::vector<std::unique_ptr<Sender>> senders_;
  std::vector<std::unique_ptr<Sink>> sinks_;
  Histogram latency_;
};

}  // namespace bench

#endif  // BENCH_LOADGEN_H
