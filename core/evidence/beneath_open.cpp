#include "core/evidence/beneath_open.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core/base/error.h"

namespace certwright {
namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC;

std::error_code error_of(int code) {
  return std::error_code(code, std::system_category());
}

std::string_view without_leading_slashes(std::string_view path) {
  while (path.starts_with('/'))
    path.remove_prefix(1);
  return path;
}

// The kernel's resolution; ENOSYS when the kernel (or a seccomp profile) has no openat2.
std::expected<UniqueFd, std::error_code> open_by_kernel(int base_fd, const std::string& path) {
  open_how how{};
  how.flags = kDirectoryFlags;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const char* name = path.empty() ? "." : path.c_str();
  for (;;) {
    const long fd = ::syscall(SYS_openat2, base_fd, name, &how, sizeof how);
    if (fd >= 0) return UniqueFd(static_cast<int>(fd));
    if (errno == EINTR || errno == EAGAIN) continue;
    return std::unexpected(last_system_error());
  }
}

// The same rules, one component at a time: each opened without following a link, ".." taken
// as a step back along the descriptors already opened, so it can never climb above `base_fd`.
std::expected<UniqueFd, std::error_code> open_by_component(int base_fd, std::string_view path) {
  std::vector<UniqueFd> opened;
  const auto current = [&] { return opened.empty() ? base_fd : opened.back().get(); };
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string component(path.substr(0, slash));
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (opened.empty()) return std::unexpected(error_of(EXDEV));
      opened.pop_back();
      continue;
    }
    UniqueFd next(::openat(current(), component.c_str(), kDirectoryFlags | O_NOFOLLOW));
    if (!next) {
      // With O_DIRECTORY a link may fail as "not a directory": say what it is.
      const std::error_code error = last_system_error();
      struct stat status {};
      const bool link =
          ::fstatat(current(), component.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(status.st_mode);
      return std::unexpected(link ? error_of(ELOOP) : error);
    }
    opened.push_back(std::move(next));
  }
  if (!opened.empty()) return std::move(opened.back());
  UniqueFd self(::openat(base_fd, ".", kDirectoryFlags));
  if (!self) return std::unexpected(last_system_error());
  return self;
}

}  // namespace

std::expected<UniqueFd, std::error_code> open_directory_beneath(int base_fd,
                                                                std::string_view relative,
                                                                BeneathResolver resolver) {
  const std::string_view path = without_leading_slashes(relative);
  if (resolver != BeneathResolver::by_component) {
    auto opened = open_by_kernel(base_fd, std::string(path));
    const bool unsupported =
        !opened && (opened.error().value() == ENOSYS || opened.error().value() == EPERM);
    if (!unsupported || resolver == BeneathResolver::kernel) return opened;
  }
  return open_by_component(base_fd, path);
}

}  // namespace certwright
