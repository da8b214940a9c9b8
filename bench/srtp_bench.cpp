// Raw libsrtp2 on one core: protect and unprotect of 172-byte RTP packets,
// the reference for the relay's SRTP conversion.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "loadgen.h"

namespace {

struct Sessions {
  Sessions() {
    srtp_init();
    unsigned char key[30];
    for (int i = 0; i < 30; i++) key[i] = static_cast<unsigned char>(i * 7 + 1);
    out = bench::makeSrtp(key, true);
    in = bench::makeSrtp(key, false);
  }
  ~Sessions() {
    if (out != nullptr) srtp_dealloc(out);
    if (in != nullptr) srtp_dealloc(in);
  }
  srtp_t out;
  srtp_t in;
};

void fill(unsigned char* buf, uint32_t seq) {
  std::memset(buf, 0, bench::kPacketSize);
  buf[0] = 0x80;
  buf[2] = static_cast<unsigned char>(seq >> 8);
  buf[3] = static_cast<unsigned char>(seq);
  buf[11] = 1;
}

void BM_Protect(benchmark::State& state) {
  Sessions s;
  unsigned char buf[bench::kPacketSize + SRTP_MAX_TRAILER_LEN];
  uint32_t seq = 0;
  for (auto _ : state) {
    fill(buf, seq++);
    int len = bench::kPacketSize;
    if (srtp_protect(s.out, buf, &len) != srtp_err_status_ok) state.SkipWithError("protect");
    benchmark::DoNotOptimize(buf);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Protect);

void BM_ProtectUnprotect(benchmark::State& state) {
  Sessions s;
  unsigned char buf[bench::kPacketSize + SRTP_MAX_TRAILER_LEN];
  uint32_t seq = 0;
  for (auto _ : state) {
    fill(buf, seq++);
    int len = bench::kPacketSize;
    if (srtp_protect(s.out, buf, &len) != srtp_err_status_ok ||
        srtp_unprotect(s.in, buf, &len) != srtp_err_status_ok) {
      state.SkipWithError("protect/unprotect");
    }
    benchmark::DoNotOptimize(buf);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProtectUnprotect);

// The same with many other sessions alive in the process, as in a relay with
// many converting calls.
void BM_ProtectUnprotectAmong(benchmark::State& state) {
  std::vector<std::unique_ptr<Sessions>> others;
  for (int64_t i = 0; i < state.range(0); i++) others.emplace_back(new Sessions());
  BM_ProtectUnprotect(state);
}
BENCHMARK(BM_ProtectUnprotectAmong)->Arg(100)->Arg(1000)->Arg(2000);

}  // namespace

BENCHMARK_MAIN();
