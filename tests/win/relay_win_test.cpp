// The relay DLL under wine, driven through its exports with the fake JNI
// environment: start-up from properties, relaying RTP and RTCP on loopback,
// buffer growth on WSAEMSGSIZE, the session time-out event, the status text.
//   relay_win_test <mediarelay.dll> <log directory>
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fakejni.h"
#include "wincheck.h"

namespace {

typedef void(JNICALL* InitFn)(JNIEnv*, jclass, jobject, jboolean);
typedef jboolean(JNICALL* WorkFn)(JNIEnv*, jclass, jint);
typedef jlong(JNICALL* OpenFn)(JNIEnv*, jclass, jlong, jbyte, jint, jint, jint, jint, jlong,
                               jstring, jint, jint, jboolean, jshort, jboolean, jstring, jint);
typedef jint(JNICALL* TargetFn)(JNIEnv*, jclass, jlong, jstring, jint, jint, jstring, jint, jint,
                                jboolean, jint);
typedef void(JNICALL* PairFn)(JNIEnv*, jclass, jlong, jlong);
typedef void(JNICALL* IdFn)(JNIEnv*, jclass, jlong);
typedef jlong(JNICALL* CountFn)(JNIEnv*, jclass, jlong);
typedef jstring(JNICALL* InfoFn)(JNIEnv*, jclass, jstring);

const int kMin = 45000;
const int kMax = 45998;


struct Relay {
  HMODULE dll;
  InitFn init;
  WorkFn work;
  OpenFn open;
  TargetFn target;
  PairFn sender;
  PairFn timeout;
  IdFn start;
  CountFn count;
  InfoFn info;

  template <class F>
  F fn(const char* name) {
    std::string full = std::string("Java_com_tavindo_net_sip_sv_rtp_RTPexJNI_") + name;
    F f = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, full.c_str())));
    check(f != nullptr, "export " + full);
    return f;
  }

  bool load(const char* path) {
    dll = LoadLibraryA(path);
    check(dll != nullptr, std::string("load ") + path);
    if (dll == nullptr) return false;
    init = fn<InitFn>("initStatic0");
    work = fn<WorkFn>("workthread0");
    open = fn<OpenFn>("openSocket0");
    target = fn<TargetFn>("setTarget0");
    sender = fn<PairFn>("setSender0");
    timeout = fn<PairFn>("setSessionTimeOutTimer0");
    start = fn<IdFn>("start0");
    count = fn<CountFn>("getCntPacket0");
    info = fn<InfoFn>("getNativeInfo0");
    return init && work && open && target && sender && timeout && start && count && info;
  }

  jlong endpoint(jlong sid, int rtpBuf) {
    return open(fakejni::env(), nullptr, sid, 0, kMin, kMax, 0, 0, 0, fakejni::newString("h"),
                rtpBuf, 200, JNI_FALSE, 0, JNI_FALSE, fakejni::newString("127.0.0.1"), 0);
  }
};

int port(jlong id) { return static_cast<int>(id & 0xffffffff); }

// A loopback phone socket.
struct Phone {
  SOCKET s;
  int port;
  Phone() : s(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)), port(0) {
    sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&sin), sizeof(sin));
    int len = sizeof(sin);
    getsockname(s, reinterpret_cast<sockaddr*>(&sin), &len);
    port = ntohs(sin.sin_port);
  }
  ~Phone() { closesocket(s); }
  void send(const std::vector<char>& data, int to) {
    sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = htons(static_cast<u_short>(to));
    sendto(s, data.data(), static_cast<int>(data.size()), 0, reinterpret_cast<sockaddr*>(&sin),
           sizeof(sin));
  }
  // The next datagram within 2 s and its source port; empty when none came.
  std::vector<char> receive(int* from) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv = {2, 0};
    if (select(0, &set, nullptr, nullptr, &tv) <= 0) return {};
    std::vector<char> buf(2000);
    sockaddr_in sin = {};
    int len = sizeof(sin);
    int n = recvfrom(s, buf.data(), static_cast<int>(buf.size()), 0,
                     reinterpret_cast<sockaddr*>(&sin), &len);
    if (n < 0) return {};
    *from = ntohs(sin.sin_port);
    buf.resize(static_cast<size_t>(n));
    return buf;
  }
};

std::vector<char> rtp(int payloadType, int seq, size_t size) {
  std::vector<char> p(size, 0x55);
  p[0] = static_cast<char>(0x80);
  p[1] = static_cast<char>(payloadType);
  p[3] = static_cast<char>(seq);
  return p;
}

std::vector<char> rtcp(int tag) {
  std::vector<char> p(28, 0);
  p[0] = static_cast<char>(0x80);
  p[1] = static_cast<char>(200);  // sender report
  p[3] = 6;
  p[8] = static_cast<char>(tag);
  return p;
}

bool expect(Phone& phone, const std::vector<char>& sent, int fromPort, const std::string& what) {
  int from = 0;
  std::vector<char> got = phone.receive(&from);
  bool ok = got == sent && from == fromPort;
  check(ok, what);
  return ok;
}

