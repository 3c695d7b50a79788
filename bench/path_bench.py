"""Arm.plan_path on 1,000-waypoint lines and arcs, inverse kinematics included.

CRX-10iA with its published limits and speeds, the TCP at the flange. Ordinary paths and the
singular ones where the solver has the most to do:

- "down" and "tilted": 400 mm along base Y at a fixed orientation, from J = 0, 10, -20, 0, -70, 0
  (the flange pointing straight down, W P R = 180 0 0, where the arm also reaches every pose folded
  with J5 = 180) and from J = 10, 20, -10, 30, -60, 40 (a generic orientation);
- the README's lines: the 400 mm line of its path-planning section, the line over the fixture of its
  collision section, and the joint-space interpolation of its whole-turn example, each resampled to
  1,000 waypoints;
- vertical lines with the wrist on the J1 axis: the wrist point o4 (where the J5 axis meets the
  forearm) on it, and the J5 origin on it with the flange z axis horizontal (o4 then crosses the
  axis twice on its circle);
- lines to near full stretch, ending 0.05 mm short of it: a generic one, and the vertical one up
  the J1 axis, where the arm ends upright with J1 and J4 nearly coaxial;
- arcs: a horizontal one about the J1 axis with the flange pointing down, and a vertical one in
  front of the robot.

Prints per path the median time of `plan_path` (collision checks of the arm against itself
included, as by default), of `plan_path` without them, and of `ik_many` on one thread (the solving
part of the plan), with the solutions per waypoint and the graph searched.

Then the two first lines with a free tool axis, `free_axis=(-180, 180, 10)`: 36 samples per
waypoint, 36,000 poses. With the TCP on the flange (the tool along the flange's z, so each waypoint
is solved once and its turns come from J6), and with a tool off the flange's axis (every sample
solved), with and without the collision checks. Wall time and the process's CPU time (all threads)
are printed side by side: on a busy machine the wall time includes the time other processes held
the cores.

Run after installing the package: python bench/path_bench.py [--repeat N] [--only NAME ...]
(`--only "free axis"` runs the free-axis part alone).
"""

import argparse
import statistics
import time
from collections.abc import Callable
from functools import partial

import numpy as np

import ortholink
from ortholink import Arm, Crx, CrxModel

ARM = Arm(CrxModel.Crx10iA)
ROBOT = Crx.crx10ia()


def allow_all(rows: np.ndarray) -> np.ndarray:
    return np.ones(len(rows), dtype=bool)


FREE_AXIS = (-180.0, 180.0, 10.0)
OFF_AXIS_TOOL = [30.0, -10.0, 150.0, 0.0, 15.0, 0.0]  # X Y Z W P R of a tool off the flange's axis


def median_wall_cpu_ms(function: Callable[[], object], repeat: int) -> tuple[float, float]:
    wall, cpu = [], []
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        function()
        wall.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return statistics.median(wall) * 1e3, statistics.median(cpu) * 1e3


def free_axis_plans(waypoints: int, repeat: int) -> None:
    print(f"\nfree_axis={FREE_AXIS}: 36 samples per waypoint, median of {repeat} (wall, CPU of all threads)")
    lines = (("down", [0.0, 10.0, -20.0, 0.0, -70.0, 0.0]), ("tilted", [10.0, 20.0, -10.0, 30.0, -60.0, 40.0]))
    for tool_name, tool in (("TCP on the flange", None), ("tool off the flange axis", OFF_AXIS_TOOL)):
        tooled = Arm(CrxModel.Crx10iA) if tool is None else Arm(CrxModel.Crx10iA, tool=Crx.pose_from_xyzwpr(tool))
        for name, joints in lines:
            start = Crx.xyzwpr(tooled.fk(joints))
            line = np.repeat(start[None, :], waypoints, axis=0)
            line[:, 1] += np.linspace(-200.0, 200.0, waypoints)
            targets = Crx.pose_from_xyzwpr(line)
            plan = tooled.plan_path(targets, free_axis=FREE_AXIS, collision_free=False)
            print(f"\n{name}, {tool_name}: {plan}, {plan.nodes} nodes, {plan.edges} continuous edges")
            wall, cpu = median_wall_cpu_ms(partial(tooled.plan_path, targets, collision_free=False), repeat)
            print(f"plan_path fixed, collision_free=False       wall {wall:7.1f} ms  CPU {cpu:7.1f} ms")
            for label, collision_free in (("collision_free=False", False), ("collision checks", True)):
                call = partial(tooled.plan_path, targets, free_axis=FREE_AXIS, collision_free=collision_free)
                wall, cpu = median_wall_cpu_ms(call, repeat)
                print(f"plan_path free axis, {label:21} wall {wall:7.1f} ms  CPU {cpu:7.1f} ms")


def median_ms(function: Callable[[], object], repeat: int, budget: float = 3.0) -> float:
    """Median of `repeat` runs, fewer (at least three) when they would take over `budget` seconds."""
    samples: list[float] = []
    spent = 0.0
    while len(samples) < repeat and (len(samples) < 3 or spent < budget):
        start = time.perf_counter()
        function()
        samples.append(time.perf_counter() - start)
        spent += samples[-1]
    return statistics.median(samples) * 1e3


