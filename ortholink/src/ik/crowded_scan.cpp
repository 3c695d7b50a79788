#include "ik/crowded_scan.hpp"

#include <cmath>
#include <optional>

#include "ik/zero_scan.hpp"

namespace ortholink::solver {
namespace {

// Pieces of the stretch and samples per piece.
constexpr int kPieces = 4;
constexpr int kPieceSamples = 96;
constexpr int kBisections = 64;
constexpr double kStop = 1e-15;  // radians
// Largest branch residual (a cosine) of an elbow kept.
constexpr double kKeptResidual = 1e-9;

// The zero of branch s between a and b where its residual changes sign:
// false position with the Illinois change; the end with the smaller residual.
double bisect(const Setup& setup, double s, double a, double b, double ga, double gb) noexcept {
    int side = 0;
    for (int k = 0; k < kBisections && ga != 0.0 && gb != 0.0 && std::fabs(b - a) > kStop; ++k) {
        double m = b - gb * (b - a) / (gb - ga);
        if (!(m > std::fmin(a, b) && m < std::fmax(a, b))) {
            m = 0.5 * (a + b);
            if (m == a || m == b) {
                break;
            }
        }
        const std::optional<double> gm = branch_residual(setup, m, s);
        if (!gm) {
            break;
        }
        if ((*gm > 0.0) == (ga > 0.0) && *gm != 0.0) {
            a = m;
            ga = *gm;
            if (side == -1) {
                gb *= 0.5;
            }
            side = -1;
        } else {
            b = m;
            gb = *gm;
            if (side == 1) {
                ga *= 0.5;
            }
            side = 1;
        }
    }
    const std::optional<double> at_a = branch_residual(setup, a, s);
    const std::optional<double> at_b = branch_residual(setup, b, s);
    return at_a && (!at_b || std::fabs(*at_a) < std::fabs(*at_b)) ? a : b;
}

}  // namespace

void scan_crowded(const Setup& setup, double theta, double half_width, Candidates& out) noexcept {
    const double piece = 2.0 * half_width / kPieces;
    for (int p = 0; p < kPieces; ++p) {
        const double start = theta - half_width + piece * p;
        const auto place = [&](double i) { return start + piece * i / kPieceSamples; };
        for (const double s : {1.0, -1.0}) {
            scan_zeros([&](double t) { return branch_residual(setup, t, s); }, place, kPieceSamples,
                       [&](double a, double b, double ga, double gb) { return bisect(setup, s, a, b, ga, gb); },
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
