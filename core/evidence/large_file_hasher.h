// Large files read and hashed whole on threads of their own, several side by side.
//
// The SHA-256 of one file cannot be split, so a stage of large files is hashed at the speed of
// one CPU when one thread hashes them in turn. Here each file handed over is read and hashed by
// one of a few threads (as many as the reader may use), each with its own buffer, so as many
// large files as there are CPUs are hashed at once. Results are taken by ticket, so the reader
// still gives them in listing order. With fewer than two threads allowed, none is started and
// `available()` is false: the reader keeps every file to itself.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <expected>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>
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
  // Closes the files no thread has started on, unread (their results are no longer wanted: only
  // a reader given up on an error leaves any), waits for those being hashed, joins the threads.
  ~LargeFileHasher();
  LargeFileHasher(const LargeFileHasher&) = delete;
  LargeFileHasher& operator=(const LargeFileHasher&) = delete;

  // Whether files may be handed over.
  bool available() const { return threads_wanted_ >= 2; }

  // Hands over the open regular file `fd`, at its start, that measured `size` bytes once open;
  // it is closed once hashed. Its result is that of hash_open_file. Throws std::bad_alloc, with
  // `fd` closed, when out of memory.
  Ticket add(UniqueFd fd, std::size_t size);
  // Whether the file of `ticket`, handed over and not yet taken, is hashed.
  bool finished(Ticket ticket);
  // Waits for the file of `ticket`, handed over and not yet taken, and gives its result, once.
  // Rethrows what hashing threw (std::bad_alloc, when OpenSSL or the buffer's allocation fails).
  // Where no thread could be started, hashes the file itself.
  Result take(Ticket ticket);

 private:
  enum class Stage { queued, hashing, done };
  // A file from add() until take(). Its descriptor and result are the hashing thread's while
  // `stage` is hashing, and only then touched without the lock; a list keeps it in place.
  struct Job {
    Ticket ticket;
    UniqueFd fd;
    std::size_t size;
    Stage stage = Stage::queued;
    Result result{};
    std::exception_ptr failure;
  };

  void start_thread();
  void run();
  Job& find(Ticket ticket);
  static void hash(Job& job, std::unique_ptr<std::byte[]>& buffer);

  unsigned threads_wanted_;
  std::mutex mutex_;
  std::condition_variable work_;  // a job came, or stopping
  std::condition_variable done_;  // a job is done
  std::list<Job> jobs_;
  std::size_t queued_ = 0;  // jobs no thread has started on
  Ticket handed_ = 0;
  std::size_t idle_ = 0;  // threads waiting for a job
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace certwright
