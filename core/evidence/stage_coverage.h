// What a run directory holds that its certificate cannot cover.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "core/evidence/stage_walk.h"

namespace certwright {

// The entries of one walked stage that its record leaves out: files below its subdirectories,
// links, special files and unreadable files, with the first few of their paths.
struct StageCoverage {
  std::size_t nested_files = 0;
  std::size_t links = 0;
  std::size_t special_files = 0;
  std::size_t unreadable_files = 0;
  std::vector<std::string> paths;  // relative to the stage directory, the first kShownPaths

  std::size_t total() const { return nested_files + links + special_files + unreadable_files; }
};

// How many paths a coverage lists per stage.
inline constexpr std::size_t kShownPaths = 5;

// The coverage of a walked stage: what its walk left out, with every entry below its
// subdirectories counted (no link followed; nothing deeper than 64 levels is looked at).
StageCoverage cover_stage(const OpenedStage& stage, const StageWalk& walk);

// The directories directly inside the run directory (not links) that no stage id names as its
// first path component: how many, and the first kShownPaths of their names in sorted order.
// Names starting with "." are left out.
struct UnrecordedDirectories {
  std::size_t count = 0;
  std::vector<std::string> first;
};
UnrecordedDirectories unrecorded_stage_directories(int run_fd,
                                                   const std::set<std::string>& recorded);

}  // namespace certwright
