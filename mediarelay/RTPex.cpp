// The relay engine: endpoints and their registry, the port-pair search, the
// receive threads, the datagram roads of the RTP and RTCP ports, start-up from
// the server's properties, teardown, the event worker that serves the Java
// threads lent through workthread0, and the status text.
#include "RTPex.h"

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#include <mmsystem.h>
#else
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#endif

#include <srtp2/srtp.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

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
// The highest RTP port whose RTCP port P + 1 is still a port.
const int kHighestPairStart = 65534;

}  // namespace

// ---- legs -------------------------------------------------------------------

RTex::RTex()
    : recvBuf(nullptr),
      recvBufSize(0),
      cntPacket(0),
      initialBufSize(0),
      firstBufRefused(false),
      waitNat(false),
      behindNatEnabled(false),
      pollDesc(NO_SOCKET),
      gotData(0),
      signalledVia(nullptr),
      learnOpen(false),
      signalledSeen(false),
      rtcpOnRtpPort(false) {}

RTex::~RTex() {
  delete[] recvBuf;
  recvBuf = nullptr;
  // The records, udpSender (closing the socket), udpReceiver (which only
  // borrows it) and addrLock go with the members.
}

void RTex::received(int64_t now) {}

void RTex::unreceived(int64_t now) {}

void RTex::resetLeg() {
  sendTo = learnedAddr = lastFrom = aim.socketDest = signalledFrom = InetAddrPort();
  target = LegTarget();
  forgetSignalled();
  rtcpOnRtpPort = false;
  waitNat = false;
  cntPacket = 0;
  aim.invalidate();
  gotData = 0;
  publishParty();
}

void RTex::setLearning(bool on) {
  Synchronized hold(&addrLock);
  behindNatEnabled = on;
  waitNat = on;
  // Armed afresh: only what is sent from now on counts.
  forgetSignalled();
}

void RTex::publishParty() {
  RTPex* ep = endpoint();
  if (ep == nullptr) return;
  char dest[InetAddrPort::ADDR_SIZE] = "";
  // A destination of port 0 is none yet (learning pending). The target's
  // forms are numeric as the relay writes a source already.
  if (sendTo.port != 0) SocketCore::sourceSpelling(sendTo.addr, dest);
  int first = ep == this ? 0 : PartyAddrs::kRtpSlots;
  const InetAddrPort* forms[] = {&sendTo, &target.v4, &target.v6};
  Synchronized hold(SRTPInfo::wo);
  for (int i = 0; i < 3; i++) {
    std::memcpy(ep->party.addr[first + i], i == 0 ? dest : forms[i]->addr, sizeof(dest));
    ep->party.port[first + i] = forms[i]->port;
  }
}

bool PartyAddrs::isRtpDestination(const InetAddrPort& source) const {
  for (int i = 0; i < kRtpSlots; i++) {
    if (addr[i][0] != '\0' && port[i] == source.port &&
        std::strncmp(addr[i], source.addr, InetAddrPort::ADDR_SIZE) == 0) {
      return true;
    }
  }
  return false;
}

bool PartyAddrs::has(const char* source) const {
  for (int i = 0; i < kSlots; i++) {
    if (addr[i][0] != '\0' && std::strncmp(addr[i], source, InetAddrPort::ADDR_SIZE) == 0) {
      return true;
    }
  }
  return false;
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
      stunState(STUN_NONE),
      stunCandidates(nullptr),
      stunCandidateCount(0),
      closing(0),
      referCounter(0),
      requestedBufSize(0),
      refusedBufSize(0),
      payloadType(-1),
      srtpMode(SRTP_PLAIN),
      scopeId(0) {
  rtcp.owner = this;
}

RTPex::~RTPex() {
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
  // Deleted once the hold is released: a context's destructor takes the lock.
  std::unique_ptr<SRTPInfo> send;
  std::unique_ptr<SRTPInfo> recv;
  Synchronized hold(SRTPInfo::wo);
  send.reset(cryptoSend);
  recv.reset(cryptoRecv);
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
  ep->srtpMode = srtpPending != 0 ? SRTP_PENDING : SRTP_PLAIN;

  Synchronized hold(woStatic);
  int64_t id = nextId(ep->localPort);
  ep->referCounter = 1;
  (*mapIDObj)[id] = ep;
  return id;
}

int64_t RTPex::nextId(int32_t port) {
  uint64_t seq = ID_SEC++;
  return static_cast<int64_t>((seq << 32) | static_cast<uint32_t>(port));
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
  pinLocked(ep);
}

void RTPex::unpin(RTPex* ep) {
  Synchronized hold(woStatic);
  unpinLocked(ep);
}

void RTPex::pinLocked(RTPex* ep) { ep->referCounter++; }

void RTPex::unpinLocked(RTPex* ep) { ep->referCounter--; }

RTPexPin RTPexPin::take(RTPex* ep) {
  if (ep != nullptr) RTPex::pin(ep);
  return RTPexPin(ep);
}

RTPexPin RTPexPin::takeLocked(RTPex* ep) {
  if (ep != nullptr) RTPex::pinLocked(ep);
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
      logRecordLocked("--- Count:", queue->totalEventCount());
    }
    logRecord("--- Reason:", ep->reasonCannotDelete());
  }
  logRecord("RTPex::workerThread() RTPex could not be deleted ", ep->sid.load());
  queue->schedule(EV_DELETE_RETRY, ep->localPort, ep, DELETE_RETRY_MS);
}

