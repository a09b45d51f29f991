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

#include "sdk/orv/vlkdec/transform/dct.h"
#include "sdk/orv/vlkdec/transform/fft.h"
#include "sdk/orv/vlkdec/transform/transform_table.h"

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
  float values[max_floats];
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

BENCHMARK(BM_InverseDct)
    ->Arg(512)
    ->Arg(1024)
    ->Arg(2048)
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
    std::fflush(stdout);
  }

 private:
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
