// parallel.h: running work on several threads, the calling one among them.
#pragma once

#include <algorithm>  // std::min, std::max
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>  // std::exception_ptr
#include <thread>
#include <vector>

namespace quorvane {

/// How many parts `items` are split into: up to `threads`, each of at least `min_items`
/// (a part smaller than that costs more in starting a thread than it saves), and one at
/// least.
inline std::size_t parts_for(std::int64_t items, unsigned threads, std::int64_t min_items) {
  return static_cast<std::size_t>(std::max<std::int64_t>(
      1, std::min<std::int64_t>(threads, items / std::max<std::int64_t>(1, min_items))));
}

/// Runs `work(p)` for each p in [0, parts), each on a thread of its own but part 0, which
/// runs on the calling thread. An exception thrown by any part is rethrown once all have
/// ended.
template <class Work>
void on_threads(std::size_t parts, const Work& work) {
  std::vector<std::exception_ptr> failures(parts);
  auto run = [&](std::size_t p) {
    try {
      work(p);
    } catch (...) {
      failures[p] = std::current_exception();
    }
  };
  {
    std::vector<std::jthread> pool;
    for (std::size_t p = 1; p < parts; ++p) pool.emplace_back(run, p);
    run(0);
  }  // jthreads join here
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

/// Runs `work(begin, end)` over [0, items) split into contiguous ranges, as many as
/// `parts_for` gives.
template <class Work>
void in_ranges(std::int64_t items, unsigned threads, std::int64_t min_items, const Work& work) {
  const auto parts = static_cast<std::int64_t>(parts_for(items, threads, min_items));
  on_threads(static_cast<std::size_t>(parts), [&](std::size_t p) {
    const auto part = static_cast<std::int64_t>(p);
    work(items * part / parts, items * (part + 1) / parts);
  });
}

/// Runs `work(next)` on as many threads as `parts_for` gives, where `next(begin, end)`
/// hands out [begin, end) pieces of [0, items), `piece` items each and in order, to
/// whichever thread asks, and returns false once none is left. Unlike in_ranges, a thread
/// whose processor is slowed by other work takes fewer pieces instead of holding up the
/// call. `work` sets up what it needs once per thread, then asks for pieces.
template <class Work>
void in_pieces(std::int64_t items, unsigned threads, std::int64_t min_items, std::int64_t piece,
               const Work& work) {
  std::atomic<std::int64_t> taken = 0;
  on_threads(parts_for(items, threads, min_items), [&](std::size_t) {
    work([&](std::int64_t& begin, std::int64_t& end) {
      begin = taken.fetch_add(piece, std::memory_order_relaxed);
      end = std::min(items, begin + piece);
      return begin < items;
    });
  });
}

}  // namespace quorvane
