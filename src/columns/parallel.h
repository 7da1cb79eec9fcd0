// columns/parallel.h: splitting work over rows between threads.
#pragma once

#include <algorithm>  // std::min, std::max
#include <cstdint>
#include <exception>  // std::exception_ptr
#include <thread>
#include <vector>

namespace quorvane::columns {

/// Narrations per thread below which a second thread costs more than it saves.
inline constexpr std::int64_t kMinRowsPerThread = 16384;

/// Runs `work(begin, end)` over [0, rows) split into up to `threads` contiguous ranges of
/// at least `min_rows` rows each (fewer threads otherwise), the last range on the calling
/// thread. An exception in any range is rethrown once all have ended.
template <class Work>
void in_parallel(std::int64_t rows, unsigned threads, const Work& work, std::int64_t min_rows) {
  std::int64_t parts = std::max<std::int64_t>(
      1, std::min<std::int64_t>(threads, rows / std::max<std::int64_t>(1, min_rows)));
  std::vector<std::exception_ptr> failures(static_cast<std::size_t>(parts));
  auto run = [&](std::int64_t part) {
    try {
      work(rows * part / parts, rows * (part + 1) / parts);
    } catch (...) {
      failures[static_cast<std::size_t>(part)] = std::current_exception();
    }
  };
  {
    std::vector<std::jthread> pool;
    for (std::int64_t part = 0; part + 1 < parts; ++part) pool.emplace_back(run, part);
    run(parts - 1);
  }  // jthreads join here
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

}  // namespace quorvane::columns
