// Endpoints on real loopback sockets: ids, the registry, pins, pairing,
// reuse and the deletion protocol, also under load.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "SRTPInfo.h"
#include "relaytest.h"

namespace {

using relaytest::registered;

class RTPexEngine : public relaytest::EngineTest {
 protected:
  static int pins(RTPex* ep) { return ep->referCounter.load(); }

  // Opens endpoints of sessions sid and sid + 1 on 127.0.0.1 in lane n; the
  // lane's first port, or 0 when either endpoint is missing.
  int openTwo(int n, int64_t sid, int64_t* first, int64_t* second) {
    int b = lane(n);
    *first = b != 0 ? relaytest::openOn("127.0.0.1", b, b + 50, sid) : 0;
    *second = b != 0 ? relaytest::openOn("127.0.0.1", b, b + 50, sid + 1) : 0;
    return *first != 0 && *second != 0 ? b : 0;
  }
};

// A receive thread that never starts.
class FailingThread : public RTexDispatchThread {
 public:
  int start() override { return -1; }
};

// Fails to start every thread after the first `good` ones.
class FailingDispatcher : public RTexDispatcher {
 public:
  explicit FailingDispatcher(int good) : good_(good) {}
  DispatchThread<RTex>* newDispatchThread() override {
    if (good_ > 0) {
      good_--;
      return new RTexDispatchThread();
    }
    return new FailingThread();
  }

 private:
  int good_;
};

}  // namespace

TEST_F(RTPexEngine, IdsCarrySequenceAndPort) {
  int b = lane(11);
  ASSERT_NE(0, b);
  relaytest::GcWorker gc;
  uint32_t seq = ID_SEC;
  int64_t first = relaytest::openOn("127.0.0.1", b, b + 50, 5);
  int64_t second = relaytest::openOn("127.0.0.1", b, b + 50, 6);
  EXPECT_EQ(static_cast<int64_t>(seq) << 32 | b, first);
  EXPECT_EQ((static_cast<int64_t>(seq) + 1) << 32 | (b + 2), second);

  // A failed search registers nothing and uses no sequence number.
  relaytest::PortBlocker taken("127.0.0.1");
  ASSERT_TRUE(taken.blockRange(b + 100, b + 111));
  size_t before = registered();
  EXPECT_EQ(0, relaytest::openOn("127.0.0.1", b + 100, b + 110));
  EXPECT_EQ(0, relaytest::openOn("127.0.0.1", 0, b + 110));
  EXPECT_EQ(seq + 2, ID_SEC);
  EXPECT_EQ(before, registered());

  RTPexPin e = RTPexPin::find(first);
  ASSERT_TRUE(e);
  EXPECT_EQ(5, e->sid.load());
  EXPECT_EQ(b, e->localPort);
  EXPECT_EQ(2, pins(e.get()));  // registry and this lookup
  e.reset();
  EXPECT_EQ(1, RTPex::closeAndDelete(first));
  EXPECT_EQ(1, RTPex::closeAndDelete(second));
  EXPECT_TRUE(relaytest::waitUntil([&] { return relaytest::rangeFree("127.0.0.1", b, b + 3); }));
}

TEST_F(RTPexEngine, SessionValuesOfNewInstance) {
  int b = lane(12);
  ASSERT_NE(0, b);
  relaytest::GcWorker gc;
  int64_t id = RTPex::newInstance(-7, 3, b, b + 20, b, 0, 30000, "text", 160, 80, 1, 1, 1, "::1", 0);
  ASSERT_NE(0, id);
  {
    RTPexPin e = RTPexPin::find(id);
    ASSERT_TRUE(e);
    EXPECT_EQ(-7, e->sid.load());
    EXPECT_EQ(3, e->hostByte);
    EXPECT_EQ(30000, e->sessionTimeout.load());
    EXPECT_EQ("text", e->hostText);
    EXPECT_EQ(160, e->initialBufSize);
    EXPECT_EQ(80, e->rtcp.initialBufSize);
    EXPECT_TRUE(e->behindNatEnabled);
    EXPECT_TRUE(e->rtcp.behindNatEnabled);
    EXPECT_FALSE(e->waitNat.load());
    EXPECT_EQ(1, e->srtpMode.load());
    EXPECT_EQ(1, e->ipv6);
    EXPECT_EQ(AF_INET6, relaytest::familyOf(e->udpSender.getDesc()));
    EXPECT_EQ(e->udpSender.getDesc(), e->pollDesc);
    EXPECT_EQ(e->udpSender.getDesc(), e->udpReceiver.getDesc());
    EXPECT_EQ(e->rtcp.udpSender.getDesc(), e->rtcp.udpReceiver.getDesc());
    EXPECT_EQ(e.get(), e->rtcp.owner);
  }
  RTPex::closeAndDelete(id);
  EXPECT_TRUE(relaytest::waitUntil([&] { return relaytest::rangeFree("::1", b, b + 1); }));
}

