#include "core/base/file_read.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/unit/temp_dir_test_fixture.h"

namespace certwright {
namespace {

namespace fs = std::filesystem;

class FileRead : public TempDirTest {};

TEST_F(FileRead, ReadsEveryByteFollowingLinks) {
  std::string large(200'000, '\0');
  for (std::size_t i = 0; i < large.size(); ++i)
    large[i] = static_cast<char>(i % 253);
  struct Case {
    std::string path;
    std::string content;
  };
  const Case cases[] = {
      {write("empty", ""), ""},
      {write("nul", std::string("a\0b\n", 4)), std::string("a\0b\n", 4)},
      {write("large", large), large},
  };
  for (const auto& c : cases)
    EXPECT_EQ(read_whole_file(c.path, large.size()).value(), c.content) << c.path;
  fs::create_symlink("nul", dir_ + "/link");
  EXPECT_EQ(read_whole_file(dir_ + "/link", 4).value(), std::string("a\0b\n", 4));
}

// Files in /proc report a size of zero yet have content: the size is only a hint, and the
// read goes on, growing its buffer, until the end.
TEST_F(FileRead, ReadsPastAStaleSize) {
  const auto content = read_whole_file("/proc/self/smaps", 64 * 1024 * 1024);
  ASSERT_TRUE(content.has_value()) << content.error().message();
  EXPECT_GT(content->size(), 64u * 1024);
  EXPECT_TRUE(content->ends_with("\n"));
}

// Past the cap nothing more is read, whether the file says so by its size (a sparse terabyte is
// refused at once, never allocated) or only by its content (a kernel file reports size 0).
TEST_F(FileRead, RefusesMoreThanTheCap) {
  const std::string sparse = write("sparse", "");
  ASSERT_EQ(::truncate(sparse.c_str(), off_t{1} << 40), 0);
  struct Case {
    std::string path;
    std::size_t cap;
  };
  const Case cases[] = {
      {write("over", "12345"), 4},
      {write("empty-over", "x"), 0},
      {sparse, 4096},
      {"/proc/self/smaps", 1000},
  };
  for (const auto& c : cases) {
    const auto content = read_whole_file(c.path, c.cap);
    ASSERT_FALSE(content.has_value()) << c.path;
    EXPECT_EQ(content.error().message(), "File too large") << c.path;
  }
  EXPECT_EQ(read_whole_file(dir_ + "/over", 5).value(), "12345");
  EXPECT_EQ(read_whole_file(dir_ + "/empty-over", 1).value(), "x");
}

TEST_F(FileRead, RefusesWhatIsNotARegularFileWithoutBlocking) {
  expect_refuses_non_regular_files(
      [](const std::string& path) { return read_whole_file(path, 16); });
}

}  // namespace
}  // namespace certwright
