"""Follow a straight line given in the controller's XYZWPR form and plot the joint curves.

The line runs 400 mm along base Y at a fixed tool orientation. `Crx.ik_path` picks at every
pose the solution nearest the previous joints, so the arm keeps its configuration.

    python examples/follow_path.py [output.png]
"""

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import ortholink


def main(output: Path) -> None:
    robot = ortholink.Crx.crx10ia()
    start_joints = np.array([0.0, 10.0, -20.0, 0.0, -70.0, 0.0])

    # Where the teach pendant would show the tool at the start, then a line along Y.
    start = ortholink.Crx.xyzwpr(robot.fk(start_joints))
    steps = np.linspace(0.0, 1.0, 201)
    line = np.repeat(start[None, :], len(steps), axis=0)
    line[:, 1] += -200.0 + 400.0 * steps
    targets = ortholink.Crx.pose_from_xyzwpr(line)

    path = robot.ik_path(targets, start_joints)
    reached = ~np.isnan(path).any(axis=1)
    print(f"{reached.sum()} of {len(path)} poses reached")
    errors = [np.abs(robot.fk(j) - t).max() for j, t in zip(path[reached], targets[reached])]
    print(f"largest pose error along the path: {max(errors):.2e} (largest 4x4 entry; position in mm)")

    figure, axes = plt.subplots(figsize=(8, 4.5), constrained_layout=True)
    distance = 400.0 * steps
    for joint in range(6):
        axes.plot(distance, path[:, joint], label=f"J{joint + 1}")
    axes.set_xlabel("distance along the line (mm)")
    axes.set_ylabel("joint angle (degrees)")
    axes.set_title("CRX-10iA following a straight line, X Y Z W P R from the teach pendant")
    axes.grid(True, alpha=0.3)
    axes.legend(ncol=6, loc="upper center", fontsize="small")
    figure.savefig(output, dpi=110)
    print(f"wrote {output}")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path("follow_path.png"))
