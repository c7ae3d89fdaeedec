#include "core/build_spec.h"

#include "core/text.h"

namespace certwright {

std::string build_spec_path(const std::string& run_dir) {
  return join_path(join_path(run_dir, "s5-ui-specification"), "build-spec.yaml");
}
std::optional<std::string> hash_build_spec(const std::string&) {
  return std::nullopt;
}
std::optional<AgenticPostureBinding> project_posture(const std::string&) {
  return std::nullopt;
}

}  // namespace certwright
