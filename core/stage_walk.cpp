#include "core/stage_walk.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <string_view>
#include <utility>
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

// The hashed artifacts of one stage in listing order. Names share one growing text and hashes
// are held inline, so listing a stage allocates nothing per artifact; the map's strings are
// made once, in key order, when the stage is done. One list serves a whole walk in turn.
class ArtifactList {
 public:
  void clear() {
    names_.clear();
    entries_.clear();
  }
  void add(const char* name, const HashText& hash) {
    const std::size_t offset = names_.size();
    if (is_valid_utf8(name))
      names_.append(name);
    else
      names_.append(lossy_utf8(name));
    entries_.push_back(Entry{offset, names_.size() - offset, hash});
  }
  // The map of the listed artifacts: of two equal keys (two names that lossy_utf8 made equal)
  // the later listed wins. Sorting and then appending at the end costs far less than inserting
  // in listing order, which would move the later entries on every insert.
  StringMap to_map() {
    const std::size_t shared = shared_prefix_size();
    order_.clear();
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const std::string_view text = name(entries_[i]);
      order_.push_back(Sorted{sort_key(text, shared), text, i});
    }
    // The names of a stage mostly share a long beginning ("artifact-0..."): comparing the eight
    // bytes after it as one integer settles nearly every comparison without reading the names.
    // Equal names keep listing order through the index, which std::sort is cheaper for than a
    // stable sort.
    std::sort(order_.begin(), order_.end(), [](const Sorted& a, const Sorted& b) {
      if (a.key != b.key) return a.key < b.key;
      const int order = a.name.compare(b.name);
      return order != 0 ? order < 0 : a.index < b.index;
    });
    StringMap map;
    map.reserve(order_.size(), names_.size() + order_.size() * HashText().size());
    for (std::size_t i = 0; i < order_.size(); ++i) {
      const bool replaced_later = i + 1 < order_.size() && order_[i + 1].name == order_[i].name;
      if (replaced_later) continue;
      const HashText& hash = entries_[order_[i].index].hash;
      map.append_sorted(order_[i].name, std::string_view(hash.data(), hash.size()));
    }
    return map;
  }

 private:
  struct Entry {
    std::size_t name_offset;
    std::size_t name_size;
    HashText hash;
  };
  std::string_view name(const Entry& entry) const {
    return std::string_view(names_).substr(entry.name_offset, entry.name_size);
  }

  // How many leading bytes every listed name shares.
  std::size_t shared_prefix_size() const {
    if (entries_.empty()) return 0;
    const std::string_view first = name(entries_.front());
    std::size_t shared = first.size();
    for (const Entry& entry : entries_) {
      const std::string_view other = name(entry);
      const std::size_t limit = std::min(shared, other.size());
      shared = static_cast<std::size_t>(
          std::mismatch(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(limit),
                        other.begin())
              .first -
          first.begin());
    }
    return shared;
  }
  // The eight bytes of `name` from `at` as one big-endian integer, zero past its end. Names hold
  // no NUL byte, so for names equal before `at` the integers order as the names do, or are equal.
  static std::uint64_t sort_key(std::string_view name, std::size_t at) {
    std::uint64_t key = 0;
    for (std::size_t i = at; i < at + 8; ++i)
      key = key << 8 | (i < name.size() ? static_cast<std::uint8_t>(name[i]) : 0u);
    return key;
  }

  std::string names_;
  std::vector<Entry> entries_;
  struct Sorted {
    std::uint64_t key;
    std::string_view name;
    std::size_t index;
  };
  std::vector<Sorted> order_;
};

// Hashes one listed entry of a stage into `artifacts`, or warns and leaves it out.
void collect_entry(int dir_fd, const dirent& entry, const std::string& stage_id,
                   const std::string& stage_dir, std::span<std::byte> buffer,
                   ArtifactList& artifacts) {
  const auto type = entry_type(dir_fd, entry);
  if (!type) return warn_unreadable(stage_id, stage_dir, entry.d_name, type.error());
  if (*type == DT_LNK) return warn_symlink(stage_id, entry.d_name);
  if (*type == DT_DIR) return;
  if (*type != DT_REG) {
    // Pipes, sockets and devices could block or never end; they are never opened.
    return warn_unreadable(stage_id, stage_dir, entry.d_name,
                           make_error_code(FileError::not_regular_file));
  }
  const auto hash = hash_file_at(dir_fd, entry.d_name, buffer);
  if (!hash) return warn_unreadable(stage_id, stage_dir, entry.d_name, hash.error());
  artifacts.add(entry.d_name, *hash);
}

// A walk's reusable state: the read buffer every file streams through and the artifact list.
struct WalkScratch {
  std::vector<std::byte> buffer = std::vector<std::byte>(kReadBufferSize);
  ArtifactList artifacts;
};

StageRecord collect_stage_into(const std::string& run_dir, const std::string& stage_id,
                               WalkScratch& scratch) {
  StageRecord record;
  record.stage_id = stage_id;
  const std::string stage_dir = join_path(run_dir, stage_id);
  const UniqueDir dir = open_listing(stage_dir);
  if (!dir) return record;
  const int dir_fd = ::dirfd(dir.get());
  scratch.artifacts.clear();
  while (const dirent* entry = next_entry(dir.get())) {
    if (!is_dot_entry(entry->d_name))
      collect_entry(dir_fd, *entry, stage_id, stage_dir, scratch.buffer, scratch.artifacts);
  }
  record.artifact_hashes = scratch.artifacts.to_map();
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
  WalkScratch scratch;
  return collect_stage_into(run_dir, stage_id, scratch);
}

std::vector<StageRecord> collect_stages(const std::string& run_dir, const StageList& stages) {
  const StageList discovered = stages.empty() ? discover_stages(run_dir) : StageList{};
  const StageList& stage_ids = stages.empty() ? discovered : stages;
  // One buffer and one artifact list for the whole walk: every stage uses them in turn.
  WalkScratch scratch;
  std::vector<StageRecord> records;
  records.reserve(stage_ids.size());
  for (const auto& stage_id : stage_ids)
    records.push_back(collect_stage_into(run_dir, stage_id, scratch));
  return records;
}

}  // namespace certwright
