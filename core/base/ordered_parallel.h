// Independent pieces of work computed on several threads, their results taken in order.
//
// `for_each_in_order(count, threads, compute, take)` calls compute(i) for every i below `count`
// on up to `threads` threads, and take(i, result) on the calling thread in order of i, each as
// soon as it and every one before it are computed, so whatever take prints comes out as one
// thread would print it. At most `window` results (four per thread when it is 0) are computed
// ahead of the one being taken, so memory stays bounded whatever the count. With one thread, one
// piece or no thread to be had, compute and take alternate on the calling thread. compute must not
// print; what it throws is rethrown by the call, at that piece's turn, once every thread is joined.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace certwright {

template <class Compute, class Take>
void for_each_in_order(std::size_t count, unsigned threads, const Compute& compute,
                       const Take& take, std::size_t window = 0) {
  using Result = std::invoke_result_t<const Compute&, std::size_t>;
  if (threads < 2 || count < 2) {
    for (std::size_t i = 0; i < count; ++i)
      take(i, compute(i));
    return;
  }
  struct Slot {
    std::optional<Result> result;
    std::exception_ptr failure;
  };
  // Four results per thread: a thread never waits for one slow piece while others finish.
  if (window == 0) window = 4 * static_cast<std::size_t>(threads);
  std::vector<Slot> slots(window);
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t claimed = 0;  // the next piece to compute
  std::size_t head = 0;     // the next piece to take
  bool stopping = false;

  const auto work = [&] {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return stopping || claimed == count || claimed < head + window; });
      if (stopping || claimed == count) return;
      const std::size_t index = claimed++;
      lock.unlock();
      Slot done;
      try {
        done.result.emplace(compute(index));
      } catch (...) {
        done.failure = std::current_exception();
      }
      lock.lock();
      slots[index % window] = std::move(done);
      changed.notify_all();
    }
  };
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < threads && t < count; ++t) {
    try {
      workers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // the threads started do the work
    }
  }
  const auto join = [&] {
    {
      const std::lock_guard lock(mutex);
      stopping = true;
    }
    changed.notify_all();
    for (std::thread& worker : workers)
      worker.join();
  };
  if (workers.empty()) {
    for (std::size_t i = 0; i < count; ++i)
      take(i, compute(i));
    return;
  }
  std::exception_ptr failure;
  for (std::size_t index = 0; index < count && !failure; ++index) {
    Slot ready;
    {
      std::unique_lock lock(mutex);
      Slot& slot = slots[index % window];
      changed.wait(lock, [&] { return slot.result || slot.failure; });
      ready = std::exchange(slot, Slot{});
      ++head;  // its slot is free
    }
    changed.notify_all();
    failure = ready.failure;
    if (failure) break;
    try {
      take(index, std::move(*ready.result));
    } catch (...) {
      failure = std::current_exception();
    }
  }
  join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace certwright
