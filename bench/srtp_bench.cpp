// SRTP on one core: protect + unprotect of 172-byte RTP packets, raw libsrtp2
// against the relay's own conversion steps (the protect of sendSRTP and
// unprotectRTP, each under the SRTP lock), over n session pairs taken in
// turn: one pair is a single call, a thousand the working set of a busy relay.
// Then a flood of new SSRCs on one context: the cost of a packet with a new
// SSRC after n of them, and one pair's steps beside such a flood.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "RTPex.h"
#include "SRTPInfo.h"
#include "loadgen.h"
#include "paths.h"

namespace {

const int kBufSize = bench::kPacketSize + SRTPInfo::PROTECT_ROOM;

void fill(unsigned char* buf, uint32_t seq) {
  std::memset(buf, 0, bench::kPacketSize);
  buf[0] = 0x80;
  buf[2] = static_cast<unsigned char>(seq >> 8);
  buf[3] = static_cast<unsigned char>(seq);
  buf[11] = 1;
}

// Runs step(pair, packet) over the pairs in turn, each pair with its own
// sequence (kept by the caller: libsrtp2 refuses a replayed one); step
// returns false when protect or unprotect failed.
template <class Step>
void runPairs(benchmark::State& state, std::vector<uint32_t>* seqs, Step step) {
  std::vector<uint32_t>& seq = *seqs;
  const size_t pairs = seq.size();
  unsigned char buf[kBufSize];
  size_t i = 0;
  for (auto _ : state) {
    fill(buf, seq[i]++);
    if (!step(i, buf)) {
      state.SkipWithError("protect/unprotect failed");
      break;
    }
    benchmark::DoNotOptimize(buf);
    if (++i == pairs) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

// Raw libsrtp2 on sessions made as the relay makes them (same policy,
// replay window included), used without the relay's lock and lookups.
struct RawPair {
  RawPair() : out(1, 0, nullptr, 0, 1024), in(0, 0, out.policy.key, SRTPInfo::KEY_LEN, 1024) {}
  bool usable() const { return out.usable() && in.usable(); }
  SRTPInfo out;
  SRTPInfo in;
};

void BM_Raw(benchmark::State& state) {
  std::vector<std::unique_ptr<RawPair>> pairs;
  for (int64_t i = 0; i < state.range(0); i++) {
    pairs.emplace_back(new RawPair());
    if (!pairs.back()->usable()) {
      state.SkipWithError("session not made");
      return;
    }
  }
  std::vector<uint32_t> seq(pairs.size(), 0);
  runPairs(state, &seq, [&](size_t i, unsigned char* buf) {
    int len = bench::kPacketSize;
    return srtp_protect(pairs[i]->out.session, buf, &len) == srtp_err_status_ok &&
           srtp_unprotect(pairs[i]->in.session, buf, &len) == srtp_err_status_ok;
  });
}
BENCHMARK(BM_Raw)->Arg(1)->Arg(1000)->Arg(2000);

// Endpoint pairs of the relay: a protects towards its far end with a fresh
// key, b takes that same key for what arrives, so b's unprotectRTP undoes
// a's protection. Opened once per size and kept for the process.
class RelayPairs {
 public:
  explicit RelayPairs(size_t n) : size_(n), ports_(47000, 59999), seq_(n, 0) {
    for (size_t i = 0; i < n && ok_; i++) ok_ = add(static_cast<int64_t>(i));
  }
  ~RelayPairs() {
    pins_.clear();
    for (int64_t id : ids_) RTPex::closeAndDelete(id);
  }
  bool ok() const { return ok_; }
  RTPex* sender(size_t i) const { return pins_[2 * i].get(); }
  RTPex* receiver(size_t i) const { return pins_[2 * i + 1].get(); }
  std::vector<uint32_t>* seq() { return &seq_; }

  // The pairs of size n, opened on first use.
  static RelayPairs* of(size_t n) {
    for (auto& p : kept()) {
      if (p->size_ == n) return p.get();
    }
    kept().emplace_back(new RelayPairs(n));
    return kept().back().get();
  }
  static void closeAll() { kept().clear(); }

 private:
  static std::vector<std::unique_ptr<RelayPairs>>& kept() {
    static std::vector<std::unique_ptr<RelayPairs>> pairs;
    return pairs;
  }

  bool add(int64_t sid) {
    int64_t ids[2] = {ports_.open(2 * sid + 1), ports_.open(2 * sid + 2)};
    for (int64_t id : ids) {
      if (id == 0) return false;
      ids_.push_back(id);
      pins_.push_back(RTPexPin::find(id));
      if (!pins_.back()) return false;
    }
    RTPex* a = pins_[pins_.size() - 2].get();
    RTPex* b = pins_.back().get();
    unsigned char key[SRTPInfo::KEY_LEN];
    a->createCryptoToSend(0, key);
    b->createCryptoToRecv(0, reinterpret_cast<signed char*>(key), sizeof(key));
    return b->cryptoRecv != nullptr;
  }

  size_t size_;
  bench::PortCursor ports_;
  std::vector<int64_t> ids_;
  std::vector<RTPexPin> pins_;
  std::vector<uint32_t> seq_;  // next sequence of each pair, across runs
  bool ok_ = true;
};

void BM_Relay(benchmark::State& state) {
  RelayPairs* pairs = RelayPairs::of(static_cast<size_t>(state.range(0)));
  if (!pairs->ok()) {
    state.SkipWithError("endpoints did not open");
    return;
  }
  unsigned char wire[kBufSize];
  runPairs(state, pairs->seq(), [&](size_t i, unsigned char* buf) {
    int len = 0;
    const signed char* plain = reinterpret_cast<const signed char*>(buf);
    return protectRTPInto(pairs->sender(i), plain, bench::kPacketSize, wire, &len) == 0 &&
           unprotectRTP(pairs->receiver(i), reinterpret_cast<signed char*>(wire), &len);
  });
}
BENCHMARK(BM_Relay)->Arg(1)->Arg(1000)->Arg(2000);

// ---- a flood of new SSRCs ------------------------------------------------------------

// Resident set size in bytes.
double rssBytes() {
  long pages = 0;
  long resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// Protects one packet of a new SSRC with ep's outbound context, as the
// relay does for what arrives from the plain side.
bool protectNewSsrc(RTPex* ep, uint32_t ssrc, bool fromParty = true) {
  unsigned char plain[kBufSize];
  unsigned char wire[kBufSize];
  fill(plain, 1);
  for (int i = 0; i < 4; i++) plain[8 + i] = static_cast<unsigned char>(ssrc >> (24 - 8 * i));
  int len = 0;
  static InetAddrPort stranger;  // another source than the party
  return protectRTPInto(ep, reinterpret_cast<signed char*>(plain), bench::kPacketSize, wire,
                        &len, fromParty ? nullptr : &stranger) == 0;
}

// Bytes of the heap in use.
double heapBytes() {
  struct mallinfo2 m = mallinfo2();
  return static_cast<double>(m.uordblks + m.hblkhd);
}

// The cost of a packet with a new SSRC once the context has met n SSRCs,
// and what all the SSRCs it met added to the heap and the resident set
// (freed memory of earlier rows is reused, so the heap figure is the exact
// one).
void BM_NewSsrc(benchmark::State& state) {
  RTPex ep;
  ep.createCryptoToSend(0);
  uint32_t ssrc = 1;
  double rss = rssBytes();
  double heap = heapBytes();
  const bool fromParty = state.range(1) != 0;
  for (int64_t i = 0; i < state.range(0); i++) protectNewSsrc(&ep, ssrc++, fromParty);
  // Past the context's stream bound a new SSRC is refused: that refusal is
  // the cost measured then.
  int64_t sent = 0;
  for (auto _ : state) {
    if (protectNewSsrc(&ep, ssrc++, fromParty)) sent++;
  }
  state.counters["protected"] = static_cast<double>(sent);
  state.counters["heap_growth_MB"] = (heapBytes() - heap) / 1e6;
  state.counters["rss_growth_MB"] = (rssBytes() - rss) / 1e6;
  state.SetItemsProcessed(state.iterations());
}
// Args: SSRCs met before, and whether they come from the party (1) or from
// any other source (0).
BENCHMARK(BM_NewSsrc)
    ->Args({0, 1})
    ->Args({10000, 1})
    ->Args({100000, 1})
    ->Args({0, 0})
    ->Args({100000, 0})
    ->Iterations(20000);

// One converting pair's protect + unprotect while another context meets a
// new SSRC on every packet, flat out on a second thread (arg 1), or not
// (arg 0); every step timed on its own for the median and the worst.
void BM_PairBesideFlood(benchmark::State& state) {
  RelayPairs* pairs = RelayPairs::of(1);
  if (!pairs->ok()) {
    state.SkipWithError("endpoints did not open");
    return;
  }
  RTPex flooded;
  flooded.createCryptoToSend(0);
  std::atomic<bool> stop(false);
  std::atomic<uint32_t> flood(0);
  std::thread flooder([&] {
    while (state.range(0) != 0 && !stop.load()) protectNewSsrc(&flooded, ++flood);
  });
  std::vector<double> us;
  us.reserve(static_cast<size_t>(state.max_iterations));
  unsigned char wire[kBufSize];
  runPairs(state, pairs->seq(), [&](size_t, unsigned char* buf) {
    auto start = std::chrono::steady_clock::now();
    int len = 0;
    bool ok = protectRTPInto(pairs->sender(0), reinterpret_cast<const signed char*>(buf),
                             bench::kPacketSize, wire, &len) == 0 &&
              unprotectRTP(pairs->receiver(0), reinterpret_cast<signed char*>(wire), &len);
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() -
                                                           start)
                     .count());
    return ok;
  });
  stop = true;
  flooder.join();
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  state.counters["p50_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[us.size() * 99 / 100];
  state.counters["max_us"] = us.back();
  state.counters["flood_ssrcs"] = flood.load();
}
BENCHMARK(BM_PairBesideFlood)->Arg(0)->Arg(1)->Iterations(200000)->UseRealTime();

// The console table, then the relay's conversion step as a share of raw
// libsrtp2 (CPU time per packet) for each number of pairs.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(OutputOptions opts) : ConsoleReporter(opts) {}

  bool ReportContext(const Context& context) override {
    bool ok = ConsoleReporter::ReportContext(context);
    // Debian's libbenchmark is built without NDEBUG and says so; the code
    // measured is compiled by this build, not by that library.
    GetErrorStream() << "note: a \"Library was built as DEBUG\" warning above concerns "
                        "Debian's libbenchmark only; the relay code measured is built as "
                        "this build directory is configured (Release by scripts/bench.sh)\n";
    return ok;
  }
  void ReportRuns(const std::vector<Run>& runs) override {
    // With repetitions the median counts (it comes after the single runs).
    for (const Run& r : runs) {
      bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      if (r.error_occurred || (r.run_type != Run::RT_Iteration && !median)) continue;
      cpuNs_[r.run_name.str()] = r.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const char* pairs : {"1", "1000", "2000"}) {
      double raw = cpuNs_[std::string("BM_Raw/") + pairs];
      double relay = cpuNs_[std::string("BM_Relay/") + pairs];
      if (raw <= 0 || relay <= 0) continue;
      double share = 100.0 * raw / relay;
      std::printf("relay conversion over %s pairs: %.0f%% of raw libsrtp2 (target >= 70%%: %s)\n",
                  pairs, share, share >= 70 ? "met" : "MISSED");
    }
  }

 private:
  std::map<std::string, double> cpuNs_;
};

// A reporter given to RunSpecifiedBenchmarks does not get the choice of
// --benchmark_color: it is made here, "auto" (the default) meaning colour
// only when the output is a terminal.
benchmark::ConsoleReporter::OutputOptions outputOptions(int argc, char** argv) {
  const std::string flag = "--benchmark_color=";
  std::string color = "auto";
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg.compare(0, flag.size(), flag) == 0) color = arg.substr(flag.size());
  }
  bool on = color == "auto" ? isatty(STDOUT_FILENO) != 0
                            : color == "true" || color == "yes" || color == "1" || color == "always";
  return on ? benchmark::ConsoleReporter::OO_ColorTabular : benchmark::ConsoleReporter::OO_Tabular;
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = getenv("TMPDIR");
  std::string dir = std::string(tmp != nullptr ? tmp : "/tmp") + "/srtpbench.XXXXXX";
  if (mkdtemp(&dir[0]) == nullptr) return 1;
  std::string log = dir + "/proxy.log";
  bench::RelayPath::setUpEngine(log);
  {
    bench::EngineWorker worker;
    benchmark::ConsoleReporter::OutputOptions options = outputOptions(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::AddCustomContext("libsrtp2", SRTP_LIBRARY_KIND);
    RatioReporter reporter(options);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    RelayPairs::closeAll();
  }
  unlink(log.c_str());
  rmdir(dir.c_str());
  return 0;
}
