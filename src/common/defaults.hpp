#pragma once
// What a new engine uses until it is told otherwise.
#include <cstdint>

namespace vantorel {

inline constexpr float kDefaultRrfK = 60.0f;                 // rank constant of reciprocal rank fusion
inline constexpr std::uint32_t kDefaultTopK = 10;            // K of the fixed-count budget
inline constexpr std::uint32_t kDefaultPoolMultiplier = 32;  // M = K * multiplier
inline constexpr float kDefaultMinFit = 0.9f;                // fit needed to trust a tail-mass K

}  // namespace vantorel