TEST_F(RTPexEngine, LookupsPinsAndPairing) {
  relaytest::GcWorker gc;
  int64_t ida, idb;
  int b = openTwo(13, 1, &ida, &idb);
  ASSERT_NE(0, b);
  EXPECT_EQ(nullptr, RTPex::idToObj(ida + 2));
  RTPexPin a = RTPexPin::find(ida);
  RTPexPin bb = RTPexPin::find(idb);
  ASSERT_TRUE(a && bb);

  a->setSender(bb.get());
  EXPECT_EQ(bb.get(), a->sender);
  EXPECT_EQ(3, pins(bb.get()));
  EXPECT_NE(0, a->lastRecvTime.load());  // the session timer is armed
  a->setSender(bb.get());
  EXPECT_EQ(3, pins(bb.get())) << "the same partner again takes no second pin";
  a->setSender(a.get());  // another partner: the old one is unpinned
  EXPECT_EQ(2, pins(bb.get()));
  EXPECT_EQ(3, pins(a.get()));
  a->setSender(bb.get());
  a->releaseSender();
  EXPECT_EQ(nullptr, a->sender);
  EXPECT_EQ(2, pins(bb.get()));
  EXPECT_EQ(0, a->lastRecvTime.load());

  // Releasing ends SRTP counting once.
  a->countedConcurrent = true;
  int counted = SRTPInfo::countConcurrent;
  a->releaseSender();
  a->releaseSender();
  EXPECT_EQ(counted - 1, SRTPInfo::countConcurrent);
  EXPECT_FALSE(a->countedConcurrent);

  // Closed: no longer found, pairing refused, the pin held here keeps it.
  RTPex* closed = a.get();
  EXPECT_EQ(1, RTPex::closeAndDelete(ida));
  EXPECT_EQ(0, RTPex::closeAndDelete(ida));
  EXPECT_EQ(nullptr, RTPex::idToObj(ida));
  closed->setSender(bb.get());
  EXPECT_EQ(nullptr, closed->sender);
  EXPECT_EQ(2, pins(bb.get()));
  EXPECT_EQ(1, pins(closed));
  EXPECT_EQ(0, closed->prepareDelete());
  a.reset();
  bb.reset();
  EXPECT_EQ(1, RTPex::closeAndDelete(idb));
  EXPECT_TRUE(relaytest::waitUntil([&] { return relaytest::rangeFree("127.0.0.1", b, b + 3); }));
}

TEST_F(RTPexEngine, UnknownIdSchedulesNothing) {
  int before = RTPex::evQ[0]->totalEventCount();
  EXPECT_EQ(0, RTPex::closeAndDelete(0x7fffffff00000001LL));
  EXPECT_EQ(before, RTPex::evQ[0]->totalEventCount());
}

// A partner holding the closed endpoint keeps it alive through every retry;
// the retry after the partner lets go destroys it and frees its ports.
TEST_F(RTPexEngine, DeferredDeleteWaitsForPartner) {
  int64_t ida, idb;
  int b = openTwo(14, 21, &ida, &idb);
  ASSERT_NE(0, b);
  RTPexPin a = RTPexPin::find(ida);
  RTPexPin bb = RTPexPin::find(idb);
  a->setSender(bb.get());
  bb.reset();

  size_t mark = relaytest::logText().size();
  int queued = RTPex::evQ[0]->totalEventCount();
  EXPECT_EQ(1, RTPex::closeAndDelete(idb));
  EXPECT_EQ(queued + 1, RTPex::evQ[0]->totalEventCount());
  EXPECT_NE(std::string::npos, RTPex::evQ[0]->getQueueInfo().find("next schedule: "));
  {
    relaytest::GcWorker gc;
    ASSERT_TRUE(relaytest::waitUntil([&] { return gc.retries() >= 2; }));
    EXPECT_FALSE(relaytest::portFree("127.0.0.1", b + 2));
    EXPECT_NE(std::string::npos,
              relaytest::logSince(mark).find("RTPex::workerThread() RTPex could not be deleted 22\n"));
    a->releaseSender();
    EXPECT_TRUE(relaytest::waitUntil(
        [&] { return relaytest::rangeFree("127.0.0.1", b + 2, b + 3); }));
  }
  a.reset();
  relaytest::GcWorker gc;
  RTPex::closeAndDelete(ida);
  EXPECT_TRUE(relaytest::waitUntil([&] { return relaytest::rangeFree("127.0.0.1", b, b + 1); }));
}

