#include "core/evidence/stage_coverage.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <string_view>

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

// Lists the run directory and the directories on the way to nested stages.
struct RunDirectoryWalk {
  const std::set<std::string>& stages;
  const std::set<std::string>& on_the_way;
  RunDirectoryCoverage& coverage;
  // Only the smallest paths are kept, so a run directory of a million entries costs a count.
  std::set<std::string> first;

  void count(std::size_t& kind, std::string_view path) {
    ++kind;
    first.insert(lossy_utf8(path));
    if (first.size() > kShownPaths) first.erase(std::prev(first.end()));
  }

  // The entries of `name` beneath `dir_fd`, whose path is `prefix` ("" for the run directory).
  void list(int dir_fd, const char* name, const std::string& prefix, std::size_t depth) {
    const UniqueDir dir = depth < kMaxDepth ? open_below(dir_fd, name) : UniqueDir();
    if (!dir) return count(coverage.unreadable, prefix.empty() ? "." : prefix);
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
      if (!is_dot_entry(entry->d_name)) visit(::dirfd(dir.get()), *entry, prefix, depth);
      errno = 0;
    }
    if (errno != 0) count(coverage.unreadable, prefix.empty() ? "." : prefix);
  }

  void visit(int dir_fd, const dirent& entry, const std::string& prefix, std::size_t depth) {
    const std::string path = prefix.empty() ? entry.d_name : prefix + "/" + entry.d_name;
    const bool stage = stages.contains(path);
    const bool on_way = on_the_way.contains(path);
    if (prefix.empty() && entry.d_name[0] == '.' && !stage && !on_way) return;
    const auto type = entry_type(dir_fd, entry);
    if (!type) return;                     // gone since it was listed
    if (*type == DT_DIR && stage) return;  // its stage's own coverage says what it leaves out
    if (*type == DT_DIR && on_way) return list(dir_fd, entry.d_name, path, depth + 1);
    count(*type == DT_DIR   ? coverage.directories
          : *type == DT_LNK ? coverage.links
          : *type == DT_REG ? coverage.files
                            : coverage.special_files,
          path);
  }
};

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

RunDirectoryCoverage cover_run_directory(int run_fd, const std::set<std::string>& stage_paths) {
  RunDirectoryCoverage coverage;
  if (stage_paths.contains("")) return coverage;
  std::set<std::string> on_the_way;
  for (const std::string& path : stage_paths)
    for (std::size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1))
      on_the_way.insert(path.substr(0, slash));
  RunDirectoryWalk walk{stage_paths, on_the_way, coverage, {}};
  walk.list(run_fd, ".", "", 0);
  coverage.paths.assign(walk.first.begin(), walk.first.end());
  return coverage;
}

}  // namespace certwright
