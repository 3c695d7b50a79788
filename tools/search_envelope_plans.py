#!/usr/bin/env python3
"""Chooses how each body is cut into capsules (the PLANS of fit_envelopes.py).

Coordinate descent over a list of candidate cuts per body: each body in turn
takes the candidate that gives the fewest false alarms against coal on random
configurations (a sample apart from the one the fit is finally measured on),
the others held, at most --budget capsules in all. The fits here hold the
faces sampled at 3 mm; fit_envelopes.py then fits the chosen cuts exactly.

  PYTHONPATH=build/env/py-ortholink /work/main/.venv/bin/python tools/search_envelope_plans.py Crx10iA
"""

from __future__ import annotations

import json
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import envelope_geometry as eg  # noqa: E402
import envelope_optimise as eo  # noqa: E402
import evaluate_envelopes as ev  # noqa: E402
from fit_envelopes import NAMES, mesh_arrays  # noqa: E402

CANDIDATES = {
    "base": [{}, {0: 2}, {0: 3}, {1: 2}, {1: 3}, {2: 2}, {2: 3}, {0: 2, 1: 2}, {2: 2, 1: 2}, {0: 3, 1: 2}],
    "turret": [{}, {2: 2}, {2: 3}, {2: 4}, {1: 2}, {2: 2, 1: 2}, {2: 3, 1: 2}],
    "upper arm": [
        {},
        {2: 2},
        {2: 3},
        {1: 2},
        {1: 2, 2: 2},
        {1: 2, 2: 3},
        {1: 3, 2: 2},
        {0: 2, 2: 2},
        {1: 2, 2: 4},
        {1: 3, 2: 3},
    ],
    "elbow": [{}, {0: 2}, {0: 3}, {1: 2}, {2: 2}, {0: 2, 1: 2}, {0: 2, 2: 2}],
    "forearm": [{}, {0: 2}, {0: 3}, {0: 4}, {0: 5}, {0: 3, 1: 2}],
    "wrist": [{}, {0: 2}, {1: 2}, {2: 2}, {0: 3}, {0: 2, 1: 2}],
    "flange": [{}, {2: 2}, {1: 2}, {0: 2}],
}
ORDER = ["base", "upper arm", "forearm", "turret", "wrist", "elbow", "flange"]


def main() -> int:
    model = sys.argv[1]
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
    budget = int(sys.argv[3]) if len(sys.argv) > 3 else 30
    meshes = mesh_arrays(model)
    _, poses, mesh_hit, _ = ev.reference(model, meshes, n, seed=11)
    pts = []
    for V, F in meshes:
        fit = eg.surface_points(V, F, 8.0)
        inner = eg.interior_points(V, F, 12.0)
        dense = eg.surface_points(V, F, 3.0)
        pts.append((np.concatenate([fit, inner]), np.concatenate([dense, inner])))
    cache = {}

    def fit(link, plan):
        key = (link, tuple(sorted(plan.items())))
        if key not in cache:
            caps = eo.grid_fit(pts[link][0], plan)
            caps = eg.refit_radius(pts[link][1], caps)
            caps[:, 6] += 0.5
            cache[key] = caps
        return cache[key]

    plans = {name: {} for name in NAMES}
    env = [fit(i, plans[NAMES[i]]) for i in range(7)]
    score = ev.false_alarms(env, poses, mesh_hit)
    print(f"{model}: start {score} false alarms of {n}", flush=True)
    for _sweep in range(2):
        changed = False
        for name in ORDER:
            link = NAMES.index(name)
            for plan in CANDIDATES[name]:
                if plan == plans[name]:
                    continue
                t0 = time.time()
                trial = list(env)
                trial[link] = fit(link, plan)
                if sum(len(c) for c in trial) > budget:
                    continue
                s = ev.false_alarms(trial, poses, mesh_hit)
                print(
                    f"  {name:9s} {plan} -> {s} ({sum(len(c) for c in trial)} capsules) [{time.time() - t0:.0f} s]",
                    flush=True,
                )
                if s < score:
                    score, env, plans[name], changed = s, trial, plan, True
            print(f"{model}: {name} takes {plans[name]}: {score} false alarms", flush=True)
        if not changed:
            break
    print(json.dumps({model: {k: {str(a): b for a, b in v.items()} for k, v in plans.items()}}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
