#include "RTPex.h"

#ifndef _WIN32
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "SRTPInfo.h"
#include "jlang.h"
#include "jniutils.h"

// ---- statics ------------------------------------------------------------------

uint32_t ID_SEC = 0;

int RTexDispatcher::maxRunnerInThread = 64;

RTexDispatcher* RTex::dispatcher = nullptr;
long RTex::timeoutSocket = 200;
long RTex::TIMEOUT_RECV = 1;
#ifdef _WIN32
bool RTex::BIND_TO_DEVICE = true;
#else
bool RTex::BIND_TO_DEVICE = false;
#endif

WaitObject* RTPex::woStatic = nullptr;
WaitObject* RTPex::woStaticPortSearch = nullptr;
RTPexMap* RTPex::mapIDObj = nullptr;
std::atomic<int> RTPex::bShutdown(0);
EventQueue* RTPex::evQ[2] = {nullptr, nullptr};

int RTPex::STUN_INTERVAL = 2000;
bool RTPex::SEND_BEHINDNAT = false;
int RTPex::PACKET_SIZE_DTLS = 1500;
#ifdef _WIN32
int RTPex::RECV_BUF_SIZE = 20000;
#else
int RTPex::RECV_BUF_SIZE = -1;
#endif
int RTPex::BLOCK_RTCP = 0;
int RTPex::BLOCK_STUN = 0;
int RTPex::BLOCK_DTLS = 0;
int RTPex::BLOCK_UNKNOWN = 0;
std::map<std::string, std::string> RTPex::smIpIf;
const char* const RTPex::REVISION = "1";

namespace {

const int kMaxSocketsPerThread = SocketSelector::MAX_SOCKETS;
const int64_t kSweepPeriodMs = 200;
const int kIdleWaitMs = 3000;
const int kPauseAfterFailureMs = 80;
// Ports and P + 1 are 16-bit: a range reaching higher would wrap.
const int kHighestPortMax = 65533;

void clearRecord(InetAddrPort* r) {
  std::memset(r->addr, 0, sizeof(r->addr));
  r->port = 0;
  r->scopeId = 0;
}

}  // namespace

// ---- legs -------------------------------------------------------------------

RTex::RTex()
    : recvBuf(nullptr),
      recvBufSize(0),
      cntPacket(0),
      initialBufSize(0),
      waitNat(false),
      behindNatEnabled(false),
      destApplied(false),
      pollDesc(NO_SOCKET),
      gotData(0) {}

RTex::~RTex() {
  delete[] recvBuf;
  recvBuf = nullptr;
  // The records, udpSender (closing the socket), udpReceiver (closing a
  // descriptor it still holds) and addrLock go with the members.
}

void RTex::received(int64_t now) {}

void RTex::unreceived(int64_t now) {}

void RTex::resetLeg() {
  clearRecord(&sendTo);
  clearRecord(&learnedAddr);
  clearRecord(&target);
  clearRecord(&lastFrom);
  clearRecord(&appliedDest);
  waitNat = false;
  cntPacket = 0;
  destApplied = false;
  gotData = 0;
}

RTCPex::RTCPex() : owner(nullptr) {}

RTCPex::~RTCPex() {}

// ---- endpoint life ----------------------------------------------------------

RTPex::RTPex()
    : sessionTimeout(0),
      lastRecvTime(0),
      sid(0),
      hostByte(0),
      countedConcurrent(false),
      localPort(0),
      ipv6(0),
      sender(nullptr),
      startTime(0),
      cryptoSend(nullptr),
      cryptoRecv(nullptr),
      stunState(0),
      stunCandidates(nullptr),
      stunCandidateCount(0),
      closing(0),
      referCounter(0),
      requestedBufSize(0),
      payloadType(-1),
      srtpMode(0),
      scopeId(0) {
  rtcp.owner = this;
}

RTPex::~RTPex() {
  // Each socket is closed once, by its leg's udpSender.
  udpReceiver.setDesc(NO_SOCKET);
  rtcp.udpReceiver.setDesc(NO_SOCKET);
  delete cryptoSend;
  delete cryptoRecv;
  cryptoSend = nullptr;
  cryptoRecv = nullptr;
  freeStunCandidates();
}

