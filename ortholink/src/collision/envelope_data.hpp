#pragma once
// The capsules fitted to the embedded link meshes by tools/fit_envelopes.py
// (the data is generated into envelope_data.cpp).

#include <cstdint>
#include <span>

#include "ortholink/collision.hpp"
#include "ortholink/robot.hpp"

namespace ortholink::collision {

// One capsule of one body (0 the base .. 6 the flange), in the body's frame.
struct FittedCapsule {
    std::uint8_t link;
    Vec3 a;
    Vec3 b;
    double radius;
};

struct FittedModel {
    CrxModel model;
    std::span<const FittedCapsule> capsules;  // ordered by link
};

// The models whose envelopes were fitted to their own meshes.
std::span<const FittedModel> fitted_models() noexcept;

// The safety margin included in every fitted radius, mm.
extern const double kFitMargin;

// Added to every radius of an envelope stretched down to smaller dimensions:
// what the CRX-10iA's envelopes stretched to the CRX-5iA needed to hold the
// CRX-5iA's meshes, plus the safety margin, mm.
extern const double kShrinkMargin;

// The envelopes of the fitted model `source` stretched to `robot` as
// envelopes.cpp stretches them for the models without meshes, `height_ratio`
// the ratio of the base heights; empty envelopes when `source` is not fitted.
Envelopes stretched_envelopes(CrxModel source, const Crx& robot, double height_ratio);

}  // namespace ortholink::collision
