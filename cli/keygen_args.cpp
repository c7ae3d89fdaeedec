#include "cli/keygen_args.h"

namespace certwright {

std::optional<std::string> check_keygen_args(const KeygenArgs& args) {
  if (args.out && args.public_key_of)
    return "'--out <FILE>' cannot be used with '--public [<FILE>]'";
  if (!args.out && !args.public_key_of)
    return "one of '--out <FILE>' or '--public [<FILE>]' is required";
  return std::nullopt;
}

}  // namespace certwright
