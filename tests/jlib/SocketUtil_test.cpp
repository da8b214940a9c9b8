#include "SocketUtil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/ip.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Texts that no resolver accepts and that never reach a name server.
const char* const kUnresolvable[] = {"::1::2", "bad host name", ""};

const char* loopback(int useV6) { return useV6 ? "::1" : "127.0.0.1"; }

sockaddr_storage v6Addr(const uint16_t g[8], uint16_t port, uint32_t scope) {
  sockaddr_storage ss;
  std::memset(&ss, 0, sizeof(ss));
  sockaddr_in6* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
  sin6->sin6_family = AF_INET6;
  sin6->sin6_port = htons(port);
  sin6->sin6_scope_id = scope;
  for (int i = 0; i < 8; ++i) {
    sin6->sin6_addr.s6_addr[2 * i] = static_cast<unsigned char>(g[i] >> 8);
    sin6->sin6_addr.s6_addr[2 * i + 1] = static_cast<unsigned char>(g[i]);
  }
  return ss;
}

sockaddr_storage v4Addr(const char* text, uint16_t port) {
  sockaddr_storage ss;
  std::memset(&ss, 0, sizeof(ss));
  sockaddr_in* sin = reinterpret_cast<sockaddr_in*>(&ss);
  sin->sin_family = AF_INET;
  sin->sin_port = htons(port);
  EXPECT_EQ(1, inet_pton(AF_INET, text, &sin->sin_addr)) << text;
  return ss;
}

const sockaddr* sa(const sockaddr_storage& ss) { return reinterpret_cast<const sockaddr*>(&ss); }

// Local address text and port of a descriptor.
std::string localText(int fd, uint16_t* port) {
  sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  EXPECT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len));
  char out[InetAddrPort::ADDR_SIZE];
  *port = SocketCore::getIPStrAndPort(sa(ss), out, nullptr);
  return out;
}

uint16_t localPort(int fd) {
  uint16_t port = 0;
  localText(fd, &port);
  return port;
}

bool isOpenFd(int fd) { return fcntl(fd, F_GETFD) != -1; }

// A receiver and a sender on loopback of one family, the sender aimed at
// the receiver.
struct LoopPair {
  explicit LoopPair(int useV6) : useV6(useV6) {
    EXPECT_NE(0, rx.open(useV6));
    EXPECT_NE(0, tx.open(useV6));
    EXPECT_TRUE(rx.setLocalAddrPort(loopback(useV6), 0, 0));
    EXPECT_TRUE(tx.setLocalAddrPort(loopback(useV6), 0, 0));
    rxPort = localPort(rx.getDesc());
    txPort = localPort(tx.getDesc());
    tx.setDestination(loopback(useV6), rxPort, 0);
  }

  int useV6;
  UDPreceiver rx;
  UDPsender tx;
  uint16_t rxPort = 0;
  uint16_t txPort = 0;
};

const int kWaitMs = 10000;  // generous bound for a loopback datagram to show up

// A fresh UDP socket in place of descriptor 0 for the length of a scope.
// Descriptor 0 stands for "no socket", so a call that an empty object wrongly
// makes lands on this socket, where it can be seen.
class SocketOnZero {
 public:
  SocketOnZero() : saved(dup(0)) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd > 0) {
      dup2(fd, 0);
      ::close(fd);
    }
  }
  ~SocketOnZero() {
    if (saved >= 0) {
      dup2(saved, 0);
      ::close(saved);
    } else {
      ::close(0);
    }
  }
  bool ok() const {
    int type = 0;
    socklen_t len = sizeof(type);
    return getsockopt(0, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_DGRAM;
  }
  int intOption(int level, int name) const {
    int value = -1;
    socklen_t len = sizeof(value);
    EXPECT_EQ(0, getsockopt(0, level, name, &value, &len));
    return value;
  }

 private:
  int saved;  // -1 when the process had no descriptor 0
};

}  // namespace

// ---- address text ----------------------------------------------------------

