#include "core/stage_walk.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "core/content_hash.h"
#include "core/error.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "core/warning.h"

namespace certwright {
namespace {

bool is_dot_entry(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// The entry's type as the listing reports it, links not followed; the query's error otherwise.
// Only where the file system reports DT_UNKNOWN does this cost a further query: on a large
// stage one per entry would be a noticeable share of the whole walk.
std::expected<unsigned char, std::error_code> entry_type(int dir_fd, const dirent& entry) {
  if (entry.d_type != DT_UNKNOWN) return entry.d_type;
  struct stat status {};
  if (::fstatat(dir_fd, entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
    return std::unexpected(last_system_error());
  return IFTODT(status.st_mode);
}

// Opens `path` as a directory (following links) for listing; empty on any failure.
// O_NONBLOCK: should `path` name a FIFO, the open must not wait for a writer.
UniqueDir open_listing(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return UniqueDir();
  UniqueDir dir(::fdopendir(fd.get()));
  if (dir) fd.release();
  return dir;
}

// The next entry of `dir`, or null at the end. An error ends the listing: readdir does not
// advance past an entry it failed to deliver, so asking again could repeat the failure forever.
const dirent* next_entry(DIR* dir) {
  return ::readdir(dir);
}

void warn_symlink(const std::string& stage_id, const char* name) {
  warn("skipping symlink in stage " + stage_id + ": " + lossy_utf8(name) +
       " (symlinked artifacts are not hashed into the certificate)");
}

void warn_unreadable(const std::string& stage_id, const std::string& stage_dir, const char* name,
                     std::error_code error) {
  warn("skipping unreadable artifact in stage " + stage_id + ": " +
       lossy_utf8(join_path(stage_dir, name)) + " (" + error.message() + ")");
}

using Artifact = std::pair<std::string, std::string>;

// Hashes one listed entry of a stage into `artifacts`, or warns and leaves it out.
void collect_entry(int dir_fd, const dirent& entry, const std::string& stage_id,
                   const std::string& stage_dir, std::span<std::byte> buffer,
                   std::vector<Artifact>& artifacts) {
  const auto type = entry_type(dir_fd, entry);
  if (!type) return warn_unreadable(stage_id, stage_dir, entry.d_name, type.error());
  if (*type == DT_LNK) return warn_symlink(stage_id, entry.d_name);
  if (*type == DT_DIR) return;
  if (*type != DT_REG) {
    // Pipes, sockets and devices could block or never end; they are never opened.
    return warn_unreadable(stage_id, stage_dir, entry.d_name,
                           make_error_code(FileError::not_regular_file));
  }
  auto hash = hash_file_at(dir_fd, entry.d_name, buffer);
  if (!hash) return warn_unreadable(stage_id, stage_dir, entry.d_name, hash.error());
  artifacts.emplace_back(lossy_utf8(entry.d_name), std::move(*hash));
}

// The map of `artifacts` in listing order: of two equal keys the later wins. Sorting first
// and appending at the end is much cheaper than inserting in listing order, which costs a
// tree search per artifact over keys that mostly share long prefixes.
StringMap artifact_map(std::vector<Artifact>& artifacts) {
  std::stable_sort(artifacts.begin(), artifacts.end(),
                   [](const Artifact& a, const Artifact& b) { return a.first < b.first; });
  StringMap map;
  for (std::size_t i = 0; i < artifacts.size(); ++i) {
    const bool replaced_later =
        i + 1 < artifacts.size() && artifacts[i + 1].first == artifacts[i].first;
    if (!replaced_later) map.emplace_hint(map.end(), std::move(artifacts[i]));
  }
  return map;
}

StageRecord collect_stage_into(const std::string& run_dir, const std::string& stage_id,
                               std::span<std::byte> buffer) {
  StageRecord record;
  record.stage_id = stage_id;
  const std::string stage_dir = join_path(run_dir, stage_id);
  const UniqueDir dir = open_listing(stage_dir);
  if (!dir) return record;
  const int dir_fd = ::dirfd(dir.get());
  std::vector<Artifact> artifacts;
  while (const dirent* entry = next_entry(dir.get())) {
    if (!is_dot_entry(entry->d_name))
      collect_entry(dir_fd, *entry, stage_id, stage_dir, buffer, artifacts);
  }
  record.artifact_hashes = artifact_map(artifacts);
  record.status = record.artifact_hashes.empty() ? CheckStatus::skipped : CheckStatus::passed;
  return record;
}

bool is_auto(std::string_view text) {
  static constexpr std::string_view kAuto = "auto";
  if (text.size() != kAuto.size()) return false;
  for (std::size_t i = 0; i < kAuto.size(); ++i) {
    const char lower =
        (text[i] >= 'A' && text[i] <= 'Z') ? static_cast<char>(text[i] + 32) : text[i];
    if (lower != kAuto[i]) return false;
  }
  return true;
}

// The trimmed, non-empty pieces of `text` between commas, in order.
StageList split_stage_ids(std::string_view text) {
  StageList stages;
  for (;;) {
    const std::size_t comma = text.find(',');
    const std::string_view piece = trim_white_space(text.substr(0, comma));
    if (!piece.empty()) stages.emplace_back(piece);
    if (comma == std::string_view::npos) return stages;
    text.remove_prefix(comma + 1);
  }
}

}  // namespace

StageList default_stage_list() {
  return {"s0-preflight",  "s1-business-requirements", "s2-service-requirements",
          "s3-data-model", "s4-api-specification",     "s5-ui-specification"};
}

StageList resolve_stage_ids(const std::optional<std::string>& stage_ids, bool has_signer,
                            bool tenant_mode) {
  if (!stage_ids) return has_signer && tenant_mode ? StageList{} : default_stage_list();
  if (is_auto(*stage_ids)) return {};
  return split_stage_ids(*stage_ids);
}

StageList discover_stages(const std::string& run_dir) {
  StageList stages;
  const UniqueDir dir = open_listing(run_dir);
  if (!dir) return stages;
  const int dir_fd = ::dirfd(dir.get());
  while (const dirent* entry = next_entry(dir.get())) {
    // Only real directories: a link to a directory is never discovered as a stage.
    if (is_dot_entry(entry->d_name) || entry_type(dir_fd, *entry) != DT_DIR) continue;
    if (is_valid_utf8(entry->d_name)) stages.emplace_back(entry->d_name);
  }
  std::sort(stages.begin(), stages.end());
  return stages;
}

StageRecord collect_stage(const std::string& run_dir, const std::string& stage_id) {
  std::vector<std::byte> buffer(kReadBufferSize);
  return collect_stage_into(run_dir, stage_id, buffer);
}

std::vector<StageRecord> collect_stages(const std::string& run_dir, const StageList& stages) {
  const StageList discovered = stages.empty() ? discover_stages(run_dir) : StageList{};
  const StageList& stage_ids = stages.empty() ? discovered : stages;
  // One buffer for the whole walk: every artifact streams through it in turn.
  std::vector<std::byte> buffer(kReadBufferSize);
  std::vector<StageRecord> records;
  records.reserve(stage_ids.size());
  for (const auto& stage_id : stage_ids)
    records.push_back(collect_stage_into(run_dir, stage_id, buffer));
  return records;
}

}  // namespace certwright
