// The coefficient reader against a field-by-field reading of the same
// bitstream through read_bits: on random payloads of every length, cut
// anywhere, and on well-formed channels of every width cut at every byte
// near their end, the coefficients, the result and the reader's state
// afterwards must agree bit for bit, also for a second channel that starts
// where the first stopped, with each variant of the reader the processor
// offers. Payloads sit in exact-size heap buffers, so that the sanitizer
// build catches any read past the end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "decoder/bit_reader.h"
#include "decoder/coefficients.h"
#include "dsp/cpu_features.h"
#include "support/field_reader.h"
#include "support/sub_block_writer.h"

namespace orv::vlkdec {
namespace {

// The bitstream as a plain sequence of fields, one read_bits call each.
bool reference_read(float* coeffs, uint32_t n, uint32_t band_count,
                    BitReader& reader, const uint32_t* band_edges) {
  uint32_t field = 0;
  for (uint32_t i = 0; i < 2 && i < n; ++i) {
    if (!read_bits(reader, 29, field)) return false;
    coeffs[i] = decode_float29(field);
  }
  float steps[25];
  for (uint32_t j = 0; j < band_count; ++j) {
    if (!read_bits(reader, 8, field)) return false;
    steps[j] = quantiser_table[field < 95 ? field : 95];
  }
  float step = 0.0f;
  uint32_t band = 0;
  for (uint32_t k = 2; k < n;) {
    uint32_t flag = 0;
    if (!read_bits(reader, 1, flag)) return false;
    uint32_t length = 8;
    if (flag != 0) {
      uint32_t index = 0;
      if (!read_bits(reader, 4, index)) return false;
      length = 8u * run_length_table[index];
    }
    const uint32_t run_end = n - k < length ? n : k + length;
    uint32_t width = 0;
    if (!read_bits(reader, 4, width)) return false;
    for (; k < run_end; ++k) {
      if (band < band_count && k == 2 * band_edges[band]) step = steps[band++];
      if (width == 0) {
        coeffs[k] = 0.0f;
        continue;
      }
      uint32_t magnitude = 0;
      if (!read_bits(reader, width, magnitude)) return false;
      uint32_t sign = 0;
      if (magnitude != 0 && !read_bits(reader, 1, sign)) return false;
      const float value = static_cast<float>(magnitude) * step;
      coeffs[k] = magnitude == 0 ? 0.0f : sign != 0 ? -value : value;
    }
  }
  return true;
}

// Strictly ascending edges from 1 to n / 2.
std::vector<uint32_t> random_edges(uint32_t n, uint32_t bands,
                                   std::mt19937& rng) {
  std::set<uint32_t> inner;
  while (inner.size() < bands - 1) inner.insert(2 + rng() % (n / 2 - 2));
  std::vector<uint32_t> edges{1};
  edges.insert(edges.end(), inner.begin(), inner.end());
  edges.push_back(n / 2);
  return edges;
}

// Each variant of the reader, as the feature set that selects it.
struct Variant {
  const char* name;
  uint32_t features;
};
constexpr Variant variants[] = {
    {"portable", 0u}, {"sse2", cpu_sse2}, {"bmi2", cpu_bmi2}};

// Lets a test run each variant the processor has; restores the full set.
class VariantScope {
 public:
  explicit VariantScope(const Variant& v)
      : available_((cpu_features() & v.features) == v.features) {
    restrict_cpu_features(v.features);
  }
  ~VariantScope() { restrict_cpu_features(~0u); }
  VariantScope(const VariantScope&) = delete;
  VariantScope& operator=(const VariantScope&) = delete;
  bool available() const { return available_; }

