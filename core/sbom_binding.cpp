#include "core/sbom_binding.h"

#include <simdjson.h>

#include <utility>
#include <vector>

#include "core/content_hash.h"
#include "core/environment.h"
#include "core/padded_file.h"
#include "core/text.h"
#include "core/warning.h"

namespace certwright {
namespace {

namespace dom = simdjson::dom;
namespace ondemand = simdjson::ondemand;

constexpr std::string_view kBomFile = ".factory/sbom.cdx.json";
constexpr std::string_view kAuditFile = ".factory/audit.json";
constexpr std::string_view kUnknown = "unknown";
// Most bytes of a BOM that are read: 256 MiB. The BOM is held whole and parsed, which takes a
// few times its size; the largest BOMs of real applications are tens of megabytes.
constexpr std::size_t kMaxBomBytes = 256 * 1024 * 1024;
// The DOM parser refuses documents nested deeper than this; the fallback walk does the same.
constexpr int kMaxDepth = static_cast<int>(simdjson::DEFAULT_MAX_DEPTH);

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

std::optional<std::string> dom_string(simdjson::simdjson_result<dom::element> value) {
  std::string_view text;
  if (value.get_string().get(text)) return std::nullopt;
  return std::string(text);
}

// The tool list from a parsed document: "tools"."components" (CycloneDX 1.5 and later) when
// "tools" is an object, "tools" itself when it is an array (1.4 and earlier). Lookups take
// the first member of a name, as the parser's key lookup does.
ToolList dom_tools(dom::element root) {
  dom::element tools;
  if (root["metadata"]["tools"].get(tools)) return std::nullopt;
  dom::array list;
  const auto found =
      tools.is_object() ? tools["components"].get_array().get(list) : tools.get_array().get(list);
  if (found != simdjson::SUCCESS) return std::nullopt;
  std::vector<Tool> result;
  for (const dom::element element : list) {
    dom::object tool;
    if (element.get_object().get(tool)) {
      result.emplace_back();
    } else {
      result.push_back(Tool{dom_string(tool["name"]), dom_string(tool["version"])});
    }
  }
  return result;
}

// The fallback for documents the DOM parser refuses over a number. RFC 8259 sets no bound on
// a number's magnitude, so a BOM with, say, a 30-digit serial is valid JSON and keeps its tool
// version; the walk below checks the whole document as the DOM parser would, but takes any
// number that follows the JSON grammar as it stands.

bool is_json_number(std::string_view token) {
  std::size_t at = 0;
  const auto skip_one_of = [&](std::string_view chars) {
    if (at == token.size() || chars.find(token[at]) == std::string_view::npos) return false;
    ++at;
    return true;
  };
  const auto skip_digits = [&] {
    const std::size_t start = at;
    while (at < token.size() && token[at] >= '0' && token[at] <= '9')
      ++at;
    return at > start;
  };
  skip_one_of("-");
  if (!skip_one_of("0") && !skip_digits()) return false;
  if (skip_one_of(".") && !skip_digits()) return false;
  if (skip_one_of("eE")) {
    skip_one_of("+-");
    if (!skip_digits()) return false;
  }
  return at == token.size();
}

// A scalar's raw token runs up to the next token, white space included.
std::string_view without_trailing_space(std::string_view token) {
  const std::size_t end = token.find_last_not_of(" \t\n\r");
  return token.substr(0, end == std::string_view::npos ? 0 : end + 1);
}

simdjson::error_code check_value(ondemand::value value, int depth);

simdjson::error_code check_object(ondemand::object object, int depth) {
  for (auto field : object) {
    ondemand::field member;
    std::string_view key;
    if (const auto code = std::move(field).get(member)) return code;
    if (const auto code = member.unescaped_key().get(key)) return code;
    if (const auto code = check_value(member.value(), depth)) return code;
  }
  return simdjson::SUCCESS;
}

simdjson::error_code check_array(ondemand::array array, int depth) {
  for (auto element : array) {
    ondemand::value value;
    if (const auto code = std::move(element).get(value)) return code;
    if (const auto code = check_value(value, depth)) return code;
  }
  return simdjson::SUCCESS;
}

simdjson::error_code check_scalar(ondemand::value value, ondemand::json_type type) {
  std::string_view text;
  bool flag = false;
  switch (type) {
    case ondemand::json_type::string:
      return value.get_string().get(text);
    case ondemand::json_type::boolean:
      return value.get_bool().get(flag);
    case ondemand::json_type::null:
      if (const auto code = value.is_null().get(flag)) return code;
      return flag ? simdjson::SUCCESS : simdjson::N_ATOM_ERROR;
    case ondemand::json_type::number:
      return is_json_number(without_trailing_space(value.raw_json_token()))
                 ? simdjson::SUCCESS
                 : simdjson::NUMBER_ERROR;
    default:
      return simdjson::TAPE_ERROR;
  }
}

// `depth` is the parser's own count (the root is 1); recursion stops at the DOM parser's limit.
simdjson::error_code check_value(ondemand::value value, int depth) {
  if (depth > kMaxDepth) return simdjson::DEPTH_ERROR;
  ondemand::json_type type{};
  if (const auto code = value.type().get(type)) return code;
  if (type == ondemand::json_type::object) {
    ondemand::object object;
    if (const auto code = value.get_object().get(object)) return code;
    return check_object(object, depth + 1);
  }
  if (type == ondemand::json_type::array) {
    ondemand::array array;
    if (const auto code = value.get_array().get(array)) return code;
    return check_array(array, depth + 1);
  }
  return check_scalar(value, type);
}

// Whether the document is one valid JSON value with only white space after it. A scalar root
// is not looked at: it has no "metadata" either way.
bool is_valid_container(ondemand::document& document) {
  ondemand::value root;
  if (document.get_value().get(root) || check_value(root, 1)) return false;
  const char* location = nullptr;
  return document.current_location().get(location) == simdjson::OUT_OF_BOUNDS;
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

std::optional<std::string> ondemand_string(ondemand::value value) {
  std::string_view text;
  if (value.get_string().get(text)) return std::nullopt;
  return std::string(text);
}

Tool ondemand_tool(ondemand::value value) {
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
      tool.name = ondemand_string(member.value());
    } else if (key == "version" && !std::exchange(version_seen, true)) {
      tool.version = ondemand_string(member.value());
    }
  }
  return tool;
}

// The same choice of tool list as dom_tools, over a document already found valid.
ToolList ondemand_tools(ondemand::document& document) {
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
    result.push_back(ondemand_tool(value));
  }
  return result;
}

std::string version_allowing_any_number(simdjson::padded_string_view bom) {
  ondemand::parser parser;
  ondemand::document document;
  // This parser counts the root as level 1, so it needs one level more to take every document
  // the DOM parser takes.
  if (parser.allocate(bom.size(), kMaxDepth + 1) || parser.iterate(bom).get(document) ||
      !is_valid_container(document)) {
    return std::string(kUnknown);
  }
  document.rewind();
  return chosen_version(ondemand_tools(document));
}

std::string tool_version_of(simdjson::padded_string_view bom) {
  dom::parser parser;
  dom::element root;
  const auto code = parser.parse(bom).get(root);
  if (code == simdjson::NUMBER_ERROR) return version_allowing_any_number(bom);
  if (code != simdjson::SUCCESS) return std::string(kUnknown);
  return chosen_version(dom_tools(root));
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