void RTPex::freeStunCandidates() {
  if (stunCandidates != nullptr) {
    // The array is zero-filled when made, so unused slots are null.
    for (int i = 0; i < STUN_CANDIDATE_MAX; i++) delete stunCandidates[i];
    delete[] stunCandidates;
  }
  stunCandidates = nullptr;
  stunCandidateCount = 0;
}

void RTPex::dropCrypto() {
  Synchronized hold(SRTPInfo::wo);
  delete cryptoSend;
  delete cryptoRecv;
  cryptoSend = nullptr;
  cryptoRecv = nullptr;
}

void RTPex::initEngine() {
  woStatic = new WaitObject();
  SRTPInfo::initStatic();
  woStaticPortSearch = new WaitObject();
  mapIDObj = new RTPexMap();
  evQ[0] = new EventQueue();
  evQ[1] = new EventQueue();
  RTex::dispatcher = new RTexDispatcher();
}

int64_t RTPex::newInstance(int64_t sid, unsigned char hostByte, int portMin, int portMax,
                           int portStart, int tos, int64_t sessionTimeout,
                           const std::string& hostText, int rtpBufSize, int rtcpBufSize,
                           unsigned char behindNat, int16_t ipv6, unsigned char srtpPending,
                           const std::string& bindIp, int scopeId) {
  if (bShutdown.load() != 0) return 0;
  RTPex* ep = new RTPex();
  ep->sid = sid;
  ep->hostByte = hostByte;
  ep->bindIp = bindIp;
  ep->scopeId = scopeId;
  ep->initialBufSize = rtpBufSize;
  ep->rtcp.initialBufSize = rtcpBufSize;
  try {
    ep->initialize(portMin, portMax, portStart, tos, ipv6);
  } catch (...) {
    // Legs that reached a receive thread make the delete wait for it.
    ep->close();
    deleteNowOrLater(ep, 0);
    throw;
  }
  if (ep->localPort == 0) {
    deleteNowOrLater(ep, 0);
    return 0;
  }
  ep->sessionTimeout = sessionTimeout;
  ep->lastRecvTime = 0;
  ep->hostText = hostText;
  ep->behindNatEnabled = behindNat != 0;
  ep->rtcp.behindNatEnabled = behindNat != 0;
  ep->srtpMode = srtpPending != 0 ? 1 : 0;

  Synchronized hold(woStatic);
  int64_t id = static_cast<int64_t>((static_cast<uint64_t>(ID_SEC) << 32) |
                                    static_cast<uint32_t>(ep->localPort));
  ID_SEC++;
  ep->referCounter = 1;
  (*mapIDObj)[id] = ep;
  return id;
}

RTPex* RTPex::idToObj(int64_t id) {
  if (woStatic == nullptr) return nullptr;  // before start-up: nothing is registered
  Synchronized hold(woStatic);
  if (bShutdown.load() != 0) return nullptr;
  RTPexMap::iterator it = mapIDObj->find(id);
  if (it == mapIDObj->end()) return nullptr;
  it->second->referCounter++;
  return it->second;
}

void RTPex::pin(RTPex* ep) {
  Synchronized hold(woStatic);
  ep->referCounter++;
}

void RTPex::unpin(RTPex* ep) {
  Synchronized hold(woStatic);
  ep->referCounter--;
}

RTPexPin RTPexPin::take(RTPex* ep) {
  if (ep != nullptr) RTPex::pin(ep);
  return RTPexPin(ep);
}

void RTPex::setSender(RTPex* other) {
  {
    Synchronized hold(woStatic);
    if (closing != 0) return;
    if (sender != other) {
      if (sender != nullptr) sender->referCounter--;
      other->referCounter++;
      sender = other;
    }
  }
  lastRecvTime = JLangSystem::currentTimeMillis();
}

void RTPex::releaseSender() {
  {
    Synchronized hold(woStatic);
    if (sender != nullptr) sender->referCounter--;
    sender = nullptr;
  }
  lastRecvTime = 0;
  Synchronized hold(SRTPInfo::wo);
  if (countedConcurrent) {
    countedConcurrent = false;
    SRTPInfo::addConcurrent(-1);
  }
}

