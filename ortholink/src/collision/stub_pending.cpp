// Placeholders for the distance kernels, the point index and the fitted
// envelopes while they are written; the checker links against these.
#include "distance.hpp"
namespace ortholink::collision {
double segment_segment_distance(const Vec3&, const Vec3&, const Vec3&, const Vec3&) noexcept { return 1e9; }
double point_segment_distance(const Vec3&, const Vec3&, const Vec3&) noexcept { return 1e9; }
double segment_box_distance(const Vec3&, const Vec3&, const Box&) noexcept { return 1e9; }
double segment_cylinder_distance(const Vec3&, const Vec3&, const Cylinder&) noexcept { return 1e9; }
double segment_half_space_distance(const Vec3&, const Vec3&, const HalfSpace&) noexcept { return 1e9; }
double box_box_distance(const Box&, const Box&) noexcept { return 1e9; }
}  // namespace ortholink::collision
namespace ortholink {
PointIndex::PointIndex(std::span<const Vec3> points) : count_(points.size()) {}
double PointIndex::segment_distance(const Vec3&, const Vec3&, double) const noexcept { return 1e9; }
double PointIndex::box_distance(const Box&, double) const noexcept { return 1e9; }
PointCloud make_point_cloud(std::vector<Vec3> points, double radius) {
    PointCloud c;
    c.index = std::make_shared<PointIndex>(points);
    c.points = std::move(points);
    c.radius = radius;
    return c;
}
Envelopes model_envelopes(CrxModel) { return {}; }
Envelopes estimated_envelopes(const Crx&) { return {}; }
bool envelopes_fitted(CrxModel) noexcept { return false; }
}  // namespace ortholink
