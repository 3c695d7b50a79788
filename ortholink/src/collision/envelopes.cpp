// The link envelopes: the fitted capsules of the meshed models, and the
// estimates for every other robot stretched from them.
//
// ESTIMATES. Only the CRX-5iA and the CRX-10iA have meshes, and only their
// envelopes were checked against them (tools/fit_envelopes.py). Every other
// robot gets the envelopes of the meshed model nearest in its four link
// dimensions (z1, x1, x2, y1; the CRX-3iA the 5iA's, the CRX-10iA/L, 20iA/L
// and 30iA the 10iA's), stretched along each link by the ratio of the link
// dimensions:
//
//   base       heights by the ratio of the base heights (J2 above the
//              mounting face; z1's ratio for a robot that is not a model)
//   turret     heights likewise, its side towards the upper arm by y1's ratio
//   upper arm  along J2 -> J3 by z1's ratio
//   elbow      along the forearm by x1's ratio
//   forearm    along J3 -> J5 by x1's ratio
//   wrist      towards the flange by x2's ratio, towards the forearm axis by y1's
//   flange     as fitted
//
// Across the links: the only published dimensions across them are the wrist
// offsets (x2, y1), which are set by the thickness of the wrist. A robot
// whose wrist offsets are larger is taken to be thicker everywhere by the
// larger of their ratios: every radius, and every coordinate across a link
// (those not stretched above, such as the upper arm's offset beside the
// turret), is multiplied by it, so that the links keep their shape and the
// gaps between them at the zero pose grow with them. (Multiplying the radii
// alone, by the largest ratio of all, made the base and the upper arm of
// the CRX-10iA/L, 20iA/L and 30iA overlap at every pose.) A robot with the
// same wrist keeps its cross-sections: the CRX-10iA/L and 20iA/L are the
// 10iA with a longer upper arm.
//
// Radii: when a ratio is below one (a smaller robot) the radii are kept and
// kShrinkMargin added, the growth the CRX-10iA's envelopes stretched down to
// the CRX-5iA's dimensions needed to hold the CRX-5iA's meshes (measured).
// No mesh of a larger robot exists, so the growing direction is NOT
// verified.
//
// Two capsules of a link that overlap in the fitted model and are pulled
// apart by a stretch (a long forearm) are joined by a capsule between their
// nearest ends, of the smaller radius: the link stays one solid; so are the
// elbow and the forearm, along the forearm axis. And since
// every real arm is clear of itself at the zero pose, estimates that are not
// (proportions far from both meshed models: much thinner or thicker wrists
// than the lengths suggest) have every radius scaled down until they are,
// by kZeroPoseClearance (by half at most).

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "collision/distance.hpp"
#include "collision/envelope_data.hpp"
#include "ortholink/arm.hpp"
#include "ortholink/collision.hpp"

