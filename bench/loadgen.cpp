#include "loadgen.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace bench {

namespace {

const int kTimeAt = kHeaderSize;         // send time, ns, host order
const int kSeqAt = kHeaderSize + 8;      // 32-bit sequence, host order
const int kBufSize = 2048;               // room for the SRTP trailer
const int kSinkBuffer = 4 * 1024 * 1024;

void put16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}

void put32(unsigned char* p, uint32_t v) {
  put16(p, static_cast<uint16_t>(v >> 16));
  put16(p + 2, static_cast<uint16_t>(v));
}

uint32_t get32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Builds packet seq of e's stream; returns its length on the wire.
int buildPacket(FarEnd* e, uint32_t seq, unsigned char* buf) {
  std::memset(buf, 0, kPacketSize);
  buf[0] = 0x80;
  buf[1] = 0;  // PCMU
  put16(buf + 2, static_cast<uint16_t>(seq));
  put32(buf + 4, seq * 160);
  put32(buf + 8, e->ssrc);
  std::memcpy(buf + kSeqAt, &seq, sizeof(seq));
  int64_t t = nowNs();
  std::memcpy(buf + kTimeAt, &t, sizeof(t));
  int len = kPacketSize;
  if (e->protect != nullptr && srtp_protect(e->protect, buf, &len) != srtp_err_status_ok) return -1;
  return len;
}

bool sendOne(FarEnd* e) {
  unsigned char buf[kBufSize];
  int len = buildPacket(e, e->sent, buf);
  if (len < 0) return false;
  ssize_t n = ::sendto(e->fd, buf, static_cast<size_t>(len), 0,
                       reinterpret_cast<const sockaddr*>(&e->to), sizeof(e->to));
  e->sent++;  // a packet that could not leave still takes its number
  return n == len;
}

clockid_t clockOf(std::thread* t) {
  clockid_t c = 0;
  pthread_getcpuclockid(t->native_handle(), &c);
  return c;
}

}  // namespace

int64_t nowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

