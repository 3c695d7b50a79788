"""Collision checks: the envelopes against coal's BVH mesh check, in one run.

CRX-10iA (and CRX-5iA) with the published limits; uniform random joint vectors within them.
Prints, per configuration (median over repeats of a batch, one thread):
- the self check (`Arm.collides`) and coal's mesh check of the same 15 pairs (through its
  Python API, and per pair call so that its own cost is what is timed),
- the self check with a 10-obstacle scene,
- a 10^6-point cloud: the index build time and the query per configuration,
- `Arm.ik` with and without `collision_free=True` (per target),
- `Arm.plan_path` over 1,000 waypoints with the 10-obstacle scene (moves checked),
- the false-alarm rate of the envelopes against coal at padding 0.

Run after installing the package with coal (pip install 'ortholink[collision]'):
python bench/collision_bench.py [--configurations N] [--repeat N]
"""

import argparse
import statistics
import time
from collections.abc import Callable

import numpy as np
import ortholink_exact

import ortholink
from ortholink import Arm, Crx, CrxModel, Scene


def median_seconds(function: Callable[[], object], repeat: int) -> float:
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def random_joints(arm: Arm, count: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    rows = rng.uniform(arm.lower, arm.upper, (count * 2, 6))
    return rows[arm.within_limits(rows)][:count]


def translation(x: float, y: float, z: float) -> np.ndarray:
    pose = np.eye(4)
    pose[:3, 3] = (x, y, z)
    return pose


def cell() -> Scene:
    """A table, a floor, two walls, fixtures and a post: ten solids around the robot."""
    return Scene(
        half_spaces=[((0, 0, 1), -246.0), ((1, 0, 0), -900.0), ((0, -1, 0), -1100.0)],
        boxes=[
            (translation(800, 0, -100), (600, 1200, 50)),
            (translation(700, 400, 0), (120, 120, 200)),
            (translation(700, -400, 0), (120, 120, 200)),
        ],
        cylinders=[(translation(-600, 600, 300), 80.0, 1200.0)],
        spheres=[((600, 0, 1400), 80.0)],
        capsules=[((-400, -700, 0), (400, -700, 0), 40.0)],
    )  # fmt: skip


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--configurations", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    print(f"ortholink {ortholink.__file__}")

    for model in (CrxModel.Crx10iA, CrxModel.Crx5iA):
        arm = Arm(model)
        rows = random_joints(arm, args.configurations, 1)
        n = len(rows)
        ours = median_seconds(lambda: arm.collides(rows, threads=1), args.repeat) / n * 1e6
        sample = rows[:2000]
        coal_seconds = median_seconds(lambda: [ortholink_exact.collides(arm, q) for q in sample], 3)
        coal_us = coal_seconds / len(sample) * 1e6
        flagged = arm.collides(rows)
        truth = np.array([ortholink_exact.collides(arm, q) for q in rows])
        missed = int((truth & ~flagged).sum())
        false_alarms = float((flagged & ~truth).mean())
        print(f"\n{model}: {n} configurations, {truth.mean():.1%} collide (coal)")
        print(f"  self check          {ours:8.3f} us/configuration")
        print(f"  coal BVH (Python)   {coal_us:8.1f} us/configuration   ratio {coal_us / ours:6.0f}x")
        print(f"  missed contacts     {missed}   false alarms {false_alarms:.2%} of configurations")

        scene = cell()
        with_scene = median_seconds(lambda: arm.collides(rows, scene, threads=1), args.repeat) / n * 1e6
        print(f"  self + 10 solids    {with_scene:8.3f} us/configuration")

        rng = np.random.default_rng(2)
        xy = rng.uniform(-1000, 1000, (1_000_000, 2))
        points = np.column_stack([xy, rng.uniform(-250, -240, len(xy))])  # a scanned floor under the arm
        points[: len(points) // 10, 2] += rng.uniform(0, 800, len(points) // 10)  # and some clutter
        start = time.perf_counter()
        cloud = Scene(points=[(points, 2.0)])
        build = time.perf_counter() - start
        queried = rows[:5000]
        with_cloud = median_seconds(lambda: arm.collides(queried, cloud, threads=1), args.repeat) / len(queried) * 1e6
        print(f"  10^6-point cloud    build {build * 1e3:6.0f} ms, query {with_cloud:8.3f} us/configuration")

        targets = arm.fk_many(rows[:2000])
        plain = median_seconds(lambda: [arm.ik(t) for t in targets], 3) / len(targets) * 1e6
        free = median_seconds(lambda: [arm.ik(t, collision_free=True) for t in targets], 3) / len(targets) * 1e6
        print(f"  ik {plain:6.1f} us, ik collision_free {free:6.1f} us per target ({free / plain:4.2f}x)")

        start_joints = [0.0, 10.0, -20.0, 0.0, -70.0, 0.0]
        line = np.repeat(Crx.xyzwpr(arm.fk(start_joints))[None, :], 1000, axis=0)
        line[:, 1] += np.linspace(-200.0, 200.0, 1000)
        waypoints = Crx.pose_from_xyzwpr(line)
        planned = median_seconds(lambda: arm.plan_path(waypoints, scene=scene), args.repeat) * 1e3
        unchecked = median_seconds(lambda: arm.plan_path(waypoints, collision_free=False), args.repeat) * 1e3
        plan = arm.plan_path(waypoints, scene=scene)
        print(
            f"  plan_path 1,000 waypoints + 10 solids {planned:6.1f} ms "
            f"(without checks {unchecked:6.1f} ms; breaks {len(plan.breaks)})"
        )


if __name__ == "__main__":
    main()
