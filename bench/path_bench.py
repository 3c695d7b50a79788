"""Arm.plan_path on a 1,000-waypoint straight line, inverse kinematics included.

CRX-10iA with its published limits and speeds; the TCP (the flange) moves 400 mm along base Y
at a fixed orientation. Two lines: "down" starts at J = 0, 10, -20, 0, -70, 0 (the flange
pointing straight down, W P R = 180 0 0, where the arm also reaches every pose folded with
J5 = 180), "tilted" at J = 10, 20, -10, 30, -60, 40 (a generic orientation). Prints the median
time of `plan_path`, of `ik_many` on the same waypoints (the solving part of the plan) and the
size of the graph searched.

Then the same lines with a free tool axis, `free_axis=(-180, 180, 10)`: 36 samples per waypoint,
36,000 poses. With the TCP on the flange (the tool along the flange's z, so each waypoint is solved
once and its turns come from J6), and with a tool off the flange's axis (every sample solved),
with and without the collision checks. Wall time and the process's CPU time (all threads) are
printed side by side: on a busy machine the wall time includes the time other processes held
the cores.

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


FREE_AXIS = (-180.0, 180.0, 10.0)
OFF_AXIS_TOOL = [30.0, -10.0, 150.0, 0.0, 15.0, 0.0]  # X Y Z W P R of a tool off the flange's axis


def median_ms(function: Callable[[], object], repeat: int) -> float:
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples) * 1e3


def median_wall_cpu_ms(function: Callable[[], object], repeat: int) -> tuple[float, float]:
    wall, cpu = [], []
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        function()
        wall.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return statistics.median(wall) * 1e3, statistics.median(cpu) * 1e3


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
        print(
            f"graph: {plan.nodes} nodes, {plan.edges} continuous edges "
            f"({plan.nodes / args.waypoints:.1f} solutions per waypoint)"
        )
        print(f"plan_path                     median {total:7.2f} ms")
        print(f"plan_path with a check        median {checked:7.2f} ms")
        print(f"ik_many (automatic threads)   median {solving:7.2f} ms")
        print(f"ik_many (one thread)          median {single:7.2f} ms")

    repeat = max(3, args.repeat // 4)
    print(f"\nfree_axis={FREE_AXIS}: 36 samples per waypoint, median of {repeat} (wall, CPU of all threads)")
    for tool_name, tool in (("TCP on the flange", None), ("tool off the flange axis", OFF_AXIS_TOOL)):
        tooled = Arm(CrxModel.Crx10iA) if tool is None else Arm(CrxModel.Crx10iA, tool=Crx.pose_from_xyzwpr(tool))
        for name, joints in LINES:
            start = Crx.xyzwpr(tooled.fk(joints))
            line = np.repeat(start[None, :], args.waypoints, axis=0)
            line[:, 1] += np.linspace(-200.0, 200.0, args.waypoints)
            targets = Crx.pose_from_xyzwpr(line)
            plan = tooled.plan_path(targets, free_axis=FREE_AXIS, collision_free=False)
            print(f"\n{name}, {tool_name}: {plan}, {plan.nodes} nodes, {plan.edges} continuous edges")
            wall, cpu = median_wall_cpu_ms(partial(tooled.plan_path, targets, collision_free=False), repeat)
            print(f"plan_path fixed, collision_free=False       wall {wall:7.1f} ms  CPU {cpu:7.1f} ms")
            for label, collision_free in (("collision_free=False", False), ("collision checks", True)):
                call = partial(tooled.plan_path, targets, free_axis=FREE_AXIS, collision_free=collision_free)
                wall, cpu = median_wall_cpu_ms(call, repeat)
                print(f"plan_path free axis, {label:21} wall {wall:7.1f} ms  CPU {cpu:7.1f} ms")


if __name__ == "__main__":
    main()