TEST(AddressText, IPv6TextFollowsTheFixedRule) {
  struct Case {
    uint16_t g[8];
    const char* text;
  };
  const Case cases[] = {
      {{1, 0, 0, 0, 0, 0, 0, 2}, "1::2"},
      {{0, 0, 0, 0, 0, 0, 0, 1}, "::1"},
      {{0, 0, 0, 0, 0, 0, 0, 0}, "::"},
      {{1, 0, 0, 0, 0, 0, 0, 0}, "1::"},
      {{1, 0, 2, 3, 4, 5, 6, 7}, "1:0:2:3:4:5:6:7"},
      {{1, 0, 0, 2, 0, 0, 3, 4}, "1::2:0:0:3:4"},
      {{1, 0, 0, 2, 0, 0, 0, 3}, "1:0:0:2::3"},
      {{0, 0, 0, 1, 0, 0, 0, 0}, "0:0:0:1::"},
      {{0, 0, 0, 0, 0, 0xffff, 0xc000, 0x201}, "::ffff:192.0.2.1"},
      {{0, 0, 0, 0, 0, 0xffff, 0, 0}, "::ffff:0.0.0.0"},
      {{0, 0, 0, 0, 0, 0, 0xc000, 0x201}, "::192.0.2.1"},
      {{0, 0, 0, 0, 0, 0, 0xffff, 0xffff}, "::255.255.255.255"},
      {{0, 0, 0, 0, 0, 0, 0, 0x201}, "::201"},
      {{0, 0, 0, 0, 1, 0xffff, 0xc000, 0x201}, "::1:ffff:c000:201"},
      // Further edges: lower-case hex without leading zeros, a single zero
      // group at either end, a run of five not followed by ffff.
      {{0xfe80, 0, 0, 0, 0, 0, 0, 1}, "fe80::1"},
      {{0x2001, 0xdb8, 0x0a0b, 0x12, 0, 0, 0, 0xABCD}, "2001:db8:a0b:12::abcd"},
      {{0, 1, 2, 3, 4, 5, 6, 7}, "0:1:2:3:4:5:6:7"},
      {{1, 2, 3, 4, 5, 6, 7, 0}, "1:2:3:4:5:6:7:0"},
      {{0, 0, 0, 0, 0, 0xfffe, 0xc000, 0x201}, "::fffe:c000:201"},
      {{0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff},
       "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
  };
  for (const Case& c : cases) {
    sockaddr_storage ss = v6Addr(c.g, 5004, 7);
    char out[64];
    std::memset(out, 'X', sizeof(out));
    unsigned long scope = 99;
    EXPECT_EQ(5004, SocketCore::getIPStrAndPort(sa(ss), out, &scope)) << c.text;
    EXPECT_STREQ(c.text, out);
    EXPECT_EQ(7u, scope) << c.text;
    EXPECT_LE(std::strlen(out), 39u);
    EXPECT_EQ('X', out[std::strlen(out) + 1]) << "wrote past the text of " << c.text;
  }
}

TEST(AddressText, IPv4TextIsDottedDecimalAndScopeZero) {
  struct Case {
    const char* text;
    uint16_t port;
  };
  const Case cases[] = {
      {"192.0.2.1", 5004}, {"0.0.0.0", 0}, {"255.255.255.255", 65535}, {"10.0.100.9", 1}};
  for (const Case& c : cases) {
    sockaddr_storage ss = v4Addr(c.text, c.port);
    char out[40];
    unsigned long scope = 99;
    EXPECT_EQ(c.port, SocketCore::getIPStrAndPort(sa(ss), out, &scope));
    EXPECT_STREQ(c.text, out);
    EXPECT_EQ(0u, scope) << c.text;
  }
}

TEST(AddressText, OtherFamilyGivesZeroAddressAndLeavesScope) {
  sockaddr_storage zero;
  std::memset(&zero, 0, sizeof(zero));
  sockaddr_storage unixAddr;
  std::memset(&unixAddr, 0xab, sizeof(unixAddr));
  reinterpret_cast<sockaddr_un*>(&unixAddr)->sun_family = AF_UNIX;
  for (const sockaddr_storage* ss : {&zero, &unixAddr}) {
    char out[40];
    std::memset(out, 'X', sizeof(out));
    unsigned long scope = 99;
    EXPECT_EQ(0, SocketCore::getIPStrAndPort(sa(*ss), out, &scope));
    EXPECT_STREQ("0.0.0.0", out);
    EXPECT_EQ(99u, scope);
  }
}

TEST(InetAddrPort, StartsEmpty) {
  InetAddrPort a;
  for (char ch : a.addr) EXPECT_EQ('\0', ch);
  EXPECT_EQ(0, a.port);
  EXPECT_EQ(0u, a.scopeId);
}

// ---- open, close, ownership ------------------------------------------------

TEST(SocketOpen, GivesNonBlockingUdpSocketOfTheFamily) {
  for (int useV6 : {0, 1}) {
    UDPsender s;
    EXPECT_FALSE(s.isOpened());
    EXPECT_EQ(0, s.getFamily());
    int fd = s.open(useV6);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(fd, s.getDesc());
    EXPECT_TRUE(s.isOpened());
    EXPECT_EQ(useV6 ? AF_INET6 : AF_INET, s.getFamily());
    EXPECT_EQ(SOCK_DGRAM, s.getSockType());
    EXPECT_NE(0, fcntl(fd, F_GETFL) & O_NONBLOCK);
    int type = 0;
    socklen_t len = sizeof(type);
    ASSERT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len));
    EXPECT_EQ(SOCK_DGRAM, type);

    s.close();
    EXPECT_FALSE(s.isOpened());
    EXPECT_EQ(0, s.getFamily());
    EXPECT_FALSE(isOpenFd(fd));
    s.close();  // no socket: nothing happens
    EXPECT_FALSE(s.isOpened());
  }
}

