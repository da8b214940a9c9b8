// Port pair search on real loopback sockets: each case occupies ports with
// sockets of its own to force a pass or a recovery branch.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "relaytest.h"

using relaytest::PortBlocker;

namespace {

// A name that fails here without reaching any resolver.
const char kNoSuchName[] = "nosuchname.invalid";
std::atomic<int> nameLookups(0);

}  // namespace

// Every lookup of this program passes here: those of "localhost" and
// kNoSuchName are counted, the rest go straight on to the C library.
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** res) {
  typedef int (*Lookup)(const char*, const char*, const addrinfo*, addrinfo**);
  static Lookup next = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
  if (node != nullptr && std::strcmp(node, kNoSuchName) == 0) {
    nameLookups++;
    return EAI_NONAME;
  }
  if (node != nullptr && std::strcmp(node, "localhost") == 0) nameLookups++;
  return next(node, service, hints, res);
}

namespace {

struct Search {
  std::unique_ptr<RTPex> ep;
  int rc;
};

Search search(const char* ip, int portMin, int portMax, int portStart, int ipv6 = 0) {
  Search s{std::unique_ptr<RTPex>(new RTPex()), 0};
  s.ep->bindIp = ip;
  s.rc = s.ep->bindPort(static_cast<unsigned short>(portMin), static_cast<unsigned short>(portMax),
                        static_cast<unsigned short>(portStart), 0, ipv6, s.ep->bindIp, 0);
  return s;
}

int rtpPort(const Search& s) { return relaytest::localPortOf(s.ep->udpSender.getDesc()); }
int rtcpPort(const Search& s) { return relaytest::localPortOf(s.ep->rtcp.udpSender.getDesc()); }

class PortSearch : public relaytest::EngineTest {};

}  // namespace

// Which pair the search binds, with the given ports taken beforehand.
TEST_F(PortSearch, PassesAndCandidates) {
  int b = lane(0);
  ASSERT_NE(0, b);
  struct Range {
    int from, to;  // offsets from the lane base
  };
  struct Case {
    const char* what;
    int min, max, start;
    std::vector<Range> taken;  // on 127.0.0.1 before the search
    int expect;                // offset of P
  } cases[] = {
      {"start inside, odd: rounded up", 0, 100, 51, {}, 52},
      {"start inside, even", 0, 100, 40, {}, 40},
      {"all from start up taken: pass 2 from min", 0, 100, 51, {{52, 101}}, 0},
      {"pass 2 steps by two", 0, 100, 51, {{52, 101}, {0, 0}}, 2},
      {"start outside: from min", 0, 100, 150, {}, 0},
      {"odd min, start outside: odd candidates", 1, 100, 0, {}, 1},
      {"odd min, odd candidate taken: next odd", 1, 100, 0, {{1, 1}}, 3},
      {"start = odd max: pass 1 empty, pass 2 to start + 1", 0, 51, 51, {{0, 49}}, 50},
      {"only RTP port free: next candidate", 0, 100, 0, {{1, 1}}, 2},
      {"RTCP port taken in pass 2: next candidate", 0, 100, 60, {{60, 101}, {1, 1}}, 2},
      {"only last candidate free, even max: RTCP above max", 0, 10, 0, {{0, 9}}, 10},
  };
  for (const Case& c : cases) {
    PortBlocker blocked("127.0.0.1");
    for (const Range& r : c.taken) {
      ASSERT_TRUE(blocked.blockRange(b + r.from, b + r.to)) << c.what;
    }
    size_t mark = relaytest::logText().size();
    Search s = search("127.0.0.1", b + c.min, b + c.max, b + c.start);
    EXPECT_EQ(1, s.rc) << c.what;
    EXPECT_EQ(b + c.expect, s.ep->localPort) << c.what;
    EXPECT_EQ(b + c.expect, rtpPort(s)) << c.what;
    EXPECT_EQ(b + c.expect + 1, rtcpPort(s)) << c.what;
    EXPECT_EQ("", relaytest::logSince(mark)) << c.what;
  }
}

