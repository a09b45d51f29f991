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

// Console output as usual, while keeping the best CPU time per run name
// (over repetitions) for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const double ns = run.GetAdjustedCPUTime() /
                        benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
      const std::string key =
          run.run_name.function_name + "/" + run.run_name.args;
      auto [it, inserted] = best_ns_.try_emplace(key, ns);
      if (!inserted) it->second = std::min(it->second, ns);
    }
  }

  void print_ratios() const {
    bool header = false;
    for (int n : {512, 1024, 2048}) {
      const auto ours = best_ns_.find("BM_InverseDct/" + std::to_string(n));
      const auto fftw = best_ns_.find("BM_FftwDct3/" + std::to_string(n));
      if (ours == best_ns_.end() || fftw == best_ns_.end()) continue;
      if (!header) {
        std::printf("\nInverse DCT, ns per transform (CPU time)\n");
        std::printf("%6s %14s %14s %14s\n", "n", "inverse_dct", "FFTW REDFT01",
                    "ours / FFTW");
        header = true;
      }
      std::printf("%6d %14.1f %14.1f %14.2f\n", n, ours->second, fftw->second,
                  ours->second / fftw->second);
    }
    std::fflush(stdout);
  }

 private:
  std::map<std::string, double> best_ns_;
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
