// Endpoint churn while media flows: thousands of endpoint pairs opened,
// paired, relaying and closed, some converting SRTP, beside a long-lived
// stream. Afterwards every endpoint is deleted, every socket closed, the
// status text is that of an empty relay and the stream lost nothing the
// kernel did not drop from a full receive queue. Run it
// under the ASan build for leaks. MEDIARELAY_SOAK_CYCLES sets the number of
// cycles (10000 by default).
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "SRTPInfo.h"
#include "SRTPtest.h"
#include "pathtest.h"

namespace {

const int kPortMin = 62000;
const int kPortMax = 64998;
const int kSrtpEvery = 10;
// Closed endpoints waiting for their deferred delete; more hold too many
// ports, so the churn waits for the "GC" queue.
const int kMaxPendingDeletes = 300;
const size_t kTagAt = 12;

int cycles() {
  const char* v = std::getenv("MEDIARELAY_SOAK_CYCLES");
  int n = v != nullptr ? std::atoi(v) : 0;
  return n > 0 ? n : 10000;
}

int openDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int n = 0;
  while (readdir(dir) != nullptr) n++;
  closedir(dir);
  return n;
}

int64_t open(int64_t sid) {
  return RTPex::newInstance(sid, 0, kPortMin, kPortMax, kPortMin, 0, 0, "soak", 512, 512, 0, 0,
                            0, "127.0.0.1", 0);
}

// An RTP datagram carrying tag after its header.
std::string tagged(uint32_t tag) {
  std::string d = pathtest::rtp("", 0, 32);
  for (int i = 0; i < 4; i++) d[kTagAt + i] = static_cast<char>(tag >> (8 * i));
  return d;
}

// Two endpoints relaying between the far ends x (on a) and y (on b).
struct Call {
  int64_t idA = 0;
  int64_t idB = 0;
  std::string srtpKey;  // b's outbound key when y speaks SRTP

  bool open(int64_t sid, const pathtest::FarEnd& x, const pathtest::FarEnd& y, bool srtp) {
    idA = ::open(sid);
    idB = ::open(sid + 1);
    RTPexPin a = RTPexPin::find(idA);
    RTPexPin b = RTPexPin::find(idB);
    if (!a || !b) return false;
    std::string ip = "127.0.0.1";
    a->setTarget(ip, y.port(), 0, false);
    b->setTarget(ip, x.port(), 0, false);
    a->setSender(b.get());
    b->setSender(a.get());
    if (srtp) {
      // y speaks SRTP: b protects towards it, a removes what comes from it.
      srtpKey = srtptest::newSendKey(b.get(), 0);
      srtptest::setRecvKey(a.get(), 0, std::string(SRTPInfo::KEY_LEN, 'k'));
      RTPex::startSrtp(a.get(), b.get());
    }
    return true;
  }

  int rtpPort() const { return static_cast<int>(idA & 0xffffffff); }
  int rtpPortB() const { return static_cast<int>(idB & 0xffffffff); }

  // Kernel queue drops on the relay's sockets of this call (read before
  // close).
  long drops() const { return relaytest::kernelDrops({rtpPort(), rtpPortB()}); }

  void close() {
    RTPex::closeAndDelete(idA);
    RTPex::closeAndDelete(idB);
  }
};

// A long-lived call with a steady stream from x to y, one datagram a
// millisecond, until stopped.
class Stream {
 public:
  Stream() : x_("127.0.0.1"), y_("127.0.0.1") {}
  ~Stream() { stop(); }

  bool start() {
    if (!x_.ok() || !y_.ok() || !call_.open(900000, x_, y_, false)) return false;
    thread_ = std::thread([this] { loop(); });
    return true;
  }

  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  // After stop(): waits until every datagram sent has arrived or was
  // dropped by the kernel, or nothing changes any more.
  void settle() {
    relaytest::settle([this] {
      drain();
      return static_cast<long>(received_) + drops();
    }, static_cast<long>(sent_));
  }

  // Kernel queue drops on every socket of the stream: the relay's and y's.
  long drops() const { return call_.drops() + y_.drops(); }

  void close() { call_.close(); }
  uint32_t sent() const { return sent_; }
  uint32_t received() const { return received_; }

