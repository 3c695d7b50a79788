#pragma once
// Two doubles side by side. Arithmetic works lane by lane with the rounding
// of each single operation and no contraction, so every lane gives exactly
// the scalar result; used where independent evaluations can share
// instructions.

namespace ortholink::solver {

using V2 = double __attribute__((vector_size(16)));
using M2 = long long __attribute__((vector_size(16)));

inline V2 splat(double x) noexcept {
    return V2{x, x};
}

}  // namespace ortholink::solver
