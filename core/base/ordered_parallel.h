// Independent pieces of work computed on several threads, their results taken in order.
//
// `for_each_in_order(count, threads, compute, take)` calls compute(i) for every i below `count`
// on up to `threads` threads, the calling thread one of them, and take(i, result) on the calling
// thread in order of i, each as soon as it and every one before it are computed, so whatever
// take prints comes out as one thread would print it. At most `window` results (four per thread
// when it is 0) are computed ahead of the one being taken, so memory stays bounded whatever the
// count. With one thread, one piece or no thread to be had, compute and take alternate on the
// calling thread. compute must not print, nor wait for a piece to be taken (the calling thread
// may be the one computing); what it throws is rethrown by the call, at that piece's turn, once
// every thread is joined.
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
  // Two conditions, each signalled only when somebody waits for it: a woken thread costs a
  // context switch, and signalling every completion to every thread cost a batch of 10,000
  // certificates two switches each (kernel time 0.12 s on one thread, 0.37 s on two).
  std::condition_variable head_ready;  // the calling thread waits for the piece it takes next
  std::condition_variable room;        // workers wait for a free slot in the window
  std::size_t claimed = 0;             // the next piece to compute
  std::size_t head = 0;                // the next piece to take
  bool taker_waiting = false;
  unsigned workers_waiting = 0;
  bool stopping = false;

  const auto compute_slot = [&](std::size_t index) {
    Slot done;
    try {
      done.result.emplace(compute(index));
    } catch (...) {
      done.failure = std::current_exception();
    }
    return done;
  };
  const auto work = [&] {
    std::unique_lock lock(mutex);
    for (;;) {
      const auto can_go = [&] { return stopping || claimed == count || claimed < head + window; };
      if (!can_go()) {
        ++workers_waiting;
        room.wait(lock, can_go);
        --workers_waiting;
      }
      if (stopping || claimed == count) return;
      const std::size_t index = claimed++;
      lock.unlock();
      Slot done = compute_slot(index);
      lock.lock();
      slots[index % window] = std::move(done);
      if (index == head && taker_waiting) head_ready.notify_one();
    }
  };
  std::vector<std::thread> workers;
  // The calling thread computes too, whenever the piece it takes next is not ready.
  for (unsigned t = 1; t < threads && t < count; ++t) {
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
    room.notify_all();
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
    bool wake = false;
    {
      std::unique_lock lock(mutex);
      Slot& slot = slots[index % window];
      const auto done = [&] { return slot.result || slot.failure; };
      // Rather than wait, compute the next unclaimed piece; wait only when none may be claimed.
      while (!done() && claimed < count && claimed < head + window) {
        const std::size_t mine = claimed++;
        lock.unlock();
        Slot computed = compute_slot(mine);
        lock.lock();
        slots[mine % window] = std::move(computed);
      }
      if (!done()) {
        taker_waiting = true;
        head_ready.wait(lock, done);
        taker_waiting = false;
      }
      ready = std::exchange(slot, Slot{});
      ++head;  // its slot is free
      wake = workers_waiting > 0;
    }
    if (wake) room.notify_one();
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
