#pragma once
// Shared by the tests that compare poses as row-major 4x4 matrices.

#include <array>

#include "ortholink/matrix.hpp"

namespace ortholink::test_support {

inline std::array<double, 16> matrix_of(const Pose& pose) {
    std::array<double, 16> m{};
    iso_into(pose, m.data());
    return m;
}

}  // namespace ortholink::test_support
