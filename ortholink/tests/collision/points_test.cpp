// The point index against a scan of every point, on seeded random clouds
// (spread, clustered, flat grids with ties, repeated points) and queries near
// and far, with limits below and above the true distance. The scan uses the
// point distances checked in distance_test.cpp.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "collision/distance.hpp"
#include "collision/reference.hpp"

namespace ortholink {
namespace {

namespace ref = collision::reference;

std::vector<Vec3> random_cloud(std::mt19937_64& rng, int kind, std::size_t n) {
    std::uniform_real_distribution<double> u(-500.0, 500.0);
    std::normal_distribution<double> g(0.0, 5.0);
    std::vector<Vec3> points;
    points.reserve(n);
    switch (kind) {
        case 0:  // spread through a cube
            for (std::size_t i = 0; i < n; ++i) points.push_back(Vec3{u(rng), u(rng), u(rng)});
            break;
        case 1: {  // a few tight clusters
            std::vector<Vec3> centres(5);
            for (Vec3& c : centres) c = Vec3{u(rng), u(rng), u(rng)};
            for (std::size_t i = 0; i < n; ++i) {
                const Vec3& c = centres[i % centres.size()];
                points.push_back(Vec3{c[0] + g(rng), c[1] + g(rng), c[2] + g(rng)});
            }
            break;
        }
        case 2: {  // a flat grid 10 apart, every point twice
            const auto side = static_cast<std::size_t>(std::sqrt(static_cast<double>(n / 2))) + 1;
            for (std::size_t i = 0; points.size() + 1 < n; ++i) {
                const Vec3 p{10.0 * static_cast<double>(i % side) - 300.0, 10.0 * static_cast<double>(i / side) - 300.0, 0.0};
                points.push_back(p);
                points.push_back(p);
            }
            break;
        }
        default:  // one point, repeated
            points.assign(n, Vec3{u(rng), u(rng), u(rng)});
            break;
    }
    return points;
}

Box random_box(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(-600.0, 600.0);
    std::uniform_real_distribution<double> size(0.0, 200.0);
    return Box{Pose{ref::random_rotation(rng), Vec3{u(rng), u(rng), u(rng)}}, Vec3{size(rng), size(rng), size(rng)}};
}

TEST(PointIndex, MatchesAScanOfEveryPoint) {
    std::mt19937_64 rng(ref::property_seed());
    const int count = ref::property_count(40);
    std::uniform_real_distribution<double> u(-600.0, 600.0);
    std::uniform_int_distribution<std::size_t> sizes(1, 3000);
    for (int c = 0; c < count; ++c) {
        const int kind = c % 4;
        const std::vector<Vec3> points = random_cloud(rng, kind, sizes(rng));
        const PointIndex index(points);
        ASSERT_EQ(index.size(), points.size());
        for (int q = 0; q < 50; ++q) {
            const Vec3 a{u(rng), u(rng), u(rng)};
            Vec3 b{u(rng), u(rng), u(rng)};
            if (q % 5 == 0) b = a;
            if (q % 5 == 1) b = Vec3{a[0] + 0.3 * u(rng), a[1] + 0.3 * u(rng), a[2]};  // level with the grid
            double want = INFINITY;
            for (const Vec3& p : points) want = std::fmin(want, collision::point_segment_distance(p, a, b));
            const double tol = 1e-9 * (1.0 + want);
            // No limit, a limit above, at and below the distance.
            EXPECT_NEAR(index.segment_distance(a, b, INFINITY), want, tol) << kind;
            EXPECT_NEAR(index.segment_distance(a, b, want * 1.5 + 1.0), want, tol) << kind;
            // At the distance, within the rounding of the two ways of computing it.
            EXPECT_NEAR(index.segment_distance(a, b, want * (1.0 + 1e-12)), want, tol) << kind;
            EXPECT_GT(index.segment_distance(a, b, want * 0.9 - 1e-6), want * 0.9 - 1e-6) << kind;
            EXPECT_GT(index.segment_distance(a, b, -1.0), -1.0);

            const Box box = random_box(rng);
            double want_box = INFINITY;
            for (const Vec3& p : points) want_box = std::fmin(want_box, ref::point_box(p, box));
            const double tol_box = 1e-9 * (1.0 + want_box);
            EXPECT_NEAR(index.box_distance(box, INFINITY), want_box, tol_box) << kind;
            EXPECT_NEAR(index.box_distance(box, want_box + 1.0), want_box, tol_box) << kind;
            EXPECT_GT(index.box_distance(box, want_box * 0.9 - 1e-6), want_box * 0.9 - 1e-6) << kind;
        }
    }
}

TEST(PointIndex, EmptyAndInvalidClouds) {
    const PointIndex empty(std::vector<Vec3>{});
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_GT(empty.segment_distance({0, 0, 0}, {1, 0, 0}, 1e300), 1e300);
    EXPECT_GT(empty.box_distance(Box{}, 1e300), 1e300);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_THROW(PointIndex(std::vector<Vec3>{{0, 0, 0}, {nan, 0, 0}}), std::invalid_argument);
    EXPECT_THROW(PointIndex(std::vector<Vec3>{{0, INFINITY, 0}}), std::invalid_argument);
}

TEST(PointIndex, MakePointCloudKeepsThePointsAndIndexesThem) {
    const std::vector<Vec3> points{{0, 0, 0}, {10, 0, 0}, {0, 10, 5}};
    const PointCloud cloud = make_point_cloud(points, 2.5);
    EXPECT_EQ(cloud.points, points);
    EXPECT_EQ(cloud.radius, 2.5);
    ASSERT_NE(cloud.index, nullptr);
    EXPECT_EQ(cloud.index->size(), 3u);
    EXPECT_DOUBLE_EQ(cloud.index->segment_distance({5, -5, 0}, {5, 5, 0}, 100.0), 5.0);
    EXPECT_DOUBLE_EQ(cloud.index->box_distance(Box{Pose{Quat{}, {0, 10, 0}}, {2, 2, 2}}, 100.0), 4.0);
}

}  // namespace
}  // namespace ortholink
