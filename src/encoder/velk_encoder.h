// Encoder for Velk audio files: interleaved 16-bit PCM in, a complete file
// (header, seek table, framed blocks) out.
//
// Block k carries the transform of input frames k*h .. k*h + n - 1, where n
// is the frame length for the sample rate and h = n - n/16. A decoder
// delivers h frames per block and crossfades the first n/16 of them with the
// previous block's last n/16, which cover the same input frames; so the
// stream decodes to ceil(total / h) * h frames, the input followed by
// decoded zero padding.
#ifndef ORV_ENCODER_VELK_ENCODER_H
#define ORV_ENCODER_VELK_ENCODER_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

// Marks the library's API: the one set of symbols the shared library
// exports (everything else is built hidden).
#if defined(__GNUC__)
#define VELK_ENCODER_API __attribute__((visibility("default")))
#else
#define VELK_ENCODER_API
#endif

namespace orv::encoder {

// Quality scale. 0 is the coarsest setting, 100 the finest quantisers the
// format can carry (every magnitude just fits its 15 bits).
constexpr int quality_min = 0;
constexpr int quality_max = 100;
constexpr int default_quality = 50;

struct EncoderOptions {
  // Used when bitrate_kbps is 0.
  int quality = default_quality;
  // Average bit rate to aim at, in kilobits per second; 0 = use quality.
  double bitrate_kbps = 0.0;
  // Header version, 0 to 2.
  unsigned format_version = 2;
  // false: the file has no seek table (seek_entry_count 0).
  bool seek_table = true;
  // Blocks per seek-table stretch; 0 = chosen by the encoder (about half a
  // second per stretch, fewer blocks where a stretch would not fit 16 bits).
  unsigned blocks_per_seek_entry = 0;
  // Largest payload of one block in bytes (at most 65535, the size field's
  // range). A block over it has its quantisers coarsened until it fits.
  uint32_t max_payload_bytes = 65535;
};

// What an encode produced.
struct EncodeStats {
  uint64_t total_frames = 0;
  uint32_t block_count = 0;
  uint32_t max_block_size = 0;  // bytes of the largest block, frame header in
  uint64_t file_size = 0;
  uint32_t seek_entry_count = 0;
  uint32_t blocks_per_seek_entry = 0;  // stretch length used for the table
  // Blocks whose quantisers were coarsened below the requested quality so
  // that their payload fits max_payload_bytes.
  uint32_t coarsened_blocks = 0;
};

// Thrown for arguments the format cannot hold (channels, rate, version,
// options) and for inputs too long for the header's 32-bit fields.
class VELK_ENCODER_API EncodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Receives the file's bytes in order.
using ByteSink = std::function<void(const uint8_t* data, size_t size)>;

class BlockEncoder;
class RateController;
struct BlockAnalysis;
struct QuantSetting;

// Streaming encoder. PCM goes in with write() in chunks of any size; only
// one frame of input per channel is buffered. Compressed blocks are kept
// until finish(), because the header and seek table in front of them depend
// on every block.
class VELK_ENCODER_API Encoder {
 public:
  // channels 1..8, sample_rate 1..65535; throws EncodeError otherwise or
  // for invalid options.
  Encoder(unsigned channels, unsigned sample_rate,
          const EncoderOptions& options = {});
  ~Encoder();
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  // Appends `frames` interleaved frames (frames * channels samples).
  void write(const int16_t* pcm, size_t frames);
  // Encodes the rest, writes the whole file to `sink` and returns the
  // figures. The encoder is spent afterwards.
  EncodeStats finish(const ByteSink& sink);

  // Frames passed to write() so far.
  uint64_t frames_written() const { return frames_in_; }

 private:
  void encode_ready_blocks(bool flush);
  // Codes one analysed block at `setting` (coarsened if it does not fit)
  // and appends it; returns its size in bytes, frame header included.
  uint32_t emit_block(const BlockAnalysis& block, QuantSetting setting);

  unsigned channels_;
  unsigned sample_rate_;
  EncoderOptions options_;
  std::unique_ptr<BlockEncoder> block_encoder_;
  uint32_t frame_length_;
  uint32_t hop_;
  std::vector<int16_t> window_;  // interleaved frames from the next block on
  uint64_t frames_in_ = 0;
  uint64_t frames_encoded_ = 0;  // frames covered by delivered block output
  std::vector<uint8_t> blocks_;  // framed blocks, back to back
  std::vector<uint32_t> block_sizes_;
  uint32_t coarsened_blocks_ = 0;
  uint32_t cutoff_ = 0;  // first coefficient left out
  // Bit-rate mode: the controller and the analysed blocks it looks at.
  std::unique_ptr<RateController> rate_;
  std::deque<std::unique_ptr<BlockAnalysis>> pending_;
  bool finished_ = false;
};

// Encodes `frames` interleaved frames in one go and returns the file.
VELK_ENCODER_API std::vector<uint8_t> encode_to_memory(
    const int16_t* pcm, size_t frames, unsigned channels, unsigned sample_rate,
    const EncoderOptions& options = {});

}  // namespace orv::encoder

#endif