TEST(SocketOpen, ReopenClosesThePreviousSocket) {
  UDPreceiver r;
  ASSERT_NE(0, r.open(0));
  ASSERT_TRUE(r.setLocalAddrPort("127.0.0.1", 0, 0));
  uint16_t port = localPort(r.getDesc());
  ASSERT_NE(0, r.open(1));
  EXPECT_EQ(AF_INET6, r.getFamily());

  UDPreceiver other;
  ASSERT_NE(0, other.open(0));
  EXPECT_TRUE(other.setLocalAddrPort("127.0.0.1", port, 0)) << "old socket still holds the port";
}

TEST(SocketOpen, DestructorClosesAndDescriptorZeroIsNeverHeld) {
  int fd;
  {
    UDPsender s;
    fd = s.open(0);
    ASSERT_GT(fd, 0);
  }
  EXPECT_FALSE(isOpenFd(fd));

  // With descriptor 0 free the system would hand it out; 0 means "no socket".
  int savedStdin = dup(0);  // -1 when the process runs without stdin
  ::close(0);
  {
    UDPreceiver r;
    int got = r.open(0);
    EXPECT_GT(got, 0);
    EXPECT_TRUE(r.isOpened());
    EXPECT_FALSE(isOpenFd(0)) << "descriptor 0 kept busy";
  }
  if (savedStdin >= 0) {
    ASSERT_EQ(0, dup2(savedStdin, 0));
    ::close(savedStdin);
  }
}

// However the borrower of a sender's socket lets go of it, the socket stays
// the sender's: open, and still usable.
TEST(SocketOpen, BorrowerNeverClosesTheSharedSocket) {
  struct Ending {
    const char* how;
    void (*end)(std::unique_ptr<UDPreceiver>* rx);
  };
  const Ending endings[] = {
      {"destroyed", [](std::unique_ptr<UDPreceiver>* rx) { rx->reset(); }},
      {"closed", [](std::unique_ptr<UDPreceiver>* rx) { (*rx)->close(); }},
      {"reopened", [](std::unique_ptr<UDPreceiver>* rx) { (*rx)->open(0); }},
      {"disowned, then destroyed",
       [](std::unique_ptr<UDPreceiver>* rx) {
         (*rx)->setDesc(0);
         rx->reset();
       }},
  };
  for (const Ending& e : endings) {
    SCOPED_TRACE(e.how);
    UDPsender tx;
    ASSERT_NE(0, tx.open(0));
    std::unique_ptr<UDPreceiver> rx(new UDPreceiver());
    rx->setSameSocket(&tx);
    EXPECT_EQ(tx.getDesc(), rx->getDesc());
    EXPECT_EQ(AF_INET, rx->getFamily());
    e.end(&rx);
    EXPECT_TRUE(isOpenFd(tx.getDesc()));
    EXPECT_TRUE(tx.setLocalAddrPort("127.0.0.1", 0, 0));
  }
}

// The owner goes first and the number is handed out again at once (as
// another thread's open would take it): the borrower's end leaves the new
// descriptor alone.
TEST(SocketOpen, BorrowerEndingAfterItsOwnerLeavesTheNumberAlone) {
  std::unique_ptr<UDPsender> tx(new UDPsender());
  ASSERT_NE(0, tx->open(0));
  const int fd = tx->getDesc();
  std::unique_ptr<UDPreceiver> rx(new UDPreceiver());
  rx->setSameSocket(tx.get());
  const int other = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(other, 0);
  tx.reset();
  ASSERT_FALSE(isOpenFd(fd));
  ASSERT_EQ(fd, dup2(other, fd));
  ::close(other);
  rx.reset();
  EXPECT_TRUE(isOpenFd(fd)) << "the borrower closed the number's new descriptor";
  ::close(fd);
}

// ---- binding -----------------------------------------------------------------

TEST(SocketBind, EmptyAddressBindsWildcardAndTextBindsThatAddress) {
  struct Case {
    int useV6;
    const char* addr;
    const char* bound;
  };
  const Case cases[] = {
      {0, "", "0.0.0.0"}, {1, "", "::"}, {0, "127.0.0.1", "127.0.0.1"}, {1, "::1", "::1"},
      {0, "localhost", "127.0.0.1"}};
  for (const Case& c : cases) {
    UDPreceiver r;
    ASSERT_NE(0, r.open(c.useV6));
    EXPECT_TRUE(r.setLocalAddrPort(c.addr, 0, 0)) << c.addr;
    uint16_t port = 0;
    EXPECT_EQ(c.bound, localText(r.getDesc(), &port)) << c.addr;
    EXPECT_NE(0, port);
  }

  UDPreceiver first;
  ASSERT_NE(0, first.open(0));
  ASSERT_TRUE(first.setLocalPort(0));
  uint16_t port = localPort(first.getDesc());
  UDPreceiver second;
  ASSERT_NE(0, second.open(0));
  EXPECT_FALSE(second.setLocalPort(port));
  EXPECT_EQ(EADDRINUSE, SocketCore::getError());
  EXPECT_FALSE(second.setLocalAddrPort("127.0.0.1", port, 0));
}

