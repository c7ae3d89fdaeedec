#include "core/verify/gate_policy.h"

#include <algorithm>
#include <array>
#include <variant>

#include "core/base/text.h"
#include "core/evidence/yaml_json.h"
#include "core/evidence/yaml_tree.h"
#include "core/seal/public_key.h"
#include "core/verify/release_policy.h"

namespace certwright {
namespace {

using Fault = std::unexpected<std::string>;

// What a key's value must be.
enum class ValueKind { count, boolean, text, texts, paths };

struct PolicyKey {
  std::string_view name;
  ValueKind kind;
};

constexpr auto kPolicyKeys = std::to_array<PolicyKey>({
    {"version", ValueKind::count},
    {"expires", ValueKind::text},
    {"public-keys", ValueKind::texts},
    {"public-key-files", ValueKind::paths},
    {"allowed-signers-files", ValueKind::paths},
    {"platform-keys-files", ValueKind::paths},
    {"revoked-keys-files", ValueKind::paths},
    {"tsa-certs-files", ValueKind::paths},
    {"require-stages", ValueKind::texts},
    {"other-stages", ValueKind::text},
    {"forbid-skipped", ValueKind::boolean},
    {"require-full-coverage", ValueKind::boolean},
    {"require-countersign", ValueKind::boolean},
    {"require-timestamp", ValueKind::count},
    {"max-age", ValueKind::text},
});

const char* kind_text(ValueKind kind) {
  switch (kind) {
    case ValueKind::count:
      return "a whole number";
    case ValueKind::boolean:
      return "true or false";
    case ValueKind::text:
      return "a string";
    case ValueKind::texts:
      return "a list of strings";
    case ValueKind::paths:
      return "a list of paths";
  }
  return "";
}

// A value as read, before the key's own rule judges it.
using Value = std::variant<std::uint64_t, bool, std::string, std::vector<std::string>>;

std::string at_key(const YamlNode& key_node, std::string_view name) {
  return "line " + std::to_string(key_node.line) + ": key " + quoted_excerpt(name);
}

std::expected<Value, std::string> scalar_of(const YamlNode& node, ValueKind kind) {
  auto value = scalar_value(node);
  if (!value) return Fault(value.error());
  if (kind == ValueKind::count)
    if (const auto* count = std::get_if<std::uint64_t>(&value->value)) return *count;
  if (kind == ValueKind::boolean)
    if (const auto* flag = std::get_if<bool>(&value->value)) return *flag;
  if (kind == ValueKind::text)
    if (auto* text = std::get_if<std::string>(&value->value)) return std::move(*text);
  return Fault(std::string("expected ") + kind_text(kind));
}

// A list of non-empty strings; an empty text is a mistake in a list of keys, stages or paths.
std::expected<Value, std::string> list_of(const YamlDocument& document, const YamlNode& node,
                                          ValueKind kind) {
  if (node.kind != YamlNodeKind::sequence) return Fault(std::string("expected ") + kind_text(kind));
  std::vector<std::string> items;
  for (const YamlNodeId id : node.items) {
    const YamlNode& item = document.node(id);
    std::expected<JsonValue, std::string> value = JsonValue{};
    if (item.kind == YamlNodeKind::scalar) value = scalar_value(item);
    auto* text = value ? std::get_if<std::string>(&value->value) : nullptr;
    if (text == nullptr || text->empty())
      return Fault("item at line " + std::to_string(item.line) + ": expected a non-empty string");
    items.push_back(std::move(*text));
  }
  return items;
}

std::expected<Value, std::string> value_of(const YamlDocument& document, const YamlNode& node,
                                           ValueKind kind) {
  if (kind == ValueKind::texts || kind == ValueKind::paths) return list_of(document, node, kind);
  if (node.kind != YamlNodeKind::scalar) return Fault(std::string("expected ") + kind_text(kind));
  return scalar_of(node, kind);
}

std::string resolved(std::string_view policy_dir, const std::string& path) {
  if (policy_dir.empty() || path.starts_with('/')) return path;
  return join_path(policy_dir, path);
}

// Applies one key's value to the policy; the reason when the value is not what the key takes.
std::optional<std::string> apply(GatePolicy& policy, std::string_view name, Value value,
                                 std::string_view policy_dir) {
  if (name == "version")
    return std::get<std::uint64_t>(value) == 1
               ? std::nullopt
               : std::optional<std::string>("version " +
                                            std::to_string(std::get<std::uint64_t>(value)) +
                                            " is not known; this program reads version 1");
  if (auto* flag = std::get_if<bool>(&value)) {
    (name == "forbid-skipped"          ? policy.forbid_skipped
     : name == "require-full-coverage" ? policy.require_full_coverage
                                       : policy.require_countersign) = *flag;
    return std::nullopt;
  }
  if (name == "require-timestamp") {
    policy.require_timestamp = std::get<std::uint64_t>(value);
    return std::nullopt;
  }
  if (auto* text = std::get_if<std::string>(&value)) {
    if (name == "expires") {
      policy.expires = parse_time_text(*text);
      if (!policy.expires) return "expected an RFC 3339 date-time (2027-01-31T00:00:00Z)";
    } else if (name == "max-age") {
      if (!parse_duration_seconds(*text))
        return "expected a whole number and s, m, h or d (90m, 24h, 7d)";
      policy.max_age = std::move(*text);
    } else {  // other-stages
      if (*text != "allow" && *text != "forbid") return "expected \"allow\" or \"forbid\"";
      policy.forbid_other_stages = *text == "forbid";
    }
    return std::nullopt;
  }
  auto& items = std::get<std::vector<std::string>>(value);
  if (name == "public-keys") {
    for (const std::string& key : items)
      if (const auto parsed = parse_public_key(key); !parsed)
        return quoted_excerpt(key) + ": " + parsed.error();
    policy.public_keys = std::move(items);
    return std::nullopt;
  }
  if (name == "require-stages") {
    policy.required_stages = std::move(items);
    return std::nullopt;
  }
  for (std::string& path : items)
    path = resolved(policy_dir, path);
  (name == "public-key-files"        ? policy.public_key_files
   : name == "allowed-signers-files" ? policy.allowed_signers_files
   : name == "platform-keys-files"   ? policy.platform_keys_files
   : name == "revoked-keys-files"    ? policy.revoked_keys_files
                                     : policy.tsa_certs_files) = std::move(items);
  return std::nullopt;
}

}  // namespace

std::expected<GatePolicy, std::string> parse_gate_policy(std::string_view text,
                                                         std::string_view policy_dir) {
  const auto document = parse_yaml_document(text);
  if (!document) return Fault(document.error());
  const YamlNode& root = document->node(document->root);
  if (root.kind != YamlNodeKind::mapping)
    return Fault("the policy is not one mapping of keys" + position_of(root));
  GatePolicy policy;
  std::vector<std::string> seen;
  for (const auto& [key_id, value_id] : root.entries) {
    const YamlNode& key_node = document->node(key_id);
    if (key_node.kind != YamlNodeKind::scalar)
      return Fault("line " + std::to_string(key_node.line) + ": a key must be a string");
    const std::string& name = key_node.text;
    if (std::ranges::find(seen, name) != seen.end())
      return Fault(at_key(key_node, name) + " appears a second time");
    seen.push_back(name);
    const auto known = std::ranges::find(kPolicyKeys, name, &PolicyKey::name);
    if (known == kPolicyKeys.end()) return Fault(at_key(key_node, name) + " is not a policy key");
    auto value = value_of(*document, document->node(value_id), known->kind);
    if (!value) return Fault(at_key(key_node, name) + ": " + value.error());
    if (const auto fault = apply(policy, name, std::move(*value), policy_dir))
      return Fault(at_key(key_node, name) + ": " + *fault);
  }
  if (std::ranges::find(seen, "version") == seen.end())
    return Fault("key \"version\" is required (version: 1)");
  return policy;
}

CheckResult policy_check(const GatePolicy& policy, std::string_view sha256, UtcTime now) {
  const std::string file = "policy sha256 " + std::string(sha256.substr(0, 16)) + "...";
  if (!policy.expires) return {"policy", true, file + ", no expiry"};
  const std::string expiry = format_date_time(*policy.expires);
  const bool expired =
      now.unix_seconds > policy.expires->unix_seconds ||
      (now.unix_seconds == policy.expires->unix_seconds && now.nanos >= policy.expires->nanos);
  if (expired) return {"policy", false, file + " expired at " + expiry};
  return {"policy", true, file + ", expires " + expiry};
}

}  // namespace certwright
