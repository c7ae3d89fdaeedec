// A test fixture that gives each test a fresh directory, removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace certwright {

class TempDirTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "certwright_test.XXXXXX");
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Writes `content` to `relative` under the directory, creating parents; returns the path.
  std::string write(const std::string& relative, const std::string& content) const {
    const std::filesystem::path file = std::filesystem::path(dir_) / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
    return file.string();
  }

  // Expects `read` to refuse a FIFO, a directory and a missing path with the system's texts,
  // without blocking on the FIFO.
  template <class Read>
  void expect_refuses_non_regular_files(Read read) const {
    const std::string fifo = dir_ + "/pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    struct Case {
      std::string path;
      std::string error;
    };
    const Case cases[] = {
        {fifo, "not a regular file"},
        {dir_, "Is a directory"},
        {dir_ + "/missing", "No such file or directory"},
    };
    ::alarm(30);  // a blocking open or read fails the test instead of hanging it
    for (const auto& c : cases) {
      const auto result = read(c.path);
      ASSERT_FALSE(result.has_value()) << c.path;
      EXPECT_EQ(result.error().message(), c.error) << c.path;
    }
    ::alarm(0);
  }

  std::string dir_;
};

}  // namespace certwright
