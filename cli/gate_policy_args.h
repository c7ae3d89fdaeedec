// The gate's policy file applied to certwright-verify's options, and the policy a run is judged
// under, named by its digest.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "cli/verify_args.h"
#include "core/base/error.h"
#include "core/verify/gate_policy.h"

namespace certwright {

// The policy a run was judged under: the policy file (its path as given and the SHA-256 of its
// bytes), or without one the effective policy the options state, as compact JSON with sorted
// keys in the policy file's own spelling, and its SHA-256.
struct PolicySource {
  std::optional<std::string> path;
  std::optional<GatePolicy> file_policy;
  std::optional<std::string> effective;
  std::string sha256;
};

// Reads the file `args.policy` names (when it does) and adds it to the options: lists are
// joined, flags are on when either says so, and of two ages the shorter holds, so an option
// never loosens the policy (of two token counts the larger holds). Then the options are checked
// together again. Without a policy file, the effective policy of the options. The error names
// the file and, for its content, the key and line.
std::expected<PolicySource, Error> apply_policy_file(VerifyArgs& args);

// The JSON Schema of the policy file, as docs/policy.schema.json holds it.
std::string_view policy_schema();

}  // namespace certwright
