// SRTP contexts of the relay: one libsrtp2 session with its policy, master
// key and scratch buffer, and the one lock of all SRTP work.
#ifndef MEDIARELAY_SRTPINFO_H
#define MEDIARELAY_SRTPINFO_H

#include <srtp2/srtp.h>

#include <cstdint>
#include <memory>

#include "SocketUtil.h"
#include "bcore.h"

class RTPex;

class SRTPInfo {
 public:
  static const int KEY_LEN = 30;  // 16-byte key, 14-byte salt
  static const int RANDOM_CHAR_COUNT = 62;
  static const int SUITE_AES_CM_128_HMAC_SHA1_32 = 1;
  static const int REPLAY_WINDOW = 2048;
  // Room that protection may append: tag, MKI and the SRTCP index.
  static const int PROTECT_ROOM = SRTP_MAX_TRAILER_LEN + 4;
  // Inbound streams (one per SSRC) kept per context; a call uses one to
  // three.
  static constexpr int MAX_STREAMS = 32;
  // An inbound stream used within this time is never dropped for a new SSRC.
  static constexpr int STREAM_IDLE_MS = 10000;
  // Outbound SSRCs per context sent by the party, the far end that the
  // relay sends the other direction to, and by any other source. Both kinds
  // of stream stay for the context's life.
  static constexpr int MAX_PARTY_STREAMS = 32;
  static constexpr int MAX_OTHER_STREAMS = 8;

  static WaitObject* wo;  // every use of a session and countConcurrent
  static const char RANDOM_CHARS[];
  static int countConcurrent;

  static void initStatic();
  static void uninitStatic();
  // Changes countConcurrent; called with wo held.
  static void addConcurrent(int delta);

  // Fills key with KEY_LEN characters of RANDOM_CHARS drawn from the
  // system's random source; throws when that source fails.
  static void drawKey(unsigned char* key);

  // An outbound context without a key (null or keyLen < 1) draws a fresh
  // one; every other context copies the bytes given.
  SRTPInfo(int outbound, short suite, unsigned char* key, int keyLen, int bufSize);
  SRTPInfo(int outbound, short suite, unsigned char* key, int keyLen, unsigned char* salt,
           int saltLen, int bufSize);
  ~SRTPInfo();
  SRTPInfo(const SRTPInfo&) = delete;
  SRTPInfo& operator=(const SRTPInfo&) = delete;

  void ensureBufCapacity(int len);
  bool usable() const { return status == 0; }
  // Records that a datagram of the SSRC ssrc (network order) was
  // unprotected, which gave the SSRC a stream in the inbound session.
  // Beyond MAX_STREAMS a new SSRC takes the place of the least recently
  // used stream when that one is idle; otherwise its own stream is removed
  // again. Called with wo held.
  void noteStream(uint32_t ssrc);
  // Whether an outbound datagram of ssrc (network order) may be protected.
  // stranger is the address of its source, or null for the party's.
  // A new SSRC needs room among those of its kind of source; an SSRC is
  // then taken only from the source that sent it first, or from the party,
  // which takes over one that another source sent first (its stream stays
  // as it is). Anyone else could move the stream's index far ahead with a
  // sequence number of his own and have its sender's datagrams refused as
  // old. *added: the SSRC was new. Called with wo held.
  bool admitOutbound(uint32_t ssrc, const InetAddrPort* stranger, bool* added);
  // Forgets the SSRC just added, whose datagram libsrtp2 refused.
  void unadmitOutbound(uint32_t ssrc, const InetAddrPort* stranger);

  srtp_t session;
  srtp_policy_t policy;
  int status;  // 1 until made, then srtp_create's result; 0: session exists
  bool keyOwned;
  unsigned char* buf;
  int bufCapacity;
  int errorCount;             // failed unprotects; stops at INT_MAX
  int protectErrorCount = 0;  // failed protects; stops at INT_MAX
  int streamIdleMs = STREAM_IDLE_MS;  // idle time after which a stream may go

 private:
  // libsrtp2 keeps one stream per SSRC that a wildcard session meets and
  // walks them all on every packet: without a bound a flood of new SSRCs
  // slows every packet of every call and grows without limit. A busy or
  // outbound stream is never dropped: made again, it would restart its
  // replay list, rollover count and SRTCP numbering, and protect indices
  // that it had protected before under the same keys. So that strangers,
  // who may send the plain side anything, cannot use up the room of the
  // party's SSRCs, the outbound SSRCs of each kind of source have their own.
  struct Stream {
    uint32_t ssrc;
    uint64_t lastUse;   // useCount when last used: the order of use
    int64_t lastUseMs;  // monotonic
  };
  Stream streams[MAX_STREAMS];
  int streamCount = 0;
  uint64_t useCount = 0;
  uint32_t partySsrcs[MAX_PARTY_STREAMS];
  int partyCount = 0;
  struct OtherSsrc {
    uint32_t ssrc;
    InetAddrPort from;  // the source that sent it first
  };
  OtherSsrc others[MAX_OTHER_STREAMS];
  int otherCount = 0;

  // Makes the buffer and the session; keyCopy holds at least KEY_LEN bytes
  // and is owned by the policy from then on.
  void create(int outbound, short suite, std::unique_ptr<unsigned char[]> keyCopy, int bufSize);
};

// Remove SRTP / SRTCP in place from a datagram that leaves through partner,
// with partner's cryptoRecv. True when the datagram is plain now or there is
// no inbound context; false when it must be dropped.
bool unprotectRTP(RTPex* partner, signed char* buf, int* len);
bool unprotectRTCP(RTPex* partner, signed char* buf, int* len);
// The protect step of sendSRTP alone: a copy of data protected into dst
// (room for len + PROTECT_ROOM) with out's current cryptoSend, *n bytes.
// libsrtp2's result; -1 when out has no outbound context.
int protectRTPInto(RTPex* out, const signed char* data, int len, unsigned char* dst, int* n,
                   const InetAddrPort* stranger = nullptr);
// Protect a copy with out's current cryptoSend and send it: RTP through out's
// RTP socket, RTCP through out's RTCP socket, multiplexed RTCP through out's
// RTP socket. ctx is not used: the context is read under SRTPInfo::wo, as a
// JNI thread may replace it at any moment. stranger: the datagram's source
// when it is not the party, the far end to which out's partner sends (see
// admitOutbound). An index protected before, or an SSRC that admitOutbound
// refuses, is not sent, and the failure is counted.
void sendSRTP(RTPex* out, SRTPInfo* ctx, signed char* buf, int len,
              const InetAddrPort* stranger = nullptr);
void sendSRTCP(RTPex* out, SRTPInfo* ctx, signed char* buf, int len,
               const InetAddrPort* stranger = nullptr);
void sendSRTCPMux(RTPex* out, SRTPInfo* ctx, signed char* buf, int len,
                  const InetAddrPort* stranger = nullptr);

#endif  // MEDIARELAY_SRTPINFO_H
