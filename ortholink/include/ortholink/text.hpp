#pragma once
// Numbers as text, for the printed forms of the library's values.

#include <string>

namespace ortholink {

// Fixed point with four decimals, correctly rounded (ties to even);
// "NaN", "inf" and "-inf" for the non-finite values.
std::string format_fixed4(double value);

// One digit, a point, three decimals, 'e' and the bare exponent: 1.137e-13,
// 4.000e0, 0.000e0; non-finite values as in format_fixed4.
std::string format_scientific3(double value);

// The shortest text that reads back as the same double: 245, 0.1, 1e+300,
// -0 ("nan", "inf" and "-inf" for the non-finite values).
std::string format_shortest(double value);

}  // namespace ortholink
