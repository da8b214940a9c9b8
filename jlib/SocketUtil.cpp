#include "SocketUtil.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstring>
#include <thread>

namespace {

// ---- address text ------------------------------------------------------

char* putHex(char* p, unsigned v) {
  static const char kDigits[] = "0123456789abcdef";
  bool started = false;
  for (int shift = 12; shift >= 0; shift -= 4) {
    unsigned d = (v >> shift) & 0xf;
    if (d != 0 || started || shift == 0) {
      *p++ = kDigits[d];
      started = true;
    }
  }
  return p;
}

char* putDec(char* p, unsigned v) {
  if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
  if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
  *p++ = static_cast<char>('0' + v % 10);
  return p;
}

char* putDotted(char* p, const unsigned char* b) {
  for (int i = 0; i < 4; ++i) {
    if (i > 0) *p++ = '.';
    p = putDec(p, b[i]);
  }
  return p;
}

// Groups g[from..to) joined by ':'.
char* putGroups(char* p, const uint16_t* g, int from, int to) {
  for (int i = from; i < to; ++i) {
    if (i > from) *p++ = ':';
    p = putHex(p, g[i]);
  }
  return p;
}

// The fixed IPv6 text: the first longest run of at least two zero groups
// becomes "::"; a leading run of five before ffff, or of exactly six, ends
// in the dotted form of the last four bytes.
void formatV6(const unsigned char* b, char* out) {
  uint16_t g[8];
  for (int i = 0; i < 8; ++i) g[i] = static_cast<uint16_t>(b[2 * i] << 8 | b[2 * i + 1]);

  int runStart = -1;
  int runLen = 0;
  for (int i = 0; i < 8;) {
    if (g[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && g[j] == 0) ++j;
    if (j - i > runLen) {
      runStart = i;
      runLen = j - i;
    }
    i = j;
  }
  if (runLen < 2) runStart = -1;

  char* p = out;
  if (runStart < 0) {
    p = putGroups(p, g, 0, 8);
  } else if (runStart == 0 && runLen == 5 && g[5] == 0xffff) {
    std::memcpy(p, "::ffff:", 7);
    p = putDotted(p + 7, b + 12);
  } else if (runStart == 0 && runLen == 6) {
    *p++ = ':';
    *p++ = ':';
    p = putDotted(p, b + 12);
  } else {
    p = putGroups(p, g, 0, runStart);
    *p++ = ':';
    *p++ = ':';
    p = putGroups(p, g, runStart + runLen, 8);
  }
  *p = '\0';
}

#ifndef _WIN32

const int kOpenTries = 3;
const int kOpenPauseMs = 10;

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// socket() handed out descriptor 0, which stands for "no socket" here:
// move it to a higher number so 0 is not kept busy.
int moveOffZero() {
  int moved = fcntl(0, F_DUPFD, 1);
  int saved = errno;
  ::close(0);
  errno = saved;
  return moved;
}

#endif  // _WIN32

}  // namespace

// ---- InetAddrPort ------------------------------------------------------

InetAddrPort::InetAddrPort() : port(0), scopeId(0) { std::memset(addr, 0, sizeof(addr)); }

// ---- SocketCore --------------------------------------------------------

SocketCore::SocketCore() : desc(NO_SOCKET), family(0), owned(true) {}

SocketCore::~SocketCore() { SocketCore::close(); }

#ifndef _WIN32

int SocketCore::open(int fam, int type, int proto) {
  close();
  family = fam;
  if (!initializeSocket()) return 0;
  for (int attempt = 0; attempt < kOpenTries; ++attempt) {
    if (attempt > 0) sleepMs(kOpenPauseMs);
    int fd = ::socket(fam, type, proto);
    if (fd == 0) fd = moveOffZero();
    if (fd > 0) {
      desc = fd;
      owned = true;
      return desc;
    }
  }
  return 0;
}

void SocketCore::close() {
  if (desc == 0) return;
  if (owned) ::close(desc);
  desc = 0;
  family = 0;
  owned = true;
}

int SocketCore::getError() { return errno; }

#endif  // _WIN32

void SocketCore::setDesc(socket_t d) {
  desc = d;
  owned = true;
}

bool SocketCore::refuseWithoutSocket() const {
  if (isOpened()) return false;
#ifdef _WIN32
  WSASetLastError(WSAENOTSOCK);
#else
  errno = EBADF;
#endif
  return true;
}

void SocketCore::setSameSocket(SocketCore* other) {
  desc = other->desc;
  family = other->family;
  owned = false;
}

bool SocketCore::setLocalPort(unsigned short port) {
  if (refuseWithoutSocket()) return false;
  if (family == AF_INET) {
    sockaddr_in sin;
    std::memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    sin.sin_port = htons(port);
    return ::bind(desc, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) == 0;
  }
  if (family == AF_INET6) {
    sockaddr_in6 sin6;
    std::memset(&sin6, 0, sizeof(sin6));
    sin6.sin6_family = AF_INET6;
    sin6.sin6_addr = in6addr_any;
    sin6.sin6_port = htons(port);
    return ::bind(desc, reinterpret_cast<sockaddr*>(&sin6), sizeof(sin6)) == 0;
  }
  return false;  // no socket of a known family: nothing to bind
}

bool SocketCore::setLocalAddrPort(const std::string& addr, unsigned short port,
                                  unsigned long scopeId) {
  if (addr.empty()) return setLocalPort(port);
  if (refuseWithoutSocket()) return false;
  sockaddr_storage local;
  socklen_t len = resolve(addr.c_str(), port, scopeId, &local);
  if (len == 0) return false;
  return ::bind(desc, reinterpret_cast<sockaddr*>(&local), len) == 0;
}

bool SocketCore::numericAddress(const std::string& addr, std::string* out, int* lookupError) {
  sockaddr_storage ss;
  if (resolve(addr.c_str(), 0, 0, &ss, 0, lookupError) == 0) return false;
  char text[InetAddrPort::ADDR_SIZE];
  getIPStrAndPort(reinterpret_cast<const sockaddr*>(&ss), text, nullptr);
  *out = text;
  return true;
}

int SocketCore::numericForms(const std::string& text, std::string* v4, std::string* v6) {
  v4->clear();
  v6->clear();
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(text.c_str(), nullptr, &hints, &res);
  if (rc != 0) return rc;
  char spelled[InetAddrPort::ADDR_SIZE];
  for (const addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
    std::string* form = ai->ai_family == AF_INET ? v4 : ai->ai_family == AF_INET6 ? v6 : nullptr;
    if (form == nullptr || !form->empty()) continue;  // the first of each family
    getIPStrAndPort(ai->ai_addr, spelled, nullptr);
    *form = spelled;
  }
  freeaddrinfo(res);
  return 0;
}

void SocketCore::sourceSpelling(const char* text, char* out) {
  std::strncpy(out, text, InetAddrPort::ADDR_SIZE - 1);
  out[InetAddrPort::ADDR_SIZE - 1] = '\0';
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* res = nullptr;
  if (getaddrinfo(text, nullptr, &hints, &res) != 0 || res == nullptr) return;
  char spelled[InetAddrPort::ADDR_SIZE];
  if (res->ai_family == AF_INET || res->ai_family == AF_INET6) {
    getIPStrAndPort(res->ai_addr, spelled, nullptr);
    std::memcpy(out, spelled, sizeof(spelled));
  }
  freeaddrinfo(res);
}

socklen_t SocketCore::resolve(const char* text, unsigned short port, unsigned long scopeId,
                              sockaddr_storage* out, int flags, int* lookupError) {
  int unusedError;
  int* err = lookupError != nullptr ? lookupError : &unusedError;
  *err = EAI_FAMILY;
  if (text == nullptr || (family != AF_INET && family != AF_INET6)) return 0;
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = family;
  hints.ai_socktype = getSockType();
  hints.ai_flags = flags;
  addrinfo* res = nullptr;
  *err = getaddrinfo(text, nullptr, &hints, &res);
  if (*err != 0) return 0;
  *err = EAI_FAMILY;
  if (res == nullptr) return 0;

  socklen_t len = 0;
  std::memset(out, 0, sizeof(*out));
  if (res->ai_family == AF_INET && res->ai_addrlen >= sizeof(sockaddr_in)) {
    sockaddr_in sin;
    std::memcpy(&sin, res->ai_addr, sizeof(sin));
    sin.sin_port = htons(port);
    std::memcpy(out, &sin, sizeof(sin));
    len = sizeof(sin);
  } else if (res->ai_family == AF_INET6 && res->ai_addrlen >= sizeof(sockaddr_in6)) {
    sockaddr_in6 sin6;
    std::memcpy(&sin6, res->ai_addr, sizeof(sin6));
    sin6.sin6_port = htons(port);
    sin6.sin6_scope_id = static_cast<uint32_t>(scopeId);
    std::memcpy(out, &sin6, sizeof(sin6));
    len = sizeof(sin6);
  }
  freeaddrinfo(res);
  if (len != 0) *err = 0;
  return len;
}

unsigned short SocketCore::getIPStrAndPort(const sockaddr* sa, char* out,
                                           unsigned long* scopeId) {
  if (sa != nullptr && sa->sa_family == AF_INET) {
    sockaddr_in sin;
    std::memcpy(&sin, sa, sizeof(sin));
    char* p = putDotted(out, reinterpret_cast<const unsigned char*>(&sin.sin_addr));
    *p = '\0';
    if (scopeId != nullptr) *scopeId = 0;
    return ntohs(sin.sin_port);
  }
  if (sa != nullptr && sa->sa_family == AF_INET6) {
    sockaddr_in6 sin6;
    std::memcpy(&sin6, sa, sizeof(sin6));
    formatV6(sin6.sin6_addr.s6_addr, out);
    if (scopeId != nullptr) *scopeId = sin6.sin6_scope_id;
    return ntohs(sin6.sin6_port);
  }
  std::memcpy(out, "0.0.0.0", 8);
  return 0;
}

#ifndef _WIN32

bool SocketCore::initializeSocket() { return true; }

// ---- UDPsocketCore -----------------------------------------------------

int UDPsocketCore::open(int useV6) {
  if (SocketCore::open(useV6 ? AF_INET6 : AF_INET, SOCK_DGRAM, IPPROTO_UDP) == 0) return 0;
  // A blocking socket would stall its receive thread: none is kept.
  int flags = fcntl(desc, F_GETFL);
  if (flags < 0 || fcntl(desc, F_SETFL, flags | O_NONBLOCK) < 0) {
    close();
    return 0;
  }
  return desc;
}

#endif  // _WIN32

// ---- UDPsender ---------------------------------------------------------

UDPsender::UDPsender() { std::memset(&dest, 0, sizeof(dest)); }

bool UDPsender::setDestination(const char* host, unsigned short port,
                               unsigned long scopeId) {
  sockaddr_storage resolved;
  if (resolve(host, port, scopeId, &resolved) == 0) return false;
  dest = resolved;
  return true;
}

bool UDPsender::setNumericDestination(const char* numeric, unsigned short port,
                                      unsigned long scopeId) {
  sockaddr_storage resolved;
  if (resolve(numeric, port, scopeId, &resolved, AI_NUMERICHOST) == 0) return false;
  dest = resolved;
  return true;
}

#ifndef _WIN32

bool UDPsender::send(const void* buf, int len) {
  if (dest.ss_family == 0 || len < 0 || refuseWithoutSocket()) return false;
  ssize_t n = ::sendto(desc, buf, static_cast<size_t>(len), MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr*>(&dest), sizeof(dest));
  return n == len;
}

#endif  // _WIN32

int UDPsender::setTOS(int tos) {
  if (refuseWithoutSocket()) return -1;
  return setsockopt(desc, IPPROTO_IP, IP_TOS, reinterpret_cast<const char*>(&tos), sizeof(tos));
}

// ---- UDPreceiver -------------------------------------------------------

UDPreceiver::UDPreceiver() { std::memset(&lastAddr, 0, sizeof(lastAddr)); }

#ifndef _WIN32

int UDPreceiver::recv(void* buf, int len) {
  if (len < 0) {
    errno = EINVAL;
    return -1;
  }
  if (refuseWithoutSocket()) return -1;
  // The kernel writes the sender only on success.
  socklen_t alen = sizeof(lastAddr);
  ssize_t n = ::recvfrom(desc, buf, static_cast<size_t>(len), MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&lastAddr), &alen);
  return static_cast<int>(n);
}

