"""PathPlan.trajectory against toppra on 1,000-row plans, in the same run.

CRX-10iA with its published speeds and the default accelerations (twice the speeds per second).
Two plans of 1,000 waypoints along 400 mm lines (the lines of bench/path_bench.py), and one along a
part's outline (a rounded rectangle at a tilted tool). Both time the same geometric path: the
natural cubic spline through the rows over joint-space arc length. toppra (0.6, its Seidel
solver) runs on the rows plus an even grid of 2,000 intervals (its automatic grid is faster but
overshoots the acceleration limits between grid points). Prints the median time of each, both
durations and the largest sampled velocity and acceleration as fractions of the limits; a
second line times ours with a TCP limit of 100 mm/s, which toppra has no constraint for.

Run after installing the package (and toppra): python bench/trajectory_bench.py [--repeat N]
"""

import argparse
import statistics
import time
from collections.abc import Callable

import numpy as np

import ortholink
from ortholink import Arm, Crx, CrxModel

LINES = (("down", [0.0, 10.0, -20.0, 0.0, -70.0, 0.0]), ("tilted", [10.0, 20.0, -10.0, 30.0, -60.0, 40.0]))


def median_ms(function: Callable[[], object], repeat: int) -> float:
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples) * 1e3


def rounded_rectangle(count: int, width: float, height: float, radius: float) -> np.ndarray:
    """`count` points evenly spaced along a rounded rectangle centred on 0, an (count, 2) array."""
    theta = np.linspace(0.0, 2 * np.pi, 4000, endpoint=False)
    c, s = np.cos(theta), np.sin(theta)
    # Each quarter circle about its corner's centre; the gaps between them are the straight edges.
    x = np.sign(c) * (width / 2 - radius) + radius * c
    y = np.sign(s) * (height / 2 - radius) + radius * s
    dense = np.stack([x, y], 1)
    closed = np.vstack([dense, dense[:1]])
    arc = np.concatenate([[0.0], np.cumsum(np.linalg.norm(np.diff(closed, axis=0), axis=1))])
    at = np.linspace(0.0, arc[-1], count, endpoint=False)
    return np.stack([np.interp(at, arc, closed[:, 0]), np.interp(at, arc, closed[:, 1])], 1)


def plans(arm: Arm, waypoints: int) -> list[tuple[str, ortholink.PathPlan]]:
    out = []
    for name, joints in LINES:
        start = Crx.xyzwpr(arm.fk(joints))
        line = np.repeat(start[None, :], waypoints, axis=0)
        line[:, 1] += np.linspace(-200.0, 200.0, waypoints)
        out.append((name, arm.plan_path(Crx.pose_from_xyzwpr(line))))
    xy = rounded_rectangle(waypoints, 300.0, 200.0, 40.0)
    part = np.zeros((waypoints, 6))
    part[:, :2] = xy + [600.0, 0.0]
    part[:, 3:] = [180.0, -20.0, 0.0]
    out.append(("outline", arm.plan_path(Crx.pose_from_xyzwpr(part))))
    return out


def toppra_instance(rows: np.ndarray, max_speed: np.ndarray, max_acceleration: np.ndarray, intervals: int):
    import toppra
    import toppra.algorithm
    import toppra.constraint

    s = np.concatenate([[0.0], np.cumsum(np.linalg.norm(np.diff(rows, axis=0), axis=1))])
    path = toppra.SplineInterpolator(s, rows, bc_type="natural")
    constraints = [
        toppra.constraint.JointVelocityConstraint(np.stack([-max_speed, max_speed], axis=1)),
        toppra.constraint.JointAccelerationConstraint(np.stack([-max_acceleration, max_acceleration], axis=1)),
    ]
    grid = np.union1d(s, np.linspace(0.0, s[-1], intervals + 1)) if intervals > 0 else s
    return toppra.algorithm.TOPPRA(constraints, path, gridpoints=grid, parametrizer="ParametrizeConstAccel")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=11)
    parser.add_argument("--waypoints", type=int, default=1000)
    parser.add_argument("--intervals", type=int, default=2000, help="toppra's even grid")
    args = parser.parse_args()

    arm = Arm(CrxModel.Crx10iA)
    print(f"ortholink {ortholink.__file__}")
    print(f"{args.waypoints} waypoints, CRX-10iA, published speeds, accelerations {arm.max_acceleration.tolist()}")
    try:
        import toppra  # noqa: F401
    except ModuleNotFoundError:
        toppra_available = False
        print("toppra is not installed: ours only")
    else:
        toppra_available = True
    for name, plan in plans(arm, args.waypoints):
        assert len(plan.breaks) == 0 and len(plan.unreachable) == 0, name
        ours = plan.trajectory(arm)
        ours_ms = median_ms(lambda plan=plan: plan.trajectory(arm), args.repeat)
        speed = np.abs(ours.velocity).max(axis=0) / arm.max_speed
        accel = np.abs(ours.acceleration).max(axis=0) / arm.max_acceleration
        line = (
            f"{name:8s} ours {ours_ms:7.2f} ms, {ours.duration:.4f} s "
            f"(peak speed {speed.max():.3f}, acceleration {accel.max():.6f} of the limits)"
        )
        if toppra_available:
            instance = toppra_instance(plan.joints, arm.max_speed, arm.max_acceleration, args.intervals)
            result = instance.compute_trajectory(0.0, 0.0)
            if result is None:
                line += " | toppra: no parameterisation"
            else:
                line += toppra_report(plan.joints, arm, result, ours.duration, args)
        print(line)
        tcp = plan.trajectory(arm, tcp_speed=100.0)
        tcp_ms = median_ms(lambda plan=plan: plan.trajectory(arm, tcp_speed=100.0), args.repeat)
        print(f"{'':8s} ours at 100 mm/s TCP {tcp_ms:7.2f} ms, {tcp.duration:.4f} s")


def toppra_report(rows: np.ndarray, arm: Arm, result, ours: float, args: argparse.Namespace) -> str:
    fine_ms = median_ms(
        lambda: toppra_instance(rows, arm.max_speed, arm.max_acceleration, args.intervals).compute_trajectory(0, 0),
        args.repeat,
    )
    rows_ms = median_ms(
        lambda: toppra_instance(rows, arm.max_speed, arm.max_acceleration, 0).compute_trajectory(0, 0), args.repeat
    )
    times = np.arange(0.0, result.duration, 0.008)
    overshoot = np.abs(result(times, 2)).max(axis=0) / arm.max_acceleration
    return (
        f" | toppra {fine_ms:7.2f} ms ({rows_ms:.2f} ms on the rows alone), {result.duration:.4f} s "
        f"(ours {(ours / result.duration - 1) * 100:+.2f}%), acceleration {overshoot.max():.4f}"
    )


if __name__ == "__main__":
    main()
