// The relay DLL under wine, driven through its exports with the fake JNI
// environment: start-up from properties (process priority class, log path,
// socket receive buffers), relaying RTP and RTCP on loopback, buffer growth on
// WSAEMSGSIZE, the session time-out event, 64-bit session ids in the events,
// the device-binding exports, the status text, and the teardown of a copy
// unloaded by FreeLibrary while it relays. The select mode needs the test
// build of the DLL, whose hook forces the select fallback.
//   relay_win_test <poll|select> <mediarelay.dll> <log directory>
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
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
typedef jboolean(JNICALL* BindFn)(JNIEnv*, jclass, jobject, jstring);

// Session ids beyond 32 bits, as Java hands them out.
const jlong kSidA = 0x123456789abLL;
const jlong kSidB = 0x2080000012LL;

// Bounds of the waits for what must happen; reached only when it does not.
const int kArrivalMs = 20000;
const int kGoneMs = 2000;  // for what must not arrive

// Waits, polling, until cond holds or ms have passed; whether it held.
template <class Cond>
bool waitFor(Cond cond, int ms) {
  const DWORD t0 = GetTickCount();
  while (!cond()) {
    if (GetTickCount() - t0 >= static_cast<DWORD>(ms)) return cond();
    Sleep(10);
  }
  return true;
}

bool bindLoopback(SOCKET s, int port) {
  sockaddr_in sin = {};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sin.sin_port = htons(static_cast<u_short>(port));
  return bind(s, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) == 0;
}

// The relay's port range of this process. Other runs of this test at the
// same time must not share it: their far ends would send into ports that
// this run's endpoints reuse. A block is claimed by binding its first port
// exclusively, held until the process ends.
struct PortRange {
  int min;
  int max;
};

PortRange claimRange() {
  const int kBase = 21000;
  const int kBlock = 200;
  const int kBlocks = 50;
  const int first = static_cast<int>(GetCurrentProcessId() % kBlocks);
  for (int i = 0; i < kBlocks; i++) {
    const int lo = kBase + (first + i) % kBlocks * kBlock;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    BOOL one = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
               sizeof(one));
    if (bindLoopback(s, lo)) return PortRange{lo + 2, lo + kBlock - 2};
    closesocket(s);
  }
  return PortRange{0, 0};
}

struct Relay {
  PortRange range;
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
  BindFn bindDatagram;
  BindFn bindStream;

  template <class F>
  F fn(const char* name) {
    std::string full = std::string("Java_com_tavindo_net_sip_sv_rtp_RTPexJNI_") + name;
    F f = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, full.c_str())));
    check(f != nullptr, "export " + full);
    return f;
  }

  bool load(const char* path, PortRange ports) {
    range = ports;
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
    bindDatagram = fn<BindFn>("bindToDeviceDatagram0");
    bindStream = fn<BindFn>("bindToDevice0");
    return init && work && open && target && sender && timeout && start && count && info &&
           bindDatagram && bindStream;
  }

  jlong endpoint(jlong sid, int rtpBuf) {
    return open(fakejni::env(), nullptr, sid, 0, range.min, range.max, 0, 0, 0,
                fakejni::newString("h"), rtpBuf, 200, JNI_FALSE, 0, JNI_FALSE,
                fakejni::newString("127.0.0.1"), 0);
  }

  // Pairs a and b: a relays to the phone at (rtpPort, rtcpPort) of b's side,
  // b to that of a's side.
  void pair(jlong a, jlong b, int aRtp, int aRtcp, int bRtp, int bRtcp) {
    target(fakejni::env(), nullptr, a, fakejni::newString("127.0.0.1"), bRtp, 0,
           fakejni::newString("127.0.0.1"), bRtcp, 0, JNI_FALSE, 0);
    target(fakejni::env(), nullptr, b, fakejni::newString("127.0.0.1"), aRtp, 0,
           fakejni::newString("127.0.0.1"), aRtcp, 0, JNI_FALSE, 0);
    sender(fakejni::env(), nullptr, a, b);
    sender(fakejni::env(), nullptr, b, a);
  }
};

int port(jlong id) { return static_cast<int>(id & 0xffffffff); }

