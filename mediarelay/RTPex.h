// Relay endpoints: the socket legs (RTex), the endpoint with its RTP leg
// (RTPex) and its embedded RTCP leg (RTCPex), the id registry, pins, and the
// receive threads that poll every leg's socket.
//
// Lock order. A thread holding one of these locks takes only locks further
// down the list:
//   a leg's addrLock (one leg's at a time, never two at once)
//   SRTPInfo::wo
//   woLog
//   an EventQueue's lock (a queue is counted for a record under woLog)
// RTPex::woStatic and an addrLock are never held together. The receive
// dispatcher's lock is taken before a receive thread's. The lock of each
// field is written beside it (GUARDED_BY); clang's -Wthread-safety checks
// the libraries' uses of it.
#ifndef MEDIARELAY_RTPEX_H
#define MEDIARELAY_RTPEX_H

#include <jni.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "EventUtil.h"
#include "SRTPInfo.h"
#include "SocketUtil.h"
#include "ThreadDispatcher.h"
#include "bcore.h"
#include "thread_annotations.h"

class RTex;
class RTPex;

// ---- receive threads -----------------------------------------------------

class RTexDispatchThread : public DispatchThread<RTex> {
 public:
  RTexDispatchThread();
  ~RTexDispatchThread() override;

  void run() override;

  SocketSelector selector;  // entry i belongs to runner i of runnersInUse

 private:
  // One poll and one sweep over the adopted runners.
  void serve(int64_t* lastSweep);
};

class RTexDispatcher : public ThreadDispatcher<RTex> {
 public:
  // Sockets per receive thread, copied by the constructor.
  static int maxRunnerInThread;

  RTexDispatcher();

  const char* getDispacherName() override;
  DispatchThread<RTex>* newDispatchThread() override;
};

// ---- socket legs ------------------------------------------------------------

// The addresses at which an endpoint's far end is known, spelled as the
// relay writes a datagram's source: its legs' destinations and targets.
// Outbound, a datagram from one of them is the party's. Under SRTPInfo::wo.
struct PartyAddrs {
  static const int kSlots = 6;  // per leg, RTP first: destination, the target's two forms
  static const int kRtpSlots = 3;
  char addr[kSlots][InetAddrPort::ADDR_SIZE];
  uint16_t port[kSlots];

  PartyAddrs() : addr(), port() {}
  bool has(const char* source) const;
  // Whether source is, address and port, the RTP leg's destination or
  // target: where the relay itself holds the party to be.
  bool isRtpDestination(const InetAddrPort& source) const;
};

// A destination text as Java gives it, with its numeric forms for an IPv4
// and an IPv6 socket. The text is looked up when a target is set, on the
// Java thread, once for both families: the partner socket whose family
// picks the form may come or change later, and the datagram roads never
// look a name up.
struct TargetText {
  // Looks text up; a name may take the resolver's whole time-out.
  static TargetText resolve(const std::string& text);

  std::string text;
  std::string v4;  // "" when the text names no IPv4 address
  std::string v6;
};

// A leg's target as Java set it: the text whole, the port (16 bits), the
// scope id, and the text's numeric forms with that port and scope id
// (addr "" where the text has none).
struct LegTarget {
  LegTarget() : port(0), scopeId(0) {}
  // The form for a socket of family; null when the text has none there.
  const InetAddrPort* formFor(int family) const;
  // Whether source, as the relay writes a datagram's source, is one of
  // the forms' addresses.
  bool isAt(const char* source) const;

  std::string text;
  uint16_t port;
  unsigned long scopeId;
  InetAddrPort v4;
  InetAddrPort v6;
};

// How the sockets of a leg and its partner leg are aimed, as the leg's
// receive thread relays. The partner's socket is shared: every endpoint
// whose partner it belongs to sends through it, so a destination that this
// leg set holds only while the socket still points where it was set.
struct Aim {
  Aim() : applied(false) {}
  // sendTo changed: the next relayed datagram aims the partner's socket
  // anew. Called with the leg's addrLock held.
  void invalidate() { applied = false; }

