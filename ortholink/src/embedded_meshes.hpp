#pragma once
// The link mesh streams compiled into the library from ortholink/assets (the
// definitions are generated at build time by assets/embed.cmake).

#include <array>
#include <cstdint>
#include <span>

namespace ortholink::embedded {

extern const std::array<std::span<const std::uint8_t>, 7> crx5ia_streams;
extern const std::array<std::span<const std::uint8_t>, 7> crx10ia_streams;

}  // namespace ortholink::embedded
