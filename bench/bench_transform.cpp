// Speed of the inverse transforms, with a reference point: the inverse DCT
// against the single-precision DCT-III of FFTW (REDFT01, planned with
// FFTW_MEASURE, in place) at the decoder's three frame lengths. After the
// runs a table gives our time over FFTW's for each length.
//
// Every iteration restores the input (an 8 KB copy at most, in both programs
// alike) before transforming, since repeated unscaled transforms would
// overflow. Times are per transform, in nanoseconds.
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "dsp/cpu_features.h"
#include "dsp/dsp.h"
#include "transform/dct.h"
#include "transform/fft.h"
#include "transform/transform_table.h"

namespace {

using namespace orv::vlkdec;

constexpr int max_floats = 2048;

// The known-answer vectors' input generator: values in [-1, 1).
std::vector<float> test_input(int n) {
  std::vector<float> values(static_cast<size_t>(n));
  uint32_t x = 1;
  for (float& value : values) {
    x = 1664525u * x + 1013904223u;
    value = static_cast<float>(static_cast<int32_t>(x) >> 8) * 0x1p-23f;
  }
  return values;
}

struct alignas(64) Buffer {
  float values[max_floats + 16];
};

void BM_InverseDct(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<float> input = test_input(n);
  Buffer buffer;
  for (auto _ : state) {
    std::memcpy(buffer.values, input.data(), input.size() * sizeof(float));
    inverse_dct(n, buffer.values, transform_table_length, transform_table);
    benchmark::DoNotOptimize(buffer.values);
    benchmark::ClobberMemory();
  }
}

// One variant of the inverse DCT: the scalar code, the baseline vector
// code (cpu_features() restricted to SSE2) or the AVX2 code. The
// restriction is lifted after the run.
enum class Variant { portable, sse2, avx2 };

void run_inverse_dct_variant(benchmark::State& state, Variant variant) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<float> input = test_input(n);
  Buffer buffer;
  restrict_cpu_features(~0u);
  if (variant == Variant::avx2 && (cpu_features() & cpu_avx2) == 0) {
    state.SkipWithError("no AVX2 on this processor or build");
    return;
  }
  restrict_cpu_features(variant == Variant::sse2 ? uint32_t{cpu_sse2} : ~0u);
  for (auto _ : state) {
    std::memcpy(buffer.values, input.data(), input.size() * sizeof(float));
    if (variant == Variant::portable) {
      inverse_dct_portable(n, buffer.values, transform_table_length,
                           transform_table);
    } else {
      inverse_dct(n, buffer.values, transform_table_length, transform_table);
    }
    benchmark::DoNotOptimize(buffer.values);
    benchmark::ClobberMemory();
  }
  restrict_cpu_features(~0u);
}

void BM_InverseDctPortable(benchmark::State& state) {
  run_inverse_dct_variant(state, Variant::portable);
}
void BM_InverseDctSse2(benchmark::State& state) {
  run_inverse_dct_variant(state, Variant::sse2);
}
void BM_InverseDctAvx2(benchmark::State& state) {
  run_inverse_dct_variant(state, Variant::avx2);
}

// The AVX2 inverse DCT on an array starting range(1) floats past a 64-byte
// boundary: 4 is the 16-byte alignment a caller may give, 1 the least.
void BM_InverseDctAvx2Offset(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int offset = static_cast<int>(state.range(1));
  const std::vector<float> input = test_input(n);
  Buffer buffer;
  float* a = buffer.values + offset;
  restrict_cpu_features(~0u);
  if ((cpu_features() & cpu_avx2) == 0) {
    state.SkipWithError("no AVX2 on this processor or build");
    return;
  }
  for (auto _ : state) {
    std::memcpy(a, input.data(), input.size() * sizeof(float));
    inverse_dct(n, a, transform_table_length, transform_table);
    benchmark::DoNotOptimize(a);
    benchmark::ClobberMemory();
  }
}

void BM_FftwDct3(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<float> input = test_input(n);
  float* buffer =
      static_cast<float*>(fftwf_malloc(sizeof(float) * static_cast<size_t>(n)));
  // Planning with FFTW_MEASURE overwrites the array, so fill it afterwards.
  fftwf_plan plan =
      fftwf_plan_r2r_1d(n, buffer, buffer, FFTW_REDFT01, FFTW_MEASURE);
  if (plan == nullptr) {
    state.SkipWithError("FFTW could not plan the transform");
    fftwf_free(buffer);
    return;
  }
  for (auto _ : state) {
    std::memcpy(buffer, input.data(), input.size() * sizeof(float));
    fftwf_execute(plan);
    benchmark::DoNotOptimize(buffer);
    benchmark::ClobberMemory();
  }
  fftwf_destroy_plan(plan);
  fftwf_free(buffer);
}

