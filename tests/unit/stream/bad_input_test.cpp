// Damaged and hostile files: every call returns, nothing is touched outside
// the stream's block (the fake host's guards and the sanitizer build check
// that), and intact blocks after damage are found again.
#include <gtest/gtest.h>

#include "encoder/velk_encoder.h"
#include "plugin_api.h"
#include "stream_files.h"

namespace orv::test {
namespace {

struct Case {
  std::vector<uint8_t> file;
  std::vector<uint8_t> pcm;  // the intact file's output
  std::vector<size_t> blocks;
  size_t block_bytes;  // output bytes of one block
};

Case make_case(uint32_t channels, uint32_t rate, size_t blocks) {
  Case c;
  const uint32_t hop = vlkdec::frame_length_for_rate(rate) * 15 / 16;
  const auto pcm = test_music(channels, rate, blocks * hop - 50, 3);
  c.file =
      encoder::encode_to_memory(pcm.data(), blocks * hop - 50, channels, rate);
  FakeHost host(c.file);
  c.pcm = decode_all(host, {4096});
  c.blocks = block_offsets(c.file);
  c.block_bytes = size_t{hop} * channels * 2;
  return c;
}

bool is_prefix(const std::vector<uint8_t>& part,
               const std::vector<uint8_t>& whole) {
  return part.size() <= whole.size() &&
         std::equal(part.begin(), part.end(), whole.begin());
}

std::vector<uint8_t> no_sync_garbage(size_t count, uint32_t seed) {
  std::vector<uint8_t> out(count);
  for (auto& b : out) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(seed >> 24);
    if (b == 0x99) b = 0x98;
  }
  return out;
}

std::vector<uint8_t> insert(std::vector<uint8_t> file, size_t at,
                            const std::vector<uint8_t>& bytes) {
  file.insert(file.begin() + static_cast<ptrdiff_t>(at), bytes.begin(),
              bytes.end());
  return file;
}

TEST(BadInput, TruncatedFilesDecodeAPrefix) {
  for (const Case& c : {make_case(2, 22050, 6), make_case(5, 16000, 5)}) {
    for (size_t cut = 0; cut <= c.file.size(); cut += (cut < 80 ? 1 : 13)) {
      FakeHost host(
          {c.file.begin(), c.file.begin() + static_cast<ptrdiff_t>(cut)});
      ORV_Stream* handle = host.open();
      if (handle == nullptr) {
        EXPECT_LT(cut, c.blocks.front()) << cut;
        continue;
      }
      const auto out = drain(handle, host, {4096});
      ORV_stream_close(handle);
      EXPECT_TRUE(host.faults.empty());
      ASSERT_TRUE(is_prefix(out, c.pcm)) << "cut at " << cut;
      // Every block wholly inside the cut is decoded.
      size_t whole = 0;
      for (size_t i = 0; i < c.blocks.size(); ++i) {
        const size_t end =
            i + 1 < c.blocks.size() ? c.blocks[i + 1] : c.file.size();
        if (end <= cut) ++whole;
      }
      EXPECT_EQ(out.size(), whole * c.block_bytes) << "cut at " << cut;
    }
  }
}

TEST(BadInput, GarbageBeforeBetweenAndAfterBlocks) {
  const Case c = make_case(2, 44100, 8);
  const size_t B = c.block_bytes;
  for (size_t length : {1u, 3u, 40u, 5000u, 9000u}) {
    const auto junk = no_sync_garbage(length, static_cast<uint32_t>(length));
    // Before the first block: nothing is lost.
    {
      FakeHost host(insert(c.file, c.blocks[0], junk));
      EXPECT_EQ(decode_all(host, {4096}), c.pcm) << length;
    }
    // Between blocks 3 and 4: block 3 is not trusted, 4 on are found again
    // (block 4 crossfaded with block 2's tail).
    {
      FakeHost host(insert(c.file, c.blocks[4], junk));
      const auto out = decode_all(host, {4096});
      ASSERT_EQ(out.size(), c.pcm.size() - B) << length;
      EXPECT_TRUE(std::equal(out.begin(), out.begin() + 3 * B, c.pcm.begin()));
      EXPECT_TRUE(
          std::equal(out.begin() + 4 * B, out.end(), c.pcm.begin() + 5 * B))
          << length;
    }
    // Before the last block: the block before the junk goes, and the last
    // block, which ends exactly where the input ends, is found again by
    // the search however the host splits its reads.
    for (uint32_t max_read : {0u, 1u, 7u, 4096u}) {
      FakeHost host(insert(c.file, c.blocks.back(), junk));
      host.max_read = max_read;
      host.full_reads = open_reads(c.file);
      const auto out = decode_all(host, {4096});
      ASSERT_EQ(out.size(), c.pcm.size() - B) << length << " " << max_read;
      const size_t kept = (c.blocks.size() - 2) * B;
      EXPECT_TRUE(std::equal(out.begin(), out.begin() + kept, c.pcm.begin()));
    }
    // After the last block: it has no successor sync and goes.
    {
      FakeHost host(insert(c.file, c.file.size(), junk));
      const auto out = decode_all(host, {4096});
      EXPECT_EQ(out.size(), c.pcm.size() - B) << length;
      EXPECT_TRUE(is_prefix(out, c.pcm));
    }
    // With one-byte reads the same comes out.
    {
      FakeHost host(insert(c.file, c.blocks[4], junk));
      host.max_read = 1;
      host.full_reads = open_reads(c.file);
      FakeHost whole_reads(insert(c.file, c.blocks[4], junk));
      EXPECT_EQ(decode_all(host, {4096}), decode_all(whole_reads, {4096}));
    }
  }
}

TEST(BadInput, SyncWordsAnnouncingImpossibleSizes) {
  const Case c = make_case(2, 44100, 6);
  // Frame headers with sizes above max_block_size, between blocks 2 and 3;
  // the last announces a block one byte too large, and block 3 starts
  // where it would end.
  const uint32_t bound = c.file[12] | c.file[13] << 8 | c.file[14] << 16;
  std::vector<uint8_t> junk;
  for (uint32_t size : {65535u, 60000u, 9000u, bound - 3}) {
    put_u16(junk, vlkdec::block_sync);
    put_u16(junk, size);
  }
  append(junk, no_sync_garbage(bound - 3, 7));
  // Block 2 passes on the sync word after it; the headers are refused and
  // passed over, and block 3 is found again: nothing is lost.
  FakeHost host(insert(c.file, c.blocks[3], junk));
  EXPECT_EQ(decode_all(host, {4096}), c.pcm);
}

TEST(BadInput, FlippedBytesInFrameHeadersAndPayloads) {
  const Case c = make_case(3, 22050, 4);
  std::vector<size_t> positions;
  for (size_t block : c.blocks) {
    for (size_t i = 0; i < 6; ++i) positions.push_back(block + i);
  }
  for (size_t at = c.blocks[0] + 9; at < c.file.size(); at += 41) {
    positions.push_back(at);
  }
  for (size_t at : positions) {
    for (uint8_t mask : {0xFFu, 0x01u, 0x80u}) {
      auto file = c.file;
      file[at] ^= mask;
      FakeHost host(file);
      const auto out = decode_all(host, {4096});
      // A damaged size field can at most turn one block into silence or
      // garbage of its own length; the count never exceeds the blocks.
      EXPECT_LE(out.size(), c.pcm.size() + c.block_bytes) << at;
      EXPECT_EQ(out.size() % c.block_bytes, 0u) << at;
    }
  }
}

TEST(BadInput, MaxBlockSizeTooSmallOrZero) {
  const Case c = make_case(2, 32000, 5);
  const uint32_t real = c.file[12] | c.file[13] << 8 | c.file[14] << 16;
  for (uint32_t bound :
       {0u, 1u, 3u, 4u, 7u, 8u, 100u, real / 2, real - 1, real}) {
    auto file = c.file;
    file[12] = static_cast<uint8_t>(bound);
    file[13] = static_cast<uint8_t>(bound >> 8);
    file[14] = static_cast<uint8_t>(bound >> 16);
    file[15] = static_cast<uint8_t>(bound >> 24);
    for (uint32_t read : {0u, 1u}) {
      FakeHost host(file);
      host.max_read = read;
      host.full_reads = open_reads(file);
      const auto out = decode_all(host, {4096});
      // Only blocks within the bound are decoded.
      if (bound == real) {
        EXPECT_EQ(out, c.pcm);
      } else {
        EXPECT_LT(out.size(), c.pcm.size()) << bound;
      }
    }
  }
}

}  // namespace
}  // namespace orv::test
