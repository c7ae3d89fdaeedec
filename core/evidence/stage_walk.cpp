#include "core/evidence/stage_walk.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <expected>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "core/base/content_hash.h"
#include "core/base/error.h"
#include "core/base/text.h"
#include "core/base/unique_fd.h"
#include "core/base/warning.h"
#include "core/evidence/artifact_reader.h"
#include "core/evidence/beneath_open.h"

namespace certwright {

bool is_dot_entry(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Only where the file system reports DT_UNKNOWN does this cost a further query: on a large
// stage one per entry would be a noticeable share of the whole walk.
std::expected<unsigned char, std::error_code> entry_type(int dir_fd, const dirent& entry) {
  if (entry.d_type != DT_UNKNOWN) return entry.d_type;
  struct stat status {};
  if (::fstatat(dir_fd, entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
    return std::unexpected(last_system_error());
  return IFTODT(status.st_mode);
}

namespace {

// Opens the run directory `path` (following links: the caller named it) for listing; empty on
// any failure.
// O_NONBLOCK: should `path` name a FIFO, the open must not wait for a writer.
UniqueDir open_listing(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return UniqueDir();
  UniqueDir dir(::fdopendir(fd.get()));
  if (dir) fd.release();
  return dir;
}

// The next entry of `dir`, or null at the end of the listing. readdir also gives null on an
// error, which so ends the listing with the entries read until then.
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

void warn_same_key(const std::string& stage_id, std::string_view key) {
  warn("artifact names collide in stage " + stage_id + ": " + std::string(key) +
       " (names that are not UTF-8 became the same text; the file listed last is recorded)");
}

// The hashed artifacts of one stage in listing order. Names share one growing text and hashes
// are held inline, so listing a stage allocates nothing per artifact; the map's strings are
// made once, in key order, when the stage is done. One list serves a whole walk in turn.
class ArtifactList {
 public:
  // Empties the list, with room for `count` artifacts whose names take `name_bytes`: grown once
  // per walk rather than by doubling, whose copies fault fresh pages on a large stage.
  void clear(std::size_t count, std::size_t name_bytes) {
    names_.clear();
    entries_.clear();
    names_.reserve(name_bytes);
    entries_.reserve(count);
    order_.reserve(count);
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
  StringMap to_map(const std::string& stage_id, std::vector<std::string>& colliding_keys) {
    order_.clear();
    for (std::size_t i = 0; i < entries_.size(); ++i)
      order_.push_back(Sorted{name(entries_[i]), i});
    // Equal names keep listing order, so the last of them is the one listed last.
    std::stable_sort(order_.begin(), order_.end(),
                     [](const Sorted& a, const Sorted& b) { return a.name < b.name; });
    StringMap map;
    map.reserve(order_.size(), names_.size() + order_.size() * HashText().size());
    for (std::size_t i = 0; i < order_.size(); ++i) {
      const bool replaced_later = i + 1 < order_.size() && order_[i + 1].name == order_[i].name;
      if (replaced_later) {
        const bool first_of_key = i == 0 || order_[i - 1].name != order_[i].name;
        if (first_of_key) {
          warn_same_key(stage_id, order_[i].name);
          colliding_keys.emplace_back(order_[i].name);
        }
        continue;
      }
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

  std::string names_;
  std::vector<Entry> entries_;
  struct Sorted {
    std::string_view name;
    std::size_t index;
  };
  std::vector<Sorted> order_;
};

// What the listing says of one entry of a stage, and so what the walk does with it.
enum class EntryKind : unsigned char { file, link, directory, refused };

// One stage's listing, taken whole before any file is opened so the reader can batch the
// files; warnings still follow the listing's order. Names share one text, NUL-terminated.
class StageListing {
 public:
  struct Entry {
    std::size_t name_offset;
    EntryKind kind;
    std::error_code error;  // why a refused entry is refused
  };

  void read(DIR* dir) {
    names_.clear();
    entries_.clear();
    const int dir_fd = ::dirfd(dir);
    while (const dirent* entry = next_entry(dir)) {
      if (is_dot_entry(entry->d_name)) continue;
      entries_.push_back(classify(dir_fd, *entry));
      names_.append(entry->d_name);
      names_.push_back('\0');
    }
  }
  const std::vector<Entry>& entries() const { return entries_; }
  const char* name(const Entry& entry) const { return names_.data() + entry.name_offset; }
  // Bytes the names take, their terminating NULs included.
  std::size_t name_bytes() const { return names_.size(); }

 private:
  Entry classify(int dir_fd, const dirent& entry) const {
    Entry result{names_.size(), EntryKind::file, {}};
    const auto type = entry_type(dir_fd, entry);
    if (!type) {
      result.kind = EntryKind::refused;
      result.error = type.error();
    } else if (*type == DT_LNK) {
      result.kind = EntryKind::link;
    } else if (*type == DT_DIR) {
      result.kind = EntryKind::directory;
    } else if (*type != DT_REG) {
      // Pipes, sockets and devices could block or never end; they are never opened.
      result.kind = EntryKind::refused;
      result.error = make_error_code(FileError::not_regular_file);
    }
    return result;
  }

  std::string names_;
  std::vector<Entry> entries_;
};

// A walk's reusable state: the reader, the listing and the artifact list, used by every stage
// in turn.
struct WalkScratch {
  std::unique_ptr<ArtifactReader> reader = ArtifactReader::create();
  StageListing listing;
  std::vector<const char*> files;
  std::vector<std::size_t> file_entries;  // the listing position of each of `files`
  ArtifactList artifacts;
};

// Hashes the stage's files through the reader and reports every entry in listing order: the
// link and refusal warnings, and each file's hash or its unreadable warning.
void collect_entries(int dir_fd, const std::string& stage_id, const std::string& stage_dir,
                     WalkScratch& scratch, std::vector<UncoveredEntry>& uncovered) {
  const auto& entries = scratch.listing.entries();
  scratch.files.clear();
  scratch.file_entries.clear();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].kind != EntryKind::file) continue;
    scratch.files.push_back(scratch.listing.name(entries[i]));
    scratch.file_entries.push_back(i);
  }
  std::size_t next = 0;
  const auto report_until = [&](std::size_t end) {
    for (; next < end; ++next) {
      const StageListing::Entry& entry = entries[next];
      const char* name = scratch.listing.name(entry);
      if (entry.kind == EntryKind::link) {
        warn_symlink(stage_id, name);
        uncovered.push_back({UncoveredKind::link, name});
      } else if (entry.kind == EntryKind::directory) {
        uncovered.push_back({UncoveredKind::subdirectory, name});
      } else if (entry.kind == EntryKind::refused) {
        warn_unreadable(stage_id, stage_dir, name, entry.error);
        const bool special = entry.error == make_error_code(FileError::not_regular_file);
        uncovered.push_back(
            {special ? UncoveredKind::special_file : UncoveredKind::unreadable_file, name});
      }
    }
  };
  scratch.reader->hash_files(
      dir_fd, scratch.files, [&](std::size_t file, const ArtifactHash& hash) {
        report_until(scratch.file_entries[file]);
        ++next;
        const char* name = scratch.files[file];
        if (hash) {
          scratch.artifacts.add(name, *hash);
          return;
        }
        warn_unreadable(stage_id, stage_dir, name, hash.error());
        const bool special = hash.error() == make_error_code(FileError::not_regular_file);
        uncovered.push_back(
            {special ? UncoveredKind::special_file : UncoveredKind::unreadable_file, name});
      });
  report_until(entries.size());
}

void warn_linked_stage(const std::string& stage_id) {
  warn("skipping symlinked stage directory " + stage_id +
       " (stage directories reached through a symlink are not hashed into the certificate)");
}

void warn_outside_stage(const std::string& stage_id) {
  warn("skipping stage " + stage_id +
       " (its directory lies outside the run directory and is not hashed into the certificate)");
}

StageWalk walk_opened_stage(const OpenedStage& stage, const std::string& run_dir,
                            const std::string& stage_id, WalkScratch& scratch) {
  StageWalk walk;
  walk.record.stage_id = stage_id;
  // The stream takes a descriptor of its own, so the caller's stays open for identity checks.
  UniqueFd listing_fd(::fcntl(stage.fd.get(), F_DUPFD_CLOEXEC, 0));
  if (!listing_fd) return walk;
  UniqueDir dir(::fdopendir(listing_fd.get()));
  if (!dir) return walk;
  listing_fd.release();
  scratch.listing.read(dir.get());
  scratch.artifacts.clear(scratch.listing.entries().size(), scratch.listing.name_bytes());
  collect_entries(::dirfd(dir.get()), stage_id, join_path(run_dir, stage_id), scratch,
                  walk.uncovered);
  walk.record.artifact_hashes = scratch.artifacts.to_map(stage_id, walk.colliding_keys);
  walk.record.status =
      walk.record.artifact_hashes.empty() ? CheckStatus::skipped : CheckStatus::passed;
  return walk;
}

// One stage's record; `found` tells whether its directory exists beneath the run directory.
StageRecord collect_stage_into(int run_fd, const std::string& run_dir, const std::string& stage_id,
                               WalkScratch& scratch, bool& found) {
  auto stage = open_stage(run_fd, stage_id);
  // A directory that exists but cannot be opened is found, and skipped.
  found = stage || stage.error().value() == EACCES;
  if (!stage) {
    StageRecord record;
    record.stage_id = stage_id;
    return record;
  }
  return walk_opened_stage(*stage, run_dir, stage_id, scratch).record;
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

std::expected<UniqueFd, std::error_code> open_run_directory(const std::string& run_dir) {
  UniqueFd fd(::open(run_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return std::unexpected(last_system_error());
  return fd;
}

std::expected<OpenedStage, std::error_code> open_stage(int run_fd, const std::string& stage_id) {
  auto fd = open_directory_beneath(run_fd, stage_id);
  if (!fd) {
    if (fd.error().value() == ELOOP) warn_linked_stage(stage_id);
    if (fd.error().value() == EXDEV) warn_outside_stage(stage_id);
    return std::unexpected(fd.error());
  }
  struct stat status {};
  if (::fstat(fd->get(), &status) != 0) return std::unexpected(last_system_error());
  return OpenedStage{std::move(*fd), DirectoryIdentity{status.st_dev, status.st_ino}};
}

StageWalk walk_stage(const OpenedStage& stage, const std::string& run_dir,
                     const std::string& stage_id) {
  WalkScratch scratch;
  return walk_opened_stage(stage, run_dir, stage_id, scratch);
}

StageRecord collect_stage(const std::string& run_dir, const std::string& stage_id) {
  WalkScratch scratch;
  bool found = false;
  const auto run_fd = open_run_directory(run_dir);
  if (!run_fd) {
    StageRecord record;
    record.stage_id = stage_id;
    return record;
  }
  return collect_stage_into(run_fd->get(), run_dir, stage_id, scratch, found);
}

std::vector<StageRecord> collect_stages(const std::string& run_dir, const StageList& stages) {
  const StageList discovered = stages.empty() ? discover_stages(run_dir) : StageList{};
  const StageList& stage_ids = stages.empty() ? discovered : stages;
  WalkScratch scratch;
  std::vector<StageRecord> records;
  records.reserve(stage_ids.size());
  bool any_found = false;
  const auto run_fd = open_run_directory(run_dir);
  for (const auto& stage_id : stage_ids) {
    bool found = false;
    if (run_fd) {
      records.push_back(collect_stage_into(run_fd->get(), run_dir, stage_id, scratch, found));
    } else {
      records.emplace_back().stage_id = stage_id;
    }
    any_found = any_found || found;
  }
  // A wrong run directory would otherwise give a certificate of skipped stages in silence.
  if (!any_found) {
    warn("no stage directory found in " + lossy_utf8(run_dir) +
         " (the certificate records no artifacts)");
  }
  return records;
}

}  // namespace certwright
