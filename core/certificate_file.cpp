#include "core/certificate_file.h"

namespace certwright {

std::string temporary_path_for(const std::string& target, long) {
  return target + ".tmp";
}
std::expected<void, std::error_code> write_certificate(const GovernanceCertificate&,
                                                       const std::string&) {
  return std::unexpected(std::make_error_code(std::errc::function_not_supported));
}

}  // namespace certwright
