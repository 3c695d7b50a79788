#include "ortholink/robot.hpp"

namespace ortholink {
namespace {

// J3..J6 are stored negated, so their zero components are negative zeros.
constexpr std::array<Vec3, 6> kAxes{{
    {0.0, 0.0, 1.0},
    {0.0, 1.0, 0.0},
    {-0.0, -1.0, -0.0},
    {-1.0, -0.0, -0.0},
    {-0.0, -1.0, -0.0},
    {-1.0, -0.0, -0.0},
}};

// One column per dimension, indexed by the model code (millimetres).
constexpr std::array<double, kModelCount> kZ1{280.0, 410.0, 540.0, 710.0, 710.0, 950.0};
constexpr std::array<double, kModelCount> kX1{280.0, 430.0, 540.0, 540.0, 540.0, 750.0};
constexpr std::array<double, kModelCount> kX2{123.0, 145.0, 160.0, 160.0, 160.0, 180.0};
constexpr std::array<double, kModelCount> kY1{111.0, 130.0, 150.0, 150.0, 150.0, 185.0};

constexpr std::array<std::string_view, kModelCount> kNames{
    "Crx3iA",
    "Crx5iA",
    "Crx10iA",
    "Crx10iAL",
    "Crx20iAL",
    "Crx30iA",
};

}  // namespace

std::string_view model_name(CrxModel model) noexcept {
    const auto index = static_cast<std::size_t>(model);
    return index < kNames.size() ? kNames[index] : std::string_view{"Unknown"};
}

bool model_from_code(long code, CrxModel& out) noexcept {
    if (code < 0 || code >= kModelCount) {
        return false;
    }
    out = static_cast<CrxModel>(code);
    return true;
}

Crx Crx::from_params(double z1, double x1, double x2, double y1) noexcept {
    return Crx{kAxes, z1, x1, x2, y1};
}

Crx Crx::from_model(CrxModel model) noexcept {
    const auto i = static_cast<std::size_t>(model) % kModelCount;
    return Crx{kAxes, kZ1[i], kX1[i], kX2[i], kY1[i]};
}

}  // namespace ortholink
