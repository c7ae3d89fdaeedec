// Error values shared by the collection and sealing units.
#pragma once

#include <cerrno>
#include <string>
#include <system_error>

namespace certwright {

// A failure carried as a value: the fixed message text that the driver prints after "error: ".
struct Error {
  std::string message;
};

// Errors the operating system has no code for.
enum class FileError {
  not_regular_file = 1,  // "not a regular file": a FIFO, socket or device was named
  changed_while_read,    // "file changed size while being read"
};

const std::error_category& file_error_category();

// The error the last failed system call left in errno.
std::error_code last_system_error();

std::error_code make_error_code(FileError error);

}  // namespace certwright

template <>
struct std::is_error_code_enum<certwright::FileError> : std::true_type {};