bool hasEvent(jint type, jlong sid) {
  for (const fakejni::NativeEvent& ev : fakejni::events()) {
    if (ev.type == type && ev.sid == sid) return true;
  }
  return false;
}

void run(Relay& relay, const std::string& dir) {
  relay.init(fakejni::env(), nullptr,
             fakejni::newProperties({{"path.log", dir}, {"timebeginperiod", "1"}}), JNI_FALSE);
  std::string log = readAll(dir + "\\proxy.log");
  check(log.compare(0, 17, "mediarelay#start#") == 0 && log.find("\r\n") != std::string::npos,
        "start marker in the log, CR LF line end");

  // The Java thread lent for the "EVENT" queue. It stays inside the relay
  // until the process ends.
  std::thread([&relay]() {
    while (relay.work(fakejni::env(), fakejni::nativeClass(), 1)) {
    }
  }).detach();

  Phone p1, p1c, p2, p2c;
  jlong a = relay.endpoint(11, 200);  // small buffer: a 300-byte datagram overflows it
  jlong b = relay.endpoint(12, 1500);
  check(port(a) >= kMin && port(a) % 2 == 0 && port(b) >= kMin, "two endpoints on even ports");
  if (port(a) == 0 || port(b) == 0) return;
  // RTCP targets follow the RTP ones at port + 1: the phones' RTCP sockets
  // must sit there, so they are told apart by their own ports here.
  relay.target(fakejni::env(), nullptr, a, fakejni::newString("127.0.0.1"), p2.port, 0,
               fakejni::newString("127.0.0.1"), p2c.port, 0, JNI_FALSE, 0);
  relay.target(fakejni::env(), nullptr, b, fakejni::newString("127.0.0.1"), p1.port, 0,
               fakejni::newString("127.0.0.1"), p1c.port, 0, JNI_FALSE, 0);
  relay.sender(fakejni::env(), nullptr, a, b);
  relay.sender(fakejni::env(), nullptr, b, a);
  relay.start(fakejni::env(), nullptr, a);
  relay.start(fakejni::env(), nullptr, b);

  for (int i = 0; i < 5; i++) {
    std::string n = " #" + std::to_string(i);
    p1.send(rtp(8, i, 160), port(a));
    expect(p2, rtp(8, i, 160), port(b), "rtp 1->2" + n);
    p2.send(rtp(0, i, 160), port(b));
    expect(p1, rtp(0, i, 160), port(a), "rtp 2->1" + n);
    p1c.send(rtcp(i), port(a) + 1);
    expect(p2c, rtcp(i), port(b) + 1, "rtcp 1->2" + n);
    p2c.send(rtcp(100 + i), port(b) + 1);
    expect(p1c, rtcp(100 + i), port(a) + 1, "rtcp 2->1" + n);
  }
  check(relay.count(fakejni::env(), nullptr, a) == 5, "packet count of a");

  // 300 bytes into a's 200-byte buffer: WSAEMSGSIZE, dropped, buffer grows.
  p1.send(rtp(8, 50, 300), port(a));
  int from = 0;
  check(p2.receive(&from).empty(), "the oversized datagram is dropped");
  for (int i = 0; i < 100 && !hasEvent(2, 11); i++) Sleep(20);
  bool grown = false;
  for (const fakejni::NativeEvent& ev : fakejni::events()) {
    if (ev.type == 2 && ev.sid == 11) grown = ev.value == 400 && ev.port == port(a);
  }
  check(grown, "buffer event: 400 bytes for endpoint a");
  p1.send(rtp(8, 51, 300), port(a));
  expect(p2, rtp(8, 51, 300), port(b), "300 bytes pass after the growth");

  std::string status = fakejni::textOf(relay.info(fakejni::env(), nullptr, nullptr));
  check(status.find("<RTPex> count:2;\r\n") != std::string::npos, "status: two endpoints");
  check(status.find(std::to_string(port(a)) + "@(11)") != std::string::npos,
        "status: a paired, with its sid");
  check(status.find("<EventQueue GC> :") == 0, "status starts with the GC queue");

  // No traffic on b any more: its session time-out reaches Java.
  relay.timeout(fakejni::env(), nullptr, b, 300);
  p2.send(rtp(0, 60, 160), port(b));
  expect(p1, rtp(0, 60, 160), port(a), "last datagram before the time-out");
  for (int i = 0; i < 150 && !hasEvent(1, 12); i++) Sleep(20);
  check(hasEvent(1, 12), "session time-out event for b");
  for (const fakejni::NativeEvent& ev : fakejni::events()) {
    if (ev.type == 1) check(ev.port == port(b) && ev.value == 0, "time-out event fields");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::printf("usage: relay_win_test <mediarelay.dll> <log directory>\n");
    return 2;
  }
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  Relay relay;
  if (relay.load(argv[1])) run(relay, argv[2]);
  check(fakejni::unexpectedCalls() == 0, "no unexpected JNI calls");
  std::printf("relay test: %d checks, %d failed\n", wincheck::checks, wincheck::failures);
  std::fflush(stdout);
  // Threads lent to the relay are still inside it: end the process, whose
  // detach runs the relay's teardown.
  ExitProcess(wincheck::failures == 0 ? 0 : 1);
}
