// Large files read and hashed whole on threads of their own, several side by side.
//
// The SHA-256 of one file cannot be split, so a stage of large files is hashed at the speed of
// one CPU when one thread hashes them in turn. Here each file handed over is read and hashed by
// one of a few threads (as many as thread_count() allows), each with its own buffer, so as many
// large files as there are CPUs are hashed at once. Results are taken by ticket, so the reader
// still gives them in listing order. With fewer than two threads allowed, none is started and
// `available()` is false: the reader keeps every file to itself.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <expected>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/base/content_hash.h"
#include "core/base/unique_fd.h"

namespace certwright {

class LargeFileHasher {
 public:
  using Ticket = std::uint64_t;
  using Result = std::expected<HashText, std::error_code>;

  // With `threads` below 2 nothing is ever started.
  explicit LargeFileHasher(unsigned threads);
  // Waits for every file handed over, then joins the threads.
  ~LargeFileHasher();
  LargeFileHasher(const LargeFileHasher&) = delete;
  LargeFileHasher& operator=(const LargeFileHasher&) = delete;

  // Whether files may be handed over.
  bool available() const { return threads_wanted_ >= 2; }

  // Hands over the open regular file `fd`, at its start, that measured `size` bytes once open;
  // it is closed once hashed. Its result is that of hash_open_file.
  Ticket add(UniqueFd fd, std::size_t size);
  // Whether the file of `ticket` is hashed.
  bool finished(Ticket ticket);
  // Waits for the file of `ticket` and gives its result, once. Rethrows what hashing threw
  // (std::bad_alloc, when OpenSSL fails).
  Result take(Ticket ticket);

 private:
  struct Job {
    Ticket ticket;
    UniqueFd fd;
    std::size_t size;
  };
  struct Done {
    Result result;
    std::exception_ptr failure;
  };

  void start_thread();
  void run();

  unsigned threads_wanted_;
  std::mutex mutex_;
  std::condition_variable work_;  // a job came, or stopping
  std::condition_variable done_;  // a result came
  std::deque<Job> jobs_;
  std::unordered_map<Ticket, Done> results_;
  Ticket handed_ = 0;
  std::size_t idle_ = 0;  // threads waiting for a job
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace certwright
