#!/usr/bin/env python3
"""Measures the capsule envelopes against coal's BVH collide on the embedded meshes.

Random joint vectors uniform within the default limits of `ortholink.Arm(model)`
(J3's range from .lower/.upper, samples outside the elbow limit on J2 + J3
rejected); the 15 pairs of kSelfPairs. For every configuration:

  miss         coal finds a pair colliding, the envelopes find none;
  false alarm  the envelopes report a pair at distance <= 0, coal finds none,
               and no body lies wholly inside another (coal's blind spot:
               it tests surfaces, so a body inside another reads free; such
               configurations are counted apart).

Standalone, it reads the capsules from the JSON the fit wrote:

  PYTHONPATH=build/env/py-ortholink /work/main/.venv/bin/python tools/evaluate_envelopes.py [N]
"""

from __future__ import annotations

import json
import pathlib
import sys
import time

import coal
import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import envelope_geometry as eg  # noqa: E402

import ortholink  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAIRS = [
    (0, 2),
    (0, 3),
    (1, 5),
    (0, 5),
    (1, 4),
    (1, 6),
    (2, 5),
    (2, 6),
    (0, 6),
    (0, 4),
    (1, 3),
    (2, 4),
    (3, 5),
    (3, 6),
    (4, 6),
]
NAMES = ["base", "turret", "upper arm", "elbow", "forearm", "wrist", "flange"]


def sample_joints(arm, n: int, rng: np.random.Generator) -> np.ndarray:
    lo, hi = np.asarray(arm.lower), np.asarray(arm.upper)
    out = []
    while sum(len(o) for o in out) < n:
        q = rng.uniform(lo, hi, size=(2 * n, 6))
        if arm.elbow is not None:
            e = q[:, 1] + q[:, 2]
            q = q[(arm.elbow[0] <= e) & (e <= arm.elbow[1])]
        out.append(q)
    return np.concatenate(out)[:n]


def bvh(V: np.ndarray, F: np.ndarray):
    m = coal.BVHModelOBBRSS()
    m.beginModel(len(F), len(V))
    m.addVertices(np.ascontiguousarray(V, dtype=np.float64))
    m.addTriangles(np.ascontiguousarray(F, dtype=np.int32))
    m.endModel()
    return m


def inside(point: np.ndarray, V: np.ndarray, F: np.ndarray) -> bool:
    return bool(eg.winding_numbers(point[None], V, F)[0] > 0.5)


def reference(model: str, meshes, n: int, seed: int = 7):
    """The sampled configurations, the body poses and coal's verdict on every
    pair; cached under build/ (they do not depend on the envelopes)."""
    cache = ROOT / f"build/envelope_reference_{model}_{n}_{seed}.npz"
    if cache.exists():
        z = np.load(cache)
        return z["q"], z["poses"], z["mesh_hit"], float(z["seconds"])
    rng = np.random.default_rng(seed + 1000)
    arm = ortholink.Arm(getattr(ortholink.CrxModel, model))
    lm = ortholink.LinkMeshes.load(getattr(ortholink.CrxModel, model))
    q = sample_joints(arm, n, rng)
    poses = np.stack([np.asarray(lm.poses(arm.robot, row)) for row in q])  # (N, 7, 4, 4)
    models = [bvh(V, F) for V, F in meshes]
    req = coal.CollisionRequest()
    mesh_hit = np.zeros((n, len(PAIRS)), dtype=bool)
    t0 = time.time()
    for i in range(n):
        tfs = [coal.Transform3s(poses[i, b, :3, :3].copy(), poses[i, b, :3, 3].copy()) for b in range(7)]
        for j, (u, v) in enumerate(PAIRS):
            res = coal.CollisionResult()
            mesh_hit[i, j] = coal.collide(models[u], tfs[u], models[v], tfs[v], req, res) > 0
    seconds = time.time() - t0
    cache.parent.mkdir(parents=True, exist_ok=True)
    np.savez_compressed(cache, q=q, poses=poses, mesh_hit=mesh_hit, seconds=seconds)
    return q, poses, mesh_hit, seconds


def envelope_clearance(env, poses):
    n = len(poses)
    env_d = np.empty((n, len(PAIRS)))
    for s in range(0, n, 2000):
        env_d[s : s + 2000] = eg.pair_clearance(env, poses[s : s + 2000], PAIRS)
    return env_d


