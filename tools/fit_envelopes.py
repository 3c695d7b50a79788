#!/usr/bin/env python3
"""Fits the capsule envelopes of the CRX link meshes and writes them as C++ data.

For each meshed model (CRX-5iA, CRX-10iA) and each of its seven bodies, a few
capsules in the body's frame whose union holds every point of every triangle
of the embedded visual mesh:

  * the faces are split by longest-edge bisection until no edge is longer than
    --check-edge (2 mm); every piece must lie wholly in ONE capsule, which,
    capsules being convex, is exact when its three corners do. The radii are
    grown until that holds, then the safety margin (--margin, 0.5 mm) is added;
  * the points of a 12 mm grid inside the (closed) meshes are held too, so
    the envelope is solid and a body inside another is caught.

The fit: each body is cut into a few slabs (PLANS below) and each slab held by
its least-volume capsule (Nelder-Mead from the principal axes), or, for
{"optimise": k}, k capsules of least union volume optimised together
(envelope_optimise.py). The links of TIGHTEN are then moved to fewer false
alarms against coal on a training sample (envelope_tighten.py) and grown to
contain their meshes again.

Writes ortholink/src/collision/envelope_data.cpp and prints a report. With
--evaluate N (default 20000) it then measures misses and false alarms against
coal's BVH collide on the meshes (tools/evaluate_envelopes.py).

Run from the repository root, with the built Python module on the path:

  PYTHONPATH=build/env/py-ortholink /work/main/.venv/bin/python tools/fit_envelopes.py
"""

from __future__ import annotations

import argparse
import json
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import envelope_geometry as eg  # noqa: E402
import envelope_optimise as eo  # noqa: E402
import envelope_tighten as et  # noqa: E402

import ortholink  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
OUTPUT = ROOT / "ortholink/src/collision/envelope_data.cpp"
NAMES = ["base", "turret", "upper arm", "elbow", "forearm", "wrist", "flange"]

# How each body is cut into cells, each held by its least-volume capsule:
# {axis of the body's frame (0 x, 1 y, 2 z): number of equal-width slabs along
# it}; {} is one capsule. Chosen by tools/search_envelope_plans.py for the
# fewest false alarms (on a sample apart from the one measured below): more
# cells lower the volume but not always the false alarms, since least-volume
# capsules of cells bulge where contacts happen (the base's rim and the upper
# arm's inner face are best held by one capsule each).
PLANS = {
    "Crx5iA": {
        "base": {"optimise": 2},
        "turret": {1: 2},
        "upper arm": {},
        "elbow": {},
        "forearm": {0: 3},
        "wrist": {0: 2},
        "flange": {},
    },
    "Crx10iA": {
        "base": {},
        "turret": {1: 2},
        "upper arm": {},
        "elbow": {},
        "forearm": {0: 4},
        "wrist": {0: 2},
        "flange": {},
    },
}
# Links refined for false alarms after the fit, in this order (see envelope_tighten.py).
# On the CRX-5iA, base against upper arm raised most false alarms (870 of 1,203 in
# 20,000 configurations with the plain fit): the base's rim and the connector on
# its back, and the inner face of the upper arm.
TIGHTEN = {
    "Crx5iA": ["base", "upper arm"],
    "Crx10iA": [],
}
MODELS = ["Crx5iA", "Crx10iA"]

# Link dimensions (robot.cpp) and base heights (arm.cpp), for the stretch check.
DIMS = {"Crx5iA": (410.0, 430.0, 145.0, 130.0, 185.0), "Crx10iA": (540.0, 540.0, 160.0, 150.0, 245.0)}


def mesh_arrays(model_name: str):
    meshes = ortholink.LinkMeshes.load(getattr(ortholink.CrxModel, model_name))
    return [
        (np.asarray(link.vertices, dtype=np.float64), np.asarray(link.faces, dtype=np.int64)) for link in meshes.links
    ]


def contain(caps: np.ndarray, pieces: np.ndarray, inner: np.ndarray) -> np.ndarray:
    """Radii grown until every piece lies in one capsule and every interior
    point in some capsule."""
    caps = caps.copy()
    for _ in range(50):
        worst = eg.triangles_contained(pieces, caps)
        bad = worst < 0
        if not bad.any():
            break
        # Grow, for each failing piece, the capsule that needs least growth.
        t = pieces[bad]
        d = np.stack([eg.depth(t[:, i], caps) for i in range(3)], axis=0).min(axis=0)
        owner = d.argmax(axis=1)
        need = -d.max(axis=1)
        for k in np.unique(owner):
            caps[k, 6] += need[owner == k].max() + 1e-9
    assert (eg.triangles_contained(pieces, caps) >= 0).all()
    if len(inner):
        caps = eg.refit_radius(inner, caps)
    return caps