int UDPreceiver::recvWhole(void* buf, int len) {
  if (len < 0) {
    errno = EINVAL;
    return -1;
  }
  if (refuseWithoutSocket()) return -1;
  sockaddr_storage from;
  std::memset(&from, 0, sizeof(from));
  socklen_t alen = sizeof(from);
  // With MSG_TRUNC the result is the datagram's full length, longer than
  // len when it was cut.
  ssize_t n = ::recvfrom(desc, buf, static_cast<size_t>(len), MSG_DONTWAIT | MSG_TRUNC,
                         reinterpret_cast<sockaddr*>(&from), &alen);
  if (n < 0) return -1;
  if (n > len) {
    errno = EMSGSIZE;
    return -1;
  }
  std::memcpy(&lastAddr, &from, sizeof(lastAddr));
  return static_cast<int>(n);
}

int UDPreceiver::recv(void* buf, int len, int timeoutMs) {
  if (refuseWithoutSocket()) return -1;
  pollfd pfd;
  pfd.fd = desc;
  pfd.events = POLLIN;
  pfd.revents = 0;
  if (::poll(&pfd, 1, timeoutMs) <= 0) return -1;
  return recv(buf, len);
}

#endif  // _WIN32

void UDPreceiver::getRemoteAddrAndPortOfLast(std::string* addr, unsigned short* port,
                                             unsigned long* scopeId) {
  char text[InetAddrPort::ADDR_SIZE];
  std::memset(text, 0, sizeof(text));
  unsigned short p =
      getIPStrAndPort(reinterpret_cast<const sockaddr*>(&lastAddr), text, scopeId);
  if (addr != nullptr) *addr = text;
  if (port != nullptr) *port = p;
}