TEST_F(PortSearch, FailuresWriteTheAllFailedRecord) {
  int b = lane(1);
  ASSERT_NE(0, b);
  {
    size_t mark = relaytest::logText().size();
    Search s = search("127.0.0.1", 0, b + 10, b);
    EXPECT_EQ(0, s.rc);
    EXPECT_FALSE(s.ep->udpSender.isOpened());
    EXPECT_FALSE(s.ep->rtcp.udpSender.isOpened());
    EXPECT_EQ("", relaytest::logSince(mark)) << "portMin 0 logs nothing";
  }
  {
    size_t mark = relaytest::logText().size();
    Search s = search("127.0.0.1", b + 10, b, b);
    EXPECT_EQ(0, s.rc);
    EXPECT_EQ(0, s.ep->localPort);
    EXPECT_FALSE(s.ep->udpSender.isOpened());
    EXPECT_FALSE(s.ep->rtcp.udpSender.isOpened());
    std::string want = "************************* port open all failed min:" + std::to_string(b + 10) +
                       " max:" + std::to_string(b) + " errno:0; bindIp:127.0.0.1,ScopeID:0,ipv6:0";
    EXPECT_NE(std::string::npos, relaytest::logSince(mark).find(want)) << relaytest::logSince(mark);
  }
  struct Family {
    const char* ip;
    int ipv6;
    int flag;
  } families[] = {{"127.0.0.1", 0, 0}, {"127.0.0.1", 2, 0}, {"127.0.0.1", -1, 0}, {"::1", 1, 1}};
  for (const Family& f : families) {
    PortBlocker blocked(f.ip);
    ASSERT_TRUE(blocked.blockRange(b + 20, b + 29));
    size_t mark = relaytest::logText().size();
    Search s = search(f.ip, b + 20, b + 28, b + 20, f.ipv6);
    EXPECT_EQ(0, s.rc) << f.ip << " " << f.ipv6;
    EXPECT_FALSE(s.ep->udpSender.isOpened());
    std::string want = "************************* port open all failed min:" + std::to_string(b + 20) +
                       " max:" + std::to_string(b + 28) + " errno:" + std::to_string(EADDRINUSE) +
                       "; bindIp:" + f.ip + ",ScopeID:0,ipv6:" + std::to_string(f.flag) + "\n";
    EXPECT_NE(std::string::npos, relaytest::logSince(mark).find(want))
        << f.ipv6 << ": " << relaytest::logSince(mark);
  }
}

TEST_F(PortSearch, AddressFamilyFollowsIpv6Flag) {
  int b = lane(2);
  ASSERT_NE(0, b);
  struct Case {
    const char* ip;
    int ipv6;
    int family;
  } cases[] = {{"127.0.0.1", 0, AF_INET}, {"127.0.0.1", 2, AF_INET},
               {"127.0.0.1", -1, AF_INET}, {"::1", 1, AF_INET6}};
  for (const Case& c : cases) {
    Search s = search(c.ip, b, b + 10, b, c.ipv6);
    ASSERT_EQ(1, s.rc) << c.ip << " " << c.ipv6;
    EXPECT_EQ(c.family, relaytest::familyOf(s.ep->udpSender.getDesc()));
    EXPECT_EQ(c.family, relaytest::familyOf(s.ep->rtcp.udpSender.getDesc()));
  }
}

