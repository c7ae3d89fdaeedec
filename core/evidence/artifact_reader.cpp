#include "core/evidence/artifact_reader.h"

#include <fcntl.h>
#include <liburing.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "core/base/environment.h"
#include "core/base/error.h"
#include "core/base/memory_pages.h"
#include "core/base/unique_fd.h"
#include "core/base/usable_cpus.h"
#include "core/evidence/hash_worker.h"
#include "core/evidence/large_file_hasher.h"
#include "core/evidence/split_reader.h"

namespace certwright {
namespace {

// Each read of a file too large for the first read asks for this much, into one of kReadBuffers
// buffers in turn (ReadBuffers) while the worker hashes the others. Engine alone, 5 runs each:
// large (6 x 256 MiB) 1.00-1.02 s with two buffers of 256 KiB, 1.03-1.08 s with two, three or
// four of 128 KiB, which also cost 0.1-0.2 s more CPU time (twice the waits for the worker);
// mixed 0.33-0.35 s against 0.34-0.37 s.
constexpr std::size_t kReadSize = 256 * 1024;
constexpr std::size_t kReadBuffers = 2;

// Files the batched engine keeps open at once at most, so the memory it takes is bounded whatever
// a stage holds: each has a buffer in which a small file is read whole, and every larger file is
// read through two buffers of kReadSize once it is the head (64 x 64 KiB + 2 x 256 KiB in all).
// With the page cache dropped, 64 files in flight walked 120,000 small files in 2.3-2.9 s
// against 3.2-3.7 s for 16 or 32; warm, 128 and 256 were slower.
constexpr std::size_t kFilesInFlight = 64;

// A file measured smaller than this is read whole by one read into its slot's buffer, with its
// close submitted alongside; most artifacts are. These buffers take memory only as reads fill
// them.
constexpr std::size_t kFirstReadSize = 64 * 1024;

// The fewest slots a reader of several has. Readers side by side share kFilesInFlight slots, so
// that their first-read buffers take no more memory than one reader's: on 3,000 files of 60 KiB,
// two readers of 64 slots each took 4.2 MiB more than one reader.
constexpr std::size_t kFewestSlots = 16;

// Operations a slot has in the ring at most: a read and its linked close.
constexpr unsigned kRingEntries = 2 * kFilesInFlight;

// A file measured at least this large is read and hashed whole by a thread of the large file
// hasher, beside other such files, where the process may run two threads or more. Each costs a
// hand-over and a wake-up of a few microseconds against a millisecond or more of hashing.
constexpr std::size_t kLargeFile = 1024 * 1024;

constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

std::error_code system_error(int error) {
  return {error, std::system_category()};
}

// A read buffer whose pages are touched only as reads fill them.
std::unique_ptr<std::byte[]> uninitialised_bytes(std::size_t size) {
  return std::unique_ptr<std::byte[]>(new std::byte[size]);
}

// One file by its name, one system call at a time: open, fstat, reads, close.
ArtifactHash hash_by_name(int dir_fd, const char* name, std::span<std::byte> buffer) {
  const UniqueFd fd(::openat(dir_fd, name, kOpenFlags));
  if (!fd) return std::unexpected(last_system_error());
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return std::unexpected(last_system_error());
  if (!S_ISREG(status.st_mode))
    return std::unexpected(make_error_code(FileError::not_regular_file));
  return hash_open_file(fd.get(), static_cast<std::size_t>(status.st_size), buffer);
}

// Two read buffers of kReadSize used in turn, so that one is read into while the worker hashes
// what was read into the other.
class ReadBuffers {
 public:
  ReadBuffers() : bytes_(uninitialised_bytes(kReadBuffers * kReadSize)) {}
  // The next buffer, once the worker is done with the bytes last handed over from it.
  std::byte* next(HashWorker& worker) {
    const std::size_t which = next_;
    next_ = (next_ + 1) % kReadBuffers;
    worker.wait(tickets_[which]);
    return bytes_.get() + which * kReadSize;
  }
  // Whether `bytes` is one of them.
  bool holds(const std::byte* bytes) const {
    return bytes >= bytes_.get() && bytes < bytes_.get() + kReadBuffers * kReadSize;
  }
  // Records that the bytes read into `buffer`, one of them, were handed over as `ticket`.
  void handed(const std::byte* buffer, HashWorker::Ticket ticket) {
    tickets_[static_cast<std::size_t>(buffer - bytes_.get()) / kReadSize] = ticket;
  }