TEST(SocketBind, WrongFamilyOrUnresolvableTextBindsNothing) {
  struct Case {
    int useV6;
    const char* addr;
  };
  std::vector<Case> cases = {{0, "::1"}, {1, "127.0.0.1"}};
  for (const char* bad : kUnresolvable) {
    if (*bad == '\0') continue;  // empty text means the wildcard
    cases.push_back({0, bad});
    cases.push_back({1, bad});
  }
  for (const Case& c : cases) {
    UDPreceiver r;
    ASSERT_NE(0, r.open(c.useV6));
    EXPECT_FALSE(r.setLocalAddrPort(c.addr, 0, 0)) << c.addr;
    EXPECT_EQ(0, localPort(r.getDesc())) << "bound after failing on " << c.addr;
    EXPECT_TRUE(r.setLocalPort(0)) << "socket unusable after " << c.addr;
  }

  UDPreceiver unopened;
  EXPECT_FALSE(unopened.setLocalPort(0));
  EXPECT_FALSE(unopened.setLocalAddrPort("127.0.0.1", 0, 0));
}

// ---- destination -------------------------------------------------------------

TEST(SenderDestination, ScopeIdComesFromTheArgument) {
  for (const char* text : {"fe80::1", "fe80::1%9"}) {
    UDPsender s;
    ASSERT_NE(0, s.open(1));
    ASSERT_TRUE(s.setDestination(text, 5004, 3)) << text;
    ASSERT_TRUE(s.hasDestination()) << text;
    const sockaddr_in6* d = reinterpret_cast<const sockaddr_in6*>(&s.getDestination());
    EXPECT_EQ(AF_INET6, d->sin6_family);
    EXPECT_EQ(5004, ntohs(d->sin6_port));
    EXPECT_EQ(3u, d->sin6_scope_id) << text;
    char out[40];
    unsigned long scope = 0;
    EXPECT_EQ(5004, SocketCore::getIPStrAndPort(sa(s.getDestination()), out, &scope));
    EXPECT_STREQ("fe80::1", out);
    EXPECT_EQ(3u, scope);
  }
}

TEST(SenderDestination, NoDestinationSendsNothingAndFailuresKeepTheOld) {
  LoopPair p(0);
  UDPsender fresh;
  ASSERT_NE(0, fresh.open(0));
  EXPECT_FALSE(fresh.send("x", 1));
  for (const char* bad : kUnresolvable) EXPECT_FALSE(fresh.setDestination(bad, 5004, 0)) << bad;
  EXPECT_FALSE(fresh.setDestination("::1", 5004, 0));  // other family
  EXPECT_FALSE(fresh.hasDestination());
  EXPECT_FALSE(fresh.send("x", 1));

  UDPsender unopened;
  EXPECT_FALSE(unopened.setDestination("127.0.0.1", 5004, 0));
  EXPECT_FALSE(unopened.hasDestination());

  // The pair's sender keeps its destination through failed changes, and
  // says that they failed.
  for (const char* bad : kUnresolvable) EXPECT_FALSE(p.tx.setDestination(bad, 1, 0)) << bad;
  EXPECT_FALSE(p.tx.setDestination("::1", 1, 0));
  ASSERT_TRUE(p.tx.send("abc", 3));
  char buf[16];
  EXPECT_EQ(3, p.rx.recv(buf, sizeof(buf), kWaitMs));
}

// The receive threads set destinations from numbers only: a name is refused
// without a lookup, numbers of the socket's family are taken as
// setDestination takes them, and a refusal keeps the old destination.
TEST(SenderDestination, NumericDestinationTakesNumbersOnly) {
  LoopPair p(0);
  for (const char* refused : {"localhost", "::1", "0x7f.1 x", ""}) {
    EXPECT_FALSE(p.tx.setNumericDestination(refused, 1, 0)) << refused;
  }
  ASSERT_TRUE(p.tx.send("abc", 3));
  char buf[16];
  EXPECT_EQ(3, p.rx.recv(buf, sizeof(buf), kWaitMs));

  UDPsender v6;
  ASSERT_NE(0, v6.open(1));
  EXPECT_FALSE(v6.setNumericDestination("127.0.0.1", 5004, 0));
  ASSERT_TRUE(v6.setNumericDestination("fe80::1%9", 5004, 3));
  const sockaddr_in6* d = reinterpret_cast<const sockaddr_in6*>(&v6.getDestination());
  EXPECT_EQ(5004, ntohs(d->sin6_port));
  EXPECT_EQ(3u, d->sin6_scope_id);
}