// A loopback phone socket.
struct Phone {
  SOCKET s;
  int port;
  Phone() : s(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)), port(0) {
    bindLoopback(s, 0);
    sockaddr_in sin = {};
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
  // The next datagram within ms and its source port; empty when none came.
  std::vector<char> receive(int* from, int ms = kArrivalMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv = {ms / 1000, ms % 1000 * 1000};
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

std::vector<char> rtcp(int tag, size_t size = 28) {
  std::vector<char> p(size, 0);
  p[0] = static_cast<char>(0x80);
  p[1] = static_cast<char>(200);  // sender report
  p[2] = static_cast<char>((size / 4 - 1) >> 8);  // length in words - 1
  p[3] = static_cast<char>(size / 4 - 1);
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

// The SO_RCVBUF of the relay's sockets on the given ports, found among this
// process's handles (0 for a port without one).
std::vector<int> receiveBuffers(const std::vector<int>& ports) {
  std::vector<int> sizes(ports.size(), 0);
  for (UINT_PTR h = 4; h < 0x10000; h += 4) {
    sockaddr_in sin = {};
    int len = sizeof(sin);
    SOCKET s = static_cast<SOCKET>(h);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&sin), &len) != 0) continue;
    for (size_t i = 0; i < ports.size(); i++) {
      if (sin.sin_family != AF_INET || ntohs(sin.sin_port) != ports[i]) continue;
      len = sizeof(int);
      getsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&sizes[i]), &len);
    }
  }
  return sizes;
}

int receiveBuffer(SOCKET s) {
  int size = 0;
  int len = sizeof(size);
  getsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size), &len);
  return size;
}

// The device-binding exports do nothing on Windows and say so, for any
// arguments; no reflection (the fake environment has none) and no record.
void bindExports(Relay& relay, const std::string& logPath) {
  const std::string before = readAll(logPath);
  jobject socketObject = fakejni::newString("socket");
  jstring device = fakejni::newString("eth0");
  const struct {
    const char* name;
    BindFn fn;
  } exports[] = {{"bindToDeviceDatagram0", relay.bindDatagram},
                 {"bindToDevice0", relay.bindStream}};
  for (const auto& e : exports) {
    check(e.fn(fakejni::env(), nullptr, nullptr, nullptr) == JNI_TRUE,
          std::string(e.name) + " with null arguments: true");
    check(e.fn(fakejni::env(), nullptr, socketObject, device) == JNI_TRUE,
          std::string(e.name) + " with a socket: true");
  }
  check(readAll(logPath) == before, "bind exports write no record");
}

void run(Relay& relay, const std::string& dir) {
  SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
  relay.init(fakejni::env(), nullptr,
             fakejni::newProperties({{"path.log", dir}, {"timebeginperiod", "1"}}), JNI_FALSE);
  std::string log = readAll(dir + "\\proxy.log");
  check(log.compare(0, 17, "mediarelay#start#") == 0 && log.find("\r\n") != std::string::npos,
        "start marker in the log, CR LF line end");
  check(GetPriorityClass(GetCurrentProcess()) == REALTIME_PRIORITY_CLASS,
        "no process.priority: real-time priority class");
  bindExports(relay, dir + "\\proxy.log");

  // The Java thread lent for the "EVENT" queue. It stays inside the relay
  // until the process ends.
  std::thread([&relay]() {
    while (relay.work(fakejni::env(), fakejni::nativeClass(), 1)) {
    }
  }).detach();

  Phone p1, p1c, p2, p2c;
  jlong a = relay.endpoint(kSidA, 200);  // small buffer: a 300-byte datagram overflows it
  jlong b = relay.endpoint(kSidB, 1500);
  check(port(a) >= relay.range.min && port(a) % 2 == 0 && port(b) >= relay.range.min,
        "two endpoints on even ports");
  if (port(a) == 0 || port(b) == 0) return;
  // Without "net.rtp.udp.recv.bufsize": 20000 bytes on RTP sockets, the
  // system's size on RTCP ones.
  std::vector<int> buffers = receiveBuffers({port(a), port(a) + 1, port(b), port(b) + 1});
  const int systemSize = receiveBuffer(p1.s);
  check(systemSize != 20000, "the system's receive buffer differs from the relay's");
  check(buffers == std::vector<int>({20000, systemSize, 20000, systemSize}),
        "receive buffers: 20000 on RTP sockets, RTCP ones left alone");
  // RTCP targets follow the RTP ones at port + 1: the phones' RTCP sockets
  // must sit there, so they are told apart by their own ports here.
  relay.pair(a, b, p1.port, p1c.port, p2.port, p2c.port);
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
  check(p2.receive(&from, kGoneMs).empty(), "the oversized datagram is dropped");
  waitFor([] { return hasEvent(2, kSidA); }, kArrivalMs);
  bool grown = false;
  for (const fakejni::NativeEvent& ev : fakejni::events()) {
    if (ev.type == 2 && ev.sid == kSidA) grown = ev.value == 400 && ev.port == port(a);
  }
  check(grown, "buffer event: 400 bytes for endpoint a, its whole session id");
  p1.send(rtp(8, 51, 300), port(a));
  expect(p2, rtp(8, 51, 300), port(b), "300 bytes pass after the growth");

  // The same on a's 200-byte RTCP port, which posts no event.
  p1c.send(rtcp(52, 300), port(a) + 1);
  check(p2c.receive(&from, kGoneMs).empty(), "the oversized report is dropped");
  p1c.send(rtcp(53, 300), port(a) + 1);
  expect(p2c, rtcp(53, 300), port(b) + 1, "a 300-byte report passes after the growth");

  std::string status = fakejni::textOf(relay.info(fakejni::env(), nullptr, nullptr));
  check(status.find("<RTPex> count:2;\r\n") != std::string::npos, "status: two endpoints");
  check(status.find(std::to_string(port(a)) + "@(" + std::to_string(kSidA) + ")") !=
            std::string::npos,
        "status: a paired, with its sid");
  check(status.find("<EventQueue GC> :") == 0, "status starts with the GC queue");

  // No traffic on b any more: its session time-out reaches Java.
  relay.timeout(fakejni::env(), nullptr, b, 300);
  p2.send(rtp(0, 60, 160), port(b));
  expect(p1, rtp(0, 60, 160), port(a), "last datagram before the time-out");
  check(waitFor([] { return hasEvent(1, kSidB); }, kArrivalMs),
        "session time-out event for b, its whole session id");
  for (const fakejni::NativeEvent& ev : fakejni::events()) {
    if (ev.type == 1) check(ev.port == port(b) && ev.value == 0, "time-out event fields");
  }
}

