// The base library's Windows parts under wine: locks and threads, the text-mode
// log, 64-bit event fields where long has 32 bits, and the Winsock layer with
// WSAPoll or the select fallback (forced by the test hook of this build).
//   jlib_win_test <poll|select> <directory>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "EventUtil.h"
#include "SocketUtil.h"
#include "bcore.h"
#include "jlang.h"
#include "wincheck.h"

namespace {


class Waker : public JLangThread {
 public:
  explicit Waker(WaitObject* wo) : wo(wo), done(false) {}
  ~Waker() override { join(); }
  void run() override {
    JLangThread::sleep(50);
    Synchronized hold(wo);
    done = true;
    wo->notify();
  }
  WaitObject* wo;
  bool done;  // under wo
};

// A recursive lock held twice by one thread is free only after two unlocks.
class Locker : public JLangThread {
 public:
  explicit Locker(WaitObject* wo) : wo(wo), got(false) {}
  ~Locker() override { join(); }
  void run() override {
    Synchronized hold(wo);
    got = true;
  }
  WaitObject* wo;
  std::atomic<bool> got;
};

void recursiveLock() {
  WaitObject wo;
  Locker locker(&wo);
  wo.lock();
  wo.lock();
  locker.start();
  wo.unlock();
  JLangThread::sleep(100);
  check(!locker.got, "held once more: the other thread waits");
  wo.unlock();
  for (int i = 0; i < 500 && !locker.got; i++) JLangThread::sleep(20);  // up to 10 s
  check(locker.got, "released twice: the other thread locks");
}

void waitAndNotify() {
  WaitObject wo;
  {
    Synchronized hold(&wo);
    wo.notify();  // nobody waits: nothing remembered
    int64_t t0 = JLangSystem::currentTimeMillis();
    wo.wait(100);
    check(JLangSystem::currentTimeMillis() - t0 >= 90, "wait(100) after a lost notify times out");
  }
  Waker waker(&wo);
  Synchronized hold(&wo);
  check(waker.start() == 0, "thread starts");
  check(waker.start() == 1, "second start does nothing");
  for (int i = 0; i < 100 && !waker.done; i++) wo.wait(100);  // up to 10 s
  check(waker.done, "notify wakes the waiter");
}

void logForm(const std::string& dir) {
  std::string path = dir + "\\proxy.log";
  InitTrace(path);
  logRecord("plain ", 7);
  LOG_EXCEPTION_V("place ", 42);
  std::string text = readAll(path);
  check(text.compare(0, 9, "plain 7\r\n") == 0, "plain record ends in CR LF");
  std::string head = "Exception. place 42\r\r\n--- " + std::string(__FILE__) + "(";
  check(text.find(head) == 9, "exception record: CR CR LF and the full source path");
  check(text.find(")--- time:") != std::string::npos, "no break before the time");
  check(text.size() > 4 && text.compare(text.size() - 4, 4, "\r\n\r\n") == 0,
        "exception record ends in CR LF CR LF");
}

// Both post forms keep param and integer data whole, beyond 32 bits too.
void eventWidth() {
  const uint64_t values[] = {0, 0x7fffffffu, 0x80000000u, 0x100000000u + 11,
                             0x12345678abcdef01u, UINT64_MAX};
  EventQueue q;
  for (uint64_t v : values) {
    q.post(12, static_cast<int64_t>(v), v);
    q.post(13, static_cast<int64_t>(v), reinterpret_cast<void*>(static_cast<uintptr_t>(v)));
  }
  for (uint64_t v : values) {
    for (int type : {12, 13}) {
      EventObj ev = q.waitForEvent();
      check(ev.type == type && ev.param == static_cast<int64_t>(v) &&
                reinterpret_cast<uintptr_t>(ev.data) == v,
            "event " + std::to_string(type) + " keeps 64 bits of " + std::to_string(v));
    }
  }
}

// A bound loopback socket; its port in *port.
UDPsender* boundSocket(unsigned short* port) {
  UDPsender* s = new UDPsender();
  s->open(0);
  s->setLocalAddrPort("127.0.0.1", 0, 0);
  sockaddr_in sin;
  int len = sizeof(sin);
  getsockname(s->getDesc(), reinterpret_cast<sockaddr*>(&sin), &len);
  *port = ntohs(sin.sin_port);
  return s;
}

void sockets(bool expectPoll) {
  check(SocketCore::initializeSocket(), "WSAStartup");
  check(SocketSelector::usePoll() == expectPoll, expectPoll ? "WSAPoll found" : "select forced");

  unsigned short ports[3];
  UDPsender* socks[3];
  for (int i = 0; i < 3; i++) socks[i] = boundSocket(&ports[i]);
  check(socks[0]->isOpened() && ports[0] != 0, "socket opened and bound");

  UDPsender twin;
  twin.open(0);
  check(!twin.setLocalAddrPort("127.0.0.1", ports[1], 0), "SO_EXCLUSIVEADDRUSE refuses a second bind");

  UDPreceiver rx;
  rx.setSameSocket(socks[1]);
  char buf[400];
  check(rx.recv(buf, sizeof(buf)) == -1 && SocketCore::getError() == WSAEWOULDBLOCK,
        "non-blocking recv with nothing waiting");

  SocketSelector sel;
  for (int i = 0; i < 3; i++) sel.add(socks[i]->getDesc());
  check(!sel.select(50), "nothing readable: time-out");

  char big[300];
  for (int i = 0; i < 300; i++) big[i] = static_cast<char>(i);
  socks[0]->setDestination("127.0.0.1", ports[1], 0);
  check(socks[0]->send(big, sizeof(big)), "send 300 bytes");
  check(sel.select(2000), "readable after send");
  check(!sel.isSelectedOfIndex(0) && sel.isSelectedOfIndex(1) && !sel.isSelectedOfIndex(2),
        "only the receiving socket is selected");
  check(sel.isSelected(socks[1]->getDesc()), "isSelected by handle");
  std::memset(buf, 0, sizeof(buf));
  check(rx.recv(buf, 200) == -1 && SocketCore::getError() == WSAEMSGSIZE,
        "a longer datagram fails with WSAEMSGSIZE");
  check(std::memcmp(buf, big, 200) == 0, "its first bytes are in the buffer");
  check(!sel.select(50), "the long datagram is gone");

  check(socks[0]->send(big, 100), "send 100 bytes");
  check(rx.recv(buf, sizeof(buf), 2000) == 100, "recv with a time-out");
  InetAddrPort from;
  rx.getRemoteAddrAndPortOfLast(&from);
  check(std::strcmp(from.addr, "127.0.0.1") == 0 && from.port == ports[0], "sender remembered");

  // recvWhole: a longer datagram fails as recv's does and leaves the last
  // sender; one that fits is taken.
  socks[2]->setDestination("127.0.0.1", ports[1], 0);
  check(socks[2]->send(big, 201), "send 201 bytes from another socket");
  check(socks[2]->send(big, 200), "send 200 bytes from it");
  check(sel.select(2000), "readable again");
  check(rx.recvWhole(buf, 200) == -1 && SocketCore::getError() == WSAEMSGSIZE,
        "recvWhole refuses a longer datagram");
  rx.getRemoteAddrAndPortOfLast(&from);
  check(from.port == ports[0], "the refused datagram's sender is not remembered");
  check(sel.select(2000), "the next datagram is waiting");
  check(rx.recvWhole(buf, 200) == 200 && std::memcmp(buf, big, 200) == 0,
        "recvWhole takes a datagram that fills the buffer");
  rx.getRemoteAddrAndPortOfLast(&from);
  check(from.port == ports[2], "its sender remembered");

  rx.setDesc(NO_SOCKET);
  for (int i = 0; i < 3; i++) delete socks[i];
}

}  // namespace

int main(int argc, char** argv) {
  const bool poll = argc == 3 && std::strcmp(argv[1], "poll") == 0;
  if (argc != 3 || (!poll && std::strcmp(argv[1], "select") != 0)) {
    std::printf("usage: jlib_win_test <poll|select> <directory>\n");
    return 2;
  }
  // The test hook, read by the first socket start-up.
  _putenv(poll ? "JLIB_TEST_NO_WSAPOLL=" : "JLIB_TEST_NO_WSAPOLL=1");
  recursiveLock();
  waitAndNotify();
  logForm(argv[2]);
  eventWidth();
  sockets(poll);
  std::printf("jlib test (%s): %d checks, %d failed\n", argv[1], wincheck::checks, wincheck::failures);
  return wincheck::failures == 0 ? 0 : 1;
}
