// A leg closes its socket once when it goes: its receiver only borrows the
// sender's descriptor. This program's own close(), which the library's calls
// resolve to, counts the closes of the number being watched; in a threaded
// process a second close could hit the number's next owner.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "RTPex.h"

namespace {

std::atomic<int> watched(-1);
std::atomic<int> closesOfWatched(0);

}  // namespace

extern "C" int close(int fd) {
  typedef int (*CloseFn)(int);
  static const CloseFn next = reinterpret_cast<CloseFn>(dlsym(RTLD_NEXT, "close"));
  if (fd >= 0 && fd == watched.load()) closesOfWatched++;
  return next(fd);
}

namespace {

// Opens a leg's socket as the relay does: the sender owns it, the receiver
// shares it. Returns the descriptor.
int openLeg(RTex* leg) {
  leg->udpSender.open(0);
  leg->udpSender.setLocalAddrPort("127.0.0.1", 0, 0);
  leg->udpReceiver.setSameSocket(&leg->udpSender);
  leg->pollDesc = leg->udpSender.getDesc();
  return leg->udpSender.getDesc();
}

TEST(LegSocket, ClosedOnceWhenTheLegGoes) {
  struct Case {
    const char* what;
    std::function<RunnerBase*(std::vector<RTex*>*)> make;
  };
  const Case cases[] = {
      {"a leg on its own",
       [](std::vector<RTex*>* legs) {
         RTex* leg = new RTex();
         legs->push_back(leg);
         return leg;
       }},
      {"an RTCP leg on its own",
       [](std::vector<RTex*>* legs) {
         RTCPex* leg = new RTCPex();
         legs->push_back(leg);
         return leg;
       }},
      {"an endpoint's RTP leg",
       [](std::vector<RTex*>* legs) {
         RTPex* ep = new RTPex();
         legs->push_back(ep);
         return ep;
       }},
      {"an endpoint's RTCP leg",
       [](std::vector<RTex*>* legs) {
         RTPex* ep = new RTPex();
         legs->push_back(&ep->rtcp);
         return ep;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<RTex*> legs;
    std::unique_ptr<RunnerBase> owner(c.make(&legs));
    ASSERT_EQ(1u, legs.size());
    const int fd = openLeg(legs[0]);
    ASSERT_GT(fd, 0);
    closesOfWatched = 0;
    watched = fd;
    owner.reset();
    watched = -1;
    EXPECT_EQ(1, closesOfWatched.load());
  }
}

}  // namespace
