"""A first tour of ortholink: forward kinematics, every inverse solution, and a short path."""

import numpy as np

import ortholink


def main() -> None:
    robot = ortholink.Crx.crx10ia()
    print(f"CRX-10iA: z1={robot.z1} x1={robot.x1} x2={robot.x2} y1={robot.y1} (mm)")

    # Forward kinematics: joint angles in controller degrees to the flange pose.
    joints = [10.0, 20.0, 30.0, 40.0, 50.0, 60.0]
    target = robot.fk(joints)
    np.set_printoptions(precision=4, suppress=True)
    print("\nFlange pose for J =", joints)
    print(target)
    print("All six frames:", robot.fk_all(np.zeros(6)).shape)

    # Inverse kinematics: every configuration that reaches the same pose.
    print("\nEvery solution of that pose:")
    print(f"{'#':>2} {'J1':>9} {'J2':>9} {'J3':>9} {'J4':>9} {'J5':>9} {'J6':>9}  {'residual':>9}  kind")
    for i, solution in enumerate(robot.ik_detailed(target)):
        angles = " ".join(f"{a:9.3f}" for a in solution.joints)
        print(f"{i:2d} {angles}  {solution.residual:9.1e}  {solution.kind}")

    # Following a path: each step takes the solution nearest the previous joints,
    # so the arm keeps its configuration along the move.
    # The move heads towards the base: every step stays within reach.
    print("\nA 100 mm move along base -X, staying in one configuration:")
    current = np.array(joints)
    for step in range(6):
        pose = target.copy()
        pose[0, 3] -= 20.0 * step
        closest = robot.ik_closest(pose, current)
        if closest is None:
            print(f"  x - {20 * step:3d} mm: unreachable")
            continue
        current = closest.joints
        print(f"  x - {20 * step:3d} mm: " + " ".join(f"{a:8.3f}" for a in current))

    print("\nModels:", ", ".join(repr(getattr(ortholink.CrxModel, n)) for n in ("Crx5iA", "Crx10iAL")))


if __name__ == "__main__":
    main()
