#include "core/evidence/stage_coverage.h"

#include <fcntl.h>

#include <algorithm>
#include <iterator>

#include "core/base/text.h"
#include "core/base/unique_fd.h"

namespace certwright {
namespace {

constexpr std::size_t kMaxDepth = 64;

void note(StageCoverage& coverage, std::size_t& count, const std::string& path) {
  ++count;
  if (coverage.paths.size() < kShownPaths) coverage.paths.push_back(path);
}

UniqueDir open_below(int dir_fd, const char* name) {
  UniqueFd fd(::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return UniqueDir();
  UniqueDir dir(::fdopendir(fd.get()));
  if (dir) fd.release();
  return dir;
}

// Counts every entry below `dir`: files, links and special files; directories are entered.
void count_below(DIR* dir, const std::string& prefix, std::size_t depth, StageCoverage& coverage) {
  while (const dirent* entry = ::readdir(dir)) {
    if (is_dot_entry(entry->d_name)) continue;
    const auto type = entry_type(::dirfd(dir), *entry);
    if (!type) continue;  // gone since it was listed
    const std::string path = prefix + "/" + lossy_utf8(entry->d_name);
    if (*type == DT_DIR) {
      const UniqueDir below =
          depth < kMaxDepth ? open_below(::dirfd(dir), entry->d_name) : UniqueDir();
      if (below)
        count_below(below.get(), path, depth + 1, coverage);
      else
        note(coverage, coverage.unreadable_files, path + "/");
    } else if (*type == DT_LNK) {
      note(coverage, coverage.links, path);
    } else if (*type == DT_REG) {
      note(coverage, coverage.nested_files, path);
    } else {
      note(coverage, coverage.special_files, path);
    }
  }
}

}  // namespace

StageCoverage cover_stage(const OpenedStage& stage, const StageWalk& walk) {
  StageCoverage coverage;
  for (const UncoveredEntry& entry : walk.uncovered) {
    const std::string name = lossy_utf8(entry.name);
    switch (entry.kind) {
      case UncoveredKind::link:
        note(coverage, coverage.links, name);
        break;
      case UncoveredKind::special_file:
        note(coverage, coverage.special_files, name);
        break;
      case UncoveredKind::unreadable_file:
        note(coverage, coverage.unreadable_files, name);
        break;
      case UncoveredKind::subdirectory: {
        const UniqueDir below = open_below(stage.fd.get(), entry.name.c_str());
        if (below)
          count_below(below.get(), name, 1, coverage);
        else
          note(coverage, coverage.unreadable_files, name + "/");
        break;
      }
    }
  }
  return coverage;
}

UnrecordedDirectories unrecorded_stage_directories(int run_fd,
                                                   const std::set<std::string>& recorded) {
  UnrecordedDirectories unrecorded;
  const UniqueDir dir = open_below(run_fd, ".");
  if (!dir) return unrecorded;
  // Only the smallest names are kept, so a run directory of a million directories costs a count.
  std::set<std::string> first;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (entry->d_name[0] == '.') continue;
    if (entry_type(::dirfd(dir.get()), *entry) != DT_DIR || recorded.contains(entry->d_name))
      continue;
    ++unrecorded.count;
    first.insert(lossy_utf8(entry->d_name));
    if (first.size() > kShownPaths) first.erase(std::prev(first.end()));
  }
  unrecorded.first.assign(first.begin(), first.end());
  return unrecorded;
}

}  // namespace certwright
