"""The capsule fit: a few capsules of small union volume holding a point set.

Seeds from a k-means clustering and a least-volume capsule per cluster, then
optimises every capsule of the link together with L-BFGS on a smooth
objective: the union's volume (Monte Carlo, occupancy softened by a sigmoid)
plus a steep penalty on points left outside. The caller then grows the radii
until containment is exact.
"""

from __future__ import annotations

import envelope_geometry as eg
import numpy as np
from scipy.optimize import minimize


def _dist_grad(p, a, b):
    """Distances of p (N,3) to segment a-b and their gradients wrt a and b."""
    d = b - a
    dd = float(d @ d)
    if dd > 1e-12:
        t = np.clip((p - a) @ d / dd, 0.0, 1.0)
    else:
        t = np.zeros(len(p))
    c = a + t[:, None] * d
    v = p - c
    n = np.linalg.norm(v, axis=1)
    u = v / np.maximum(n, 1e-9)[:, None]
    ga = -u * (1.0 - t)[:, None]
    gb = -u * t[:, None]
    return n, ga, gb


def _softmax_depth(points, x, k, tau):
    """Smooth max over capsules of (r - dist): value and gradient wrt x."""
    caps = x.reshape(k, 7)
    D = np.empty((len(points), k))
    G = []
    for j in range(k):
        n, ga, gb = _dist_grad(points, caps[j, :3], caps[j, 3:6])
        D[:, j] = caps[j, 6] - n
        G.append((ga, gb))
    m = D.max(axis=1)
    e = np.exp((D - m[:, None]) / tau)
    s = e.sum(axis=1)
    val = m + tau * np.log(s)
    w = e / s[:, None]  # d val / d D_j
    grads = []
    for j in range(k):
        ga, gb = G[j]
        grads.append((w[:, j], ga, gb))
    return val, grads


def _objective(x, k, cover, probe, box_volume, tau, sharp, weight, margin):
    # volume part
    vp, gp = _softmax_depth(probe, x, k, tau)
    z = np.clip(vp / sharp, -40, 40)
    sig = 1.0 / (1.0 + np.exp(-z))
    dsig = sig * (1 - sig) / sharp
    vol = box_volume * sig.mean()
    grad = np.zeros_like(x)
    coef = box_volume * dsig / len(probe)
    for j, (w, ga, gb) in enumerate(gp):
        cw = coef * w
        grad[j * 7 : j * 7 + 3] -= (cw[:, None] * ga).sum(0)
        grad[j * 7 + 3 : j * 7 + 6] -= (cw[:, None] * gb).sum(0)
        grad[j * 7 + 6] += cw.sum()
    # coverage penalty
    vc, gc = _softmax_depth(cover, x, k, tau)
    short = np.maximum(margin - vc, 0.0)
    pen = weight * (short**2).sum()
    dpen = -2.0 * weight * short
    for j, (w, ga, gb) in enumerate(gc):
        cw = dpen * w
        grad[j * 7 : j * 7 + 3] -= (cw[:, None] * ga).sum(0)
        grad[j * 7 + 3 : j * 7 + 6] -= (cw[:, None] * gb).sum(0)
        grad[j * 7 + 6] += cw.sum()
    return vol + pen, grad


def seed(points, k, rng):
    centers = [points[rng.integers(len(points))]]
    for _ in range(1, k):
        d2 = np.min([np.sum((points - c) ** 2, axis=1) for c in centers], axis=0)
        centers.append(points[rng.choice(len(points), p=d2 / d2.sum())])
    centers = np.array(centers)
    for _ in range(20):
        lab = np.argmin(((points[:, None, :] - centers[None]) ** 2).sum(-1), axis=1)
        centers = np.array([points[lab == j].mean(0) if (lab == j).any() else centers[j] for j in range(k)])
    caps = []
    for j in range(k):
        sel = points[lab == j]
        caps.append(eg.fit_capsule(sel) if len(sel) >= 2 else np.r_[centers[j], centers[j], 1.0])
    return eg.refit_radius(points, np.array(caps))


def optimise(points, caps, rng, probes=60000, tau=1.0, sharp=1.5):
    k = len(caps)
    lo = points.min(0) - 20
    hi = points.max(0) + 20
    probe = rng.uniform(lo, hi, size=(probes, 3))
    box_volume = float(np.prod(hi - lo))
    cover = points
    x = caps.reshape(-1).copy()
    for weight, margin in ((0.5, 1.0), (5.0, 1.5), (50.0, 2.0)):
        res = minimize(
            _objective,
            x,
            args=(k, cover, probe, box_volume, tau, sharp, weight * box_volume / len(cover) / 100.0, margin),
            jac=True,
            method="L-BFGS-B",
            options={"maxiter": 300},
        )
        x = res.x
    caps = x.reshape(k, 7)
    caps[:, 6] = np.abs(caps[:, 6])
    return eg.refit_radius(points, caps)


