#pragma once
// Gauss–Newton polishing of a reconstructed joint vector and its pose error,
// behind a declaration that does not pull in the polishing unit's namespace
// (which would collide with the public ortholink::ik function).

#include "ortholink/fk.hpp"
#include "ortholink/pose.hpp"
#include "ortholink/robot.hpp"

namespace ortholink::solver {

// Polishes `start` against `target` into `out` and returns the pose error of `out`.
double polish_and_score(const Crx& robot, const JointVector& start, const Pose& target, JointVector& out) noexcept;

}  // namespace ortholink::solver
