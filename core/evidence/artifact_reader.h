// The I/O engine of the stage walk: opens, sizes, reads, hashes and closes the files of a stage,
// or of a few stages at once.
//
// Why it exists: on a stage of many small files the walk's cost is system calls, four per file
// (open, a read with the data, a read that confirms the end, close), and then hashing. Where the
// kernel grants an io_uring instance, the engine submits the opens, reads and closes of many
// files in batches, on the calling thread, without a polling or forced kernel worker thread.
// Elsewhere (old kernels, io_uring refused by a seccomp profile or by kernel.io_uring_disabled)
// it falls back to the classic loop, silently. Where the process may use two CPUs or more, the
// bytes read are hashed on one thread beside the reading one (core/evidence/hash_worker.h), so
// reading and hashing overlap, and files of 1 MiB or more are each read and hashed whole by one
// of a few threads side by side (core/evidence/large_file_hasher.h), as many as the process may
// use CPUs; a request of many files is split between as many readers, each on a thread of its
// own (core/evidence/split_reader.h).
//
// What it guarantees, whichever engine runs:
// - results come back for every requested name, strictly in request order, so the walk's
//   warnings and its map are the same whatever the engine;
// - every file is opened relative to the stage's descriptor without following a link and
//   without blocking; anything that is not a regular file once open is refused with "not a
//   regular file" and never read;
// - a file is read until a read gives nothing or, saving that read, until the bytes read reach
//   the size measured after opening (content_hash.h's `read_ends_file`), never ended by a short
//   read alone;
// - no descriptor is used once its close has been submitted: a file whose read went with its
//   close and fell short is opened again under the same rules;
// - memory is bounded: both engines read through two buffers in turn, and the batched one keeps
//   a fixed number of files in flight, each with a buffer in which a small file is read whole;
//   the results waiting for their hash are as many as the files in flight; each large file
//   thread reads through a buffer of 256 KiB of its own;
// - descriptors are bounded too: the batched engine keeps at most half the process's limit
//   (RLIMIT_NOFILE) open, readers side by side their share of that, the classic engine as many
//   files with the large file hasher; a shortage of descriptors or memory on an open is
//   retried with fewer files open before it becomes that file's result (the classic engine
//   retries once its large files are hashed and have given their descriptors back).
//
// The listing, the decisions by entry type and the warnings belong to the stage walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <system_error>

#include "core/base/content_hash.h"

namespace certwright {

// Which engine reads the files.
enum class IoEngine { classic, uring };

// One file's content hash, or the error that stopped its opening or reading.
using ArtifactHash = std::expected<HashText, std::error_code>;

// Called once per requested name, in request order, with its index and its result.
using ArtifactSink = std::function<void(std::size_t index, const ArtifactHash& result)>;

// What one reader of several may use.
struct ReaderShare {
  // The threads it may keep busy, its own included: with two or more, the bytes it reads are
  // hashed on a thread beside it and files of 1 MiB or more side by side on as many.
  unsigned threads = 1;
  // How many readers read at once, each keeping open its share of the descriptors that one
  // alone would.
  unsigned readers = 1;
};

class ArtifactReader {
 public:
  // The engine that the environment variable CERTWRIGHT_IO names ("classic" or "uring"; any
  // other value counts as unset), otherwise io_uring where the kernel grants it. A request for
  // io_uring that the kernel refuses gives the classic engine: the choice never fails.
  // Where the process may run two threads or more (thread_count, core/base/usable_cpus.h), a
  // request of many files is split between readers on that many threads (split_reader.h).
  static std::unique_ptr<ArtifactReader> create();
  static std::unique_ptr<ArtifactReader> create(IoEngine wanted);
  // One reader of the wanted engine that uses what `share` gives it, and reads on the calling
  // thread.
  static std::unique_ptr<ArtifactReader> create(IoEngine wanted, ReaderShare share);

  virtual ~ArtifactReader() = default;
  virtual IoEngine engine() const = 0;

  // Hashes each of `names`, names[i] a file of the directory open as `dir_fds[i]` (a request may
  // span several directories: the walk hands over the files of stages ahead together), and
  // gives each result to `done` in the order of `names`. Cannot fail as a whole: each file's
  // failure is its result. A file whose open fails for want of resources (is_resource_error) is
  // opened again with fewer files open; that error is its result only when it cannot be opened
  // even alone.
  virtual void hash_files(std::span<const int> dir_fds, std::span<const char* const> names,
                          const ArtifactSink& done) = 0;
  // The same for files all of the directory open as `dir_fd`.
  void hash_files(int dir_fd, std::span<const char* const> names, const ArtifactSink& done);
};

// Whether `error` says the process or the system ran short (EMFILE, ENFILE, ENOMEM): a
// property of the moment, not of the file that could not be opened.
bool is_resource_error(std::error_code error);

// The soft limit on the descriptors this process may hold (RLIMIT_NOFILE); UINT64_MAX for none.
std::uint64_t open_file_limit();

// The files the batched engine keeps open at once under a soft limit of `open_files`
// descriptors (RLIMIT_NOFILE): half of them, at most 64, at least one.
std::size_t files_in_flight_for(std::uint64_t open_files);

// The value of CERTWRIGHT_IO as an engine; none when unset or not an engine's name.
std::optional<IoEngine> io_engine_from_environment();

}  // namespace certwright
