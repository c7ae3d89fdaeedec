#include "core/evidence/build_spec.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <span>
#include <type_traits>
#include <variant>

#include "core/base/content_hash.h"
#include "core/base/error.h"
#include "core/base/file_read.h"
#include "core/base/regular_file.h"
#include "core/base/text.h"
#include "core/base/warning.h"
#include "core/evidence/yaml_json.h"
#include "core/evidence/yaml_tree.h"

namespace certwright {
namespace {

constexpr std::array<std::string_view, 3> kPostureLevels = {"none", "declared", "governed"};
constexpr std::array<std::string_view, 4> kSurfaceKinds = {
    "model-api", "tool-surface", "memory-persistence", "human-approval-point"};

constexpr std::array<std::string_view, 1> kTopLevelKeys = {"agentic_posture"};
constexpr std::array<std::string_view, 2> kPostureKeys = {"posture", "surfaces"};
constexpr std::array<std::string_view, 3> kSurfaceKeys = {"kind", "description",
                                                          "governance_envelope"};

// One of the projection's own names between double quotes, for messages.
std::string quoted(std::string_view name) {
  std::string text(1, '"');  // appended: GCC 12 -O3 misreads `"\"" + ...` as overlapping
  text.append(name).push_back('"');
  return text;
}

// The value node of each key of a table, in the table's order; none for a key not given.
using TableEntries = std::vector<std::optional<YamlNodeId>>;

// Reads the projection out of a parsed build spec. `path` arguments name where a node sits
// ("agentic_posture.surfaces[1].kind") so every failure says which key went wrong.
class PostureReader {
 public:
  explicit PostureReader(const YamlDocument& document) : document_(document) {}

  std::expected<BuildSpecPostureProjection, std::string> read() const {
    const YamlNodeId root = document_.root;
    if (is_null(root)) return BuildSpecPostureProjection{};
    if (node(root).kind != YamlNodeKind::mapping)
      return failure("top level", "expected a mapping, found " + describe(root), root);
    auto entries = table_entries(root, kTopLevelKeys, "top level");
    if (!entries) return std::unexpected(entries.error());
    const std::optional<YamlNodeId> posture = (*entries)[0];
    if (!posture || is_null(*posture)) return BuildSpecPostureProjection{};
    auto stated = read_posture(*posture, "agentic_posture");
    if (!stated) return std::unexpected(stated.error());
    return BuildSpecPostureProjection{std::move(*stated)};
  }

 private:
  const YamlNode& node(YamlNodeId id) const { return document_.node(id); }

  std::unexpected<std::string> failure(std::string_view path, std::string_view problem,
                                       YamlNodeId at) const {
    return std::unexpected(std::string(path) + ": " + std::string(problem) + position_of(node(at)));
  }

  bool is_null(YamlNodeId id) const {
    if (node(id).kind != YamlNodeKind::scalar) return false;
    const auto value = scalar_value(node(id));
    return value && std::holds_alternative<std::nullptr_t>(value->value);
  }

  // What a node is, for "expected ..., found ..." messages: its kind, never its text (a build
  // spec may be a link to a file that holds a secret).
  std::string describe(YamlNodeId id) const {
    if (node(id).kind == YamlNodeKind::mapping) return "a mapping";
    if (node(id).kind == YamlNodeKind::sequence) return "a sequence";
    const auto value = scalar_value(node(id));
    if (!value) return "an ill-typed scalar";
    return std::visit(
        [](const auto& held) -> std::string {
          using Held = std::decay_t<decltype(held)>;
          if constexpr (std::is_same_v<Held, std::nullptr_t>)
            return "null";
          else if constexpr (std::is_same_v<Held, bool>)
            return "a boolean";
          else if constexpr (std::is_same_v<Held, double>)
            return "a floating-point number";
          else if constexpr (std::is_same_v<Held, std::string>)
            return "a string";
          else
            return "an integer";
        },
        value->value);
  }

  // Scans a mapping for the table's keys; other keys, and keys that are not scalars, are not
  // the projection's business and are skipped. A table key given twice is a failure.
  std::expected<TableEntries, std::string> table_entries(YamlNodeId mapping,
                                                         std::span<const std::string_view> keys,
                                                         std::string_view path) const {
    TableEntries entries(keys.size());
    for (const auto& [key, value] : node(mapping).entries) {
      if (node(key).kind != YamlNodeKind::scalar) continue;
      for (std::size_t i = 0; i < keys.size(); ++i) {
        if (node(key).text != keys[i]) continue;
        if (entries[i]) return failure(path, "repeated key " + quoted(keys[i]), key);
        entries[i] = value;
      }
    }
    return entries;
  }

