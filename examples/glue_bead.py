"""Lay a glue bead around a part: plan the path, time it at 100 mm/s along the bead, plot it.

A CRX-10iA with a 150 mm nozzle follows the outline of a 300 x 200 mm part with 40 mm corner
radii, the nozzle tilted 20 degrees in the line of travel all the way round, so its orientation
turns a whole turn about the vertical. Given as fixed poses, that winds J6 out of range and the
plan breaks. The nozzle is round: the turn about its own axis is free (`free_axis`, sampled every
10 degrees), and with it `Arm.plan_path` finds a continuous joint path through every solution
branch. `PathPlan.trajectory` times it as fast as the joint speeds and accelerations
allow with the nozzle's tip moving at most 100 mm/s, at rest at both ends. The joint curves, with
their limits, go to the file given (a temporary directory otherwise), and the motion as a ROS 2
JointTrajectory and a CSV beside it.

    python examples/glue_bead.py [output.png]
"""

import json
import sys
import tempfile
from pathlib import Path

import numpy as np
import numpy.typing as npt

from ortholink import Arm, Crx, CrxModel

BEAD_SPEED = 100.0  # mm/s at the nozzle tip
WAYPOINTS = 400  # about 2.3 mm apart
FREE_NOZZLE = (-180.0, 180.0, 10.0)  # the round nozzle may turn about its axis: every 10 degrees


def rounded_rectangle(count: int, width: float, height: float, radius: float) -> npt.NDArray[np.float64]:
    """`count` points evenly spaced along a rounded rectangle centred on 0, an (count, 2) array."""
    theta = np.linspace(0.0, 2 * np.pi, 4000, endpoint=False)
    c, s = np.cos(theta), np.sin(theta)
    # Each quarter circle about its corner's centre; the gaps between them are the straight edges.
    x = np.sign(c) * (width / 2 - radius) + radius * c
    y = np.sign(s) * (height / 2 - radius) + radius * s
    closed = np.vstack([np.stack([x, y], 1), [[x[0], y[0]]]])
    arc = np.concatenate([[0.0], np.cumsum(np.linalg.norm(np.diff(closed, axis=0), axis=1))])
    at = np.linspace(0.0, arc[-1], count)  # back to the start: a closed bead
    return np.stack([np.interp(at, arc, closed[:, 0]), np.interp(at, arc, closed[:, 1])], 1)


def main(output: Path) -> None:
    nozzle = Crx.pose_from_xyzwpr([0.0, 0.0, 150.0, 0.0, 0.0, 0.0])
    arm = Arm(CrxModel.Crx10iA, tool=nozzle)
    outline = rounded_rectangle(WAYPOINTS, 300.0, 200.0, 40.0)
    bead = np.zeros((WAYPOINTS, 6))
    bead[:, :2] = outline + [600.0, 0.0]  # the part's centre, base frame, at the J2 axis height
    # Nozzle down, tilted 20 degrees in the line of travel: R follows the bead's direction round the part.
    bead[:, 3:5] = [180.0, -20.0]
    bead[:, 5] = np.degrees(np.unwrap(np.arctan2(outline[:, 1], outline[:, 0]))) + 90.0
    targets = Crx.pose_from_xyzwpr(bead)
    fixed = arm.plan_path(targets)
    plan = arm.plan_path(targets, free_axis=FREE_NOZZLE)
    if len(plan.breaks) or len(plan.unreachable):
        raise SystemExit(f"the bead is not one continuous motion: {plan}")
    print(f"fixed nozzle orientations: {fixed}")
    print(f"free nozzle axis:          {plan}")
    turns = plan.tool_rotation
    print(f"nozzle turned about its axis by {turns.min():.0f} to {turns.max():.0f} degrees along the bead")

    trajectory = plan.trajectory(arm, tcp_speed=BEAD_SPEED)
    tip = arm.fk_many(trajectory.joints)[:, :3, 3]
    tip_speed = np.linalg.norm(np.diff(tip, axis=0), axis=1) / np.diff(trajectory.time)
    length = float(np.sum(np.linalg.norm(np.diff(bead[:, :3], axis=0), axis=1)))
    print(trajectory)
    print(f"bead {length:.0f} mm in {trajectory.duration:.2f} s (at least {length / BEAD_SPEED:.2f} s at 100 mm/s)")
    print(f"fastest tip speed between samples {tip_speed.max():.1f} mm/s; joints within {trajectory.deviation:.2g} deg")

    trajectory.plot(output)
    message = trajectory.to_joint_trajectory()
    output.with_suffix(".json").write_text(json.dumps(message))
    trajectory.to_csv(output.with_suffix(".csv"))
    print(f"wrote {output}, {output.with_suffix('.json').name} ({len(message['points'])} points) and the CSV")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(tempfile.mkdtemp()) / "glue_bead.png")
