// Relay benchmark: the same loopback streams through the relay engine and
// through a bare forwarder, with loss, order, added latency and CPU per
// packet, printed as a Markdown table.
//
//   relay_bench [--quick] [--seconds N] [--flat-seconds N] [--only I] [--smoke]
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "RTPex.h"
#include "loadgen.h"
#include "paths.h"

namespace {

using bench::FarEnd;
using bench::Traffic;

struct Settings {
  int flatSeconds = 3;
  int rateSeconds = 30;
  bool smoke = false;
  int only = -1;  // index of the one scenario to run
};

struct Scenario {
  const char* name;
  int calls;
  int rate;  // per stream; 0: flat out
  bool srtp;
  bool churn;
  bool bare;  // also through the bare forwarder
  int senders;
  int sinks;
};

struct Result {
  std::string scenario;
  std::string path;
  int calls = 0;
  int threads = 0;
  bool ok = false;
  double pps = 0;
  double cpuUsPerPacket = 0;
  uint64_t sent = 0;
  uint64_t received = 0;
  uint64_t reordered = 0;
  uint64_t bad = 0;
  double p50 = 0, p99 = 0, max = 0;
  size_t logBytes = 0;  // log written while the streams ran
  double churnPerSec = 0;
  int churnFailed = 0;
};

std::string logPath;

size_t logSize() {
  struct stat st;
  return stat(logPath.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

void sleepMs(int64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Opens and pairs endpoints at 200 calls per second until stopped.
class Churn {
 public:
  Churn() : ports_(53000, 59999), stop_(false), done_(0), failed_(0) {}
  void start() { thread_ = std::thread([this] { loop(); }); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int done() const { return done_; }
  int failed() const { return failed_; }
  double perSecond() const { return seconds_ > 0 ? done_ / seconds_ : 0; }

 private:
  void loop() {
    const int64_t step = 5000000;  // 200 per second
    int64_t t0 = bench::nowNs();
    for (int64_t k = 0; !stop_.load(); k++) {
      int64_t wait = t0 + k * step - bench::nowNs();
      if (wait > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
      if (bench::RelayPath::churnOnce(&ports_)) {
        done_++;
      } else {
        failed_++;
      }
    }
    seconds_ = (bench::nowNs() - t0) / 1e9;
  }

  bench::PortCursor ports_;
  std::atomic<bool> stop_;
  int done_;
  int failed_;
  double seconds_ = 0;
  std::thread thread_;
};

Result run(const Scenario& sc, bench::Path* path, int seconds) {
  Result r;
  r.scenario = sc.name;
  r.path = path->name();
  r.calls = sc.calls;
  r.threads = bench::threadsFor(sc.calls);
  std::vector<std::unique_ptr<FarEnd>> owned;
  std::vector<FarEnd*> ends;
  for (int i = 0; i < sc.calls * 2; i++) {
    owned.emplace_back(new FarEnd());
    ends.push_back(owned.back().get());
    ends.back()->ssrc = static_cast<uint32_t>(i + 1);
    ends.back()->peerSsrc = static_cast<uint32_t>((i ^ 1) + 1);
    if (ends.back()->fd < 0) return r;
  }
  if (!path->open(ends, sc.srtp)) {
    path->close();
    return r;
  }
  Traffic::Options opts;
  opts.rate = sc.rate;
  opts.senderThreads = sc.senders;
  opts.sinkThreads = sc.sinks;
  Traffic traffic(ends, opts);
  Churn churn;
  traffic.start();
  if (sc.churn) churn.start();
  sleepMs(opts.warmupNs / 1000000);

  size_t log0 = logSize();
  uint64_t got0 = traffic.receivedNow();
  int64_t cpu0 = bench::cpuNs(CLOCK_PROCESS_CPUTIME_ID) - traffic.generatorCpuNs();
  int64_t t0 = bench::nowNs();
  sleepMs(int64_t{seconds} * 1000);
  uint64_t got1 = traffic.receivedNow();
  int64_t cpu1 = bench::cpuNs(CLOCK_PROCESS_CPUTIME_ID) - traffic.generatorCpuNs();
  int64_t t1 = bench::nowNs();

  if (sc.churn) churn.stop();
  traffic.stop(sc.rate > 0 ? 3000 : 1000, 300);
  r.logBytes = logSize() - log0;
  path->close();

  uint64_t moved = got1 - got0;
  r.ok = true;
  r.pps = moved / ((t1 - t0) / 1e9);
  r.cpuUsPerPacket = moved > 0 ? (cpu1 - cpu0) / 1000.0 / moved : 0;
  r.sent = traffic.sent();
  r.received = traffic.received();
  r.reordered = traffic.reordered();
  r.bad = traffic.bad();
  r.p50 = traffic.latency().quantileUs(0.50);
  r.p99 = traffic.latency().quantileUs(0.99);
  r.max = traffic.latency().maxUs();
  r.churnPerSec = churn.perSecond();
  r.churnFailed = churn.failed();
  return r;
}

Result better(const Result& a, const Result& b) {
  if (!a.ok) return b;
  if (!b.ok) return a;
  return b.pps > a.pps ? b : a;
}

std::string lossText(const Result& r) {
  uint64_t lost = r.sent > r.received ? r.sent - r.received : 0;
  char text[64];
  if (lost == 0) return "0";
  std::snprintf(text, sizeof(text), "%.2f%%", r.sent > 0 ? 100.0 * lost / r.sent : 0);
  return text;
}

void printTable(const std::vector<Result>& results) {
  std::printf("\n| Scenario | Path | Threads | Packets/s | vs bare | Loss | Reordered | "
              "p50 us | p99 us | max us | CPU us/pkt | CPU vs bare |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (size_t i = 0; i < results.size(); i++) {
    const Result& r = results[i];
    if (!r.ok) {
      std::printf("| %s | %s | - | failed to open | | | | | | | | |\n", r.scenario.c_str(),
                  r.path.c_str());
      continue;
    }
    // Packets per second and CPU per packet of the relay against the bare
    // forwarder on the same streams (CPU: bare's cost over the relay's).
    std::string ratio, cpuRatio;
    if (r.path == "relay" && i + 1 < results.size() && results[i + 1].path == "bare" &&
        results[i + 1].scenario == r.scenario && results[i + 1].pps > 0 && r.cpuUsPerPacket > 0) {
      char t[32];
      std::snprintf(t, sizeof(t), "%.0f%%", 100.0 * r.pps / results[i + 1].pps);
      ratio = t;
      std::snprintf(t, sizeof(t), "%.0f%%", 100.0 * results[i + 1].cpuUsPerPacket / r.cpuUsPerPacket);
      cpuRatio = t;
    }
    std::printf("| %s | %s | %d | %.0f | %s | %s | %llu | %.0f | %.0f | %.0f | %.2f | %s |\n",
                r.scenario.c_str(), r.path.c_str(), r.threads, r.pps, ratio.c_str(),
                lossText(r).c_str(), static_cast<unsigned long long>(r.reordered), r.p50, r.p99,
                r.max, r.cpuUsPerPacket, cpuRatio.c_str());
  }
}

const Result* find(const std::vector<Result>& rs, const char* scenario, const char* path) {
  for (const Result& r : rs) {
    if (r.ok && r.scenario == scenario && r.path == path) return &r;
  }
  return nullptr;
}

const Scenario kScenarios[] = {
    {"1 call, flat out", 1, 0, false, false, true, 1, 1},
    {"64 calls, flat out", 64, 0, false, false, true, 2, 2},
    {"1 call, flat out, SRTP one side", 1, 0, true, false, false, 1, 1},
    {"1000 calls x 50 pps", 1000, 50, false, false, true, 2, 2},
    {"1000 calls x 50 pps, SRTP one side", 1000, 50, true, false, false, 2, 2},
    {"500 calls x 50 pps + churn 200 calls/s", 500, 50, false, true, false, 2, 2},
};

void summarise(const std::vector<Result>& rs) {
  std::printf("\n");
  for (const Scenario& sc : kScenarios) {
    const Result* r = find(rs, sc.name, "relay");
    const Result* bare = find(rs, sc.name, "bare");
    if (r == nullptr) continue;
    if (sc.rate == 0 && bare != nullptr) {
      std::printf("%s: %.0f%% of the bare forwarder's packets/s, %.0f%% of its CPU efficiency "
                  "(target >= 85%%)\n",
                  sc.name, 100.0 * r->pps / bare->pps,
                  100.0 * bare->cpuUsPerPacket / r->cpuUsPerPacket);
    }
    if (sc.rate == 0) continue;
    std::printf("%s: loss %s, reordered %llu, p99 %.0f us (target: 0 loss, p99 < 1000 us)",
                sc.name, lossText(*r).c_str(), static_cast<unsigned long long>(r->reordered),
                r->p99);
    if (sc.churn) std::printf("; churn %.0f calls/s, %d failed", r->churnPerSec, r->churnFailed);
    std::printf("\n");
  }
  // What conversion adds end to end, CPU per packet against the same
  // streams plain (each packet of a one-sided pair takes one protect or one
  // unprotect); srtp_bench sets the conversion step against raw libsrtp2.
  for (const Scenario& sc : kScenarios) {
    if (!sc.srtp) continue;
    const Result* srtp = find(rs, sc.name, "relay");
    const Result* plain = nullptr;
    for (const Scenario& other : kScenarios) {
      if (!other.srtp && other.calls == sc.calls && other.rate == sc.rate && !other.churn) {
        plain = find(rs, other.name, "relay");
      }
    }
    if (srtp == nullptr || plain == nullptr) continue;
    std::printf("%s: conversion adds %.2f us of CPU per packet\n", srtp->scenario.c_str(),
                srtp->cpuUsPerPacket - plain->cpuUsPerPacket);
  }
  for (const Result& r : rs) {
    if (r.ok && r.logBytes > 0) {
      std::printf("note: %s (%s) wrote %zu log bytes while streaming\n", r.scenario.c_str(),
                  r.path.c_str(), r.logBytes);
    }
    if (r.ok && r.bad > 0) {
      std::printf("note: %s (%s) got %llu bad packets\n", r.scenario.c_str(), r.path.c_str(),
                  static_cast<unsigned long long>(r.bad));
    }
  }
}

// One call each way, plain and with one side SRTP, 200 packets per stream:
// every packet must arrive, in order, intact. No timing is judged.
int smoke() {
  int failures = 0;
  for (bool srtp : {false, true}) {
    bench::RelayPath relay;
    FarEnd a, b;
    a.ssrc = 1;
    a.peerSsrc = 2;
    b.ssrc = 2;
    b.peerSsrc = 1;
    std::vector<FarEnd*> ends{&a, &b};
    bool opened = a.fd >= 0 && b.fd >= 0 && relay.open(ends, srtp);
    Traffic::Options opts;
    opts.rate = 500;
    opts.maxPackets = 200;
    Traffic traffic(ends, opts);
    if (opened) {
      traffic.start();
      for (int i = 0; i < 3000 && !traffic.sendersDone(); i++) sleepMs(10);
      traffic.stop(10000, 5000);
    }
    relay.close();
    bool ok = opened && traffic.sent() == 400 && traffic.received() == 400 &&
              traffic.reordered() == 0 && traffic.bad() == 0;
    std::printf("smoke %s: sent %llu received %llu reordered %llu bad %llu: %s\n",
                srtp ? "srtp" : "plain", static_cast<unsigned long long>(traffic.sent()),
                static_cast<unsigned long long>(traffic.received()),
                static_cast<unsigned long long>(traffic.reordered()),
                static_cast<unsigned long long>(traffic.bad()), ok ? "ok" : "FAILED");
    if (!ok) failures++;
  }
  return failures == 0 ? 0 : 1;
}

bool parse(int argc, char** argv, Settings* s) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--quick") {
      s->flatSeconds = 1;
      s->rateSeconds = 5;
    } else if (a == "--only" && i + 1 < argc) {
      s->only = std::atoi(argv[++i]);
    } else if (a == "--smoke") {
      s->smoke = true;
    } else if ((a == "--seconds" || a == "--flat-seconds") && i + 1 < argc) {
      int v = std::atoi(argv[++i]);
      if (v < 1 || v > 600) return false;
      (a == "--seconds" ? s->rateSeconds : s->flatSeconds) = v;
    } else {
      return false;
    }
  }
  return true;
}

std::string today() {
  time_t t = time(nullptr);
  char text[32];
  strftime(text, sizeof(text), "%Y-%m-%d", localtime(&t));
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!parse(argc, argv, &settings)) {
    std::fprintf(stderr, "usage: %s [--quick] [--seconds N] [--flat-seconds N] [--only I] [--smoke]\n",
                 argv[0]);
    return 2;
  }
  const char* tmp = getenv("TMPDIR");
  std::string dir = std::string(tmp != nullptr ? tmp : "/tmp") + "/relaybench.XXXXXX";
  if (mkdtemp(&dir[0]) == nullptr) return 1;
  logPath = dir + "/proxy.log";
  bench::RelayPath::setUpEngine(logPath);
  int rc = 0;
  {
    bench::EngineWorker worker;
    if (settings.smoke) {
      rc = smoke();
    } else {
      std::printf("relay benchmark, %s, %u cores; 172-byte RTP on 127.0.0.1, both directions\n",
                  today().c_str(), std::thread::hardware_concurrency());
      std::vector<Result> results;
      int index = 0;
      for (const Scenario& sc : kScenarios) {
        if (settings.only >= 0 && settings.only != index++) continue;
        int seconds = sc.rate > 0 ? settings.rateSeconds : settings.flatSeconds;
        // Flat-out figures move with thread placement: the better of two
        // alternating rounds of each road counts.
        int rounds = sc.rate > 0 ? 1 : 2;
        Result relayBest, bareBest;
        for (int round = 0; round < rounds; round++) {
          bench::RelayPath relay;
          relayBest = better(relayBest, run(sc, &relay, seconds));
          std::fprintf(stderr, "done: %s (relay)\n", sc.name);
          sleepMs(1500);  // closed endpoints are deleted meanwhile
          if (!sc.bare) continue;
          bench::BarePath bare;
          bareBest = better(bareBest, run(sc, &bare, seconds));
          std::fprintf(stderr, "done: %s (bare)\n", sc.name);
        }
        results.push_back(relayBest);
        if (sc.bare) results.push_back(bareBest);
      }
      printTable(results);
      summarise(results);
    }
  }
  unlink(logPath.c_str());
  unlink((logPath + "_bak").c_str());
  rmdir(dir.c_str());
  return rc;
}
