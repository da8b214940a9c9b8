// Helpers for the datagram path tests: far ends on loopback sockets, an
// event worker stand-in for both queues, the settings the paths read, the
// fixture with its endpoints, and datagram builders.
#ifndef TESTS_PATHTEST_H
#define TESTS_PATHTEST_H

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "relaytest.h"

namespace pathtest {

// Endpoint ports of these tests; the search skips ports in use.
const int kPortMin = 41000;
const int kPortMax = 41999;
const int kWaitMs = 10000;

// A far end: a UDP socket on a loopback address and a port, ephemeral
// unless given. It sends to ports on its own address, or on peer.
class FarEnd {
 public:
  explicit FarEnd(const char* ip, int port = 0, const char* peer = nullptr)
      : ip_(ip), peer_(peer != nullptr ? peer : ip), fd_(relaytest::bindUdp(ip, port)) {
    int on = 1;  // every datagram brings the socket's drop count
    if (fd_ >= 0) ::setsockopt(fd_, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof(on));
  }
  ~FarEnd() {
    if (fd_ >= 0) ::close(fd_);
  }
  FarEnd(const FarEnd&) = delete;
  FarEnd& operator=(const FarEnd&) = delete;

  bool ok() const { return fd_ >= 0; }
  int port() const { return relaytest::localPortOf(fd_); }
  const char* ip() const { return ip_; }

  bool sendTo(int port, const std::string& bytes) const {
    sockaddr_storage ss;
    socklen_t len;
    if (!relaytest::fillAddr(peer_, port, &ss, &len)) return false;
    ssize_t n = ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&ss), len);
    return n == static_cast<ssize_t>(bytes.size());
  }

  // Waits up to ms for one datagram; false when none came. from gets the
  // sender's port.
  bool receive(std::string* bytes, int* from = nullptr, int ms = kWaitMs) const {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    return take(bytes, from);
  }

  // True when a datagram is waiting now (never blocks).
  bool pending() const {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
  }

  // Datagrams the kernel dropped because this socket's queue was full: the
  // count the last datagram brought, or the socket table's if higher (drops
  // after the last arrival).
  long drops() const {
    long table = relaytest::kernelDrops(port());
    long seen = static_cast<long>(drops_.load());
    return table > seen ? table : seen;
  }

  // Everything received until marker arrived (marker excluded); false when
  // it did not come in time.
  bool receiveUntil(const std::string& marker, std::vector<std::string>* before) const {
    for (int i = 0; i < 1000; i++) {
      std::string got;
      if (!receive(&got)) return false;
      if (got == marker) return true;
      before->push_back(got);
    }
    return false;
  }

 private:
  bool take(std::string* bytes, int* from) const {
    char buf[65536];
    sockaddr_storage ss;
    iovec iov{buf, sizeof(buf)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
    msghdr msg{};
    msg.msg_name = &ss;
    msg.msg_namelen = sizeof(ss);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ssize_t n = ::recvmsg(fd_, &msg, MSG_DONTWAIT);
    if (n < 0) return false;
    noteDrops(msg);
    bytes->assign(buf, static_cast<size_t>(n));
    if (from != nullptr) {
      *from = ss.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                                       : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    }
    return true;
  }

  void noteDrops(msghdr& msg) const {
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
        uint32_t count;
        std::memcpy(&count, CMSG_DATA(c), sizeof(count));
        drops_ = count;
      }
    }
  }

  const char* ip_;
  const char* peer_;
  int fd_;
  mutable std::atomic<uint32_t> drops_{0};
};

// Serves both queues as the event worker would: events 12 and 13 are
// recorded and their pins given back; deferred deletes are retried as the
// relay retries them. Stopping finishes the pending deletes first, for at
// most kDrainMs.
class EventWorker {
 public:
  static const int kMarker = 9998;
  static const int kStop = 9999;
  static const int kDrainMs = 30000;

  struct Delivered {
    int type;
    long param;
    int bufSize;  // recvBufSize at delivery
  };

  EventWorker() : events_([this] { serveEvents(); }), gc_([this] { serveGc(); }) {}
  ~EventWorker() {
    RTPex::evQ[0]->post(kStop, 0, static_cast<void*>(nullptr));
    gc_.join();
    RTPex::evQ[1]->post(kStop, 0, static_cast<void*>(nullptr));
    events_.join();
  }

