// The run's build spec: its hash and the agentic posture it declares.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/base/json_value.h"
#include "core/record/certificate.h"

namespace certwright {

enum class PostureLevel { none, declared, governed };

enum class SurfaceKind { model_api, tool_surface, memory_persistence, human_approval_point };

// One entry of `agentic_posture.surfaces`.
struct AgenticSurface {
  SurfaceKind kind = SurfaceKind::model_api;
  std::optional<std::string> description;
  std::optional<JsonValue> governance_envelope;
};

// The build spec's `agentic_posture` block.
struct AgenticPosture {
  PostureLevel posture = PostureLevel::none;
  std::vector<AgenticSurface> surfaces;  // in YAML order, duplicates kept
};

// The one part of the build spec that is read.
struct BuildSpecPostureProjection {
  std::optional<AgenticPosture> agentic_posture;  // absent or null: no posture stated
};

// The spelling the build spec and the certificate use ("none", "declared", "governed").
std::string_view posture_level_name(PostureLevel level);
// The spelling the build spec and the certificate use ("model-api", ...).
std::string_view surface_kind_name(SurfaceKind kind);

// Most bytes of a build spec that are held in memory and parsed for the posture: 32 MiB, far
// beyond a hand-written file. A larger build spec is still hashed whole.
inline constexpr std::size_t kMaxBuildSpecBytes = 32 * 1024 * 1024;

// `run_dir`/s5-ui-specification/build-spec.yaml
std::string build_spec_path(const std::string& run_dir);

// The build spec read once: the hash of its bytes and the same bytes for the posture, so the
// two cannot disagree even when the file changes meanwhile.
struct BuildSpecContent {
  std::string path;
  // None when the path is not a regular file (links followed) or could not be read.
  std::optional<std::string> hash;
  // The bytes that were hashed; none without a hash or past kMaxBuildSpecBytes (`too_large`).
  std::optional<std::string> text;
  bool too_large = false;
};

// Reads the build spec of `run_dir` once, opened without blocking (a FIFO is refused, never
// waited on) and streamed through the hash. Silent when it is missing or not a regular file; a
// warning ("could not hash build-spec at ...") when it cannot be opened or read.
BuildSpecContent read_build_spec(const std::string& run_dir);

// The build spec's content hash as read_build_spec gives it.
std::optional<std::string> hash_build_spec(const std::string& run_dir);

// The build spec's content hash as a verifier compares it: none when nothing is at its path; the
// error when something is there that cannot be read as a regular file (a dangling link, a
// directory, a FIFO, an unreadable file), so a failed read never passes for "no build spec".
// Silent: the caller reports the error.
std::expected<std::optional<std::string>, std::error_code> rehash_build_spec(
    const std::string& run_dir);

// The projection of a build spec's text: its top level must be a mapping (or the document empty
// or null); the parser's or the projection's message, with the key and position, otherwise.
std::expected<BuildSpecPostureProjection, std::string> parse_posture_projection(
    std::string_view yaml);

// The binding for a stated posture; without one, the defaulted binding ("none", defaulted).
AgenticPostureBinding posture_binding(const std::optional<AgenticPosture>& posture);

// The posture binding projected from the build spec's bytes; none, silently, when it has none or
// they are not UTF-8, and none after the posture warning when they do not parse into the
// projection or are past kMaxBuildSpecBytes.
std::optional<AgenticPostureBinding> project_posture(const BuildSpecContent& build_spec);

// The same for the build spec of `run_dir`, read on its own (silently).
std::optional<AgenticPostureBinding> project_posture(const std::string& run_dir);

}  // namespace certwright