 private:
  std::unique_ptr<std::byte[]> bytes_;
  std::size_t next_ = 0;
  HashWorker::Ticket tickets_[kReadBuffers] = {};
};

// The classic engine: open, fstat, reads and close one system call at a time on this thread,
// every read handed to the hash worker; results wait in order until their hash is done.
class ClassicReader final : public ArtifactReader {
 public:
  explicit ClassicReader(ReaderShare share)
      : large_limit_(files_in_flight_for(open_file_limit() / share.readers)),
        large_(share.threads),
        worker_(share.threads) {}
  IoEngine engine() const override { return IoEngine::classic; }

  void hash_files(std::span<const int> dir_fds, std::span<const char* const> names,
                  const ArtifactSink& done) override {
    std::size_t head = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
      // Each large file keeps its descriptor until hashed: no more are open than the batched
      // engine would keep.
      while (i - head == kFilesInFlight || large_open_ == large_limit_)
        deliver(head++, done);
      Pending& file = pending_[i % kFilesInFlight];
      read_file(dir_fds[i], names[i], file);
      // A shortage while large files hold descriptors is tried again once they are hashed, so
      // that a file one thread alone can open is never refused for want of them.
      if (is_resource_error(file.error) && large_open_ > 0) {
        while (large_open_ > 0)
          deliver(head++, done);
        read_file(dir_fds[i], names[i], file);
      }
    }
    while (head < names.size())
      deliver(head++, done);
  }

 private:
  // A file handed to the worker: its digest once the ticket is finished, or why it failed.
  struct Pending {
    std::error_code error;
    HashText digest{};
    HashWorker::Ticket ticket = 0;
    std::optional<LargeFileHasher::Ticket> large;  // hashed by the large file hasher
  };

  void read_file(int dir_fd, const char* name, Pending& file) {
    file = Pending{};
    UniqueFd fd(::openat(dir_fd, name, kOpenFlags));
    if (!fd) return void(file.error = last_system_error());
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return void(file.error = last_system_error());
    if (!S_ISREG(status.st_mode))
      return void(file.error = make_error_code(FileError::not_regular_file));
    const auto size = static_cast<std::size_t>(status.st_size);
    if (size >= kLargeFile && large_.available()) {
      file.large = large_.add(std::move(fd), size);
      ++large_open_;
      return;
    }
    std::size_t total = 0;
    for (;;) {
      std::byte* buffer = buffers_.next(worker_);
      const ssize_t count = ::read(fd.get(), buffer, kReadSize);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) {
        file.error = last_system_error();
        if (total > 0) worker_.discard();
        return;
      }
      const auto got = static_cast<std::size_t>(count);
      total += got;
      const bool last = read_ends_file(got, total, size);
      file.ticket = worker_.add(buffer, got, last ? &file.digest : nullptr);
      buffers_.handed(buffer, file.ticket);
      if (last) return;
    }
  }

  void deliver(std::size_t index, const ArtifactSink& done) {
    const Pending& file = pending_[index % kFilesInFlight];
    if (file.error) return done(index, std::unexpected(file.error));
    if (file.large) {
      worker_.wake();  // the runs handed over are hashed while this thread waits
      --large_open_;
      return done(index, large_.take(*file.large));
    }
    worker_.wait(file.ticket);
    done(index, file.digest);
  }

  ReadBuffers buffers_;
  Pending pending_[kFilesInFlight];
  std::size_t large_open_ = 0;  // files with the large file hasher, not yet delivered
  std::size_t large_limit_;
  LargeFileHasher large_;
  HashWorker worker_;  // last: joined before the buffers it reads are freed
};

// The batched engine. File i of a request uses slot i % slots_used_; a slot moves through
// open, fstat (here, on this thread), reads and close. A file measured smaller than its first
// read has that read and its close submitted together, so the ring holds at most two operations
// per slot and its completion queue cannot overflow. Files are handed to the hash worker in
// request order, and a file too large for the first read is read only once it is the next to be
// handed over, through two buffers in turn: one is read into while the worker hashes the other.
// Completions may arrive in any order, results leave in request order.
class UringReader final : public ArtifactReader {
 public:
  static std::unique_ptr<UringReader> create(ReaderShare share) {
    auto reader = std::unique_ptr<UringReader>(new UringReader(share));
    if (io_uring_queue_init(kRingEntries, &reader->ring_, 0) != 0) return nullptr;
    reader->ring_ready_ = true;
    if (!reader->has_operations()) return nullptr;
    return reader;
  }
  ~UringReader() override {
    if (!ring_ready_) return;
    abandon_ring();
    io_uring_queue_exit(&ring_);
  }
  IoEngine engine() const override { return IoEngine::uring; }

