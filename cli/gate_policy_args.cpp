#include "cli/gate_policy_args.h"

#include <algorithm>
#include <utility>

#include "core/base/content_hash.h"
#include "core/base/file_read.h"
#include "core/base/json_value.h"
#include "core/base/json_writer.h"
#include "core/base/text.h"
#include "core/verify/release_policy.h"

namespace certwright {
namespace {

// A policy is written by hand; anything larger is not one.
constexpr std::size_t kMaxPolicyBytes = std::size_t{1} << 20;

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void add_all(std::vector<std::string>& to, const std::vector<std::string>& from) {
  to.insert(to.end(), from.begin(), from.end());
}

void add_missing(std::vector<std::string>& to, const std::vector<std::string>& from) {
  for (const std::string& item : from)
    if (std::ranges::find(to, item) == to.end()) to.push_back(item);
}

// Of the policy's age and the option's, the shorter.
std::optional<std::string> stricter_age(const std::optional<std::string>& policy,
                                        const std::optional<std::string>& option) {
  if (!policy || !option) return policy ? policy : option;
  const auto policy_seconds = parse_duration_seconds(*policy);
  const auto option_seconds = parse_duration_seconds(*option);
  if (!option_seconds) return option;  // check_verify_args names it
  return *policy_seconds <= *option_seconds ? policy : option;
}

void add_policy(VerifyArgs& args, const GatePolicy& policy) {
  add_all(args.public_keys, policy.public_keys);
  add_all(args.public_key_files, policy.public_key_files);
  add_all(args.allowed_signers, policy.allowed_signers_files);
  add_all(args.platform_key_files, policy.platform_keys_files);
  add_all(args.revoked_keys, policy.revoked_keys_files);
  add_missing(args.required_stages, policy.required_stages);
  args.forbid_other_stages = args.forbid_other_stages || policy.forbid_other_stages;
  args.forbid_skipped = args.forbid_skipped || policy.forbid_skipped;
  args.require_full_coverage = args.require_full_coverage || policy.require_full_coverage;
  args.require_countersign = args.require_countersign || policy.require_countersign;
  add_all(args.tsa_certs, policy.tsa_certs_files);
  // The larger count of tokens is the stricter.
  if (policy.require_timestamp && *policy.require_timestamp > required_timestamps(args))
    args.require_timestamp = std::to_string(*policy.require_timestamp);
  args.max_age = stricter_age(policy.max_age, args.max_age);
}

JsonValue texts(const std::vector<std::string>& items) {
  JsonArray array;
  for (const std::string& item : items)
    array.push_back({lossy_utf8(item)});
  return {std::move(array)};
}

// The policy the options state, in the policy file's spelling; the map sorts the keys.
std::string effective_policy(const VerifyArgs& args) {
  JsonObject policy{
      {"version", {std::uint64_t{1}}},
      {"public-keys", texts(args.public_keys)},
      {"public-key-files", texts(args.public_key_files)},
      {"allowed-signers-files", texts(args.allowed_signers)},
      {"platform-keys-files", texts(args.platform_key_files)},
      {"revoked-keys-files", texts(args.revoked_keys)},
      {"require-stages", texts(args.required_stages)},
      {"other-stages", {std::string(args.forbid_other_stages ? "forbid" : "allow")}},
      {"forbid-skipped", {args.forbid_skipped}},
      {"require-full-coverage", {args.require_full_coverage}},
      {"require-countersign", {args.require_countersign}},
      {"tsa-certs-files", texts(args.tsa_certs)},
  };
  if (args.require_timestamp)
    policy.emplace("require-timestamp", JsonValue{std::uint64_t{required_timestamps(args)}});
  if (args.max_age) policy.emplace("max-age", JsonValue{*args.max_age});
  std::string out;
  JsonWriter writer(Layout::compact, out);
  writer.value({std::move(policy)});
  return out;
}

}  // namespace

std::expected<PolicySource, Error> apply_policy_file(VerifyArgs& args) {
  PolicySource source;
  if (!args.policy) {
    source.effective = effective_policy(args);
    source.sha256 = hash_bytes(*source.effective);
    return source;
  }
  const std::string shown = "--policy " + lossy_utf8(*args.policy);
  const auto content = read_whole_file(*args.policy, kMaxPolicyBytes);
  if (!content) return std::unexpected(Error{shown + ": " + content.error().message()});
  auto policy = parse_gate_policy(*content, directory_of(*args.policy));
  if (!policy) return std::unexpected(Error{shown + ": " + policy.error()});
  add_policy(args, *policy);
  // Checked as if the options had said it all: trust must now be stated.
  const auto path = std::exchange(args.policy, std::nullopt);
  const auto fault = check_verify_args(args);
  args.policy = path;
  if (fault) return std::unexpected(Error{shown + " with the options: " + *fault});
  source.path = args.policy;
  source.file_policy = std::move(*policy);
  source.sha256 = hash_bytes(*content);
  return source;
}

}  // namespace certwright