// The explanation names each holder; with the RTCP leg alone still in its
// thread's list only that part is left.
TEST_F(RTPexEngine, ReasonCannotDelete) {
  int b = lane(15);
  ASSERT_NE(0, b);
  // With 3 sockets per thread the second endpoint's RTCP leg is alone on
  // thread 2, next to a leg that keeps that thread busy.
  relaytest::ScopedDispatcher scoped(relaytest::dispatcherWith(3));
  int64_t id1 = relaytest::openOn("127.0.0.1", b, b + 50, 1);
  int64_t id2 = relaytest::openOn("127.0.0.1", b, b + 50, 99);
  ASSERT_TRUE(id1 != 0 && id2 != 0);
  RTPexPin e2 = RTPexPin::find(id2);

  std::unique_ptr<relaytest::ProbeLeg> blocker(new relaytest::ProbeLeg());
  blocker->hold = true;
  ASSERT_EQ(1, RTex::dispatcher->addRunner(blocker.get()));
  ASSERT_EQ(e2->rtcp.thrd, blocker->thrd);
  ASSERT_TRUE(blocker->poke());
  ASSERT_TRUE(relaytest::waitUntil([&] { return blocker->inside.load(); }));

  RTPex* ep = e2.get();
  EXPECT_EQ(1, RTPex::closeAndDelete(id2));
  // The RTP leg's thread is free and moves on; the RTCP leg's is held.
  ASSERT_TRUE(relaytest::waitUntil([&] { return ep->isSafeToDelete(); }));
  EXPECT_EQ("sid 99;referCounter=1;rtcp.removeRequestTID==rtcp.thrd->id(" +
                std::to_string(ep->rtcp.removeRequestTID) + ")",
            ep->reasonCannotDelete());
  e2.reset();
  EXPECT_EQ("sid 99;rtcp.removeRequestTID==rtcp.thrd->id(" +
                std::to_string(ep->rtcp.removeRequestTID) + ")",
            ep->reasonCannotDelete());
  EXPECT_EQ(0, ep->prepareDelete());

  blocker->hold = false;
  relaytest::GcWorker gc;
  RTPex::closeAndDelete(id1);
  EXPECT_TRUE(relaytest::waitUntil([&] { return relaytest::rangeFree("127.0.0.1", b, b + 3); }));
  RTex::dispatcher->removeRunner(blocker.get());
  EXPECT_TRUE(relaytest::waitUntil([&] { return blocker->isSafeToDelete(); }));
}

TEST_F(RTPexEngine, NeverPlacedEndpointIsDeletable) {
  RTPex fresh;
  EXPECT_EQ(1, fresh.prepareDelete());
  EXPECT_EQ("sid 0", fresh.reasonCannotDelete());
  RTPex::pin(&fresh);
  EXPECT_EQ(0, fresh.prepareDelete());
  EXPECT_EQ("sid 0;referCounter=1", fresh.reasonCannotDelete());
  {
    RTPexPin adopted(&fresh);  // gives the pin back at scope end
    RTPexPin more = RTPexPin::take(&fresh);
    EXPECT_EQ(2, fresh.referCounter.load());
  }
  EXPECT_EQ(0, fresh.referCounter.load());
  // A pin is given back also when the work in between throws.
  try {
    RTPexPin held = RTPexPin::take(&fresh);
    throw std::runtime_error("work failed");
  } catch (const std::exception&) {
  }
  EXPECT_EQ(0, fresh.referCounter.load());
}

