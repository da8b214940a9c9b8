// The datagram roads of an endpoint: the RTP port (kinds, blocking, STUN
// latching, learning, buffer growth, forwarding through the partner) and the
// RTCP port (filter, learning, forwarding), plus the destination Java sets.
#include <cerrno>
#include <cstring>
#include <utility>

#include "RTPex.h"
#include "SRTPInfo.h"

namespace {

const int kGrowStep = 200;
const int kMaxBufSize = 20000;
const unsigned char kStunCookie[4] = {0x21, 0x12, 0xA4, 0x42};

// Text and port; the scope id is not compared.
bool sameSource(const InetAddrPort& a, const InetAddrPort& b) {
  return a.port == b.port && std::strncmp(a.addr, b.addr, InetAddrPort::ADDR_SIZE) == 0;
}

bool sameRecord(const InetAddrPort& a, const InetAddrPort& b) {
  return sameSource(a, b) && a.scopeId == b.scopeId;
}

// A size below 1 gives an empty buffer: every datagram is read as empty.
int usableSize(int size) { return size > 0 ? size : 0; }

void replaceBuffer(RTex* leg, int size) {
  signed char* fresh = new signed char[usableSize(size)];
  delete[] leg->recvBuf;
  leg->recvBuf = fresh;
  leg->recvBufSize = usableSize(size);
}

// Posts an event for ep on the "EVENT" queue; the event carries the pin.
void postPinned(RTPexPin* pinned, int kind) {
  RTPex* ep = pinned->get();
  RTPex::evQ[1]->post(kind, static_cast<long>(ep->sid.load()), static_cast<void*>(ep));
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
  partner->reset();
  return RTPexPin::take(ep);
}

// Learns leg's destination from where the partner leg's far end last sent
// from. True when that source is the one learned already.
bool learnFrom(RTex* leg, RTex* partnerLeg) {
  InetAddrPort seen;
  {
    Synchronized hold(&partnerLeg->addrLock);
    if (partnerLeg->lastFrom.port == 0) return false;
    seen = partnerLeg->lastFrom;
  }
  Synchronized hold(&leg->addrLock);
  if (sameSource(seen, leg->learnedAddr)) return true;
  leg->sendTo = seen;
  leg->learnedAddr = seen;
  leg->destApplied = false;
  leg->waitNat = false;
  return false;
}

// Copies leg's sendTo for the partner leg's socket. False when the copy has
// port 0 and such a destination is not to be used.
bool takeDestination(RTex* leg, InetAddrPort* dest, bool portZeroUsable) {
  Synchronized hold(&leg->addrLock);
  if (!portZeroUsable && leg->sendTo.port == 0) return false;
  *dest = leg->sendTo;
  return true;
}

// Sets dest on the partner leg's socket; called with its addrLock held.
void applyDestination(RTex* leg, RTex* partnerLeg, const InetAddrPort& dest) {
  partnerLeg->appliedDest = dest;
  partnerLeg->udpSender.setDestination(dest.addr, dest.port, dest.scopeId);
  leg->destApplied = true;
}

// A sendTo that changed while the older one was being applied is applied
// by a later datagram.
void confirmDestination(RTex* leg, const InetAddrPort& applied) {
  Synchronized hold(&leg->addrLock);
  if (!sameRecord(leg->sendTo, applied)) leg->destApplied = false;
}

bool isMedia(int kind) { return kind == KIND_RTP || kind == KIND_RTCP; }

// The SRTP part of a converting pair's send, on the RTP port or the RTCP
// port; called with the sending leg's addrLock held. A datagram that fails
// to unprotect is dropped. Multiplexed RTCP stays on out's RTP socket.
void relayConverted(RTPex* out, int inMode, int outMode, int kind, bool rtcpPort,
                    signed char* buf, int len) {
  if (inMode == 2) {
    bool plain = kind == KIND_RTP ? unprotectRTP(out, buf, &len) : unprotectRTCP(out, buf, &len);
    if (!plain) return;
  }
  // The contexts are read again under SRTPInfo::wo by the senders.
  if (outMode != 2) {
    (rtcpPort ? out->rtcp.udpSender : out->udpSender).send(buf, len);
  } else if (kind == KIND_RTP) {
    sendSRTP(out, nullptr, buf, len);
  } else if (rtcpPort) {
    sendSRTCP(out, nullptr, buf, len);
  } else {
    sendSRTCPMux(out, nullptr, buf, len);
  }
}

// Steps 12.2 and 12.3: SRTP by in's mode on the way in, by out's on the way
// out; called with out's addrLock held.
void relayOut(RTPex* in, RTPex* out, int kind, signed char* buf, int len) {
  int inMode = in->srtpMode.load();
  int outMode = out->srtpMode.load();
  if (isMedia(kind) && inMode == 1) return;
  if (outMode == 1) return;
  if (isMedia(kind) && (inMode == 2 || outMode == 2)) {
    relayConverted(out, inMode, outMode, kind, false, buf, len);
    return;
  }
  out->udpSender.send(buf, len);
}

// The same for the RTCP port, through the partner's RTCP socket.
void relayRtcpOut(RTPex* in, RTPex* out, signed char* buf, int len) {
  int inMode = in->srtpMode.load();
  int outMode = out->srtpMode.load();
  if (inMode == 1 || outMode == 1) return;
  if (inMode == 2 || outMode == 2) {
    relayConverted(out, inMode, outMode, KIND_RTCP, true, buf, len);
    return;
  }
  out->rtcp.udpSender.send(buf, len);
}

bool holding(int64_t state, int64_t now) { return state < 0 || (state > 0 && now <= state); }

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
    if (answer && state > 0) ep->stunState = -1;
    return true;
  }
  if (at >= 0 && at == newest) {
    if (answer) ep->stunState = -1;
    ep->lastFrom = s;
    return true;
  }
  if (at >= 0) {
    std::swap(ep->stunCandidates[at], ep->stunCandidates[newest]);
    ep->stunState = answer ? -1 : now + RTPex::STUN_INTERVAL;
    return true;
  }
  appendCandidate(ep, s);
  ep->stunState = now + RTPex::STUN_INTERVAL;
  ep->lastFrom = s;
  return true;
}

}  // namespace