// A target text gives the numeric text of each family it names, as
// getIPStrAndPort writes it; a failed lookup gives neither and the
// resolver's error.
TEST(NumericForms, EachFamilyInTheFixedSpelling) {
  struct Case {
    const char* text;
    const char* v4;
    const char* v6;
  } cases[] = {
      {"127.0.0.1", "127.0.0.1", ""},
      {"0:0:0:0:0:0:0:1", "", "::1"},
      {"::FFFF:192.0.2.1", "", "::ffff:192.0.2.1"},
      {"fe80::1%9", "", "fe80::1"},
  };
  for (const Case& c : cases) {
    std::string v4 = "old", v6 = "old";
    EXPECT_EQ(0, SocketCore::numericForms(c.text, &v4, &v6)) << c.text;
    EXPECT_EQ(c.v4, v4) << c.text;
    EXPECT_EQ(c.v6, v6) << c.text;
  }
  std::string v4 = "old", v6 = "old";
  EXPECT_NE(0, SocketCore::numericForms("::1::2", &v4, &v6));
  EXPECT_EQ("", v4);
  EXPECT_EQ("", v6);
}

TEST(NumericForms, NumericAddressGivesTheResolversError) {
  UDPsender s;
  ASSERT_NE(0, s.open(0));
  std::string out = "old";
  int err = 0;
  EXPECT_FALSE(s.numericAddress("::1::2", &out, &err));
  EXPECT_NE(0, err);
  EXPECT_EQ("old", out);
  EXPECT_TRUE(s.numericAddress("127.0.0.1", &out, &err));
  EXPECT_EQ(0, err);
  EXPECT_EQ("127.0.0.1", out);
}

// ---- send and receive ----------------------------------------------------------

TEST(SendRecv, DatagramArrivesAndItsSenderIsRemembered) {
  for (int useV6 : {0, 1}) {
    SCOPED_TRACE(useV6 ? "IPv6" : "IPv4");
    LoopPair p(useV6);
    EXPECT_FALSE(p.rx.isV6RemoteAddrOfLast());
    ASSERT_TRUE(p.tx.send("hello", 5));
    char buf[64];
    ASSERT_EQ(5, p.rx.recv(buf, sizeof(buf), kWaitMs));
    EXPECT_EQ(0, std::memcmp(buf, "hello", 5));

    InetAddrPort from;
    from.scopeId = 99;
    p.rx.getRemoteAddrAndPortOfLast(&from);
    EXPECT_STREQ(loopback(useV6), from.addr);
    EXPECT_EQ(p.txPort, from.port);
    EXPECT_EQ(0u, from.scopeId);

    std::string text;
    unsigned short port = 0;
    unsigned long scope = 99;
    p.rx.getRemoteAddrAndPortOfLast(&text, &port, &scope);
    EXPECT_EQ(loopback(useV6), text);
    EXPECT_EQ(p.txPort, port);
    EXPECT_EQ(0u, scope);

    EXPECT_EQ(useV6 != 0, p.rx.isV6RemoteAddrOfLast());
    unsigned char bytes[16];
    ASSERT_EQ(1, inet_pton(useV6 ? AF_INET6 : AF_INET, loopback(useV6), bytes));
    const unsigned char* got =
        useV6 ? p.rx.getRemoteAddrV6OfLast() : p.rx.getRemoteAddrV4OfLast();
    EXPECT_EQ(0, std::memcmp(bytes, got, useV6 ? 16 : 4));
  }
}

TEST(SendRecv, NothingPendingFailsAtOnceAndKeepsTheLastSender) {
  for (int useV6 : {0, 1}) {
    LoopPair p(useV6);
    char buf[64];
    errno = 0;
    EXPECT_EQ(-1, p.rx.recv(buf, sizeof(buf)));
    EXPECT_EQ(EAGAIN, SocketCore::getError());

    // An empty datagram counts and sets the sender.
    ASSERT_TRUE(p.tx.send(buf, 0));
    EXPECT_EQ(0, p.rx.recv(buf, sizeof(buf), kWaitMs));
    sockaddr_storage before = p.rx.getLastAddr();
    EXPECT_EQ(useV6 ? AF_INET6 : AF_INET, before.ss_family);

    EXPECT_EQ(-1, p.rx.recv(buf, sizeof(buf)));
    EXPECT_EQ(EAGAIN, SocketCore::getError());
    EXPECT_EQ(0, std::memcmp(&before, &p.rx.getLastAddr(), sizeof(before)));

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, p.rx.recv(buf, sizeof(buf), 50));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
  }
}

TEST(SendRecv, LongDatagramIsTruncatedToTheBuffer) {
  LoopPair p(0);
  unsigned char out[300];
  for (int i = 0; i < 300; ++i) out[i] = static_cast<unsigned char>(i);
  ASSERT_TRUE(p.tx.send(out, 300));
  ASSERT_TRUE(p.tx.send(out, 200));

  unsigned char in[300];
  std::memset(in, 0xee, sizeof(in));
  ASSERT_EQ(200, p.rx.recv(in, 200, kWaitMs)) << "truncation is not an error here";
  EXPECT_EQ(0, std::memcmp(out, in, 200));
  EXPECT_EQ(0xee, in[200]) << "wrote past the buffer";
  // The rest of the long one is gone: next comes the 200-byte datagram,
  // which fills the buffer exactly.
  ASSERT_EQ(200, p.rx.recv(in, 200, kWaitMs));
  EXPECT_EQ(-1, p.rx.recv(in, sizeof(in)));
  EXPECT_EQ(EAGAIN, SocketCore::getError());
}