  // sendTo was set on the partner's socket since it last changed. Written
  // under either leg's addrLock; read without a lock as a hint.
  std::atomic<bool> applied;
  // The sendTo this leg last set on its partner's socket; used by the leg's
  // receive thread only.
  InetAddrPort lastApplied;
  // Where this leg's own socket was last aimed, by whichever leg sends
  // through it; under this leg's addrLock.
  InetAddrPort socketDest;
};

// One socket side of an endpoint, served by a receive thread.
class RTex : public Runner {
 public:
  static RTexDispatcher* dispatcher;
  static long timeoutSocket;    // longest wait of one poll, ms
  static long TIMEOUT_RECV;     // SO_RCVTIMEO of both sockets, ms
  static bool BIND_TO_DEVICE;

  RTex();
  ~RTex() override;
  RTex(const RTex&) = delete;
  RTex& operator=(const RTex&) = delete;

  virtual void received(int64_t now);
  virtual void unreceived(int64_t now);
  // Sets the leg's destination as Java gives it and arms learning. The
  // same target again takes the forms of a fresh lookup.
  virtual void setTarget(const TargetText& addr, int port, int scopeId, bool behindNat)
      EXCLUDES(addrLock);
  // Looks addr up on the calling thread, then sets it.
  void setTarget(std::string& addr, int port, int scopeId, bool behindNat);
  // Whether sendTo is the target (in one of its forms, or the target that
  // has none).
  bool sendsToTarget() const REQUIRES(addrLock);
  // Whether addr and port are the RTP target of the leg's endpoint, for an
  // RTCP leg; takes that leg's addrLock.
  bool isRtpTarget(const TargetText& addr, int port) EXCLUDES(addrLock);

  // Clears the five address records, learning and counters (reuse).
  void resetLeg() REQUIRES(addrLock);
  // Arms learning (on) or switches it off, as setResponsePort0 does.
  void setLearning(bool on) EXCLUDES(addrLock);
  // The endpoint the leg belongs to.
  virtual RTPex* endpoint() { return nullptr; }
  // Gives the leg's destination and target to its endpoint's party
  // addresses.
  void publishParty() REQUIRES(addrLock);
  // Drops the source noted for the learning.
  void forgetSignalled() REQUIRES(addrLock);

  WaitObject addrLock;  // receive, address records, destination and send
  signed char* recvBuf;
  std::atomic<int32_t> recvBufSize;
  std::atomic<int32_t> cntPacket;
  // Size of the first buffer, 0 or less for the default; set on reuse,
  // read at the first receive.
  std::atomic<int32_t> initialBufSize;
  // initialBufSize could not be allocated: the leg takes the default size
  // and the refusal has been logged. Receive thread only.
  bool firstBufRefused;
  std::atomic<bool> waitNat;
  bool behindNatEnabled;
  UDPreceiver udpReceiver;  // borrows the descriptor of udpSender
  UDPsender udpSender;      // owns the leg's socket
  socket_t pollDesc;
  std::atomic<int> gotData;
  InetAddrPort sendTo GUARDED_BY(addrLock);  // numeric: a form of the target, or learned
  InetAddrPort learnedAddr GUARDED_BY(addrLock);
  LegTarget target GUARDED_BY(addrLock);
  InetAddrPort lastFrom GUARDED_BY(addrLock);
  Aim aim;
  // The last source at the target's address from which the partner's far
  // end sent since learning was armed, and the partner leg it sent to.
  // Learning prefers it to a source at another address.
  InetAddrPort signalledFrom GUARDED_BY(addrLock);
  const RTex* signalledVia GUARDED_BY(addrLock);
  // Learned from a source not at the target's address: a source there
  // still replaces it. Written under addrLock; read without it as a hint.
  std::atomic<bool> learnOpen;
  // signalledFrom holds a source: a hint, read without addrLock, that spares
  // an open learning the lock on every datagram until one has come.
  std::atomic<bool> signalledSeen;
  // RTCP leg only: its target is the endpoint's RTP target, so the far end
  // takes RTCP on its RTP port and sends it from there: learning follows
  // the partner's RTP leg. Written under addrLock.
  std::atomic<bool> rtcpOnRtpPort;
};

