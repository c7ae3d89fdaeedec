#include "core/seal/certificate_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string_view>

#include "core/base/error.h"
#include "core/base/text.h"
#include "core/base/unique_fd.h"
#include "core/record/certificate_encoding.h"

namespace certwright {
namespace {

constexpr std::string_view kDefaultFileName = "governance-certificate.json";

std::string_view without_trailing_slashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/')
    path.remove_suffix(1);
  return path;
}

// The directory part of `target` ("" when it has none; "/" for a file in the root).
std::string_view parent_of(std::string_view target) {
  const std::string_view path = without_trailing_slashes(target);
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  if (slash == 0) return path.substr(0, 1);
  return without_trailing_slashes(path.substr(0, slash));
}

// The final name of `target`; none for a root or a path that ends in "." or "..".
std::string_view file_name_of(std::string_view target) {
  const std::string_view path = without_trailing_slashes(target);
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "/" || name == "." || name == "..") return {};
  return name;
}

std::string temporary_name(std::string_view target, long pid) {
  std::string_view name = file_name_of(target);
  if (name.empty()) name = kDefaultFileName;
  // Appended piece by piece: GCC 12 at -O3 misreads chained `+` here as overlapping copies.
  std::string temporary(".");
  temporary.append(lossy_utf8(name)).append(".").append(std::to_string(pid)).append(".tmp");
  return temporary;
}

std::unexpected<std::error_code> failure(std::errc code) {
  return std::unexpected(std::make_error_code(code));
}

// Refuses a target that exists and is not a regular file, before anything is written: renaming
// over a link, FIFO or device would replace it, and a directory cannot be replaced by a file.
std::expected<void, std::error_code> check_target(int directory, std::string_view target,
                                                  const std::string& name) {
  struct stat status {};
  const bool exists = ::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT) return std::unexpected(last_system_error());
  if (exists && S_ISDIR(status.st_mode)) return failure(std::errc::is_a_directory);
  if (target.ends_with('/')) return failure(std::errc::not_a_directory);
  if (exists && !S_ISREG(status.st_mode)) {
    return std::unexpected(make_error_code(FileError::not_regular_file));
  }
  return {};
}

std::expected<void, std::error_code> write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return std::unexpected(last_system_error());
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

// Creates `name` afresh in `directory` (a stale entry of that name is removed first, never
// opened), writes `bytes`, flushes them to stable storage and closes the file.
std::expected<void, std::error_code> write_new_file(int directory, const std::string& name,
                                                    std::string_view bytes) {
  if (::unlinkat(directory, name.c_str(), 0) != 0 && errno != ENOENT) {
    return std::unexpected(last_system_error());
  }
  UniqueFd fd(::openat(directory, name.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!fd) return std::unexpected(last_system_error());
  if (auto written = write_all(fd.get(), bytes); !written) return written;
  if (::fsync(fd.get()) != 0) return std::unexpected(last_system_error());
  if (::close(fd.release()) != 0) return std::unexpected(last_system_error());
  return {};
}

// Flushes the directory's entries (the rename) to stable storage. The directory is reopened
// for reading through its path descriptor, which a directory without read permission refuses.
std::error_code sync_directory(int directory) {
  const UniqueFd readable(::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!readable || ::fsync(readable.get()) != 0) return last_system_error();
  return {};
}

}  // namespace

std::string temporary_path_for(const std::string& target, long pid) {
  const std::string_view parent = parent_of(target);
  std::string name = temporary_name(target, pid);
  return parent.empty() ? name : join_path(parent, name);
}

std::expected<WrittenCertificate, std::error_code> write_file_atomically(const std::string& target,
                                                                         std::string_view bytes) {
  const std::string name(file_name_of(target));
  if (name.empty())
    return failure(target.empty() ? std::errc::no_such_file_or_directory
                                  : std::errc::is_a_directory);
  const std::string parent(parent_of(target));
  if (!parent.empty()) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(parent), error);
    if (error) return std::unexpected(error);
  }
  // A path descriptor needs no read permission on the directory, and keeps every step below in
  // the same directory even if its path is swapped meanwhile.
  const UniqueFd directory(
      ::open(parent.empty() ? "." : parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!directory) return std::unexpected(last_system_error());
  if (auto checked = check_target(directory.get(), target, name); !checked) {
    return std::unexpected(checked.error());
  }

  const std::string temporary = temporary_name(target, static_cast<long>(::getpid()));
  auto written = write_new_file(directory.get(), temporary, bytes);
  if (written &&
      ::renameat(directory.get(), temporary.c_str(), directory.get(), name.c_str()) != 0) {
    written = std::unexpected(last_system_error());
  }
  if (!written) {
    ::unlinkat(directory.get(), temporary.c_str(), 0);
    return std::unexpected(written.error());
  }
  return WrittenCertificate{sync_directory(directory.get())};
}

std::expected<WrittenCertificate, std::error_code> write_certificate(
    const GovernanceCertificate& certificate, const std::string& target) {
  return write_file_atomically(target, encode_pretty(certificate));
}

}  // namespace certwright