void RTPex::close() {
  releaseSender();
  RTex::dispatcher->removeRunner(&rtcp);
  RTex::dispatcher->removeRunner(this);
}

bool RTPex::legsStillPolled() { return !isSafeToDelete() || !rtcp.isSafeToDelete(); }

// The legs are tested first: once their threads have moved on, a pin that an
// old pass took (an event posted from it) is seen by the count read after.
int RTPex::prepareDelete() {
  if (legsStillPolled()) return 0;
  return referCounter.load() != 0 ? 0 : 1;
}

std::string RTPex::reasonCannotDelete() {
  std::string text = "sid " + std::to_string(sid.load());
  int pins = referCounter.load();
  if (pins > 0) text += ";referCounter=" + std::to_string(pins);
  if (!isSafeToDelete()) {
    text += ";removeRequestTID==thrd->id(" + std::to_string(removeRequestTID) + ")";
  }
  if (!rtcp.isSafeToDelete()) {
    text += ";rtcp.removeRequestTID==rtcp.thrd->id(" + std::to_string(rtcp.removeRequestTID) + ")";
  }
  return text;
}

void RTPex::deleteNowOrLater(RTPex* ep, int64_t param) {
  if (ep->prepareDelete() == 1) {
    delete ep;
    return;
  }
  evQ[0]->schedule(EV_DELETE_RETRY, param, ep, DELETE_RETRY_FIRST_MS);
}

int RTPex::closeAndDelete(int64_t id) {
  RTPex* ep = nullptr;
  try {
    Synchronized hold(woStatic);
    RTPexMap::iterator it = mapIDObj->find(id);
    if (it == mapIDObj->end()) return 0;
    ep = it->second;
    mapIDObj->erase(it);
    ep->closing = 1;
  } catch (...) {
    LOG_EXCEPTION_V("RTPex::closeAndDelete(", std::to_string(id) + ") 1");
    if (ep == nullptr) return 0;
  }
  try {
    ep->close();
    unpin(ep);  // the registry's pin
    deleteNowOrLater(ep, id);
  } catch (...) {
    LOG_EXCEPTION_V("RTPex::closeAndDelete(", std::to_string(id) + ") 2");
  }
  return 1;
}

void RTPex::handleDeleteRetry(EventQueue* queue, RTPex* ep) {
  if (ep->prepareDelete() == 1) {
    delete ep;
    return;
  }
  if (queue->totalEventCount() % 100 > 97) {
    logRecord("RTPex::workerThread() could not delete RTPex");
    if (woLog != nullptr) {
      // The queue is counted again while its record is written.
      Synchronized hold(woLog);
      logRecord("--- Count:", queue->totalEventCount());
    }
    logRecord("--- Reason:", ep->reasonCannotDelete());
  }
  logRecord("RTPex::workerThread() RTPex could not be deleted ", ep->sid.load());
  queue->schedule(EV_DELETE_RETRY, ep->localPort, ep, DELETE_RETRY_MS);
}

// Takes each leg's address lock in turn (never both): the legs' receive
// threads may be reading their records.
void RTPex::reinit() {
  {
    Synchronized hold(&rtcp.addrLock);
    rtcp.resetLeg();
  }
  Synchronized hold(&addrLock);
  resetLeg();
  freeStunCandidates();
  stunState = 0;
  lastRecvTime = 0;
  startTime = 0;
  payloadType = -1;
  dropCrypto();
}

// ---- port pair search -------------------------------------------------------

int RTPex::initialize(int portMin, int portMax, int portStart, int tos, short ipv6) {
  this->ipv6 = ipv6;
  int found;
  {
    Synchronized hold(woStaticPortSearch);
    found = bindPort(static_cast<unsigned short>(portMin), static_cast<unsigned short>(portMax),
                     static_cast<unsigned short>(portStart), tos, ipv6, bindIp, scopeId);
  }
  if (found == 0) {
    localPort = 0;
    return 0;
  }
  for (RTex* leg : {static_cast<RTex*>(this), static_cast<RTex*>(&rtcp)}) {
    leg->pollDesc = leg->udpSender.getDesc();
    leg->udpReceiver.setSameSocket(&leg->udpSender);
  }
  if (RECV_BUF_SIZE > 0) udpReceiver.setBufferSize(RECV_BUF_SIZE);
  addLegsOrUndo();
  return localPort != 0 ? 1 : 0;
}

