#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <string>
#include <variant>
#include <vector>

#include "collision/envelope_data.hpp"
#include "ortholink/arm.hpp"
#include "ortholink/collision.hpp"
#include "ortholink/meshes.hpp"

namespace ortholink {
namespace {

constexpr std::array<CrxModel, kModelCount> kAllModels{CrxModel::Crx3iA, CrxModel::Crx5iA, CrxModel::Crx10iA,
                                                       CrxModel::Crx10iAL, CrxModel::Crx20iAL, CrxModel::Crx30iA};

double point_segment_distance(const Vec3& p, const Vec3& a, const Vec3& b) {
    const Vec3 d{b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const Vec3 v{p[0] - a[0], p[1] - a[1], p[2] - a[2]};
    const double dd = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    double t = dd > 0.0 ? (v[0] * d[0] + v[1] * d[1] + v[2] * d[2]) / dd : 0.0;
    t = std::clamp(t, 0.0, 1.0);
    const Vec3 e{v[0] - t * d[0], v[1] - t * d[1], v[2] - t * d[2]};
    return std::sqrt(e[0] * e[0] + e[1] * e[1] + e[2] * e[2]);
}

// How far `p` lies inside the union (negative: outside by that much).
double depth(const LinkEnvelope& envelope, const Vec3& p) {
    double best = -1e300;
    for (const Capsule& c : envelope.capsules) {
        best = std::max(best, c.radius - point_segment_distance(p, c.a, c.b));
    }
    return best;
}

// The corners and the points of a grid of every face, no two grid points of
// a face further apart than about `spacing`.
template <typename Visit>
void sample_faces(const LinkMesh& mesh, double spacing, Visit&& visit) {
    for (const Triangle& f : mesh.faces) {
        const Vec3& p0 = mesh.vertices[f[0]];
        const Vec3& p1 = mesh.vertices[f[1]];
        const Vec3& p2 = mesh.vertices[f[2]];
        auto length = [](const Vec3& a, const Vec3& b) {
            return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
        };
        const double longest = std::max({length(p0, p1), length(p1, p2), length(p2, p0)});
        const int n = std::max(1, static_cast<int>(std::ceil(longest / spacing)));
        for (int i = 0; i <= n; ++i) {
            for (int j = 0; i + j <= n; ++j) {
                const double u = static_cast<double>(i) / n;
                const double v = static_cast<double>(j) / n;
                const double w = 1.0 - u - v;
                visit(Vec3{w * p0[0] + u * p1[0] + v * p2[0], w * p0[1] + u * p1[1] + v * p2[1],
                           w * p0[2] + u * p1[2] + v * p2[2]});
            }
        }
    }
}

LinkMeshes meshes_of(CrxModel model) {
    MeshLoadResult loaded = LinkMeshes::load(model);
    EXPECT_TRUE(std::holds_alternative<LinkMeshes>(loaded)) << model_name(model);
    return std::holds_alternative<LinkMeshes>(loaded) ? std::get<LinkMeshes>(std::move(loaded)) : LinkMeshes{};
}

// The worst depth of the sampled faces of every link in `envelopes`.
void expect_contains(const Envelopes& envelopes, const LinkMeshes& meshes, double slack, const std::string& what) {
    for (std::size_t link = 0; link < kBodyCount; ++link) {
        double worst = 1e300;
        std::size_t samples = 0;
        sample_faces(meshes.links[link], 2.0, [&](const Vec3& p) {
            worst = std::min(worst, depth(envelopes[link], p));
            ++samples;
        });
        EXPECT_GT(samples, meshes.links[link].vertices.size()) << what << " link " << link;
        EXPECT_GE(worst, slack) << what << " link " << link << ": a sample lies " << -worst << " mm outside";
    }
}

TEST(EnvelopeTest, FittedModelsAreTheMeshedOnes) {
    for (CrxModel model : kAllModels) {
        EXPECT_EQ(envelopes_fitted(model), has_link_meshes(model)) << model_name(model);
    }
}

TEST(EnvelopeTest, FittedEnvelopesContainTheirMeshes) {
    for (CrxModel model : kAllModels) {
        if (!envelopes_fitted(model)) {
            continue;
        }
        // The fit holds every face with the safety margin to spare; the
        // samples of a 2 mm grid are well within it.
        expect_contains(model_envelopes(model), meshes_of(model), 0.0, std::string(model_name(model)));
    }
}

TEST(EnvelopeTest, StretchedTenContainsFive) {
    const double height = mounting_height(CrxModel::Crx5iA) / mounting_height(CrxModel::Crx10iA);
    const Envelopes stretched = collision::stretched_envelopes(CrxModel::Crx10iA, Crx::new_5ia(), height);
    expect_contains(stretched, meshes_of(CrxModel::Crx5iA), 0.0, "10iA stretched to 5iA");
}

void expect_sane(const Envelopes& envelopes, const std::string& what) {
    for (std::size_t link = 0; link < kBodyCount; ++link) {
        ASSERT_FALSE(envelopes[link].capsules.empty()) << what << " link " << link;
        for (const Capsule& c : envelopes[link].capsules) {
            EXPECT_TRUE(std::isfinite(c.radius) && c.radius > 0.0) << what << " link " << link;
            for (std::size_t k = 0; k < 3; ++k) {
                EXPECT_TRUE(std::isfinite(c.a[k]) && std::isfinite(c.b[k])) << what << " link " << link;
            }
        }
    }
}

TEST(EnvelopeTest, EveryEnvelopeIsFiniteWithPositiveRadii) {
    for (CrxModel model : kAllModels) {
        expect_sane(model_envelopes(model), std::string(model_name(model)));
        expect_sane(estimated_envelopes(Crx::from_model(model)), "estimated " + std::string(model_name(model)));
    }
    expect_sane(estimated_envelopes(Crx::from_params(100.0, 2000.0, 50.0, 300.0)), "long forearm");
    expect_sane(estimated_envelopes(Crx::from_params(1.0, 1.0, 1.0, 1.0)), "tiny");
    expect_sane(estimated_envelopes(Crx::from_params(0.0, 0.0, 0.0, 0.0)), "zero");
    expect_sane(estimated_envelopes(Crx::from_params(5000.0, 4000.0, 900.0, 800.0)), "huge");
    expect_sane(estimated_envelopes(Crx::from_params(540.0, 540.0, 160.0, -150.0)), "mirrored");
}

TEST(EnvelopeTest, ModelsWithIdenticalDimensionsGetTheModelsEnvelopes) {
    for (CrxModel model : kAllModels) {
        EXPECT_EQ(estimated_envelopes(Crx::from_model(model)), model_envelopes(model)) << model_name(model);
    }
}

// The largest coordinate `k` of a link's envelope, capsule ends plus radii.
double reach(const LinkEnvelope& envelope, std::size_t k) {
    double out = -1e300;
    for (const Capsule& c : envelope.capsules) {
        out = std::max(out, std::max(c.a[k], c.b[k]) + c.radius);
    }
    return out;
}

double smallest_radius(const LinkEnvelope& envelope) {
    double out = 1e300;
    for (const Capsule& c : envelope.capsules) {
        out = std::min(out, c.radius);
    }
    return out;
}

TEST(EnvelopeTest, StretchedEnvelopesFollowTheDimensions) {
    const Envelopes ten = model_envelopes(CrxModel::Crx10iA);
    const Envelopes five = model_envelopes(CrxModel::Crx5iA);
    const Envelopes three = model_envelopes(CrxModel::Crx3iA);
    const Envelopes long_arm = model_envelopes(CrxModel::Crx10iAL);
    const Envelopes thirty = model_envelopes(CrxModel::Crx30iA);
    constexpr std::size_t kUpper = 2;
    constexpr std::size_t kForearm = 4;

    // Smaller: shorter links, radii kept plus the shrink margin.
    EXPECT_LT(reach(three[kUpper], 2), reach(five[kUpper], 2));
    EXPECT_LT(reach(three[kForearm], 0), reach(five[kForearm], 0));
    for (std::size_t link = 0; link < kBodyCount; ++link) {
        ASSERT_EQ(three[link].capsules.size(), five[link].capsules.size());
        for (std::size_t i = 0; i < three[link].capsules.size(); ++i) {
            EXPECT_DOUBLE_EQ(three[link].capsules[i].radius,
                             five[link].capsules[i].radius + collision::kShrinkMargin);
        }
    }

    // Longer upper arm, same forearm and wrist: only the upper arm grows, in
    // length; the cross-sections stay.
    EXPECT_GT(reach(long_arm[kUpper], 2), reach(ten[kUpper], 2) + 100.0);
    EXPECT_GE(reach(long_arm[kForearm], 0), reach(ten[kForearm], 0));
    for (std::size_t link = 0; link < kBodyCount; ++link) {
        EXPECT_EQ(smallest_radius(long_arm[link]), smallest_radius(ten[link]));
    }

    // Larger everywhere, thicker by the ratio of the wrist offsets (y1: 185 / 150).
    for (std::size_t link = 0; link < kBodyCount; ++link) {
        EXPECT_DOUBLE_EQ(smallest_radius(thirty[link]), smallest_radius(ten[link]) * (185.0 / 150.0));
    }
    EXPECT_GT(reach(thirty[kUpper], 2), reach(ten[kUpper], 2) * 1.3);
    EXPECT_GT(reach(thirty[kForearm], 0), reach(ten[kForearm], 0) * 1.3);

    // A robot between the models grows and shrinks link by link.
    const Envelopes odd = estimated_envelopes(Crx::from_params(600.0, 500.0, 160.0, 150.0));
    EXPECT_GT(reach(odd[kUpper], 2), reach(ten[kUpper], 2));
    EXPECT_LT(reach(odd[kForearm], 0), reach(ten[kForearm], 0) * 1.0 + 1e-9 + 60.0);
}

}  // namespace
}  // namespace ortholink
