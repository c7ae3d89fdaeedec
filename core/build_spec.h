// The run's build spec: its hash and the agentic posture it declares.
#pragma once

#include <optional>
#include <string>

#include "core/certificate.h"

namespace certwright {

// `run_dir`/s5-ui-specification/build-spec.yaml
std::string build_spec_path(const std::string& run_dir);

// The build spec's content hash; none, silently, when it is not a regular file, and none after
// a warning when hashing it failed.
std::optional<std::string> hash_build_spec(const std::string& run_dir);

// The posture binding projected from the build spec; none, silently, when the file cannot be
// read as UTF-8, and none after a warning when it does not parse into the projection.
std::optional<AgenticPostureBinding> project_posture(const std::string& run_dir);

}  // namespace certwright
