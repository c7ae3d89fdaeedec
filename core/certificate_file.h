// Writing the certificate file atomically.
#pragma once

#include <expected>
#include <string>
#include <system_error>

#include "core/certificate.h"

namespace certwright {

// "." + file name + "." + pid + ".tmp" beside `target`.
std::string temporary_path_for(const std::string& target, long pid);

// Writes the pretty encoding to a temporary file beside `target` (parents created), flushes it
// to stable storage and renames it over `target`; the first system error otherwise, with the
// temporary file removed and any existing `target` untouched.
std::expected<void, std::error_code> write_certificate(const GovernanceCertificate& certificate,
                                                       const std::string& target);

}  // namespace certwright
