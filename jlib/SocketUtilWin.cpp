// The Winsock side of the socket layer: start-up, open and close, non-blocking
// receive, and the readiness test with WSAPoll or, where it is missing, select.
// Built for Windows only (cmake/sources.cmake).

#include <cstdlib>
#include <cstring>

#include "SocketUtil.h"

namespace {

const int kOpenTries = 3;
const DWORD kOpenPauseMs = 10;

typedef int(WSAAPI* PollFn)(WSAPOLLFD*, ULONG, INT);

// Set once by the first initializeSocket (the relay opens its sockets
// under its port-search lock).
bool initialized = false;
bool startupOk = false;
PollFn pollFn = nullptr;

timeval toTimeval(long ms) {
  timeval tv;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  return tv;
}

}  // namespace

bool SocketCore::initializeSocket() {
  if (initialized) return startupOk;
  initialized = true;
  WSADATA data;
  startupOk = WSAStartup(MAKEWORD(2, 0), &data) == 0;
  HMODULE ws2 = LoadLibraryA("ws2_32.dll");  // never freed
  if (ws2 != nullptr) {
    pollFn = reinterpret_cast<PollFn>(reinterpret_cast<void*>(GetProcAddress(ws2, "WSAPoll")));
  }
#ifdef JLIB_TEST_HOOKS
  // Test builds only: the select road, as on a system without WSAPoll.
  if (std::getenv("JLIB_TEST_NO_WSAPOLL") != nullptr) pollFn = nullptr;
#endif
  return startupOk;
}

socket_t SocketCore::open(int fam, int type, int proto) {
  close();
  family = fam;
  if (!initializeSocket()) {
    desc = INVALID_SOCKET;
    return desc;
  }
  for (int attempt = 0; attempt < kOpenTries; ++attempt) {
    if (attempt > 0) Sleep(kOpenPauseMs);
    desc = ::socket(fam, type, proto);
    if (desc != INVALID_SOCKET) {
      owned = true;
      return desc;
    }
  }
  return INVALID_SOCKET;
}

void SocketCore::close() {
  if (desc == INVALID_SOCKET) return;
  if (owned) ::closesocket(desc);
  desc = INVALID_SOCKET;
  family = 0;
  owned = true;
}

int SocketCore::getError() { return WSAGetLastError(); }

socket_t UDPsocketCore::open(int useV6) {
  if (SocketCore::open(useV6 ? AF_INET6 : AF_INET, SOCK_DGRAM, IPPROTO_UDP) == INVALID_SOCKET) {
    return INVALID_SOCKET;
  }
  BOOL exclusive = TRUE;
  if (setsockopt(desc, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                 sizeof(exclusive)) == SOCKET_ERROR) {
    close();
    return INVALID_SOCKET;
  }
  u_long nonBlocking = 1;
  if (ioctlsocket(desc, FIONBIO, &nonBlocking) == SOCKET_ERROR) {
    close();
    return INVALID_SOCKET;
  }
  return desc;
}

bool UDPsender::send(const void* buf, int len) {
  if (dest.ss_family == 0 || len < 0 || refuseWithoutSocket()) return false;
  int n = ::sendto(desc, static_cast<const char*>(buf), len, 0,
                   reinterpret_cast<const sockaddr*>(&dest), sizeof(dest));
  return n == len;
}

// A datagram longer than len leaves its first len bytes and fails with
// WSAEMSGSIZE.
int UDPreceiver::recv(void* buf, int len) {
  if (len < 0) {
    WSASetLastError(WSAEINVAL);
    return -1;
  }
  if (refuseWithoutSocket()) return -1;
  int alen = sizeof(lastAddr);
  return ::recvfrom(desc, static_cast<char*>(buf), len, 0, reinterpret_cast<sockaddr*>(&lastAddr),
                    &alen);
}

// recvfrom already refuses a longer datagram here; the sender is kept only
// for one taken whole, as on Linux.
int UDPreceiver::recvWhole(void* buf, int len) {
  if (len < 0) {
    WSASetLastError(WSAEINVAL);
    return -1;
  }
  if (refuseWithoutSocket()) return -1;
  sockaddr_storage from;
  std::memset(&from, 0, sizeof(from));
  int alen = sizeof(from);
  int n = ::recvfrom(desc, static_cast<char*>(buf), len, 0, reinterpret_cast<sockaddr*>(&from),
                     &alen);
  if (n < 0) return -1;
  std::memcpy(&lastAddr, &from, sizeof(lastAddr));
  return n;
}

int UDPreceiver::recv(void* buf, int len, int timeoutMs) {
  if (refuseWithoutSocket()) return -1;
  if (pollFn != nullptr) {
    WSAPOLLFD pfd;
    pfd.fd = desc;
    pfd.events = POLLRDNORM;
    pfd.revents = 0;
    if (pollFn(&pfd, 1, timeoutMs) <= 0) return -1;
  } else {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(desc, &set);
    timeval tv = toTimeval(timeoutMs);
    if (::select(0, &set, nullptr, nullptr, &tv) <= 0) return -1;
  }
  return recv(buf, len);
}

// ---- SocketSelector ----------------------------------------------------

bool SocketSelector::usePoll() { return pollFn != nullptr; }

SocketSelector::SocketSelector() : maxHandle(0) {
  fds.reserve(MAX_SOCKETS);
  std::memset(pollFds, 0, sizeof(pollFds));
  clear();
}

SocketSelector::~SocketSelector() {}

void SocketSelector::clear() {
  fds.clear();
  FD_ZERO(&readSet);
  maxHandle = 0;
}

bool SocketSelector::add(socket_t desc) {
  if (fds.size() >= static_cast<size_t>(MAX_SOCKETS)) return false;
  fds.push_back(desc);
  if (desc + 1 > maxHandle) maxHandle = desc + 1;
  return true;
}

bool SocketSelector::remove(socket_t desc) {
  for (size_t i = 0; i < fds.size(); ++i) {
    if (fds[i] != desc) continue;
    fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
    maxHandle = 0;
    for (socket_t d : fds) {
      if (d + 1 > maxHandle) maxHandle = d + 1;
    }
    return true;
  }
  return false;
}

bool SocketSelector::select(long timeoutMs) {
  size_t n = fds.size();
  if (n == 0) return false;
  if (pollFn != nullptr) {
    for (size_t i = 0; i < n; ++i) {
      pollFds[i].fd = fds[i];
      pollFds[i].events = POLLRDNORM;
      pollFds[i].revents = 0;
    }
    return pollFn(pollFds, static_cast<ULONG>(n), static_cast<INT>(timeoutMs)) > 0;
  }
  // FD_SET keeps each socket once and takes at most FD_SETSIZE (64).
  FD_ZERO(&readSet);
  for (size_t i = 0; i < n; ++i) FD_SET(fds[i], &readSet);
  timeval tv = toTimeval(timeoutMs);
  return ::select(static_cast<int>(maxHandle), &readSet, nullptr, nullptr, &tv) > 0;
}

bool SocketSelector::isSelectedOfIndex(int i) const {
  if (i < 0 || i >= size()) return false;
  if (pollFn != nullptr) return (pollFds[i].revents & POLLRDNORM) != 0;
  return FD_ISSET(fds[static_cast<size_t>(i)], const_cast<fd_set*>(&readSet)) != 0;
}

bool SocketSelector::isSelected(socket_t desc) const {
  for (int i = 0; i < size(); ++i) {
    if (fds[static_cast<size_t>(i)] == desc) return isSelectedOfIndex(i);
  }
  return false;
}
