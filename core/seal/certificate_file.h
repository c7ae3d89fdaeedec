// Writing the certificate file atomically.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <system_error>

#include "core/record/certificate.h"

namespace certwright {

// "." + file name + "." + pid + ".tmp" beside `target`.
std::string temporary_path_for(const std::string& target, long pid);

// A certificate that is in place at its target. `directory_sync_error` is set when the rename
// could not be flushed to stable storage (the directory could not be opened or synced): the
// new file is visible, but a crash soon after could still bring the old one back.
struct WrittenCertificate {
  std::error_code directory_sync_error;
};

// Writes the pretty encoding to a fresh temporary file beside `target` (parents created),
// flushes it to stable storage and renames it over `target`, every step relative to one
// descriptor of the target's directory. Fails with the first system error, with "Is a
// directory" or "not a regular file" when `target` exists and is not a regular file, and in
// every failure the temporary file is removed and an existing `target` is left unchanged.
std::expected<WrittenCertificate, std::error_code> write_certificate(
    const GovernanceCertificate& certificate, const std::string& target);

// The same for any file's `bytes`: written to a fresh temporary beside `target`, flushed and
// renamed over it, with the same failures.
std::expected<WrittenCertificate, std::error_code> write_file_atomically(const std::string& target,
                                                                         std::string_view bytes);

}  // namespace certwright