// A leg that no receive thread took would never be read: the endpoint is
// then given up (localPort 0) rather than left half served.
void RTPex::addLegsOrUndo() {
  if (RTex::dispatcher->addRunner(this) != 0 && RTex::dispatcher->addRunner(&rtcp) != 0) return;
  RTex::dispatcher->removeRunner(&rtcp);
  RTex::dispatcher->removeRunner(this);
  logRecord("************************* port open failed: no receive thread, port:", localPort);
  localPort = 0;
}

namespace {

// The two sockets of one search and the error of the last failed bind.
struct PairSearch {
  UDPsender* rtp;
  UDPsender* rtcp;
  bool useV6;
  const std::string* bindIp;
  int scopeId;
  int lastBindError;

  // 1: both ports bound; 0: try the next; -1: gave up (record written).
  int attempt(int p, bool secondPass) {
    if (!rtp->setLocalAddrPort(*bindIp, static_cast<unsigned short>(p), scopeId)) {
      lastBindError = SocketCore::getError();
      rtp->close();
      rtp->open(useV6);
      if (!rtp->isOpened()) {
        rtcp->close();
        logRecord("************************* port open failed 3.3");
        return -1;
      }
      return 0;
    }
    if (rtcp->setLocalAddrPort(*bindIp, static_cast<unsigned short>(p + 1), scopeId)) return 1;
    lastBindError = SocketCore::getError();
    rtp->close();
    rtcp->close();
    rtp->open(useV6);
    if (!rtp->isOpened()) {
      logRecord(secondPass ? "************************* port open failed 4.1"
                           : "************************* port open failed 3.1");
      return -1;
    }
    rtcp->open(useV6);
    if (!rtcp->isOpened()) {
      rtp->close();
      logRecord(secondPass ? "************************* port open failed4.2"
                           : "************************* port open failed 3.2");
      return -1;
    }
    return 0;
  }
};

#ifdef _WIN32

void setRecvTimeout(UDPsender* sock, const char* text) {
  DWORD ms = static_cast<DWORD>(RTex::TIMEOUT_RECV);
  if (setsockopt(sock->getDesc(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms),
                 sizeof(ms)) == SOCKET_ERROR) {
    logRecord(text, "err=", WSAGetLastError());
  }
}

#else

void bindToDevice(UDPsender* sock, const std::string& dev, const char* text) {
  if (setsockopt(sock->getDesc(), SOL_SOCKET, SO_BINDTODEVICE, dev.data(),
                 static_cast<socklen_t>(dev.size())) != 0) {
    int err = errno;
    logRecord(text, err);
    logRecord(dev);
  }
}

void setRecvTimeout(UDPsender* sock, const char* text) {
  uint64_t ms = static_cast<uint64_t>(RTex::TIMEOUT_RECV);
  timeval tv;
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  if (setsockopt(sock->getDesc(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) < 0) {
    JNIUtils::dumpErrorString(text + std::to_string(errno));
  }
}

#endif  // _WIN32

}  // namespace

int RTPex::bindPort(unsigned short portMin, unsigned short portMax, unsigned short portStart,
                    int tos, int ipv6, std::string& bindIp, int scopeId) {
  if (portMin == 0) return 0;
  PairSearch s{&udpSender, &rtcp.udpSender, ipv6 == 1, &bindIp, scopeId, 0};
  try {
    s.rtp->open(s.useV6);
    if (!s.rtp->isOpened()) {
      logRecord("************************* port open failed 1");
      return 0;
    }
    s.rtcp->open(s.useV6);
    if (!s.rtcp->isOpened()) {
      s.rtp->close();
      logRecord("************************* port open failed 2");
      return 0;
    }
  } catch (...) {
    LOG_EXCEPTION("RTPex::bindPort() 1");
  }
  try {
    int start = portMin;
    if (portMin <= portStart && portStart <= portMax) start = portStart + (portStart & 1);
    int found = 0;
    int rc = 0;
    if (portMax <= kHighestPortMax) {
      for (int p = start; rc == 0 && p <= portMax; p += 2) {
        rc = s.attempt(p, false);
        if (rc == 1) found = p;
      }
      for (int p = portMin; rc == 0 && p < start; p += 2) {
        rc = s.attempt(p, true);
        if (rc == 1) found = p;
      }
    }
    if (rc < 0) return 0;
    if (found == 0) {
      s.rtp->close();
      s.rtcp->close();
      logRecord("************************* port open all failed min:", portMin, " max:", portMax,
                " errno:", s.lastBindError, "; bindIp:", bindIp, ",ScopeID:", scopeId,
                ",ipv6:", s.useV6 ? 1 : 0);
      return 0;
    }
    localPort = found;
    s.rtp->setTOS(tos);
    s.rtcp->setTOS(tos);
#ifndef _WIN32
    if (RTex::BIND_TO_DEVICE && !bindIp.empty()) {
      std::map<std::string, std::string>::iterator it = smIpIf.find(bindIp);
      if (it != smIpIf.end() && !it->second.empty()) {
        bindToDevice(s.rtp, it->second, "************************ setsockopt SO_BINDTODEVICE errno=");
        bindToDevice(s.rtcp, it->second,
                     "************************ setsockopt SO_BINDTODEVICE 2 errno=");
      }
    }
#endif
    setRecvTimeout(s.rtp, "Failed to set SO_RCVTIMEO 1,");
    setRecvTimeout(s.rtcp, "Failed to set SO_RCVTIMEO 2,");
    return 1;
  } catch (...) {
    LOG_EXCEPTION("RTPex::bindPort() 2");
    return 0;
  }
}

// ---- receive threads --------------------------------------------------------

RTexDispatcher::RTexDispatcher()
    : ThreadDispatcher<RTex>(std::min(maxRunnerInThread, kMaxSocketsPerThread)) {}

const char* RTexDispatcher::getDispacherName() { return "RTPreceiverDispatcher"; }

DispatchThread<RTex>* RTexDispatcher::newDispatchThread() { return new RTexDispatchThread(); }

RTexDispatchThread::RTexDispatchThread() {}

RTexDispatchThread::~RTexDispatchThread() {
  join();  // run() ends before the selector goes
}

void RTexDispatchThread::run() {
#ifdef _WIN32
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
#endif
  int changed = 0;
  int64_t lastSweep = 0;
  while (stopFlag.load() == 0) {
    try {
      if (adoptRunners()) changed = 1;
      if (changed == 1) {
        selector.clear();
        for (int i = 0; i < countInUse; i++) selector.add(runnersInUse[i]->pollDesc);
      }
      if (countInUse == 0) {
        waitForWork(kIdleWaitMs);
      } else {
        try {
          serve(&lastSweep);
        } catch (...) {
          LOG_EXCEPTION("RTexDispatchThread::run()");
          JLangThread::sleep(kPauseAfterFailureMs);
        }
      }
      changed = 0;
    } catch (...) {
      LOG_EXCEPTION("RTexDispatchThread::run() 2");
      JLangThread::sleep(kPauseAfterFailureMs);
    }
  }
}

void RTexDispatchThread::serve(int64_t* lastSweep) {
  if (selector.select(RTex::timeoutSocket)) {
    int64_t now = JLangSystem::currentTimeMillis();
    for (int i = 0; i < countInUse; i++) {
      if (!selector.isSelectedOfIndex(i)) continue;
      RTex* leg = runnersInUse[i];
      leg->gotData = 1;
      leg->received(now);
    }
  }
  int64_t t = JLangSystem::currentTimeMillis();
  if (t <= *lastSweep + kSweepPeriodMs) return;
  *lastSweep = t;  // a failing unreceived still counts the sweep as done
  for (int i = 0; i < countInUse; i++) {
    RTex* leg = runnersInUse[i];
    if (leg->gotData != 0) {
      leg->gotData = 0;
    } else {
      leg->unreceived(t);
    }
  }
}
