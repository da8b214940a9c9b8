#include "SRTPInfo.h"

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#else
#include <sys/random.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "RTPex.h"

WaitObject* SRTPInfo::wo = nullptr;
const char SRTPInfo::RANDOM_CHARS[] =
    "abcdefghijklmnopkrstuvwxyzABCDEFGHIJKLMNOPKRSTUVWXYZ0123456789";
std::atomic<int> SRTPInfo::countConcurrent{0};

namespace {

// Random bytes at or above this bound are redrawn, so every entry of
// RANDOM_CHARS is equally likely.
const int kUnbiasedBound = 256 - 256 % SRTPInfo::RANDOM_CHAR_COUNT;
const int kRandomRounds = 16;
const int kRetryMinLen = 12;
const int kRetryTailLen = 10;

void fillRandom(unsigned char* out, int n) {
#ifdef _WIN32
  if (BCryptGenRandom(nullptr, out, static_cast<ULONG>(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
    throw std::runtime_error("BCryptGenRandom failed");
  }
#else
  int done = 0;
  for (int tries = 0; done < n && tries < 100; tries++) {
    ssize_t got = getrandom(out + done, static_cast<size_t>(n - done), 0);
    if (got > 0) {
      done += static_cast<int>(got);
    } else if (got < 0 && errno != EINTR) {
      break;
    }
  }
  if (done < n) throw std::runtime_error("getrandom failed");
#endif
}

// A copy of n bytes, zero-padded to at least KEY_LEN so that libsrtp2 never
// reads past it.
unsigned char* copyKey(const unsigned char* key, int n, const unsigned char* salt, int saltLen) {
  n = std::max(n, 0);
  saltLen = std::max(saltLen, 0);
  int size = std::max(n + saltLen, static_cast<int>(SRTPInfo::KEY_LEN));
  unsigned char* copy = new unsigned char[size]();
  if (key != nullptr && n > 0) std::memcpy(copy, key, n);
  if (salt != nullptr && saltLen > 0) std::memcpy(copy + n, salt, saltLen);
  return copy;
}

// Counts one failure, stopping at INT_MAX; true for the first two of a
// context, the only ones logged, so a stream of bad datagrams cannot flood
// the log.
bool countFailure(int* count) {
  bool logged = *count < 2;
  if (*count < INT_MAX) ++*count;
  return logged;
}

void noteUnprotectFailure(SRTPInfo* ctx, const char* text, int r) REQUIRES(SRTPInfo::wo) {
  if (countFailure(&ctx->errorCount)) logRecord(text, r);
}

// Index of ssrc among the count entries of list; -1 when absent.
int findSsrc(const uint32_t* list, int count, uint32_t ssrc) {
  for (int i = 0; i < count; i++) {
    if (list[i] == ssrc) return i;
  }
  return -1;
}

enum class Protect { kRtp, kRtcp };

// The SSRC of an RTP or RTCP header as libsrtp2 reads it (network order).
uint32_t ssrcOf(const void* pkt, Protect kind) {
  uint32_t ssrc;
  std::memcpy(&ssrc, static_cast<const unsigned char*>(pkt) + (kind == Protect::kRtp ? 8 : 4),
              sizeof(ssrc));
  return ssrc;
}

// The shortest header that libsrtp2 protects, which holds the SSRC.
int headerLen(Protect kind) { return kind == Protect::kRtp ? 12 : 8; }

// Datagrams up to this size are protected into a buffer on the sending
// thread's stack and leave after the lock is released; larger ones are
// protected in the context's own buffer and leave under the lock.
const int kLocalRoom = 2048;

// Whether ctx's stream of ssrc may protect another datagram: its rollover
// count is below MAX_ROC (no stream yet: it starts at 0).
bool rocBelowLimit(SRTPInfo* ctx, uint32_t ssrc) REQUIRES(SRTPInfo::wo) {
  uint32_t roc = 0;
  if (srtp_get_stream_roc(ctx->session, ntohl(ssrc), &roc) != srtp_err_status_ok) return true;
  return roc < SRTPInfo::MAX_ROC;
}

// Protects a copy of data into dst with ctx.
int protectCopy(SRTPInfo* ctx, Protect kind, const OutboundSource& src, const signed char* data,
                int len, unsigned char* dst, int* n) REQUIRES(SRTPInfo::wo) {
  if (!ctx->usable()) return ctx->status;
  // A new SSRC without room gets no stream at all: one made for it and
  // removed again would protect the same indices afresh. A shorter
  // datagram is refused by libsrtp2 before it makes a stream.
  bool checked = len >= headerLen(kind);
  uint32_t ssrc = checked ? ssrcOf(data, kind) : 0;
  bool added = false;
  if (checked && !ctx->admitOutbound(ssrc, kind == Protect::kRtp, src, &added)) {
    return srtp_err_status_no_ctx;
  }
  if (checked && !rocBelowLimit(ctx, ssrc)) return srtp_err_status_key_expired;
  if (len > 0) std::memcpy(dst, data, static_cast<size_t>(len));
  *n = len;
  int r = kind == Protect::kRtp ? srtp_protect(ctx->session, dst, n)
                                : srtp_protect_rtcp(ctx->session, dst, n);
  // A header that libsrtp2 refuses takes no room; nothing left, so a stream
  // it may have made has protected nothing yet.
  if (r != srtp_err_status_ok && added) ctx->unadmitOutbound(ssrc);
  return r;
}

// Where a datagram from from comes from, for out's outbound context; under
// SRTPInfo::wo, as out's party addresses change under it.
OutboundSource sourceFor(RTPex* out, const InetAddrPort* from, bool verified)
    REQUIRES(SRTPInfo::wo) {
  bool party = from == nullptr || verified || out->party.has(from->addr);
  bool destination = from != nullptr && out->party.isRtpDestination(*from);
  return OutboundSource{from, party, destination, verified};
}

// Protects a copy of data with out's current outbound context and sends it
// through sock; counts every failure and logs the first two. The send of a
// usual datagram is outside SRTPInfo::wo: that lock serialises every SRTP
// call of the process, and a loopback send under it took several
// microseconds per datagram, enough to back the whole relay up at a
// thousand converting calls.
void protectAndSend(RTPex* out, Protect kind, const InetAddrPort* from, bool verified,
                    UDPsender* sock, const signed char* data, int len, const char* errText) {
  unsigned char local[kLocalRoom];
  int n = 0;
  int r;
  bool sendLocal = false;  // protected into local: sent once the lock is released
  {
    Synchronized hold(SRTPInfo::wo);
    SRTPInfo* ctx = out->cryptoSend;
    if (ctx == nullptr) return;
    OutboundSource src = sourceFor(out, from, verified);
    if (len > kLocalRoom - SRTPInfo::PROTECT_ROOM) {
      ctx->ensureBufCapacity(len);
      r = protectCopy(ctx, kind, src, data, len, ctx->buf, &n);
      if (r == srtp_err_status_ok) {
        sock->send(ctx->buf, n);
        return;
      }
    } else {
      r = protectCopy(ctx, kind, src, data, len, local, &n);
      sendLocal = r == srtp_err_status_ok;
    }
    if (!sendLocal && !countFailure(&ctx->protectErrorCount)) return;
  }
  if (sendLocal) {
    sock->send(local, n);
    return;
  }
  logRecord(errText, r, ",port=", out->localPort);
}

// Keeps the two contexts serving one far end only when both exist; a lone
// one goes to dropped, for the caller to delete after the hold.
void keepPairCompleteLocked(SRTPInfo** send, SRTPInfo** recv, std::unique_ptr<SRTPInfo>* dropped)
    REQUIRES(SRTPInfo::wo) {
  if ((*send == nullptr) == (*recv == nullptr)) return;
  dropped->reset(*send != nullptr ? *send : *recv);
  *send = nullptr;
  *recv = nullptr;
}

}  // namespace

// ---- class-wide state ---------------------------------------------------------

void SRTPInfo::initStatic() { wo = new WaitObject(); }

void SRTPInfo::uninitStatic() {
  delete wo;
  wo = nullptr;
}

void SRTPInfo::addConcurrent(int delta) { countConcurrent += delta; }

void SRTPInfo::drawKey(unsigned char* key) {
  unsigned char raw[64];
  int filled = 0;
  for (int round = 0; filled < KEY_LEN && round < kRandomRounds; round++) {
    fillRandom(raw, static_cast<int>(sizeof(raw)));
    for (size_t i = 0; i < sizeof(raw) && filled < KEY_LEN; i++) {
      if (raw[i] < kUnbiasedBound) key[filled++] = RANDOM_CHARS[raw[i] % RANDOM_CHAR_COUNT];
    }
  }
  std::memset(raw, 0, sizeof(raw));
  if (filled < KEY_LEN) throw std::runtime_error("random key not drawn");
}

// ---- contexts -------------------------------------------------------------------

SRTPInfo::SRTPInfo(int outbound, short suite, unsigned char* key, int keyLen, int bufSize)
    : session(nullptr), status(1), buf(nullptr), bufCapacity(0), errorCount(0) {
  std::memset(&policy, 0, sizeof(policy));
  std::unique_ptr<unsigned char[]> keyCopy;
  if (outbound != 0 && (key == nullptr || keyLen < 1)) {
    keyCopy.reset(new unsigned char[KEY_LEN]);
    drawKey(keyCopy.get());
  } else {
    keyCopy.reset(copyKey(key, keyLen, nullptr, 0));
  }
  create(outbound, suite, std::move(keyCopy), bufSize);
}

SRTPInfo::SRTPInfo(int outbound, short suite, unsigned char* key, int keyLen,
                   unsigned char* salt, int saltLen, int bufSize)
    : session(nullptr), status(1), buf(nullptr), bufCapacity(0), errorCount(0) {
  std::memset(&policy, 0, sizeof(policy));
  create(outbound, suite, std::unique_ptr<unsigned char[]>(copyKey(key, keyLen, salt, saltLen)),
         bufSize);
}

void SRTPInfo::create(int outbound, short suite, std::unique_ptr<unsigned char[]> keyCopy,
                      int bufSize) {
  Synchronized hold(wo);
  bufCapacity = std::max(bufSize, 0) * 3 / 2;
  buf = new unsigned char[bufCapacity];
  if (suite == SUITE_AES_CM_128_HMAC_SHA1_32) {
    srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32(&policy.rtp);
  } else {
    srtp_crypto_policy_set_rtp_default(&policy.rtp);
  }
  srtp_crypto_policy_set_rtcp_default(&policy.rtcp);
  policy.ssrc.type = outbound != 0 ? ssrc_any_outbound : ssrc_any_inbound;
  policy.ssrc.value = 0;
  policy.key = keyCopy.release();
  policy.keys = nullptr;
  policy.num_master_keys = 0;
  policy.window_size = REPLAY_WINDOW;
  // A repeated index would reuse keystream: anyone who reaches the plain
  // side can send a header just seen on the SRTP side with bytes of his own.
  policy.allow_repeat_tx = 0;
  policy.enc_xtn_hdr = nullptr;
  policy.enc_xtn_hdr_count = 0;
  policy.next = nullptr;
  status = srtp_create(&session, &policy);
}

SRTPInfo::~SRTPInfo() {
  if (status == 0) {
    Synchronized hold(wo);
    srtp_dealloc(session);
  }
  // The key is always this context's own copy (see create).
  if (policy.key != nullptr) {
    std::memset(policy.key, 0, KEY_LEN);
    delete[] policy.key;
  }
  delete[] buf;
}

bool SRTPInfo::inboundRoom(uint32_t ssrc) const {
  return streamCount < MAX_STREAMS || findSsrc(streams, streamCount, ssrc) >= 0;
}

void SRTPInfo::noteStream(uint32_t ssrc) {
  if (findSsrc(streams, streamCount, ssrc) >= 0) return;
  if (streamCount < MAX_STREAMS) streams[streamCount++] = ssrc;
}

bool SRTPInfo::roomFor(const OutboundSource& src) const {
  if (src.party) return partyCount < MAX_PARTY_STREAMS;
  int others = 0;
  int fromThere = 0;
  for (int i = 0; i < outboundCount; i++) {
    if (outbound[i].party) continue;
    others++;
    if (std::strncmp(outbound[i].addr, src.from->addr, InetAddrPort::ADDR_SIZE) == 0) fromThere++;
  }
  return others < MAX_OTHER_STREAMS && fromThere < MAX_STREAMS_PER_ADDRESS;
}

void SRTPInfo::rebind(OutboundSsrc* known, const InetAddrPort& from) {
  std::memcpy(known->addr, from.addr, sizeof(known->addr));
  known->rtpPort = from.port;
}

bool SRTPInfo::admitOutbound(uint32_t ssrc, bool rtp, const OutboundSource& src, bool* added) {
  *added = false;
  for (int i = 0; i < outboundCount; i++) {
    OutboundSsrc& known = outbound[i];
    if (known.ssrc != ssrc) continue;
    // The key's holder sent it: its index is the far end's own.
    if (src.from == nullptr || src.verified) return true;
    // A party that moved (a new port or address in a re-INVITE, kept SSRC)
    // sends from where the relay now sends it the other direction.
    if (rtp && known.party && src.destination) rebind(&known, *src.from);
    if (std::strncmp(known.addr, src.from->addr, InetAddrPort::ADDR_SIZE) != 0) return false;
    if (!rtp) return true;
    if (known.rtpPort == 0) known.rtpPort = src.from->port;
    return known.rtpPort == src.from->port;
  }
  if (!roomFor(src)) return false;
  OutboundSsrc& fresh = outbound[outboundCount++];
  fresh.ssrc = ssrc;
  std::memset(fresh.addr, 0, sizeof(fresh.addr));
  if (src.from != nullptr) {
    std::memcpy(fresh.addr, src.from->addr, sizeof(fresh.addr) - 1);  // terminated by the memset
  }
  fresh.rtpPort = rtp && src.from != nullptr ? src.from->port : 0;
  fresh.party = src.party;
  if (fresh.party) partyCount++;
  *added = true;
  return true;
}

void SRTPInfo::unadmitOutbound(uint32_t ssrc) {
  // The SSRC just added is the last of the table.
  if (outboundCount > 0 && outbound[outboundCount - 1].ssrc == ssrc) {
    if (outbound[--outboundCount].party) partyCount--;
  }
  srtp_remove_stream(session, ssrc);
}

void SRTPInfo::ensureBufCapacity(int len) {
  int need = std::max(len * 3 / 2, len + SRTPInfo::PROTECT_ROOM);
  if (bufCapacity >= need) return;
  unsigned char* bigger = new unsigned char[need + 100];
  delete[] buf;
  buf = bigger;
  bufCapacity = need + 100;
}

// ---- endpoint operations ------------------------------------------------------

// A context is made before SRTPInfo::wo is taken and deleted after it is
// released: its constructor and destructor take the lock themselves around
// libsrtp2's calls. Only the exchange is under the hold.

void RTPex::createCryptoToSend(short suite) { createCryptoToSend(suite, nullptr); }

void RTPex::createCryptoToSend(short suite, unsigned char* key) {
  std::unique_ptr<SRTPInfo> fresh(new SRTPInfo(1, suite, nullptr, 0, SRTPInfo::INITIAL_BUF_SIZE));
  std::unique_ptr<SRTPInfo> old;  // deleted once the hold is released
  Synchronized hold(SRTPInfo::wo);
  if (key != nullptr) std::memcpy(key, fresh->policy.key, SRTPInfo::KEY_LEN);
  old.reset(cryptoSend);
  cryptoSend = fresh.release();
}

void RTPex::createCryptoToRecv(short suite, signed char* key, int len) {
  // libsrtp2 reads a whole master key: a shorter one makes no context.
  if (key == nullptr || len < SRTPInfo::KEY_LEN) return;
  std::unique_ptr<SRTPInfo> fresh(
      new SRTPInfo(0, suite, reinterpret_cast<unsigned char*>(key), len,
                   SRTPInfo::INITIAL_BUF_SIZE));
  std::unique_ptr<SRTPInfo> old;
  Synchronized hold(SRTPInfo::wo);
  old.reset(cryptoRecv);
  cryptoRecv = fresh.release();
}

void RTPex::startSrtp(RTPex* a, RTPex* b) {
  std::unique_ptr<SRTPInfo> dropped[2];  // deleted once the hold is released
  Synchronized hold(SRTPInfo::wo);
  keepPairCompleteLocked(&a->cryptoSend, &b->cryptoRecv, &dropped[0]);
  keepPairCompleteLocked(&b->cryptoSend, &a->cryptoRecv, &dropped[1]);
  a->srtpMode = a->cryptoSend != nullptr ? SRTP_CONVERTING : SRTP_PLAIN;
  b->srtpMode = b->cryptoSend != nullptr ? SRTP_CONVERTING : SRTP_PLAIN;
  // A pair counts once while it converts, however often it is started.
  bool converting =
      a->srtpMode.load() == SRTP_CONVERTING || b->srtpMode.load() == SRTP_CONVERTING;
  if (converting == (a->countedConcurrent || b->countedConcurrent)) return;
  if (converting) {
    SRTPInfo::addConcurrent(1);
    a->countedConcurrent = true;
    return;
  }
  for (RTPex* ep : {a, b}) {
    if (ep->countedConcurrent) SRTPInfo::addConcurrent(-1);
    ep->countedConcurrent = false;
  }
}

// ---- datagram helpers -------------------------------------------------------------

// Refuses a datagram of an SSRC that the inbound context has no room for:
// libsrtp2 would make it a stream that nothing could keep.
bool roomForInbound(SRTPInfo* ctx, const signed char* buf, int len, Protect kind)
    REQUIRES(SRTPInfo::wo) {
  return len < headerLen(kind) || ctx->inboundRoom(ssrcOf(buf, kind));
}

bool unprotectRTP(RTPex* partner, signed char* buf, int* len, bool* verified) {
  if (verified != nullptr) *verified = false;
  Synchronized hold(SRTPInfo::wo);
  SRTPInfo* ctx = partner->cryptoRecv;
  if (ctx == nullptr) return true;
  int r = ctx->status;  // a context that was never made fails every datagram
  if (ctx->usable()) r = srtp_err_status_no_ctx;
  if (ctx->usable() && roomForInbound(ctx, buf, *len, Protect::kRtp)) {
    r = srtp_unprotect(ctx->session, buf, len);
    if (r == srtp_err_status_auth_fail && *len >= kRetryMinLen) {
      // Without the byte just before the tag.
      signed char* tail = buf + *len - kRetryTailLen;
      std::memmove(tail - 1, tail, kRetryTailLen);
      *len -= 1;
      r = srtp_unprotect(ctx->session, buf, len);
    }
  }
  if (r == srtp_err_status_ok) {
    ctx->noteStream(ssrcOf(buf, Protect::kRtp));
    if (verified != nullptr) *verified = true;
    return true;
  }
  noteUnprotectFailure(ctx, "strp_unprotect() failed r=", r);
  return false;
}

bool unprotectRTCP(RTPex* partner, signed char* buf, int* len, bool* verified) {
  if (verified != nullptr) *verified = false;
  Synchronized hold(SRTPInfo::wo);
  SRTPInfo* ctx = partner->cryptoRecv;
  if (ctx == nullptr) return true;
  int r = ctx->status;
  if (ctx->usable()) {
    r = roomForInbound(ctx, buf, *len, Protect::kRtcp)
            ? srtp_unprotect_rtcp(ctx->session, buf, len)
            : srtp_err_status_no_ctx;
  }
  if (r == srtp_err_status_ok) {
    ctx->noteStream(ssrcOf(buf, Protect::kRtcp));
    if (verified != nullptr) *verified = true;
    return true;
  }
  noteUnprotectFailure(ctx, "srtp_unprotect_rtcp() failed r=", r);
  return false;
}

int protectRTPInto(RTPex* out, const signed char* data, int len, unsigned char* dst, int* n,
                   const InetAddrPort* from, bool verified) {
  Synchronized hold(SRTPInfo::wo);
  SRTPInfo* ctx = out->cryptoSend;
  if (ctx == nullptr) return -1;
  return protectCopy(ctx, Protect::kRtp, sourceFor(out, from, verified), data, len, dst, n);
}

void sendSRTP(RTPex* out, signed char* buf, int len, const InetAddrPort* from, bool verified) {
  protectAndSend(out, Protect::kRtp, from, verified, &out->udpSender, buf, len,
                 "protect error: r=");
}

void sendSRTCP(RTPex* out, signed char* buf, int len, const InetAddrPort* from, bool verified) {
  protectAndSend(out, Protect::kRtcp, from, verified, &out->rtcp.udpSender, buf, len,
                 "protect_rtcp error: r=");
}

void sendSRTCPMux(RTPex* out, signed char* buf, int len, const InetAddrPort* from,
                  bool verified) {
  protectAndSend(out, Protect::kRtcp, from, verified, &out->udpSender, buf, len,
                 "protect_rtcp error: r=");
}