// recvWhole takes a datagram only whole: a longer one fails with EMSGSIZE,
// is gone and leaves the last sender; one that fills the buffer exactly is
// taken, as is an empty one.
TEST(SendRecv, RecvWholeRefusesADatagramLongerThanTheBuffer) {
  for (int useV6 : {0, 1}) {
    SCOPED_TRACE(useV6 ? "IPv6" : "IPv4");
    LoopPair p(useV6);
    UDPsender other;
    ASSERT_NE(0, other.open(useV6));
    ASSERT_TRUE(other.setLocalAddrPort(loopback(useV6), 0, 0));
    ASSERT_TRUE(other.setDestination(loopback(useV6), p.rxPort, 0));
    pollfd pfd = {p.rx.getDesc(), POLLIN, 0};
    unsigned char out[300];
    for (int i = 0; i < 300; ++i) out[i] = static_cast<unsigned char>(i);
    unsigned char in[300];

    ASSERT_TRUE(p.tx.send(out, 0));
    ASSERT_EQ(1, poll(&pfd, 1, kWaitMs));
    ASSERT_EQ(0, p.rx.recvWhole(in, 200));
    const sockaddr_storage first = p.rx.getLastAddr();
    EXPECT_EQ(p.txPort, ntohs(reinterpret_cast<const sockaddr_in*>(&first)->sin_port));

    ASSERT_TRUE(other.send(out, 201));
    ASSERT_TRUE(other.send(out, 200));
    ASSERT_EQ(1, poll(&pfd, 1, kWaitMs));
    std::memset(in, 0xee, sizeof(in));
    errno = 0;
    EXPECT_EQ(-1, p.rx.recvWhole(in, 200));
    EXPECT_EQ(EMSGSIZE, SocketCore::getError());
    EXPECT_EQ(0xee, in[200]) << "wrote past the buffer";
    EXPECT_EQ(0, std::memcmp(&first, &p.rx.getLastAddr(), sizeof(first)));

    // The long one is gone; the next fills the buffer and is taken.
    ASSERT_EQ(1, poll(&pfd, 1, kWaitMs));
    std::memset(in, 0xee, sizeof(in));
    ASSERT_EQ(200, p.rx.recvWhole(in, 200));
    EXPECT_EQ(0, std::memcmp(out, in, 200));
    InetAddrPort from;
    p.rx.getRemoteAddrAndPortOfLast(&from);
    EXPECT_EQ(localPort(other.getDesc()), from.port);

    EXPECT_EQ(-1, p.rx.recvWhole(in, 200));
    EXPECT_EQ(EAGAIN, SocketCore::getError());
    EXPECT_EQ(-1, p.rx.recvWhole(in, -1));
    EXPECT_EQ(EINVAL, SocketCore::getError());
  }
}

TEST(SendRecv, SendIsTrueOnlyWhenTheWholeDatagramLeaves) {
  LoopPair p(0);
  std::vector<char> big(70000, 'a');  // above the UDP maximum
  EXPECT_FALSE(p.tx.send(big.data(), static_cast<int>(big.size())));
  EXPECT_EQ(EMSGSIZE, SocketCore::getError());
  EXPECT_FALSE(p.tx.send(big.data(), -1));
  char buf[4];
  EXPECT_EQ(-1, p.rx.recv(buf, sizeof(buf)));
}

// ---- objects without a socket ------------------------------------------------

