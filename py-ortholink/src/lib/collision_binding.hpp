#pragma once
// Shared by the units that take scenes, tool geometry and envelopes as arguments.

#include "classes.hpp"
#include "ortholink/collision.hpp"
#include "python.hpp"

namespace ortholink::py {

// The scene of an optional argument (None or absent: the empty scene); a
// value that is not a Scene is a TypeError naming `name`.
const Scene& scene_argument(PyObject* object, const char* name);

// A new Scene instance holding a copy of `scene`.
PyObject* scene_to_python(const Scene& scene);

// Envelopes given as a dict {link index: capsules} or seven entries (None:
// keep), each capsule (a, b, radius) or a sphere (center, radius); the links
// not named keep `defaults`.
Envelopes envelopes_from_any(PyObject* object, const Envelopes& defaults);

// Seven (k, 7) arrays of a, b and radius.
PyObject* envelopes_to_python(const Envelopes& envelopes);

// Arm.collides and Arm.clearance.
extern const MethodTable arm_collision_methods;

}  // namespace ortholink::py
