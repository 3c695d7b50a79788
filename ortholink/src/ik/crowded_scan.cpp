#include "ik/crowded_scan.hpp"

#include <cmath>
#include <optional>

#include "ik/candidates.hpp"
#include "ik/zero_scan.hpp"

namespace ortholink::solver {
namespace {

// Pieces of the stretch and samples per piece.
constexpr int kPieces = 4;
constexpr int kPieceSamples = 96;
// Largest branch residual (a cosine) of an elbow kept.
constexpr double kKeptResidual = 1e-9;

}  // namespace

void scan_crowded(const Setup& setup, double theta, double half_width, Candidates& out) noexcept {
    const double piece = 2.0 * half_width / kPieces;
    for (int p = 0; p < kPieces; ++p) {
        const double start = theta - half_width + piece * p;
        const auto place = [&](double i) { return start + piece * i / kPieceSamples; };
        for (const double s : {1.0, -1.0}) {
            scan_zeros([&](double t) { return branch_residual(setup, t, s); }, place, kPieceSamples,
                       [&](double a, double b, double ga, double gb) { return bisect_branch(setup, s, a, b, ga, gb); },
                       [&](double root) {
                           const auto point = branch_point(setup, root, s);
                           if (point && std::fabs(point->g) <= kKeptResidual) {
                               out.push_back(Candidate{point->o3, point->o4, root, SolutionKind::Regular});
                           }
                       });
        }
    }
}

}  // namespace ortholink::solver