// The RTCP leg, on the RTP port + 1.
class RTCPex : public RTex {
 public:
  RTCPex();
  ~RTCPex() override;
  void received(int64_t now) override;
  // Filters, learns and forwards one datagram of len > 0 bytes.
  virtual void receivedSub(int64_t now, int len, signed char* buf);
  RTPex* endpoint() override { return owner; }

  RTPex* owner;
};

// ---- endpoints --------------------------------------------------------------

// The registry's id -> endpoint map.
typedef std::map<int64_t, RTPex*> RTPexMap;

// The values an endpoint takes when it is reused for a new session.
struct RTPexSession {
  int64_t sid;
  unsigned char hostByte;
  int tos;
  int64_t sessionTimeout;
  std::string hostText;
  int rtpBufSize;
  int rtcpBufSize;
  bool behindNat;
  bool srtpPending;
  std::string bindIp;  // only stored: the sockets stay bound as they are
  int scopeId;
};

// One call leg: the RTP leg itself plus the embedded RTCP leg.
class RTPex : public RTex {
 public:
  static const int EV_DELETE_RETRY = 10;
  static const int EV_SESSION_TIMEOUT = 12;
  static const int EV_BUFFER_SIZE = 13;
  static const int NATIVE_EVENT_SESSION_TIMEOUT = 1;
  static const int NATIVE_EVENT_BUFFER_SIZE = 2;
  static const int STUN_CANDIDATE_MAX = 12;
  static const int DELETE_RETRY_FIRST_MS = 1000;
  static const int DELETE_RETRY_MS = 2000;

  // Registry and shared objects (made by initEngine).
  static WaitObject* woStatic;  // the registry, pins and partners
  static WaitObject* woStaticPortSearch;
  static RTPexMap* mapIDObj PT_GUARDED_BY(woStatic);
  static std::atomic<int> bShutdown;
  static EventQueue* evQ[2];  // [0] "GC", [1] "EVENT"

  // Settings (read at start-up).
  static int STUN_INTERVAL;
  static bool SEND_BEHINDNAT;
  static int PACKET_SIZE_DTLS;
  static int RECV_BUF_SIZE;
  static int BLOCK_RTCP;
  static int BLOCK_STUN;
  static int BLOCK_DTLS;
  static int BLOCK_UNKNOWN;
  static std::map<std::string, std::string> smIpIf;
  static const char* const REVISION;

  RTPex();
  ~RTPex() override;

  void received(int64_t now) override;
  void unreceived(int64_t now) override;
  RTPex* endpoint() override { return this; }
  virtual void close();

  // The text getTarget0 gives: "address:port" of sendTo, the address as
  // Java gave it while sendTo is the target; empty where the relay has no
  // far end (nothing set, to be learned, or no form for the family of the
  // socket that would carry it: the partner's, else this endpoint's own).
  std::string targetText();

  // A new id for an endpoint on port: the next sequence in the high half.
  static int64_t nextId(int32_t port) REQUIRES(woStatic);
  // Creates, binds and registers an endpoint; its id, or 0.
  static int64_t newInstance(int64_t sid, unsigned char hostByte, int portMin, int portMax,
                             int portStart, int tos, int64_t sessionTimeout,
                             const std::string& hostText, int rtpBufSize, int rtcpBufSize,
                             unsigned char behindNat, int16_t ipv6, unsigned char srtpPending,
                             const std::string& bindIp, int scopeId);
  // The registered endpoint, pinned; null when unknown or shutting down.
  static RTPex* idToObj(int64_t id) EXCLUDES(woStatic);
  // Ends the endpoint registered under id: 1 when it was registered.
  static int closeAndDelete(int64_t id);
  // The deferred delete of a closed endpoint (event EV_DELETE_RETRY on
  // queue): destroys it when nothing can reach it, else logs and retries.
  static void handleDeleteRetry(EventQueue* queue, RTPex* ep);

