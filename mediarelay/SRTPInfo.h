// SRTP contexts of the relay: one libsrtp2 session with its policy, master
// key and scratch buffer, and the one lock of all SRTP work.
#ifndef MEDIARELAY_SRTPINFO_H
#define MEDIARELAY_SRTPINFO_H

#include <srtp2/srtp.h>

#include <cstdint>
#include <memory>

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
  // Streams (one per SSRC) kept per context; a call uses one to three.
  static constexpr int MAX_STREAMS = 32;
  // A stream used within this time is never dropped for a new SSRC.
  static constexpr int STREAM_IDLE_MS = 10000;

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
  // Records that a datagram of the SSRC ssrc (network order) was protected
  // or unprotected, which gave the SSRC a stream in the session. Beyond
  // MAX_STREAMS a new SSRC of an inbound context takes the place of the
  // least recently used stream when that one is idle; otherwise (always
  // for an outbound context) its own stream is removed again and the
  // result is false: the caller drops an outbound datagram. Called with wo
  // held.
  bool noteStream(uint32_t ssrc);

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
  // rollover count and its SRTCP numbering.
  struct Stream {
    uint32_t ssrc;
    uint64_t lastUse;   // useCount when last used: the order of use
    int64_t lastUseMs;  // monotonic
  };
  Stream streams[MAX_STREAMS];
  int streamCount = 0;
  uint64_t useCount = 0;

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
int protectRTPInto(RTPex* out, const signed char* data, int len, unsigned char* dst, int* n);
// Protect a copy with out's current cryptoSend and send it: RTP through out's
// RTP socket, RTCP through out's RTCP socket, multiplexed RTCP through out's
// RTP socket. ctx is not used: the context is read under SRTPInfo::wo, as a
// JNI thread may replace it at any moment.
void sendSRTP(RTPex* out, SRTPInfo* ctx, signed char* buf, int len);
void sendSRTCP(RTPex* out, SRTPInfo* ctx, signed char* buf, int len);
void sendSRTCPMux(RTPex* out, SRTPInfo* ctx, signed char* buf, int len);

#endif  // MEDIARELAY_SRTPINFO_H