int classifyDatagram(const signed char* buf, int len) {
  if (len < 8) return KIND_UNKNOWN;
  const unsigned char* b = reinterpret_cast<const unsigned char*>(buf);
  if (b[0] >= 0x80 && b[0] <= 0xBF) {
    int type = b[1] & 0x7F;
    bool rtcp = type == 64 || type == 65 || (type >= 72 && type <= 79);
    return rtcp ? KIND_RTCP : KIND_RTP;
  }
  if (b[0] >= 20 && b[0] <= 63) return KIND_DTLS;
  if ((b[0] & 0xC0) == 0 && std::memcmp(b + 4, kStunCookie, sizeof(kStunCookie)) == 0) {
    return KIND_STUN;
  }
  return KIND_UNKNOWN;
}

// ---- destination ------------------------------------------------------------

void RTex::setTarget(std::string& addr, int port, int scopeId, bool behindNat) {
  Synchronized hold(&addrLock);
  if (port == target.port && addr.compare(target.addr) == 0) {
    if (behindNat && !waitNat) {
      waitNat = behindNatEnabled;
      destApplied = false;
    }
    return;
  }
  waitNat = behindNat ? behindNatEnabled : false;
  std::strncpy(target.addr, addr.c_str(), InetAddrPort::ADDR_SIZE - 1);
  target.addr[InetAddrPort::ADDR_SIZE - 1] = '\0';
  target.port = static_cast<uint16_t>(port);
  target.scopeId = scopeId >= 0 ? static_cast<unsigned long>(scopeId) : 0;
  if (waitNat && !RTPex::SEND_BEHINDNAT) {
    sendTo.port = 0;
  } else {
    sendTo = target;
  }
  destApplied = false;
}

// ---- RTP port -----------------------------------------------------------------