// Reuse clears what the old session left, SRTP contexts included, and
// takes the new session's values.
TEST_F(RTPexEngine, ReinitResetsSessionState) {
  relaytest::GcWorker gc;
  int64_t ida, idb;
  int b = openTwo(16, 1, &ida, &idb);
  ASSERT_NE(0, b);
  {
    RTPexPin a = RTPexPin::find(ida);
    RTPexPin bb = RTPexPin::find(idb);
    a->setSender(bb.get());
    a->rtcp.behindNatEnabled = true;
    unsigned char key[SRTPInfo::KEY_LEN];
    a->createCryptoToSend(SRTPInfo::SUITE_AES_CM_128_HMAC_SHA1_32, key);
    a->createCryptoToRecv(SRTPInfo::SUITE_AES_CM_128_HMAC_SHA1_32,
                          reinterpret_cast<signed char*>(key), SRTPInfo::KEY_LEN);
    a->srtpMode = 2;
    a->stunCandidates = new InetAddrPort*[RTPex::STUN_CANDIDATE_MAX]();
    a->stunCandidates[0] = new InetAddrPort();
    a->stunCandidateCount = 1;
    a->stunState = -2;
    a->startTime = 5;
    a->payloadType = 0;
    a->requestedBufSize = 1500;
    for (RTex* leg : {static_cast<RTex*>(a.get()), static_cast<RTex*>(&a->rtcp)}) {
      Synchronized hold(&leg->addrLock);
      std::strcpy(leg->sendTo.addr, "127.0.0.9");
      leg->sendTo.port = 4000;
      leg->learnedAddr = leg->sendTo;
      leg->target.text = "far.example";
      leg->target.port = 4000;
      leg->target.v4 = leg->sendTo;
      leg->target.v6 = leg->sendTo;
      leg->lastFrom = leg->sendTo;
      leg->aim.socketDest = leg->sendTo;
      leg->waitNat = true;
      leg->cntPacket = 9;
      leg->aim.applied = true;
      leg->gotData = 1;  // the receive thread's sweep clears it only every 200 ms
    }
    ASSERT_NE(nullptr, a->cryptoSend);
    ASSERT_NE(nullptr, a->cryptoRecv);
    int fd = a->udpSender.getDesc();
    a->reinit(RTPexSession{77, 4, 0, 30000, "next", 300, 200, true, true, "::1", 3});

    for (RTex* leg : {static_cast<RTex*>(a.get()), static_cast<RTex*>(&a->rtcp)}) {
      Synchronized hold(&leg->addrLock);
      for (InetAddrPort* r : {&leg->sendTo, &leg->learnedAddr, &leg->target.v4, &leg->target.v6,
                              &leg->lastFrom, &leg->aim.socketDest}) {
        EXPECT_STREQ("", r->addr);
        EXPECT_EQ(0, r->port);
      }
      EXPECT_EQ("", leg->target.text);
      EXPECT_EQ(0, leg->target.port);
      EXPECT_FALSE(leg->waitNat.load());
      EXPECT_EQ(0, leg->cntPacket.load());
      EXPECT_FALSE(leg->aim.applied.load());
      EXPECT_EQ(0, leg->gotData.load());
    }
    {
      Synchronized hold(&a->addrLock);
      EXPECT_EQ(nullptr, a->stunCandidates);
      EXPECT_EQ(0, a->stunCandidateCount);
    }
    EXPECT_EQ(0, a->stunState.load());
    EXPECT_EQ(0, a->lastRecvTime.load());
    EXPECT_EQ(0, a->startTime.load());
    EXPECT_EQ(-1, a->payloadType.load());
    {
      Synchronized hold(SRTPInfo::wo);
      EXPECT_EQ(nullptr, a->cryptoSend);
      EXPECT_EQ(nullptr, a->cryptoRecv);
    }
    // The new session.
    EXPECT_EQ(77, a->sid.load());
    EXPECT_EQ(4, a->hostByte);
    EXPECT_EQ(30000, a->sessionTimeout.load());
    EXPECT_EQ("next", a->hostText);
    EXPECT_EQ(1, a->srtpMode.load());
    EXPECT_TRUE(a->behindNatEnabled);
    EXPECT_EQ("::1", a->bindIp);
    EXPECT_EQ(3, a->scopeId);
    // Kept: sockets, port, pairing, pins, the pending size request and the
    // RTCP leg's learning permission.
    EXPECT_EQ(fd, a->udpSender.getDesc());
    EXPECT_EQ(b, a->localPort);
    EXPECT_EQ(bb.get(), a->sender);
    EXPECT_EQ(1500, a->requestedBufSize.load());
    EXPECT_TRUE(a->rtcp.behindNatEnabled);

    a->releaseSender();
  }
  RTPex::closeAndDelete(ida);
  RTPex::closeAndDelete(idb);
  EXPECT_TRUE(relaytest::waitUntil([&] { return relaytest::rangeFree("127.0.0.1", b, b + 3); }));
}