  // Waits until every event posted before this call has been delivered.
  bool flush() {
    int mark = ++marks_;
    RTPex::evQ[1]->post(kMarker, mark, static_cast<void*>(nullptr));
    return relaytest::waitUntil([&] { return seenMark_.load() >= mark; }, kWaitMs);
  }

  std::vector<Delivered> of(long sid, int type) {
    std::lock_guard<std::mutex> hold(mu_);
    std::vector<Delivered> out;
    for (const Delivered& d : delivered_) {
      if (d.param == sid && d.type == type) out.push_back(d);
    }
    return out;
  }

  size_t count(long sid, int type) { return of(sid, type).size(); }

 private:
  void serveEvents() {
    for (;;) {
      EventObj ev = RTPex::evQ[1]->waitForEvent();
      if (ev.type == kStop) return;
      if (ev.type == kMarker) {
        seenMark_ = static_cast<int>(ev.param);
        continue;
      }
      RTPex* ep = static_cast<RTPex*>(ev.data);
      {
        std::lock_guard<std::mutex> hold(mu_);
        delivered_.push_back(Delivered{ev.type, ev.param, ep->recvBufSize.load()});
      }
      RTPex::unpin(ep);
    }
  }

  void serveGc() {
    EventQueue* q = RTPex::evQ[0];
    int64_t stopAt = 0;
    for (;;) {
      if (stopAt != 0 && (q->totalEventCount() == 0 ||
                          JLangSystem::currentTimeMillis() - stopAt > kDrainMs)) {
        return;
      }
      EventObj ev = q->waitForEvent();
      if (ev.type == kStop) stopAt = JLangSystem::currentTimeMillis();
      if (ev.type == RTPex::EV_DELETE_RETRY) {
        RTPex::handleDeleteRetry(q, static_cast<RTPex*>(ev.data));
      }
    }
  }

  std::mutex mu_;
  std::vector<Delivered> delivered_;
  std::atomic<int> marks_{0};
  std::atomic<int> seenMark_{0};
  std::thread events_;
  std::thread gc_;
};

// The settings the paths read, restored at the end of a scope. Change them
// only before the endpoints they should affect are opened.
class SavedSettings {
 public:
  SavedSettings()
      : stun(RTPex::STUN_INTERVAL),
        behindNat(RTPex::SEND_BEHINDNAT),
        dtls(RTPex::PACKET_SIZE_DTLS),
        rtcp(RTPex::BLOCK_RTCP),
        stunBlock(RTPex::BLOCK_STUN),
        dtlsBlock(RTPex::BLOCK_DTLS),
        unknown(RTPex::BLOCK_UNKNOWN) {}
  ~SavedSettings() {
    RTPex::STUN_INTERVAL = stun;
    RTPex::SEND_BEHINDNAT = behindNat;
    RTPex::PACKET_SIZE_DTLS = dtls;
    RTPex::BLOCK_RTCP = rtcp;
    RTPex::BLOCK_STUN = stunBlock;
    RTPex::BLOCK_DTLS = dtlsBlock;
    RTPex::BLOCK_UNKNOWN = unknown;
  }

 private:
  int stun;
  bool behindNat;
  int dtls;
  int rtcp, stunBlock, dtlsBlock, unknown;
};

// ---- fixture ------------------------------------------------------------------

// How an endpoint is opened: receive buffers, learning allowed, time-out.
struct Options {
  int rtpBuf = 2048;
  int rtcpBuf = 2048;
  bool behindNat = false;
  int64_t timeout = 0;
};

