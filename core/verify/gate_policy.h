// A release gate's policy as one reviewable file (YAML or JSON): what the gate decides once for
// many runs, where the per-run facts (run directory, run id, artifacts) stay on the command line.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/date_time.h"
#include "core/verify/certificate_verification.h"

namespace certwright {

// A policy file as read. Paths are resolved against the policy file's directory; keys are kept
// as written, each known to parse.
struct GatePolicy {
  std::optional<UtcTime> expires;
  std::vector<std::string> public_keys;
  std::vector<std::string> public_key_files;
  std::vector<std::string> allowed_signers_files;
  std::vector<std::string> platform_keys_files;
  std::vector<std::string> revoked_keys_files;
  std::vector<std::string> tsa_certs_files;
  std::vector<std::string> required_stages;
  bool forbid_other_stages = false;  // "other-stages: forbid"
  bool forbid_skipped = false;
  bool require_full_coverage = false;
  bool require_countersign = false;
  std::optional<std::uint64_t> require_timestamp;
  std::optional<std::string> max_age;  // in --max-age's form, checked
};

// The policy in `text`: one mapping whose keys are the fixed ones, each once, with "version: 1".
// Relative paths are joined to `policy_dir` (none when it is empty). The error names the key,
// quoted, and its line ("line 4: key \"max-age\": ..."), or the document's fault.
std::expected<GatePolicy, std::string> parse_gate_policy(std::string_view text,
                                                         std::string_view policy_dir);

// "policy": ok while `now` is before the policy's expiry (or it has none); the detail names the
// file's SHA-256 and the expiry.
CheckResult policy_check(const GatePolicy& policy, std::string_view sha256, UtcTime now);

}  // namespace certwright