int64_t cpuNs(clockid_t clock) {
  timespec ts;
  if (clock_gettime(clock, &ts) != 0) return 0;
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

sockaddr_in loopbackAddr(int port) {
  sockaddr_in a;
  std::memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

int bindLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a = loopbackAddr(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int portOf(int fd) {
  sockaddr_in a;
  socklen_t len = sizeof(a);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
  return ntohs(a.sin_port);
}

srtp_t makeSrtp(const unsigned char* key, bool outbound) {
  srtp_policy_t policy;
  std::memset(&policy, 0, sizeof(policy));
  srtp_crypto_policy_set_rtp_default(&policy.rtp);
  srtp_crypto_policy_set_rtcp_default(&policy.rtcp);
  policy.ssrc.type = outbound ? ssrc_any_outbound : ssrc_any_inbound;
  unsigned char copy[30];
  std::memcpy(copy, key, sizeof(copy));
  policy.key = copy;
  policy.window_size = 1024;
  srtp_t session = nullptr;
  if (srtp_create(&session, &policy) != srtp_err_status_ok) return nullptr;
  return session;
}

// ---- far ends ---------------------------------------------------------------

FarEnd::FarEnd()
    : fd(bindLoopback(0)),
      ssrc(0),
      peerSsrc(0),
      to(loopbackAddr(0)),
      protect(nullptr),
      unprotect(nullptr),
      sent(0),
      received(0),
      reordered(0),
      bad(0),
      highest(-1) {
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSinkBuffer, sizeof(kSinkBuffer));
}

FarEnd::~FarEnd() {
  if (protect != nullptr) srtp_dealloc(protect);
  if (unprotect != nullptr) srtp_dealloc(unprotect);
  if (fd >= 0) ::close(fd);
}

// ---- latency ----------------------------------------------------------------

void Histogram::add(int64_t ns) {
  if (ns < 0) ns = 0;
  int64_t us = ns / 1000;
  counts_[us < kBuckets ? us : kBuckets]++;
  total_++;
  maxNs_ = std::max(maxNs_, ns);
}

void Histogram::merge(const Histogram& other) {
  for (size_t i = 0; i < counts_.size(); i++) counts_[i] += other.counts_[i];
  total_ += other.total_;
  maxNs_ = std::max(maxNs_, other.maxNs_);
}

double Histogram::quantileUs(double q) const {
  if (total_ == 0) return 0;
  uint64_t want = static_cast<uint64_t>(q * static_cast<double>(total_ - 1)) + 1;
  uint64_t seen = 0;
  for (int i = 0; i <= kBuckets; i++) {
    seen += counts_[i];
    if (seen >= want) return i < kBuckets ? i + 0.5 : maxUs();
  }
  return maxUs();
}

// ---- traffic ------------------------------------------------------------------

Traffic::Traffic(std::vector<FarEnd*> ends, const Options& opts)
    : ends_(std::move(ends)), opts_(opts), startNs_(0), sending_(false), sinking_(false),
      sendersRunning_(0) {}

Traffic::~Traffic() { stop(0, 0); }

void Traffic::start() {
  startNs_ = nowNs();
  sending_ = true;
  sinking_ = true;
  int nSend = std::max(1, std::min<int>(opts_.senderThreads, static_cast<int>(ends_.size())));
  int nSink = std::max(1, std::min<int>(opts_.sinkThreads, static_cast<int>(ends_.size())));
  for (int i = 0; i < nSink; i++) sinks_.emplace_back(new Sink());
  for (int i = 0; i < nSend; i++) senders_.emplace_back(new Sender());
  for (size_t i = 0; i < ends_.size(); i++) {
    sinks_[i % nSink]->ends.push_back(ends_[i]);
    senders_[i % nSend]->ends.push_back(ends_[i]);
  }
  for (auto& s : sinks_) {
    s->thread = std::thread([this, p = s.get()] { sinkLoop(p); });
    s->clock = clockOf(&s->thread);
  }
  sendersRunning_ = nSend;
  for (auto& s : senders_) {
    s->thread = std::thread([this, p = s.get()] { sendLoop(p); });
    s->clock = clockOf(&s->thread);
  }
}

void Traffic::sendLoop(Sender* s) {
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  std::vector<FarEnd*>& ends = s->ends;
  const int64_t k = static_cast<int64_t>(ends.size());
  const uint32_t limit = opts_.maxPackets;
  const int64_t period = opts_.rate > 0 ? 1000000000LL / opts_.rate : 0;
  const int64_t t0 = nowNs();
  uint64_t done = 0;  // streams that reached the limit
  for (int64_t j = 0; sending_.load(std::memory_order_relaxed) && done < ends.size(); j++) {
    FarEnd* e = ends[static_cast<size_t>(j % k)];
    if (period > 0) {
      int64_t due = t0 + (j * period) / k;
      int64_t now = nowNs();
      if (due > now) {
        timespec ts{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
      }
    }
    if (limit != 0 && e->sent >= limit) continue;
    sendOne(e);
    if (limit != 0 && e->sent == limit) done++;
  }
  sendersRunning_--;
}

void Traffic::take(Sink* s, FarEnd* e, unsigned char* buf, int n, int64_t now) {
  if (e->unprotect != nullptr && srtp_unprotect(e->unprotect, buf, &n) != srtp_err_status_ok) {
    e->bad++;
    return;
  }
  if (n != kPacketSize || buf[0] != 0x80 || get32(buf + 8) != e->peerSsrc) {
    e->bad++;
    return;
  }
  uint32_t seq;
  int64_t t;
  std::memcpy(&seq, buf + kSeqAt, sizeof(seq));
  std::memcpy(&t, buf + kTimeAt, sizeof(t));
  e->received++;
  if (static_cast<int64_t>(seq) <= e->highest) {
    e->reordered++;
  } else {
    e->highest = seq;
  }
  if (t >= startNs_ + opts_.warmupNs) s->hist.add(now - t);
  s->count.fetch_add(1, std::memory_order_relaxed);
}

void Traffic::sinkLoop(Sink* s) {
  int ep = epoll_create1(0);
  if (ep < 0) return;
  for (FarEnd* e : s->ends) {
    epoll_event ev;
    ev.events = EPOLLIN;
    ev.data.ptr = e;
    epoll_ctl(ep, EPOLL_CTL_ADD, e->fd, &ev);
  }
  epoll_event events[256];
  unsigned char buf[kBufSize];
  while (sinking_.load(std::memory_order_relaxed)) {
    int ready = epoll_wait(ep, events, 256, 20);
    for (int i = 0; i < ready; i++) {
      FarEnd* e = static_cast<FarEnd*>(events[i].data.ptr);
      for (int m = 0; m < 64; m++) {
        ssize_t n = ::recv(e->fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n < 0) break;
        take(s, e, buf, static_cast<int>(n), nowNs());
      }
    }
  }
  ::close(ep);
}

bool Traffic::sendersDone() const {
  return opts_.maxPackets != 0 && !senders_.empty() && sendersRunning_.load() == 0;
}

void Traffic::stop(int drainMs, int quietMs) {
  if (senders_.empty() && sinks_.empty()) return;
  sending_ = false;
  for (auto& s : senders_) {
    if (s->thread.joinable()) s->thread.join();
  }
  uint64_t total = sent();
  uint64_t last = receivedNow();
  int64_t lastChange = nowNs();
  for (int waited = 0; waited < drainMs && last < total; waited += 5) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    uint64_t now = receivedNow();
    if (now != last) {
      last = now;
      lastChange = nowNs();
    } else if (nowNs() - lastChange > int64_t{quietMs} * 1000000) {
      break;
    }
  }
  sinking_ = false;
  for (auto& s : sinks_) {
    if (!s->thread.joinable()) continue;
    s->thread.join();
    latency_.merge(s->hist);
  }
  senders_.clear();
  sinks_.clear();
}

uint64_t Traffic::receivedNow() const {
  uint64_t n = 0;
  for (const auto& s : sinks_) n += s->count.load(std::memory_order_relaxed);
  return n;
}

int64_t Traffic::generatorCpuNs() const {
  int64_t n = 0;
  for (const auto& s : senders_) n += cpuNs(s->clock);
  for (const auto& s : sinks_) n += cpuNs(s->clock);
  return n;
}

template <class N>
uint64_t Traffic::sum(N FarEnd::*field) const {
  uint64_t n = 0;
  for (const FarEnd* e : ends_) n += e->*field;
  return n;
}

uint64_t Traffic::sent() const { return sum(&FarEnd::sent); }
uint64_t Traffic::received() const { return sum(&FarEnd::received); }
uint64_t Traffic::reordered() const { return sum(&FarEnd::reordered); }
uint64_t Traffic::bad() const { return sum(&FarEnd::bad); }

}  // namespace bench
