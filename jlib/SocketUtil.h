// UDP sockets of the base library: a descriptor with its address family,
// non-blocking datagram sockets for sending and receiving, a readiness test
// over up to 64 sockets and the address-text value type.
//
// No class here takes a lock or writes a log: one socket object is used by
// one thread at a time, and the caller serialises its use.
#ifndef JLIB_SOCKETUTIL_H
#define JLIB_SOCKETUTIL_H

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
typedef SOCKET socket_t;
const socket_t NO_SOCKET = INVALID_SOCKET;
const int SOCKET_EMSGSIZE = WSAEMSGSIZE;  // a datagram longer than the buffer
#else
typedef int socket_t;
const socket_t NO_SOCKET = 0;
const int SOCKET_EMSGSIZE = EMSGSIZE;
#endif

// Numeric address text, port in host order and IPv6 scope id (0 for IPv4).
// A plain value: copies copy all fields.
class InetAddrPort {
 public:
#ifdef _WIN32
  static const int ADDR_SIZE = 66;
#else
  static const int ADDR_SIZE = 48;
#endif

  InetAddrPort();
  virtual ~InetAddrPort() {}

  char addr[ADDR_SIZE];  // zero-terminated, at most 47 characters
  uint16_t port;
  unsigned long scopeId;
};

// The same address text and port (the scope id aside).
inline bool sameSource(const InetAddrPort& a, const InetAddrPort& b) {
  return a.port == b.port && std::strncmp(a.addr, b.addr, InetAddrPort::ADDR_SIZE) == 0;
}

// One socket descriptor and its address family. desc NO_SOCKET means none;
// family is AF_INET or AF_INET6 of the socket, 0 after close. An object
// closes only a socket it owns: one it opened or was given with setDesc, not
// one it borrows with setSameSocket.
class SocketCore {
 public:
  SocketCore();
  virtual ~SocketCore();
  SocketCore(const SocketCore&) = delete;
  SocketCore& operator=(const SocketCore&) = delete;

  // Closes a previous socket, then creates one (three tries, 10 ms apart).
  // Returns the new descriptor, or NO_SOCKET when none could be created.
  virtual socket_t open(int family, int type, int proto);
  // Lets go of the socket when there is one, closing it when owned; desc
  // becomes NO_SOCKET, family 0.
  virtual void close();
  virtual int getSockType() = 0;

  // The calling thread's last socket error (errno; WSAGetLastError).
  static int getError();

  // Installs a descriptor, owned from now on, without closing anything;
  // family stays. setDesc(NO_SOCKET) lets go of the socket.
  void setDesc(socket_t desc);
  // Borrows other's descriptor and family: both objects use one socket,
  // which only other closes. A borrower must not use it once other has
  // closed it (the number may belong to a new descriptor by then).
  void setSameSocket(SocketCore* other);
  bool isOpened() const { return desc != NO_SOCKET; }
  socket_t getDesc() const { return desc; }
  int getFamily() const { return family; }

  // Binds to the wildcard address of the socket's family and port.
  bool setLocalPort(unsigned short port);
  // Binds to addr (resolved for the socket's family) and port; an empty
  // addr binds the wildcard address. The IPv6 scope id is scopeId.
  bool setLocalAddrPort(const std::string& addr, unsigned short port,
                        unsigned long scopeId);

  // The numeric text of addr resolved for the socket's family (a name is
  // looked up); false when it does not resolve, with the resolver's error
  // (getaddrinfo's result; EAI_FAMILY for an address of no usable family)
  // in *lookupError when given.
  bool numericAddress(const std::string& addr, std::string* out, int* lookupError = nullptr);

  // The numeric texts (as getIPStrAndPort writes them, without a scope) of
  // text for an IPv4 and an IPv6 socket, from one lookup of both families.
  // A name may keep the caller for the resolver's whole time-out: never
  // call it on a receive thread. A family the text names no address of
  // gets "". Returns getaddrinfo's result (0: it resolved).
  static int numericForms(const std::string& text, std::string* v4, std::string* v6);

  // Writes into out (room for ADDR_SIZE) the numeric address text as
  // getIPStrAndPort writes it for the same address, without a scope; text
  // that is not a numeric address (a name, say) is copied as it is. Never
  // looks a name up.
  static void sourceSpelling(const char* text, char* out);

  // Writes the numeric text of sa's address into out (room for 40
  // characters) and returns its port in host order. IPv4 stores scope 0,
  // IPv6 its scope id; any other family writes "0.0.0.0", returns 0 and
  // leaves *scopeId alone. scopeId may be null.
  static unsigned short getIPStrAndPort(const sockaddr* sa, char* out,
                                        unsigned long* scopeId);

  static bool initializeSocket();

 protected:
  // True when there is no socket, with the platform's "not a socket" error
  // set: calls on an empty object fail without a system call (descriptor 0
  // may be someone else's).
  bool refuseWithoutSocket() const;