 private:
  void loop() {
    while (!stop_) {
      if (x_.sendTo(call_.rtpPort(), tagged(sent_))) sent_++;
      drain();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  void drain() {
    std::string got;
    while (y_.pending() && y_.receive(&got, nullptr, 0)) received_++;
  }

  pathtest::FarEnd x_;
  pathtest::FarEnd y_;
  Call call_;
  std::atomic<bool> stop_{false};
  uint32_t sent_ = 0;
  uint32_t received_ = 0;
  std::thread thread_;
};

// Waits at y for media as sent, or protected with srtpKey when that is
// set, skipping late datagrams of earlier cycles.
bool arrived(const pathtest::FarEnd& y, const std::string& media, const std::string& srtpKey) {
  for (int i = 0; i < 100; i++) {
    std::string got;
    if (!y.receive(&got, nullptr, pathtest::kWaitMs)) return false;
    if (srtpKey.empty()) {
      if (got == media) return true;
      continue;
    }
    std::vector<unsigned char> key(srtpKey.begin(), srtpKey.end());
    SRTPInfo rx(0, 0, key.data(), SRTPInfo::KEY_LEN, 1024);
    if (srtptest::unprotectWith(&rx, &got, false) && got == media) return true;
  }
  return false;
}

const char kEmptyStatus[] =
    "<EventQueue GC> :q.size:0\nscdq.size:0\n\r\n"
    "<EventQueue EVENT> :q.size:0\nscdq.size:0\n\r\n"
    "<RTPex> count:0;\r\n\r\n"
    "<SRTP Converting> count:0\r\n";

}  // namespace

TEST(Soak, EndpointChurnWhileMediaFlows) {
  srtptest::setUp();
  size_t logMark = relaytest::logText().size();
  relaytest::GcWorker gc;
  pathtest::FarEnd x("127.0.0.1");
  pathtest::FarEnd y("127.0.0.1");
  ASSERT_TRUE(x.ok() && y.ok());
  Stream stream;
  int fdsBefore = openDescriptors();
  ASSERT_GT(fdsBefore, 0);
  ASSERT_TRUE(stream.start());

  int n = cycles();
  int failedOpens = 0;
  int lost = 0;
  int droppedByKernel = 0;  // cycles whose media the kernel dropped
  int srtpDropped = 0;
  int srtpArrivals = 0;
  for (int i = 0; i < n; i++) {
    relaytest::waitUntil([] { return RTPex::evQ[0]->totalEventCount() < kMaxPendingDeletes; });
    bool srtp = i % kSrtpEvery == 0;
    Call call;
    if (!call.open(2 * i + 1, x, y, srtp)) {
      failedOpens++;
      call.close();
      continue;
    }
    uint32_t tag = static_cast<uint32_t>(i);
    std::string media = tagged(tag);
    long yDrops = y.drops();
    ASSERT_TRUE(x.sendTo(call.rtpPort(), media));
    if (!arrived(y, media, call.srtpKey)) {
      // Late datagrams of earlier cycles may fill y's queue too.
      bool dropped = call.drops() > 0 || y.drops() > yDrops;
      (dropped ? droppedByKernel : lost)++;
      if (dropped && srtp) srtpDropped++;
    } else if (srtp) {
      srtpArrivals++;
    }
    // More media in flight while the call ends.
    for (int k = 0; k < 3; k++) x.sendTo(call.rtpPort(), tagged(tag));
    call.close();
  }

  stream.stop();
  stream.settle();
  long streamDrops = stream.drops();
  long streamLost = static_cast<long>(stream.sent()) - static_cast<long>(stream.received());
  relaytest::reportKernelDrops("stream", streamDrops);
  relaytest::reportKernelDrops("churn_cycles", droppedByKernel);
  EXPECT_LE(streamLost, streamDrops) << "stream of " << stream.sent() << " datagrams lost "
                                     << streamLost << ", the kernel dropped " << streamDrops;
  EXPECT_GT(stream.received(), 0u);
  stream.close();
  EXPECT_EQ(0, failedOpens);
  EXPECT_EQ(0, lost) << "cycles whose media was lost without a kernel drop";
  EXPECT_EQ((n + kSrtpEvery - 1) / kSrtpEvery - srtpDropped, srtpArrivals);

  // Every closed endpoint is deleted, its sockets with it.
  EXPECT_TRUE(relaytest::waitUntil(
      [] { return relaytest::registered() == 0 && RTPex::evQ[0]->totalEventCount() == 0; }, 30000));
  EXPECT_EQ(kEmptyStatus, RTPex::getInfo(""));
  EXPECT_EQ(fdsBefore, openDescriptors());
  EXPECT_EQ(std::string::npos, relaytest::logSince(logMark).find("Exception. "));
}