// A socket bound to 127.0.0.1:port, closed again: whether the port is free.
bool portFree(int port) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  bool ok = bindLoopback(s, port);
  closesocket(s);
  return ok;
}

// Start-up keys, in a copy of the DLL of its own: "process.priority" other
// than 1 leaves the priority class alone, and the log path built on
// "path.work" gets backslashes throughout. The work directory is given as a
// verbatim path (\\?\), in which Windows takes "/" for part of a name: a
// slash left in the log path would make the log impossible to open.
void startupKeys(const std::string& dllPath, const std::string& dir) {
  const std::string copyDir = dir + "\\keys";
  const std::string copyPath = copyDir + "\\mediarelay_keys.dll";
  CreateDirectoryA(copyDir.c_str(), nullptr);
  CreateDirectoryA((copyDir + "\\log").c_str(), nullptr);
  check(CopyFileA(dllPath.c_str(), copyPath.c_str(), FALSE) != 0, "keys: copy of the DLL");
  Relay relay;
  if (!relay.load(copyPath.c_str(), PortRange{0, 0})) return;  // opens no endpoint
  std::string work = "\\\\?\\" + copyDir;
  std::replace(work.begin() + 4, work.end(), '\\', '/');
  SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
  relay.init(fakejni::env(), nullptr,
             fakejni::newProperties({{"path.work", work}, {"process.priority", "2"}}), JNI_FALSE);
  check(GetPriorityClass(GetCurrentProcess()) == NORMAL_PRIORITY_CLASS,
        "process.priority 2: the priority class stays");
  check(readAll(copyDir + "\\log\\proxy.log").compare(0, 17, "mediarelay#start#") == 0,
        "path.work " + work + ": the log in its log directory");
}

// Ids of this process's threads.
std::set<DWORD> threadIds() {
  std::set<DWORD> ids;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return ids;
  THREADENTRY32 entry;
  entry.dwSize = sizeof(entry);
  for (BOOL ok = Thread32First(snap, &entry); ok; ok = Thread32Next(snap, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.insert(entry.th32ThreadID);
  }
  CloseHandle(snap);
  return ids;
}

// Handles of the threads started since `before` that run at time-critical
// priority, as receive threads set themselves.
std::vector<HANDLE> receiveThreads(const std::set<DWORD>& before) {
  std::vector<HANDLE> found;
  for (DWORD id : threadIds()) {
    if (before.count(id) != 0) continue;
    HANDLE h = OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, id);
    if (h == nullptr) continue;
    if (GetThreadPriority(h) == THREAD_PRIORITY_TIME_CRITICAL) {
      found.push_back(h);
    } else {
      CloseHandle(h);
    }
  }
  return found;
}

