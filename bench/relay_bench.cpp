// Relay benchmark: the same loopback streams through the relay engine and
// through a bare forwarder, with loss, order, added latency and CPU per
// packet, printed as a Markdown table.
//
//   relay_bench [--quick] [--seconds N] [--flat-seconds N] [--only I] [--runs N] [--smoke]
//
// --runs N runs each chosen scenario N times, relay and bare forwarder in
// turn, and prints the spread (min / median / max) of every figure: one run
// on a shared machine says little about the tail.
#include <sched.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "RTPex.h"
#include "kerneldrops.h"
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
  int runs = 0;   // > 0: the spread over this many runs of each scenario
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

double lossPercent(const Result& r) {
  return r.sent > r.received ? 100.0 * (r.sent - r.received) / r.sent : 0;
}

std::string lossText(const Result& r) {
  if (r.sent <= r.received) return "0";
  char text[64];
  std::snprintf(text, sizeof(text), "%.2f%%", lossPercent(r));
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

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

// The CPUs this process may run on (its affinity mask), which a container
// or taskset may keep below the machine's count.
int usableCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) {
    return static_cast<int>(std::thread::hardware_concurrency());
  }
  return CPU_COUNT(&set);
}

void summarise(const std::vector<Result>& rs) {
  std::printf("\n");
  for (const Scenario& sc : kScenarios) {
    const Result* r = find(rs, sc.name, "relay");
    const Result* bare = find(rs, sc.name, "bare");
    if (r == nullptr) continue;
    if (sc.rate == 0 && bare != nullptr) {
      double pps = 100.0 * r->pps / bare->pps;
      double cpu = 100.0 * bare->cpuUsPerPacket / r->cpuUsPerPacket;
      std::printf("%s: %.0f%% of the bare forwarder's packets/s, %.0f%% of its CPU efficiency "
                  "(target >= 85%%: %s)\n",
                  sc.name, pps, cpu, verdict(pps >= 85 && cpu >= 85));
    }
    if (sc.rate == 0) continue;
    std::printf("%s: loss %s, reordered %llu, p99 %.0f us (target: 0 loss, p99 < 1000 us: %s)",
                sc.name, lossText(*r).c_str(), static_cast<unsigned long long>(r->reordered),
                r->p99, verdict(r->sent <= r->received && r->p99 < 1000));
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

// ---- spread over several runs ---------------------------------------------------

// "min / median / max" of one figure over the runs.
template <class F>
std::string spreadText(const std::vector<Result>& runs, F figure, const char* format) {
  std::vector<double> v;
  for (const Result& r : runs) {
    if (r.ok) v.push_back(figure(r));
  }
  if (v.empty()) return "-";
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  double median = n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  char text[96];
  std::snprintf(text, sizeof(text), format, v.front(), median, v.back());
  return text;
}

void printSpreadRow(const char* scenario, const char* path, const std::vector<Result>& runs) {
  const char* us = "%.0f / %.0f / %.0f";
  int opened = static_cast<int>(std::count_if(runs.begin(), runs.end(),
                                              [](const Result& r) { return r.ok; }));
  std::printf("| %s | %s | %d of %zu | %s | %s | %s | %s | %s | %s |\n", scenario, path, opened,
              runs.size(), spreadText(runs, [](const Result& r) { return r.pps; }, us).c_str(),
              spreadText(runs, lossPercent, "%.2f / %.2f / %.2f%%").c_str(),
              spreadText(runs, [](const Result& r) { return r.p50; }, us).c_str(),
              spreadText(runs, [](const Result& r) { return r.p99; }, us).c_str(),
              spreadText(runs, [](const Result& r) { return r.max; }, us).c_str(),
              spreadText(runs, [](const Result& r) { return r.cpuUsPerPacket; },
                         "%.2f / %.2f / %.2f").c_str());
}

void printRun(const Result& r, int run) {
  std::fprintf(stderr, "run %d: %s (%s): %s, %.0f pkt/s, loss %s, p50 %.0f us, p99 %.0f us, "
               "max %.0f us, CPU %.2f us/pkt\n", run, r.scenario.c_str(), r.path.c_str(),
               r.ok ? "ok" : "failed to open", r.pps, lossText(r).c_str(), r.p50, r.p99, r.max,
               r.cpuUsPerPacket);
}

// Runs sc the given number of times, the relay and the bare forwarder in
// turn. A scenario that the bare forwarder cannot carry (SRTP) has it beside
// it on the same streams plain, as the floor of what loopback costs.
void runSpread(const Scenario& sc, int seconds, int runs) {
  Scenario plain = sc;
  plain.srtp = false;
  plain.churn = false;
  bool withBare = sc.bare || sc.srtp;
  const char* bareName = sc.bare ? "bare" : "bare, plain streams";
  std::vector<Result> relayRuns, bareRuns;
  for (int k = 1; k <= runs; k++) {
    bench::RelayPath relay;
    relayRuns.push_back(run(sc, &relay, seconds));
    printRun(relayRuns.back(), k);
    sleepMs(1500);  // closed endpoints are deleted meanwhile
    if (!withBare) continue;
    bench::BarePath bare;
    bareRuns.push_back(run(plain, &bare, seconds));
    bareRuns.back().path = bareName;
    printRun(bareRuns.back(), k);
  }
  printSpreadRow(sc.name, "relay", relayRuns);
  if (withBare) printSpreadRow(sc.name, bareName, bareRuns);
}

// One call each way, plain and with one side SRTP, 200 packets per stream:
// every packet must arrive, in order, intact, except those the kernel
// dropped from a full receive queue. No timing is judged.
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
      traffic.stop(30000, 10000);  // room for a starved relay thread
    }
    std::vector<int> ports = relay.ports();
    ports.push_back(bench::portOf(a.fd));
    ports.push_back(bench::portOf(b.fd));
    long drops = kerneldrops::kernelDrops(ports);  // before the sockets close
    relay.close();
    long lost = 400 - static_cast<long>(traffic.received());
    bool ok = opened && traffic.sent() == 400 && lost <= drops && traffic.reordered() == 0 &&
              traffic.bad() == 0;
    std::printf("smoke %s: sent %llu received %llu reordered %llu bad %llu kernel queue drops "
                "%ld: %s\n",
                srtp ? "srtp" : "plain", static_cast<unsigned long long>(traffic.sent()),
                static_cast<unsigned long long>(traffic.received()),
                static_cast<unsigned long long>(traffic.reordered()),
                static_cast<unsigned long long>(traffic.bad()), drops, ok ? "ok" : "FAILED");
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
    } else if (a == "--runs" && i + 1 < argc) {
      s->runs = std::atoi(argv[++i]);
      if (s->runs < 1 || s->runs > 100) return false;
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
    std::fprintf(stderr,
                 "usage: %s [--quick] [--seconds N] [--flat-seconds N] [--only I] [--runs N] "
                 "[--smoke]\nscenarios (I):\n",
                 argv[0]);
    for (size_t i = 0; i < sizeof(kScenarios) / sizeof(kScenarios[0]); i++) {
      std::fprintf(stderr, "  %zu  %s\n", i, kScenarios[i].name);
    }
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
    std::printf("libsrtp2: %s\n", SRTP_LIBRARY_KIND);
    if (settings.smoke) {
      rc = smoke();
    } else {
      std::printf("relay benchmark, %s, %d CPUs usable (machine: %u); 172-byte RTP on "
                  "127.0.0.1, both directions\n",
                  today().c_str(), usableCpus(), std::thread::hardware_concurrency());
      std::vector<Result> results;
      if (settings.runs > 0) {
        std::printf("\nmin / median / max over %d runs; paced scenarios %d s, flat out %d s "
                    "each\n\n| Scenario | Path | Runs | Packets/s | Loss | p50 us | p99 us | "
                    "max us | CPU us/pkt |\n|---|---|---:|---:|---:|---:|---:|---:|---:|\n",
                    settings.runs, settings.rateSeconds, settings.flatSeconds);
      }
      int index = 0;
      for (const Scenario& sc : kScenarios) {
        if (settings.only >= 0 && settings.only != index++) continue;
        int seconds = sc.rate > 0 ? settings.rateSeconds : settings.flatSeconds;
        if (settings.runs > 0) {
          runSpread(sc, seconds, settings.runs);
          continue;
        }
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
      if (settings.runs == 0) {
        printTable(results);
        summarise(results);
      }
    }
  }
  unlink(logPath.c_str());
  unlink((logPath + "_bak").c_str());
  rmdir(dir.c_str());
  return rc;
}
