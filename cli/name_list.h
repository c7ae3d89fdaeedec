// The files a program is to read, named on its command line and in a `--files-from` list, so
// that no limit on the command line's length limits how many one call reads.
#pragma once

#include <expected>
#include <string>
#include <vector>

#include "cli/verify_args.h"
#include "core/base/error.h"

namespace certwright {

// The longest `--files-from` list read: a million names of 256 bytes.
inline constexpr std::size_t kMaxNameListBytes = std::size_t{256} << 20;

// The positional files (`certificate`, then `more_certificates`), then the names of the
// `--files-from` list in order, each ending in a line feed, or in a NUL byte with `--null` (the
// last may lack it); empty names are skipped. The error names the option and the list: it
// could not be read, or holds more than kMaxNameListBytes ("File too large").
std::expected<std::vector<std::string>, Error> files_named(const VerifyArgs& args);

}  // namespace certwright
