"""Geometry shared by the envelope tools: surface sampling, capsule distances,
capsule fitting and the vectorised envelope checker.

Millimetres throughout. A capsule is a row (ax, ay, az, bx, by, bz, r).
"""

from __future__ import annotations

import numpy as np
from scipy.optimize import minimize
from scipy.spatial import ConvexHull

# ---------------------------------------------------------------------------
# Surface sampling


def split_triangles(vertices: np.ndarray, faces: np.ndarray, max_edge: float) -> np.ndarray:
    """The faces split by longest-edge bisection until no edge exceeds
    `max_edge`: an array (T, 3, 3) of corner coordinates. The pieces tile the
    faces exactly, so a convex solid holding the corners of a piece holds all
    of it."""
    tris = vertices[faces].astype(np.float64)
    done = []
    while len(tris):
        e = np.stack(
            [
                np.linalg.norm(tris[:, 1] - tris[:, 0], axis=1),
                np.linalg.norm(tris[:, 2] - tris[:, 1], axis=1),
                np.linalg.norm(tris[:, 0] - tris[:, 2], axis=1),
            ],
            axis=1,
        )
        longest = e.max(axis=1)
        small = longest <= max_edge
        done.append(tris[small])
        tris = tris[~small]
        if not len(tris):
            break
        k = e[~small].argmax(axis=1)
        # Rotate the corners so that the longest edge is corner 0 -> corner 1.
        idx = np.stack([k, (k + 1) % 3, (k + 2) % 3], axis=1)
        t = np.take_along_axis(tris, idx[:, :, None], axis=1)
        m = 0.5 * (t[:, 0] + t[:, 1])
        first = np.stack([t[:, 0], m, t[:, 2]], axis=1)
        second = np.stack([m, t[:, 1], t[:, 2]], axis=1)
        tris = np.concatenate([first, second])
    return np.concatenate(done)


def unique_points(points: np.ndarray, resolution: float = 1e-6) -> np.ndarray:
    keys = np.round(points / resolution).astype(np.int64)
    _, first = np.unique(keys, axis=0, return_index=True)
    return points[np.sort(first)]


def surface_points(vertices: np.ndarray, faces: np.ndarray, max_edge: float) -> np.ndarray:
    """The mesh vertices and the corners of the faces split to `max_edge`."""
    tris = split_triangles(vertices, faces, max_edge)
    return unique_points(np.concatenate([vertices, tris.reshape(-1, 3)]))


def winding_numbers(points: np.ndarray, vertices: np.ndarray, faces: np.ndarray, chunk: int = 256) -> np.ndarray:
    """Generalised winding numbers of `points` in a closed mesh (1 inside, 0 outside)."""
    out = np.empty(len(points))
    A = vertices[faces[:, 0]]
    B = vertices[faces[:, 1]]
    C = vertices[faces[:, 2]]
    for s in range(0, len(points), chunk):
        p = points[s : s + chunk, None, :]
        a, b, c = A[None] - p, B[None] - p, C[None] - p
        la, lb, lc = (np.linalg.norm(x, axis=2) for x in (a, b, c))
        det = np.einsum("ijk,ijk->ij", a, np.cross(b, c))
        den = la * lb * lc + np.einsum("ijk,ijk->ij", a, b) * lc + np.einsum("ijk,ijk->ij", b, c) * la
        den += np.einsum("ijk,ijk->ij", c, a) * lb
        out[s : s + chunk] = np.arctan2(det, den).sum(axis=1) / (2.0 * np.pi)
    return out


def interior_points(vertices: np.ndarray, faces: np.ndarray, spacing: float) -> np.ndarray:
    lo, hi = vertices.min(0), vertices.max(0)
    axes = [np.arange(lo[i] + spacing / 2, hi[i], spacing) for i in range(3)]
    grid = np.stack(np.meshgrid(*axes, indexing="ij"), axis=-1).reshape(-1, 3)
    w = winding_numbers(grid, vertices, faces)
    return grid[w > 0.5]


# ---------------------------------------------------------------------------
# Capsules