// A range reaching the top of the port space is searched up to the last
// pair that fits below 65536; P + 1 never wraps to port 0 (any port).
TEST_F(PortSearch, TopOfThePortSpace) {
  const int low = 65520;
  if (!relaytest::rangeFree("127.0.0.1", low, 65535)) {
    GTEST_SKIP() << "ports " << low << "-65535 are in use";
  }
  struct Case {
    const char* what;
    int min, max, start;
    int takenTo;  // low .. takenTo taken before the search
    int expect;   // P, or 0 for no pair
  } cases[] = {
      {"max 65535: the pair 65534/65535", 65520, 65535, 65520, 65533, 65534},
      {"max 65535: a free pair below the top", 65520, 65535, 65520, 65525, 65526},
      {"max 65534: RTCP on 65535", 65520, 65534, 65520, 65533, 65534},
      {"max 65533", 65520, 65533, 65520, 65531, 65532},
      {"odd candidates end at 65533", 65521, 65535, 0, 65532, 65533},
      {"odd start at max 65535: pass 2 below it", 65521, 65535, 65535, 65532, 65533},
      {"odd candidates, 65535 is no candidate", 65521, 65535, 0, 65534, 0},
  };
  for (const Case& c : cases) {
    PortBlocker blocked("127.0.0.1");
    ASSERT_TRUE(blocked.blockRange(low, c.takenTo)) << c.what;
    size_t mark = relaytest::logText().size();
    Search s = search("127.0.0.1", c.min, c.max, c.start);
    if (c.expect == 0) {
      EXPECT_EQ(0, s.rc) << c.what;
      EXPECT_FALSE(s.ep->udpSender.isOpened()) << c.what;
      EXPECT_NE(std::string::npos,
                relaytest::logSince(mark).find("port open all failed min:" + std::to_string(c.min) +
                                               " max:" + std::to_string(c.max)))
          << c.what;
      continue;
    }
    EXPECT_EQ(1, s.rc) << c.what;
    EXPECT_EQ(c.expect, s.ep->localPort) << c.what;
    EXPECT_EQ(c.expect, rtpPort(s)) << c.what;
    EXPECT_EQ(c.expect + 1, rtcpPort(s)) << c.what;
    EXPECT_EQ("", relaytest::logSince(mark)) << c.what;
  }
}

// A bind address given as a name is looked up once per search, however many
// ports the search tries, and binds as its number does.
TEST_F(PortSearch, NameLookedUpOncePerSearch) {
  int b = lane(6);
  ASSERT_NE(0, b);
  {
    int before = nameLookups;
    Search s = search("localhost", b, b + 10, b);
    EXPECT_EQ(1, nameLookups - before);
    ASSERT_EQ(1, s.rc);
    EXPECT_EQ(b, s.ep->localPort);
    for (int fd : {s.ep->udpSender.getDesc(), s.ep->rtcp.udpSender.getDesc()}) {
      sockaddr_in sin{};
      socklen_t len = sizeof(sin);
      ASSERT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len));
      EXPECT_EQ(htonl(INADDR_LOOPBACK), sin.sin_addr.s_addr);
    }
  }
  // A name that does not resolve tries no bind: the record's error is the
  // resolver's, not a stale errno.
  struct Case {
    const char* name;
    int err;  // the record's error
  } cases[] = {{"localhost", EADDRINUSE}, {kNoSuchName, EAI_NONAME}};
  for (const Case& c : cases) {
    // Every port taken: eleven candidates over both passes.
    PortBlocker blocked("127.0.0.1");
    ASSERT_TRUE(blocked.blockRange(b + 20, b + 41));
    size_t mark = relaytest::logText().size();
    int before = nameLookups;
    errno = EAGAIN;  // what a socket call before the search may leave
    Search s = search(c.name, b + 20, b + 40, b + 30);
    EXPECT_EQ(1, nameLookups - before) << c.name;
    EXPECT_EQ(0, s.rc) << c.name;
    EXPECT_FALSE(s.ep->udpSender.isOpened()) << c.name;
    EXPECT_FALSE(s.ep->rtcp.udpSender.isOpened()) << c.name;
    std::string log = relaytest::logSince(mark);
    std::string want = "************************* port open all failed min:" +
                       std::to_string(b + 20) + " max:" + std::to_string(b + 40) +
                       " errno:" + std::to_string(c.err) + "; bindIp:" + c.name +
                       ",ScopeID:0,ipv6:0\n";
    EXPECT_EQ(0u, log.find(want)) << log;
  }
}