 private:
  bool available_;
};

struct Outcome {
  int successes = 0;
  int failures = 0;
};

// Reads both channels of `payload` with the reader and the reference and
// compares everything; counts the channels that succeed and fail.
void expect_same_as_reference(const std::vector<uint8_t>& payload, uint32_t n,
                              uint32_t bands,
                              const std::vector<uint32_t>& edges,
                              const std::string& what, Outcome& outcome) {
  SCOPED_TRACE(what);
  const uint8_t* begin = payload.data();
  BitReader fast = begin_sub_block(begin, begin + payload.size());
  BitReader reference = fast;
  for (int channel = 0; channel < 2; ++channel) {
    std::vector<float> got(n, 7.0f);
    std::vector<float> want(n, 7.0f);
    const bool ok =
        read_channel_coefficients(got.data(), n, bands, fast, edges.data());
    const bool want_ok =
        reference_read(want.data(), n, bands, reference, edges.data());
    ASSERT_EQ(ok, want_ok) << "channel " << channel;
    for (uint32_t k = 0; k < n; ++k) {
      ASSERT_EQ(std::memcmp(&got[k], &want[k], sizeof(float)), 0)
          << "channel " << channel << " coefficient " << k << ": " << got[k]
          << " != " << want[k];
    }
    ASSERT_EQ(fast.next, reference.next) << "channel " << channel;
    ASSERT_EQ(fast.count, reference.count) << "channel " << channel;
    ASSERT_EQ(fast.buffer, reference.buffer) << "channel " << channel;
    (ok ? outcome.successes : outcome.failures)++;
  }
}

// The same for a whole stream and for it cut at every byte of its last 160,
// so that its runs end in place, in the end copy and field by field.
void expect_same_whole_and_cut(const std::vector<uint8_t>& whole, uint32_t n,
                               uint32_t bands,
                               const std::vector<uint32_t>& edges,
                               const std::string& what, Outcome& outcome) {
  expect_same_as_reference(whole, n, bands, edges, what, outcome);
  if (testing::Test::HasFatalFailure()) return;
  const size_t shortest = whole.size() > 160 ? whole.size() - 160 : 1;
  for (size_t size = shortest; size < whole.size(); ++size) {
    const std::vector<uint8_t> cut(whole.begin(), whole.begin() + size);
    expect_same_as_reference(cut, n, bands, edges,
                             what + " cut to " + std::to_string(size), outcome);
    if (testing::Test::HasFatalFailure()) return;
  }
}

TEST(CoefficientReader, MatchesFieldByFieldReadingOnRandomStreams) {
  for (const Variant& variant : variants) {
    const VariantScope scope(variant);
    if (!scope.available()) continue;
    SCOPED_TRACE(variant.name);
    std::mt19937 rng(20261208);
    Outcome outcome;
    for (int trial = 0; trial < 3000; ++trial) {
      const uint32_t n = 64u << (rng() % 6);  // 64 .. 2048
      const uint32_t bands = 1 + rng() % (n >= 512 ? 25 : 8);
      const auto edges = random_edges(n, bands, rng);
      for (uint32_t b = 0; b < bands; ++b) ASSERT_LT(edges[b], edges[b + 1]);
      // Small widths and long zero runs are common in real streams: bias
      // the random bytes so that both short and long payloads occur.
      const uint32_t size = 1 + rng() % (trial % 3 == 0 ? 64 : 4 * n);
      std::vector<uint8_t> payload(size);
      const uint32_t sparsity = rng() % 4;
      for (auto& byte : payload) {
        byte = static_cast<uint8_t>(rng());
        for (uint32_t i = 0; i < sparsity; ++i)
          byte &= static_cast<uint8_t>(rng());
      }
      expect_same_as_reference(payload, n, bands, edges,
                               "trial " + std::to_string(trial), outcome);
      if (HasFatalFailure()) return;
    }
    // Both outcomes must have been exercised, many times.
    EXPECT_GT(outcome.successes, 500);
    EXPECT_GT(outcome.failures, 500);
  }
}

// A well-formed channel of random runs: short and long (every run index),
// of every width, with zero magnitudes inside runs of values (no sign bit
// follows those) and runs of zeros.
void put_random_channel(test::BitWriter& w, uint32_t n, uint32_t bands,
                        std::mt19937& rng) {
  w.put(rng() & 0x1FFFFFFF, 29);
  w.put(rng() & 0x1FFFFFFF, 29);
  for (uint32_t j = 0; j < bands; ++j) w.put(rng() % 256, 8);
  for (uint32_t k = 2; k < n;) {
    test::RunSpec run;
    run.index = rng() % 3 == 0 ? static_cast<int>(rng() % 16) : -1;
    const uint32_t length =
        run.index < 0 ? 8 : 8u * test::run_lengths_in_eights[run.index];
    run.width = rng() % 16;
    const uint32_t count = n - k < length ? n - k : length;
    if (run.width > 0) {
      const uint32_t limit = (1u << run.width) - 1;
      for (uint32_t i = 0; i < count; ++i) {
        const auto v =
            rng() % 3 == 0 ? 0 : static_cast<int32_t>(1 + rng() % limit);
        run.values.push_back(rng() % 2 ? v : -v);
      }
    }
    test::put_run(w, run);
    k += count;
  }
}

// Well-formed channels, as an encoder writes them and with long runs of
// values too. Both channels are read whole, and then with the payload cut
// at every byte of its last 160, so that the reader changes from reading
// in place to reading a copy of the payload's end, and from there to
// reading field by field, at every kind of field and with every amount of
// payload left.
TEST(CoefficientReader, MatchesFieldByFieldReadingOnWellFormedChannels) {
  for (const Variant& variant : variants) {
    const VariantScope scope(variant);
    if (!scope.available()) continue;
    SCOPED_TRACE(variant.name);
    std::mt19937 rng(77);
    Outcome outcome;
    for (int trial = 0; trial < 60; ++trial) {
      const uint32_t n = trial % 4 == 0 ? 512 : 2048;
      const uint32_t bands = n == 2048 ? 25 : 12;
      const auto edges = random_edges(n, bands, rng);
      test::BitWriter w;
      w.put(0, 2);
      for (int channel = 0; channel < 2; ++channel) {
        if (trial % 2 == 0) {
          put_random_channel(w, n, bands, rng);
          continue;
        }
        std::vector<int32_t> values(n, 0);
        // Stretches of one largest magnitude, some left silent.
        for (uint32_t k = 2; k < n;) {
          const uint32_t stretch = 8 * (1 + rng() % 12);
          const uint32_t width = (trial % 16 == 15) ? 15 : rng() % 16;
          const int32_t limit = width == 0 ? 0 : (1 << width) - 1;
          for (uint32_t i = k; i < k + stretch && i < n; ++i) {
            if (limit == 0 || rng() % 3 == 0) continue;  // zero magnitude
            const auto v = static_cast<int32_t>(1 + rng() % limit);
            values[i] = rng() % 2 ? v : -v;
          }
          k += stretch;
        }
        std::vector<uint32_t> indices(bands);
        for (auto& index : indices) index = rng() % 256;
        test::put_channel(w, rng() & 0x1FFFFFFF, rng() & 0x1FFFFFFF, indices,
                          values);
      }
      expect_same_whole_and_cut(w.bytes(), n, bands, edges,
                                "trial " + std::to_string(trial), outcome);
      if (HasFatalFailure()) return;
    }
    EXPECT_GT(outcome.successes, 120);
    EXPECT_GT(outcome.failures, 5000);
  }
}

// Runs of the small widths, which have parsers of their own, with the
// value patterns that stress them: all zero magnitudes (one bit each), all
// of the largest magnitude with negative signs (long stretches of 1 bits),
// alternating signs, and random values; with runs of every length, so that
// a run spans several cache refills, and a whole channel of one long run.
// Each stream is also cut at every byte of its last 160.
TEST(CoefficientReader, MatchesFieldByFieldReadingOnSmallWidthPatterns) {
  for (const Variant& variant : variants) {
    const VariantScope scope(variant);
    if (!scope.available()) continue;
    SCOPED_TRACE(variant.name);
    std::mt19937 rng(4242);
    Outcome outcome;
    for (int trial = 0; trial < 48; ++trial) {
      const uint32_t n = trial % 3 == 0 ? 1024 : 2048;
      const uint32_t bands = n == 2048 ? 25 : 23;
      const auto edges = random_edges(n, bands, rng);
      test::BitWriter w;
      w.put(0, 2);
      for (int channel = 0; channel < 2; ++channel) {
        w.put(rng() & 0x1FFFFFFF, 29);
        w.put(rng() & 0x1FFFFFFF, 29);
        for (uint32_t j = 0; j < bands; ++j) w.put(rng() % 96, 8);
        for (uint32_t k = 2; k < n;) {
          test::RunSpec run;
          // Every fourth trial: 512-coefficient runs only.
          run.index = trial % 4 == 3   ? 15
                      : rng() % 2 == 0 ? -1
                                       : static_cast<int>(rng() % 16);
          const uint32_t length =
              run.index < 0 ? 8 : 8u * test::run_lengths_in_eights[run.index];
          const uint32_t count = n - k < length ? n - k : length;
          run.width = 1 + rng() % 3;
          const auto largest = static_cast<int32_t>((1u << run.width) - 1);
          const uint32_t pattern = (trial + channel + k) % 5;
          for (uint32_t i = 0; i < count; ++i) {
            int32_t v = 0;
            switch (pattern) {
              case 0:
                v = 0;
                break;
              case 1:
                v = -largest;
                break;
              case 2:
                v = i % 2 ? largest : -largest;
                break;
              case 3:
                v = i % 3 == 0 ? 0 : -1;
                break;
              default: {
                const auto m = static_cast<int32_t>(rng() % (largest + 1));
                v = rng() % 2 ? m : -m;
              }
            }
            run.values.push_back(v);
          }
          test::put_run(w, run);
          k += count;
        }
      }
      expect_same_whole_and_cut(w.bytes(), n, bands, edges,
                                "trial " + std::to_string(trial), outcome);
      if (HasFatalFailure()) return;
    }
    EXPECT_GT(outcome.successes, 90);
    EXPECT_GT(outcome.failures, 4000);
  }
}

}  // namespace
}  // namespace orv::vlkdec
