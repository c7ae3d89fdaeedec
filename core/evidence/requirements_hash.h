// The requirements hash recorded as "intent"."requirementsHash".
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace certwright {

// The document that could not be read, and why.
struct DocumentReadError {
  std::string path;
  std::error_code error;
};

// One SHA-256 over every document in order, each streamed and prefixed by its length as a 64-bit
// little-endian number; the first unreadable document otherwise (a FIFO or device is refused
// without blocking, and a document whose size changes while it is read is an error,
// "file changed size while being read").
std::expected<std::string, DocumentReadError> hash_business_docs(
    const std::vector<std::string>& paths);

// The documents' hash when any are given; else a non-empty `requirements_hash` verbatim; else
// the empty text after a warning.
std::expected<std::string, DocumentReadError> resolve_requirements_hash(
    const std::vector<std::string>& business_docs,
    const std::optional<std::string>& requirements_hash);

}  // namespace certwright
