#include "core/evidence/stage_walk.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <expected>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/base/content_hash.h"
#include "core/base/error.h"
#include "core/base/text.h"
#include "core/base/unique_fd.h"
#include "core/base/usable_cpus.h"
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

// Opens the run directory `path` (following links: the caller named it) for listing; the error
// otherwise. Only discovery lists it: resolving stages needs search permission alone.
// O_NONBLOCK: should `path` name a FIFO, the open must not wait for a writer.
std::expected<UniqueDir, std::error_code> open_listing(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return std::unexpected(last_system_error());
  UniqueDir dir(::fdopendir(fd.get()));
  if (!dir) return std::unexpected(last_system_error());
  fd.release();
  return dir;
}

// The next entry of `dir`, null at the end of the listing, or the error that broke the listing
// off: readdir gives null for both, and only errno tells them apart.
std::expected<const dirent*, std::error_code> next_entry(DIR* dir) {
  errno = 0;
  const dirent* entry = ::readdir(dir);
  if (!entry && errno != 0) return std::unexpected(last_system_error());
  return entry;
}

// What a failed walk says: the walk could not be done whole for want of descriptors or memory.
Error resource_failure(const std::string& what, std::error_code error) {
  return Error{what + ": " + error.message() +
               " (the process ran short of file descriptors or memory, even with one file open "
               "at a time; no certificate is written that would lack its files)"};
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

void warn_unlistable(const std::string& stage_id, const std::string& stage_dir,
                     std::error_code error) {
  warn("skipping stage " + stage_id + ": listing " + lossy_utf8(stage_dir) + " failed (" +
       error.message() + "; the stage is recorded as skipped, with no artifacts)");
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

  // Lists the whole directory; the error that broke the listing off, if one did (the entries
  // are then only part of what the directory holds).
  std::error_code read(DIR* dir) {
    names_.clear();
    entries_.clear();
    const int dir_fd = ::dirfd(dir);
    for (;;) {
      const auto entry = next_entry(dir);
      if (!entry) return entry.error();
      if (!*entry) return {};
      if (is_dot_entry((*entry)->d_name)) continue;
      entries_.push_back(classify(dir_fd, **entry));
      names_.append((*entry)->d_name);
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

void warn_linked_stage(const std::string& stage_id) {
  warn("skipping symlinked stage directory " + stage_id +
       " (stage directories reached through a symlink are not hashed into the certificate)");
}

void warn_outside_stage(const std::string& stage_id) {
  warn("skipping stage " + stage_id +
       " (its directory lies outside the run directory and is not hashed into the certificate)");
}

// What open_stage says of a stage it refuses: reached through a link, or leading outside.
void warn_unopened_stage(const std::string& stage_id, std::error_code error) {
  if (error.value() == ELOOP) warn_linked_stage(stage_id);
  if (error.value() == EXDEV) warn_outside_stage(stage_id);
}

// open_stage without its warnings, which a walk gives at the stage's turn.
std::expected<OpenedStage, std::error_code> open_stage_quietly(int run_fd,
                                                               const std::string& stage_id) {
  auto fd = open_directory_beneath(run_fd, stage_id);
  if (!fd) return std::unexpected(fd.error());
  struct stat status {};
  if (::fstat(fd->get(), &status) != 0) return std::unexpected(last_system_error());
  return OpenedStage{std::move(*fd), DirectoryIdentity{status.st_dev, status.st_ino}};
}

// Where the process may use two threads or more, the walk opens and lists up to this many stages
// at once and hands their files to the reader in one request, so that large files of later
// stages are hashed while earlier ones still are (one large file per stage is common: weights in
// one, images in another). Another stage is listed only while those listed hold fewer than
// kWindowFiles entries, so the listings held beside the largest stage's are small; and only
// while the descriptor limit gives each stage kDescriptorsPerStage, as it gives each reader of a
// split: under a tight limit a stage held open ahead would only take descriptors from the files.
constexpr std::size_t kWindowStages = 16;
constexpr std::size_t kWindowFiles = 1024;
constexpr std::uint64_t kDescriptorsPerStage = 32;

// How many stages the walk holds open and listed at once: one on one CPU, as a walk of one
// stage at a time.
std::size_t window_stages() {
  if (thread_count() < 2) return 1;
  return static_cast<std::size_t>(
      std::clamp<std::uint64_t>(open_file_limit() / kDescriptorsPerStage, 1, kWindowStages));
}

// A stage of a walk: opened and listed, perhaps while an earlier stage's files are still being
// hashed, and reported at its turn with the warnings, in the order, that walking it alone gives.
struct WalkedStage {
  const std::string* stage_id = nullptr;
  std::string stage_dir;
  UniqueFd owned_fd;           // the stage directory, when the walk opened it
  int fd = -1;                 // the stage directory; -1 when it could not be opened
  std::error_code open_error;  // why it could not be opened
  bool found = false;          // its directory exists beneath the run directory
  bool listed = false;         // its listing was read whole
  bool broke_off = false;      // its listing was opened but broke off
  std::error_code list_error;  // why it was not listed whole
  StageListing listing;
  std::size_t end_file = 0;  // its files in the window's request end here
  std::size_t next = 0;      // its next listing entry to report
  StageWalk walk;
};

// A walk's reusable state: the reader, the stages of the window, the request spanning their
// files and the artifact list, used by every stage in turn.
struct WalkScratch {
  std::unique_ptr<ArtifactReader> reader = ArtifactReader::create();
  std::size_t window_stages = 1;
  std::vector<WalkedStage> window;
  std::vector<const char*> files;
  std::vector<int> file_dirs;             // the stage directory of each of `files`
  std::vector<std::size_t> file_entries;  // the listing position of each of `files`
  ArtifactList artifacts;
};

// Lists the open stage whole through a descriptor of its own, closed once listed: the stage's
// own one opens the files, and stays the caller's for identity checks.
void list_stage(WalkedStage& stage) {
  UniqueFd listing_fd(::fcntl(stage.fd, F_DUPFD_CLOEXEC, 0));
  if (!listing_fd) return void(stage.list_error = last_system_error());
  const UniqueDir dir(::fdopendir(listing_fd.get()));
  if (!dir) return void(stage.list_error = last_system_error());
  listing_fd.release();
  stage.list_error = stage.listing.read(dir.get());
  stage.broke_off = bool(stage.list_error);
  stage.listed = !stage.list_error;
}

// Opens and lists the stage `stage_id` beneath the run directory, saying nothing yet.
void prepare_stage(int run_fd, const std::string& run_dir, const std::string& stage_id,
                   WalkedStage& stage) {
  stage.stage_id = &stage_id;
  stage.walk.record.stage_id = stage_id;
  auto opened = open_stage_quietly(run_fd, stage_id);
  // A directory that exists but cannot be opened is found, and skipped.
  stage.found = opened || opened.error().value() == EACCES;
  if (!opened) return void(stage.open_error = opened.error());
  stage.owned_fd = std::move(opened->fd);
  stage.fd = stage.owned_fd.get();
  stage.stage_dir = join_path(run_dir, stage_id);
  list_stage(stage);
}

// Whether opening or listing the stage ran short of descriptors or memory.
bool ran_short(const WalkedStage& stage) {
  return is_resource_error(stage.open_error) || is_resource_error(stage.list_error) ||
         std::ranges::any_of(stage.listing.entries(), [](const StageListing::Entry& entry) {
           return is_resource_error(entry.error);
         });
}

// Fills the window with the first of `stage_ids` and, where the walk looks ahead, the next ones.
// A stage ahead that runs short of descriptors or memory is left for its own turn, when nothing
// is held for the stages before it.
void fill_window(int run_fd, const std::string& run_dir, std::span<const std::string> stage_ids,
                 WalkScratch& scratch) {
  scratch.window.clear();
  scratch.window.reserve(scratch.window_stages);
  std::size_t entries = 0;
  for (const std::string& stage_id : stage_ids) {
    if (scratch.window.size() == scratch.window_stages || entries >= kWindowFiles) return;
    WalkedStage& stage = scratch.window.emplace_back();
    prepare_stage(run_fd, run_dir, stage_id, stage);
    if (scratch.window.size() > 1 && ran_short(stage)) return scratch.window.pop_back();
    entries += stage.listing.entries().size();
  }
}

// What a stage says at its turn before its entries: why it was not opened or not listed whole.
// A shortage of descriptors or memory is no property of the stage: it ends the walk, silently.
void begin_turn(WalkedStage& stage, WalkScratch& scratch) {
  warn_unopened_stage(*stage.stage_id, stage.open_error);
  if (is_resource_error(stage.list_error)) stage.walk.failure = stage.list_error;
  if (stage.broke_off && !stage.walk.failure)
    warn_unlistable(*stage.stage_id, stage.stage_dir, stage.list_error);
  if (stage.listed)
    scratch.artifacts.clear(stage.listing.entries().size(), stage.listing.name_bytes());
}

// Whether `error` is a shortage of descriptors or memory, which then ends the stage's walk.
bool short_of_resources(StageWalk& walk, std::error_code error) {
  if (!walk.failure && is_resource_error(error)) walk.failure = error;
  return bool(walk.failure);
}

// A file that cannot be covered: its warning, and its place among the uncovered entries.
void report_unreadable(WalkedStage& stage, const char* name, std::error_code error) {
  warn_unreadable(*stage.stage_id, stage.stage_dir, name, error);
  const bool special = error == make_error_code(FileError::not_regular_file);
  stage.walk.uncovered.push_back(
      {special ? UncoveredKind::special_file : UncoveredKind::unreadable_file, name});
}

// Reports the stage's entries that are not files, up to its listing position `end`: the link and
// refusal warnings. Stops at a shortage, leaving the entries after it as they are.
void report_until(WalkedStage& stage, std::size_t end) {
  const auto& entries = stage.listing.entries();
  for (; stage.next < end && !stage.walk.failure; ++stage.next) {
    const StageListing::Entry& entry = entries[stage.next];
    const char* name = stage.listing.name(entry);
    if (entry.kind == EntryKind::link) {
      warn_symlink(*stage.stage_id, name);
      stage.walk.uncovered.push_back({UncoveredKind::link, name});
    } else if (entry.kind == EntryKind::directory) {
      stage.walk.uncovered.push_back({UncoveredKind::subdirectory, name});
    } else if (entry.kind == EntryKind::refused) {
      if (!short_of_resources(stage.walk, entry.error)) report_unreadable(stage, name, entry.error);
    }
  }
}

// Reports the file `file` of the request, one of the stage's, with the entries listed before it:
// its hash, or its unreadable warning.
void report_file(WalkedStage& stage, WalkScratch& scratch, std::size_t file,
                 const ArtifactHash& hash) {
  report_until(stage, scratch.file_entries[file]);
  ++stage.next;
  const char* name = scratch.files[file];
  if (stage.walk.failure || (!hash && short_of_resources(stage.walk, hash.error()))) return;
  if (hash) return scratch.artifacts.add(name, *hash);
  report_unreadable(stage, name, hash.error());
}

// Reports the stage's last entries and records its artifacts, skipped when nothing was hashed.
// Whether the walk goes on: not after a shortage.
bool finish_turn(WalkedStage& stage, WalkScratch& scratch) {
  if (stage.listed) report_until(stage, stage.listing.entries().size());
  if (stage.walk.failure || (stage.fd < 0 && is_resource_error(stage.open_error))) return false;
  if (!stage.listed) return true;
  StageRecord& record = stage.walk.record;
  record.artifact_hashes = scratch.artifacts.to_map(*stage.stage_id, stage.walk.colliding_keys);
  record.status = record.artifact_hashes.empty() ? CheckStatus::skipped : CheckStatus::passed;
  return true;
}

// Hashes the files of every stage of the window in one request, and reports the stages in turn:
// each stage's warnings all come before the next one's, as when walked one at a time. How many
// stages were reported: fewer than the window's when one ran short, the last of them that one.
std::size_t walk_window(WalkScratch& scratch) {
  std::vector<WalkedStage>& window = scratch.window;
  scratch.files.clear();
  scratch.file_dirs.clear();
  scratch.file_entries.clear();
  for (WalkedStage& stage : window) {
    const auto& entries = stage.listing.entries();
    for (std::size_t i = 0; stage.listed && i < entries.size(); ++i) {
      if (entries[i].kind != EntryKind::file) continue;
      scratch.files.push_back(stage.listing.name(entries[i]));
      scratch.file_dirs.push_back(stage.fd);
      scratch.file_entries.push_back(i);
    }
    stage.end_file = scratch.files.size();
  }
  std::size_t turn = 0;
  bool going = true;
  begin_turn(window[turn], scratch);
  // Ends the turns of the stages whose files all come before the file `file`.
  const auto reach = [&](std::size_t file) {
    while (going && turn < window.size() && file >= window[turn].end_file) {
      going = finish_turn(window[turn], scratch);
      if (going && ++turn < window.size()) begin_turn(window[turn], scratch);
    }
  };
  if (!scratch.files.empty()) {
    scratch.reader->hash_files(scratch.file_dirs, scratch.files,
                               [&](std::size_t file, const ArtifactHash& hash) {
                                 reach(file);
                                 if (going) report_file(window[turn], scratch, file, hash);
                               });
  }
  reach(scratch.files.size());
  return going ? window.size() : turn + 1;
}

// The stage's record once reported, or the shortage that ended the walk at it.
std::expected<StageRecord, Error> record_of(WalkedStage& stage) {
  if (stage.fd < 0 && is_resource_error(stage.open_error))
    return std::unexpected(
        resource_failure("cannot open stage " + *stage.stage_id, stage.open_error));
  if (stage.walk.failure)
    return std::unexpected(
        resource_failure("cannot walk stage " + *stage.stage_id, stage.walk.failure));
  return std::move(stage.walk.record);
}

// The run directory's stages as discovery finds them, or the error that kept it from listing
// them. A listing that breaks off is warned about and gives the stages listed until then.
std::expected<StageList, std::error_code> list_stages(const std::string& run_dir) {
  const auto dir = open_listing(run_dir);
  if (!dir) return std::unexpected(dir.error());
  StageList stages;
  const int dir_fd = ::dirfd(dir->get());
  for (;;) {
    const auto entry = next_entry(dir->get());
    if (!entry) {
      if (is_resource_error(entry.error())) return std::unexpected(entry.error());
      warn("listing " + lossy_utf8(run_dir) + " for its stages failed (" + entry.error().message() +
           "; only the stages listed until then are recorded)");
      break;
    }
    if (!*entry) break;
    const char* name = (*entry)->d_name;
    // Only real directories: a link to a directory is never discovered as a stage.
    if (is_dot_entry(name) || entry_type(dir_fd, **entry) != DT_DIR) continue;
    if (is_valid_utf8(name)) stages.emplace_back(name);
  }
  std::sort(stages.begin(), stages.end());
  return stages;
}

// The run directory open for the walk; a descriptor that is not open when it cannot be opened
// (every stage is then missing), and the failure when the process ran short of descriptors or
// memory.
std::expected<UniqueFd, Error> open_walked_run(const std::string& run_dir) {
  auto fd = open_run_directory(run_dir);
  if (fd) return std::move(*fd);
  if (is_resource_error(fd.error()))
    return std::unexpected(resource_failure("cannot open " + lossy_utf8(run_dir), fd.error()));
  return UniqueFd();
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
  return list_stages(run_dir).value_or(StageList{});
}

// O_PATH: the descriptor only resolves the stages beneath it, for which search permission is
// enough; a run directory that may be entered but not listed (mode 0311) loses no stage.
std::expected<UniqueFd, std::error_code> open_run_directory(const std::string& run_dir) {
  UniqueFd fd(::open(run_dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return std::unexpected(last_system_error());
  return fd;
}

std::expected<OpenedStage, std::error_code> open_stage(int run_fd, const std::string& stage_id) {
  auto stage = open_stage_quietly(run_fd, stage_id);
  if (!stage) warn_unopened_stage(stage_id, stage.error());
  return stage;
}

StageWalk walk_stage(const OpenedStage& stage, const std::string& run_dir,
                     const std::string& stage_id) {
  WalkScratch scratch;
  WalkedStage& walked = scratch.window.emplace_back();
  walked.stage_id = &stage_id;
  walked.walk.record.stage_id = stage_id;
  walked.fd = stage.fd.get();
  walked.stage_dir = join_path(run_dir, stage_id);
  list_stage(walked);
  walk_window(scratch);
  return std::move(walked.walk);
}

std::expected<StageRecord, Error> collect_stage(const std::string& run_dir,
                                                const std::string& stage_id) {
  const auto run_fd = open_walked_run(run_dir);
  if (!run_fd) return std::unexpected(run_fd.error());
  if (!*run_fd) {
    StageRecord record;
    record.stage_id = stage_id;
    return record;
  }
  WalkScratch scratch;
  fill_window(run_fd->get(), run_dir, std::span(&stage_id, 1), scratch);
  walk_window(scratch);
  return record_of(scratch.window.front());
}

std::expected<std::vector<StageRecord>, Error> collect_stages(const std::string& run_dir,
                                                              const StageList& stages) {
  StageList discovered;
  if (stages.empty()) {
    auto listed = list_stages(run_dir);
    if (!listed && is_resource_error(listed.error()))
      return std::unexpected(
          resource_failure("cannot list " + lossy_utf8(run_dir), listed.error()));
    discovered = std::move(listed).value_or(StageList{});
  }
  const StageList& stage_ids = stages.empty() ? discovered : stages;
  std::vector<StageRecord> records;
  records.reserve(stage_ids.size());
  bool any_found = false;
  const auto run_fd = open_walked_run(run_dir);
  if (!run_fd) return std::unexpected(run_fd.error());
  if (!*run_fd) {
    for (const auto& stage_id : stage_ids)
      records.emplace_back().stage_id = stage_id;
  } else {
    WalkScratch scratch;
    scratch.window_stages = window_stages();
    for (std::size_t first = 0; first < stage_ids.size(); first += scratch.window.size()) {
      fill_window(run_fd->get(), run_dir, std::span(stage_ids).subspan(first), scratch);
      const std::size_t reported = walk_window(scratch);
      for (std::size_t i = 0; i < reported; ++i) {
        any_found = any_found || scratch.window[i].found;
        auto record = record_of(scratch.window[i]);
        if (!record) return std::unexpected(std::move(record.error()));
        records.push_back(std::move(*record));
      }
    }
  }
  // A wrong run directory would otherwise give a certificate of skipped stages in silence.
  if (!any_found) {
    warn("no stage directory found in " + lossy_utf8(run_dir) +
         " (the certificate records no artifacts)");
  }
  return records;
}

}  // namespace certwright