def stretch(caps_by_link, source, target):
    """The source model's capsules stretched to the target's dimensions (the
    rule of ortholink/src/collision/envelopes.cpp), radii kept."""
    z1, x1, x2, y1, h = (t / s for t, s in zip(DIMS[target], DIMS[source]))
    scale = [
        (1.0, 1.0, h),  # base: heights follow the base height
        (1.0, y1, h),  # turret
        (1.0, 1.0, z1),  # upper arm: along J2 -> J3
        (x1, 1.0, 1.0),  # elbow
        (x1, 1.0, 1.0),  # forearm: along J3 -> J5
        (x2, y1, 1.0),  # wrist: towards the flange and the forearm axis
        (1.0, 1.0, 1.0),  # flange
    ]
    out = []
    for caps, s in zip(caps_by_link, scale):
        c = caps.copy()
        c[:, 0:3] *= s
        c[:, 3:6] *= s
        out.append(c)
    return out


def fmt(x: float) -> str:
    return repr(float(x)) if float(x) == round(float(x), 6) else f"{x:.17g}"


def write_data(fits, margin: float, shrink_margin: float, check_edge: float, path: pathlib.Path):
    lines = [
        "// Generated by tools/fit_envelopes.py: do not edit. To refit, build the Python",
        "// module and run, from the repository root,",
        "//   PYTHONPATH=build/env/py-ortholink /work/main/.venv/bin/python tools/fit_envelopes.py",
        "//",
        "// The capsules of each body of the meshed models, in the body's frame",
        "// (millimetres). Every piece of every face of the embedded meshes, split to",
        f"// edges of at most {check_edge:g} mm, lies inside one capsule; then {margin:g} mm was added to",
        "// every radius. kShrinkMargin is the radius growth that makes the CRX-10iA's",
        "// capsules, stretched down to the CRX-5iA's dimensions, hold the CRX-5iA's",
        "// meshes (measured by the tool, rounded up, with the same safety margin).",
        "",
        '#include "collision/envelope_data.hpp"',
        "",
        "namespace ortholink::collision {",
        "namespace {",
        "",
    ]
    for model, caps_by_link in fits.items():
        lines.append(f"constexpr FittedCapsule k{model}[] = {{")
        for link, caps in enumerate(caps_by_link):
            lines.append(f"    // {NAMES[link]}")
            for c in caps:
                a = ", ".join(fmt(v) for v in c[:3])
                b = ", ".join(fmt(v) for v in c[3:6])
                lines.append(f"    {{{link}, {{{a}}}, {{{b}}}, {fmt(c[6])}}},")
        lines.append("};")
        lines.append("")
    lines.append("constexpr FittedModel kModels[] = {")
    for model in fits:
        lines.append(f"    {{CrxModel::{model}, k{model}}},")
    lines += [
        "};",
        "",
        "}  // namespace",
        "",
        f"const double kFitMargin = {fmt(margin)};",
        f"const double kShrinkMargin = {fmt(shrink_margin)};",
        "",
        "std::span<const FittedModel> fitted_models() noexcept {",
        "    return kModels;",
        "}",
        "",
        "}  // namespace ortholink::collision",
        "",
    ]
    path.write_text("\n".join(lines))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--margin", type=float, default=0.5, help="safety margin added to every radius, mm")
    ap.add_argument("--check-edge", type=float, default=2.0, help="longest edge of the checked face pieces, mm")
    ap.add_argument("--fit-edge", type=float, default=8.0, help="longest edge of the pieces the fit sees, mm")
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--train", type=int, default=10000, help="configurations the tightening sees (seed + 4)")
    ap.add_argument("--sweeps", type=int, default=1, help="passes of the tightening over TIGHTEN's links")
    ap.add_argument("--evaluate", type=int, default=20000, help="random configurations per model (0: skip)")
    ap.add_argument("--json", type=pathlib.Path, default=ROOT / "build/envelope_fit.json")
    ap.add_argument("--output", type=pathlib.Path, default=OUTPUT)
    args = ap.parse_args()
    rng = np.random.default_rng(args.seed)

    fits, report = {}, {}
    meshes = {}
    for model in MODELS:
        meshes[model] = mesh_arrays(model)
        fits[model] = []
        report[model] = []
        samples = []
        for link, (V, F) in enumerate(meshes[model]):
            t0 = time.time()
            fit_pts = eg.surface_points(V, F, args.fit_edge)
            inner = eg.interior_points(V, F, 12.0)
            plan = PLANS[model][NAMES[link]]
            if "optimise" in plan:
                # Its own generator, so that the fit does not depend on the links before it.
                caps = eo.fit_link(
                    fit_pts, inner, plan["optimise"], np.random.default_rng([args.seed, link]), 3, "optimise"
                )
            else:
                caps = eo.fit_link(fit_pts, inner, 0, rng, method=plan)
            pieces = eg.split_triangles(V, F, args.check_edge)
            caps = contain(caps, pieces, inner)
            caps[:, 6] += args.margin
            fits[model].append(caps)
            samples.append((pieces, inner, np.concatenate([eg.surface_points(V, F, 6.0), inner])))
            print(f"{model} {NAMES[link]:9s} fitted, k={len(caps)} [{time.time() - t0:.0f} s]", flush=True)

        # Then the links whose capsules pay most for tightness are moved to
        # fewer false alarms (on a sample apart from the one measured below),
        # each against the others as they stand.
        if TIGHTEN.get(model):
            import evaluate_envelopes

            _, poses, mesh_hit, _ = evaluate_envelopes.reference(model, meshes[model], args.train, args.seed + 4)
            for _sweep in range(args.sweeps):
                for name in TIGHTEN[model]:
                    t0 = time.time()
                    link = NAMES.index(name)
                    pieces, inner, points = samples[link]
                    caps = et.tighten(link, fits[model][link], fits[model], poses, mesh_hit, points)
                    caps = contain(caps, pieces, inner)
                    caps[:, 6] += args.margin
                    fits[model][link] = caps
                    print(f"{model} {name:9s} tightened [{time.time() - t0:.0f} s]", flush=True)

        for link, (V, F) in enumerate(meshes[model]):
            caps = fits[model][link]
            pieces = samples[link][0]
            import trimesh

            hull = trimesh.Trimesh(V, F, process=False).convex_hull.volume
            vol = eg.union_volume(caps, rng, 1_000_000)
            low = float((np.minimum(caps[:, 2], caps[:, 5]) - caps[:, 6]).min())
            report[model].append(
                dict(
                    link=link,
                    capsules=len(caps),
                    volume=vol,
                    hull=hull,
                    ratio=vol / hull,
                    pieces=len(pieces),
                    lowest=low,
                )
            )
            print(
                f"{model} {NAMES[link]:9s} k={len(caps)} union/hull {vol / hull:.3f} "
                f"({vol / 1e6:.2f} / {hull / 1e6:.2f} L) pieces {len(pieces)} lowest z {low:.1f}",
                flush=True,
            )

    # How much the stretched CRX-10iA envelope misses the CRX-5iA mesh by.
    stretched = stretch(fits["Crx10iA"], "Crx10iA", "Crx5iA")
    need = 0.0
    for link, (V, F) in enumerate(meshes["Crx5iA"]):
        pieces = eg.split_triangles(V, F, args.check_edge)
        worst = eg.triangles_contained(pieces, stretched[link])
        need = max(need, float(-worst.min()))
        print(f"stretch 10iA -> 5iA {NAMES[link]:9s}: least depth of a piece {worst.min():+.2f} mm", flush=True)
    shrink_margin = np.ceil(max(need, 0.0) * 10) / 10 + args.margin
    print(f"shrink margin: {shrink_margin:.1f} mm (measured {need:.3f} mm + {args.margin} mm)")

    for model in fits:
        mount = DIMS[model][4]
        low = report[model][1]["lowest"]
        print(f"{model}: turret envelope lowest point z = {low:.1f} mm, mounting face z = {-mount:.1f} mm")

    write_data(fits, args.margin, shrink_margin, args.check_edge, args.output)
    print(f"wrote {args.output}")
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(
        json.dumps(
            dict(
                margin=args.margin,
                shrink_margin=shrink_margin,
                report=report,
                fits={m: [c.tolist() for c in v] for m, v in fits.items()},
            ),
            indent=1,
        )
    )
    results = {}
    if args.evaluate:
        import evaluate_envelopes

        for model in fits:
            results[model] = evaluate_envelopes.evaluate(model, fits[model], meshes[model], args.evaluate, args.seed)
    print()
    for model in fits:
        print(f"{model} (margin {args.margin} mm):")
        print("| link | capsules | envelope volume (L) | convex hull (L) | ratio |")
        print("|---|---|---|---|---|")
        for r in report[model]:
            print(
                f"| {NAMES[r['link']]} | {r['capsules']} | {r['volume'] / 1e6:.2f} "
                f"| {r['hull'] / 1e6:.2f} | {r['ratio']:.2f} |"
            )
        tv = sum(r["volume"] for r in report[model])
        th = sum(r["hull"] for r in report[model])
        k = sum(r["capsules"] for r in report[model])
        print(f"| all | {k} | {tv / 1e6:.2f} | {th / 1e6:.2f} | {tv / th:.2f} |")
        if model in results:
            r = results[model]
            print(
                f"{r['samples']} configurations: {r['misses']} misses, {r['false_alarms']} false alarms "
                f"({r['false_alarm_rate_of_all']:.2%} of all, {r['false_alarm_rate_of_free']:.2%} of the free), "
                f"coal blind spot {r['blind_spot']}"
            )
        print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
