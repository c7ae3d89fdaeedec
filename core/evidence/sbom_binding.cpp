#include "core/evidence/sbom_binding.h"

#include <simdjson.h>

#include <utility>
#include <vector>

#include "core/base/content_hash.h"
#include "core/base/environment.h"
#include "core/base/json_check.h"
#include "core/base/padded_file.h"
#include "core/base/text.h"
#include "core/base/warning.h"

namespace certwright {
namespace {

namespace ondemand = simdjson::ondemand;

constexpr std::string_view kBomFile = ".factory/sbom.cdx.json";
constexpr std::string_view kAuditFile = ".factory/audit.json";
constexpr std::string_view kUnknown = "unknown";
// Most bytes of a BOM that are read: 256 MiB. The BOM is held whole and parsed, which takes a
// few times its size; the largest BOMs of real applications are tens of megabytes.
constexpr std::size_t kMaxBomBytes = 256 * 1024 * 1024;

// One element of "metadata"."tools": its first "name" and first "version", when strings.
struct Tool {
  std::optional<std::string> name;
  std::optional<std::string> version;
};
using ToolList = std::optional<std::vector<Tool>>;

bool names_cyclonedx(std::string_view name) {
  constexpr std::string_view kNeedle = "cyclonedx";
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  for (std::size_t at = 0; at + kNeedle.size() <= name.size(); ++at) {
    std::size_t matched = 0;
    while (matched < kNeedle.size() && lower(name[at + matched]) == kNeedle[matched])
      ++matched;
    if (matched == kNeedle.size()) return true;
  }
  return false;
}

// The first tool named like a CycloneDX generator decides, even without a version; failing
// that, the first tool that has a version.
std::string chosen_version(const ToolList& tools) {
  if (!tools) return std::string(kUnknown);
  for (const Tool& tool : *tools) {
    if (tool.name && names_cyclonedx(*tool.name))
      return tool.version.value_or(std::string(kUnknown));
  }
  for (const Tool& tool : *tools) {
    if (tool.version) return *tool.version;
  }
  return std::string(kUnknown);
}

// The value of the first member named `key`, keys compared unescaped as the DOM lookup does.
simdjson::simdjson_result<ondemand::value> first_member(ondemand::object object,
                                                        std::string_view key) {
  for (auto field : object) {
    ondemand::field member;
    std::string_view name;
    if (const auto code = std::move(field).get(member)) return code;
    if (const auto code = member.unescaped_key().get(name)) return code;
    if (name == key) return std::move(member).value();
  }
  return simdjson::NO_SUCH_FIELD;
}

std::optional<std::string> string_of(ondemand::value value) {
  std::string_view text;
  if (value.get_string().get(text)) return std::nullopt;
  return std::string(text);
}

Tool tool_of(ondemand::value value) {
  Tool tool;
  ondemand::object object;
  if (value.get_object().get(object)) return tool;
  bool name_seen = false;
  bool version_seen = false;
  for (auto field : object) {
    ondemand::field member;
    std::string_view key;
    if (std::move(field).get(member) || member.unescaped_key().get(key)) break;
    if (key == "name" && !std::exchange(name_seen, true)) {
      tool.name = string_of(member.value());
    } else if (key == "version" && !std::exchange(version_seen, true)) {
      tool.version = string_of(member.value());
    }
  }
  return tool;
}

// The tool list from a document already checked: "tools"."components" (CycloneDX 1.5 and later)
// when "tools" is an object, "tools" itself when it is an array (1.4 and earlier). Lookups take
// the first member of a name.
ToolList tool_list(ondemand::document& document) {
  ondemand::object root;
  ondemand::object metadata;
  ondemand::value tools;
  if (document.get_object().get(root) ||
      first_member(root, "metadata").get_object().get(metadata) ||
      first_member(metadata, "tools").get(tools)) {
    return std::nullopt;
  }
  ondemand::object tools_object;
  ondemand::array list;
  const auto found = tools.get_object().get(tools_object) == simdjson::SUCCESS
                         ? first_member(tools_object, "components").get_array().get(list)
                         : tools.get_array().get(list);
  if (found != simdjson::SUCCESS) return std::nullopt;
  std::vector<Tool> result;
  for (auto element : list) {
    ondemand::value value;
    if (std::move(element).get(value)) return std::nullopt;
    result.push_back(tool_of(value));
  }
  return result;
}

// The tool version of a BOM. One On-Demand walk checks the whole document and takes numbers of
// any magnitude, as RFC 8259 allows (a BOM with a 30-digit serial keeps its tool version); a
// second pass reads only "metadata"."tools". On the 50 MB bench BOM this costs what a bare DOM
// parse costs (105-107 ms against 109-110 ms CPU), so there is no DOM fast path.
std::string tool_version_of(simdjson::padded_string_view bom) {
  ondemand::parser parser;
  ondemand::document document;
  // This parser counts the root as level 1, so it needs one level more to take every document
  // the DOM parser takes.
  if (parser.allocate(bom.size(), kMaxJsonDepth + 1) || parser.iterate(bom).get(document) ||
      check_json(document) != simdjson::SUCCESS) {
    return std::string(kUnknown);
  }
  document.rewind();
  return chosen_version(tool_list(document));
}

}  // namespace

std::optional<SbomArtifactBinding> resolve_sbom_binding(const std::optional<std::string>& option) {
  const std::optional<std::string_view> variable =
      option ? std::nullopt : unicode_variable("ZEM_SBOM_DIR");
  if (!option && !variable) return std::nullopt;
  const std::string_view dir = option ? std::string_view(*option) : *variable;
  const std::string bom_path = join_path(dir, kBomFile);
  // Read once: the same bytes are hashed and searched for the tool version.
  const auto bom = read_padded_file(bom_path, kMaxBomBytes);
  if (!bom) {
    warn_unbound("SBOM " + lossy_utf8(bom_path) + " unreadable: " + bom.error().message());
    return std::nullopt;
  }
  const std::string audit_path = join_path(dir, kAuditFile);
  auto audit_hash = hash_file(audit_path);
  if (!audit_hash) {
    warn_unbound("audit artifact " + lossy_utf8(audit_path) +
                 " unreadable: " + audit_hash.error().message());
    return std::nullopt;
  }
  return SbomArtifactBinding{hash_bytes(std::string_view(bom->data(), bom->size())),
                             std::move(*audit_hash), tool_version_of(*bom)};
}

std::string bom_tool_version(std::string_view bom) {
  return tool_version_of(simdjson::padded_string(bom));
}

}  // namespace certwright
