#include "core/evidence/split_reader.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "core/base/ordered_parallel.h"

namespace certwright {
namespace {

// Files of a block. A block's results wait in memory until their turn (four blocks per thread at
// most, 36 KiB each), and each block ends with its reader's ring drained.
constexpr std::size_t kBlockFiles = 512;

// Descriptors a reader of a split should have to itself at least, its ring's among them: under
// a tighter limit the readers would only take descriptors from each other, and a request one
// reader gets through could fail for want of them. The usual soft limit of 1,024 allows 32
// readers.
constexpr std::uint64_t kDescriptorsPerReader = 32;

// The readers a request is split between: one per thread, as many as the descriptor limit allows.
unsigned readers_for(unsigned threads) {
  return static_cast<unsigned>(
      std::min<std::uint64_t>(threads, open_file_limit() / kDescriptorsPerReader));
}

class SplitReader final : public ArtifactReader {
 public:
  SplitReader(IoEngine wanted, unsigned threads)
      : wanted_(wanted),
        readers_(readers_for(threads)),
        whole_(ArtifactReader::create(wanted, ReaderShare{.threads = threads})) {}

  IoEngine engine() const override { return whole_->engine(); }

  void hash_files(std::span<const int> dir_fds, std::span<const char* const> names,
                  const ArtifactSink& done) override {
    if (names.size() < 2 * kBlockFiles || readers_ < 2)
      return whole_->hash_files(dir_fds, names, done);
    const std::size_t blocks = (names.size() + kBlockFiles - 1) / kBlockFiles;
    for_each_in_order(
        blocks, readers_,
        [&](std::size_t block) { return read_block(dir_fds, names, block * kBlockFiles); },
        [&](std::size_t block, const std::vector<ArtifactHash>& results) {
          for (std::size_t i = 0; i < results.size(); ++i)
            done(block * kBlockFiles + i, results[i]);
        });
  }

 private:
  // The results of the block of `names` that starts at `first`, read by an idle reader.
  std::vector<ArtifactHash> read_block(std::span<const int> dir_fds,
                                       std::span<const char* const> names, std::size_t first) {
    const std::size_t count = std::min(kBlockFiles, names.size() - first);
    const auto block = names.subspan(first, count);
    std::vector<ArtifactHash> results;
    results.reserve(block.size());
    std::unique_ptr<ArtifactReader> reader = borrow();
    reader->hash_files(dir_fds.subspan(first, count), block,
                       [&](std::size_t, const ArtifactHash& result) { results.push_back(result); });
    give_back(std::move(reader));  // not when it threw: a reader left half-way is not reused
    return results;
  }

  // A reader no thread uses, kept from an earlier block or stage; at most one per thread exists.
  std::unique_ptr<ArtifactReader> borrow() {
    {
      const std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        auto reader = std::move(idle_.back());
        idle_.pop_back();
        return reader;
      }
    }
    return ArtifactReader::create(wanted_, ReaderShare{.threads = 1, .readers = readers_});
  }
  void give_back(std::unique_ptr<ArtifactReader> reader) {
    const std::lock_guard lock(mutex_);
    idle_.push_back(std::move(reader));
  }

  IoEngine wanted_;
  unsigned readers_;
  std::unique_ptr<ArtifactReader> whole_;  // for a request too small to split
  std::mutex mutex_;
  std::vector<std::unique_ptr<ArtifactReader>> idle_;
};

}  // namespace

std::unique_ptr<ArtifactReader> split_reader(IoEngine wanted, unsigned threads) {
  return std::make_unique<SplitReader>(wanted, threads);
}

}  // namespace certwright
