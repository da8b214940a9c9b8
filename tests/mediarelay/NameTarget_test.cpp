// Targets given as names, through setTarget0 and getTarget0. Each test runs
// again in a child process inside network and mount namespaces of its own,
// with the test's hosts file and a resolver of its own (never the
// machine's); where namespaces are not permitted the tests are skipped.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <netdb.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fakejni.h"
#include "pathtest.h"

extern "C" {
JNIEXPORT jint JNICALL Java_com_tavindo_net_sip_sv_rtp_RTPexJNI_setTarget0(
    JNIEnv* env, jclass, jlong id, jstring addr, jint port, jint scopeId, jstring rtcpAddr,
    jint rtcpPort, jint rtcpScopeId, jboolean natLearn, jint flags);
JNIEXPORT jstring JNICALL Java_com_tavindo_net_sip_sv_rtp_RTPexJNI_getTarget0(JNIEnv* env,
                                                                             jclass, jlong id);
}

namespace {

std::mutex lookupMu;
std::vector<std::pair<std::string, std::thread::id>> lookups;  // name, thread

}  // namespace

// Every lookup of this program passes here; those that may look a name up
// (no AI_NUMERICHOST) are recorded with their thread.
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** res) {
  typedef int (*Lookup)(const char*, const char*, const addrinfo*, addrinfo**);
  static Lookup next = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
  if (node != nullptr && (hints == nullptr || (hints->ai_flags & AI_NUMERICHOST) == 0)) {
    std::lock_guard<std::mutex> hold(lookupMu);
    lookups.emplace_back(node, std::this_thread::get_id());
  }
  return next(node, service, hints, res);
}

namespace {

using pathtest::FarEnd;

const int kWaitMs = pathtest::kWaitMs;
const int kFarPort = 40000;

// 48 characters: one more than an address record holds. Its first 47 name
// another host.
const std::string kWhole = "rtp-0123456789abcdefg.sbc.customer-a.example.com";
// Longer still, not in the hosts file, while its first 47 characters are.
const std::string kUnlisted = "media-0123456789abcdefghijk.sbc.customer-b.example.net";

std::string cut(const std::string& name) { return name.substr(0, InetAddrPort::ADDR_SIZE - 1); }

std::string hostsText() {
  return "127.0.0.1 localhost\n"
         "::1 localhost\n"
         "127.0.0.3 " + kWhole + "\n"
         "127.0.0.4 " + cut(kWhole) + "\n"
         "127.0.0.4 " + cut(kUnlisted) + "\n"
         "127.0.0.5 dual.test\n"
         "fd00::5 dual.test\n"
         "127.0.0.6 far.test\n"
         "fd00::5 v6only.test\n";
}

// The IPv6 names use an address of their own on lo (::1 would also stand
// for 127.0.0.1 in a lookup for IPv4). Nothing listens on port 53 unless a
// test runs a resolver there: other names fail at once. A held lookup can
// wait far longer than any wait of these tests.
const char kResolvConf[] = "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n";
const char kNsswitch[] = "hosts: files dns\n";

std::vector<std::thread::id> lookupsOf(const std::string& name) {
  std::lock_guard<std::mutex> hold(lookupMu);
  std::vector<std::thread::id> out;
  for (const auto& l : lookups) {
    if (l.first == name) out.push_back(l.second);
  }
  return out;
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);  // same file: it is mounted
  out << text;
}

// A resolver of the test's own on 127.0.0.1:53. It counts the queries and
// answers none until released; then each gets "no such name". A lookup
// thus hangs exactly as long as the test wants.
class HeldResolver {
 public:
  HeldResolver() : fd_(relaytest::bindUdp("127.0.0.1", 53)), thread_([this] { serve(); }) {}
  ~HeldResolver() {
    stop_ = true;
    thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  int queries() const { return queries_.load(); }
  void release() { released_ = true; }

 private:
  struct Query {
    std::string bytes;
    sockaddr_storage from;
    socklen_t fromLen;
  };

  void serve() {
    std::vector<Query> held;
    // At most two minutes: a test ends it long before.
    for (int i = 0; i < 6000 && !stop_.load() && fd_ >= 0; i++) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) {
        Query q;
        char buf[512];
        q.fromLen = sizeof(q.from);
        ssize_t n = ::recvfrom(fd_, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&q.from),
                               &q.fromLen);
        if (n >= 12) {
          q.bytes.assign(buf, static_cast<size_t>(n));
          held.push_back(q);
          queries_++;
        }
      }
      if (!released_.load()) continue;
      for (Query& q : held) answer(&q);
      held.clear();
    }
  }

  void answer(Query* q) {
    std::string& r = q->bytes;
    r[2] = static_cast<char>(0x80 | (r[2] & 0x79));  // a response; opcode and RD kept
    r[3] = static_cast<char>(0x80 | 3);              // no such name
    ::sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&q->from), q->fromLen);
  }

  int fd_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> released_{false};
  std::atomic<int> queries_{0};
  std::thread thread_;
};

