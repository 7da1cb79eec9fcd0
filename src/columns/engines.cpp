// columns/engines.cpp: categorisation, derivation and loans over columns.
#include "columns/engines.h"

#include <exception>  // std::exception_ptr
#include <string>
#include <thread>
#include <vector>

#include "categorizer/engine.h"

namespace quorvane::columns {
namespace {

// Rows per thread below which a second thread costs more than it saves.
constexpr std::int64_t kMinRowsPerThread = 16384;

// Runs `work(begin, end)` over [0, rows) split into up to `threads` contiguous ranges,
// the last on the calling thread. An exception in any range is rethrown once all end.
template <class Work>
void in_parallel(std::int64_t rows, unsigned threads, const Work& work) {
  std::int64_t parts =
      std::max<std::int64_t>(1, std::min<std::int64_t>(threads, rows / kMinRowsPerThread));
  std::vector<std::exception_ptr> failures(static_cast<std::size_t>(parts));
  std::vector<std::thread> pool;
  auto run = [&](std::int64_t part) {
    try {
      work(rows * part / parts, rows * (part + 1) / parts);
    } catch (...) {
      failures[static_cast<std::size_t>(part)] = std::current_exception();
    }
  };
  for (std::int64_t part = 0; part + 1 < parts; ++part) pool.emplace_back(run, part);
  run(parts - 1);
  for (std::thread& t : pool) t.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

}  // namespace

void categorize(const TextColumn& narrations, std::span<const std::string_view> patterns,
                std::int32_t* rules, unsigned threads) {
  const categorizer::Categorizer categorizer(patterns);
  in_parallel(narrations.size(), threads, [&](std::int64_t begin, std::int64_t end) {
    std::string scratch;  // one lowering buffer per thread, reused row after row
    narrations.for_rows(begin, end, [&](std::int64_t row, std::optional<std::string_view> text) {
      std::uint32_t rule =
          text ? categorizer.rule_for(*text, scratch) : categorizer::Categorizer::kNone;
      rules[row] = rule == categorizer::Categorizer::kNone ? -1 : static_cast<std::int32_t>(rule);
    });
  });
}

std::vector<categorizer::ExampleView> examples(const TextColumn& narrations,
                                               const TextColumn& categories,
                                               const TextColumn& merchants) {
  std::vector<categorizer::ExampleView> out(static_cast<std::size_t>(narrations.size()));
  const TextColumn* columns[3] = {&narrations, &categories, &merchants};
  std::string_view categorizer::ExampleView::*fields[3] = {&categorizer::ExampleView::narration,
                                                           &categorizer::ExampleView::category,
                                                           &categorizer::ExampleView::merchant};
  for (int c = 0; c < 3; ++c) {
    columns[c]->for_rows(0, narrations.size(),
                         [&](std::int64_t row, std::optional<std::string_view> text) {
                           out[static_cast<std::size_t>(row)].*fields[c] = text.value_or("");
                         });
  }
  return out;
}

}  // namespace quorvane::columns