// Fixture of the path tests: the engine, an event worker, the settings
// restored, and endpoints that stay pinned by the test until its end.
class PathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    relaytest::setUpEngine();
    worker.reset(new EventWorker());
  }

  void TearDown() override {
    pins_.clear();
    for (int64_t id : ids_) RTPex::closeAndDelete(id);
    worker.reset();  // finishes the deferred deletes
  }

  // An endpoint on ip, held pinned by the test until the end.
  RTPex* open(const char* ip, int64_t sid, const Options& o = Options()) {
    int16_t v6 = std::strchr(ip, ':') != nullptr ? 1 : 0;
    int start = kPortMin + (getpid() * 37 % 400) * 2;
    int64_t id = RTPex::newInstance(sid, 0, kPortMin, kPortMax, start, 0, o.timeout, "host",
                                    o.rtpBuf, o.rtcpBuf, o.behindNat ? 1 : 0, v6, 0, ip, 0);
    if (id == 0) {
      ADD_FAILURE() << "no endpoint on " << ip;
      return nullptr;
    }
    ids_.push_back(id);
    pins_.push_back(RTPexPin::find(id));
    return pins_.back().get();
  }

  // Opens a (session sid) and b (sid + 1) on ip and pairs them; what
  // arrives on either leg of a leaves b towards out. False when either is
  // missing.
  bool openPair(const char* ip, int64_t sid, const FarEnd& out, const Options& oa = Options(),
                const Options& ob = Options()) {
    a = open(ip, sid, oa);
    b = open(ip, sid + 1, ob);
    if (a == nullptr || b == nullptr) return false;
    target(a, out);
    target(&a->rtcp, out);
    pair(a, b);
    return true;
  }

  static void pair(RTPex* x, RTPex* y) {
    x->setSender(y);
    y->setSender(x);
  }

  static void target(RTex* leg, const FarEnd& far, bool learn = false) {
    std::string ip = far.ip();
    leg->setTarget(ip, far.port(), 0, learn);
  }

  static bool counted(RTex* leg, int n) {
    return relaytest::waitUntil([&] { return leg->cntPacket.load() == n; }, kWaitMs);
  }

  // Registry, partner and test pins once nothing else holds ep.
  static bool pinsSettle(RTPex* ep, int n) {
    return relaytest::waitUntil([&] { return ep->referCounter.load() == n; }, kWaitMs);
  }

  static InetAddrPort lastFromOf(RTex* leg) {
    Synchronized hold(&leg->addrLock);
    return leg->lastFrom;
  }

  static InetAddrPort sendToOf(RTex* leg) {
    Synchronized hold(&leg->addrLock);
    return leg->sendTo;
  }

  // Sends d and then marker from far to port; what arrived at out before
  // the marker.
  static std::vector<std::string> before(const FarEnd& far, int port, const std::string& d,
                                         const std::string& marker, const FarEnd& out) {
    std::vector<std::string> got;
    EXPECT_TRUE(far.sendTo(port, d));
    EXPECT_TRUE(far.sendTo(port, marker));
    EXPECT_TRUE(out.receiveUntil(marker, &got)) << "marker did not arrive";
    return got;
  }

  // Each of sent arrives at at, in order, from the port fromPort.
  static void expectArrivals(const FarEnd& at, const std::vector<std::string>& sent,
                             int fromPort) {
    for (const std::string& d : sent) {
      std::string got;
      int from = 0;
      ASSERT_TRUE(at.receive(&got, &from));
      EXPECT_EQ(d, got);
      EXPECT_EQ(fromPort, from);
    }
  }

  SavedSettings saved;  // restored after TearDown
  std::unique_ptr<EventWorker> worker;
  RTPex* a = nullptr;  // the pair of openPair
  RTPex* b = nullptr;

 private:
  std::vector<int64_t> ids_;
  std::vector<RTPexPin> pins_;
};

// ---- datagrams ----------------------------------------------------------------

// Two header bytes, then tag, padded with 'x' to at least size bytes.
inline std::string datagram(unsigned char b0, unsigned char b1, const std::string& tag,
                            size_t size = 12) {
  std::string d;
  d.push_back(static_cast<char>(b0));
  d.push_back(static_cast<char>(b1));
  d += tag;
  if (d.size() < size) d.append(size - d.size(), 'x');
  return d;
}

inline std::string rtp(const std::string& tag, int payloadType = 0, size_t size = 12) {
  return datagram(0x80, static_cast<unsigned char>(payloadType), tag, size);
}

// Sender report (type 200).
inline std::string rtcpSr(const std::string& tag, size_t size = 12) {
  return datagram(0x81, 0xC8, tag, size);
}

// A STUN header: first byte 0 for a request, 1 for an answer; the tag
// fills the transaction id.
inline std::string stun(bool answer, const std::string& tag) {
  std::string d;
  d.push_back(static_cast<char>(answer ? 0x01 : 0x00));
  d.push_back(static_cast<char>(0x01));
  d.append(2, '\0');
  d += "\x21\x12\xA4\x42";
  std::string id = tag;
  id.resize(12, 'x');
  return d + id;
}

inline std::string dtls(const std::string& tag, size_t size = 40) {
  return datagram(0x16, 0xFE, tag, size);
}

}  // namespace pathtest

#endif  // TESTS_PATHTEST_H
