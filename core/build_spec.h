// The run's build spec: its hash and the agentic posture it declares.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/certificate.h"
#include "core/json_value.h"

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

// `run_dir`/s5-ui-specification/build-spec.yaml
std::string build_spec_path(const std::string& run_dir);

// The build spec's content hash; none, silently, when it is not a regular file, and none after
// a warning when hashing it failed.
std::optional<std::string> hash_build_spec(const std::string& run_dir);

// The projection of a build spec's text: its top level must be a mapping (or the document empty
// or null); the parser's or the projection's message, with the key and position, otherwise.
std::expected<BuildSpecPostureProjection, std::string> parse_posture_projection(
    std::string_view yaml);

// The binding for a stated posture; without one, the defaulted binding ("none", defaulted).
AgenticPostureBinding posture_binding(const std::optional<AgenticPosture>& posture);

// The posture binding projected from the build spec; none, silently, when the file cannot be
// read as UTF-8, and none after a warning when it does not parse into the projection.
std::optional<AgenticPostureBinding> project_posture(const std::string& run_dir);

}  // namespace certwright
