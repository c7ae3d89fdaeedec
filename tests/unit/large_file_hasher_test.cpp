#include "core/evidence/large_file_hasher.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "tests/unit/temp_dir_test_fixture.h"

namespace certwright {
namespace {

class LargeFileHasherTest : public TempDirTest {
 protected:
  UniqueFd open_file(const std::string& path) const {
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  }
};

// Files of several sizes, more than there are threads, each taken once and in any order, give
// the digest hash_open_file gives on this thread; a descriptor that cannot be read gives its
// error. Without two threads allowed the hasher is not available.
TEST_F(LargeFileHasherTest, EachFileGetsItsOwnDigestWhateverTheThreads) {
  std::vector<std::string> paths;
  for (int i = 0; i < 9; ++i)
    paths.push_back(write("f" + std::to_string(i), std::string(i * 300001 + 7, char('a' + i))));
  std::vector<std::byte> buffer(4096);
  std::vector<HashText> expected;
  for (const std::string& path : paths)
    expected.push_back(*hash_open_file(open_file(path).get(), 0, buffer));

  EXPECT_FALSE(LargeFileHasher(0).available());
  EXPECT_FALSE(LargeFileHasher(1).available());
  for (const unsigned threads : {2u, 3u, 8u}) {
    LargeFileHasher hasher(threads);
    ASSERT_TRUE(hasher.available());
    std::vector<LargeFileHasher::Ticket> tickets;
    for (const std::string& path : paths)
      tickets.push_back(hasher.add(open_file(path), 0));
    const auto directory = hasher.add(open_file(dir_), 0);
    for (std::size_t i = paths.size(); i-- > 0;)
      EXPECT_EQ(hasher.take(tickets[i]), expected[i]) << threads << " " << i;
    EXPECT_EQ(hasher.take(directory),
              std::unexpected(std::error_code(EISDIR, std::system_category())));
  }
}

// Files handed over and never taken, being hashed or not yet started, are closed before the
// hasher is gone.
TEST_F(LargeFileHasherTest, DestructionClosesFilesNotTaken) {
  const std::string path = write("big", std::string(3 << 20, 'x'));
  const auto open_descriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  const auto before = open_descriptors();
  {
    LargeFileHasher hasher(2);
    for (int i = 0; i < 6; ++i)
      hasher.add(open_file(path), 0);
  }
  EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
}  // namespace certwright