  void hash_files(std::span<const int> dir_fds, std::span<const char* const> names,
                  const ArtifactSink& done) override {
    Request request{dir_fds, names, done};
    std::size_t started = 0;
    while (request.head < names.size()) {
      while (started < names.size() && started < request.head + files_in_flight_ &&
             slots_[started % slots_used_].state == State::free) {
        start_open(request, started);
        ++started;
      }
      if (in_flight_ > 0) {
        worker_.wake();  // the ring may keep this thread waiting
        io_uring_submit_and_wait(&ring_, 1);
        reap();
      } else if (Slot& head = slots_[request.head % slots_used_]; head.state == State::large) {
        worker_.wake();  // the runs handed over are hashed while this thread waits
        take_large(head);
      } else {
        // Nothing in the ring: the head file is handed over and waits only for its hash.
        worker_.wait(head.ticket);
      }
      hand_over(request);
      deliver_ready(request);
    }
    // The last closes: nothing may stay in the ring once the request is answered.
    while (in_flight_ > 0) {
      io_uring_submit_and_wait(&ring_, 1);
      reap();
    }
  }

 private:
  // What a slot's file is doing. `measured`: open, and too large for the first read, so it is
  // read once it is the next to be handed over. `reopen`: its read, submitted with the close,
  // did not reach the measured size, so the rest of the file is no longer at hand. `starved`:
  // its open failed for want of descriptors or memory, or it was closed to give its descriptor
  // back, so it is opened again once it is the next to be handed over. `hashing`: all of it is
  // with the worker; `hashed`: its digest is at hand. `large`: it is with the large file hasher,
  // which closes it.
  enum class State {
    free,
    opening,
    measured,
    reading,
    filled,
    reopen,
    starved,
    failed,
    hashing,
    hashed,
    large,
    closing
  };
  // Which operation a completion answers; the low bit of its user data.
  enum Operation : std::uint64_t { kOpenOrRead = 0, kClose = 1 };
  struct Slot {
    State state = State::free;
    std::size_t index = 0;
    int fd = -1;              // -1 once its close has been submitted
    unsigned operations = 0;  // in the ring
    std::size_t size = 0;     // measured after opening
    std::size_t total = 0;    // bytes read so far
    std::size_t filled = 0;   // bytes in the buffer, not yet handed over
    bool ended = false;       // no read is needed any more
    bool handed = false;      // some of its bytes are with the worker
    std::error_code error;
    HashText digest{};
    HashWorker::Ticket ticket = 0;  // of its last bytes handed over
    LargeFileHasher::Ticket large = 0;
    std::byte* first_read = nullptr;  // this slot's buffer for the first read
    std::byte* buffer = nullptr;      // where the pending or last read goes
    std::size_t asked = 0;            // what it asks for
  };
  struct Request {
    std::span<const int> dir_fds;
    std::span<const char* const> names;
    const ArtifactSink& done;
    std::size_t head = 0;  // the next result to give
    std::size_t fed = 0;   // the next file to hand over
  };

  explicit UringReader(ReaderShare share)
      : slots_used_(std::max(kFilesInFlight / share.readers, kFewestSlots)),
        files_in_flight_(
            std::min(slots_used_, files_in_flight_for(open_file_limit() / share.readers))),
        first_reads_(uninitialised_bytes(kFirstReadSize * slots_used_)),
        large_(share.threads),
        worker_(share.threads) {
    for (std::size_t i = 0; i < slots_used_; ++i)
      slots_[i].first_read = first_reads_.get() + i * kFirstReadSize;
    // Small files touch a page or two of their 64 KiB: with huge pages all 4 MiB would be resident.
    advise_small_pages(first_reads_.get(), kFirstReadSize * slots_used_);
  }