void UDPreceiver::getRemoteAddrAndPortOfLast(InetAddrPort* out) {
  out->port = getIPStrAndPort(reinterpret_cast<const sockaddr*>(&lastAddr), out->addr,
                              &out->scopeId);
}

bool UDPreceiver::isV6RemoteAddrOfLast() { return lastAddr.ss_family == AF_INET6; }

const unsigned char* UDPreceiver::getRemoteAddrV4OfLast() {
  return reinterpret_cast<const unsigned char*>(&lastAddr) + offsetof(sockaddr_in, sin_addr);
}

const unsigned char* UDPreceiver::getRemoteAddrV6OfLast() {
  return reinterpret_cast<const unsigned char*>(&lastAddr) + offsetof(sockaddr_in6, sin6_addr);
}

int UDPreceiver::setBufferSize(int bytes) {
  if (refuseWithoutSocket()) return -1;
  return setsockopt(desc, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                    sizeof(bytes));
}

#ifndef _WIN32

// ---- SocketSelector ----------------------------------------------------

SocketSelector::SocketSelector() {
  fds.reserve(MAX_SOCKETS);
  clear();
}

SocketSelector::~SocketSelector() {}

void SocketSelector::clear() {
  fds.clear();
  std::memset(pollFds, 0, sizeof(pollFds));
}

