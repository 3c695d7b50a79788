#pragma once
// Constants of double-precision arithmetic shared by the numeric code.

#include <limits>

namespace ortholink {

// 2^-52: the gap between 1 and the next double, so the largest relative
// rounding error of one operation is half of it. Dimensionless.
inline constexpr double kMachineEpsilon = std::numeric_limits<double>::epsilon();

// Range of a sum of squares (re² + im², in the squared unit of the values)
// inside which sqrt of the plain sum neither overflows nor loses digits to
// underflow; outside it hypot is used.
inline constexpr double kSquareSafeLow = 1e-290;
inline constexpr double kSquareSafeHigh = 1e290;

}  // namespace ortholink