// Never opened, closed, and disowned with setDesc: each fails every call
// without reaching the socket on descriptor 0.
TEST(EmptySocket, CallsFailWithoutTouchingDescriptorZero) {
  SocketOnZero zero;
  ASSERT_TRUE(zero.ok());
  UDPreceiver sink;
  ASSERT_NE(0, sink.open(0));
  ASSERT_TRUE(sink.setLocalAddrPort("127.0.0.1", 0, 0));
  uint16_t sinkPort = localPort(sink.getDesc());

  struct Empty {
    const char* kind;
    UDPreceiver rx;
    UDPsender tx;
  };
  Empty empties[3] = {{"never opened", {}, {}}, {"closed", {}, {}}, {"disowned", {}, {}}};
  std::vector<int> disownedFds;
  for (int i = 1; i < 3; ++i) {
    Empty& e = empties[i];
    ASSERT_NE(0, e.rx.open(0));
    ASSERT_NE(0, e.tx.open(0));
    e.tx.setDestination("127.0.0.1", sinkPort, 0);
    ASSERT_TRUE(e.tx.hasDestination());
    if (i == 1) {
      e.rx.close();
      e.tx.close();
    } else {
      disownedFds.push_back(e.rx.getDesc());
      disownedFds.push_back(e.tx.getDesc());
      e.rx.setDesc(NO_SOCKET);
      e.tx.setDesc(NO_SOCKET);
    }
  }

  // Binding: descriptor 0 stays unbound.
  for (Empty& e : empties) {
    for (SocketCore* s : {static_cast<SocketCore*>(&e.rx), static_cast<SocketCore*>(&e.tx)}) {
      EXPECT_FALSE(s->isOpened()) << e.kind;
      EXPECT_FALSE(s->setLocalPort(0)) << e.kind;
      EXPECT_FALSE(s->setLocalAddrPort("127.0.0.1", 0, 0)) << e.kind;
    }
  }
  EXPECT_EQ(0, localPort(0)) << "descriptor 0 was bound";

  // A datagram waits on descriptor 0, which also has its own options.
  sockaddr_storage zeroAddr = v4Addr("127.0.0.1", 0);
  ASSERT_EQ(0, bind(0, sa(zeroAddr), sizeof(sockaddr_in)));
  UDPsender feeder;
  ASSERT_NE(0, feeder.open(0));
  feeder.setDestination("127.0.0.1", localPort(0), 0);
  ASSERT_TRUE(feeder.send("pending", 7));
  pollfd pfd = {0, POLLIN, 0};
  ASSERT_EQ(1, poll(&pfd, 1, kWaitMs));
  const int tos = zero.intOption(IPPROTO_IP, IP_TOS);
  const int rcvbuf = zero.intOption(SOL_SOCKET, SO_RCVBUF);

  for (Empty& e : empties) {
    SCOPED_TRACE(e.kind);
    char buf[16];
    errno = 0;
    EXPECT_EQ(-1, e.rx.recv(buf, sizeof(buf)));
    EXPECT_EQ(EBADF, SocketCore::getError());
    EXPECT_EQ(-1, e.rx.recv(buf, sizeof(buf), kWaitMs));
    errno = 0;
    EXPECT_EQ(-1, e.rx.recvWhole(buf, sizeof(buf)));
    EXPECT_EQ(EBADF, SocketCore::getError());
    EXPECT_EQ(-1, e.rx.setBufferSize(4096));
    EXPECT_EQ(-1, e.tx.setTOS(0xb8));
    EXPECT_FALSE(e.tx.send("x", 1));
  }

  EXPECT_EQ(tos, zero.intOption(IPPROTO_IP, IP_TOS));
  EXPECT_EQ(rcvbuf, zero.intOption(SOL_SOCKET, SO_RCVBUF));
  char buf[16];
  EXPECT_EQ(7, ::recv(0, buf, sizeof(buf), MSG_DONTWAIT)) << "the waiting datagram was taken";
  EXPECT_EQ(0, std::memcmp(buf, "pending", 7));
  // Nothing left through descriptor 0: the sink's first datagram is the
  // marker that descriptor 0 sends now.
  sockaddr_storage sinkAddr = v4Addr("127.0.0.1", sinkPort);
  ASSERT_EQ(6, sendto(0, "marker", 6, 0, sa(sinkAddr), sizeof(sockaddr_in)));
  ASSERT_EQ(6, sink.recv(buf, sizeof(buf), kWaitMs));
  EXPECT_EQ(0, std::memcmp(buf, "marker", 6));

  for (int fd : disownedFds) ::close(fd);
}

// ---- socket options --------------------------------------------------------------

TEST(SocketOptions, TosIsSetAndCarriedOnTheWire) {
  LoopPair p(0);
  EXPECT_EQ(0, p.tx.setTOS(0xb8));
  int tos = 0;
  socklen_t len = sizeof(tos);
  ASSERT_EQ(0, getsockopt(p.tx.getDesc(), IPPROTO_IP, IP_TOS, &tos, &len));
  EXPECT_EQ(0xb8, tos);

  int on = 1;
  ASSERT_EQ(0, setsockopt(p.rx.getDesc(), IPPROTO_IP, IP_RECVTOS, &on, sizeof(on)));
  ASSERT_TRUE(p.tx.send("t", 1));
  char data[8];
  char control[64];
  iovec iov = {data, sizeof(data)};
  msghdr msg;
  std::memset(&msg, 0, sizeof(msg));
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof(control);
  pollfd pfd = {p.rx.getDesc(), POLLIN, 0};
  ASSERT_EQ(1, poll(&pfd, 1, kWaitMs));
  ASSERT_EQ(1, recvmsg(p.rx.getDesc(), &msg, 0));
  int seen = -1;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS) seen = *CMSG_DATA(c);
  }
  EXPECT_EQ(0xb8, seen);

  UDPsender v6;
  ASSERT_NE(0, v6.open(1));
  EXPECT_EQ(0, v6.setTOS(0x28));
}

TEST(SocketOptions, BufferSizeReachesTheKernel) {
  UDPreceiver r;
  ASSERT_NE(0, r.open(0));
  int sizes[2];
  const int wanted[2] = {4096, 65536};
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(0, r.setBufferSize(wanted[i]));
    socklen_t len = sizeof(sizes[i]);
    ASSERT_EQ(0, getsockopt(r.getDesc(), SOL_SOCKET, SO_RCVBUF, &sizes[i], &len));
    EXPECT_GE(sizes[i], wanted[i]);
  }
  EXPECT_GT(sizes[1], sizes[0]);
}

