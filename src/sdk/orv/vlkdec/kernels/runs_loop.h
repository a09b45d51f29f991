// The reader's hot loop: runs of magnitudes from a 64-bit bit cache, with
// no end checks. Included by the translation units that build it for
// different instruction sets; everything here has internal linkage, so that
// each keeps its own copy of the code, and every function it takes from
// another header has internal linkage too (byte_order.h's load_u64, the
// band tracking), so that the linker cannot merge them across those units.
//
// The loop is written over `Ops`, whose parts a variant may replace:
// Ops::select, Ops::Dequantiser and Ops::width1_by_lowest_bit, with the
// contracts of PortableRunOps, which gives the portable reader.
#ifndef ORV_VLKDEC_KERNELS_RUNS_LOOP_H
#define ORV_VLKDEC_KERNELS_RUNS_LOOP_H

#include <cstdint>
#include <cstring>

#include "format/byte_order.h"
#include "format/coding.h"
#include "kernels/run_bands.h"
#include "kernels/runs.h"

namespace orv::vlkdec {
namespace {

// The unread bits from the low bit of `bits` on, `count` of them counted
// (56..63 after a refill). The bits above the count are the stream's
// following bits or zero, never anything else, so that OR-ing a reload of
// the same bytes over them changes nothing. `p` is the first byte not yet
// counted.
struct RunCache {
  const uint8_t* p;
  uint64_t bits;
  uint32_t count;
};

inline void runs_refill(RunCache& c) {
  c.bits |= load_u64(c.p) << c.count;
  c.p += (63 - c.count) >> 3;
  c.count |= 56;
}

// One run's width: the magnitude's bits, with the sign bit, and its mask.
struct RunWidth {
  uint32_t width;
  uint32_t width_and_sign;
  uint64_t mask;
};

// G coefficients from one refill (G * (width + 1) <= 56, at most the
// counted bits) into out[0..G). Each is stored as the cache's low 32 bits at
// its start: the magnitude in the low `width` bits and, above it, the sign bit
// when the magnitude is not zero; dequantise() makes the coefficient from that.
// The cache moves past the magnitude, and past the sign bit when the magnitude
// is not zero.
template <class Ops, uint32_t G>
inline void parse_group(RunCache& c, float* out, const RunWidth& w) {
  runs_refill(c);
  // Only the counted bits, with a 1 just above them: after the group, the
  // marker's position is the new count, so the group need not count the
  // sign bits it takes.
  const uint64_t marker = uint64_t{1} << c.count;
  uint64_t bits = (c.bits & (marker - 1)) | marker;
#pragma GCC unroll 8
  for (uint32_t i = 0; i < G; ++i) {
    const auto field = static_cast<uint32_t>(bits);
    std::memcpy(out + i, &field, sizeof field);
    bits = Ops::select(bits, w.mask, bits >> w.width_and_sign, bits >> w.width);
  }
  c.count = 63 - static_cast<uint32_t>(__builtin_clzll(bits));
  c.bits = bits ^ uint64_t { 1 } << c.count;
}

// The bits of `bits` that are sign bits, when a coefficient of width 1
// starts at bit 0: each coefficient is a 0, or a 1 followed by its sign.
// Every bit either starts a coefficient or is a sign, and a bit after a 0
// always starts one; so inside each stretch of 1s, with the 0 that ends it,
// the signs are the bits at an odd distance from the stretch's first bit.
// Whether a bit is a sign depends only on the bits below it.
inline uint64_t width1_sign_bits(uint64_t bits) {
  constexpr uint64_t even = 0x5555555555555555u;
  const uint64_t first = bits & ~(bits << 1);
  // Adding a stretch's first bit carries through the stretch and clears
  // it; only the stretches that start at an even bit are added.
  const uint64_t from_even = bits & ~(bits + (first & even));
  const uint64_t from_odd = bits ^ from_even;
  return ((from_even | from_even << 1) & ~even) |
         ((from_odd | from_odd << 1) & even);
}

// Coefficients of width 1 per refill: each takes at most two bits, so the
// first 24 and the bit where the next one starts lie within the 56 counted
// bits after a refill.
constexpr uint32_t width1_step = 24;

// Stores the coefficient that starts at the lowest set bit of `starts` and
// clears that bit: one step of the chain per coefficient.
inline void take_width1(uint64_t bits, uint64_t& starts, float* out) {
  const auto field = static_cast<uint32_t>(bits >> __builtin_ctzll(starts));
  std::memcpy(out, &field, sizeof field);
  starts &= starts - 1;
}

// `count` coefficients of width 1, stored as parse_group stores them. The
// sign bits of a whole cache are found at once, and the coefficients'
// starts are its other bits, taken lowest first, so that a coefficient
// costs one step of the chain (clearing the lowest set bit, a single
// instruction with BMI) instead of a test and a conditional move.
inline void parse_width1(RunCache& c, float* out, uint32_t count) {
  for (uint32_t i = 0; i < count;) {
    runs_refill(c);
    const uint64_t bits = c.bits;
    uint64_t starts = ~width1_sign_bits(bits);
    const uint32_t end = count - i < width1_step ? count : i + width1_step;
    for (; i + 8 <= end; i += 8) {
#pragma GCC unroll 8
      for (uint32_t j = 0; j < 8; ++j) take_width1(bits, starts, out + i + j);
    }
    for (; i < end; ++i) take_width1(bits, starts, out + i);
    const auto taken = static_cast<uint32_t>(__builtin_ctzll(starts));
    c.bits = bits >> taken;
    c.count -= taken;
  }
}

// `count` coefficients of one width, in groups of eight (runs are whole
// eights except where the channel ends), with as few refills per group as
// the width allows.
// Kept inline at both of its uses: a call costs more than the short runs
// it would parse, and the hot use keeps its registers.
template <class Ops>
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline void
parse_run(RunCache& c, float* out, uint32_t count, uint32_t width) {
  if constexpr (Ops::width1_by_lowest_bit) {
    if (width == 1) {
      parse_width1(c, out, count);
      return;
    }
  }
  const RunWidth w{width, width + 1, (uint64_t{1} << width) - 1};
  uint32_t i = 0;
  if (width <= 6) {
    for (; i + 8 <= count; i += 8) parse_group<Ops, 8>(c, out + i, w);
  } else if (width <= 13) {
    for (; i + 8 <= count; i += 8) {
      parse_group<Ops, 4>(c, out + i, w);
      parse_group<Ops, 4>(c, out + i + 4, w);
    }
  } else {
    for (; i + 8 <= count; i += 8) {
      parse_group<Ops, 3>(c, out + i, w);
      parse_group<Ops, 3>(c, out + i + 3, w);
      parse_group<Ops, 2>(c, out + i + 6, w);
    }
  }
  for (; i < count; ++i) parse_group<Ops, 1>(c, out + i, w);
}

// A stored field as its coefficient: the magnitude times the step, with
// the sign applied by flipping the sign bit (the same bits as negation);
// no sign when the magnitude is zero.
inline void dequantise_one(float* at, uint32_t width, float step) {
  uint32_t field = 0;
  std::memcpy(&field, at, sizeof field);
  const uint32_t magnitude = field & ((1u << width) - 1);
  const uint32_t sign = magnitude != 0 ? (field >> width & 1u) << 31 : 0u;
  const float value = static_cast<float>(magnitude) * step;
  uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  bits ^= sign;
  std::memcpy(at, &bits, sizeof bits);
}

// Dequantises runs of fields: the current step, and the current width, set
// apart so that a variant can keep them in the form its run loop needs
// and a run inside one band costs only that loop.
struct ScalarDequantiser {
  float step;
  uint32_t width;