// Fixture: outside, it runs the current test in a child inside namespaces
// of its own; inside, it is a path test fixture with the JNI calls.
class NameTarget : public pathtest::PathTest {
 protected:
  void SetUp() override {
    if (inside()) pathtest::PathTest::SetUp();
  }
  void TearDown() override {
    if (!inside()) return;
    pins_.clear();
    for (int64_t id : ids_) RTPex::closeAndDelete(id);
    pathtest::PathTest::TearDown();
  }

  static bool inside() { return std::getenv("NAMETARGET_INSIDE") != nullptr; }

  // Runs this test in the child; its failures become this test's.
  void runInside() {
    testutil::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    if (std::system("unshare -m -n true >/dev/null 2>&1") != 0 ||
        std::system("command -v ip >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "network and mount namespaces are not permitted here";
    }
    writeFile(dir.file("hosts"), hostsText());
    writeFile(dir.file("resolv.conf"), kResolvConf);
    writeFile(dir.file("nsswitch.conf"), kNsswitch);
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter = std::string(info->test_suite_name()) + "." + info->name();
    std::string script =
        "ip link set lo up && ip -6 addr add fd00::5/128 dev lo nodad && "
        "mount --bind \"$1\" /etc/hosts && "
        "mount --bind \"$2\" /etc/resolv.conf && "
        "{ [ ! -e /etc/nsswitch.conf ] || mount --bind \"$3\" /etc/nsswitch.conf; } && "
        "NAMETARGET_INSIDE=1 NAMETARGET_HOSTS=\"$1\" exec \"$4\" --gtest_filter=\"$5\"";
    std::string cmd = "unshare -m -n sh -c '" + script + "' sh '" + dir.file("hosts") + "' '" +
                      dir.file("resolv.conf") + "' '" + dir.file("nsswitch.conf") + "' '" + self +
                      "' '" + filter + "' >'" + dir.file("out") + "' 2>&1";
    int rc = std::system(cmd.c_str());
    std::string out = testutil::readFile(dir.file("out"));
    ASSERT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << "in the namespace:\n" << out;
    ASSERT_NE(std::string::npos, out.find("[  PASSED  ] 1 test")) << out;
  }

  static void setHosts(const std::string& text) {
    writeFile(std::getenv("NAMETARGET_HOSTS"), text);
  }

  // An endpoint on ip, pinned until the end; its id.
  int64_t openId(const char* ip, int64_t sid, RTPex** ep) {
    int16_t v6 = std::strchr(ip, ':') != nullptr ? 1 : 0;
    int64_t id = RTPex::newInstance(sid, 0, pathtest::kPortMin, pathtest::kPortMax,
                                    pathtest::kPortMin, 0, 0, "host", 2048, 2048, 0, v6, 0, ip, 0);
    EXPECT_NE(0, id) << "no endpoint on " << ip;
    if (id == 0) return 0;
    ids_.push_back(id);
    pins_.push_back(RTPexPin::find(id));
    *ep = pins_.back().get();
    return id;
  }

  // setTarget0 with the RTCP leg on port + 1 of the same text.
  static void setTarget0(int64_t id, const char* text, int port = kFarPort) {
    Java_com_tavindo_net_sip_sv_rtp_RTPexJNI_setTarget0(fakejni::env(), nullptr, id,
                                                        fakejni::newString(text), port, 0,
                                                        nullptr, 0, 0, JNI_FALSE, 0);
  }

  // getTarget0's text; "(null)" for null.
  static std::string getTarget0(int64_t id) {
    jstring s = Java_com_tavindo_net_sip_sv_rtp_RTPexJNI_getTarget0(fakejni::env(), nullptr, id);
    return s == nullptr ? "(null)" : fakejni::textOf(s);
  }

  // Sends count tagged datagrams to both ports of ep, then waits until both
  // legs counted them and one more: every one of them has been relayed or
  // dropped by then (one thread serves each leg in order).
  static void sendBoth(const FarEnd& source, RTPex* ep, const std::string& tag, int count) {
    int rtp = ep->cntPacket.load();
    int rtcp = ep->rtcp.cntPacket.load();
    for (int i = 0; i <= count; i++) {
      std::string t = tag + "-" + std::to_string(i);
      ASSERT_TRUE(source.sendTo(ep->localPort, pathtest::rtp(t)));
      ASSERT_TRUE(source.sendTo(ep->localPort + 1, pathtest::rtcpSr(t)));
    }
    ASSERT_TRUE(counted(ep, rtp + count + 1));
    ASSERT_TRUE(counted(&ep->rtcp, rtcp + count + 1));
  }

  // What arrives at far: the datagrams of tag, in order (the last sendBoth
  // sent count + 1 of them).
  static void expectTagged(const FarEnd& far, bool rtcpPort, const std::string& tag, int count) {
    for (int i = 0; i <= count; i++) {
      std::string t = tag + "-" + std::to_string(i);
      std::string got;
      ASSERT_TRUE(far.receive(&got)) << t;
      EXPECT_EQ(rtcpPort ? pathtest::rtcpSr(t) : pathtest::rtp(t), got);
    }
  }

 private:
  std::vector<int64_t> ids_;
  std::vector<RTPexPin> pins_;
};

// A text longer than an address record holds is used whole: datagrams go
// to the host the whole name names, never to the one its first 47
// characters name, and getTarget0 gives the whole text; a whole name that
// does not resolve is no far end.
TEST_F(NameTarget, TextLongerThanARecordIsNeverCut) {
  if (!inside()) return runInside();
  FarEnd source("127.0.0.1");
  FarEnd whole("127.0.0.3", kFarPort), wholeRtcp("127.0.0.3", kFarPort + 1);
  FarEnd prefix("127.0.0.4", kFarPort), prefixRtcp("127.0.0.4", kFarPort + 1);
  ASSERT_TRUE(whole.ok() && wholeRtcp.ok() && prefix.ok() && prefixRtcp.ok());
  RTPex *a, *b;
  int64_t ida = openId("127.0.0.1", 1, &a);
  ASSERT_NE(0, openId("127.0.0.1", 2, &b));
  pair(a, b);

  struct Case {
    const std::string& text;
    bool arrives;
  } cases[] = {{kWhole, true}, {kUnlisted, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    setTarget0(ida, c.text.c_str());
    ASSERT_NO_FATAL_FAILURE(sendBoth(source, a, c.text, 3));
    if (c.arrives) {
      ASSERT_NO_FATAL_FAILURE(expectTagged(whole, false, c.text, 3));
      ASSERT_NO_FATAL_FAILURE(expectTagged(wholeRtcp, true, c.text, 3));
      EXPECT_EQ(c.text + ":" + std::to_string(kFarPort), getTarget0(ida));
    } else {
      EXPECT_EQ("(null)", getTarget0(ida));
    }
    for (const FarEnd* far : {&whole, &wholeRtcp, &prefix, &prefixRtcp}) {
      EXPECT_FALSE(far->pending()) << far->ip() << ":" << far->port();
    }
  }
  a->releaseSender();
}

// A resolver that does not answer keeps the setTarget0 call that asked it
// waiting, and nothing else: another call's media on the same receive
// thread arrives while the lookup still hangs, also while datagrams reach
// the endpoint whose target is being looked up.
TEST_F(NameTarget, SlowResolverStallsNoOtherCall) {
  if (!inside()) return runInside();
  HeldResolver resolver;
  ASSERT_TRUE(resolver.ok());
  FarEnd source("127.0.0.1"), out1("127.0.0.1"), out2("127.0.0.1");
  RTPex *a1, *b1, *a2, *b2;
  int64_t ida1 = openId("127.0.0.1", 11, &a1);
  ASSERT_NE(0, openId("127.0.0.1", 12, &b1));
  ASSERT_NE(0, openId("127.0.0.1", 13, &a2));
  ASSERT_NE(0, openId("127.0.0.1", 14, &b2));
  ASSERT_TRUE(a1->thrd != nullptr && a1->thrd == a2->thrd) << "the calls share a receive thread";
  pair(a1, b1);
  pair(a2, b2);
  target(a1, out1);  // a far end until the new target is set
  target(a2, out2);

  std::atomic<bool> returned{false};
  std::thread javaThread([&] {
    setTarget0(ida1, "slow.test");
    returned = true;
  });
  std::thread::id javaId = javaThread.get_id();
  // Datagrams keep arriving for the endpoint being re-targeted until the
  // lookup has reached the resolver.
  for (int i = 0; i < 1000 && resolver.queries() == 0; i++) {
    ASSERT_TRUE(source.sendTo(a1->localPort, pathtest::rtp("call-1")));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  bool asked = resolver.queries() > 0;
  std::string got;
  bool arrived = asked && source.sendTo(a2->localPort, pathtest::rtp("call-2")) &&
                 out2.receive(&got, nullptr, kWaitMs);
  bool stillHanging = !returned.load();  // the resolver has not answered yet
  resolver.release();
  javaThread.join();
  ASSERT_TRUE(asked) << "the name never reached the resolver";
  EXPECT_TRUE(arrived) << "the other call's media waited for the lookup";
  EXPECT_EQ(pathtest::rtp("call-2"), got);
  EXPECT_TRUE(stillHanging);
  EXPECT_TRUE(returned.load());
  for (std::thread::id t : lookupsOf("slow.test")) EXPECT_EQ(javaId, t);
  EXPECT_EQ("(null)", getTarget0(ida1));  // "no such name"
  a1->releaseSender();
  a2->releaseSender();
}

// Two endpoints send through one partner socket, each re-aiming it for
// every datagram: the name of one target is looked up once, by setTarget0
// for both legs, and never on a receive thread.
TEST_F(NameTarget, NameIsLookedUpOnceWhenSet) {
  if (!inside()) return runInside();
  FarEnd source("127.0.0.1"), toA("127.0.0.6", kFarPort), toC("127.0.0.7", kFarPort);
  ASSERT_TRUE(toA.ok() && toC.ok());
  RTPex *a, *b, *c;
  int64_t ida = openId("127.0.0.1", 21, &a);
  ASSERT_NE(0, openId("127.0.0.1", 22, &b));
  int64_t idc = openId("127.0.0.1", 23, &c);
  a->setSender(b);
  c->setSender(b);
  setTarget0(ida, "far.test");
  setTarget0(idc, "127.0.0.7");
  EXPECT_EQ(1u, lookupsOf("far.test").size());
  for (int i = 0; i < 10; i++) {
    std::string tag = std::to_string(i);
    std::string got;
    ASSERT_TRUE(source.sendTo(a->localPort, pathtest::rtp("a" + tag)));
    ASSERT_TRUE(toA.receive(&got));
    EXPECT_EQ(pathtest::rtp("a" + tag), got);
    ASSERT_TRUE(source.sendTo(c->localPort, pathtest::rtp("c" + tag)));
    ASSERT_TRUE(toC.receive(&got));
    EXPECT_EQ(pathtest::rtp("c" + tag), got);
  }
  std::vector<std::thread::id> seen = lookupsOf("far.test");
  EXPECT_EQ(1u, seen.size());
  for (std::thread::id t : seen) EXPECT_EQ(std::this_thread::get_id(), t);
  EXPECT_EQ("far.test:" + std::to_string(kFarPort), getTarget0(ida));
  a->releaseSender();
  c->releaseSender();
}

// A name that did not resolve is looked up again by the next setTarget0,
// also with the same text; the datagram roads never look it up. A name
// that names another host by then moves the media there.
TEST_F(NameTarget, RepeatedSetTargetLooksTheNameUpAgain) {
  if (!inside()) return runInside();
  FarEnd source("127.0.0.1");
  FarEnd first("127.0.0.8", kFarPort), firstRtcp("127.0.0.8", kFarPort + 1);
  FarEnd moved("127.0.0.9", kFarPort), movedRtcp("127.0.0.9", kFarPort + 1);
  ASSERT_TRUE(first.ok() && firstRtcp.ok() && moved.ok() && movedRtcp.ok());
  RTPex *a, *b;
  int64_t ida = openId("127.0.0.1", 31, &a);
  ASSERT_NE(0, openId("127.0.0.1", 32, &b));
  pair(a, b);

  setTarget0(ida, "late.test");
  ASSERT_NO_FATAL_FAILURE(sendBoth(source, a, "unknown", 9));
  EXPECT_EQ("(null)", getTarget0(ida));
  setHosts(hostsText() + "127.0.0.8 late.test\n");
  ASSERT_NO_FATAL_FAILURE(sendBoth(source, a, "listed", 9));  // not set again: not looked up
  for (const FarEnd* far : {&first, &firstRtcp}) EXPECT_FALSE(far->pending());

  size_t before = lookupsOf("late.test").size();
  setTarget0(ida, "late.test");
  EXPECT_EQ(before + 1, lookupsOf("late.test").size());
  ASSERT_NO_FATAL_FAILURE(sendBoth(source, a, "set-again", 9));
  ASSERT_NO_FATAL_FAILURE(expectTagged(first, false, "set-again", 9));
  ASSERT_NO_FATAL_FAILURE(expectTagged(firstRtcp, true, "set-again", 9));
  EXPECT_EQ("late.test:" + std::to_string(kFarPort), getTarget0(ida));

  setHosts(hostsText() + "127.0.0.9 late.test\n");
  setTarget0(ida, "late.test");
  ASSERT_NO_FATAL_FAILURE(sendBoth(source, a, "moved", 2));
  ASSERT_NO_FATAL_FAILURE(expectTagged(moved, false, "moved", 2));
  ASSERT_NO_FATAL_FAILURE(expectTagged(movedRtcp, true, "moved", 2));
  for (const FarEnd* far : {&first, &firstRtcp}) EXPECT_FALSE(far->pending());
  EXPECT_EQ(before + 2, lookupsOf("late.test").size());
  a->releaseSender();
}

// getTarget0 names a destination only where the relay has one: a text of
// the family of the socket that carries it (the partner's; unpaired, the
// endpoint's own), given back as it was given.
TEST_F(NameTarget, GetTargetNamesOnlyAFarEnd) {
  if (!inside()) return runInside();
  RTPex *v4, *v6, *partner6;
  int64_t id4 = openId("127.0.0.1", 41, &v4);
  int64_t id6 = openId("::1", 42, &v6);
  ASSERT_NE(0, openId("::1", 43, &partner6));
  std::string port = ":" + std::to_string(kFarPort);
  struct Case {
    const char* name;
    int64_t id;
    bool pairedWithV6;
    const char* text;  // null: a null string
    std::string want;
  } cases[] = {
      {"EmptyText", id4, false, "", "(null)"},
      {"NullText", id4, false, nullptr, "(null)"},
      {"UnresolvableName", id4, false, "nosuch.test", "(null)"},
      {"V6OnV4Endpoint", id4, false, "::1", "(null)"},
      {"V4OnV6Endpoint", id6, false, "127.0.0.1", "(null)"},
      {"V6NameOnV4Endpoint", id4, false, "v6only.test", "(null)"},
      {"V4ThroughV6Partner", id4, true, "127.0.0.1", "(null)"},
      {"V6ThroughV6Partner", id4, true, "::1", "::1" + port},
      {"Number", id4, false, "127.0.0.1", "127.0.0.1" + port},
      {"NumberAsGiven", id6, false, "0:0::1", "0:0::1" + port},
      {"Name", id4, false, "far.test", "far.test" + port},
      {"NameOfBothFamilies", id6, false, "dual.test", "dual.test" + port},
      {"LongName", id4, false, kWhole.c_str(), kWhole + port},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.pairedWithV6) {
      v4->setSender(partner6);
    } else {
      v4->releaseSender();
    }
    setTarget0(c.id, c.text);
    EXPECT_EQ(c.want, getTarget0(c.id));
  }
  v4->releaseSender();
}

// In a pair of two families each endpoint's media leaves the partner's
// socket towards the target's form of that socket's family.
TEST_F(NameTarget, MixedPairUsesTheFormOfThePartnersFamily) {
  if (!inside()) return runInside();
  FarEnd source4("127.0.0.1"), source6("::1");
  FarEnd over6("fd00::5", kFarPort), over6Rtcp("fd00::5", kFarPort + 1);
  FarEnd over4("127.0.0.5", kFarPort + 2), over4Rtcp("127.0.0.5", kFarPort + 3);
  ASSERT_TRUE(over6.ok() && over6Rtcp.ok() && over4.ok() && over4Rtcp.ok());
  RTPex *a, *b;
  int64_t ida = openId("127.0.0.1", 51, &a);
  int64_t idb = openId("::1", 52, &b);
  pair(a, b);
  setTarget0(ida, "dual.test");
  setTarget0(idb, "dual.test", kFarPort + 2);
  ASSERT_NO_FATAL_FAILURE(sendBoth(source4, a, "a", 2));
  ASSERT_NO_FATAL_FAILURE(expectTagged(over6, false, "a", 2));
  ASSERT_NO_FATAL_FAILURE(expectTagged(over6Rtcp, true, "a", 2));
  ASSERT_NO_FATAL_FAILURE(sendBoth(source6, b, "b", 2));
  ASSERT_NO_FATAL_FAILURE(expectTagged(over4, false, "b", 2));
  ASSERT_NO_FATAL_FAILURE(expectTagged(over4Rtcp, true, "b", 2));
  EXPECT_EQ("dual.test:" + std::to_string(kFarPort), getTarget0(ida));
  EXPECT_EQ("dual.test:" + std::to_string(kFarPort + 2), getTarget0(idb));
  a->releaseSender();
  b->releaseSender();
}

}  // namespace