def false_alarms(env, poses, mesh_hit) -> int:
    """Configurations the envelopes call colliding and coal free (blind spot
    not separated: a quick score for the search)."""
    env_any = (envelope_clearance(env, poses) <= 0).any(axis=1)
    coal_any = mesh_hit.any(axis=1)
    assert not (coal_any & ~env_any).any(), "an envelope misses a contact"
    return int((env_any & ~coal_any).sum())


def evaluate(model: str, env, meshes, n: int, seed: int = 7, quiet: bool = False) -> dict:
    q, poses, mesh_hit, t_coal = reference(model, meshes, n, seed)
    t0 = time.time()
    env_d = envelope_clearance(env, poses)
    t_env = time.time() - t0
    env_hit = env_d <= 0.0
    coal_any = mesh_hit.any(axis=1)
    env_any = env_hit.any(axis=1)
    misses = np.nonzero(coal_any & ~env_any)[0]
    pair_misses = int((mesh_hit & ~env_hit).sum())
    alarm_rows = np.nonzero(env_any & ~coal_any)[0]
    # coal's blind spot: one body wholly inside another (surfaces apart)
    blind = []
    for i in alarm_rows:
        for j in np.nonzero(env_hit[i])[0]:
            u, v = PAIRS[j]
            Pu = poses[i, u]
            Pv = poses[i, v]
            Vu = meshes[u][0][0] @ Pu[:3, :3].T + Pu[:3, 3]
            Vv = meshes[v][0][0] @ Pv[:3, :3].T + Pv[:3, 3]
            Vu_in_v = (Vu - Pv[:3, 3]) @ Pv[:3, :3]
            Vv_in_u = (Vv - Pu[:3, 3]) @ Pu[:3, :3]
            if inside(Vu_in_v, *meshes[v]) or inside(Vv_in_u, *meshes[u]):
                blind.append(i)
                break
    blind = np.array(sorted(set(blind)), dtype=np.int64)
    false_rows = np.setdiff1d(alarm_rows, blind)
    free = int((~coal_any).sum()) - len(blind)
    out = dict(
        model=model,
        samples=n,
        coal_colliding=int(coal_any.sum()),
        envelope_colliding=int(env_any.sum()),
        misses=int(len(misses)),
        pair_misses=pair_misses,
        blind_spot=int(len(blind)),
        false_alarms=int(len(false_rows)),
        false_alarm_rate_of_all=len(false_rows) / n,
        false_alarm_rate_of_free=len(false_rows) / max(free, 1),
        pair_false_alarms={
            f"{NAMES[u]}-{NAMES[v]}": int((env_hit[false_rows, j] & ~mesh_hit[false_rows, j]).sum())
            for j, (u, v) in enumerate(PAIRS)
        },
        pair_share={f"{NAMES[u]}-{NAMES[v]}": float(mesh_hit[coal_any, j].mean()) for j, (u, v) in enumerate(PAIRS)},
        seconds_envelope=t_env,
        seconds_coal=t_coal,
    )
    if quiet:
        return out
    print(
        f"{model}: {n} configurations, coal colliding {out['coal_colliding']} ({out['coal_colliding'] / n:.1%}), "
        f"envelopes colliding {out['envelope_colliding']}; misses {out['misses']} (pair misses {pair_misses}); "
        f"coal blind spot {out['blind_spot']}; false alarms {out['false_alarms']} = "
        f"{out['false_alarm_rate_of_all']:.2%} of all, {out['false_alarm_rate_of_free']:.2%} of the free",
        flush=True,
    )
    top = sorted(out["pair_false_alarms"].items(), key=lambda kv: -kv[1])[:6]
    print("  false alarms by pair: " + ", ".join(f"{k} {v}" for k, v in top if v), flush=True)
    return out


def main() -> int:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    data = json.loads((ROOT / "build/envelope_fit.json").read_text())
    results = []
    for model, caps in data["fits"].items():
        meshes = [
            (np.asarray(link.vertices, dtype=np.float64), np.asarray(link.faces, dtype=np.int64))
            for link in ortholink.LinkMeshes.load(getattr(ortholink.CrxModel, model)).links
        ]
        results.append(evaluate(model, [np.asarray(c) for c in caps], meshes, n))
    (ROOT / "build/envelope_eval.json").write_text(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
