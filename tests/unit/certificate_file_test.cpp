#include "core/seal/certificate_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/record/certificate_encoding.h"

namespace certwright {
namespace {

namespace fs = std::filesystem;

class CertificateFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("certificate_file_test." + std::to_string(::getpid()) + "." +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  static std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }
  std::vector<std::string> names_in(const fs::path& directory) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
      names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path root_;
  GovernanceCertificate certificate_{.certificate_version = "1.5.0", .pipeline_run_id = "r-1"};
};

TEST(TemporaryPath, SitsBesideTheTargetWithPidAndDotPrefix) {
  struct Case {
    std::string target;
    std::string temporary;
  };
  const Case cases[] = {
      {"run/governance-certificate.json", "run/.governance-certificate.json.77.tmp"},
      {"cert.json", ".cert.json.77.tmp"},
      {"/cert.json", "/.cert.json.77.tmp"},
      {"a/b/", "a/.b.77.tmp"},
      {"a/..", "a/.governance-certificate.json.77.tmp"},
      {"a/bad\xFF.json", "a/.bad\xEF\xBF\xBD.json.77.tmp"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(temporary_path_for(c.target, 77), c.temporary);
}

TEST_F(CertificateFileTest, WritesThePrettyEncodingAndCreatesParents) {
  const fs::path target = root_ / "x" / "y" / "cert.json";
  ASSERT_TRUE(write_certificate(certificate_, target.string()));
  EXPECT_EQ(read(target), encode_pretty(certificate_));
  EXPECT_EQ(names_in(target.parent_path()), std::vector<std::string>{"cert.json"});
}

TEST_F(CertificateFileTest, ReplacesAnExistingFile) {
  const fs::path target = root_ / "cert.json";
  std::ofstream(target) << "old";
  ASSERT_TRUE(write_certificate(certificate_, target.string()));
  EXPECT_EQ(read(target), encode_pretty(certificate_));
}

TEST_F(CertificateFileTest, AnEntryPlantedAtTheTemporaryPathIsReplacedNeverWrittenThrough) {
  const fs::path target = root_ / "cert.json";
  const fs::path victim = root_ / "victim";
  const fs::path planted = temporary_path_for(target.string(), ::getpid());
  using Plant = void (*)(const fs::path& victim, const fs::path& at);
  const Plant plants[] = {
      [](const fs::path& victim, const fs::path& at) { fs::create_symlink(victim, at); },
      [](const fs::path& victim, const fs::path& at) { fs::create_hard_link(victim, at); },
  };
  for (const Plant plant : plants) {
    std::ofstream(victim) << "untouched";
    plant(victim, planted);
    const auto written = write_certificate(certificate_, target.string());
    ASSERT_TRUE(written) << written.error().message();
    EXPECT_EQ(read(victim), "untouched");
    EXPECT_EQ(read(target), encode_pretty(certificate_));
    EXPECT_EQ(names_in(root_), (std::vector<std::string>{"cert.json", "victim"}));
  }
}

TEST_F(CertificateFileTest, ATargetThatIsNotARegularFileIsRefusedBeforeWriting) {
  std::ofstream(root_ / "file") << "kept";
  fs::create_directory(root_ / "directory");
  fs::create_symlink(root_ / "file", root_ / "link");
  fs::create_symlink(root_ / "nowhere", root_ / "dangling");
  ASSERT_EQ(::mkfifo((root_ / "fifo").c_str(), 0600), 0);
  struct Case {
    std::string target;
    std::string error;
  };
  const Case cases[] = {
      {"link", "not a regular file"},     {"dangling", "not a regular file"},
      {"fifo", "not a regular file"},     {"directory", "Is a directory"},
      {"directory/..", "Is a directory"}, {"file/", "Not a directory"},
  };
  for (const auto& c : cases) {
    const auto written = write_certificate(certificate_, (root_ / c.target).string());
    ASSERT_FALSE(written) << c.target;
    EXPECT_EQ(written.error().message(), c.error) << c.target;
  }
  EXPECT_EQ(read(root_ / "file"), "kept");
  EXPECT_EQ(fs::read_symlink(root_ / "link"), root_ / "file");
  EXPECT_TRUE(fs::is_fifo(fs::symlink_status(root_ / "fifo")));
  EXPECT_EQ(names_in(root_),
            (std::vector<std::string>{"dangling", "directory", "fifo", "file", "link"}));
  EXPECT_TRUE(fs::is_empty(root_ / "directory"));
}

TEST_F(CertificateFileTest, FailedRenameRemovesTheTemporaryFile) {
  const fs::path target = root_ / "taken";
  fs::create_directories(target / "inside");
  ASSERT_FALSE(write_certificate(certificate_, target.string()));
  EXPECT_EQ(names_in(root_), std::vector<std::string>{"taken"});
}

TEST_F(CertificateFileTest, ParentBlockedByAFileFailsBeforeWriting) {
  std::ofstream(root_ / "file") << "x";
  ASSERT_FALSE(write_certificate(certificate_, (root_ / "file" / "cert.json").string()));
  EXPECT_EQ(names_in(root_), std::vector<std::string>{"file"});
}

}  // namespace
}  // namespace certwright