def point_segment_distance(p: np.ndarray, a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Distances of points p (N, 3) to the segment a-b (3,)."""
    d = b - a
    dd = float(d @ d)
    if dd <= 0.0:
        return np.linalg.norm(p - a, axis=1)
    t = np.clip((p - a) @ d / dd, 0.0, 1.0)
    return np.linalg.norm(p - (a + t[:, None] * d), axis=1)


def depth(points: np.ndarray, caps: np.ndarray) -> np.ndarray:
    """(N, K): radius minus distance to the axis; >= 0 inside capsule k."""
    return np.stack([c[6] - point_segment_distance(points, c[:3], c[3:6]) for c in caps], axis=1)


def capsule_volume(c: np.ndarray) -> float:
    r = c[6]
    return float(np.pi * r * r * np.linalg.norm(c[3:6] - c[:3]) + 4.0 / 3.0 * np.pi * r**3)


def hull_vertices(points: np.ndarray) -> np.ndarray:
    if len(points) < 8:
        return points
    try:
        return points[ConvexHull(points).vertices]
    except Exception:
        return points


def fit_capsule(points: np.ndarray, start: np.ndarray | None = None) -> np.ndarray:
    """The capsule of least volume (locally) holding `points`: Nelder-Mead on
    the two ends (the radius the largest distance), from the three principal
    axes and from `start`, the best kept."""
    hv = hull_vertices(points)
    c = hv.mean(0)
    u, s, vt = np.linalg.svd(hv - c, full_matrices=False)
    starts = []
    for axis in vt:
        t = (hv - c) @ axis
        perp = np.linalg.norm((hv - c) - np.outer(t, axis), axis=1)
        r = perp.max()
        lo, hi = t.min() + r * 0.7, t.max() - r * 0.7
        if lo > hi:
            lo = hi = 0.5 * (lo + hi)
        starts.append(np.concatenate([c + lo * axis, c + hi * axis]))
    if start is not None:
        starts.append(start[:6].copy())

    def radius(x):
        return point_segment_distance(hv, x[:3], x[3:6]).max()

    def f(x):
        r = radius(x)
        return np.pi * r * r * np.linalg.norm(x[3:6] - x[:3]) + 4.0 / 3.0 * np.pi * r**3

    best, best_f = None, np.inf
    for x0 in starts:
        scale = f(x0)
        res = minimize(
            lambda x, scale=scale: f(x) / scale,
            x0,
            method="Nelder-Mead",
            options={"maxfev": 1200, "xatol": 0.05, "fatol": 1e-6, "adaptive": True},
        )
        if f(res.x) < best_f:
            best, best_f = res.x, f(res.x)
    res = minimize(
        lambda x: f(x) / best_f,
        best,
        method="Nelder-Mead",
        options={"maxfev": 1200, "xatol": 0.02, "fatol": 1e-7, "adaptive": True},
    )
    if f(res.x) < best_f:
        best = res.x
    return np.concatenate([best, [radius(best)]])


def refit_radius(points: np.ndarray, caps: np.ndarray) -> np.ndarray:
    """Radii grown (never shrunk below need) so the union holds every point:
    each uncovered point is taken by the capsule needing the least growth."""
    caps = caps.copy()
    d = depth(points, caps)
    need = -d.max(axis=1)
    bad = need > 0
    if bad.any():
        owner = d[bad].argmax(axis=1)
        for k in np.unique(owner):
            caps[k, 6] += need[bad][owner == k].max()
    return caps


def lloyd_fit(points: np.ndarray, k: int, rng: np.random.Generator, iterations: int = 12, init=None):
    """k capsules holding `points`: alternate assigning points to the capsule
    they sit deepest in and refitting each capsule to its points."""
    if init is None:
        # k-means++ seeds, then plain k-means, for the first assignment.
        centers = [points[rng.integers(len(points))]]
        for _ in range(1, k):
            d2 = np.min([np.sum((points - c) ** 2, axis=1) for c in centers], axis=0)
            centers.append(points[rng.choice(len(points), p=d2 / d2.sum())])
        centers = np.array(centers)
        for _ in range(15):
            lab = np.argmin(((points[:, None, :] - centers[None]) ** 2).sum(-1), axis=1)
            centers = np.array([points[lab == j].mean(0) if (lab == j).any() else centers[j] for j in range(k)])
        caps = np.array(
            [
                fit_capsule(points[lab == j]) if (lab == j).sum() > 0 else np.r_[centers[j], centers[j], 1.0]
                for j in range(k)
            ]
        )
    else:
        caps = init.copy()
    best, best_v = None, np.inf
    for _ in range(iterations):
        d = depth(points, caps)
        lab = d.argmax(axis=1)
        new = []
        for j in range(k):
            sel = points[lab == j]
            if len(sel) == 0:
                new.append(np.r_[caps[j, :6], 0.0])
            else:
                new.append(fit_capsule(sel, caps[j]))
        caps = np.array(new)
        caps = refit_radius(points, caps)
        v = sum(capsule_volume(c) for c in caps)
        if v < best_v - 1e-9 * v:
            best, best_v = caps.copy(), v
        else:
            break
    # drop empty capsules
    d = depth(points, best)
    used = np.unique(d.argmax(axis=1))
    return best[used]


def union_volume(caps: np.ndarray, rng: np.random.Generator, n: int = 400_000) -> float:
    lo = (np.minimum(caps[:, :3], caps[:, 3:6]) - caps[:, 6:7]).min(0)
    hi = (np.maximum(caps[:, :3], caps[:, 3:6]) + caps[:, 6:7]).max(0)
    p = rng.uniform(lo, hi, size=(n, 3))
    inside = (depth(p, caps) >= 0).any(axis=1)
    return float(inside.mean() * np.prod(hi - lo))


def triangles_contained(tris: np.ndarray, caps: np.ndarray, chunk: int = 200_000) -> np.ndarray:
    """For each triangle (T, 3, 3), its worst depth in the best single capsule
    (>= 0: the whole triangle is inside one capsule, since capsules are convex)."""
    out = np.empty(len(tris))
    for s in range(0, len(tris), chunk):
        t = tris[s : s + chunk]
        d = np.stack([depth(t[:, i], caps) for i in range(3)], axis=0).min(axis=0)  # (T, K)
        out[s : s + chunk] = d.max(axis=1)
    return out


# ---------------------------------------------------------------------------
# Vectorised checker


def segment_segment_distance(p0, p1, q0, q1):
    """Distances between segments, arrays (..., 3); Ericson's closest points."""
    eps = 1e-12
    d1 = p1 - p0
    d2 = q1 - q0
    r = p0 - q0
    a = np.einsum("...i,...i->...", d1, d1)
    e = np.einsum("...i,...i->...", d2, d2)
    f = np.einsum("...i,...i->...", d2, r)
    c = np.einsum("...i,...i->...", d1, r)
    b = np.einsum("...i,...i->...", d1, d2)
    denom = a * e - b * b
    s = np.where(
        denom > eps * np.maximum(a * e, eps), np.clip((b * f - c * e) / np.where(denom > 0, denom, 1), 0, 1), 0.0
    )
    s = np.where(a <= eps, 0.0, s)
    t = np.where(e > eps, (b * s + f) / np.where(e > eps, e, 1), 0.0)
    # clamp t, recompute s
    t_lo = t < 0
    t_hi = t > 1
    t = np.clip(t, 0, 1)
    s_lo = np.where(a > eps, np.clip(-c / np.where(a > eps, a, 1), 0, 1), 0.0)
    s_hi = np.where(a > eps, np.clip((b - c) / np.where(a > eps, a, 1), 0, 1), 0.0)
    s = np.where(t_lo, s_lo, np.where(t_hi, s_hi, s))
    c1 = p0 + s[..., None] * d1
    c2 = q0 + t[..., None] * d2
    return np.linalg.norm(c1 - c2, axis=-1)


def pose_capsules(caps: np.ndarray, poses: np.ndarray):
    """caps (K, 7) of one link, poses (N, 4, 4): endpoints (N, K, 3) twice."""
    R = poses[:, :3, :3]
    t = poses[:, :3, 3]
    a = np.einsum("nij,kj->nki", R, caps[:, :3]) + t[:, None, :]
    b = np.einsum("nij,kj->nki", R, caps[:, 3:6]) + t[:, None, :]
    return a, b


def pair_clearance(env, poses: np.ndarray, pairs) -> np.ndarray:
    """(N, P): the capsule clearance of each link pair in each configuration."""
    posed = [pose_capsules(env[i], poses[:, i]) for i in range(len(env))]
    out = np.empty((len(poses), len(pairs)))
    for j, (u, v) in enumerate(pairs):
        au, bu = posed[u]
        av, bv = posed[v]
        ru, rv = env[u][:, 6], env[v][:, 6]
        d = segment_segment_distance(au[:, :, None], bu[:, :, None], av[:, None, :], bv[:, None, :])
        d = d - ru[None, :, None] - rv[None, None, :]
        out[:, j] = d.reshape(len(poses), -1).min(axis=1)
    return out


def fit_capsule_along(points: np.ndarray, axis: np.ndarray) -> np.ndarray:
    """The capsule with its segment parallel to `axis` of least radius holding
    `points` (the smallest circle around their projections), its segment as
    short as that radius allows."""
    hv = hull_vertices(points)
    u = axis / np.linalg.norm(axis)
    e1 = np.cross(u, [1.0, 0, 0] if abs(u[0]) < 0.9 else [0, 1.0, 0])
    e1 /= np.linalg.norm(e1)
    e2 = np.cross(u, e1)
    xy = np.stack([hv @ e1, hv @ e2], axis=1)
    t = hv @ u

    def rad(c):
        return np.linalg.norm(xy - c, axis=1).max()

    c0 = 0.5 * (xy.min(0) + xy.max(0))
    res = minimize(rad, c0, method="Nelder-Mead", options={"xatol": 1e-3, "fatol": 1e-6, "maxfev": 2000})
    c = res.x
    r = rad(c) + 1e-9
    perp = np.linalg.norm(xy - c, axis=1)
    reach = np.sqrt(np.maximum(r * r - perp * perp, 0.0))
    lo = (t + reach).min()
    hi = (t - reach).max()
    if lo > hi:
        lo = hi = 0.5 * (lo + hi)
    base = c[0] * e1 + c[1] * e2
    return np.concatenate([base + lo * u, base + hi * u, [r]])
