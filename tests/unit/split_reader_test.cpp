#include "core/evidence/split_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "core/base/unique_fd.h"
#include "tests/unit/temp_dir_test_fixture.h"

namespace certwright {
namespace {

// Every result a reader gives for `names`, with its index, as text.
std::vector<std::string> results_of(ArtifactReader& reader, const std::string& directory,
                                    const std::vector<std::string>& names) {
  std::vector<const char*> raw;
  for (const std::string& name : names)
    raw.push_back(name.c_str());
  const UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::vector<std::string> results;
  reader.hash_files(dir.get(), raw, [&](std::size_t index, const ArtifactHash& hash) {
    results.push_back(std::to_string(index) + " " +
                      (hash ? std::string(hash->data(), hash->size()) : hash.error().message()));
  });
  return results;
}

// A request of many files, with sizes at the engines' thresholds, large files, a FIFO, a
// directory and missing names spread over its blocks, gives from readers on 2, 3 and 8 threads
// (more than this machine may have CPUs) exactly what one reader gives, in request order; the
// readers, kept between requests, answer a second request the same.
TEST_F(TempDirTest, SplitRequestsGiveWhatOneReaderGives) {
  std::vector<std::string> names;
  for (unsigned i = 0; i < 2600; ++i) {
    std::string name = "f" + std::to_string(i);
    if (i % 401 == 3) {
      ASSERT_EQ(::mkfifo((dir_ + "/" + name).c_str(), 0644), 0);
    } else if (i % 499 == 5) {
      write(name + "/inner", "x");
    } else if (i % 307 != 7) {  // else missing
      const std::size_t size = i % 97 == 0   ? 1024 * 1024 + i % 3 - 1
                               : i % 13 == 0 ? 64 * 1024 + i % 3 - 1
                                             : i % 50 * 41;
      write(name, std::string(size, static_cast<char>('a' + i % 26)));
    }
    names.push_back(name);
  }
  for (const IoEngine engine : {IoEngine::classic, IoEngine::uring}) {
    const auto one = ArtifactReader::create(engine, ReaderShare{});
    const std::vector<std::string> expected = results_of(*one, dir_, names);
    ASSERT_EQ(expected.size(), names.size());
    for (const unsigned threads : {2u, 3u, 8u}) {
      const auto split = split_reader(engine, threads);
      EXPECT_EQ(results_of(*split, dir_, names), expected) << threads;
      EXPECT_EQ(results_of(*split, dir_, names), expected) << threads << ", again";
    }
  }
}

}  // namespace
}  // namespace certwright
