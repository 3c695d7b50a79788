"""Arm.ik against Crx.ik on the same targets, and Arm.jacobian, from Python.

CRX-10iA with a tool and a base, random reachable targets. Each target is
solved `--calls` times in a row by each method; the per-target medians are
summarised by their median.

Run after installing the package: python bench/arm_bench.py [--targets N]
"""

import argparse
import statistics
import time

import numpy as np

import ortholink
from ortholink import Arm, Crx, CrxModel


def per_call_ns(function, argument, calls: int) -> float:
    samples = []
    for _ in range(calls):
        start = time.perf_counter_ns()
        function(argument)
        samples.append(time.perf_counter_ns() - start)
    return statistics.median(samples)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--targets", type=int, default=2000)
    parser.add_argument("--calls", type=int, default=15)
    args = parser.parse_args()

    arm = Arm(
        CrxModel.Crx10iA,
        base=Crx.pose_from_xyzwpr([850, -420, 310, 0.5, -1.5, 150]),
        tool=Crx.pose_from_xyzwpr([12, -30, 145, 15, -20, 75]),
    )
    robot = arm.robot
    rng = np.random.default_rng(7)
    joints = []
    while len(joints) < args.targets:
        row = rng.uniform(arm.lower, arm.upper)
        if arm.within_limits(row):
            joints.append(row)
    world = [arm.fk(j) for j in joints]
    flange = [robot.fk(j) for j in joints]

    arm_times, crx_times, gaps = [], [], []
    for w, f in zip(world, flange):
        a = per_call_ns(arm.ik, w, args.calls)
        c = per_call_ns(robot.ik, f, args.calls)
        arm_times.append(a)
        crx_times.append(c)
        gaps.append(a - c)
    q = np.array([10.0, 20.0, 30.0, 40.0, 50.0, 60.0])
    jacobian = statistics.median(per_call_ns(arm.jacobian, q, 200_000 // 20) for _ in range(20))
    manipulability = statistics.median(per_call_ns(arm.manipulability, q, 200_000 // 20) for _ in range(20))
    fk = statistics.median(per_call_ns(arm.fk, q, 200_000 // 20) for _ in range(20))

    print(f"ortholink {ortholink.__file__}")
    print(f"{args.targets} random reachable targets, CRX-10iA with tool and base")
    print(f"Crx.ik (flange pose)          median {statistics.median(crx_times) / 1e3:7.2f} us")
    print(f"Arm.ik (TCP pose in world)    median {statistics.median(arm_times) / 1e3:7.2f} us")
    print(f"Arm.ik - Crx.ik, per target   median {statistics.median(gaps) / 1e3:7.2f} us")
    print(f"solutions per target: Crx {np.mean([len(robot.ik(f)) for f in flange[:500]]):.2f}, "
          f"Arm {np.mean([len(arm.ik(w)) for w in world[:500]]):.2f} (first 500)")
    print(f"Arm.fk(array)                 median {fk:7.0f} ns")
    print(f"Arm.jacobian(array)           median {jacobian:7.0f} ns")
    print(f"Arm.manipulability(array)     median {manipulability:7.0f} ns")


if __name__ == "__main__":
    main()