  // Pin count changes, each under woStatic.
  static void pin(RTPex* ep) EXCLUDES(woStatic);
  static void unpin(RTPex* ep) EXCLUDES(woStatic);
  // The same within a hold of woStatic.
  static void pinLocked(RTPex* ep) REQUIRES(woStatic);
  static void unpinLocked(RTPex* ep) REQUIRES(woStatic);

  int prepareDelete();
  std::string reasonCannotDelete();
  void setSender(RTPex* other) EXCLUDES(woStatic);
  void releaseSender() EXCLUDES(woStatic, SRTPInfo::wo);
  // Returns the endpoint to its start-of-session state and gives it next's
  // values: the RTCP leg is reset under its own lock, then the RTP leg's
  // reset, the SRTP drop and the new values take one hold of the RTP leg's
  // addrLock, so no datagram sees an old SRTP mode without its context.
  void reinit(const RTPexSession& next) EXCLUDES(addrLock, rtcp.addrLock);

  // Port pair search and set-up.
  int initialize(int portMin, int portMax, int portStart, int tos, short ipv6);
  int bindPort(unsigned short portMin, unsigned short portMax, unsigned short portStart,
               int tos, int ipv6, std::string& bindIp, int scopeId);

  // Creates the registry, its locks, the event queues and the receive
  // dispatcher (with RTexDispatcher::maxRunnerInThread as it stands).
  static void initEngine();

  // Start-up, events, teardown and status text.
  static void initStatic(JNIEnv* env, jobject properties, unsigned char hostFlag);
  static void uninitStatic();
  // Stops the receive threads without joining them, waiting up to ms for
  // them to leave their loops; the number still running.
  static int stopReceiveThreads(int ms);
  static bool workerThread(JNIEnv* env, jclass cls, int queueIndex);
  static std::string getInfo(const std::string& key);

  // SRTP.
  void createCryptoToSend(short suite) EXCLUDES(SRTPInfo::wo);
  // The same, then the new context's KEY_LEN key bytes copied into key (when
  // not null) under the hold that puts it in place.
  void createCryptoToSend(short suite, unsigned char* key) EXCLUDES(SRTPInfo::wo);
  void createCryptoToRecv(short suite, signed char* key, int len) EXCLUDES(SRTPInfo::wo);
  static void startSrtp(RTPex* a, RTPex* b) EXCLUDES(SRTPInfo::wo);

  std::atomic<int64_t> sessionTimeout;  // <= 0: none
  std::atomic<int64_t> lastRecvTime;    // 0: timer disarmed
  std::string hostText;
  std::atomic<int64_t> sid;
  unsigned char hostByte;
  bool countedConcurrent GUARDED_BY(SRTPInfo::wo);
  int32_t localPort;  // RTCP on localPort + 1; 0 after a failed search
  int16_t ipv6;
  RTCPex rtcp;
  RTPex* sender GUARDED_BY(woStatic);  // the partner, pinned
  std::atomic<int64_t> startTime;
  SRTPInfo* cryptoSend GUARDED_BY(SRTPInfo::wo);
  SRTPInfo* cryptoRecv GUARDED_BY(SRTPInfo::wo);
  // Where the far end that cryptoSend serves is known to be (the party of
  // outbound SSRCs).
  PartyAddrs party GUARDED_BY(SRTPInfo::wo);
  std::atomic<int64_t> stunState;
  InetAddrPort** stunCandidates;  // STUN_CANDIDATE_MAX slots, newest last
  int16_t stunCandidateCount;
  int32_t closing GUARDED_BY(woStatic);
  std::atomic<int16_t> referCounter;   // changed under woStatic only
  std::atomic<int32_t> requestedBufSize;
  // The smallest requested buffer size that could not be allocated (0:
  // none); larger requests are not tried again. Set by the receive thread,
  // cleared by reuse (on a Java thread) for the new session.
  std::atomic<int32_t> refusedBufSize;
  std::atomic<int32_t> payloadType;
  std::atomic<int16_t> srtpMode;       // 0 plain, 1 pending, 2 converting
  std::string bindIp;
  int32_t scopeId;

