#include "core/evidence/large_file_hasher.h"

#include <algorithm>
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
    jobs_.remove_if([](const Job& job) { return job.stage == Stage::queued; });
    queued_ = 0;
  }
  work_.notify_all();
  for (std::thread& thread : threads_)
    thread.join();
}

// A thread is started only while more files wait than threads wait for work, up to the number
// allowed: a stage with one large file costs one thread.
LargeFileHasher::Ticket LargeFileHasher::add(UniqueFd fd, std::size_t size) {
  std::unique_lock lock(mutex_);
  const Ticket ticket = handed_ + 1;
  jobs_.push_back(Job{.ticket = ticket, .fd = std::move(fd), .size = size});
  handed_ = ticket;
  ++queued_;
  if (queued_ > idle_ && threads_.size() < threads_wanted_) start_thread();
  lock.unlock();
  work_.notify_one();
  return ticket;
}

// Called with the lock held. Should no thread start, take() hashes the file itself.
void LargeFileHasher::start_thread() {
  try {
    threads_.reserve(threads_wanted_);
    threads_.emplace_back([this] { run(); });
  } catch (const std::system_error&) {
  } catch (const std::bad_alloc&) {
  }
}

bool LargeFileHasher::finished(Ticket ticket) {
  const std::lock_guard lock(mutex_);
  return find(ticket).stage == Stage::done;
}

LargeFileHasher::Result LargeFileHasher::take(Ticket ticket) {
  std::unique_lock lock(mutex_);
  Job& job = find(ticket);
  if (job.stage == Stage::queued && threads_.empty()) {
    job.stage = Stage::hashing;
    --queued_;
    lock.unlock();
    std::unique_ptr<std::byte[]> buffer;
    hash(job, buffer);
    lock.lock();
    job.stage = Stage::done;
  }
  done_.wait(lock, [&] { return job.stage == Stage::done; });
  Result result = job.result;
  const std::exception_ptr failure = job.failure;
  jobs_.remove_if([&](const Job& other) { return other.ticket == ticket; });
  lock.unlock();
  if (failure) std::rethrow_exception(failure);
  return result;
}

// Called with the lock held; `ticket` was handed over and not yet taken.
LargeFileHasher::Job& LargeFileHasher::find(Ticket ticket) {
  return *std::ranges::find(jobs_, ticket, &Job::ticket);
}

// Runs without the lock, on the job the caller marked as hashing. Nothing escapes: a thread
// cannot hand an exception back but through the job.
void LargeFileHasher::hash(Job& job, std::unique_ptr<std::byte[]>& buffer) {
  try {
    if (!buffer) buffer.reset(new std::byte[kReadSize]);
    job.result = hash_open_file(job.fd.get(), job.size, std::span(buffer.get(), kReadSize));
  } catch (...) {
    job.failure = std::current_exception();
  }
  job.fd.reset();
}

void LargeFileHasher::run() {
  std::unique_ptr<std::byte[]> buffer;
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    work_.wait(lock, [&] { return stopping_ || queued_ > 0; });
    --idle_;
    if (stopping_) return;
    Job& job = *std::ranges::find(jobs_, Stage::queued, &Job::stage);
    job.stage = Stage::hashing;
    --queued_;
    lock.unlock();
    hash(job, buffer);
    lock.lock();
    job.stage = Stage::done;
    done_.notify_all();
  }
}

}  // namespace certwright
