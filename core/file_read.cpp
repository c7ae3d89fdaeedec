#include "core/file_read.h"

namespace certwright {

std::expected<std::string, std::error_code> read_whole_file(const std::string&) {
  return std::unexpected(std::make_error_code(std::errc::function_not_supported));
}

}  // namespace certwright