 private:
  bool legsStillPolled();
  void freeStunCandidates();
  void dropCrypto() EXCLUDES(SRTPInfo::wo);
  void addLegsOrUndo();
  void applyRequestedSize(int32_t size);
  static void deleteNowOrLater(RTPex* ep, int64_t param);
};

// Holds one pin on an endpoint and gives it back on every way out.
class RTPexPin {
 public:
  RTPexPin() : ep(nullptr) {}
  // Adopts a pin already taken (as idToObj takes one); null holds nothing.
  explicit RTPexPin(RTPex* pinned) : ep(pinned) {}
  ~RTPexPin() { reset(); }
  RTPexPin(RTPexPin&& other) noexcept : ep(other.ep) { other.ep = nullptr; }
  RTPexPin(const RTPexPin&) = delete;
  RTPexPin& operator=(const RTPexPin&) = delete;

  // Pins ep now (null: nothing).
  static RTPexPin take(RTPex* ep) EXCLUDES(RTPex::woStatic);
  // The same within a hold of RTPex::woStatic.
  static RTPexPin takeLocked(RTPex* ep) REQUIRES(RTPex::woStatic);
  // The registered endpoint of id, pinned; empty when not found.
  static RTPexPin find(int64_t id) { return RTPexPin(RTPex::idToObj(id)); }

  RTPex* get() const { return ep; }
  RTPex* operator->() const { return ep; }
  explicit operator bool() const { return ep != nullptr; }
  // Hands the pin over with the pointer (to an event, for instance).
  RTPex* release() {
    RTPex* p = ep;
    ep = nullptr;
    return p;
  }
  // Gives the pin back now.
  void reset() EXCLUDES(RTPex::woStatic) {
    if (ep != nullptr) RTPex::unpin(release());
  }
  // The same within a hold of RTPex::woStatic.
  void resetLocked() REQUIRES(RTPex::woStatic) {
    if (ep != nullptr) RTPex::unpinLocked(release());
  }

 private:
  RTPex* ep;
};

// Sequence of endpoint ids (upper 32 bits).
extern uint32_t ID_SEC GUARDED_BY(RTPex::woStatic);

// Kind of a datagram on the RTP port by its first bytes.
const int KIND_RTP = 0;
const int KIND_RTCP = 1;
const int KIND_STUN = 2;
const int KIND_DTLS = 3;
const int KIND_UNKNOWN = 99;
int classifyDatagram(const signed char* buf, int len);

// SRTP mode of an endpoint (RTPex::srtpMode).
const int16_t SRTP_PLAIN = 0;       // datagrams pass as they are
const int16_t SRTP_PENDING = 1;     // keys awaited: its side's media and all bound for it are dropped
const int16_t SRTP_CONVERTING = 2;  // SRTP on its side: removed on arrival, added on the way out

// STUN state of an endpoint (RTPex::stunState). A state above STUN_NONE is
// the time (ms) until which the newest candidate holds.
const int64_t STUN_NONE = 0;
const int64_t STUN_ANSWERED = -1;  // the newest candidate answered: it holds for good
const int64_t STUN_MEDIA = -2;     // media or RTCP arrived: the newest candidate holds for good

#endif  // MEDIARELAY_RTPEX_H
