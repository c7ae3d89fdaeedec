// Which stages a certificate records, and the walk that hashes their artifacts.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/certificate.h"

namespace certwright {

// An ordered list of stage ids; empty means "discover the stages".
using StageList = std::vector<std::string>;

// "s0-preflight" ... "s5-ui-specification".
StageList default_stage_list();

// The stage list for the `--stage-ids` text: default list when absent (discovery when there is
// a signer and tenant mode), discovery for "auto" in any letter case, otherwise the trimmed,
// non-empty comma-separated pieces (discovery when none is left).
StageList resolve_stage_ids(const std::optional<std::string>& stage_ids, bool has_signer,
                            bool tenant_mode);

// The run directory's subdirectories (not links) with valid UTF-8 names, sorted byte-wise.
// An unlistable run directory gives an empty list, silently.
StageList discover_stages(const std::string& run_dir);

// One stage's record: every file directly inside `run_dir`/`stage_id` hashed; links, unreadable
// files and anything that is not a regular file once opened warned about and left out; names
// that become one key warned about (the one listed last is kept); skipped when nothing was
// hashed. The files are read by the engine ArtifactReader::create chooses.
StageRecord collect_stage(const std::string& run_dir, const std::string& stage_id);

// One record per stage id, in list order; an empty list is first replaced by discovery. One
// warning when none of the stage directories exists (a wrong run directory, most likely).
std::vector<StageRecord> collect_stages(const std::string& run_dir, const StageList& stages);

}  // namespace certwright
