#pragma once
// Conversions between a Pose and a row-major 4x4 homogeneous matrix.

#include <cstddef>
#include <limits>
#include <optional>
#include <string_view>

#include "ortholink/pose.hpp"

namespace ortholink {

// 100 machine epsilons (2.220446049250313e-14, exact): the tolerance on
// orthonormality of a rotation block, dimensionless.
inline constexpr double kIsometryTolerance = 100.0 * std::numeric_limits<double>::epsilon();
static_assert(kIsometryTolerance == 2.220446049250313e-14);

inline constexpr std::string_view kSliceLengthMessage = "Slice length must be 16";
inline constexpr std::string_view kNotIsometryMessage = "Failed to convert matrix to isometry";

// Writes the 16 entries of the pose's matrix, row by row.
void iso_into(const Pose& pose, double* out16) noexcept;

// Reads a row-major matrix of `count` values. Returns the pose, or sets
// `error` to the reason the values are not a rigid transform.
std::optional<Pose> row_slice_to_iso(const double* values, std::size_t count, std::string_view& error) noexcept;

}  // namespace ortholink