  // Resolves text for the socket's family into out (port and scope set
  // from the arguments), with getaddrinfo's flags. Returns the address
  // length, 0 on failure with the resolver's error in *lookupError.
  socklen_t resolve(const char* text, unsigned short port, unsigned long scopeId,
                    sockaddr_storage* out, int flags = 0, int* lookupError = nullptr);

  socket_t desc;
  int family;
  bool owned;  // whether close() and the destructor close desc
};

// A non-blocking UDP socket.
class UDPsocketCore : public SocketCore {
 public:
  int getSockType() override { return SOCK_DGRAM; }
  using SocketCore::open;
  // Opens an IPv6 (useV6 != 0) or IPv4 UDP socket and makes it
  // non-blocking (Windows: claimed exclusively). Returns the descriptor,
  // NO_SOCKET on failure, with no socket left open.
  virtual socket_t open(int useV6);
};

// A UDP socket with one destination.
class UDPsender : public UDPsocketCore {
 public:
  UDPsender();

  // Resolves host for the socket's family and makes it the destination.
  // A failed resolution keeps the previous destination and gives false.
  virtual bool setDestination(const char* host, unsigned short port,
                              unsigned long scopeId);
  // The same for a numeric address text only: a name is refused, never
  // looked up, so a receive thread may call it.
  bool setNumericDestination(const char* numeric, unsigned short port, unsigned long scopeId);
  // True exactly when all len bytes went to the destination; false without
  // a destination or a socket.
  virtual bool send(const void* buf, int len);

  // IP type of service (IP_TOS), also on an IPv6 socket. 0, or -1 (also
  // without a socket).
  int setTOS(int tos);

  // Test-only: the destination as set.
  bool hasDestination() const { return dest.ss_family != 0; }
  const sockaddr_storage& getDestination() const { return dest; }

 protected:
  sockaddr_storage dest;  // family 0: no destination
};

// A UDP socket that receives without blocking and remembers the sender of
// the last datagram.
class UDPreceiver : public UDPsocketCore {
 public:
  UDPreceiver();

  // One datagram into buf, never blocking. Returns its length (0 for an
  // empty one), or -1 with the error in getError() (EAGAIN: nothing
  // waiting; no socket: -1 at once). A longer datagram gives its first len bytes and the result
  // len; the rest is lost. On success lastAddr holds the sender.
  virtual int recv(void* buf, int len);
  // Waits up to timeoutMs for a datagram; -1 when none came.
  virtual int recv(void* buf, int len, int timeoutMs);
  virtual void getRemoteAddrAndPortOfLast(std::string* addr,
                                          unsigned short* port,
                                          unsigned long* scopeId);
  virtual void getRemoteAddrAndPortOfLast(InetAddrPort* out);
  virtual bool isV6RemoteAddrOfLast();
  // The four address bytes of an IPv4 sender (network order).
  virtual const unsigned char* getRemoteAddrV4OfLast();
  // The sixteen address bytes of an IPv6 sender.
  virtual const unsigned char* getRemoteAddrV6OfLast();

  // One datagram as recv(buf, len), but never one cut short, on every
  // platform: a datagram longer than len fails with SOCKET_EMSGSIZE and is
  // gone (buf may hold its first len bytes; lastAddr keeps the previous
  // sender). The caller can then grow its buffer for the next one.
  int recvWhole(void* buf, int len);

  // Kernel receive buffer (SO_RCVBUF). 0, or -1 (also without a socket).
  int setBufferSize(int bytes);

  // Test-only: the sender of the last datagram as received.
  const sockaddr_storage& getLastAddr() const { return lastAddr; }

 protected:
  sockaddr_storage lastAddr;  // all zero until the first datagram
};

// Readiness of up to MAX_SOCKETS descriptors, entry i for the i-th added.
class SocketSelector {
 public:
  static const int MAX_SOCKETS = 64;

  SocketSelector();
  virtual ~SocketSelector();
  SocketSelector(const SocketSelector&) = delete;
  SocketSelector& operator=(const SocketSelector&) = delete;

  void clear();
  // Appends desc; false (nothing added) when MAX_SOCKETS are held already.
  bool add(socket_t desc);
  // Erases the first occurrence of desc; false when absent.
  bool remove(socket_t desc);
  // Waits up to timeoutMs for at least one readable descriptor. False at
  // once when there are none, and on time-out or error.
  bool select(long timeoutMs);
  // Whether entry i was readable (POLLIN) after the last select.
  bool isSelectedOfIndex(int i) const;
  bool isSelected(socket_t desc) const;
  // Test-only: the number of descriptors added.
  int size() const { return static_cast<int>(fds.size()); }

#ifdef _WIN32
  // Whether WSAPoll was found; without it select() waits with select.
  static bool usePoll();

 private:
  std::vector<socket_t> fds;
  WSAPOLLFD pollFds[MAX_SOCKETS];
  fd_set readSet;
  socket_t maxHandle;  // highest handle + 1
#else
  static bool usePoll() { return true; }

 private:
  std::vector<int> fds;
  pollfd pollFds[MAX_SOCKETS];
#endif
};

#endif  // JLIB_SOCKETUTIL_H
