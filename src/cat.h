// cat.h: joining message texts.
#pragma once

#include <string>
#include <string_view>

namespace quorvane {

/// Joins texts into a new string, sized once.
template <class... Parts>
std::string cat(const Parts&... parts) {
  const std::string_view views[] = {std::string_view(parts)...};
  std::size_t size = 0;
  for (std::string_view v : views) size += v.size();
  std::string out;
  out.reserve(size);
  for (std::string_view v : views) out.append(v);
  return out;
}

}  // namespace quorvane
