#include "core/evidence/beneath_open.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <expected>
#include <filesystem>
#include <string>

#include "tests/unit/temp_dir_test_fixture.h"

namespace certwright {
namespace {

class BeneathOpen : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    write("outside/secret", "1234");
    write("run/a/b/file", "x");
    namespace fs = std::filesystem;
    fs::create_directory_symlink(dir_ + "/outside", dir_ + "/run/linked");
    fs::create_directory_symlink(dir_ + "/run/a", dir_ + "/run/alias");
    fs::create_directory_symlink("/", dir_ + "/run/rootlink");
    fs::create_symlink("/proc/self/root", dir_ + "/run/magic");
    run_fd_ = UniqueFd(::open((dir_ + "/run").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(run_fd_);
  }

  // The inode of what `relative` opened, or the error as errno.
  std::expected<ino_t, int> open(const std::string& relative, BeneathResolver resolver) const {
    const auto fd = open_directory_beneath(run_fd_.get(), relative, resolver);
    if (!fd) return std::unexpected(fd.error().value());
    struct stat status {};
    EXPECT_EQ(::fstat(fd->get(), &status), 0);
    return status.st_ino;
  }

  ino_t inode(const std::string& relative) const {
    struct stat status {};
    EXPECT_EQ(::lstat((dir_ + "/run/" + relative).c_str(), &status), 0) << relative;
    return status.st_ino;
  }

  UniqueFd run_fd_;
};

TEST_F(BeneathOpen, BothResolversStayBeneathAndFollowNoLink) {
  struct Case {
    std::string relative;
    std::expected<std::string, int> expected;  // the directory it opens, or the error
  };
  const Case cases[] = {
      {"a", "a"},
      {"a/b", "a/b"},
      {"a/b/", "a/b"},
      {"./a//b", "a/b"},
      {"/a", "a"},  // leading slashes: still beneath the run directory
      {"a/b/..", "a"},
      {"", "."},
      {".", "."},
      {"linked", std::unexpected(ELOOP)},
      {"alias/b", std::unexpected(ELOOP)},
      {"rootlink/etc", std::unexpected(ELOOP)},
      {"magic", std::unexpected(ELOOP)},
      {"..", std::unexpected(EXDEV)},
      {"a/../../outside", std::unexpected(EXDEV)},
      {"missing", std::unexpected(ENOENT)},
      {"a/b/file", std::unexpected(ENOTDIR)},
  };
  for (const BeneathResolver resolver : {BeneathResolver::kernel, BeneathResolver::by_component}) {
    for (const Case& c : cases) {
      const auto opened = open(c.relative, resolver);
      const std::string what =
          c.relative + (resolver == BeneathResolver::kernel ? " (kernel)" : "");
      if (c.expected) {
        ASSERT_TRUE(opened) << what << ": errno " << opened.error();
        EXPECT_EQ(*opened, inode(*c.expected)) << what;
      } else {
        ASSERT_FALSE(opened) << what;
        EXPECT_EQ(opened.error(), c.expected.error()) << what;
      }
    }
  }
}

}  // namespace
}  // namespace certwright
