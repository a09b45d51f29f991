// Streams are independent of each other: eight threads decoding at once,
// each stream on its own thread, give the same bits as one thread. Built in
// the tsan preset, ThreadSanitizer also checks that nothing shared (the
// transform table, the last-error text, any lazily set state) is written
// while the streams run.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "plugin_api.h"
#include "support/fake_host.h"
#include "support/test_data.h"

namespace orv::test {
namespace {

constexpr int thread_count = 8;

// The known-answer files (different channel counts, rates, header versions
// and damage), one per thread.
const char* file_name(int thread) {
  return known_answer_names[static_cast<size_t>(thread) %
                            std::size(known_answer_names)];
}

struct Job {
  std::vector<uint8_t> file;
  std::vector<uint32_t> requests;
  uint32_t max_read = 0;
};

std::vector<uint8_t> decode(const Job& job) {
  FakeHost host(job.file);
  host.max_read = job.max_read;
  host.full_reads = open_reads(job.file);
  return decode_all(host, job.requests);
}

// Runs every job on its own thread, all released at the same moment, and
// returns their outputs.
std::vector<std::vector<uint8_t>> decode_concurrently(
    const std::vector<Job>& jobs) {
  std::vector<std::vector<uint8_t>> outputs(jobs.size());
  std::latch start(static_cast<std::ptrdiff_t>(jobs.size()));
  std::vector<std::thread> threads;
  for (size_t i = 0; i < jobs.size(); ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      outputs[i] = decode(jobs[i]);
    });
  }
  for (auto& thread : threads) thread.join();
  return outputs;
}

std::vector<uint8_t> load(const std::string& name, const char* extension) {
  return read_file(data_path("vectors/files/" + name + extension));
}

TEST(Concurrency, EightFilesOnEightThreadsGiveTheBitsOfOneThread) {
  std::vector<Job> jobs;
  for (int i = 0; i < thread_count; ++i) {
    Job job;
    job.file = load(file_name(i), ".VELKA");
    ASSERT_FALSE(job.file.empty()) << file_name(i);
    // Different request and read sizes per thread, so that the threads'
    // calls interleave differently.
    job.requests = {static_cast<uint32_t>(4096 + 1000 * i), 3,
                    static_cast<uint32_t>(777 * (i + 1))};
    job.max_read = i % 2 == 0 ? 0 : static_cast<uint32_t>(500 + 300 * i);
    jobs.push_back(std::move(job));
  }
  std::vector<std::vector<uint8_t>> one_thread;
  for (const Job& job : jobs) one_thread.push_back(decode(job));

  const auto eight_threads = decode_concurrently(jobs);
  for (int i = 0; i < thread_count; ++i) {
    EXPECT_FALSE(one_thread[i].empty()) << file_name(i);
    EXPECT_TRUE(eight_threads[i] == one_thread[i]) << file_name(i);
    // And both are the known answer.
    EXPECT_TRUE(one_thread[i] == load(file_name(i), ".pcm")) << file_name(i);
  }
}

TEST(Concurrency, OneFileOnEightThreadsGivesTheSameBitsEverywhere) {
  Job job;
  job.file = load("ch6-16000", ".VELKA");
  ASSERT_FALSE(job.file.empty());
  job.requests = {4099};
  const std::vector<uint8_t> expected = load("ch6-16000", ".pcm");
  const auto outputs = decode_concurrently(std::vector<Job>(thread_count, job));
  for (const auto& output : outputs) EXPECT_TRUE(output == expected);
}

// Failed opens write the process-wide last-error text; concurrent ones
// must not race on it, nor with threads that read it or decode meanwhile.
TEST(Concurrency, RefusedOpensOnSeveralThreadsReportOutOfMemory) {
  const std::vector<uint8_t> file = load("ch2-48000", ".VELKA");
  ASSERT_FALSE(file.empty());
  const std::vector<uint8_t> expected = load("ch2-48000", ".pcm");
  std::latch start(thread_count);
  std::vector<std::thread> threads;
  std::array<bool, thread_count> ok{};
  for (int i = 0; i < thread_count; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      FakeHost host(file);
      if (i % 2 == 0) {
        host.refuse_allocation = true;
        for (int k = 0; k < 200; ++k) {
          if (host.open() != nullptr) return;
          const char* text = ORV_error();
          if (text == nullptr || std::strcmp(text, "Out of memory") != 0) {
            return;
          }
        }
        ok[i] = host.frees.empty();
      } else {
        ok[i] = decode_all(host, {8192}) == expected;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < thread_count; ++i) EXPECT_TRUE(ok[i]) << "thread " << i;
  ORV_startup();
  EXPECT_EQ(ORV_error(), nullptr);
}

}  // namespace
}  // namespace orv::test
