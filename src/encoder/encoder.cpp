#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "encoder/block_encoder.h"
#include "encoder/rate_control.h"
#include "encoder/velk_encoder.h"
#include "format/block_frame.h"
#include "format/coding.h"
#include "format/file_header.h"
#include "format/frame.h"
#include "format/seek_table.h"

namespace orv::encoder {

namespace {

constexpr uint64_t u32_max = std::numeric_limits<uint32_t>::max();
// Automatic seek-table stretches aim at this much audio each.
constexpr double seek_stretch_seconds = 0.5;
// Bit-rate mode: block sizes are known this far ahead, and the bits saved
// or overspent are evened out over that stretch.
constexpr double lookahead_seconds = 3.0;

// Stored sizes of stretches of `per_entry` blocks; empty if one does not fit
// 16 bits.
std::vector<uint32_t> stretch_sizes(const std::vector<uint32_t>& block_sizes,
                                    uint32_t per_entry) {
  std::vector<uint32_t> sizes;
  for (size_t i = 0; i < block_sizes.size(); i += per_entry) {
    uint64_t sum = 0;
    const size_t end = std::min(block_sizes.size(), i + per_entry);
    for (size_t b = i; b < end; ++b) sum += block_sizes[b];
    if (sum > vlkdec::max_seek_stretch_bytes) return {};
    sizes.push_back(static_cast<uint32_t>(sum));
  }
  return sizes;
}

}  // namespace

Encoder::Encoder(unsigned channels, unsigned sample_rate,
                 const EncoderOptions& options)
    : channels_(channels), sample_rate_(sample_rate), options_(options) {
  if (channels < 1 || channels > vlkdec::max_channels) {
    throw EncodeError("channel count " + std::to_string(channels) +
                      " is outside 1..8");
  }
  if (sample_rate < 1 || sample_rate > vlkdec::max_sample_rate) {
    throw EncodeError("sample rate " + std::to_string(sample_rate) +
                      " Hz is outside 1..65535");
  }
  if (options.format_version > vlkdec::max_file_version) {
    throw EncodeError("format version must be 0, 1 or 2");
  }
  if (options.quality < quality_min || options.quality > quality_max) {
    throw EncodeError("quality must be from 0 to 100");
  }
  if (!(options.bitrate_kbps >= 0.0) || !std::isfinite(options.bitrate_kbps)) {
    throw EncodeError("bit rate must be a positive number");
  }
  if (options.blocks_per_seek_entry > vlkdec::max_blocks_per_seek_entry) {
    throw EncodeError("blocks per seek entry must be at most 65535");
  }
  if (options.max_payload_bytes > vlkdec::max_block_payload_bytes) {
    throw EncodeError("block payloads are limited to 65535 bytes");
  }
  block_encoder_ = std::make_unique<BlockEncoder>(channels, sample_rate);
  frame_length_ = block_encoder_->frame_length();
  hop_ = vlkdec::hop_for_frame_length(frame_length_);
  window_.reserve(static_cast<size_t>(frame_length_) * channels);
  double cutoff_hz = 0.0;
  if (options.bitrate_kbps > 0.0) {
    const double target = options.bitrate_kbps * 1000.0 * hop_ / sample_rate;
    const double lookahead = std::ceil(lookahead_seconds * sample_rate / hop_);
    rate_ = std::make_unique<RateController>(target,
                                             static_cast<size_t>(lookahead));
    cutoff_hz = cutoff_hz_for_rate(options.bitrate_kbps / channels);
  } else {
    cutoff_hz = cutoff_hz_for_quality(options.quality);
  }
  const double nyquist = sample_rate / 2.0;
  cutoff_ = cutoff_hz >= nyquist || options.quality >= quality_max
                ? frame_length_
                : static_cast<uint32_t>(
                      std::ceil(cutoff_hz / nyquist * frame_length_));
}

Encoder::~Encoder() = default;

void Encoder::write(const int16_t* pcm, size_t frames) {
  if (finished_) throw EncodeError("encoder already finished");
  if (frames_in_ + frames > u32_max) {
    throw EncodeError("input longer than 4294967295 frames");
  }
  const size_t frame_samples = channels_;
  const size_t block_samples = static_cast<size_t>(frame_length_) * channels_;
  while (frames > 0) {
    const size_t room = (block_samples - window_.size()) / frame_samples;
    const size_t take = std::min(room, frames);
    window_.insert(window_.end(), pcm, pcm + take * frame_samples);
    pcm += take * frame_samples;
    frames -= take;
    frames_in_ += take;
    encode_ready_blocks(false);
  }
}

void Encoder::encode_ready_blocks(bool flush) {
  const size_t n = frame_length_;
  std::vector<float> planar(n * channels_);
  while (true) {
    const size_t have = window_.size() / channels_;
    if (have < n && !(flush && frames_encoded_ < frames_in_)) break;
    // Planar copy of the block's input; zeros past the end of the input.
    std::fill(planar.begin(), planar.end(), 0.0f);
    for (size_t i = 0; i < std::min(have, n); ++i) {
      for (unsigned c = 0; c < channels_; ++c) {
        planar[c * n + i] = window_[i * channels_ + c];
      }
    }
    BlockEncoder& be = *block_encoder_;
    auto block = std::make_unique<BlockAnalysis>();
    be.analyse(planar.data(), *block);
    frames_encoded_ += hop_;
    const size_t drop = std::min<size_t>(hop_, have) * channels_;
    window_.erase(window_.begin(), window_.begin() + static_cast<long>(drop));

    QuantSetting setting;
    setting.cutoff = cutoff_;
    if (rate_) {
      // Tabulate the block's size over the offsets, then code the oldest
      // block once the controller sees far enough ahead.
      const auto [first, last] = rate_->tabulation_range();
      std::vector<uint64_t> bits;
      for (size_t i = first; i <= last; ++i) {
        setting.mask_offset_db = rate_grid_offset(i);
        bits.push_back(be.quantise(*block, setting) +
                       8 * vlkdec::block_frame_header_bytes);
      }
      rate_->push(first, bits);
      pending_.push_back(std::move(block));
      if (rate_->full()) {
        setting.mask_offset_db = rate_->next_offset();
        rate_->spent(8 * uint64_t{emit_block(*pending_.front(), setting)},
                     setting.mask_offset_db);
        pending_.pop_front();
      }
    } else {
      if (options_.quality >= quality_max) {
        setting.finest = true;
      } else {
        setting.mask_offset_db = mask_offset_for_quality(options_.quality);
      }
      emit_block(*block, setting);
    }
  }
  // At the end, the blocks still waiting are coded with what is left.
  while (flush && !pending_.empty()) {
    QuantSetting setting;
    setting.cutoff = cutoff_;
    setting.mask_offset_db = rate_->next_offset();
    rate_->spent(8 * uint64_t{emit_block(*pending_.front(), setting)},
                 setting.mask_offset_db);
    pending_.pop_front();
  }
}

uint32_t Encoder::emit_block(const BlockAnalysis& block, QuantSetting setting) {
  BlockEncoder& be = *block_encoder_;
  // Coarsen the whole block until its payload fits the size field: the
  // smallest index offset that fits, by bisection (bits never grow as every
  // step grows).
  const uint64_t limit_bits = uint64_t{options_.max_payload_bytes} * 8;
  const bool coarsened = be.quantise(block, setting) > limit_bits;
  if (coarsened) {
    QuantSetting coarsest = setting;
    coarsest.index_offset = vlkdec::quantiser_count - 1;
    if (be.quantise(block, coarsest) > limit_bits) {
      throw EncodeError("a block does not fit " +
                        std::to_string(options_.max_payload_bytes) +
                        " bytes even at the coarsest quantisers");
    }
    unsigned lo = 0, hi = vlkdec::quantiser_count - 1;  // lo fails, hi fits
    while (hi - lo > 1) {
      setting.index_offset = (lo + hi) / 2;
      (be.quantise(block, setting) > limit_bits ? lo : hi) =
          setting.index_offset;
    }
    setting.index_offset = hi;
    be.quantise(block, setting);
  }
  coarsened_blocks_ += coarsened ? 1 : 0;

  // The frame header goes in front once the payload's size is known.
  const size_t start = blocks_.size();
  blocks_.resize(start + vlkdec::block_frame_header_bytes);
  be.write_payload(blocks_);
  const size_t payload =
      blocks_.size() - start - vlkdec::block_frame_header_bytes;
  vlkdec::write_block_frame(&blocks_[start], static_cast<uint32_t>(payload));
  const uint32_t block_size = static_cast<uint32_t>(blocks_.size() - start);
  block_sizes_.push_back(block_size);
  return block_size;
}

EncodeStats Encoder::finish(const ByteSink& sink) {
  if (finished_) throw EncodeError("encoder already finished");
  encode_ready_blocks(true);
  finished_ = true;

  EncodeStats stats;
  stats.total_frames = frames_in_;
  stats.block_count = static_cast<uint32_t>(block_sizes_.size());
  stats.coarsened_blocks = coarsened_blocks_;
  for (uint32_t s : block_sizes_) {
    stats.max_block_size = std::max(stats.max_block_size, s);
  }

  std::vector<uint32_t> table;
  uint32_t per_entry = 0;
  const size_t blocks = block_sizes_.size();
  if (options_.seek_table && blocks > 0) {
    const uint64_t entry_limit = options_.format_version == 2
                                     ? vlkdec::max_v2_seek_entry_count
                                     : u32_max;
    const uint64_t fewest = (blocks + entry_limit - 1) / entry_limit;
    if (options_.blocks_per_seek_entry != 0) {
      per_entry = options_.blocks_per_seek_entry;
      table = stretch_sizes(block_sizes_, per_entry);
      if (table.empty() || per_entry < fewest) {
        throw EncodeError("blocks per seek entry " + std::to_string(per_entry) +
                          (per_entry < fewest
                               ? " gives more than 65535 entries"
                               : " makes a stretch larger than 65535 bytes"));
      }
    } else {
      // As close to the preferred stretch duration as 16-bit sizes allow.
      const double preferred_d =
          std::round(seek_stretch_seconds * sample_rate_ / hop_);
      uint64_t preferred = std::max<uint64_t>(
          fewest, std::clamp(preferred_d, 1.0,
                             double{vlkdec::max_blocks_per_seek_entry}));
      for (per_entry = static_cast<uint32_t>(preferred);
           per_entry >= fewest && per_entry >= 1; --per_entry) {
        table = stretch_sizes(block_sizes_, per_entry);
        if (!table.empty()) break;
      }
      if (table.empty()) {
        throw EncodeError(
            "input too long for a seek table; encode without one");
      }
    }
  }
  stats.seek_entry_count = static_cast<uint32_t>(table.size());
  stats.blocks_per_seek_entry = per_entry;

  const uint64_t file_size =
      vlkdec::data_start_for(stats.seek_entry_count) + blocks_.size();
  if (file_size > u32_max) {
    throw EncodeError("encoded file would exceed 4294967295 bytes");
  }
  stats.file_size = file_size;

  vlkdec::FileHeader header{};
  header.version = static_cast<uint8_t>(options_.format_version);
  header.channels = static_cast<uint8_t>(channels_);
  header.sample_rate = static_cast<uint16_t>(sample_rate_);
  header.total_samples = static_cast<uint32_t>(frames_in_);
  header.max_block_size = stats.max_block_size;
  header.file_size = static_cast<uint32_t>(file_size);
  header.seek_entry_count = stats.seek_entry_count;
  header.blocks_per_seek_entry = options_.format_version == 2 ? per_entry : 0;
  const auto header_bytes = vlkdec::write_file_header(header);
  sink(header_bytes.data(), header_bytes.size());
  std::vector<uint8_t> table_bytes(vlkdec::seek_entry_bytes * table.size());
  for (size_t i = 0; i < table.size(); ++i) {
    vlkdec::write_seek_entry(table_bytes.data(), i, table[i]);
  }
  if (!table_bytes.empty()) sink(table_bytes.data(), table_bytes.size());
  if (!blocks_.empty()) sink(blocks_.data(), blocks_.size());
  std::vector<uint8_t>().swap(blocks_);
  return stats;
}

std::vector<uint8_t> encode_to_memory(const int16_t* pcm, size_t frames,
                                      unsigned channels, unsigned sample_rate,
                                      const EncoderOptions& options) {
  Encoder encoder(channels, sample_rate, options);
  encoder.write(pcm, frames);
  std::vector<uint8_t> out;
  encoder.finish([&out](const uint8_t* data, size_t size) {
    out.insert(out.end(), data, data + size);
  });
  return out;
}

}  // namespace orv::encoder