namespace ortholink {
namespace {

using collision::FittedModel;

const FittedModel* fitted_model(CrxModel model) noexcept {
    for (const FittedModel& fitted : collision::fitted_models()) {
        if (fitted.model == model) {
            return &fitted;
        }
    }
    return nullptr;
}

Envelopes envelopes_of(const FittedModel& fitted) {
    Envelopes out;
    for (const collision::FittedCapsule& c : fitted.capsules) {
        out[c.link].capsules.push_back(Capsule{c.a, c.b, c.radius});
    }
    return out;
}

// A ratio of two dimensions; 1 when it is not finite (a robot with a zero or
// non-finite meshed dimension cannot happen, but a caller's robot can be odd).
double ratio_of(double target, double source) noexcept {
    const double r = target / source;
    return std::isfinite(r) ? r : 1.0;
}

// How far `robot` is from `model` in its link dimensions, relative.
double dimension_distance(const Crx& robot, CrxModel model) noexcept {
    const Crx m = Crx::from_model(model);
    const std::array<double, 4> t{robot.z1, robot.x1, robot.x2, robot.y1};
    const std::array<double, 4> s{m.z1, m.x1, m.x2, m.y1};
    double sum = 0.0;
    for (std::size_t i = 0; i < t.size(); ++i) {
        const double d = (t[i] - s[i]) / s[i];
        sum += d * d;
    }
    return std::isfinite(sum) ? sum : 1e300;
}

const FittedModel& nearest_fitted(const Crx& robot) noexcept {
    const FittedModel* best = nullptr;
    double best_distance = 0.0;
    for (const FittedModel& fitted : collision::fitted_models()) {
        const double d = dimension_distance(robot, fitted.model);
        if (best == nullptr || d < best_distance) {
            best = &fitted;
            best_distance = d;
        }
    }
    return *best;
}

// The model with exactly these dimensions, if any (for its base height).
const CrxModel* model_with_dimensions(const Crx& robot) noexcept {
    static constexpr std::array<CrxModel, kModelCount> kAll{CrxModel::Crx3iA, CrxModel::Crx5iA,
                                                            CrxModel::Crx10iA, CrxModel::Crx10iAL,
                                                            CrxModel::Crx20iAL, CrxModel::Crx30iA};
    for (const CrxModel& model : kAll) {
        const Crx m = Crx::from_model(model);
        if (m.z1 == robot.z1 && m.x1 == robot.x1 && m.x2 == robot.x2 && m.y1 == robot.y1) {
            return &model;
        }
    }
    return nullptr;
}

// Millimetres the estimated envelopes keep between the checked pairs at the
// zero pose, at least.
constexpr double kZeroPoseClearance = 1.0;
// Two capsules whose segments are farther apart than this share of their
// radii' sum meet in a neck too thin to stand for the link between them.
constexpr double kNeck = 0.8;
constexpr std::size_t kElbowLink = 3;
constexpr std::size_t kForearmLink = 4;
constexpr double kLeastRadiusFactor = 0.5;

Vec3 scaled(const Vec3& p, const Vec3& scale) noexcept {
    return Vec3{p[0] * scale[0], p[1] * scale[1], p[2] * scale[2]};
}

// Capsules `i` and `j` of a fitted link that overlap, stretched by `scale`
// with radii `ri`, `rj`: the capsule that joins them where the stretch
// parted them.
std::optional<Capsule> bridge(const Capsule& i, const Capsule& j, const Vec3& scale, double ri, double rj) {
    const double before = collision::segment_segment_distance(i.a, i.b, j.a, j.b);
    if (!(before <= i.radius + j.radius)) {
        return std::nullopt;  // apart in the fit already
    }
    const Capsule si{scaled(i.a, scale), scaled(i.b, scale), ri};
    const Capsule sj{scaled(j.a, scale), scaled(j.b, scale), rj};
    if (!(collision::segment_segment_distance(si.a, si.b, sj.a, sj.b) > kNeck * (ri + rj))) {
        return std::nullopt;  // still well joined
    }
    // The nearest pair of ends.
    Capsule best{si.a, sj.a, std::min(ri, rj)};
    double nearest = collision::distance(si.a, sj.a);
    for (const Vec3& p : {si.a, si.b}) {
        for (const Vec3& q : {sj.a, sj.b}) {
            if (collision::distance(p, q) < nearest) {
                nearest = collision::distance(p, q);
                best.a = p;
                best.b = q;
            }
        }
    }
    return best;
}

// The least clearance of the checked pairs at the zero pose.
double zero_pose_clearance(const Crx& robot, const Envelopes& envelopes) {
    const std::array<Pose, 6> frames = fk_all(robot, JointVector{});
    std::array<std::vector<Capsule>, kBodyCount> posed;
    for (std::size_t k = 0; k < kBodyCount; ++k) {
        const Pose frame = k == 0 ? Pose{} : frames[k - 1];
        for (const Capsule& c : envelopes[k].capsules) {
            posed[k].push_back(Capsule{collision::apply(frame, c.a), collision::apply(frame, c.b), c.radius});
        }
    }
    double least = std::numeric_limits<double>::infinity();
    for (const auto& pair : kSelfPairs) {
        for (const Capsule& a : posed[pair[0]]) {
            for (const Capsule& b : posed[pair[1]]) {
                least = std::min(least, collision::segment_segment_distance(a.a, a.b, b.a, b.b) - a.radius - b.radius);
            }
        }
    }
    return least;
}

// `source`'s envelopes stretched to `robot`; `height` the ratio of the base
// heights.
Envelopes stretched(const FittedModel& source, const Crx& robot, double height) {
    const Crx s = Crx::from_model(source.model);
    const double z1 = ratio_of(robot.z1, s.z1);
    const double x1 = ratio_of(robot.x1, s.x1);
    const double x2 = ratio_of(robot.x2, s.x2);
    const double y1 = ratio_of(robot.y1, s.y1);
    const double across = std::max({1.0, std::abs(x2), std::abs(y1)});
    const std::array<Vec3, kBodyCount> scale{{
        {across, across, height},  // base
        {across, y1, height},      // turret
        {across, across, z1},      // upper arm
        {x1, across, across},      // elbow
        {x1, across, across},      // forearm
        {x2, y1, across},          // wrist
        {across, across, across},  // flange
    }};
    bool shrinks = false;
    for (const double r : {height, z1, x1, x2, y1}) {
        shrinks = shrinks || std::abs(r) < 1.0;
    }
    const double margin = shrinks ? collision::kShrinkMargin : 0.0;

    const Envelopes fitted = envelopes_of(source);
    Envelopes out;
    for (std::size_t link = 0; link < kBodyCount; ++link) {
        const std::vector<Capsule>& own = fitted[link].capsules;
        const auto radius_of = [&](const Capsule& c) { return c.radius * across + margin; };
        for (const Capsule& c : own) {
            out[link].capsules.push_back(Capsule{scaled(c.a, scale[link]), scaled(c.b, scale[link]), radius_of(c)});
        }
        for (std::size_t i = 0; i < own.size(); ++i) {
            for (std::size_t j = i + 1; j < own.size(); ++j) {
                if (const auto joined = bridge(own[i], own[j], scale[link], radius_of(own[i]), radius_of(own[j]))) {
                    out[link].capsules.push_back(*joined);
                }
            }
        }
    }
    // The elbow and the forearm share the forearm axis (their frames' x,
    // through J3, which J4 turns about): where a longer forearm parts the
    // elbow's far end from the forearm's near one, a capsule on the axis
    // joins them, of the thinner radius.
    const auto reach_along = [](const std::vector<Capsule>& caps, bool far) {
        double x = far ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
        double radius = std::numeric_limits<double>::infinity();
        for (const Capsule& c : caps) {
            for (const Vec3& p : {c.a, c.b}) {
                if (far ? p[0] > x : p[0] < x) {
                    x = p[0];
                    radius = c.radius;
                }
            }
        }
        return std::pair{x, radius};
    };
    {
        const auto [fit_end, fit_end_radius] = reach_along(fitted[kElbowLink].capsules, true);
        const auto [fit_start, fit_start_radius] = reach_along(fitted[kForearmLink].capsules, false);
        const auto [end, end_radius] = reach_along(out[kElbowLink].capsules, true);
        const auto [start, start_radius] = reach_along(out[kForearmLink].capsules, false);
        // The elbow's (its neighbour, the upper arm, is not checked against it).
        if (fit_start - fit_end <= fit_end_radius + fit_start_radius && start - end > kNeck * (end_radius + start_radius) &&
            std::isfinite(start - end)) {
            out[kElbowLink].capsules.push_back(
                Capsule{Vec3{end, 0.0, 0.0}, Vec3{start, 0.0, 0.0}, std::min(end_radius, start_radius)});
        }
    }
    if (zero_pose_clearance(robot, out) < kZeroPoseClearance) {
        // The largest common factor of the radii that clears the zero pose.
        double low = 0.0;
        double high = 1.0;
        for (int step = 0; step < 40; ++step) {
            const double mid = 0.5 * (low + high);
            Envelopes trial = out;
            for (LinkEnvelope& envelope : trial) {
                for (Capsule& c : envelope.capsules) c.radius *= mid;
            }
            (zero_pose_clearance(robot, trial) >= kZeroPoseClearance ? low : high) = mid;
        }
        // No thinner than half: a robot that needs more is so far from the
        // models that the estimate stays as it is (colliding, the safe side).
        if (low >= kLeastRadiusFactor) {
            for (LinkEnvelope& envelope : out) {
                for (Capsule& c : envelope.capsules) c.radius *= low;
            }
        }
    }
    return out;
}

}  // namespace

namespace collision {

Envelopes stretched_envelopes(CrxModel source, const Crx& robot, double height_ratio) {
    const FittedModel* fitted = fitted_model(source);
    return fitted != nullptr ? stretched(*fitted, robot, height_ratio) : Envelopes{};
}

}  // namespace collision

bool envelopes_fitted(CrxModel model) noexcept {
    return fitted_model(model) != nullptr;
}

Envelopes model_envelopes(CrxModel model) {
    if (const FittedModel* fitted = fitted_model(model)) {
        return envelopes_of(*fitted);
    }
    const Crx robot = Crx::from_model(model);
    const FittedModel& source = nearest_fitted(robot);
    return stretched(source, robot, ratio_of(mounting_height(model), mounting_height(source.model)));
}

Envelopes estimated_envelopes(const Crx& robot) {
    if (const CrxModel* model = model_with_dimensions(robot)) {
        return model_envelopes(*model);
    }
    const FittedModel& source = nearest_fitted(robot);
    return stretched(source, robot, ratio_of(robot.z1, Crx::from_model(source.model).z1));
}

}  // namespace ortholink