TEST_F(PortSearch, SocketOptionsAfterSuccess) {
  int b = lane(3);
  ASSERT_NE(0, b);
  long savedTimeout = RTex::TIMEOUT_RECV;
  RTex::TIMEOUT_RECV = 2500;
  Search s = search("127.0.0.1", b, b + 10, b);
  RTex::TIMEOUT_RECV = savedTimeout;
  ASSERT_EQ(1, s.rc);
  for (int fd : {s.ep->udpSender.getDesc(), s.ep->rtcp.udpSender.getDesc()}) {
    timeval tv{};
    socklen_t len = sizeof(tv);
    ASSERT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len));
    // The kernel keeps the time in its own ticks.
    EXPECT_NEAR(2500000, tv.tv_sec * 1000000 + tv.tv_usec, 20000);
  }
}

TEST_F(PortSearch, DeviceBinding) {
  int b = lane(4);
  ASSERT_NE(0, b);
  bool saved = RTex::BIND_TO_DEVICE;
  RTex::BIND_TO_DEVICE = true;
  RTPex::smIpIf["127.0.0.2"] = "";
  RTPex::smIpIf["127.0.0.1"] = "nosuchdev0";
  {
    // No entry for the address, or an empty name: no binding, no record.
    for (const char* ip : {"", "127.0.0.2"}) {
      size_t mark = relaytest::logText().size();
      Search s = search(ip, b, b + 10, b);
      EXPECT_EQ(1, s.rc) << ip;
      EXPECT_EQ("", relaytest::logSince(mark)) << ip;
    }
  }
  {
    // A failing SO_BINDTODEVICE still binds the pair.
    size_t mark = relaytest::logText().size();
    Search s = search("127.0.0.1", b + 20, b + 30, b + 20);
    EXPECT_EQ(1, s.rc);
    EXPECT_EQ(b + 20, s.ep->localPort);
    // The error the kernel gives here (ENODEV, or EPERM without privilege).
    int probe = relaytest::bindUdp("127.0.0.1", 0);
    ASSERT_NE(0, setsockopt(probe, SOL_SOCKET, SO_BINDTODEVICE, "nosuchdev0", 10));
    std::string e = std::to_string(errno);
    ::close(probe);
    EXPECT_EQ("************************ setsockopt SO_BINDTODEVICE errno=" + e +
                  "\nnosuchdev0\n************************ setsockopt SO_BINDTODEVICE 2 errno=" + e +
                  "\nnosuchdev0\n",
              relaytest::logSince(mark));
  }
  RTPex::smIpIf.clear();
  RTex::BIND_TO_DEVICE = saved;
}

// Socket creation failures, forced with the descriptor limit. The log file
// cannot be opened under that limit either, so only the state is checked.
TEST_F(PortSearch, OpenFailures) {
  int b = lane(5);
  ASSERT_NE(0, b);
#if defined(__SANITIZE_ADDRESS__)
  // The undefined-behaviour checker of that build needs descriptors of its
  // own for every check; under the limit it reports false errors.
  GTEST_SKIP() << "not under the address checker";
#endif
  rlimit saved;
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
  int lowestFree = dup(0);
  ASSERT_GE(lowestFree, 0);
  ::close(lowestFree);
  struct Case {
    int room;  // descriptors the search may open
  } cases[] = {{0}, {1}};
  for (const Case& c : cases) {
    Search s{std::unique_ptr<RTPex>(new RTPex()), 0};
    s.ep->bindIp = "127.0.0.1";
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree + c.room);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &tight));
    s.rc = s.ep->bindPort(static_cast<unsigned short>(b), static_cast<unsigned short>(b + 10),
                          static_cast<unsigned short>(b), 0, 0, s.ep->bindIp, 0);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &saved));
    EXPECT_EQ(0, s.rc);
    EXPECT_FALSE(s.ep->udpSender.isOpened());
    EXPECT_FALSE(s.ep->rtcp.udpSender.isOpened());
    EXPECT_EQ(0, s.ep->localPort);
  }
  // With room again the same object binds.
  Search again = search("127.0.0.1", b, b + 10, b);
  EXPECT_EQ(1, again.rc);
}
