#pragma once
// Number formatting for the reprs; pure C++ so it can be tested on its own.

#include <string>

namespace ortholink::py {

// Fixed point with four decimals, correctly rounded (ties to even);
// "NaN", "inf" and "-inf" for the non-finite values.
std::string format_fixed4(double value);

// One digit, a point, three decimals, 'e' and the bare exponent: 1.137e-13,
// 4.000e0, 0.000e0; non-finite values as in format_fixed4.
std::string format_scientific3(double value);

}  // namespace ortholink::py
