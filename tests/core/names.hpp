// Readable names for parametrised cases: letters and digits kept, anything
// else an underscore, the row number last so that names stay unique.
#pragma once

#include <cctype>
#include <cstddef>
#include <string>

namespace vantorel::testing {

inline std::string case_name(const std::string& text, std::size_t index) {
  std::string out;
  for (unsigned char ch : text) out += std::isalnum(ch) ? static_cast<char>(ch) : '_';
  return out + "_" + std::to_string(index);
}

}  // namespace vantorel::testing