def shifted(xyzwpr, delta, n: int) -> np.ndarray:
    """n poses from xyzwpr - delta/2 to xyzwpr + delta/2 at a fixed orientation."""
    line = np.repeat(np.asarray(xyzwpr, dtype=float)[None, :], n, axis=0)
    line[:, :3] += np.linspace(-0.5, 0.5, n)[:, None] * np.asarray(delta, dtype=float)[None, :]
    return Crx.pose_from_xyzwpr(line)


def from_joints(joints, delta, n: int) -> np.ndarray:
    return shifted(Crx.xyzwpr(ROBOT.fk(joints)), delta, n)


def toward_stretch(joints, n: int, length: float = 200.0, short: float = 0.05) -> np.ndarray:
    """The flange moved along the direction of o4 from `length` to `short` mm before the fully
    stretched arm `joints` (J2 + J3 = 90), at the orientation it has there."""
    frames = ROBOT.fk_all(joints)
    o4 = frames[4][:3, 3] + ROBOT.y1 * frames[4][:3, 1]
    unit = o4 / np.linalg.norm(o4)
    line = np.repeat(Crx.xyzwpr(ROBOT.fk(joints))[None, :], n, axis=0)
    line[:, :3] -= np.linspace(length, short, n)[:, None] * unit[None, :]
    return Crx.pose_from_xyzwpr(line)


def arc(center, radius: float, degrees: float, plane: str, n: int) -> np.ndarray:
    """n poses on an arc of `degrees` about `center`, horizontal (the flange pointing down and
    turning with the arc) or vertical in the XZ plane (the flange along the radius, pointing out)."""
    angles = np.radians(np.linspace(-0.5 * degrees, 0.5 * degrees, n))
    rows = np.zeros((n, 6))
    if plane == "horizontal":
        rows[:, 0] = center[0] + radius * np.cos(angles)
        rows[:, 1] = center[1] + radius * np.sin(angles)
        rows[:, 2] = center[2]
        rows[:, 3] = 180.0
        rows[:, 5] = np.degrees(angles)
    else:
        rows[:, 0] = center[0] + radius * np.cos(angles)
        rows[:, 1] = center[1]
        rows[:, 2] = center[2] + radius * np.sin(angles)
        rows[:, 4] = 90.0 - np.degrees(angles)
    return Crx.pose_from_xyzwpr(rows)


def paths(n: int) -> dict[str, np.ndarray]:
    return {
        "down": from_joints([0.0, 10.0, -20.0, 0.0, -70.0, 0.0], [0, 400, 0], n),
        "tilted": from_joints([10.0, 20.0, -10.0, 30.0, -60.0, 40.0], [0, 400, 0], n),
        "readme plan_path line": Crx.pose_from_xyzwpr(
            np.linspace([48.1, -407.7, 905.1, -16.3, -24.9, 109.1], [-330.7, -527.7, 950.7, -16.3, -24.9, 109.1], n)
        ),
        "readme fixture line": Crx.pose_from_xyzwpr(
            np.linspace([560, -150, 115, 180, 0, 0], [560, 150, 115, 180, 0, 0], n)
        ),
        "readme joint interpolation": ARM.fk_many(np.linspace([0, 0, 0, 0, 0, 0], [40, -20, 30, 10, 60, -90], n)),
        "vertical, o4 on the J1 axis": from_joints([0.0, 20.0, 110.0, 30.0, -60.0, 40.0], [0, 0, 300], n),
        "vertical, J5 origin on the J1 axis": shifted([160.0, 0.0, 800.0, 0.0, 90.0, 0.0], [0, 0, 300], n),
        "to near full stretch": toward_stretch([20.0, 40.0, 50.0, 30.0, -40.0, 60.0], n),
        "to near full stretch, up the J1 axis": toward_stretch([0.0, 0.0, 90.0, 0.0, -90.0, 0.0], n),
        "horizontal arc about J1": arc([0.0, 0.0, 300.0], 650.0, 120.0, "horizontal", n),
        "vertical arc in front": arc([300.0, 0.0, 500.0], 300.0, 120.0, "vertical", n),
    }


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=31)
    parser.add_argument("--waypoints", type=int, default=1000)
    parser.add_argument("--only", nargs="*", default=None, help="names (or parts of names) of the paths to run")
    args = parser.parse_args()

    print(f"ortholink {ortholink.__file__}")
    print(f"{args.waypoints} waypoints per path, CRX-10iA, published limits; medians in ms")
    print(f"{'path':38s} {'plan_path':>9s} {'no checks':>9s} {'ik_many/1':>9s} {'with check':>10s}  solutions  graph")
    for name, targets in paths(args.waypoints).items():
        if args.only and not any(part in name for part in args.only):
            continue
        plan = ARM.plan_path(targets)
        total = median_ms(partial(ARM.plan_path, targets), args.repeat)
        unchecked = median_ms(partial(ARM.plan_path, targets, collision_free=False), args.repeat)
        single = median_ms(partial(ARM.ik_many, targets, threads=1), args.repeat)
        checked = median_ms(partial(ARM.plan_path, targets, collision_free=False, check=allow_all), args.repeat)
        print(
            f"{name:38s} {total:9.2f} {unchecked:9.2f} {single:9.2f} {checked:10.2f}  "
            f"{plan.nodes / args.waypoints:9.1f}  {plan.nodes} nodes, {plan.edges} edges, "
            f"{len(plan.breaks)} breaks, {len(plan.unreachable)} unreachable"
        )
    if not args.only or any(part in "free axis" for part in args.only):
        free_axis_plans(args.waypoints, max(3, args.repeat // 4))


if __name__ == "__main__":
    main()
