"""Solve a tool path given in a user frame, for an arm with a tool, a base and its real limits.

A CRX-10iA stands on a 200 mm riser in the cell, turned 90 degrees; a 150 mm gripper with a
15 degree tilt sits on its flange. A fixture frame on the table (a user frame, as the teach
pendant calls it) carries a 200 x 120 mm rectangle to trace with the tool pointing down.
`Arm.ik` gives every joint vector within the controller's limits, whole-turn variants
included; `Arm.ik_closest` keeps the motion continuous from the current joints.

    python examples/arm_tool_path.py
"""

import numpy as np

from ortholink import Arm, Crx, CrxModel


def rectangle(width: float, height: float, step: float) -> np.ndarray:
    """Corner points of a closed rectangle in its plane, sampled every `step` mm."""
    corners = np.array([[0, 0], [width, 0], [width, height], [0, height], [0, 0]], dtype=float)
    points = []
    for a, b in zip(corners[:-1], corners[1:]):
        count = max(int(np.ceil(np.linalg.norm(b - a) / step)), 1)
        for t in np.arange(count) / count:
            points.append(a + (b - a) * t)
    points.append(corners[-1])
    return np.array(points)


def main() -> None:
    arm = Arm(
        CrxModel.Crx10iA,
        base=Crx.pose_from_xyzwpr([0, 0, 200, 0, 0, 90]),  # riser, robot turned to face the table
        tool=Crx.pose_from_xyzwpr([0, 40, 145, -15, 0, 0]),  # gripper TCP in the flange frame
    )
    fixture = Crx.pose_from_xyzwpr([-150, 550, 150, 0, 0, 20])  # user frame on the table, world frame

    # The path in the fixture frame: 10 mm above the part, the tool's z axis pointing down.
    outline = rectangle(200.0, 120.0, step=10.0)
    in_fixture = np.zeros((len(outline), 6))
    in_fixture[:, 0:2] = outline
    in_fixture[:, 2] = 10.0
    in_fixture[:, 3] = 180.0
    targets = fixture @ Crx.pose_from_xyzwpr(in_fixture)  # world poses of the TCP

    batch = arm.ik_many(targets)
    counts = np.diff(batch.offsets)
    print(f"{len(targets)} poses; solutions within the limits per pose: {counts.min()} to {counts.max()}")

    # Follow the path from a start posture, taking the nearest solution each time.
    joints = np.array([90.0, 10.0, -10.0, 0.0, -80.0, 0.0])
    path = []
    for target in targets:
        nearest = arm.ik_closest(target, joints)
        if nearest is None:
            raise SystemExit("a pose of the path is out of reach")
        path.append(nearest.joints)
        joints = nearest.joints
    rows = np.array(path)
    largest_step = np.abs(np.diff(rows, axis=0)).max()
    tcp_error = max(np.abs(arm.fk(j) - t).max() for j, t in zip(rows, targets))
    print(f"largest joint step between poses: {largest_step:.2f} degrees")
    print(f"largest TCP pose error: {tcp_error:.1e} (largest 4x4 entry; position in mm)")
    print(f"all within the limits: {bool(np.all(arm.within_limits(rows)))}")
    print(f"lowest manipulability along the path: {min(arm.manipulability(j) for j in rows):.4f}")
    np.set_printoptions(precision=2, suppress=True)
    print("first joints:", rows[0])
    print("last joints: ", rows[-1])


if __name__ == "__main__":
    main()