  // The string a scalar holds; none when the node holds something else.
  std::expected<std::optional<std::string>, std::string> string_in(YamlNodeId id,
                                                                   std::string_view path) const {
    if (node(id).kind != YamlNodeKind::scalar) return std::nullopt;
    auto value = scalar_value(node(id));
    if (!value) return std::unexpected(std::string(path) + ": " + value.error());
    if (auto* text = std::get_if<std::string>(&value->value)) return std::move(*text);
    return std::nullopt;
  }

  // The index in `names` of the string the node holds.
  std::expected<std::size_t, std::string> one_of(YamlNodeId id,
                                                 std::span<const std::string_view> names,
                                                 std::string_view path) const {
    const auto text = string_in(id, path);
    if (!text) return std::unexpected(text.error());
    for (std::size_t i = 0; *text && i < names.size(); ++i) {
      if (**text == names[i]) return i;
    }
    std::string expected = "expected one of ";
    for (std::size_t i = 0; i < names.size(); ++i)
      expected.append(i ? ", " : "").append(quoted(names[i]));
    return failure(path, expected + ", found " + describe(id), id);
  }

  std::expected<AgenticPosture, std::string> read_posture(YamlNodeId id,
                                                          const std::string& path) const {
    if (node(id).kind != YamlNodeKind::mapping)
      return failure(path, "expected a mapping, found " + describe(id), id);
    auto entries = table_entries(id, kPostureKeys, path);
    if (!entries) return std::unexpected(entries.error());
    const std::optional<YamlNodeId> posture = (*entries)[0], surfaces = (*entries)[1];
    if (!posture) return failure(path, "missing required key \"posture\"", id);
    auto level = one_of(*posture, kPostureLevels, path + ".posture");
    if (!level) return std::unexpected(level.error());
    AgenticPosture stated{static_cast<PostureLevel>(*level), {}};
    if (surfaces) {
      auto read = read_surfaces(*surfaces, path + ".surfaces");
      if (!read) return std::unexpected(read.error());
      stated.surfaces = std::move(*read);
    }
    return stated;
  }

  std::expected<std::vector<AgenticSurface>, std::string> read_surfaces(
      YamlNodeId id, const std::string& path) const {
    if (node(id).kind != YamlNodeKind::sequence)
      return failure(path, "expected a sequence, found " + describe(id), id);
    std::vector<AgenticSurface> surfaces;
    for (const YamlNodeId item : node(id).items) {
      auto surface = read_surface(item, path + "[" + std::to_string(surfaces.size()) + "]");
      if (!surface) return std::unexpected(surface.error());
      surfaces.push_back(std::move(*surface));
    }
    return surfaces;
  }

  std::expected<AgenticSurface, std::string> read_surface(YamlNodeId id,
                                                          const std::string& path) const {
    if (node(id).kind != YamlNodeKind::mapping)
      return failure(path, "expected a mapping, found " + describe(id), id);
    auto entries = table_entries(id, kSurfaceKeys, path);
    if (!entries) return std::unexpected(entries.error());
    const std::optional<YamlNodeId> kind = (*entries)[0], description = (*entries)[1],
                                    envelope = (*entries)[2];
    if (!kind) return failure(path, "missing required key \"kind\"", id);
    auto kind_index = one_of(*kind, kSurfaceKinds, path + ".kind");
    if (!kind_index) return std::unexpected(kind_index.error());
    AgenticSurface surface{static_cast<SurfaceKind>(*kind_index), std::nullopt, std::nullopt};
    if (description && !is_null(*description)) {
      auto text = read_text(*description, path + ".description");
      if (!text) return std::unexpected(text.error());
      surface.description = std::move(*text);
    }
    if (envelope && !is_null(*envelope)) {
      auto value = to_json_value(document_, *envelope);
      if (!value) return std::unexpected(path + ".governance_envelope: " + value.error());
      surface.governance_envelope = std::move(*value);
    }
    return surface;
  }

  std::expected<std::string, std::string> read_text(YamlNodeId id, const std::string& path) const {
    auto text = string_in(id, path);
    if (!text) return std::unexpected(text.error());
    if (!*text) return failure(path, "expected a string, found " + describe(id), id);
    return std::move(**text);
  }

