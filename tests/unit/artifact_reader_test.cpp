#include "core/evidence/artifact_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "core/base/unique_fd.h"
#include "tests/unit/temp_dir_test_fixture.h"

namespace certwright {
namespace {

namespace fs = std::filesystem;

std::string patterned(std::size_t size, unsigned seed) {
  std::string content(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    content[i] = static_cast<char>((i * 31 + seed + i / 4093) & 0xFF);
  return content;
}

struct Outcome {
  std::size_t index;
  std::string result;  // the hash, or "error: " and the error's text
};

// Every engine, on this kernel: where io_uring is refused both runs test the classic loop.
class ArtifactReaderTest : public TempDirTest, public testing::WithParamInterface<IoEngine> {
 protected:
  std::vector<Outcome> hash_all(const std::vector<std::string>& names) {
    return hash_all(dir_, names);
  }
  std::vector<Outcome> hash_all(const std::string& directory,
                                const std::vector<std::string>& names) {
    const auto reader = ArtifactReader::create(GetParam());
    if (reader->engine() != GetParam())
      std::cerr << "io_uring refused here: the classic engine ran\n";
    std::vector<const char*> raw;
    for (const auto& name : names)
      raw.push_back(name.c_str());
    const UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<Outcome> outcomes;
    ::alarm(30);  // a blocking open or read fails the test instead of hanging it
    reader->hash_files(dir.get(), raw, [&](std::size_t index, const ArtifactHash& hash) {
      outcomes.push_back({index, hash ? std::string(hash->data(), hash->size())
                                      : "error: " + hash.error().message()});
    });
    ::alarm(0);
    return outcomes;
  }
};

// Each kind of entry a stage can hold by the time it is opened, whatever the listing said: a
// FIFO or socket swapped in after the listing is refused, never read as an empty file.
TEST_P(ArtifactReaderTest, HashesRegularFilesAndRefusesEverythingElse) {
  const std::string large = patterned(3 * 1024 * 1024 + 5, 1);  // several reads
  const std::string exact = patterned(1024 * 1024, 2);          // a whole number of reads
  write("large", large);
  write("exact", exact);
  write("empty", "");
  write("small", "abc");
  write("sub/inner", "x");
  ASSERT_EQ(::mkfifo((dir_ + "/pipe").c_str(), 0644), 0);
  fs::create_symlink("small", dir_ + "/link");
  const UniqueFd socket_fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address{.sun_family = AF_UNIX};
  const std::string socket_path = dir_ + "/socket";
  ASSERT_LT(socket_path.size(), sizeof(address.sun_path));
  socket_path.copy(address.sun_path, socket_path.size());
  ASSERT_EQ(::bind(socket_fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)),
            0);

  const std::vector<Outcome> outcomes =
      hash_all({"large", "pipe", "empty", "link", "sub", "missing", "socket", "exact", "small"});
  const std::vector<std::string> expected = {
      hash_bytes(large),
      "error: not a regular file",
      hash_bytes(""),
      "error: Too many levels of symbolic links",
      "error: not a regular file",
      "error: No such file or directory",
      "error: No such device or address",  // a socket cannot be opened
      hash_bytes(exact),
      hash_bytes("abc"),
  };
  ASSERT_EQ(outcomes.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(outcomes[i].index, i);
    EXPECT_EQ(outcomes[i].result, expected[i]) << i;
  }
}

// More files than are ever in flight, sizes mixed so that completions come back out of order:
// results still leave in request order, and the reader serves a second request the same.
TEST_P(ArtifactReaderTest, AnswersInRequestOrderBeyondTheFilesInFlight) {
  std::vector<std::string> names;
  std::vector<std::string> contents;
  for (unsigned i = 0; i < 200; ++i) {
    names.push_back("f" + std::to_string(i));
    // Every seventh file needs several reads; every eleventh sits at a read-size boundary.
    const std::size_t size = i % 7 == 0    ? 300 * 1024 + i
                             : i % 11 == 0 ? (i % 2 == 0 ? 4 : 64) * 1024 + i % 3 - 1
                                           : i * 37;
    contents.push_back(patterned(size, i));
    write(names.back(), contents.back());
  }
  names.insert(names.begin() + 50, "missing");
  contents.insert(contents.begin() + 50, "");
  for (int round = 0; round < 2; ++round) {
    const std::vector<Outcome> outcomes = hash_all(names);
    ASSERT_EQ(outcomes.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
      EXPECT_EQ(outcomes[i].index, i);
      EXPECT_EQ(outcomes[i].result,
                i == 50 ? "error: No such file or directory" : hash_bytes(contents[i]))
          << names[i];
    }
  }
}

// Files whose reads do not match their measured size: /proc's measure empty and give their text.
// Such a small file's read went with its close, so the rest of it is out of reach: it must be
// opened again, never read through the closed descriptor, whose number a later open of the batch
// has taken by then (which would hash another file's bytes, or fail with EBADF).
TEST_P(ArtifactReaderTest, OpensAgainAFileThatReadsPastItsMeasuredSize) {
  std::vector<std::string> names;
  std::vector<std::string> contents;
  for (int round = 0; round < 40; ++round) {
    for (const char* name : {"cmdline", "comm", "environ", "auxv"}) {
      std::ifstream in(std::string("/proc/self/") + name, std::ios::binary);
      names.emplace_back(name);
      contents.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  ASSERT_FALSE(contents[0].empty());
  const std::vector<Outcome> outcomes = hash_all("/proc/self", names);
  ASSERT_EQ(outcomes.size(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i)
    EXPECT_EQ(outcomes[i].result, hash_bytes(contents[i])) << i << " " << names[i];
}

INSTANTIATE_TEST_SUITE_P(Engines, ArtifactReaderTest,
                         testing::Values(IoEngine::classic, IoEngine::uring),
                         [](const testing::TestParamInfo<IoEngine>& info) {
                           return info.param == IoEngine::classic ? "classic" : "uring";
                         });

TEST(IoEngineChoice, FollowsTheEnvironmentAndNeverFails) {
  struct Case {
    const char* value;
    std::optional<IoEngine> expected;
  };
  const char* const outer = std::getenv("CERTWRIGHT_IO");
  const std::string saved = outer ? outer : "";
  const Case cases[] = {
      {nullptr, std::nullopt},    {"classic", IoEngine::classic},
      {"uring", IoEngine::uring}, {"URING", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    if (c.value)
      ::setenv("CERTWRIGHT_IO", c.value, 1);
    else
      ::unsetenv("CERTWRIGHT_IO");
    EXPECT_EQ(io_engine_from_environment(), c.expected) << (c.value ? c.value : "unset");
  }
  ::setenv("CERTWRIGHT_IO", "classic", 1);
  EXPECT_EQ(ArtifactReader::create()->engine(), IoEngine::classic);
  EXPECT_EQ(ArtifactReader::create(IoEngine::classic)->engine(), IoEngine::classic);
  if (outer)
    ::setenv("CERTWRIGHT_IO", saved.c_str(), 1);
  else
    ::unsetenv("CERTWRIGHT_IO");
}

}  // namespace
}  // namespace certwright
