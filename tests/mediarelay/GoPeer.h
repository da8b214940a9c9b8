// The pion-based SRTP far end (tests/srtp_peer) as a child process, driven
// one command line at a time: an SRTP implementation that is not libsrtp.
#ifndef TESTS_GOPEER_H
#define TESTS_GOPEER_H

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "pathtest.h"

namespace gopeer {

inline std::string toHex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

inline std::string fromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

// The far-end program, or null when it was not built.
inline const char* peerProgram() {
#ifdef SRTP_PEER_BIN
  return access(SRTP_PEER_BIN, X_OK) == 0 ? SRTP_PEER_BIN : nullptr;
#else
  return nullptr;
#endif
}

class GoPeer {
 public:
  GoPeer() : rtpPort(0), rtcpPort(0), pid_(-1), in_(-1), out_(-1) {}
  ~GoPeer() { stop(); }
  GoPeer(const GoPeer&) = delete;
  GoPeer& operator=(const GoPeer&) = delete;

  bool start(const char* program) {
    int toChild[2];
    int fromChild[2];
    if (pipe(toChild) != 0) return false;
    if (pipe(fromChild) != 0) {
      ::close(toChild[0]);
      ::close(toChild[1]);
      return false;
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(toChild[0], 0);
      dup2(fromChild[1], 1);
      ::close(toChild[0]);
      ::close(toChild[1]);
      ::close(fromChild[0]);
      ::close(fromChild[1]);
      execl(program, "srtp_peer", static_cast<char*>(nullptr));
      _exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    in_ = toChild[1];
    out_ = fromChild[0];
    if (pid_ < 0) return false;
    std::string line = readLine();
    return std::sscanf(line.c_str(), "ports %d %d", &rtpPort, &rtcpPort) == 2;
  }

  // One command and its answer line ("" when none came).
  std::string call(const std::string& command) {
    std::string line = command + "\n";
    if (write(in_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return "";
    return readLine();
  }

  void key(const char* direction, short suite, const std::string& key) {
    std::string answer = call(std::string("key ") + direction + (suite == 1 ? " 32 " : " 80 ") +
                              toHex(key));
    EXPECT_EQ("ok", answer);
  }

  // Protects plain (as SRTCP when it is RTCP) and sends it from socket
  // ("rtp" or "rtcp") to port; the bytes sent.
  std::string send(const char* socket, int port, const std::string& plain) {
    std::string answer =
        call(std::string("send ") + socket + " " + std::to_string(port) + " " + toHex(plain));
    return answer.compare(0, 3, "ok ") == 0 ? fromHex(answer.substr(3)) : "";
  }

  // The next datagram on socket within ms, unprotected; the answer line
  // otherwise ("timeout", "bad ...").
  std::string recv(const char* socket, int ms = pathtest::kWaitMs) {
    std::string answer = call(std::string("recv ") + socket + " " + std::to_string(ms));
    return answer.compare(0, 3, "ok ") == 0 ? fromHex(answer.substr(3)) : answer;
  }

  int rtpPort;
  int rtcpPort;

 private:
  std::string readLine() {
    std::string line;
    for (int i = 0; i < 100000; i++) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 3 * pathtest::kWaitMs) != 1) return line;
      char c;
      if (read(out_, &c, 1) != 1 || c == '\n') return line;
      line += c;
    }
    return line;
  }

  void stop() {
    if (in_ >= 0) {
      if (write(in_, "quit\n", 5) != 5) {
      }
      ::close(in_);
    }
    if (out_ >= 0) ::close(out_);
    in_ = out_ = -1;
    if (pid_ <= 0) return;
    for (int i = 0; i < 500; i++) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      usleep(10000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  pid_t pid_;
  int in_;
  int out_;
};

}  // namespace gopeer

#endif  // TESTS_GOPEER_H
