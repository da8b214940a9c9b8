// SRTP contexts of the relay: one libsrtp2 session with its policy, master
// key and scratch buffer, and the one lock of all SRTP work.
#ifndef MEDIARELAY_SRTPINFO_H
#define MEDIARELAY_SRTPINFO_H

#include <srtp2/srtp.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "SocketUtil.h"
#include "bcore.h"
#include "thread_annotations.h"

class RTPex;

// Where an outbound datagram comes from. from null: not a received
// datagram (nothing to bind), taken as the party's.
struct OutboundSource {
  const InetAddrPort* from;
  bool party;       // from one of the party's addresses
  bool destination;  // from the party's RTP destination or target itself
  bool verified;    // passed SRTP authentication on its way in
};

class SRTPInfo {
 public:
  static const int KEY_LEN = 30;  // 16-byte key, 14-byte salt
  static const int RANDOM_CHAR_COUNT = 62;
  static const int SUITE_AES_CM_128_HMAC_SHA1_32 = 1;
  static const int REPLAY_WINDOW = 2048;
  // The scratch buffer of the relay's contexts at first; ensureBufCapacity
  // grows it.
  static const int INITIAL_BUF_SIZE = 1024;
  // Room that protection may append: tag, MKI and the SRTCP index.
  static const int PROTECT_ROOM = SRTP_MAX_TRAILER_LEN + 4;
  // Inbound streams (one per SSRC) kept per context for its life; a call
  // uses one to three. A datagram of a further SSRC is refused.
  static constexpr int MAX_STREAMS = 32;
  // Outbound SSRCs per context sent from the party's addresses (see
  // PartyAddrs) and by other sources, who have at most
  // MAX_STREAMS_PER_ADDRESS each. Both kinds stay for the context's life.
  static constexpr int MAX_PARTY_STREAMS = 32;
  static constexpr int MAX_OTHER_STREAMS = 32;
  static constexpr int MAX_STREAMS_PER_ADDRESS = 8;
  // The highest rollover count an outbound stream may protect at: beyond
  // it libsrtp2 would wrap the counter and protect old indices again.
  static constexpr uint32_t MAX_ROC = 0x7FFFFFFF;

  static WaitObject* wo;  // every use of a session and countConcurrent
  static const char RANDOM_CHARS[];
  // Changed under wo; the status text reads it without the lock.
  static std::atomic<int> countConcurrent;

  static void initStatic();
  static void uninitStatic();
  // Changes countConcurrent.
  static void addConcurrent(int delta) REQUIRES(wo);

  // Fills key with KEY_LEN characters of RANDOM_CHARS drawn from the
  // system's random source; throws when that source fails.
  static void drawKey(unsigned char* key);

  // An outbound context without a key (null or keyLen < 1) draws a fresh
  // one; every other context copies the bytes given.
  // Both take wo around libsrtp2's calls: never made or deleted under it.
  SRTPInfo(int outbound, short suite, unsigned char* key, int keyLen, int bufSize) EXCLUDES(wo);
  SRTPInfo(int outbound, short suite, unsigned char* key, int keyLen, unsigned char* salt,
           int saltLen, int bufSize) EXCLUDES(wo);
  ~SRTPInfo() EXCLUDES(wo);
  SRTPInfo(const SRTPInfo&) = delete;
  SRTPInfo& operator=(const SRTPInfo&) = delete;

  void ensureBufCapacity(int len) REQUIRES(wo);
  bool usable() const REQUIRES(wo) { return status == 0; }
  // Whether a datagram of ssrc (network order) may be unprotected: its
  // SSRC has a stream, or there is room for one.
  bool inboundRoom(uint32_t ssrc) const REQUIRES(wo);
  // Records that a datagram of ssrc was unprotected, which gave the SSRC a
  // stream in the inbound session.
  void noteStream(uint32_t ssrc) REQUIRES(wo);
  // Whether an outbound datagram of ssrc (network order) from the source
  // src may be protected (see OutboundSsrc). *added: the SSRC was new.
  bool admitOutbound(uint32_t ssrc, bool rtp, const OutboundSource& src, bool* added)
      REQUIRES(wo);
  // Forgets the SSRC just added, whose datagram libsrtp2 refused.
  void unadmitOutbound(uint32_t ssrc) REQUIRES(wo);

