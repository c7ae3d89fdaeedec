// Which stages a certificate records, and the walk that hashes their artifacts.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <compare>
#include <expected>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "core/base/error.h"
#include "core/base/unique_fd.h"
#include "core/record/certificate.h"

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
// An unlistable run directory gives an empty list, silently; a listing that breaks off is warned
// about and gives the directories listed until then.
StageList discover_stages(const std::string& run_dir);

// Whether a listed name is "." or "..".
bool is_dot_entry(const char* name);

// The entry's type as the listing reports it, links not followed; the query's error otherwise.
std::expected<unsigned char, std::error_code> entry_type(int dir_fd, const dirent& entry);

// The run directory open for resolving stages beneath it, as an O_PATH descriptor (search
// permission suffices; it cannot be listed through it); a link to it is followed, as the caller
// named it. The open error otherwise.
std::expected<UniqueFd, std::error_code> open_run_directory(const std::string& run_dir);

// What the kernel calls an open directory: two stage ids that name one directory share it.
struct DirectoryIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  auto operator<=>(const DirectoryIdentity&) const = default;
};

// A stage directory open beneath the run directory.
struct OpenedStage {
  UniqueFd fd;
  DirectoryIdentity identity;
};

// The directory of `stage_id` beneath the open run directory, no component of the stage id
// followed when it is a link and nothing resolved outside the run directory. A stage reached
// through a link, or leading outside, is warned about here and fails with ELOOP or EXDEV; any
// other failure is the open error (ENOENT, ENOTDIR, EACCES, ...), silently.
std::expected<OpenedStage, std::error_code> open_stage(int run_fd, const std::string& stage_id);

// An entry of a stage directory that the stage's record cannot cover.
enum class UncoveredKind { subdirectory, link, special_file, unreadable_file };
struct UncoveredEntry {
  UncoveredKind kind;
  std::string name;  // the entry's own name, raw bytes
};

// One walked stage: its record, and what the record leaves out or cannot tell apart.
struct StageWalk {
  StageRecord record;
  std::vector<std::string> colliding_keys;  // keys that several names became
  std::vector<UncoveredEntry> uncovered;    // in listing order
  // Set when the process ran short of descriptors or memory (is_resource_error) even opening
  // one file at a time: the record then lacks files the stage holds and must not be used.
  std::error_code failure;
};

// Walks the open stage directory: every file directly inside it hashed; links, unreadable
// files and anything that is not a regular file once opened warned about and left out; names
// that become one key warned about (the one listed last is kept); skipped when nothing was
// hashed. A directory that cannot be listed is skipped with no artifacts: silently when the
// listing cannot be opened, with a warning naming the stage and the error when it breaks off.
// `run_dir` is only shown in warnings. The files are read by the engine ArtifactReader::create
// chooses.
StageWalk walk_stage(const OpenedStage& stage, const std::string& run_dir,
                     const std::string& stage_id);

// One stage's record, its directory opened beneath `run_dir` as open_stage does; a stage whose
// directory cannot be opened is skipped with no artifacts. Fails, naming the stage and the error,
// only when the process ran short of descriptors or memory (StageWalk::failure).
std::expected<StageRecord, Error> collect_stage(const std::string& run_dir,
                                                const std::string& stage_id);

// One record per stage id, in list order; an empty list is first replaced by discovery. One
// warning when none of the stage directories exists (a wrong run directory, most likely). Fails
// as collect_stage does, for the first stage that failed. Where the process may use two threads
// or more, the files of a few stages ahead are hashed while earlier ones are reported; the
// records and the warnings, and their order, are those of one stage at a time.
std::expected<std::vector<StageRecord>, Error> collect_stages(const std::string& run_dir,
                                                              const StageList& stages);

}  // namespace certwright
