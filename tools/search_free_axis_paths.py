"""Search for a short TCP path that a fixed tool orientation breaks and a free tool axis does not.

Candidates are circles in front of a CRX-10iA with a 150 mm nozzle, the nozzle tilted from
straight down and turning about its own axis as it goes round (a tangent-following nozzle
winds the wrist up). Each is planned with fixed orientations and with
`free_axis=(-180, 180, 15)`, both with the default collision checks. The first candidate whose
fixed plan breaks while the free one reaches every waypoint without a break is printed as
X Y Z W P R rows, ready to keep as test data.

    python tools/search_free_axis_paths.py [--seed 1] [--tries 200] [--waypoints 72]
"""

import argparse

import numpy as np

from ortholink import Arm, Crx, CrxModel


def circle(rng: np.random.Generator, count: int) -> np.ndarray:
    centre = [rng.uniform(450, 750), rng.uniform(-250, 250), rng.uniform(-100, 250)]
    radius = rng.uniform(60, 180)
    winding = rng.uniform(1.0, 1.6) * rng.choice([-1, 1])  # turns of the nozzle about its axis per round
    tilt = rng.uniform(0, 30)
    angle = np.linspace(0, 2 * np.pi, count)
    rows = np.zeros((count, 6))
    rows[:, 0] = centre[0] + radius * np.cos(angle)
    rows[:, 1] = centre[1] + radius * np.sin(angle)
    rows[:, 2] = centre[2]
    rows[:, 3] = 180.0
    rows[:, 4] = -tilt
    rows[:, 5] = np.degrees(winding * angle)
    return rows


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--tries", type=int, default=200)
    parser.add_argument("--waypoints", type=int, default=72)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    arm = Arm(CrxModel.Crx10iA, tool=Crx.pose_from_xyzwpr([0, 0, 150, 0, 0, 0]))
    for attempt in range(args.tries):
        rows = circle(rng, args.waypoints)
        targets = Crx.pose_from_xyzwpr(rows)
        fixed = arm.plan_path(targets)
        if len(fixed.unreachable) or not len(fixed.breaks):
            continue
        free = arm.plan_path(targets, free_axis=(-180, 180, 15))
        if len(free.unreachable) or len(free.breaks):
            continue
        print(f"# attempt {attempt}: fixed {fixed}, free {free}")
        print("# tool_rotation", np.array2string(free.tool_rotation, separator=", "))
        for row in rows:
            print("    [" + ", ".join(f"{value:.3f}" for value in row) + "],")
        return
    raise SystemExit("no such path found")


if __name__ == "__main__":
    main()
