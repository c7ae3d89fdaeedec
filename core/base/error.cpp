#include "core/base/error.h"

#include <cerrno>

namespace certwright {
namespace {

class FileErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "certwright-file"; }
  std::string message(int code) const override {
    switch (static_cast<FileError>(code)) {
      case FileError::not_regular_file:
        return "not a regular file";
      case FileError::changed_while_read:
        return "file changed size while being read";
    }
    return "unknown file error";
  }
};

}  // namespace

const std::error_category& file_error_category() {
  static const FileErrorCategory category;
  return category;
}

std::error_code last_system_error() {
  return {errno, std::system_category()};
}

std::error_code make_error_code(FileError error) {
  return {static_cast<int>(error), file_error_category()};
}

}  // namespace certwright