  void set_step(float s) { step = s; }
  void set_width(uint32_t w) { width = w; }

  // The fields of at[0..count), all of the current width and step.
  void run(float* at, uint32_t count) const {
    for (uint32_t i = 0; i < count; ++i) dequantise_one(at + i, width, step);
  }
};

// The portable reader's operations. Runs of width 1 go through parse_group
// like the others: parse_width1 pays only where clearing the lowest set bit
// is a single instruction.
struct PortableRunOps {
  static constexpr bool width1_by_lowest_bit = false;
  // `if_nonzero` when `bits & mask` is not zero, else `if_zero`.
  static uint64_t select(uint64_t bits, uint64_t mask, uint64_t if_nonzero,
                         uint64_t if_zero) {
    return (bits & mask) != 0 ? if_nonzero : if_zero;
  }
  using Dequantiser = ScalarDequantiser;
};

// The first coefficient at which the step may change: the start of the
// band after the current one, or beyond every coefficient.
inline uint32_t next_band_start(const ChannelLayout& ch, const RunState& r) {
  return r.band < ch.band_count ? 2 * ch.band_edges[r.band] : ~0u;
}

// The run length given by a header's first five bits: the flag, then a run
// index when the flag is set.
constexpr uint32_t run_length_bits = run_flag_bits + run_index_bits;
constexpr uint32_t run_index_mask = (1u << run_index_bits) - 1;
constexpr struct HeaderLengths {
  uint16_t length[1u << run_length_bits];
  constexpr HeaderLengths() : length{} {
    for (uint32_t h = 0; h < 1u << run_length_bits; ++h) {
      length[h] = static_cast<uint16_t>(
          (h & 1) != 0
              ? run_length_unit *
                    run_length_table[(h >> run_flag_bits) & run_index_mask]
              : run_length_unit);
    }
  }
} header_lengths;

// Like parse_run, but stops with false as soon as the cache has moved past
// bit `limit` of `base`, checking after every eight coefficients. Until
// then, loads reach at most 32 bytes past that bit: each eight take at most
// 16 bytes, and a refill reads 8 bytes from at most 8 past the position.
template <class Ops>
inline bool parse_run_within(RunCache& c, const uint8_t* base, float* out,
                             uint32_t count, uint32_t width, uint64_t limit) {
  for (uint32_t i = 0; i < count; i += 8) {
    parse_run<Ops>(c, out + i, count - i < 8 ? count - i : 8, width);
    if (static_cast<uint64_t>(c.p - base) * 8 - c.count > limit) return false;
  }
  return true;
}

template <class Ops>
inline void read_runs_unchecked(const ChannelLayout& channel, RunState& state,
                                const uint8_t* base, uint64_t& pos,
                                uint64_t safe, float* scratch) {
  // Local copies, which the compiler can keep in registers: the stores of
  // the coefficients could otherwise alias them.
  const ChannelLayout ch = channel;
  RunState r = state;
  RunCache c{base + (pos >> 3), 0, 0};
  runs_refill(c);
  c.bits >>= pos & 7;
  c.count -= static_cast<uint32_t>(pos & 7);
  uint64_t at = pos;  // the bit position of the cache's first bit
  typename Ops::Dequantiser dq;
  dq.set_step(r.step);
  uint32_t band_end = next_band_start(ch, r);
  while (r.k < ch.n && at + max_run_header_bits <= safe) {
    runs_refill(c);
    // Flag, then a run index when the flag is set, then the width.
    const auto h = static_cast<uint32_t>(c.bits);
    const uint32_t index_bits = run_index_bits * (h & 1);
    const uint32_t width =
        (h >> (run_flag_bits + index_bits)) & ((1u << run_width_bits) - 1);
    const uint32_t header = run_flag_bits + run_width_bits + index_bits;
    const uint32_t run_end = run_end_for(
        r.k, header_lengths.length[h & ((1u << run_length_bits) - 1)], ch.n);
    if (width == 0) {
      c.bits >>= header;
      c.count -= header;
      at += header;
      skip_zeros(ch, r, run_end);
      dq.set_step(r.step);
      band_end = next_band_start(ch, r);
      continue;
    }
    const uint32_t count = run_end - r.k;
    if (at + header + uint64_t{count} * (width + 1) <= safe) {
      c.bits >>= header;
      c.count -= header;
      parse_run<Ops>(c, ch.coeffs + r.k, count, width);
    } else {
      // It may not fit: parsed aside, so that a run that does not leaves
      // the coefficients as they were for the checked reader.
      // The cache is left as it is when it does not: the checked reader
      // goes on from `at`, the run's start.
      if (scratch == nullptr) break;
      c.bits >>= header;
      c.count -= header;
      if (!parse_run_within<Ops>(c, base, scratch, count, width, safe)) break;
      std::memcpy(ch.coeffs + r.k, scratch, count * sizeof(float));
    }
    dq.set_width(width);
    if (run_end <= band_end) {
      // Inside the current band (r.k < run_end <= its end): one step.
      dq.run(ch.coeffs + r.k, run_end - r.k);
      r.k = run_end;
    } else {
      for_each_stretch(ch, r, run_end,
                       [&ch, &dq](uint32_t from, uint32_t end, float step) {
                         dq.set_step(step);
                         dq.run(ch.coeffs + from, end - from);
                         return true;
                       });
      dq.set_step(r.step);
      band_end = next_band_start(ch, r);
    }
    at = static_cast<uint64_t>(c.p - base) * 8 - c.count;
  }
  pos = at;
  state = r;
}

}  // namespace
}  // namespace orv::vlkdec

#endif
