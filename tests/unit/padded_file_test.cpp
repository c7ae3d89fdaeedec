#include "core/base/padded_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/unit/temp_dir_test_fixture.h"

namespace certwright {
namespace {

namespace fs = std::filesystem;

class PaddedFile : public TempDirTest {};

std::string read_with_streams(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A kernel file reports size 0 but has content: the buffer sized from the file's size must grow.
TEST_F(PaddedFile, ReadsEveryByteWhateverTheReportedSize) {
  std::string large(300'000, '\0');
  for (std::size_t i = 0; i < large.size(); ++i)
    large[i] = static_cast<char>(i % 251);
  const std::string link = dir_ + "/link";
  ASSERT_EQ(::symlink(write("large", large).c_str(), link.c_str()), 0);
  for (const std::string& path :
       {write("empty", ""), write("small", "{}\n"), link, std::string("/proc/crypto")}) {
    const auto content = read_padded_file(path, large.size());
    ASSERT_TRUE(content.has_value()) << path << ": " << content.error().message();
    EXPECT_EQ(std::string(content->data(), content->size()), read_with_streams(path)) << path;
  }
}

TEST_F(PaddedFile, RefusesMoreThanTheCap) {
  const std::string sparse = write("sparse", "");
  ASSERT_EQ(::truncate(sparse.c_str(), off_t{1} << 40), 0);
  for (const std::string& path : {write("over", "12345"), sparse, std::string("/proc/crypto")}) {
    const auto content = read_padded_file(path, 4);
    ASSERT_FALSE(content.has_value()) << path;
    EXPECT_EQ(content.error().message(), "File too large") << path;
  }
  const auto exact = read_padded_file(dir_ + "/over", 5);
  ASSERT_TRUE(exact.has_value());
  EXPECT_EQ(std::string(exact->data(), exact->size()), "12345");
}

TEST_F(PaddedFile, RefusesWhatIsNotARegularFileWithoutBlocking) {
  expect_refuses_non_regular_files(
      [](const std::string& path) { return read_padded_file(path, 16); });
}

}  // namespace
}  // namespace certwright