// Takes each leg's address lock in turn (never both): the legs' receive
// threads may be reading their records.
void RTPex::reinit(const RTPexSession& next) {
  {
    Synchronized hold(&rtcp.addrLock);
    rtcp.resetLeg();
  }
  {
    Synchronized hold(&addrLock);
    resetLeg();
    freeStunCandidates();
    stunState = STUN_NONE;
    lastRecvTime = 0;
    startTime = 0;
    payloadType = -1;
    refusedBufSize = 0;
    dropCrypto();
    sid = next.sid;
    hostByte = next.hostByte;
    sessionTimeout = next.sessionTimeout;
    hostText = next.hostText;
    initialBufSize = next.rtpBufSize;
    udpSender.setTOS(next.tos);
    behindNatEnabled = next.behindNat;
    srtpMode = next.srtpPending ? SRTP_PENDING : SRTP_PLAIN;
    bindIp = next.bindIp;
    scopeId = next.scopeId;
  }
  Synchronized hold(&rtcp.addrLock);
  rtcp.initialBufSize = next.rtcpBufSize;
  rtcp.behindNatEnabled = next.behindNat;
  rtcp.udpSender.setTOS(next.tos);
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

// The two sockets of one search and the error of the last failed bind.
struct PairSearch {
  UDPsender* rtp;
  UDPsender* rtcp;
  bool useV6;
  std::string bindAddr;  // the bind address as a number (empty: any)
  int scopeId;
  int lastBindError;

  // Sets bindAddr from bindIp. A name is looked up here, once, rather than
  // at every bind of the search; false when it does not resolve, with the
  // resolver's error as the search's error (no bind was tried).
  bool resolve(const std::string& bindIp) {
    bindAddr.clear();
    return bindIp.empty() || rtp->numericAddress(bindIp, &bindAddr, &lastBindError);
  }

  // 1: both ports bound; 0: try the next; -1: gave up (record written).
  int attempt(int p, bool secondPass) {
    if (!rtp->setLocalAddrPort(bindAddr, static_cast<unsigned short>(p), scopeId)) {
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
    if (rtcp->setLocalAddrPort(bindAddr, static_cast<unsigned short>(p + 1), scopeId)) return 1;
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

  // Opens both sockets; false when one cannot be opened (record written).
  bool openBoth() {
    rtp->open(useV6);
    if (!rtp->isOpened()) {
      logRecord("************************* port open failed 1");
      return false;
    }
    rtcp->open(useV6);
    if (!rtcp->isOpened()) {
      rtp->close();
      logRecord("************************* port open failed 2");
      return false;
    }
    return true;
  }

  // Binds the first free pair from portStart (made even) when it is in the
  // range, else from portMin, up to the top, then from portMin up to the
  // start. The pair's RTP port, or 0: a failed search closes both sockets
  // and writes its record.
  int search(unsigned short portMin, unsigned short portMax, unsigned short portStart,
             const std::string& bindIp) {
    int start = portMin;
    if (portMin <= portStart && portStart <= portMax) start = portStart + (portStart & 1);
    // A range reaching the top of the port space ends with the last pair
    // that fits below it.
    int top = std::min(static_cast<int>(portMax), kHighestPairStart);
    int found = 0;
    int rc = 0;
    if (resolve(bindIp)) {
      for (int p = start; rc == 0 && p <= top; p += 2) {
        rc = attempt(p, false);
        if (rc == 1) found = p;
      }
      for (int p = portMin; rc == 0 && p < start && p <= top; p += 2) {
        rc = attempt(p, true);
        if (rc == 1) found = p;
      }
    }
    if (rc < 0) return 0;
    if (found == 0) {
      rtp->close();
      rtcp->close();
      logRecord("************************* port open all failed min:", portMin, " max:", portMax,
                " errno:", lastBindError, "; bindIp:", bindIp, ",ScopeID:", scopeId,
                ",ipv6:", useV6 ? 1 : 0);
    }
    return found;
  }

  // Gives the bound pair its TOS, its device and its receive time-out.
  void finish(int tos, const std::string& bindIp) {
    rtp->setTOS(tos);
    rtcp->setTOS(tos);
#ifndef _WIN32
    if (RTex::BIND_TO_DEVICE && !bindIp.empty()) {
      std::map<std::string, std::string>::iterator it = RTPex::smIpIf.find(bindIp);
      if (it != RTPex::smIpIf.end() && !it->second.empty()) {
        bindToDevice(rtp, it->second, "************************ setsockopt SO_BINDTODEVICE errno=");
        bindToDevice(rtcp, it->second,
                     "************************ setsockopt SO_BINDTODEVICE 2 errno=");
      }
    }
#endif
    setRecvTimeout(rtp, "Failed to set SO_RCVTIMEO 1,");
    setRecvTimeout(rtcp, "Failed to set SO_RCVTIMEO 2,");
  }
};

}  // namespace

int RTPex::bindPort(unsigned short portMin, unsigned short portMax, unsigned short portStart,
                    int tos, int ipv6, std::string& bindIp, int scopeId) {
  if (portMin == 0) return 0;
  PairSearch s{&udpSender, &rtcp.udpSender, ipv6 == 1, std::string(), scopeId, 0};
  try {
    if (!s.openBoth()) return 0;
  } catch (...) {
    LOG_EXCEPTION("RTPex::bindPort() 1");
  }
  try {
    int found = s.search(portMin, portMax, portStart, bindIp);
    if (found == 0) return 0;
    localPort = found;
    s.finish(tos, bindIp);
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

// ==== datagram roads ==========================================================

namespace {

const int kGrowStep = 200;
const int kMaxBufSize = 20000;
const unsigned char kStunCookie[4] = {0x21, 0x12, 0xA4, 0x42};

bool sameRecord(const InetAddrPort& a, const InetAddrPort& b) {
  return sameSource(a, b) && a.scopeId == b.scopeId;
}

// The buffer size of a leg given 0 or less, and the one a leg falls back
// to when its first size cannot be allocated.
const int kDefaultBufSize = 1500;

// A size below 1 would read every datagram as empty and relay nothing.
int usableSize(int size) { return size > 0 ? size : kDefaultBufSize; }

// The old buffer stays when the new one cannot be allocated (bad_alloc).
void replaceBuffer(RTex* leg, int size) {
  signed char* fresh = new signed char[usableSize(size)];
  delete[] leg->recvBuf;
  leg->recvBuf = fresh;
  leg->recvBufSize = usableSize(size);
}

// Gives a leg without a buffer its first one. A size that cannot be
// allocated is logged once (the place of record) and the leg takes the
// default size instead; false when not even that can be had.
bool takeFirstBuffer(RTex* leg, const char* place) {
  if (!leg->firstBufRefused) {
    try {
      replaceBuffer(leg, leg->initialBufSize);
      return true;
    } catch (const std::bad_alloc&) {
      leg->firstBufRefused = true;
      LOG_EXCEPTION(place);
    }
  }
  try {
    replaceBuffer(leg, kDefaultBufSize);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Reads the waiting datagram of a leg that has no buffer and drops it: left
// unread, it would make the socket readable again at once, for ever.
void dropDatagram(RTex* leg) {
  signed char scrap[1];
  Synchronized hold(&leg->addrLock);
  leg->udpReceiver.recv(scrap, sizeof(scrap));
}

// Grows a leg's buffer by one step, up to the ceiling, after a datagram did
// not fit; false when it is at the ceiling already.
bool growBuffer(RTex* leg) {
  int size = leg->recvBufSize;
  if (size >= kMaxBufSize) return false;
  replaceBuffer(leg, size + kGrowStep > kMaxBufSize ? kMaxBufSize : size + kGrowStep);
  return true;
}

// Posts an event for ep on the "EVENT" queue; the event carries the pin.
void postPinned(RTPexPin* pinned, int kind) {
  RTPex* ep = pinned->get();
  RTPex::evQ[1]->post(kind, ep->sid.load(), static_cast<void*>(ep));
  pinned->release();
}

void postEvent(RTPex* ep, int kind) {
  RTPexPin self = RTPexPin::take(ep);
  postPinned(&self, kind);
}

// The partner of ep, looked up and pinned under one hold of woStatic.
RTPexPin pinnedPartner(RTPex* ep) {
  Synchronized hold(RTPex::woStatic);
  RTPex* partner = ep->sender;
  if (partner == nullptr) return RTPexPin();
  partner->referCounter++;
  return RTPexPin(partner);
}

// Pins ep and gives the partner's pin back under one hold of woStatic.
RTPexPin swapPin(RTPex* ep, RTPexPin* partner) {
  Synchronized hold(RTPex::woStatic);
  partner->resetLocked();
  return RTPexPin::takeLocked(ep);
}

// Makes seen leg's destination.
void learnSource(RTex* leg, const InetAddrPort& seen) REQUIRES(leg->addrLock) {
  leg->sendTo = seen;
  leg->learnedAddr = seen;
  leg->aim.invalidate();
  leg->waitNat = false;
  leg->publishParty();
}

// Whether leg holds a source at its target's address that partnerLeg's far
// end sent from.
bool hasSignalled(const RTex* leg, const RTex* partnerLeg) REQUIRES(leg->addrLock) {
  return leg->signalledVia == partnerLeg && leg->signalledFrom.port != 0;
}

// Learns leg's destination from where the partner leg's far end last sent
// from. Armed learning takes a source at leg's target's address that sent
// since learning was armed before the last source: a stranger who sent
// last cannot outbid the far end Java signalled, and a destination learned
// from another address stays open to it. True when that source is the one
// learned already.
bool learnFrom(RTex* leg, RTex* partnerLeg, bool armed) {
  InetAddrPort seen;
  {
    Synchronized hold(&partnerLeg->addrLock);
    if (partnerLeg->lastFrom.port == 0) return false;
    seen = partnerLeg->lastFrom;
  }
  Synchronized hold(&leg->addrLock);
  if (armed) {
    bool signalled = hasSignalled(leg, partnerLeg);
    if (signalled) seen = leg->signalledFrom;
    leg->learnOpen = !signalled;
  }
  if (sameSource(seen, leg->learnedAddr)) return true;
  learnSource(leg, seen);
  return false;
}

// A destination learned from another address gives way to a source at the
// target's address once one has sent.
void preferSignalled(RTex* leg, RTex* partnerLeg) {
  if (!leg->signalledSeen) return;
  Synchronized hold(&leg->addrLock);
  if (!hasSignalled(leg, partnerLeg)) return;
  leg->learnOpen = false;
  if (!sameSource(leg->signalledFrom, leg->learnedAddr)) learnSource(leg, leg->signalledFrom);
}

// Notes that from, a source of leg's far end, sent to leg, for the
// learning of partnerLeg, whose destination is that far end: from counts
// when it is at partnerLeg's target's address.
void noteFarEndSource(RTex* leg, RTex* partnerLeg, const InetAddrPort& from) {
  if (!partnerLeg->waitNat && !partnerLeg->learnOpen) return;
  Synchronized hold(&partnerLeg->addrLock);
  if (!partnerLeg->target.isAt(from.addr)) return;
  partnerLeg->signalledFrom = from;
  partnerLeg->signalledVia = leg;
  partnerLeg->signalledSeen = true;
}

// Copies leg's sendTo for the partner leg's socket, of family. While sendTo
// is the target, it becomes the target's form for that family first (the
// forms were looked up when the target was set); a target without one is
// no far end through that socket. False when there is nothing to apply, or
// the copy has port 0 and such a destination is not to be used.
bool takeDestination(RTex* leg, int family, InetAddrPort* dest, bool portZeroUsable) {
  Synchronized hold(&leg->addrLock);
  if (leg->sendsToTarget()) {
    const InetAddrPort* form = leg->target.formFor(family);
    if (form == nullptr) return false;
    leg->sendTo = *form;
  }
  // A leg without a far end sends nothing: the partner's socket keeps the
  // destination that another leg gave it, which is not this leg's.
  if (leg->sendTo.addr[0] == '\0') return false;
  if (!portZeroUsable && leg->sendTo.port == 0) return false;
  *dest = leg->sendTo;
  return true;
}

// ---- aim: whether the partner's socket points at this leg's far end -------

// Whether via's socket still points where leg last aimed it; called with
// via's addrLock held.
bool stillAimed(const RTex* leg, const RTex* via) REQUIRES(via->addrLock) {
  return sameRecord(via->aim.socketDest, leg->aim.lastApplied);
}

// Aims via's socket at dest for leg; called with via's addrLock held. dest
// is numeric and only parsed: no name is looked up on a receive thread.
// False when the socket cannot take it (an address of the other family,
// learned through an earlier partner): it keeps the far end another leg
// gave it, so nothing of this leg's may leave through it.
bool aimSocket(RTex* leg, RTex* via, const InetAddrPort& dest) REQUIRES(via->addrLock) {
  leg->aim.lastApplied = dest;
  leg->aim.applied = true;
  if (!via->udpSender.setNumericDestination(dest.addr, dest.port, dest.scopeId)) return false;
  via->aim.socketDest = dest;
  return true;
}

// A sendTo that changed while the older one was being applied is applied
// by a later datagram.
void confirmAim(RTex* leg, const InetAddrPort& applied) {
  Synchronized hold(&leg->addrLock);
  if (!sameRecord(leg->sendTo, applied)) leg->aim.invalidate();
}

// ---- the road out -----------------------------------------------------------

// How SRTP applies to a datagram on its way: not at all (STUN, DTLS,
// unknown), as SRTP, as SRTCP on the RTCP port, or as SRTCP multiplexed on
// the RTP port.
enum class Protection { kNone, kRtp, kRtcp, kRtcpMux };

// Every kind that SRTP protects names its protection here; any other kind
// passes as it is.
Protection protectionOf(int kind, bool rtcpPort) {
  switch (kind) {
    case KIND_RTP:
      return Protection::kRtp;
    case KIND_RTCP:
      return rtcpPort ? Protection::kRtcp : Protection::kRtcpMux;
    default:
      return Protection::kNone;
  }
}

bool isMedia(int kind) { return protectionOf(kind, false) != Protection::kNone; }

bool isRtcpLeg(RTex* leg) { return leg->endpoint() != leg; }

// The road of one datagram out, chosen once: the partner leg whose socket
// carries it, that leg's endpoint, whose SRTP mode and contexts apply, and
// how SRTP applies.
struct Route {
  RTex* via;
  RTPex* out;
  Protection protection;
};

Route routeThrough(RTex* via, int kind) {
  return Route{via, via->endpoint(), protectionOf(kind, isRtcpLeg(via))};
}

// Media and RTCP hold the STUN state for good; stored only when it changes,
// as the partner's thread reads it for every datagram it relays.
void holdStunForGood(RTPex* ep) {
  if (ep->stunState.load() != STUN_MEDIA) ep->stunState = STUN_MEDIA;
}

// Where a datagram came from and what the relay made of it on arrival.
struct Arrival {
  int kind;
  InetAddrPort from;
  int inMode;     // the receiving endpoint's SRTP mode when it arrived
  bool verified;  // SRTP removed by a context that authenticated it
};

// Removes SRTP from a datagram of a converting side with the inbound
// context of the endpoint through which it leaves. False when it must be
// dropped.
bool unprotectArrival(const Route& r, Arrival* a, signed char* buf, int* len) {
  if (r.protection == Protection::kNone || a->inMode != SRTP_CONVERTING) return true;
  return r.protection == Protection::kRtp ? unprotectRTP(r.out, buf, len, &a->verified)
                                          : unprotectRTCP(r.out, buf, len, &a->verified);
}

// Protects media for the far end of r.out and sends it. Called with the
// sending leg's addrLock held.
void sendProtected(const Route& r, const Arrival& a, signed char* buf, int len) {
  // The contexts are read again under SRTPInfo::wo by the senders.
  switch (r.protection) {
    case Protection::kRtp:
      sendSRTP(r.out, buf, len, &a.from, a.verified);
      break;
    case Protection::kRtcp:
      sendSRTCP(r.out, buf, len, &a.from, a.verified);
      break;
    case Protection::kRtcpMux:
      sendSRTCPMux(r.out, buf, len, &a.from, a.verified);
      break;
    case Protection::kNone:
      break;  // relayOut sends it as it is
  }
}

// Sends a datagram, SRTP already removed by its arrival's mode, through r's
// socket, adding SRTP by r.out's mode. A pending side's own media goes
// nowhere, and nothing of any kind goes to a pending side. Called with
// r.via's addrLock held.
void relayOut(const Route& r, const Arrival& a, signed char* buf, int len) {
  int outMode = r.out->srtpMode.load();
  bool media = r.protection != Protection::kNone;
  if (media && a.inMode == SRTP_PENDING) return;
  if (outMode == SRTP_PENDING) return;
  if (media && outMode == SRTP_CONVERTING) {
    sendProtected(r, a, buf, len);
    return;
  }
  r.via->udpSender.send(buf, len);
}

// Relays a datagram that arrived on leg along r, aiming r.via's socket at
// leg's sendTo first when that is due.
void handOver(RTex* leg, const Route& r, const Arrival& a, signed char* buf, int len) {
  RTex* via = r.via;
  if (leg->aim.applied) {
    Synchronized hold(&via->addrLock);
    if (stillAimed(leg, via)) {
      relayOut(r, a, buf, len);
      return;
    }
  }
  InetAddrPort dest;
  // The RTCP port also takes a destination of port 0. The socket's family
  // stays while its endpoint lives.
  if (!takeDestination(leg, via->udpSender.getFamily(), &dest, isRtcpLeg(via))) return;
  {
    Synchronized hold(&via->addrLock);
    if (aimSocket(leg, via, dest)) relayOut(r, a, buf, len);
  }
  confirmAim(leg, dest);
}

// Takes a source of leg's far end for the learning: as lastFrom (RTP on the
// RTP port, everything on the RTCP port) and for partnerLeg's preference.
// On a side that converts or waits to, only what a context verified
// counts: junk sent to the SRTP side must not move where the other side's
// media goes.
void noteArrival(RTex* leg, RTex* partnerLeg, const Arrival& a, bool setLastFrom) {
  if (a.inMode != SRTP_PLAIN && !a.verified) return;
  if (setLastFrom) {
    Synchronized hold(&leg->addrLock);
    leg->lastFrom = a.from;
  }
  noteFarEndSource(leg, partnerLeg, a.from);
}

// Whether state is a hold-until time rather than none or a hold for good.
bool timedHold(int64_t state) { return state > STUN_NONE; }

// Whether the newest candidate holds at now: answered or media (for good),
// or within its time.
bool holding(int64_t state, int64_t now) {
  return state < STUN_NONE || (timedHold(state) && now <= state);
}

// Index of the first candidate equal to s, oldest first; -1 when none.
int findCandidate(const RTPex* ep, const InetAddrPort& s) {
  for (int i = 0; i < ep->stunCandidateCount; i++) {
    if (sameSource(*ep->stunCandidates[i], s)) return i;
  }
  return -1;
}

// Appends s as the newest candidate; a full list is emptied first. Records
// are kept for reuse and freed with the list.
void appendCandidate(RTPex* ep, const InetAddrPort& s) {
  if (ep->stunCandidates == nullptr) {
    ep->stunCandidates = new InetAddrPort*[RTPex::STUN_CANDIDATE_MAX]();
    ep->stunCandidateCount = 0;
  }
  if (ep->stunCandidateCount >= RTPex::STUN_CANDIDATE_MAX) ep->stunCandidateCount = 0;
  InetAddrPort*& slot = ep->stunCandidates[ep->stunCandidateCount];
  if (slot == nullptr) slot = new InetAddrPort();
  *slot = s;
  ep->stunCandidateCount++;
}

// STUN latching of the datagram just received; true when it is accepted.
bool latchStun(RTPex* ep, int64_t now, bool answer) {
  Synchronized hold(&ep->addrLock);
  InetAddrPort s;
  ep->udpReceiver.getRemoteAddrAndPortOfLast(&s);
  int64_t state = ep->stunState.load();
  int at = findCandidate(ep, s);
  int newest = ep->stunCandidateCount - 1;
  if (holding(state, now)) {
    if (at < 0 || at != newest) return false;
    if (answer && timedHold(state)) ep->stunState = STUN_ANSWERED;
    return true;
  }
  if (at >= 0 && at == newest) {
    if (answer) ep->stunState = STUN_ANSWERED;
    ep->lastFrom = s;
    return true;
  }
  if (at >= 0) {
    std::swap(ep->stunCandidates[at], ep->stunCandidates[newest]);
    ep->stunState = answer ? STUN_ANSWERED : now + RTPex::STUN_INTERVAL;
    return true;
  }
  appendCandidate(ep, s);
  ep->stunState = now + RTPex::STUN_INTERVAL;
  ep->lastFrom = s;
  return true;
}

}  // namespace

namespace {

// The shortest datagram the relay classifies: an RTCP header with its SSRC.
const int kMinClassified = 8;

bool hasRtpVersion2(unsigned char first) { return first >= 0x80 && first <= 0xBF; }

// The second byte of an RTP-like header without the marker bit.
int typeOf(const unsigned char* b) { return b[1] & 0x7F; }

// RTCP packet types 200 to 207 (SR, RR, SDES, BYE, APP, RTPFB, PSFB, XR) as
// typeOf gives them: the RTCP port passes these only.
bool isRtcpReportType(int type) { return type >= 72 && type <= 79; }

// The old FIR and NACK types 192 and 193: RTCP too when multiplexed on the
// RTP port.
bool isRtcpFeedbackType(int type) { return type == 64 || type == 65; }

}  // namespace

int classifyDatagram(const signed char* buf, int len) {
  if (len < kMinClassified) return KIND_UNKNOWN;
  const unsigned char* b = reinterpret_cast<const unsigned char*>(buf);
  if (hasRtpVersion2(b[0])) {
    int type = typeOf(b);
    bool rtcp = isRtcpFeedbackType(type) || isRtcpReportType(type);
    return rtcp ? KIND_RTCP : KIND_RTP;
  }
  if (b[0] >= 20 && b[0] <= 63) return KIND_DTLS;
  if ((b[0] & 0xC0) == 0 && std::memcmp(b + 4, kStunCookie, sizeof(kStunCookie)) == 0) {
    return KIND_STUN;
  }
  return KIND_UNKNOWN;
}

// ---- destination ------------------------------------------------------------

TargetText TargetText::resolve(const std::string& text) {
  TargetText t;
  t.text = text;
  if (!text.empty()) SocketCore::numericForms(text, &t.v4, &t.v6);
  return t;
}

bool LegTarget::isAt(const char* source) const {
  for (const InetAddrPort* form : {&v4, &v6}) {
    if (form->addr[0] != '\0' && std::strncmp(form->addr, source, InetAddrPort::ADDR_SIZE) == 0) {
      return true;
    }
  }
  return false;
}

const InetAddrPort* LegTarget::formFor(int family) const {
  const InetAddrPort* form = family == AF_INET ? &v4 : family == AF_INET6 ? &v6 : nullptr;
  return form != nullptr && form->addr[0] != '\0' ? form : nullptr;
}

namespace {

void storeForm(const std::string& numeric, const LegTarget& t, InetAddrPort* form) {
  *form = InetAddrPort();
  // A numeric text as getIPStrAndPort writes it: at most 39 characters.
  if (numeric.size() >= sizeof(form->addr)) return;
  std::memcpy(form->addr, numeric.c_str(), numeric.size() + 1);
  form->port = t.port;
  form->scopeId = t.scopeId;
}

void storeForms(const TargetText& addr, LegTarget* t) {
  storeForm(addr.v4, *t, &t->v4);
  storeForm(addr.v6, *t, &t->v6);
}

// The record sendTo takes for the target: the form for family (the leg's
// own socket, most often the partner's family too), else the other one;
// without either, no address and the target's port.
InetAddrPort aimAt(const LegTarget& t, int family) {
  const InetAddrPort* form = t.formFor(family);
  if (form == nullptr) form = t.formFor(family == AF_INET ? AF_INET6 : AF_INET);
  if (form != nullptr) return *form;
  InetAddrPort none;
  none.port = t.port;
  none.scopeId = t.scopeId;
  return none;
}

}  // namespace

bool RTex::sendsToTarget() const {
  if (sendTo.port != target.port) return false;
  if (sendTo.addr[0] == '\0') return target.formFor(AF_INET) == nullptr &&
                                      target.formFor(AF_INET6) == nullptr;
  return sameRecord(sendTo, target.v4) || sameRecord(sendTo, target.v6);
}

void RTex::setTarget(std::string& addr, int port, int scopeId, bool behindNat) {
  setTarget(TargetText::resolve(addr), port, scopeId, behindNat);
}

bool RTex::isRtpTarget(const TargetText& addr, int port) {
  RTPex* ep = endpoint();
  if (ep == nullptr || ep == this) return false;
  Synchronized hold(&ep->addrLock);
  return ep->target.port == static_cast<uint16_t>(port) && ep->target.text == addr.text;
}

void RTex::setTarget(const TargetText& addr, int port, int scopeId, bool behindNat) {
  // Before this leg's lock: never two address locks at once.
  bool onRtpPort = isRtpTarget(addr, port);
  Synchronized hold(&addrLock);
  rtcpOnRtpPort = onRtpPort;
  if (port == target.port && addr.text == target.text) {
    // A name may name other addresses now (or resolve at last): a sendTo
    // that is the target follows; a learned one stays. Re-armed, the
    // learned source still matches.
    bool aimed = sendsToTarget();
    storeForms(addr, &target);
    InetAddrPort next = aimAt(target, udpSender.getFamily());
    if (aimed && !sameRecord(next, sendTo)) {
      sendTo = next;
      aim.invalidate();
    }
    if (behindNat && !waitNat) {
      waitNat = behindNatEnabled;
      aim.invalidate();
      if (waitNat) forgetSignalled();
    }
    publishParty();
    return;
  }
  waitNat = behindNat ? behindNatEnabled : false;
  target.text = addr.text;
  target.port = static_cast<uint16_t>(port);
  target.scopeId = scopeId >= 0 ? static_cast<unsigned long>(scopeId) : 0;
  storeForms(addr, &target);
  if (waitNat && !RTPex::SEND_BEHINDNAT) {
    sendTo.port = 0;
  } else {
    sendTo = aimAt(target, udpSender.getFamily());
  }
  aim.invalidate();
  // A new far end is learned afresh, also when it sends from the source
  // learned before (a phone behind NAT after hold and resume).
  learnedAddr = InetAddrPort();
  forgetSignalled();
  publishParty();
}

void RTex::forgetSignalled() {
  signalledFrom = InetAddrPort();
  signalledVia = nullptr;
  signalledSeen = false;
  learnOpen = false;
}

std::string RTPex::targetText() {
  int family = udpSender.getFamily();
  {
    Synchronized hold(woStatic);
    if (sender != nullptr) family = sender->udpSender.getFamily();
  }
  Synchronized hold(&addrLock);  // no half-written record
  if (sendTo.port == 0 || sendTo.addr[0] == '\0') return std::string();
  std::string addr = sendTo.addr;
  if (sendsToTarget()) {
    if (target.formFor(family) == nullptr) return std::string();
    addr = target.text;
  }
  return addr + ":" + std::to_string(static_cast<int>(sendTo.port));
}

// ---- RTP port -----------------------------------------------------------------

namespace {

// The steps of a datagram on the RTP port, each on the receive thread of
// the endpoint ep that received it.

// Reads the waiting datagram into ep's buffer and classifies it; its
// length, below 1 when there is none. A datagram too long for the buffer
// grows it. RTP's source is kept under the same hold; on a converting side
// only once a context verified it, on a pending side not at all.
int readDatagram(RTPex* ep, Arrival* a) {
  int len;
  int err = 0;
  {
    Synchronized hold(&ep->addrLock);
    len = ep->udpReceiver.recv(ep->recvBuf, ep->recvBufSize);
    if (len < 0) err = SocketCore::getError();
    if (len > 0) a->kind = classifyDatagram(ep->recvBuf, len);
    if (isMedia(a->kind)) ep->udpReceiver.getRemoteAddrAndPortOfLast(&a->from);
    if (a->kind == KIND_RTP && a->inMode == SRTP_PLAIN) ep->lastFrom = a->from;
  }
  if (len < 1 && err == SOCKET_EMSGSIZE && ep->recvBufSize < kMaxBufSize) {
    int size = ep->recvBufSize + kGrowStep;
    replaceBuffer(ep, size > kMaxBufSize ? kMaxBufSize : size);
    postEvent(ep, RTPex::EV_BUFFER_SIZE);
  }
  return len;
}

// Admits a datagram: media holds the STUN state for good, configuration
// may block its kind and STUN latching may drop it. An admitted datagram
// is counted and noted; the partner that relays it, pinned, or none when
// it goes no further.
RTPexPin admitDatagram(RTPex* ep, int64_t now, const Arrival& a) {
  bool blocked = false;
  switch (a.kind) {
    case KIND_RTP:
      holdStunForGood(ep);
      break;
    case KIND_RTCP:
      holdStunForGood(ep);
      blocked = RTPex::BLOCK_RTCP != 0;
      break;
    case KIND_DTLS:
      blocked = RTPex::BLOCK_DTLS != 0;
      break;
    case KIND_STUN:
      blocked = RTPex::BLOCK_STUN != 0;
      if (!blocked && !latchStun(ep, now, ep->recvBuf[0] != 0)) return RTPexPin();
      break;
    default:
      blocked = RTPex::BLOCK_UNKNOWN != 0;
      break;
  }
  if (blocked) {
    ep->lastRecvTime = now;
    return RTPexPin();
  }

  ep->cntPacket++;
  ep->lastRecvTime = now;
  RTPexPin partner = pinnedPartner(ep);
  if (!partner) return partner;
  if (a.kind == KIND_DTLS) {
    partner->requestedBufSize = RTPex::PACKET_SIZE_DTLS;
    ep->requestedBufSize = RTPex::PACKET_SIZE_DTLS;
  } else if (a.kind == KIND_RTP && ep->payloadType.load() == -1) {
    ep->payloadType = ep->recvBuf[1] & 0x7F;
  }
  return partner;
}

// Learns ep's destination from where b's far end sends, while learning is
// armed or b latches STUN for a while. True when the source is the one
// learned already.
bool learnDestination(RTPex* ep, RTPex* b) {
  bool armed = ep->waitNat.load();
  if (armed || timedHold(b->stunState.load())) return learnFrom(ep, b, armed);
  if (ep->learnOpen) preferSignalled(ep, b);
  return false;
}

// A datagram that filled the buffer may have been cut: it is not relayed,
// and the buffer grows up to the ceiling, with an event. True when the
// datagram goes no further.
bool growFilledBuffer(RTPex* ep, RTPexPin* partner, int len) {
  if (len < ep->recvBufSize) return false;
  if (ep->recvBufSize >= kMaxBufSize) return true;
  int size = len + kGrowStep;
  replaceBuffer(ep, size > kMaxBufSize ? kMaxBufSize : size);
  RTPexPin self = swapPin(ep, partner);
  postPinned(&self, RTPex::EV_BUFFER_SIZE);
  return true;
}

// Removes SRTP, takes the far end's source for the learning, and relays
// through b unless learning still waits. sameAsLearned: the learning saw
// the source learned already.
void relayDatagram(RTPex* ep, RTPex* b, Arrival* a, int len, bool sameAsLearned) {
  // Before the learning gate: the far end's source must count even while
  // nothing is relayed, or two sides that both learn wait for each other.
  Route route = routeThrough(b, a->kind);
  if (!unprotectArrival(route, a, ep->recvBuf, &len)) return;
  if (a->kind == KIND_RTP) {
    noteArrival(ep, b, *a, a->inMode == SRTP_CONVERTING);
    // The partner's RTCP leg may learn from this RTP leg too.
    if (b->rtcp.rtcpOnRtpPort) noteArrival(ep, &b->rtcp, *a, false);
  }

  if (!RTPex::SEND_BEHINDNAT && ep->waitNat && !sameAsLearned) return;

  handOver(ep, route, *a, ep->recvBuf, len);
}

}  // namespace

void RTPex::received(int64_t now) {
  try {
    int32_t requested = requestedBufSize.load();
    if (requested != 0 && requested > recvBufSize.load()) {
      // Cleared first: the leg goes on with the buffer it has when the
      // size cannot be allocated.
      requestedBufSize = 0;
      applyRequestedSize(requested);
    }
    if (recvBuf == nullptr && !takeFirstBuffer(this, "RTPex::received()")) {
      dropDatagram(this);
      return;
    }

    Arrival a{KIND_UNKNOWN, InetAddrPort(), srtpMode.load(), false};
    int len = readDatagram(this, &a);
    if (len < 1) return;
    RTPexPin partner = admitDatagram(this, now, a);
    if (!partner) return;
    bool sameAsLearned = learnDestination(this, partner.get());
    if (growFilledBuffer(this, &partner, len)) return;
    relayDatagram(this, partner.get(), &a, len, sameAsLearned);
  } catch (...) {
    LOG_EXCEPTION("RTPex::received()");
  }
}

// A size that could not be allocated is tried once per session: anyone's
// DTLS datagrams request it again at their own rate, and each failure
// would write a record. The leg keeps the buffer it has (or takes its
// first one) and reads the datagram.
void RTPex::applyRequestedSize(int32_t size) {
  int32_t refused = refusedBufSize.load();
  if (refused != 0 && size >= refused) return;
  try {
    replaceBuffer(this, size);
  } catch (const std::bad_alloc&) {
    refusedBufSize = size;
    LOG_EXCEPTION("RTPex::received()");
    return;
  }
  postEvent(this, EV_BUFFER_SIZE);
}

void RTPex::unreceived(int64_t now) {
  try {
    int64_t limit = sessionTimeout.load();
    int64_t last = lastRecvTime.load();
    if (limit <= 0 || last == 0 || now - last <= limit) return;
    // A datagram counted meanwhile keeps the timer armed.
    if (!lastRecvTime.compare_exchange_strong(last, 0)) return;
    postEvent(this, EV_SESSION_TIMEOUT);
  } catch (...) {
    LOG_EXCEPTION("RTPex::unreceived()");
  }
}

// ---- RTCP port ------------------------------------------------------------------

void RTCPex::received(int64_t now) {
  try {
    if (recvBuf == nullptr && !takeFirstBuffer(this, "RTCPex::received()")) {
      dropDatagram(this);
      return;
    }
    int len;
    int err = 0;
    {
      Synchronized hold(&addrLock);
      len = udpReceiver.recvWhole(recvBuf, recvBufSize);
      if (len < 0) err = SocketCore::getError();
    }
    // A report longer than the buffer is dropped rather than forwarded cut
    // with a length field that claims more; the next one of its size fits.
    // Java is told only of the RTP port's size: no event here.
    if (err == SOCKET_EMSGSIZE) growBuffer(this);
    if (len <= 0) return;
    receivedSub(now, len, recvBuf);
  } catch (...) {
    LOG_EXCEPTION("RTCPex::received()");
  }
}

void RTCPex::receivedSub(int64_t now, int len, signed char* buf) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(buf);
  if (len < kMinClassified || !hasRtpVersion2(b[0]) || !isRtcpReportType(typeOf(b))) return;

  owner->lastRecvTime = now;
  cntPacket++;
  RTPexPin partner = pinnedPartner(owner);
  if (!partner) return;
  RTCPex* out = &partner->rtcp;
  Arrival a{KIND_RTCP, InetAddrPort(), owner->srtpMode.load(), false};
  {
    Synchronized hold(&addrLock);
    udpReceiver.getRemoteAddrAndPortOfLast(&a.from);
  }

  // A far end that takes RTCP on its RTP port sends it from there too.
  RTex* farEndLeg = rtcpOnRtpPort ? static_cast<RTex*>(partner.get()) : out;
  bool armed = waitNat.load();
  bool sameAsLearned = armed && learnFrom(this, farEndLeg, true);
  if (!armed && learnOpen) preferSignalled(this, farEndLeg);
  Route route = routeThrough(out, a.kind);
  if (!unprotectArrival(route, &a, buf, &len)) return;
  noteArrival(this, out, a, true);
  if (!RTPex::SEND_BEHINDNAT && waitNat && !sameAsLearned) return;

  handOver(this, route, a, buf, len);
}

// ==== start-up, teardown, events, status text ==================================

namespace {

typedef std::map<std::string, std::string> PropertyMap;

const int kEventsPerCall = 40;
#ifdef _WIN32
const int kTimerPeriodTries = 15;
// The period timeBeginPeriod accepted at start-up; given back at teardown.
int savedTimerPeriod = 0;
#else
const char kJsig[] = "/libjsig.so";
#endif

// ---- reading the properties -------------------------------------------------

// The value of key when present and non-empty, else def.
std::string propertyText(const PropertyMap& props, const char* key, const char* def) {
  PropertyMap::const_iterator it = props.find(key);
  if (it == props.end() || it->second.empty()) return def;
  return it->second;
}

bool isTrue(const std::string& v) { return v == "true" || v == "TRUE"; }

// Base 10 by the rules of strtol, narrowed to 32 bits.
int numberOf(const std::string& v) {
  return static_cast<int>(std::strtol(v.c_str(), nullptr, 10));
}

template <class N>
void readNumber(const PropertyMap& props, const char* key, N* out) {
  std::string v = propertyText(props, key, "");
  if (!v.empty()) *out = static_cast<N>(numberOf(v));
}

void readTruth(const PropertyMap& props, const char* key, bool* out) {
  std::string v = propertyText(props, key, "");
  if (!v.empty()) *out = isTrue(v);
}

int blockFlag(const PropertyMap& props, const char* key) {
  return isTrue(propertyText(props, key, "false")) ? 1 : 0;
}

// A pending Java error ends the copy; true when one was cleared.
bool clearedError(JNIEnv* env) {
  if (!env->ExceptionCheck()) return false;
  env->ExceptionClear();
  return true;
}

// The method of cls, or null with the NoSuchMethodError of the lookup
// cleared: no further JNI call may run while it is pending.
jmethodID methodOf(JNIEnv* env, jclass cls, const char* name, const char* sig) {
  jmethodID m = env->GetMethodID(cls, name, sig);
  if (clearedError(env)) return nullptr;
  return m;
}

void copyProperties(JNIEnv* env, jobject properties, PropertyMap* out) {
  jclass cls = env->GetObjectClass(properties);
  jmethodID names = env->GetMethodID(cls, "propertyNames", "()Ljava/util/Enumeration;");
  env->ExceptionClear();
  if (names == nullptr) return;
  jobject en = env->CallObjectMethod(properties, names);
  if (clearedError(env) || en == nullptr) return;
  jmethodID get = methodOf(env, cls, "getProperty", "(Ljava/lang/String;)Ljava/lang/String;");
  if (get == nullptr) return;
  jclass enCls = env->GetObjectClass(en);
  jmethodID more = methodOf(env, enCls, "hasMoreElements", "()Z");
  if (more == nullptr) return;
  jmethodID next = methodOf(env, enCls, "nextElement", "()Ljava/lang/Object;");
  if (next == nullptr) return;
  for (;;) {
    jboolean hasMore = env->CallBooleanMethod(en, more);
    if (clearedError(env) || !hasMore) break;
    jobject key = env->CallObjectMethod(en, next);
    if (clearedError(env)) return;
    jobject value = env->CallObjectMethod(properties, get, key);
    if (clearedError(env)) return;
    out->insert(std::make_pair(JNIUtils::ToStdString(env, static_cast<jstring>(key)),
                               JNIUtils::ToStdString(env, static_cast<jstring>(value))));
    env->DeleteLocalRef(key);
    env->DeleteLocalRef(value);
  }
}

// The log file that the properties name.
std::string logPathOf(const PropertyMap& props) {
  std::string dir = propertyText(props, "path.log", "");
  if (dir.empty()) dir = propertyText(props, "path.work", ".") + "/log";
  std::string name = dir + "/proxy.log";
#ifdef _WIN32
  replace(name, "/", "\\");
#else
  replace(name, "\\", "/");
#endif
  return name;
}

void readConfiguration(const PropertyMap& props) {
  readNumber(props, "rtp.thread.max.recv", &RTexDispatcher::maxRunnerInThread);
  readNumber(props, "rtp.recv.timeout", &RTex::TIMEOUT_RECV);
#ifdef _WIN32
  readTruth(props, "rtp.bindtodevice", &RTex::BIND_TO_DEVICE);
#else
  readTruth(props, "net.rtp.bindtodevice", &RTex::BIND_TO_DEVICE);
#endif
  readTruth(props, "rtp.behindnat.send", &RTPex::SEND_BEHINDNAT);
  readNumber(props, "net.rtp.udp.recv.bufsize", &RTPex::RECV_BUF_SIZE);
  readNumber(props, "net.rtp.dtls.size", &RTPex::PACKET_SIZE_DTLS);
  readNumber(props, "net.rtp.stun.interval", &RTPex::STUN_INTERVAL);
  RTPex::BLOCK_RTCP = blockFlag(props, "proxy.rtcp.block");
  RTPex::BLOCK_STUN = blockFlag(props, "proxy.stun.block");
  RTPex::BLOCK_DTLS = blockFlag(props, "proxy.dtls.block");
  RTPex::BLOCK_UNKNOWN = blockFlag(props, "proxy.unknown.block");
}

#ifdef _WIN32

void setProcessPriority(const PropertyMap& props) {
  int priority = 1;
  readNumber(props, "process.priority", &priority);
  if (priority == 1) SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
}

void raiseTimerResolution(const PropertyMap& props) {
  int period = 1;
  readNumber(props, "timebeginperiod", &period);
  if (period <= 0) return;
  for (int i = 0; i < kTimerPeriodTries; i++) {
    if (timeBeginPeriod(static_cast<UINT>(period + i)) == TIMERR_NOERROR) {
      savedTimerPeriod = period + i;
      return;
    }
  }
}

void initSrtp() { srtp_init(); }

#else

// Puts the JVM's signal-chaining library first for programs started later.
void adjustPreload(const PropertyMap& props) {
  const char* old = std::getenv("LD_PRELOAD");
  bool hasOld = old != nullptr && old[0] != '\0';
  if (hasOld && std::strstr(old, kJsig) != nullptr) return;
  std::string jsig = propertyText(props, "lib.preload.jsig", "");
  if (jsig.find(kJsig) == std::string::npos) return;
  std::string value = hasOld ? jsig + ":" + old : jsig;
  setenv("LD_PRELOAD", value.c_str(), 1);
}

void setReceivePriority() {
  int p = sched_get_priority_max(SCHED_FIFO);
  int rr = sched_get_priority_max(SCHED_RR);
  if (rr > p) p = rr;
  int other = sched_get_priority_max(SCHED_OTHER);
  if (other > p) p = other;
  DispatchThreadBase::THREAD_PRIORITY = p;
}

void mapInterfaces(const PropertyMap& props) {
  if (!RTex::BIND_TO_DEVICE) return;
  for (PropertyMap::const_iterator it = props.begin(); it != props.end(); ++it) {
    if (it->first.compare(0, 3, "ip:") != 0) continue;
    std::string addr = it->first.substr(3);
    RTPex::smIpIf.insert(std::make_pair(addr, it->second));
    logRecord("ifmap:", addr, ":", it->second);
  }
}

// libsrtp2's initialisation ignores SIGPIPE; the host's own handler is kept.
void initSrtp() {
  struct sigaction pipeAction;
  bool saved = sigaction(SIGPIPE, nullptr, &pipeAction) == 0;
  srtp_init();
  if (saved) sigaction(SIGPIPE, &pipeAction, nullptr);
}

#endif  // _WIN32

// ---- the event worker -------------------------------------------------------

// One call of the worker: the queue it serves and the callback, looked up at
// the first event for Java.
class EventWorker {
 public:
  EventWorker(JNIEnv* env, jclass cls, EventQueue* queue)
      : env(env), cls(cls), queue(queue), method(nullptr) {}

  // Takes the next event (waiting for one) and handles it.
  void takeAndHandle() {
    try {
      EventObj ev = queue->waitForEvent();
      handle(ev);
    } catch (...) {
      LOG_EXCEPTION("RTPex::workerThread() Unknown Error 1");
    }
  }

 private:
  void handle(const EventObj& ev) {
    RTPex* ep = static_cast<RTPex*>(ev.data);
    switch (ev.type) {
      case RTPex::EV_DELETE_RETRY:
        RTPex::handleDeleteRetry(queue, ep);
        break;
      case RTPex::EV_SESSION_TIMEOUT: {
        RTPexPin pin(ep);  // the event's pin
        deliver(ev.param, ep, RTPex::NATIVE_EVENT_SESSION_TIMEOUT, 0,
                "Exception Occured in Java method.(nativeEvent)1");
        break;
      }
      case RTPex::EV_BUFFER_SIZE: {
        RTPexPin pin(ep);
        int size = ep->recvBufSize.load();
        if (size < 0) break;
        deliver(ep->sid.load(), ep, RTPex::NATIVE_EVENT_BUFFER_SIZE, size,
                "Exception Occured in Java method.(nativeEvent)2");
        break;
      }
      default:
        logRecord("Unknown event ");
        logRecord("Type:", ev.type);
        break;
    }
  }

  void deliver(jlong sid, RTPex* ep, int type, int value, const char* failText) {
    if (method == nullptr) {
      method = env->GetStaticMethodID(cls, "nativeEvent", "(JJIISLjava/lang/String;)V");
      if (method == nullptr) {
        env->ExceptionClear();  // the NoSuchMethodError of the lookup
        return;
      }
    }
    env->CallStaticVoidMethod(cls, method, sid, static_cast<jlong>(ep->localPort),
                              static_cast<jint>(type), static_cast<jint>(value),
                              static_cast<jshort>(ep->ipv6), static_cast<jstring>(nullptr));
    if (env->ExceptionCheck()) {
      env->ExceptionClear();
      logRecord(failText);
    }
  }

  JNIEnv* env;
  jclass cls;
  EventQueue* queue;
  jmethodID method;
};

}  // namespace

// ---- start-up and teardown ----------------------------------------------------

void RTPex::initStatic(JNIEnv* env, jobject properties, unsigned char hostFlag) {
  (void)hostFlag;
  if (properties == nullptr) return;
  if (evQ[0] != nullptr) {
    // Started already: new objects would orphan every registered endpoint.
    logRecord("initStatic0 called again: ignored");
    return;
  }
  PropertyMap props;
  copyProperties(env, properties, &props);
  InitTrace(logPathOf(props));
  logRecord("mediarelay#start#", JLangSystem::currentTimeMillis());
  initSrtp();
  // The dispatcher that initEngine makes copies the runner limit, so the
  // keys are read first.
  readConfiguration(props);
  initEngine();
#ifdef _WIN32
  setProcessPriority(props);
  raiseTimerResolution(props);
#else
  adjustPreload(props);
  setReceivePriority();
  mapInterfaces(props);
#endif
}

int RTPex::stopReceiveThreads(int ms) {
  if (RTex::dispatcher == nullptr) return 0;
  return RTex::dispatcher->stopAll(ms);
}

void RTPex::uninitStatic() {
  bShutdown = 1;
  if (woStatic == nullptr) return;
  {
    Synchronized hold(woStatic);
    for (RTPexMap::iterator it = mapIDObj->begin(); it != mapIDObj->end(); ++it) {
      if (it->second == nullptr) continue;
      try {
        delete it->second;
      } catch (...) {
        LOG_EXCEPTION("uninitStatic()");
      }
    }
    mapIDObj->clear();
  }
  delete woStatic;
  SRTPInfo::uninitStatic();
  delete woStaticPortSearch;
  delete mapIDObj;
  woStatic = nullptr;
  woStaticPortSearch = nullptr;
  mapIDObj = nullptr;
#ifdef _WIN32
  if (savedTimerPeriod > 0) timeEndPeriod(static_cast<UINT>(savedTimerPeriod));
  savedTimerPeriod = 0;
#endif
  srtp_shutdown();
}

// ---- events -------------------------------------------------------------------

bool RTPex::workerThread(JNIEnv* env, jclass cls, int queueIndex) {
  try {
    env->ExceptionClear();
    // An index out of range or a relay not started has nothing to serve.
    if (queueIndex < 0 || queueIndex > 1 || evQ[queueIndex] == nullptr) return false;
    if (bShutdown.load() != 0) return false;
    EventWorker worker(env, cls, evQ[queueIndex]);
    for (int allowed = kEventsPerCall;;) {
      worker.takeAndHandle();
      if (bShutdown.load() != 0) return false;
      if (--allowed == 0) return true;
    }
  } catch (...) {
    LOG_EXCEPTION("RTPex::workerThread() Unknown Error 2");
    return bShutdown.load() == 0;
  }
}

// ---- status text ------------------------------------------------------------

std::string RTPex::getInfo(const std::string& key) {
  (void)key;
  std::string text = "<EventQueue GC> :" + evQ[0]->getQueueInfo() + "\r\n";
  text += "<EventQueue EVENT> :" + evQ[1]->getQueueInfo() + "\r\n";
  text += "<RTPex> count:";
  {
    Synchronized hold(woStatic);
    text += std::to_string(static_cast<int>(mapIDObj->size())) + ";\r\n";
    const char* sep = "";
    for (RTPexMap::const_iterator it = mapIDObj->begin(); it != mapIDObj->end(); ++it) {
      const RTPex* ep = it->second;
      text += sep + std::to_string(ep->localPort);
      if (ep->sender != nullptr) text += "@";
      text += "(" + std::to_string(ep->sid.load()) + ")";
      sep = ",";
    }
  }
  // Read without the SRTP lock: a recent value is enough here.
  int converting = SRTPInfo::countConcurrent.load();
  text += "\r\n<SRTP Converting> count:" + std::to_string(converting) + "\r\n";
  return text;
}
