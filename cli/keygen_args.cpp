#include "cli/keygen_args.h"

namespace certwright {

std::optional<std::string> check_keygen_args(const KeygenArgs& args) {
  if (args.out && args.public_key_of)
    return "'--out <FILE>' cannot be used with '--public [<FILE>]'";
  if (!args.out && !args.public_key_of)
    return "one of '--out <FILE>' or '--public [<FILE>]' is required";
  if (args.out && *args.out == "-")
    return "'--out -': a seed is never written to standard output; name a file";
  if (args.format && !args.public_key_of)
    return "'--format <FORMAT>' goes with '--public [<FILE>]'";
  if (args.format && *args.format != "base64" && *args.format != "pem")
    return "invalid value '" + *args.format +
           "' for '--format <FORMAT>': expected 'base64' or 'pem'";
  return std::nullopt;
}

}  // namespace certwright
