#include "core/certificate_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string_view>

#include "core/certificate_encoding.h"
#include "core/error.h"
#include "core/text.h"
#include "core/unique_fd.h"

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

std::expected<void, std::error_code> write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return std::unexpected(last_system_error());
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

// Writes `bytes` to the open file, flushes them to stable storage and closes it.
std::expected<void, std::error_code> write_durably(UniqueFd fd, std::string_view bytes) {
  if (auto written = write_all(fd.get(), bytes); !written) return written;
  if (::fsync(fd.get()) != 0) return std::unexpected(last_system_error());
  if (::close(fd.release()) != 0) return std::unexpected(last_system_error());
  return {};
}

// Flushes a directory's entries (the rename) to stable storage.
std::expected<void, std::error_code> sync_directory(std::string_view directory) {
  const std::string path = directory.empty() ? "." : std::string(directory);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd || ::fsync(fd.get()) != 0) return std::unexpected(last_system_error());
  return {};
}

}  // namespace

std::string temporary_path_for(const std::string& target, long pid) {
  std::string_view name = file_name_of(target);
  if (name.empty()) name = kDefaultFileName;
  const std::string_view parent = parent_of(target);
  std::string file = "." + lossy_utf8(name) + "." + std::to_string(pid) + ".tmp";
  return parent.empty() ? file : join_path(parent, file);
}

std::expected<void, std::error_code> write_certificate(const GovernanceCertificate& certificate,
                                                       const std::string& target) {
  const std::string_view parent = parent_of(target);
  if (!parent.empty()) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(parent), error);
    if (error) return std::unexpected(error);
  }
  const std::string bytes = encode_pretty(certificate);
  const std::string temporary = temporary_path_for(target, static_cast<long>(::getpid()));
  // O_NOFOLLOW: a link planted at the temporary path must not redirect the write.
  UniqueFd fd(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!fd) return std::unexpected(last_system_error());
  if (auto written = write_durably(std::move(fd), bytes); !written) {
    ::unlink(temporary.c_str());
    return written;
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    const std::error_code error = last_system_error();
    ::unlink(temporary.c_str());
    return std::unexpected(error);
  }
  return sync_directory(parent);
}

}  // namespace certwright