bool SocketSelector::add(int desc) {
  if (fds.size() >= static_cast<size_t>(MAX_SOCKETS)) return false;
  fds.push_back(desc);
  return true;
}

bool SocketSelector::remove(int desc) {
  std::vector<int>::iterator it = std::find(fds.begin(), fds.end(), desc);
  if (it == fds.end()) return false;
  fds.erase(it);
  return true;
}

bool SocketSelector::select(long timeoutMs) {
  size_t n = fds.size();
  if (n == 0) return false;
  for (size_t i = 0; i < n; ++i) {
    pollFds[i].fd = fds[i];
    pollFds[i].events = POLLIN;
    pollFds[i].revents = 0;
  }
  int wait = timeoutMs < 0 ? -1 : static_cast<int>(std::min<long>(timeoutMs, INT_MAX));
  return ::poll(pollFds, static_cast<nfds_t>(n), wait) > 0;
}

bool SocketSelector::isSelectedOfIndex(int i) const {
  if (i < 0 || i >= size()) return false;
  return (pollFds[i].revents & POLLIN) != 0;
}

bool SocketSelector::isSelected(int desc) const {
  for (int i = 0; i < size(); ++i) {
    if (pollFds[i].fd == desc) return isSelectedOfIndex(i);
  }
  return false;
}

#endif  // _WIN32
