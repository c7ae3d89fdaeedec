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

// The run directory's entries that no stage record covers: each entry directly inside it that is
// not a recorded stage's directory, and each entry of a directory on the way to a nested stage
// ("s2" for "s2/inner") that is not on that way itself. Directories among them are counted, not
// entered; links are never followed and nothing is opened but the directories on the way.
struct RunDirectoryCoverage {
  std::size_t directories = 0;
  std::size_t files = 0;
  std::size_t links = 0;
  std::size_t special_files = 0;
  std::size_t unreadable = 0;      // directories on the way (or the run directory) not listed
  std::vector<std::string> paths;  // relative to the run directory, the first kShownPaths sorted

  std::size_t total() const { return directories + files + links + special_files + unreadable; }
};

// The coverage of the run directory open as `run_fd` by the stages at `stage_paths` (stage ids
// without empty and "." components; "" is the run directory itself, which leaves nothing out).
// Entries of the run directory itself whose names start with "." are left out.
RunDirectoryCoverage cover_run_directory(int run_fd, const std::set<std::string>& stage_paths);

}  // namespace certwright