void RTPex::received(int64_t now) {
  try {
    int32_t requested = requestedBufSize.load();
    if (requested != 0 && requested > recvBufSize.load()) {
      replaceBuffer(this, requested);
      requestedBufSize = 0;
      postEvent(this, EV_BUFFER_SIZE);
    } else if (recvBuf == nullptr) {
      replaceBuffer(this, initialBufSize);
    }

    int len;
    int err = 0;
    {
      Synchronized hold(&addrLock);
      len = udpReceiver.recv(recvBuf, recvBufSize);
      if (len < 0) err = SocketCore::getError();
    }
    if (len < 1) {
      if (err == SOCKET_EMSGSIZE && recvBufSize < kMaxBufSize) {
        int size = recvBufSize + kGrowStep;
        replaceBuffer(this, size > kMaxBufSize ? kMaxBufSize : size);
        postEvent(this, EV_BUFFER_SIZE);
      }
      return;
    }

    int kind = classifyDatagram(recvBuf, len);
    bool blocked = false;
    switch (kind) {
      case KIND_RTP: {
        stunState = -2;
        Synchronized hold(&addrLock);
        udpReceiver.getRemoteAddrAndPortOfLast(&lastFrom);
        break;
      }
      case KIND_RTCP:
        stunState = -2;
        blocked = BLOCK_RTCP != 0;
        break;
      case KIND_DTLS:
        blocked = BLOCK_DTLS != 0;
        break;
      case KIND_STUN:
        blocked = BLOCK_STUN != 0;
        if (!blocked && !latchStun(this, now, recvBuf[0] != 0)) return;
        break;
      default:
        blocked = BLOCK_UNKNOWN != 0;
        break;
    }
    if (blocked) {
      lastRecvTime = now;
      return;
    }

    cntPacket++;
    lastRecvTime = now;
    RTPexPin partner = pinnedPartner(this);
    if (!partner) return;
    RTPex* b = partner.get();

    if (kind == KIND_DTLS) {
      b->requestedBufSize = PACKET_SIZE_DTLS;
      requestedBufSize = PACKET_SIZE_DTLS;
    } else if (kind == KIND_RTP && payloadType.load() == -1) {
      payloadType = recvBuf[1] & 0x7F;
    }

    bool learnedMatch = false;
    if (waitNat || b->stunState.load() > 0) learnedMatch = learnFrom(this, b);

    if (len >= recvBufSize) {
      // The datagram filled the buffer and may have been cut.
      if (recvBufSize >= kMaxBufSize) return;
      int size = len + kGrowStep;
      replaceBuffer(this, size > kMaxBufSize ? kMaxBufSize : size);
      RTPexPin self = swapPin(this, &partner);
      postPinned(&self, EV_BUFFER_SIZE);
      return;
    }

    if (!SEND_BEHINDNAT && waitNat && !learnedMatch) return;

    bool apply = !destApplied;
    InetAddrPort dest;
    if (apply && !takeDestination(this, &dest, false)) return;
    {
      Synchronized hold(&b->addrLock);
      if (apply) applyDestination(this, b, dest);
      relayOut(this, b, kind, recvBuf, len);
    }
    if (apply) confirmDestination(this, dest);
  } catch (...) {
    LOG_EXCEPTION("RTPex::received()");
  }
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
    if (recvBuf == nullptr) replaceBuffer(this, initialBufSize);
    int len;
    {
      Synchronized hold(&addrLock);
      len = udpReceiver.recv(recvBuf, recvBufSize);
    }
    if (len <= 0) return;
    receivedSub(now, len, recvBuf);
  } catch (...) {
    LOG_EXCEPTION("RTCPex::received()");
  }
}

void RTCPex::receivedSub(int64_t now, int len, signed char* buf) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(buf);
  int type = len >= 2 ? (b[1] & 0x7F) : 0;
  if (len < 8 || b[0] < 0x80 || b[0] > 0xBF || type < 72 || type > 79) return;

  owner->lastRecvTime = now;
  cntPacket++;
  RTPexPin partner = pinnedPartner(owner);
  if (!partner) return;
  RTCPex* out = &partner->rtcp;
  {
    Synchronized hold(&addrLock);
    udpReceiver.getRemoteAddrAndPortOfLast(&lastFrom);
  }

  bool learned = waitNat && learnFrom(this, out);
  if (!RTPex::SEND_BEHINDNAT && waitNat && !learned) return;

  bool apply = !destApplied;
  InetAddrPort dest;
  if (apply) takeDestination(this, &dest, true);
  {
    Synchronized hold(&out->addrLock);
    if (apply) applyDestination(this, out, dest);
    relayRtcpOut(owner, partner.get(), buf, len);
  }
  if (apply) confirmDestination(this, dest);
}
