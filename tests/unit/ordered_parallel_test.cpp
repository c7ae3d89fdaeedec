#include "core/base/ordered_parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace certwright {
namespace {

// Pieces that finish out of order (the earlier ones take longer) are still taken in order, on
// the calling thread, each once; the most computed at once is bounded by the threads.
TEST(ForEachInOrder, TakesEveryResultInOrderOnTheCallingThread) {
  struct Case {
    std::size_t count;
    unsigned threads;
  };
  const Case cases[] = {{0, 4}, {1, 4}, {5, 1}, {100, 2}, {37, 8}, {3, 64}};
  for (const auto& c : cases) {
    std::atomic<int> running{0};
    std::atomic<int> most{0};
    std::vector<std::string> taken;
    const auto caller = std::this_thread::get_id();
    for_each_in_order(
        c.count, c.threads,
        [&](std::size_t i) {
          const int now = ++running;
          for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
          }
          std::this_thread::sleep_for(std::chrono::microseconds((i % 3 == 0) ? 300 : 10));
          --running;
          return std::to_string(i);
        },
        [&](std::size_t i, std::string&& result) {
          EXPECT_EQ(std::this_thread::get_id(), caller);
          EXPECT_EQ(result, std::to_string(i));
          taken.push_back(std::move(result));
        });
    ASSERT_EQ(taken.size(), c.count) << c.threads;
    for (std::size_t i = 0; i < c.count; ++i)
      EXPECT_EQ(taken[i], std::to_string(i));
    EXPECT_LE(most.load(), static_cast<int>(std::max(1u, c.threads))) << c.count;
  }
}

// While one result is being taken, the pieces after it are computed up to the window and no
// further.
TEST(ForEachInOrder, ComputesAheadUpToTheWindow) {
  for (const std::size_t window : {3u, 40u}) {
    std::atomic<std::size_t> computed{0};
    for_each_in_order(
        100, 2,
        [&](std::size_t i) {
          ++computed;
          return i;
        },
        [&](std::size_t i, std::size_t&&) {
          if (i != 0) return;
          // The first result's slot is free while it is taken: the window counts from the next.
          const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
          while (computed < window + 1 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          EXPECT_EQ(computed.load(), window + 1);
        },
        window);
  }
}

// What a piece throws comes out of the call at its turn: the pieces before it are taken, none
// after it, and every thread is joined.
TEST(ForEachInOrder, RethrowsAFailureAtItsTurn) {
  for (const unsigned threads : {1u, 4u}) {
    std::vector<std::size_t> taken;
    EXPECT_THROW(for_each_in_order(
                     50, threads,
                     [](std::size_t i) {
                       if (i == 20) throw std::runtime_error("piece 20");
                       return i;
                     },
                     [&](std::size_t i, std::size_t&&) { taken.push_back(i); }),
                 std::runtime_error);
    ASSERT_EQ(taken.size(), 20u) << threads;
    EXPECT_EQ(taken.back(), 19u);
  }
}

}  // namespace
}  // namespace certwright