// Far ends that keep sending RTP and RTCP into both endpoints until told to
// stop, for at most 60 s.
class Traffic {
 public:
  Traffic(Phone* p1, Phone* p1c, Phone* p2, Phone* p2c, int portA, int portB)
      : stop(false), thread([this, p1, p1c, p2, p2c, portA, portB]() {
          DWORD t0 = GetTickCount();
          for (int i = 0; !stop.load() && GetTickCount() - t0 < 60000; i++) {
            p1->send(rtp(8, i, 160), portA);
            p1c->send(rtcp(i), portA + 1);
            p2->send(rtp(0, i, 160), portB);
            p2c->send(rtcp(i), portB + 1);
            Sleep(1);
          }
        }) {}
  ~Traffic() {
    stop = true;
    thread.join();
  }

 private:
  std::atomic<bool> stop;
  std::thread thread;
};

// FreeLibrary while the receive threads relay: a private copy of the DLL
// (its own statics, no thread lent to it) with two paired endpoints. The
// teardown must not leave a receive thread on deleted endpoints or in the
// unmapped code, and must close the four sockets.
void unloadWhileRelaying(const std::string& dllPath, const std::string& dir, PortRange range) {
  std::string copyDir = dir + "\\unload";
  std::string copyPath = copyDir + "\\mediarelay_unload.dll";
  CreateDirectoryA(copyDir.c_str(), nullptr);
  check(CopyFileA(dllPath.c_str(), copyPath.c_str(), FALSE) != 0, "copy of the DLL");
  Relay relay;
  if (!relay.load(copyPath.c_str(), range)) return;
  relay.init(fakejni::env(), nullptr, fakejni::newProperties({{"path.log", copyDir}}), JNI_FALSE);
  Phone p1, p1c, p2, p2c;
  std::set<DWORD> before = threadIds();
  jlong a = relay.endpoint(21, 1500);
  jlong b = relay.endpoint(22, 1500);
  check(port(a) != 0 && port(b) != 0, "unload: two endpoints");
  if (port(a) == 0 || port(b) == 0) return;
  relay.pair(a, b, p1.port, p1c.port, p2.port, p2c.port);
  const int ports[4] = {port(a), port(a) + 1, port(b), port(b) + 1};

  Traffic traffic(&p1, &p1c, &p2, &p2c, port(a), port(b));
  // Each far end gets relayed RTP and RTCP: all four sockets are served.
  Phone* farEnds[4] = {&p2, &p2c, &p1, &p1c};
  int relayedFrom[4] = {port(b), port(b) + 1, port(a), port(a) + 1};
  for (int i = 0; i < 4; i++) {
    int from = 0;
    bool got = !farEnds[i]->receive(&from).empty() && from == relayedFrom[i];
    check(got, "unload: relayed before the unload, socket " + std::to_string(i));
  }
  for (int p : ports) check(!portFree(p), "unload: port in use before " + std::to_string(p));
  std::vector<HANDLE> workers = receiveThreads(before);
  check(!workers.empty(), "unload: receive threads found");

  check(FreeLibrary(relay.dll) != 0, "FreeLibrary");
  check(GetModuleHandleA(copyPath.c_str()) == nullptr, "the DLL is unmapped");
  // Datagrams still arrive at the old ports; a receive thread left running
  // would crash the process now or hang on a deleted endpoint.
  Sleep(500);
  for (HANDLE h : workers) {
    check(WaitForSingleObject(h, 30000) == WAIT_OBJECT_0, "unload: receive thread ended");
    CloseHandle(h);
  }
  // A socket's port may be given back a little after its close returned.
  for (int p : ports) {
    check(waitFor([p] { return portFree(p); }, kArrivalMs),
          "unload: port free again " + std::to_string(p));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool poll = argc == 4 && std::strcmp(argv[1], "poll") == 0;
  if (argc != 4 || (!poll && std::strcmp(argv[1], "select") != 0)) {
    std::printf("usage: relay_win_test <poll|select> <mediarelay.dll> <log directory>\n");
    return 2;
  }
  // The test hook, read by the DLL's first socket start-up.
  _putenv(poll ? "JLIB_TEST_NO_WSAPOLL=" : "JLIB_TEST_NO_WSAPOLL=1");
  const char* dll = argv[2];
  const std::string dir = argv[3];
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  const PortRange range = claimRange();
  check(range.min != 0, "a free port range");
  Relay relay;
  if (range.min != 0 && relay.load(dll, range)) run(relay, dir);
  startupKeys(dll, dir);
  if (range.min != 0) unloadWhileRelaying(dll, dir, range);
  std::printf("relay test: %d checks, %d failed\n", wincheck::checks, wincheck::failures);
  std::fflush(stdout);
  // Threads lent to the relay are still inside it: end the process, whose
  // detach runs the relay's teardown.
  ExitProcess(wincheck::failures == 0 ? 0 : 1);
}
