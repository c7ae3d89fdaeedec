// What the driver hands to assembly about the run.
#pragma once

#include <optional>
#include <string>

namespace certwright {

struct RunInputs {
  std::string pipeline_run_id;
  std::string adapter;
  std::optional<std::string> build_spec_hash;
  bool build_spec_hashed = false;
};

}  // namespace certwright
