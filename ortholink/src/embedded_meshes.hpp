#pragma once
// The link mesh streams compiled into the library from ortholink/assets (the
// definitions are generated at build time by assets/embed.cmake).

#include <array>
#include <cstdint>
#include <span>

#include "ortholink/robot.hpp"

namespace ortholink::embedded {

using LinkStreams = std::array<std::span<const std::uint8_t>, 7>;

extern const LinkStreams crx5ia_streams;
extern const LinkStreams crx10ia_streams;

struct ModelStreams {
    CrxModel model;
    const LinkStreams* streams;
};

// Every model with geometry, in the order of the build's list (ortholink/meshes.cmake).
extern const std::span<const ModelStreams> models;

}  // namespace ortholink::embedded
