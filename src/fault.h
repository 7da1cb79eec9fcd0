// fault.h: broken internal invariants, the only failures that travel as C++ exceptions.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace quorvane {

/// Thrown when code finds a state it treats as impossible. The module boundary
/// catches it around every call and turns it into the Python PanicException.
class InternalFault : public std::logic_error {
 public:
  InternalFault(const std::string& what, std::source_location where)
      : std::logic_error(what), where_(where) {}
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

/// Throws InternalFault unless `condition` holds.
inline void check(bool condition, const char* why,
                  std::source_location where = std::source_location::current()) {
  if (!condition) [[unlikely]] {
    throw InternalFault(why, where);
  }
}

}  // namespace quorvane

#define QV_ASSERT(condition, why) ::quorvane::check(static_cast<bool>(condition), why)