// ---- selector ----------------------------------------------------------------------

TEST(Selector, ReportsExactlyTheReadableSockets) {
  // Four receivers, both families; datagrams for entries 1 and 3.
  std::vector<std::unique_ptr<LoopPair>> pairs;
  for (int i = 0; i < 4; ++i) pairs.emplace_back(new LoopPair(i % 2));
  SocketSelector sel;
  for (auto& p : pairs) ASSERT_TRUE(sel.add(p->rx.getDesc()));
  EXPECT_EQ(4, sel.size());
  EXPECT_FALSE(sel.select(0));

  ASSERT_TRUE(pairs[1]->tx.send("a", 1));
  ASSERT_TRUE(pairs[3]->tx.send("b", 1));
  for (int i : {1, 3}) {  // both have arrived before the selector looks
    pollfd pfd = {pairs[i]->rx.getDesc(), POLLIN, 0};
    ASSERT_EQ(1, poll(&pfd, 1, kWaitMs));
  }

  ASSERT_TRUE(sel.select(kWaitMs));
  for (int i = 0; i < 4; ++i) {
    bool expected = (i == 1 || i == 3);
    EXPECT_EQ(expected, sel.isSelectedOfIndex(i)) << i;
    EXPECT_EQ(expected, sel.isSelected(pairs[i]->rx.getDesc())) << i;
  }
  EXPECT_FALSE(sel.isSelectedOfIndex(4));
  EXPECT_FALSE(sel.isSelectedOfIndex(-1));
  EXPECT_FALSE(sel.isSelected(-5));

  // Removing entry 0 shifts the rest down in order.
  EXPECT_FALSE(sel.remove(-5));
  EXPECT_EQ(4, sel.size());
  EXPECT_TRUE(sel.remove(pairs[0]->rx.getDesc()));
  EXPECT_EQ(3, sel.size());
  ASSERT_TRUE(sel.select(kWaitMs));
  EXPECT_TRUE(sel.isSelectedOfIndex(0));
  EXPECT_FALSE(sel.isSelectedOfIndex(1));
  EXPECT_TRUE(sel.isSelectedOfIndex(2));

  // Once read, nothing is ready.
  char buf[8];
  EXPECT_EQ(1, pairs[1]->rx.recv(buf, sizeof(buf)));
  EXPECT_EQ(1, pairs[3]->rx.recv(buf, sizeof(buf)));
  EXPECT_FALSE(sel.select(0));
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(sel.isSelectedOfIndex(i)) << i;

  sel.clear();
  EXPECT_EQ(0, sel.size());
  EXPECT_FALSE(sel.isSelected(pairs[1]->rx.getDesc()));
}

TEST(Selector, HoldsSixtyFourAndRefusesTheNext) {
  std::vector<std::unique_ptr<UDPreceiver>> socks;
  SocketSelector sel;
  for (int i = 0; i < SocketSelector::MAX_SOCKETS; ++i) {
    socks.emplace_back(new UDPreceiver);
    ASSERT_NE(0, socks.back()->open(0));
    ASSERT_TRUE(socks.back()->setLocalAddrPort("127.0.0.1", 0, 0));
    ASSERT_TRUE(sel.add(socks.back()->getDesc())) << i;
  }
  UDPreceiver extra;
  ASSERT_NE(0, extra.open(0));
  EXPECT_FALSE(sel.add(extra.getDesc()));
  EXPECT_EQ(64, sel.size());

  // The last entry still works.
  UDPsender tx;
  ASSERT_NE(0, tx.open(0));
  tx.setDestination("127.0.0.1", localPort(socks.back()->getDesc()), 0);
  ASSERT_TRUE(tx.send("z", 1));
  ASSERT_TRUE(sel.select(kWaitMs));
  for (int i = 0; i < 64; ++i) EXPECT_EQ(i == 63, sel.isSelectedOfIndex(i)) << i;

  // After clear there is room again.
  sel.clear();
  EXPECT_TRUE(sel.add(extra.getDesc()));
}

TEST(Selector, EmptyReturnsAtOnceAndOnlyReadableCounts) {
  SocketSelector sel;
  EXPECT_FALSE(sel.select(LONG_MAX)) << "an empty selector waited";
  EXPECT_FALSE(sel.select(-1));

  // A descriptor that is not open reports POLLNVAL: ready for poll, yet not
  // readable.
  int fd;
  {
    UDPreceiver r;
    fd = r.open(0);
  }
  ASSERT_FALSE(isOpenFd(fd));
  ASSERT_TRUE(sel.add(fd));
  sel.select(kWaitMs);
  EXPECT_FALSE(sel.isSelectedOfIndex(0));
  EXPECT_FALSE(sel.isSelected(fd));
}
