#include "core/stage_walk.h"

namespace certwright {

StageList default_stage_list() {
  return {"s0-preflight",  "s1-business-requirements", "s2-service-requirements",
          "s3-data-model", "s4-api-specification",     "s5-ui-specification"};
}
StageList resolve_stage_ids(const std::optional<std::string>&, bool, bool) {
  return default_stage_list();
}
StageList discover_stages(const std::string&) {
  return {};
}
StageRecord collect_stage(const std::string&, const std::string& stage_id) {
  StageRecord record;
  record.stage_id = stage_id;
  return record;
}
std::vector<StageRecord> collect_stages(const std::string& run_dir, const StageList& stages) {
  std::vector<StageRecord> records;
  for (const auto& stage : stages)
    records.push_back(collect_stage(run_dir, stage));
  return records;
}

}  // namespace certwright