// A leg that has not received yet allocates the first size given at reuse;
// its receive thread reads that size while Java may be reusing the endpoint.
TEST_F(RTPexEngine, FirstReceiveAfterReuseTakesTheNewSize) {
  int b = lane(19);
  ASSERT_NE(0, b);
  relaytest::GcWorker gc;
  int64_t id = relaytest::openOn("127.0.0.1", b, b + 50);
  ASSERT_NE(0, id);
  RTPexPin e = RTPexPin::find(id);
  ASSERT_TRUE(e);
  e->reinit(RTPexSession{2, 0, 0, 0, "next", 300, 200, false, false, "", 0});
  ASSERT_TRUE(relaytest::sendDatagram("127.0.0.1", b + 1, "\x81\xC8" "first-rtcp"));
  ASSERT_TRUE(relaytest::sendDatagram("127.0.0.1", b, "\x80\x08" "first-rtp"));
  EXPECT_TRUE(relaytest::waitUntil([&] { return e->rtcp.cntPacket.load() == 1; }));
  EXPECT_TRUE(relaytest::waitUntil([&] { return e->cntPacket.load() == 1; }));
  EXPECT_EQ(200, e->rtcp.recvBufSize.load());
  EXPECT_EQ(300, e->recvBufSize.load());
  e.reset();
  RTPex::closeAndDelete(id);
  EXPECT_TRUE(relaytest::waitUntil([&] { return relaytest::rangeFree("127.0.0.1", b, b + 1); }));
}

// A thread that cannot start takes no leg: the endpoint is not made, and
// a leg already on a running thread is released safely.
TEST_F(RTPexEngine, ReceiveThreadThatCannotStart) {
  int b = lane(17);
  ASSERT_NE(0, b);
  for (int good : {0, 1}) {
    relaytest::ScopedDispatcher scoped(relaytest::dispatcherWith<FailingDispatcher>(1, good));
    relaytest::GcWorker gc;
    size_t mark = relaytest::logText().size();
    size_t before = registered();
    EXPECT_EQ(0, relaytest::openOn("127.0.0.1", b, b + 10)) << good;
    EXPECT_EQ(before, registered());
    std::string log = relaytest::logSince(mark);
    EXPECT_NE(std::string::npos, log.find("RTPreceiverDispatcher thread start failed: -1")) << log;
    EXPECT_NE(std::string::npos,
              log.find("************************* port open failed: no receive thread, port:" +
                       std::to_string(b)))
        << log;
    EXPECT_TRUE(relaytest::waitUntil([&] { return relaytest::rangeFree("127.0.0.1", b, b + 1); }))
        << good;
  }
}

// Endpoints opened, paired and closed from several threads while datagrams
// arrive on their ports; every port is bindable again at the end.
TEST_F(RTPexEngine, OpenCloseUnderLoad) {
  int b = lane(18);
  ASSERT_NE(0, b);
  const int kRange = 60;
  relaytest::GcWorker gc;
  std::atomic<bool> stop{false};
  std::thread blaster([&] {
    const char* ips[] = {"127.0.0.1", "::1"};
    for (int round = 0; !stop && round < 20000; round++) {
      for (int p = b; p < b + kRange; p++) relaytest::sendDatagram(ips[round % 2], p, "\x80\x00load");
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::atomic<int> opened{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; w++) {
    workers.emplace_back([&, w] {
      const char* ip = (w % 2) == 0 ? "127.0.0.1" : "::1";
      for (int i = 0; i < 25; i++) {
        int64_t x = relaytest::openOn(ip, b, b + kRange - 1, w * 100 + i);
        int64_t y = relaytest::openOn(ip, b, b + kRange - 1, w * 100 + i + 50);
        if (x == 0 || y == 0) {
          if (x != 0) RTPex::closeAndDelete(x);
          if (y != 0) RTPex::closeAndDelete(y);
          continue;
        }
        opened += 2;
        {
          RTPexPin px = RTPexPin::find(x);
          RTPexPin py = RTPexPin::find(y);
          if (px && py) {
            px->setSender(py.get());
            py->setSender(px.get());
          }
        }
        if (i % 2 == 0) RTPex::closeAndDelete(x);
        RTPex::closeAndDelete(y);
        if (i % 2 == 1) RTPex::closeAndDelete(x);
      }
    });
  }
  for (std::thread& t : workers) t.join();
  EXPECT_GT(opened.load(), 0);
  EXPECT_TRUE(relaytest::waitUntil(
      [&] {
        return relaytest::rangeFree("127.0.0.1", b, b + kRange) &&
               relaytest::rangeFree("::1", b, b + kRange);
      },
      30000));
  stop = true;
  blaster.join();
}
