// tests/native/shim_emi.cpp: C entry point for loans with events and fees, JSON in and out.
#include <algorithm>  // std::min
#include <cstring>    // std::memcpy
#include <optional>
#include <vector>

#include "emi/events.h"
#include "json/read.h"
#include "json/write.h"

namespace shim {

struct Loan {
  quorvane::emi::EmiRequest request;
  std::optional<double> fees;
};

struct Table {
  std::vector<Loan> loans;
  std::vector<quorvane::emi::EmiEvent> events;
};

}  // namespace shim

namespace quorvane::record {

template <>
struct Schema<shim::Loan> {
  static constexpr std::string_view name = "Loan";
  static constexpr std::tuple fields{required("request", &shim::Loan::request),
                                     optional("fees", &shim::Loan::fees)};
};

template <>
struct Schema<shim::Table> {
  static constexpr std::string_view name = "Table";
  static constexpr std::tuple fields{required("loans", &shim::Table::loans),
                                     defaulted("events", &shim::Table::events)};
};

}  // namespace quorvane::record

extern "C" {

/// Reads {"loans": [{"request": EmiRequest, "fees": number}, ...], "events": [EmiEvent,
/// ...]}, computes each loan with its events and writes into `out` a list with, for each
/// loan, {"result": ..., "months": [...], "summary": ...} or its error text; or the
/// table's error text alone. Returns the full length.
std::size_t qv_emi_events(const char* text, std::size_t n, char* out, std::size_t cap) {
  using namespace quorvane;
  json::Buffer buffer;
  auto table = json::read_request<shim::Table>(std::string_view(text, n));
  if (!table) {
    json::write_value(buffer, table.error().display(std::string_view(text, n)));
  } else if (auto index = emi::index_events(table.value().events, table.value().loans.size());
             !index) {
    json::write_value(buffer, index.error().display());
  } else {
    const auto& [loans, events] = table.value();
    buffer.push('[');
    for (std::size_t k = 0; k < loans.size(); ++k) {
      if (k > 0) buffer.push(',');
      auto answer =
          emi::compute_with_events(loans[k].request, index.value().of(events, k), loans[k].fees);
      if (!answer) {
        json::write_value(buffer, answer.error().display());
        continue;
      }
      buffer.append("{\"result\":");
      json::write_value(buffer, answer.value().result);
      buffer.append(",\"months\":");
      json::write_value(buffer, answer.value().months);
      buffer.append(",\"summary\":");
      json::write_value(buffer, answer.value().summary);
      buffer.push('}');
    }
    buffer.push(']');
  }
  std::memcpy(out, buffer.view().data(), std::min(cap, buffer.view().size()));
  return buffer.view().size();
}

}  // extern "C"
