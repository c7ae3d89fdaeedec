// A test fixture that gives each test a fresh directory, removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

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

  std::string dir_;
};

}  // namespace certwright
