#include "core/evidence/large_file_hasher.h"

#include <memory>
#include <utility>

namespace certwright {
namespace {

// Each thread reads through a buffer of its own of this size, as the reading thread's runs are.
constexpr std::size_t kReadSize = 256 * 1024;

}  // namespace

LargeFileHasher::LargeFileHasher(unsigned threads) : threads_wanted_(threads) {}

LargeFileHasher::~LargeFileHasher() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  for (std::thread& thread : threads_)
    thread.join();
}

// A thread is started for a file only when none waits for work, up to the number allowed: a
// stage with one large file costs one thread.
LargeFileHasher::Ticket LargeFileHasher::add(UniqueFd fd, std::size_t size) {
  std::unique_lock lock(mutex_);
  const Ticket ticket = ++handed_;
  jobs_.push_back(Job{ticket, std::move(fd), size});
  if (idle_ == 0 && threads_.size() < threads_wanted_) start_thread();
  lock.unlock();
  work_.notify_one();
  return ticket;
}

// Called with the lock held. Should no thread start, the first take() hashes the file itself.
void LargeFileHasher::start_thread() {
  try {
    threads_.emplace_back([this] { run(); });
  } catch (const std::system_error&) {
  }
}

bool LargeFileHasher::finished(Ticket ticket) {
  const std::lock_guard lock(mutex_);
  return results_.contains(ticket);
}

LargeFileHasher::Result LargeFileHasher::take(Ticket ticket) {
  std::unique_lock lock(mutex_);
  if (threads_.empty()) {
    // No thread could be started: the jobs are hashed here, in turn.
    while (!results_.contains(ticket)) {
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      auto buffer = std::make_unique<std::byte[]>(kReadSize);
      Done done{hash_open_file(job.fd.get(), job.size, std::span(buffer.get(), kReadSize)), {}};
      lock.lock();
      results_.emplace(job.ticket, std::move(done));
    }
  }
  done_.wait(lock, [&] { return results_.contains(ticket); });
  auto node = results_.extract(ticket);
  lock.unlock();
  if (node.mapped().failure) std::rethrow_exception(node.mapped().failure);
  return std::move(node.mapped().result);
}

void LargeFileHasher::run() {
  const auto buffer = std::unique_ptr<std::byte[]>(new std::byte[kReadSize]);
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    work_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
    --idle_;
    if (jobs_.empty()) return;  // stopping, and every job done
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    Done done{Result(), nullptr};
    try {
      done.result = hash_open_file(job.fd.get(), job.size, std::span(buffer.get(), kReadSize));
    } catch (...) {
      done.failure = std::current_exception();
    }
    job.fd.reset();
    lock.lock();
    results_.emplace(job.ticket, std::move(done));
    done_.notify_all();
  }
}

}  // namespace certwright