  bool has_operations() {
    io_uring_probe* probe = io_uring_get_probe_ring(&ring_);
    if (!probe) return false;
    bool all = true;
    for (const int op : {IORING_OP_OPENAT, IORING_OP_READ, IORING_OP_CLOSE})
      all = all && io_uring_opcode_supported(probe, op);
    io_uring_free_probe(probe);
    return all;
  }

  // A submission entry for `slot`'s next operation. The ring has room for every slot's two, but
  // entries not yet submitted count too, so a full queue is submitted first.
  io_uring_sqe* entry_for(Slot& slot, Operation operation) {
    io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
    if (!sqe) {
      io_uring_submit(&ring_);
      sqe = io_uring_get_sqe(&ring_);
    }
    io_uring_sqe_set_data64(sqe, static_cast<std::uint64_t>(&slot - slots_) << 1 | operation);
    ++slot.operations;
    ++in_flight_;
    return sqe;
  }

  void start_open(const Request& request, std::size_t index) {
    Slot& slot = slots_[index % slots_used_];
    slot = Slot{.state = State::opening, .index = index, .first_read = slot.first_read};
    io_uring_prep_openat(entry_for(slot, kOpenOrRead), request.dir_fds[index], request.names[index],
                         kOpenFlags, 0);
  }

  // Submits the slot's next read. A file measured smaller than the first read is read whole by
  // it into the slot's own buffer, so the close goes with it, hard-linked (a plain link would
  // cancel the close on the short read that ends such a file). From then on the descriptor is
  // the ring's: should the read not reach the size after all, the file is opened again (see
  // reopen), never read through that descriptor, whose number a later open may already have
  // taken. Any other file is read through the head buffer the worker is not hashing.
  void start_read(Slot& slot) {
    const bool with_close = slot.total == 0 && slot.size < kFirstReadSize;
    if (with_close) {
      slot.buffer = slot.first_read;
      slot.asked = kFirstReadSize;
    } else {
      slot.buffer = head_buffers_.next(worker_);
      slot.asked = kReadSize;
    }
    slot.state = State::reading;
    if (with_close && io_uring_sq_space_left(&ring_) < 2) io_uring_submit(&ring_);
    io_uring_sqe* read = entry_for(slot, kOpenOrRead);
    io_uring_prep_read(read, slot.fd, slot.buffer, static_cast<unsigned>(slot.asked), slot.total);
    if (!with_close) return;
    io_uring_sqe_set_flags(read, IOSQE_IO_HARDLINK);
    io_uring_prep_close(entry_for(slot, kClose), std::exchange(slot.fd, -1));
  }

  // Closes the slot's file unless its close is already on its way; the slot is free once no
  // operation of it is left in the ring.
  void release(Slot& slot) {
    if (slot.fd >= 0) io_uring_prep_close(entry_for(slot, kClose), std::exchange(slot.fd, -1));
    slot.state = slot.operations > 0 ? State::closing : State::free;
  }
  static void fail(Slot& slot, std::error_code error) {
    slot.error = error;
    slot.state = State::failed;
  }

  // Only when a request was left by an exception: waits for what the ring still does with this
  // reader's buffers and descriptors, then closes the descriptors it opened.
  void abandon_ring() {
    while (in_flight_ > 0) {
      io_uring_submit_and_wait(&ring_, 1);
      unsigned head = 0;
      unsigned seen = 0;
      io_uring_cqe* cqe = nullptr;
      io_uring_for_each_cqe(&ring_, head, cqe) {
        Slot& slot = slots_[cqe->user_data >> 1];
        const bool opened = (cqe->user_data & 1) == kOpenOrRead && slot.state == State::opening;
        if (opened && cqe->res >= 0) slot.fd = cqe->res;
        ++seen;
      }
      io_uring_cq_advance(&ring_, seen);
      in_flight_ -= seen;
    }
    for (Slot& slot : slots_)
      if (slot.fd >= 0) ::close(std::exchange(slot.fd, -1));
  }

  void reap() {
    unsigned head = 0;
    unsigned seen = 0;
    io_uring_cqe* cqe = nullptr;
    io_uring_for_each_cqe(&ring_, head, cqe) {
      complete(slots_[cqe->user_data >> 1], static_cast<Operation>(cqe->user_data & 1), cqe->res);
      ++seen;
    }
    io_uring_cq_advance(&ring_, seen);
  }

