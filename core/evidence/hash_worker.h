// SHA-256 of a sequence of files on a thread of its own, so that the reading thread spends its
// time on system calls while the digests are computed beside it.
//
// The reader hands over each file's bytes in order, one run at a time; the last run of a file
// names where its content hash goes. Every hand-over returns a ticket; once `finished(ticket)`,
// the run's bytes may be reused and, for a file's last run, its hash read. Where the process may
// use only one CPU or one thread (thread_count, core/base/usable_cpus.h), or no thread can be
// started, each run is hashed by the call that hands it over, so the results are the same; so it is
// too, from the next file on, once waits for the worker showed it kept from a CPU by other work.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <thread>

#include "core/base/content_hash.h"

namespace certwright {

class HashWorker {
 public:
  using Ticket = std::uint64_t;

  // Hashes on a thread of its own where `threads`, the threads its reader may keep busy, its own
  // included, are two or more; the default is thread_count().
  HashWorker();
  explicit HashWorker(unsigned threads);
  ~HashWorker();
  HashWorker(const HashWorker&) = delete;
  HashWorker& operator=(const HashWorker&) = delete;

  // Appends `size` bytes at `data` to the file being hashed; with `digest`, they are its last
  // bytes and its content hash is written there.
  Ticket add(const std::byte* data, std::size_t size, HashText* digest);
  // Forgets the bytes handed over for the file being hashed: it could not be read to its end.
  Ticket discard();

  // Whether the run of `ticket`, and every run before it, is hashed. Rethrows what hashing threw
  // (std::bad_alloc, when OpenSSL fails).
  bool finished(Ticket ticket) const;
  // Waits until finished(ticket).
  void wait(Ticket ticket);
  // Has the worker start on every run handed over so far. add() wakes it only once a batch
  // waits, so a reader calls this before it blocks on anything but wait(), which wakes it too.
  void wake();

  // Whether the runs are hashed on a thread of their own.
  bool threaded() const { return thread_.joinable(); }

 private:
  enum class Kind : unsigned char { append, finish, discard, stop };
  struct Job {
    const std::byte* data = nullptr;
    std::size_t size = 0;
    HashText* digest = nullptr;
    Kind kind = Kind::append;
  };
  // Runs in flight at most: a reader has one per open file and a few for the file it reads on.
  static constexpr std::size_t kQueueSize = 256;

  Ticket push(const Job& job);
  void stop_thread();
  void run();
  void perform(const Job& job);
  void rethrow_failure() const;

  std::array<Job, kQueueSize> queue_;
  // The counts of runs handed over and hashed, modulo 2^32: 32-bit words are what the kernel
  // waits on directly. Each on a cache line of its own, as the other side polls it.
  alignas(64) std::atomic<std::uint32_t> published_{0};
  alignas(64) std::atomic<std::uint32_t> done_{0};
  std::atomic<bool> failed_{false};
  std::exception_ptr failure_;  // written before failed_ is set
  // The reading thread's full counts. It reads done_ anew only when a ticket is beyond what it
  // last saw, which saves a transfer of that cache line per file.
  alignas(64) Ticket handed_ = 0;
  mutable Ticket seen_done_ = 0;
  std::uint32_t unwoken_runs_ = 0;  // handed over since the worker was last woken
  std::size_t unwoken_bytes_ = 0;
  int starved_waits_ = 0;       // waits that slept long: the worker was kept from a CPU
  bool between_files_ = true;   // the last run handed over ended its file
  std::optional<Sha256> file_;  // the worker's: the file being hashed, once its first run came
  std::thread thread_;
};

}  // namespace certwright
