// The parsed options of `certwright-countersign`: the verifier's trust and policy options, and
// where and as whom to countersign.
#pragma once

#include <optional>
#include <string>

#include "cli/verify_args.h"

namespace certwright {

// Paths are native byte strings, unconverted; text fields are valid UTF-8.
struct CountersignArgs : VerifyArgs {
  std::optional<std::string> out;          // default: the certificate, in place
  bool replace = false;                    // replace an existing countersignature
  std::optional<std::string> kid;          // default: the platform key's fingerprint
  std::optional<std::string> platform_id;  // "iss"; default: the platform key's fingerprint
};

// The usage error in options that parse one by one but not together, or none.
std::optional<std::string> check_countersign_args(const CountersignArgs& args);

}  // namespace certwright