  void complete(Slot& slot, Operation operation, int result) {
    --in_flight_;
    --slot.operations;
    if (operation == kClose) {
      if (slot.state == State::closing && slot.operations == 0) slot.state = State::free;
      return;
    }
    if (slot.state == State::opening) {
      if (result < 0 && is_resource_error(system_error(-result))) return starve(slot);
      if (result < 0) return fail(slot, system_error(-result));
      slot.fd = result;
      return size_and_read(slot);
    }
    const bool closed = slot.fd < 0;  // the read went with the close
    if (result == -EAGAIN && closed) {
      slot.state = State::reopen;
      return;
    }
    if (result == -EAGAIN) result = read_now(slot);
    if (result < 0) return fail(slot, system_error(-result));
    slot.filled = static_cast<std::size_t>(result);
    slot.total += slot.filled;
    slot.ended = read_ends_file(slot.filled, slot.total, slot.size);
    slot.state = closed && !slot.ended ? State::reopen : State::filled;
  }

  // The type and size come from fstat on this thread rather than a statx in the ring: the kernel
  // always hands a ring's statx to a worker thread, which doubled the CPU time of a walk over
  // 120,000 small files (1.28 s against 0.68 s).
  void size_and_read(Slot& slot) {
    struct stat status {};
    if (::fstat(slot.fd, &status) != 0) return fail(slot, last_system_error());
    if (!S_ISREG(status.st_mode)) return fail(slot, make_error_code(FileError::not_regular_file));
    slot.size = static_cast<std::size_t>(status.st_size);
    // A larger file read ahead would wait in its buffer, out of the processor's caches by the
    // time it is hashed: on 300 files of 100 B to 50 MiB that cost about 3 % more CPU time.
    if (slot.size < kFirstReadSize) return start_read(slot);
    slot.state = State::measured;
  }

  // A read the ring gave back unfinished (a file opened O_NONBLOCK whose pages are not in the
  // page cache), done here and now; a regular file's read does not wait for a writer. Only for
  // a descriptor that is still the slot's own.
  static int read_now(Slot& slot) {
    for (;;) {
      const ssize_t count =
          ::pread(slot.fd, slot.buffer, slot.asked, static_cast<off_t>(slot.total));
      if (count >= 0) return static_cast<int>(count);
      if (errno != EINTR) return -errno;
    }
  }

  // Hands the files that are ready to the worker, in request order, and has the next file to
  // hand over read on where it has more.
  void hand_over(Request& request) {
    for (; request.fed < request.names.size(); ++request.fed) {
      Slot& slot = slots_[request.fed % slots_used_];
      if (slot.state == State::failed) {
        if (slot.handed) worker_.discard();
      } else if (slot.state == State::measured && slot.size >= kLargeFile && large_.available()) {
        // Hashed beside this thread, and beside other such files.
        slot.large = large_.add(UniqueFd(std::exchange(slot.fd, -1)), slot.size);
        slot.state = State::large;
      } else if (slot.state == State::reopen) {
        reopen(request, slot);
      } else if (slot.state == State::starved) {
        open_starved(request, slot);
      } else if (slot.state == State::measured) {
        return start_read(slot);
      } else if (slot.state == State::filled) {
        if (!pass_on(slot)) return;
      } else {
        return;
      }
    }
  }

  // Hands the bytes just read to the worker: true when they end the file, otherwise its next
  // read is submitted.
  bool pass_on(Slot& slot) {
    slot.ticket = worker_.add(slot.buffer, slot.filled, slot.ended ? &slot.digest : nullptr);
    slot.handed = true;
    if (head_buffers_.holds(slot.buffer)) head_buffers_.handed(slot.buffer, slot.ticket);
    if (slot.ended) {
      slot.state = State::hashing;
      return true;
    }
    start_read(slot);
    return false;
  }

  // Opened again under the same rules and read from its start into the slot's own buffer, as the
  // classic engine reads it: whatever now holds the name is checked afresh.
  static void reopen(const Request& request, Slot& slot) {
    const ArtifactHash hash = hash_by_name(request.dir_fds[request.fed], request.names[request.fed],
                                           std::span(slot.first_read, kFirstReadSize));
    if (!hash) return fail(slot, hash.error());
    slot.digest = *hash;
    slot.state = State::hashed;
  }

