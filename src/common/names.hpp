#pragma once
// Names of an enumeration as a table indexed by the enumerator, listed in
// declaration order; one table serves both directions.
#include <cstddef>
#include <optional>
#include <string_view>

namespace vantorel {

// The name of `e`; "" for a value outside the table.
template <class E, std::size_t N>
constexpr const char* name_in(const char* const (&names)[N], E e) {
  const auto i = static_cast<std::size_t>(e);
  return i < N ? names[i] : "";
}

// The enumerator named `text` (compared byte for byte), if any.
template <class E, std::size_t N>
constexpr std::optional<E> parse_name(const char* const (&names)[N], std::string_view text) {
  for (std::size_t i = 0; i < N; ++i) {
    if (text == names[i]) return static_cast<E>(i);
  }
  return std::nullopt;
}

}  // namespace vantorel
