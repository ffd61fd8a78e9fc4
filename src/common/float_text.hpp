#pragma once
// Text forms of 32-bit floats.
#include <string>

namespace vantorel {

// Shortest decimal that reads back as the same float, never with an exponent.
// NaN -> "NaN", infinities -> "inf" / "-inf", negative zero -> "-0", 1.0 -> "1".
std::string f32_plain(float x);

// Debug form: shortest round trip, ".0" added to integral values ("1.0", "0.0"),
// exponent form ("1e-5", "2.5e-7", "1e16") when the magnitude is nonzero and
// below 1e-4f or at least 1e16f; "NaN", "inf", "-inf".
std::string f32_debug(float x);

}  // namespace vantorel