  // An open that failed for want of descriptors or memory: fewer files are opened from now on.
  void starve(Slot& slot) {
    slot.state = State::starved;
    files_in_flight_ = std::max<std::size_t>(1, files_in_flight_ / 2);
  }

  // Opened on this thread, as reopen does. Should that too fail for want of resources, every
  // descriptor the engine holds is given back (the files opened after this one are opened again
  // when their turn comes) and it is tried once more, alone: only then is the shortage its result.
  void open_starved(Request& request, Slot& slot) {
    reopen(request, slot);
    if (slot.state != State::failed || !is_resource_error(slot.error)) return;
    give_back_descriptors();
    reopen(request, slot);
  }

  // Waits for everything in the ring, then closes every descriptor still held: a file that only
  // waits for its reads is opened again later, one whose bytes are all read needs it no more.
  void give_back_descriptors() {
    worker_.wake();  // the runs handed over are hashed while this thread waits
    while (in_flight_ > 0) {
      io_uring_submit_and_wait(&ring_, 1);
      reap();
    }
    for (Slot& slot : slots_) {
      if (slot.state == State::large) take_large(slot);  // the hasher closes it
      if (slot.fd < 0) continue;
      ::close(std::exchange(slot.fd, -1));
      if (slot.state == State::measured) slot.state = State::starved;
    }
  }

  // Waits for the large file hasher's result for the slot's file.
  void take_large(Slot& slot) {
    const auto hash = large_.take(slot.large);
    if (!hash) return fail(slot, hash.error());
    slot.digest = *hash;
    slot.state = State::hashed;
  }

  // Gives the results at the head of the request that are complete.
  void deliver_ready(Request& request) {
    while (request.head < request.fed) {
      Slot& slot = slots_[request.head % slots_used_];
      if (slot.state == State::large && large_.finished(slot.large)) take_large(slot);
      if (slot.state == State::large) return;
      if (slot.state == State::failed) {
        request.done(request.head, std::unexpected(slot.error));
      } else if (slot.state == State::hashed || worker_.finished(slot.ticket)) {
        request.done(request.head, slot.digest);
      } else {
        return;
      }
      ++request.head;
      release(slot);
    }
  }

  io_uring ring_{};
  bool ring_ready_ = false;
  std::size_t in_flight_ = 0;
  std::size_t slots_used_;       // file i of a request uses slot i % slots_used_
  std::size_t files_in_flight_;  // how many files are open at once at most
  std::unique_ptr<std::byte[]> first_reads_;
  ReadBuffers head_buffers_;
  Slot slots_[kFilesInFlight];
  LargeFileHasher large_;
  HashWorker worker_;  // last: joined before the buffers it reads are freed
};

}  // namespace

bool is_resource_error(std::error_code error) {
  if (error.category() != std::system_category()) return false;
  return error.value() == EMFILE || error.value() == ENFILE || error.value() == ENOMEM;
}

std::uint64_t open_file_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
  return limit.rlim_cur;
}

std::size_t files_in_flight_for(std::uint64_t open_files) {
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(open_files / 2, 1, kFilesInFlight));
}

std::optional<IoEngine> io_engine_from_environment() {
  const auto value = unicode_variable("CERTWRIGHT_IO");
  if (value == "classic") return IoEngine::classic;
  if (value == "uring") return IoEngine::uring;
  return std::nullopt;
}

void ArtifactReader::hash_files(int dir_fd, std::span<const char* const> names,
                                const ArtifactSink& done) {
  const std::vector<int> dir_fds(names.size(), dir_fd);
  hash_files(dir_fds, names, done);
}

std::unique_ptr<ArtifactReader> ArtifactReader::create() {
  return create(io_engine_from_environment().value_or(IoEngine::uring));
}

std::unique_ptr<ArtifactReader> ArtifactReader::create(IoEngine wanted) {
  const unsigned threads = thread_count();
  if (threads >= 2) return split_reader(wanted, threads);
  return create(wanted, ReaderShare{});
}

std::unique_ptr<ArtifactReader> ArtifactReader::create(IoEngine wanted, ReaderShare share) {
  share.readers = std::max(share.readers, 1u);
  if (wanted == IoEngine::uring) {
    if (auto reader = UringReader::create(share)) return reader;
  }
  return std::make_unique<ClassicReader>(share);
}

}  // namespace certwright
