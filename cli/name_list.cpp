#include "cli/name_list.h"

#include <algorithm>
#include <string_view>

#include "core/base/padded_file.h"
#include "core/base/text.h"

namespace certwright {

std::expected<std::vector<std::string>, Error> files_named(const VerifyArgs& args) {
  std::vector<std::string> paths;
  if (!args.certificate.empty()) paths.push_back(args.certificate);
  paths.insert(paths.end(), args.more_certificates.begin(), args.more_certificates.end());
  if (!args.files_from) return paths;
  const auto list = read_padded_input(*args.files_from, kMaxNameListBytes);
  if (!list)
    return std::unexpected(
        Error{"--files-from " + lossy_utf8(*args.files_from) + ": " + list.error().message()});
  const char separator = args.null_separated ? '\0' : '\n';
  for (std::string_view rest(*list); !rest.empty();) {
    const std::size_t end = std::min(rest.find(separator), rest.size());
    // A path ends at its first NUL for the kernel: "a\0b" would verify the file a in the name
    // of a file that does not exist.
    if (rest.substr(0, end).find('\0') != std::string_view::npos)
      return std::unexpected(
          Error{"--files-from " + lossy_utf8(*args.files_from) +
                ": a name holds a NUL byte (a NUL-separated list needs '--null')"});
    if (end > 0) paths.emplace_back(rest.substr(0, end));
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
  return paths;
}

}  // namespace certwright