  const YamlDocument& document_;
};

// What read_build_spec reads, with the read error kept for the caller to report.
struct ReadBuildSpec : BuildSpecContent {
  std::error_code read_error;
};

ReadBuildSpec read_silently(const std::string& run_dir) {
  ReadBuildSpec content;
  content.path = build_spec_path(run_dir);
  // Missing, a directory or a special file: no build spec, and nothing to say. The open below
  // refuses what may have been swapped in since, without blocking on a FIFO.
  struct stat status {};
  if (::stat(content.path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return content;
  auto file = open_regular_file(content.path);
  if (!file) {
    content.read_error = file.error();
    return content;
  }
  std::string text;
  text.reserve(std::min(file->size, kMaxBuildSpecBytes));
  std::vector<char> buffer(kReadBufferSize);
  Sha256 sha;
  std::size_t total = 0;
  for (;;) {
    const auto count = read_into(file->fd.get(), buffer);
    if (!count) {
      content.read_error = count.error();
      return content;
    }
    const std::string_view piece(buffer.data(), *count);
    sha.update(piece);
    total += piece.size();
    if (total <= kMaxBuildSpecBytes)
      text.append(piece);
    else if (text.capacity() != 0)
      std::string().swap(text);  // past the cap: hashed on, no longer kept
    if (*count < buffer.size()) break;
  }
  const HashText hex = sha.finish_hex();
  content.hash = std::string(hex.data(), hex.size());
  content.too_large = total > kMaxBuildSpecBytes;
  if (!content.too_large) content.text = std::move(text);
  return content;
}

}  // namespace

std::string_view posture_level_name(PostureLevel level) {
  return kPostureLevels[static_cast<std::size_t>(level)];
}

std::string_view surface_kind_name(SurfaceKind kind) {
  return kSurfaceKinds[static_cast<std::size_t>(kind)];
}

std::string build_spec_path(const std::string& run_dir) {
  return join_path(join_path(run_dir, "s5-ui-specification"), "build-spec.yaml");
}

BuildSpecContent read_build_spec(const std::string& run_dir) {
  ReadBuildSpec content = read_silently(run_dir);
  if (content.read_error)
    warn("could not hash build-spec at " + lossy_utf8(content.path) + ": " +
         content.read_error.message());
  return content;
}

std::optional<std::string> hash_build_spec(const std::string& run_dir) {
  return read_build_spec(run_dir).hash;
}

std::expected<std::optional<std::string>, std::error_code> rehash_build_spec(
    const std::string& run_dir) {
  struct stat status {};
  if (::lstat(build_spec_path(run_dir).c_str(), &status) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    return std::unexpected(last_system_error());
  }
  ReadBuildSpec content = read_silently(run_dir);
  if (content.read_error) return std::unexpected(content.read_error);
  if (content.hash) return std::move(content.hash);
  // Something is there that the read passed over: a dangling link, a directory, a FIFO.
  if (::stat(content.path.c_str(), &status) != 0) return std::unexpected(last_system_error());
  if (S_ISDIR(status.st_mode))
    return std::unexpected(std::error_code(EISDIR, std::system_category()));
  return std::unexpected(make_error_code(FileError::not_regular_file));
}

std::expected<BuildSpecPostureProjection, std::string> parse_posture_projection(
    std::string_view yaml) {
  const auto document = parse_yaml_document(yaml);
  if (!document) return std::unexpected(document.error());
  return PostureReader(*document).read();
}

AgenticPostureBinding posture_binding(const std::optional<AgenticPosture>& posture) {
  if (!posture)
    return AgenticPostureBinding{std::string(posture_level_name(PostureLevel::none)), true, {}};
  AgenticPostureBinding binding{std::string(posture_level_name(posture->posture)), false, {}};
  for (const AgenticSurface& surface : posture->surfaces) {
    binding.surfaces.push_back(SurfaceBinding{std::string(surface_kind_name(surface.kind)),
                                              surface.description, surface.governance_envelope});
  }
  return binding;
}

std::optional<AgenticPostureBinding> project_posture(const BuildSpecContent& build_spec) {
  const std::string shown = "Build Spec at " + lossy_utf8(build_spec.path);
  if (build_spec.too_large) {
    warn(shown + " did not parse for agentic_posture: larger than " +
         std::to_string(kMaxBuildSpecBytes) + " bytes (posture unstated)");
    return std::nullopt;
  }
  if (!build_spec.text || !is_valid_utf8(*build_spec.text)) return std::nullopt;
  const auto projection = parse_posture_projection(*build_spec.text);
  if (!projection) {
    warn(shown + " did not parse for agentic_posture: " + projection.error() +
         " (posture unstated)");
    return std::nullopt;
  }
  return posture_binding(projection->agentic_posture);
}

std::optional<AgenticPostureBinding> project_posture(const std::string& run_dir) {
  return project_posture(read_silently(run_dir));
}

}  // namespace certwright
