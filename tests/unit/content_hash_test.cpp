#include "core/base/content_hash.h"

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

class ContentHash : public TempDirTest {};

TEST(HashBytes, MatchesKnownDigests) {
  EXPECT_EQ(hash_bytes(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hash_bytes("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hash_bytes(std::string("a\0b", 3)),
            "59b271ae1bbcb1d31d41929817f4b16fb439eb4f31520b5ad1d5ce98920a7138");
}

// Sizes around the read buffer, where a chunking mistake would show.
TEST_F(ContentHash, FileHashEqualsHashOfItsBytes) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, kReadBufferSize,
                                 kReadBufferSize + 1, 3 * kReadBufferSize + 4321}) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
      content[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    const auto hash = hash_file(write("f" + std::to_string(size), content));
    ASSERT_TRUE(hash.has_value()) << size << ": " << hash.error().message();
    EXPECT_EQ(*hash, hash_bytes(content)) << size;
  }
  EXPECT_EQ(hash_file(write("empty", "")).value(),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

// When a file counts as read whole: the read that would only confirm the end is saved once the
// bytes read reach the measured size, and never where the file may have more.
TEST(ReadEndsFile, SavesOnlyTheReadThatConfirmsTheEnd) {
  struct Case {
    const char* label;
    std::size_t got, total, size;
    bool ends;
  };
  const Case cases[] = {
      {"nothing read", 0, 10, 10, true},
      {"short read to the size", 10, 10, 10, true},
      {"full read to the size", 64, 64, 64, true},
      {"later read to the size", 64, 128, 128, true},
      {"short read below the size", 10, 10, 20, false},
      {"more than measured", 30, 30, 20, false},
      {"measured empty", 5, 5, 0, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(read_ends_file(c.got, c.total, c.size), c.ends) << c.label;
}

TEST_F(ContentHash, RefusesWhatIsNotARegularFileWithoutBlocking) {
  expect_refuses_non_regular_files([](const std::string& path) { return hash_file(path); });
}

}  // namespace
}  // namespace certwright
