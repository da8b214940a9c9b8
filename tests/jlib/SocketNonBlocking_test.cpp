// A socket that cannot be made non-blocking is not kept. The switch is made
// to fail by this program's own fcntl(), which the library's calls resolve
// to: while armed, F_SETFL fails with EINVAL and the descriptor is noted.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdarg.h>

#include <atomic>
#include <cerrno>

#include "SocketUtil.h"

namespace {

std::atomic<bool> failSetFl(false);
std::atomic<int> refusedFd(-1);

typedef int (*FcntlFn)(int, int, ...);

FcntlFn nextFcntl() {
  static const FcntlFn next = reinterpret_cast<FcntlFn>(dlsym(RTLD_NEXT, "fcntl"));
  return next;
}

}  // namespace

extern "C" int fcntl(int fd, int cmd, ...) {
  // Every command's argument is an int or a pointer, passed the same way.
  va_list args;
  va_start(args, cmd);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (cmd == F_SETFL && failSetFl.load()) {
    refusedFd = fd;
    errno = EINVAL;
    return -1;
  }
  return nextFcntl()(fd, cmd, arg);
}

namespace {

bool isOpenFd(int fd) { return nextFcntl()(fd, F_GETFD) != -1; }

TEST(SocketNonBlocking, FailedSwitchLeavesNoSocket) {
  for (int useV6 : {0, 1}) {
    SCOPED_TRACE(useV6 ? "IPv6" : "IPv4");
    UDPreceiver r;
    refusedFd = -1;
    failSetFl = true;
    const socket_t got = r.open(useV6);
    failSetFl = false;
    EXPECT_EQ(0, got);
    ASSERT_GT(refusedFd.load(), 0) << "the switch was not tried";
    EXPECT_FALSE(r.isOpened());
    EXPECT_EQ(0, r.getFamily());
    EXPECT_FALSE(isOpenFd(refusedFd.load())) << "the blocking socket was left open";

    // Without the fault the same object opens a non-blocking socket.
    ASSERT_GT(r.open(useV6), 0);
    EXPECT_NE(0, nextFcntl()(r.getDesc(), F_GETFL) & O_NONBLOCK);
  }
}

}  // namespace