  srtp_t session GUARDED_BY(wo);
  srtp_policy_t policy;  // written once, by the constructor
  int status GUARDED_BY(wo);  // 1 until made, then srtp_create's result; 0: session exists
  unsigned char* buf GUARDED_BY(wo);
  int bufCapacity GUARDED_BY(wo);
  int errorCount GUARDED_BY(wo);             // failed unprotects; stops at INT_MAX
  int protectErrorCount GUARDED_BY(wo) = 0;  // failed protects; stops at INT_MAX

 private:
  // libsrtp2 keeps one stream per SSRC that a wildcard session meets and
  // walks them all on every packet: without a bound a flood of new SSRCs
  // slows every packet of every call and grows without limit. No stream is
  // ever removed: made again, it would restart its replay list, rollover
  // count and SRTCP numbering, and an outbound one would protect indices
  // that it had protected before under the same keys.
  uint32_t streams[MAX_STREAMS] GUARDED_BY(wo);  // inbound SSRCs with a stream
  int streamCount GUARDED_BY(wo) = 0;
  // An outbound SSRC and the source it is bound to. Its RTP is taken only
  // from the address and port that sent its first RTP, its RTCP from that
  // address (a sender's RTCP comes from another port): anyone else could
  // move the stream's index far ahead with a sequence number of his own,
  // get its sender's datagrams refused as old and drive the rollover count.
  struct OutboundSsrc {
    uint32_t ssrc;
    char addr[InetAddrPort::ADDR_SIZE];
    uint16_t rtpPort;  // 0: no RTP yet
    bool party;        // in the party's room
  };
  OutboundSsrc outbound[MAX_PARTY_STREAMS + MAX_OTHER_STREAMS] GUARDED_BY(wo);
  int outboundCount GUARDED_BY(wo) = 0;
  int partyCount GUARDED_BY(wo) = 0;

  // The room a new SSRC of src may take.
  bool roomFor(const OutboundSource& src) const REQUIRES(wo);
  // Binds a party's SSRC to the source from anew.
  static void rebind(OutboundSsrc* known, const InetAddrPort& from);
  // Makes the buffer and the session; keyCopy holds at least KEY_LEN bytes
  // and is owned by the policy from then on.
  void create(int outbound, short suite, std::unique_ptr<unsigned char[]> keyCopy, int bufSize);
};

// Remove SRTP / SRTCP in place from a datagram that leaves through partner,
// with partner's cryptoRecv. True when the datagram is plain now or there is
// no inbound context; false when it must be dropped. *verified (when given):
// a context authenticated it.
bool unprotectRTP(RTPex* partner, signed char* buf, int* len, bool* verified = nullptr)
    EXCLUDES(SRTPInfo::wo);
bool unprotectRTCP(RTPex* partner, signed char* buf, int* len, bool* verified = nullptr)
    EXCLUDES(SRTPInfo::wo);
// Test-only (the tests and the benchmark): the protect step of sendSRTP
// alone, a copy of data protected into dst (room for len + PROTECT_ROOM)
// with out's current cryptoSend, *n bytes. libsrtp2's result; -1 when out
// has no outbound context.
int protectRTPInto(RTPex* out, const signed char* data, int len, unsigned char* dst, int* n,
                   const InetAddrPort* from = nullptr, bool verified = false)
    EXCLUDES(SRTPInfo::wo);
// Protect a copy with out's current cryptoSend and send it: RTP through out's
// RTP socket, RTCP through out's RTCP socket, multiplexed RTCP through out's
// RTP socket. The context is read under SRTPInfo::wo, as a JNI thread may
// replace it at any moment. from: the datagram's source (null: none, taken
// as the party's); verified: it passed SRTP authentication on its way in.
// An index protected before, an SSRC that admitOutbound refuses or a stream
// at MAX_ROC is not sent, and the failure is counted.
void sendSRTP(RTPex* out, signed char* buf, int len, const InetAddrPort* from = nullptr,
              bool verified = false);
void sendSRTCP(RTPex* out, signed char* buf, int len, const InetAddrPort* from = nullptr,
               bool verified = false);
void sendSRTCPMux(RTPex* out, signed char* buf, int len, const InetAddrPort* from = nullptr,
                  bool verified = false);

#endif  // MEDIARELAY_SRTPINFO_H
