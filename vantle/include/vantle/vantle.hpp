#pragma once
// Umbrella header of the vantle mesh stream codec.

#include "vantle/bits.hpp"
#include "vantle/container.hpp"
#include "vantle/cursor.hpp"
#include "vantle/error.hpp"
#include "vantle/indices.hpp"
#include "vantle/limits.hpp"
#include "vantle/mesh.hpp"
#include "vantle/metadata.hpp"
#include "vantle/points.hpp"
#include "vantle/writer.hpp"
