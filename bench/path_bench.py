"""Arm.plan_path on a 1,000-waypoint straight line, inverse kinematics included.

CRX-10iA with its published limits and speeds; the TCP (the flange) moves 400 mm along base Y
at a fixed orientation. Two lines: "down" starts at J = 0, 10, -20, 0, -70, 0 (the flange
pointing straight down, W P R = 180 0 0, where the arm also reaches every pose folded with
J5 = 180), "tilted" at J = 10, 20, -10, 30, -60, 40 (a generic orientation). Prints the median
time of `plan_path`, of `ik_many` on the same waypoints (the solving part of the plan) and the
size of the graph searched.

Run after installing the package: python bench/path_bench.py [--repeat N]
"""

import argparse
import statistics
import time
from collections.abc import Callable
from functools import partial

import numpy as np

import ortholink
from ortholink import Arm, Crx, CrxModel

# Start joints of the two lines.
LINES = (("down", [0.0, 10.0, -20.0, 0.0, -70.0, 0.0]), ("tilted", [10.0, 20.0, -10.0, 30.0, -60.0, 40.0]))


def allow_all(rows: np.ndarray) -> np.ndarray:
    return np.ones(len(rows), dtype=bool)


def median_ms(function: Callable[[], object], repeat: int) -> float:
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples) * 1e3


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=31)
    parser.add_argument("--waypoints", type=int, default=1000)
    args = parser.parse_args()

    arm = Arm(CrxModel.Crx10iA)
    print(f"ortholink {ortholink.__file__}")
    print(f"{args.waypoints} waypoints over 400 mm, CRX-10iA, published limits")
    for name, joints in LINES:
        start = Crx.xyzwpr(arm.fk(joints))
        line = np.repeat(start[None, :], args.waypoints, axis=0)
        line[:, 1] += np.linspace(-200.0, 200.0, args.waypoints)
        targets = Crx.pose_from_xyzwpr(line)

        plan = arm.plan_path(targets)
        total = median_ms(partial(arm.plan_path, targets), args.repeat)
        solving = median_ms(partial(arm.ik_many, targets), args.repeat)
        single = median_ms(partial(arm.ik_many, targets, threads=1), args.repeat)
        checked = median_ms(partial(arm.plan_path, targets, check=allow_all), args.repeat)

        print(f"\n{name}: start J = {joints}")
        print(f"plan: {plan}")
        print(f"graph: {plan.nodes} nodes, {plan.edges} continuous edges "
              f"({plan.nodes / args.waypoints:.1f} solutions per waypoint)")
        print(f"plan_path                     median {total:7.2f} ms")
        print(f"plan_path with a check        median {checked:7.2f} ms")
        print(f"ik_many (automatic threads)   median {solving:7.2f} ms")
        print(f"ik_many (one thread)          median {single:7.2f} ms")

if __name__ == "__main__":
    main()
