#pragma once
// The robot record: six fixed joint axes and the four link dimensions that
// tell the CRX models apart.

#include <array>
#include <cstdint>
#include <string_view>

#include "ortholink/pose.hpp"

namespace ortholink {

enum class CrxModel : std::uint8_t {
    Crx3iA = 0,
    Crx5iA = 1,
    Crx10iA = 2,
    Crx10iAL = 3,
    Crx20iAL = 4,
    Crx30iA = 5,
};

inline constexpr int kModelCount = 6;

// The member name as plain text ("Crx10iAL").
std::string_view model_name(CrxModel model) noexcept;

// The model for an integer code 0..5; false when the code is out of range.
bool model_from_code(long code, CrxModel& out) noexcept;

struct Crx {
    std::array<Vec3, 6> axes;
    double z1;  // height of the J3 origin above the J2 origin, mm
    double x1;  // forearm length, J3 origin to J5 origin, mm
    double x2;  // J5 origin to the flange, mm
    double y1;  // lateral offset of the J5 origin from the forearm axis, mm

    // Stored as given; nothing is checked.
    static Crx from_params(double z1, double x1, double x2, double y1) noexcept;
    static Crx from_model(CrxModel model) noexcept;

    static Crx new_3ia() noexcept { return from_model(CrxModel::Crx3iA); }
    static Crx new_5ia() noexcept { return from_model(CrxModel::Crx5iA); }
    static Crx new_10ia() noexcept { return from_model(CrxModel::Crx10iA); }
    // Also the CRX-20iA/L, which has the same dimensions.
    static Crx new_10ia_l() noexcept { return from_model(CrxModel::Crx10iAL); }
    static Crx new_30ia() noexcept { return from_model(CrxModel::Crx30iA); }

    friend bool operator==(const Crx&, const Crx&) = default;
};

}  // namespace ortholink
