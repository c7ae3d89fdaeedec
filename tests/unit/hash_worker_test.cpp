#include "core/evidence/hash_worker.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "core/base/usable_cpus.h"

namespace certwright {
namespace {

std::string text_of(const HashText& hash) {
  return std::string(hash.data(), hash.size());
}

// A reader's use of the worker: files cut into runs of varying size, each run read into one of
// a few buffers in turn and a buffer written again only once its last run is finished, many
// more runs than the worker's queue holds, and files given up half-way (discard) between
// others. Every digest must be that of the file's own bytes, in order: a run hashed into the
// wrong file, after its buffer was overwritten, or a discarded file's bytes leaking into the
// next would each change one.
TEST(HashWorker, HashesFilesRunByRunInOrder) {
  constexpr std::size_t kBuffers = 3;
  constexpr std::size_t kBufferSize = 1000;
  std::array<std::array<std::byte, kBufferSize>, kBuffers> buffers{};
  std::array<HashWorker::Ticket, kBuffers> last_use{};
  std::size_t next = 0;

  const std::size_t kFiles = 700;
  std::vector<std::string> contents(kFiles);
  std::vector<HashText> digests(kFiles);
  std::vector<HashWorker::Ticket> tickets(kFiles);
  std::vector<bool> given_up(kFiles);
  HashWorker worker;
  for (std::size_t file = 0; file < kFiles; ++file) {
    const std::size_t size = (file * 389) % 2600;  // 0 to 2599 bytes: up to three runs
    for (std::size_t i = 0; i < size; ++i)
      contents[file] += static_cast<char>((file * 13 + i * 7) & 0xFF);
    given_up[file] = file % 10 == 9 && size > kBufferSize;
    std::size_t offset = 0;
    for (;;) {
      const std::size_t which = next++ % kBuffers;
      worker.wait(last_use[which]);
      const std::size_t run = std::min(kBufferSize, size - offset);
      for (std::size_t i = 0; i < run; ++i)
        buffers[which][i] = static_cast<std::byte>(contents[file][offset + i]);
      offset += run;
      const bool last = offset == size;
      if (given_up[file] && offset > kBufferSize) {
        last_use[which] = worker.discard();
        tickets[file] = last_use[which];
        break;
      }
      last_use[which] = worker.add(buffers[which].data(), run, last ? &digests[file] : nullptr);
      if (last) {
        tickets[file] = last_use[which];
        break;
      }
    }
  }
  for (std::size_t file = 0; file < kFiles; ++file) {
    worker.wait(tickets[file]);
    EXPECT_TRUE(worker.finished(tickets[file]));
    if (given_up[file]) continue;
    EXPECT_EQ(text_of(digests[file]), hash_bytes(contents[file])) << file;
  }
}

// A worker destroyed with runs still queued hashes them first: the reader's buffers outlive it,
// and a result it was asked for is written, never lost or written after the owner is gone.
TEST(HashWorker, FinishesWhatWasHandedOverBeforeItStops) {
  HashText digest{};
  {
    const std::vector<std::byte> bytes(1 << 20, std::byte{7});
    HashWorker worker;
    for (int i = 0; i < 31; ++i)
      worker.add(bytes.data(), bytes.size(), nullptr);
    worker.add(bytes.data(), bytes.size(), &digest);
  }
  EXPECT_EQ(text_of(digest), hash_bytes(std::string(32 << 20, '\7')));
}

// With the affinity mask cut to one CPU (as under `taskset -c 0`) no worker thread is started.
TEST(HashWorkerThread, StartsOnlyWithTwoOrMoreUsableCpus) {
  cpu_set_t all;
  ASSERT_EQ(::sched_getaffinity(0, sizeof all, &all), 0);
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &all)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
  const bool threaded_on_one = HashWorker().threaded();
  ASSERT_EQ(::sched_setaffinity(0, sizeof all, &all), 0);
  EXPECT_FALSE(threaded_on_one);
  EXPECT_EQ(HashWorker().threaded(), thread_count() >= 2);
}

}  // namespace
}  // namespace certwright
