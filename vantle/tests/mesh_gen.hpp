#pragma once
// Seeded random meshes for round-trip and robustness tests.

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

#include "vantle/vantle.hpp"

namespace vantle::test {

// VANTLE_SEED and VANTLE_ROUNDTRIP_COUNT override the defaults, so a failing
// case can be replayed or a longer run made.
inline std::uint64_t env_or(const char* name, std::uint64_t fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::strtoull(v, nullptr, 10) : fallback;
}

// Vertices of one of several shapes, at a random scale and offset, and
// random triangles over them.
inline Mesh random_mesh(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<std::uint64_t>(n)); };
    const double scale = std::pow(10.0, -2.0 + 6.0 * unit(rng));
    const double offset = (unit(rng) - 0.5) * std::pow(10.0, 5.0 * unit(rng));
    const std::size_t count = static_cast<std::size_t>(rng() % 1200);
    const int shape = pick(5);
    Mesh mesh;
    for (std::size_t i = 0; i < count; ++i) {
        Point p{};
        switch (shape) {
            case 0:  // scattered in a box
                p = {unit(rng), unit(rng), unit(rng)};
                break;
            case 1: {  // a sphere walked in rings, neighbours close together
                const double t = static_cast<double>(i) / static_cast<double>(count + 1) * 3.14159;
                const double a = static_cast<double>(i) * 0.3;
                p = {std::sin(t) * std::cos(a), std::sin(t) * std::sin(a), std::cos(t)};
                break;
            }
            case 2:  // flat in z, on a coarse grid with repeats
                p = {std::floor(unit(rng) * 8) / 8, std::floor(unit(rng) * 8) / 8, 0.25};
                break;
            case 3: {  // a thin slanted plate
                const double u = unit(rng);
                const double v = unit(rng);
                p = {u + 0.5 * v, 0.7 * u - v, 0.3 * u + 0.2 * v + 1e-3 * unit(rng)};
                break;
            }
            default:  // clusters far apart
                p = {static_cast<double>(i / 50 % 3) * 40 + unit(rng), unit(rng), static_cast<double>(i / 150) * 10};
                break;
        }
        mesh.vertices.push_back({p[0] * scale + offset, p[1] * scale - offset, p[2] * scale});
    }
    if (count > 0) {
        const std::size_t triangles = rng() % (2 * count + 1);
        for (std::size_t t = 0; t < triangles; ++t) {
            // Mostly local triangles, as real meshes have.
            const std::size_t base = rng() % count;
            Triangle tri;
            for (auto& idx : tri) {
                idx = static_cast<std::uint32_t>(pick(3) == 0 ? rng() % count : (base + rng() % 8) % count);
            }
            mesh.triangles.push_back(tri);
        }
    }
    return mesh;
}

}  // namespace vantle::test