def fit_link(surface, inner, k, rng, restarts=4, method="slabs"):
    pts = np.concatenate([surface, inner]) if len(inner) else surface
    if k == 1:
        return eg.refit_radius(pts, eg.fit_capsule(pts)[None])
    if isinstance(method, dict):
        return eg.refit_radius(pts, grid_fit(pts, method))
    if method == "slabs":
        return eg.refit_radius(pts, slab_fit(pts, k))
    # subsample the cover set for speed; the exact growth comes after
    if len(pts) > 25000:
        pts_fit = pts[rng.choice(len(pts), 25000, replace=False)]
    else:
        pts_fit = pts
    best, best_v = None, np.inf
    for _ in range(restarts):
        caps = seed(pts_fit, k, rng)
        caps = optimise(pts_fit, caps, rng)
        caps = eg.refit_radius(pts, caps)
        v = eg.union_volume(caps, rng, 200_000)
        if v < best_v:
            best, best_v = caps, v
    return best


# ---------------------------------------------------------------------------
# Greedy bisection: the fit used by the tool.


def _best_split(pts, axes, fractions=(0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8)):
    """The cut of `pts` by a plane normal to one of `axes` that most lowers the
    summed volume of the two halves' least-volume capsules."""
    best = None
    for axis in axes:
        t = pts @ axis
        for f in fractions:
            cut = np.quantile(t, f)
            lo, hi = pts[t <= cut], pts[t >= cut]
            if len(lo) < 10 or len(hi) < 10:
                continue
            c1, c2 = eg.fit_capsule(lo), eg.fit_capsule(hi)
            v = eg.capsule_volume(c1) + eg.capsule_volume(c2)
            if best is None or v < best[0]:
                best = (v, lo, hi, c1, c2)
    return best


def bisection_fit(pts, k, extra_axes=()):
    axes = [np.array([1.0, 0, 0]), np.array([0, 1.0, 0]), np.array([0, 0, 1.0])] + list(extra_axes)
    first = eg.fit_capsule(pts)
    pieces = [dict(pts=pts, cap=first, vol=eg.capsule_volume(first), split=None)]
    while len(pieces) < k:
        for p in pieces:
            if p["split"] is None and len(p["pts"]) >= 20:
                p["split"] = _best_split(hull_cloud(p["pts"]), axes) or (np.inf,)
        gains = [p["vol"] - p["split"][0] if p["split"] is not None else -np.inf for p in pieces]
        j = int(np.argmax(gains))
        if not np.isfinite(gains[j]) or gains[j] <= 0:
            break
        v, lo, hi, c1, c2 = pieces[j]["split"]
        pieces[j : j + 1] = [
            dict(pts=lo, cap=c1, vol=eg.capsule_volume(c1), split=None),
            dict(pts=hi, cap=c2, vol=eg.capsule_volume(c2), split=None),
        ]
    return np.array([p["cap"] for p in pieces])


def hull_cloud(pts):
    """Points whose pieces' hulls are those of `pts` pieces: here simply the
    points (kept for clarity; the fits take hull vertices themselves)."""
    return pts


def slab_fit(pts, k, axes=None):
    """k capsules, one per slab of `pts` between planes normal to one axis;
    the axis and the cuts (equal quantiles, then equal widths, then a coarse
    search of each cut) giving the least summed volume."""
    if axes is None:
        axes = [np.array([1.0, 0, 0]), np.array([0, 1.0, 0]), np.array([0, 0, 1.0])]

    def fit_cuts(t, cuts):
        edges = np.concatenate([[-np.inf], np.sort(cuts), [np.inf]])
        caps = []
        for lo, hi in zip(edges[:-1], edges[1:]):
            sel = pts[(t >= lo) & (t <= hi)]
            if len(sel) < 4:
                return None, np.inf
            caps.append(eg.fit_capsule(sel))
        return np.array(caps), sum(eg.capsule_volume(c) for c in caps)

    best = (None, np.inf, None, None)
    for axis in axes:
        t = pts @ axis
        for cuts in (np.quantile(t, np.arange(1, k) / k), t.min() + (t.max() - t.min()) * np.arange(1, k) / k):
            caps, v = fit_cuts(t, cuts)
            if v < best[1]:
                best = (caps, v, axis, cuts)
    caps, v, axis, cuts = best
    t = pts @ axis
    span = t.max() - t.min()
    # coarse search of each cut in turn
    for step in (0.06, 0.03):
        for i in range(len(cuts)):
            for d in (-step, step):
                trial = cuts.copy()
                trial[i] += d * span
                c2, v2 = fit_cuts(t, trial)
                if v2 < v:
                    caps, v, cuts = c2, v2, trial
    return caps


def grid_fit(pts, cuts):
    """One least-volume capsule per cell of a grid of slabs: `cuts` maps an
    axis of the link frame (0 x, 1 y, 2 z) to the number of equal-width slabs
    along it. Cells with too few points are merged away by the radius growth."""
    cuts = dict(cuts)
    along = cuts.pop("axis", None)
    cells = [np.ones(len(pts), dtype=bool)]
    for axis, n in cuts.items():
        t = pts[:, axis]
        edges = np.linspace(t.min(), t.max(), n + 1)
        new = []
        for cell in cells:
            for lo, hi in zip(edges[:-1], edges[1:]):
                sel = cell & (t >= lo - 1e-9) & (t <= hi + 1e-9)
                if sel.sum() >= 4:
                    new.append(sel)
        cells = new
    if along is not None:
        return np.array([eg.fit_capsule_along(pts[c], np.eye(3)[along]) for c in cells])
    return np.array([eg.fit_capsule(pts[c]) for c in cells])