void BM_Fft(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<float> input = test_input(n);
  Buffer buffer;
  for (auto _ : state) {
    std::memcpy(buffer.values, input.data(), input.size() * sizeof(float));
    complex_fft_forward(n, buffer.values, twiddle_count,
                        transform_table + twiddle_offset);
    benchmark::DoNotOptimize(buffer.values);
    benchmark::ClobberMemory();
  }
}

// The machine's scalar single-precision rate: twelve independent chains
// of a multiply and an add (no fused multiply-add), each value kept in its
// own register so that nothing is vectorised. Reported as operations per
// nanosecond in the counter `ops_per_ns`.
#if defined(__x86_64__) || defined(__i386__)
#define ORV_FP_REG(x) "+x"(x)
#elif defined(__aarch64__)
#define ORV_FP_REG(x) "+w"(x)
#else
#define ORV_FP_REG(x) "+r"(x)
#endif
constexpr int rate_steps = 1000;
constexpr int rate_chains = 12;

// Not vectorised: the twelve chains stay twelve scalar registers.
__attribute__((optimize("no-tree-vectorize"))) void BM_ScalarRate(
    benchmark::State& state) {
  float x0 = 1.00f, x1 = 1.01f, x2 = 1.02f, x3 = 1.03f, x4 = 1.04f, x5 = 1.05f,
        x6 = 1.06f, x7 = 1.07f, x8 = 1.08f, x9 = 1.09f, x10 = 1.10f,
        x11 = 1.11f;
  float a = 0.9999f;
  float b = 0.0001f;
  benchmark::DoNotOptimize(a);
  benchmark::DoNotOptimize(b);
  for (auto _ : state) {
    for (int i = 0; i < rate_steps; ++i) {
      x0 = x0 * a + b;
      x1 = x1 * a + b;
      x2 = x2 * a + b;
      x3 = x3 * a + b;
      x4 = x4 * a + b;
      x5 = x5 * a + b;
      x6 = x6 * a + b;
      x7 = x7 * a + b;
      x8 = x8 * a + b;
      x9 = x9 * a + b;
      x10 = x10 * a + b;
      x11 = x11 * a + b;
      asm volatile(""
                   : ORV_FP_REG(x0), ORV_FP_REG(x1), ORV_FP_REG(x2),
                     ORV_FP_REG(x3), ORV_FP_REG(x4), ORV_FP_REG(x5),
                     ORV_FP_REG(x6), ORV_FP_REG(x7), ORV_FP_REG(x8),
                     ORV_FP_REG(x9), ORV_FP_REG(x10), ORV_FP_REG(x11));
    }
  }
  const float sum = x0 + x1 + x2 + x3 + x4 + x5 + x6 + x7 + x8 + x9 + x10 + x11;
  benchmark::DoNotOptimize(sum);
  state.counters["ops_per_ns"] =
      benchmark::Counter(2.0 * rate_steps * rate_chains * 1e-9,
                         benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_ScalarRate);

BENCHMARK(BM_InverseDct)
    ->Arg(512)
    ->Arg(1024)
    ->Arg(2048)
    ->Unit(benchmark::kNanosecond);
BENCHMARK(BM_InverseDctPortable)
    ->RangeMultiplier(2)
    ->Range(256, 2048)
    ->Unit(benchmark::kNanosecond);
BENCHMARK(BM_InverseDctSse2)
    ->RangeMultiplier(2)
    ->Range(256, 2048)
    ->Unit(benchmark::kNanosecond);
BENCHMARK(BM_InverseDctAvx2)
    ->RangeMultiplier(2)
    ->Range(256, 2048)
    ->Unit(benchmark::kNanosecond);
BENCHMARK(BM_InverseDctAvx2Offset)
    ->Args({2048, 0})
    ->Args({2048, 4})
    ->Args({2048, 1})
    ->Unit(benchmark::kNanosecond);
BENCHMARK(BM_FftwDct3)
    ->Arg(512)
    ->Arg(1024)
    ->Arg(2048)
    ->Unit(benchmark::kNanosecond);
BENCHMARK(BM_Fft)->RangeMultiplier(2)->Range(64, 2048)->Unit(
    benchmark::kNanosecond);

// Console output as usual, while keeping per benchmark the best CPU time
// over its repetitions (or the median, when only aggregates are reported)
// for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median =
          run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type != Run::RT_Iteration && !median) continue;
      const double ns = run.GetAdjustedCPUTime() /
                        benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
      std::string key = run.run_name.function_name;
      key += '/';
      key += run.run_name.args;
      auto& times = median ? median_ns_ : best_ns_;
      auto [it, inserted] = times.try_emplace(key, ns);
      if (!inserted) it->second = std::min(it->second, ns);
    }
  }

  void print_ratios() const {
    print_variants();
    bool header = false;
    for (int n : {512, 1024, 2048}) {
      const double ours = time_ns("BM_InverseDct", n);
      const double fftw = time_ns("BM_FftwDct3", n);
      if (ours <= 0.0 || fftw <= 0.0) continue;
      if (!header) {
        std::printf("\nInverse DCT, ns per transform (CPU time)\n");
        std::printf("%6s %14s %14s %14s\n", "n", "inverse_dct", "FFTW REDFT01",
                    "ours / FFTW");
        header = true;
      }
      std::printf("%6d %14.1f %14.1f %14.2f\n", n, ours, fftw, ours / fftw);
    }
    // The arithmetic of one inverse DCT of 2048 values: about 48,000
    // single-precision additions and multiplications (a count of the code
    // gives 51,700: 34,800 in the FFT of 1024 points, 16,900 in the three
    // passes around it). At the machine's scalar rate that is the bound a
    // scalar transform cannot beat.
    const double dct = time_ns("BM_InverseDct", 2048);
    const double rate_ns = time_ns_plain("BM_ScalarRate");
    if (dct > 0.0 && rate_ns > 0.0) {
      const double ops_per_ns = 2.0 * rate_steps * rate_chains / rate_ns;
      const double bound = 48000.0 / ops_per_ns;
      std::printf(
          "\ninverse_dct n=2048: %.0f ns; 48,000 operations at the measured "
          "scalar rate of %.2f per ns take %.0f ns; ratio %.2f\n",
          dct, ops_per_ns, bound, dct / bound);
      const double portable = time_ns("BM_InverseDctPortable", 2048);
      if (portable > 0.0) {
        std::printf("inverse_dct_portable n=2048: %.0f ns; ratio %.2f\n",
                    portable, portable / bound);
      }
    }
    std::fflush(stdout);
  }

 private:
  // The variants side by side, with the gain of each vector path over the
  // scalar code.
  void print_variants() const {
    bool header = false;
    for (int n = 256; n <= 2048; n *= 2) {
      const double portable = time_ns("BM_InverseDctPortable", n);
      const double sse2 = time_ns("BM_InverseDctSse2", n);
      const double avx2 = time_ns("BM_InverseDctAvx2", n);
      if (portable <= 0.0) continue;
      if (!header) {
        std::printf("\nInverse DCT variants, ns per transform (CPU time)\n");
        std::printf("%6s %10s %10s %10s %12s %12s %12s\n", "n", "portable",
                    "SSE2", "AVX2", "port./SSE2", "port./AVX2", "SSE2/AVX2");
        header = true;
      }
      std::printf("%6d %10.1f %10.1f %10.1f", n, portable, sse2, avx2);
      for (const double ratio :
           {sse2 > 0.0 ? portable / sse2 : 0.0,
            avx2 > 0.0 ? portable / avx2 : 0.0,
            sse2 > 0.0 && avx2 > 0.0 ? sse2 / avx2 : 0.0}) {
        if (ratio > 0.0) {
          std::printf(" %12.2f", ratio);
        } else {
          std::printf(" %12s", "-");
        }
      }
      std::printf("\n");
    }
  }

  // Best single run if any was reported, else the median aggregate; 0 when
  // the benchmark did not run.
  double time_ns(const char* function, int n) const {
    char key[64];
    std::snprintf(key, sizeof key, "%s/%d", function, n);
    for (const auto* times : {&best_ns_, &median_ns_}) {
      const auto it = times->find(key);
      if (it != times->end()) return it->second;
    }
    return 0.0;
  }

  double time_ns_plain(const char* function) const {
    for (const auto* times : {&best_ns_, &median_ns_}) {
      const auto it = times->find(std::string(function) + "/");
      if (it != times->end()) return it->second;
    }
    return 0.0;
  }

  std::map<std::string, double> best_ns_;
  std::map<std::string, double> median_ns_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  reporter.print_ratios();
  return 0;
}
