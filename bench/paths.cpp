#include "paths.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "RTPex.h"
#include "SRTPInfo.h"

namespace bench {

namespace {

const int kStopEvent = 9999;
const char kLoopback[] = "127.0.0.1";

void setTarget(RTPex* ep, int port) {
  std::string ip = kLoopback;
  ep->setTarget(ip, port, 0, false);
}

}  // namespace

// ---- engine worker ------------------------------------------------------------------

EngineWorker::EngineWorker() : gc_([this] { serve(0); }), events_([this] { serve(1); }) {}

EngineWorker::~EngineWorker() {
  RTPex::evQ[0]->post(kStopEvent, 0, static_cast<void*>(nullptr));
  RTPex::evQ[1]->post(kStopEvent, 0, static_cast<void*>(nullptr));
  gc_.join();
  events_.join();
}

void EngineWorker::serve(int queue) {
  for (;;) {
    EventObj ev = RTPex::evQ[queue]->waitForEvent();
    if (ev.type == kStopEvent) return;
    RTPex* ep = static_cast<RTPex*>(ev.data);
    if (queue == 0 && ev.type == RTPex::EV_DELETE_RETRY) {
      RTPex::handleDeleteRetry(RTPex::evQ[0], ep);
    } else if (queue == 1 && ep != nullptr) {
      RTPex::unpin(ep);  // an event carries a pin
    }
  }
}

// ---- relay ------------------------------------------------------------------------

void RelayPath::setUpEngine(const std::string& logPath) {
  InitTrace(logPath);
  RTPex::initEngine();
  srtp_init();
}

int64_t PortCursor::open(int64_t sid) {
  int64_t id = RTPex::newInstance(sid, 0, min_, max_, next_, 0, 0, "bench", 512, 512, 0, 0, 0,
                                  kLoopback, 0);
  if (id == 0) return 0;
  next_ = static_cast<int>(id & 0xFFFFFFFF) + 2;
  if (next_ > max_ - 1) next_ = min_;
  return id;
}

bool RelayPath::pair(int64_t idA, int64_t idB, FarEnd* farA, FarEnd* farB, bool srtp) {
  RTPexPin a = RTPexPin::find(idA);
  RTPexPin b = RTPexPin::find(idB);
  if (!a || !b) return false;
  // Without far ends (churn) both point at the discard port.
  setTarget(a.get(), farB != nullptr ? portOf(farB->fd) : 9);
  setTarget(b.get(), farA != nullptr ? portOf(farA->fd) : 9);
  a->setSender(b.get());
  b->setSender(a.get());
  if (farA != nullptr) farA->to = loopbackAddr(a->localPort);
  if (farB != nullptr) farB->to = loopbackAddr(b->localPort);
  if (!srtp) return true;

  // farA speaks SRTP: the relay removes it towards farB and adds it back.
  unsigned char sendKey[SRTPInfo::KEY_LEN];
  a->createCryptoToSend(0, sendKey);
  unsigned char farKey[SRTPInfo::KEY_LEN];
  SRTPInfo::drawKey(farKey);
  b->createCryptoToRecv(0, reinterpret_cast<signed char*>(farKey), sizeof(farKey));
  RTPex::startSrtp(a.get(), b.get());
  farA->unprotect = makeSrtp(sendKey, false);
  farA->protect = makeSrtp(farKey, true);
  return a->srtpMode.load() == 2 && farA->unprotect != nullptr && farA->protect != nullptr;
}

bool RelayPath::open(const std::vector<FarEnd*>& ends, bool srtp) {
  for (size_t i = 0; i + 1 < ends.size(); i += 2) {
    int64_t idA = ports_.open(static_cast<int64_t>(i + 1));
    int64_t idB = ports_.open(static_cast<int64_t>(i + 2));
    if (idA != 0) ids_.push_back(idA);
    if (idB != 0) ids_.push_back(idB);
    if (idA == 0 || idB == 0 || !pair(idA, idB, ends[i], ends[i + 1], srtp)) return false;
  }
  return true;
}

std::vector<int> RelayPath::ports() const {
  std::vector<int> out;
  for (int64_t id : ids_) out.push_back(static_cast<int>(id & 0xffffffff));
  return out;
}

void RelayPath::close() {
  for (int64_t id : ids_) RTPex::closeAndDelete(id);
  ids_.clear();
}

bool RelayPath::churnOnce(PortCursor* ports) {
  int64_t idA = ports->open(900001);
  int64_t idB = idA != 0 ? ports->open(900002) : 0;
  bool ok = idA != 0 && idB != 0 && pair(idA, idB, nullptr, nullptr, false);
  if (idA != 0) RTPex::closeAndDelete(idA);
  if (idB != 0) RTPex::closeAndDelete(idB);
  return ok;
}

// ---- bare forwarder ------------------------------------------------------------

bool BarePath::open(const std::vector<FarEnd*>& ends, bool srtp) {
  if (srtp) return false;  // it forwards only
  std::vector<Socket> all;
  bool ok = true;
  for (size_t i = 0; i + 1 < ends.size(); i += 2) {
    int fds[4];
    for (int& fd : fds) {
      fd = bindLoopback(0);
      ok = ok && fd >= 0;
    }
    // A's RTP socket, A's RTCP socket, B's RTP socket, B's RTCP socket.
    all.push_back(Socket{fds[0], fds[2], loopbackAddr(portOf(ends[i + 1]->fd))});
    all.push_back(Socket{fds[1], -1, loopbackAddr(0)});
    all.push_back(Socket{fds[2], fds[0], loopbackAddr(portOf(ends[i]->fd))});
    all.push_back(Socket{fds[3], -1, loopbackAddr(0)});
    ends[i]->to = loopbackAddr(portOf(fds[0]));
    ends[i + 1]->to = loopbackAddr(portOf(fds[2]));
  }
  stop_ = false;
  for (size_t at = 0; at < all.size(); at += kSocketsPerThread) {
    size_t end = std::min(all.size(), at + kSocketsPerThread);
    groups_.emplace_back(new std::vector<Socket>(all.begin() + at, all.begin() + end));
  }
  for (auto& g : groups_) threads_.emplace_back([this, p = g.get()] { forward(p); });
  return ok;
}

void BarePath::forward(const std::vector<Socket>* group) {
  std::vector<pollfd> fds;
  for (const Socket& s : *group) fds.push_back(pollfd{s.fd, POLLIN, 0});
  char buf[2048];
  while (!stop_.load(std::memory_order_relaxed)) {
    if (::poll(fds.data(), fds.size(), 200) <= 0) continue;
    for (size_t i = 0; i < fds.size(); i++) {
      if ((fds[i].revents & POLLIN) == 0) continue;
      const Socket& s = (*group)[i];
      sockaddr_storage from;
      socklen_t fromLen = sizeof(from);
      ssize_t n = ::recvfrom(s.fd, buf, sizeof(buf), MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&from), &fromLen);
      if (n > 0 && s.partner >= 0) {
        ::sendto(s.partner, buf, static_cast<size_t>(n), 0,
                 reinterpret_cast<const sockaddr*>(&s.dest), sizeof(s.dest));
      }
    }
  }
}

void BarePath::close() {
  stop_ = true;
  for (std::thread& t : threads_) t.join();
  threads_.clear();
  for (auto& g : groups_) {
    for (const Socket& s : *g) {
      if (s.fd >= 0) ::close(s.fd);
    }
  }
  groups_.clear();
}

}  // namespace bench
