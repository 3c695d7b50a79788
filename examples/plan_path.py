"""Plan a straight line through every solution branch where taking the nearest solution fails.

A CRX-10iA with its published limits follows a 400 mm line at a fixed tool orientation, starting
from the joints it stands at. Taking at each pose the solution nearest the previous joints keeps
J4 near +180 degrees; about 40 poses later J4 reaches its +190 degree limit and the arm must jump 78
degrees. `Arm.plan_path` searches every solution and whole-turn variant at every pose: J4 at
-181 degrees (the same posture, one turn lower) goes through the whole line without a break. From
the current joints, that turn of J4 is the approach to the first pose, reported apart.

    python examples/plan_path.py [output.png]
"""

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

from ortholink import Arm, Crx, CrxModel

# The line, as the teach pendant shows it (X, Y, Z in mm, W, P, R in degrees), and where the
# arm stands when it starts. Found by a random search over lines with natural start postures.
LINE_START = np.array([48.1, -407.7, 905.1, -16.3, -24.9, 109.1])
LINE_END = np.array([-330.7, -527.7, 950.7, -16.3, -24.9, 109.1])
CURRENT_JOINTS = np.array([-104.4, -18.6, 27.7, 178.7, -32.8, 151.0])
WAYPOINTS = 201
MAX_STEP = 10.0  # degrees per waypoint (2 mm apart) that still count as one continuous motion


def nearest_rule(arm: Arm, targets: np.ndarray, start: np.ndarray) -> np.ndarray:
    """At each pose the solution within the limits nearest the previous joints."""
    rows = []
    previous = start
    for target in targets:
        nearest = arm.ik_closest(target, previous)
        if nearest is None:
            raise SystemExit("a pose of the line is out of reach")
        rows.append(nearest.joints)
        previous = nearest.joints
    return np.array(rows)


def main(output: Path) -> None:
    arm = Arm(CrxModel.Crx10iA)
    line = LINE_START + np.linspace(0.0, 1.0, WAYPOINTS)[:, None] * (LINE_END - LINE_START)
    targets = Crx.pose_from_xyzwpr(line)

    greedy = nearest_rule(arm, targets, CURRENT_JOINTS)
    steps = np.abs(np.diff(greedy, axis=0)).max(axis=1)
    jumps = np.flatnonzero(steps > MAX_STEP) + 1
    print(f"nearest solution: {len(jumps)} jumps over {MAX_STEP:g} degrees, the first at pose {jumps[0]} "
          f"({steps.max():.1f} degrees)")

    plan = arm.plan_path(targets, max_step=MAX_STEP)
    print(f"planned: {plan}")
    print(f"graph searched: {plan.nodes} solutions, {plan.edges} continuous moves")
    print(f"planned first joints: {np.round(plan.joints[0], 1)} (now at {CURRENT_JOINTS})")
    from_here = arm.plan_path(targets, CURRENT_JOINTS, max_step=MAX_STEP)
    assert from_here.approach is not None
    travel, seconds = from_here.approach
    print(f"from the current joints: approach {travel:.1f} degrees in {seconds:.2f} s (turn J4 once), "
          f"then {len(from_here.breaks)} breaks, {from_here.duration:.2f} s along the line")

    figure, axes = plt.subplots(2, 1, figsize=(8, 7), sharex=True, constrained_layout=True)
    distance = np.linspace(0.0, np.linalg.norm(LINE_END[:3] - LINE_START[:3]), WAYPOINTS)
    for ax, rows, title in (
        (axes[0], greedy, f"nearest solution at each pose: J4 hits its limit, {len(jumps)} jump"),
        (axes[1], plan.joints, "Arm.plan_path: every branch searched, no break"),
    ):
        for joint in range(6):
            ax.plot(distance, rows[:, joint], label=f"J{joint + 1}")
        ax.axhline(arm.upper[3], color="0.5", linestyle=":", linewidth=1)
        ax.axhline(arm.lower[3], color="0.5", linestyle=":", linewidth=1)
        ax.set_title(title)
        ax.set_ylabel("joint angle (degrees)")
        ax.grid(True, alpha=0.3)
    for jump in jumps:
        axes[0].axvline(distance[jump], color="red", alpha=0.4)
    axes[0].legend(ncol=6, loc="lower center", bbox_to_anchor=(0.5, 0.2), fontsize="small")
    axes[1].set_xlabel("distance along the line (mm); dotted: J4 limits")
    figure.savefig(output, dpi=100)
    print(f"wrote {output}")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path("plan_path.png"))
