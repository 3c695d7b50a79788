"""Draw every solution of one TCP pose in a small cell, coloured by what `Arm.collides` says of it.

A CRX-10iA with a gripper (`tool_geometry`) stands on the floor beside a fixture; the target is
low over the fixture. Solutions that put a link through another, the gripper through a link,
or anything through the floor or the fixture are drawn red and titled with the nearest pair
(`Arm.clearance`); the others grey. The floor is the mounting face's plane, the fixture a box.

    python examples/render_collisions.py                              writes collisions.png here
    python examples/render_collisions.py -o docs/images/collisions.png   the README's picture

Needs matplotlib (pip install matplotlib); nothing is shown on screen.
"""

from __future__ import annotations

import argparse
import math
from pathlib import Path
from typing import Any

import matplotlib  # type: ignore[import-not-found, import-untyped, unused-ignore]
import numpy as np
import numpy.typing as npt

from ortholink import Arm, Crx, CrxModel, LinkMesh, LinkMeshes, Scene

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # type: ignore[import-not-found, import-untyped, unused-ignore]  # noqa: E402
from mpl_toolkits.mplot3d.art3d import Poly3DCollection  # type: ignore[import-not-found, import-untyped, unused-ignore]

Array = npt.NDArray[np.float64]

HEIGHT = 245.0  # the CRX-10iA's J2 axis above its mounting face, mm
GRIPPER = Scene(
    capsules=[([0.0, 0.0, 50.0], [0.0, 0.0, 130.0], 40.0)],  # flange frame, mm
    boxes=[(Crx.pose_from_xyzwpr([0, 0, 160, 0, 0, 0]), [90.0, 30.0, 60.0])],
)
FIXTURE = Crx.pose_from_xyzwpr([620, 0, -HEIGHT + 150, 0, 0, 0]), np.array([300.0, 500.0, 300.0])
CELL = Scene(half_spaces=[([0.0, 0.0, 1.0], -HEIGHT)], boxes=[FIXTURE])
# The TCP 60 mm over the fixture's top face, pointing down.
TARGET = Crx.pose_from_xyzwpr([560, 0, -HEIGHT + 360, 180, 0, 0])

CLEAR = np.array([0.62, 0.65, 0.70])
COLLIDING = np.array([0.86, 0.16, 0.14])
FIXTURE_COLOUR = np.array([0.93, 0.66, 0.15])
LIGHT = np.array([0.45, -0.55, 0.70]) / np.linalg.norm([0.45, -0.55, 0.70])


def shaded(triangles: Array, tone: Array) -> Array:
    """Half-Lambert colours of (k, 3, 3) triangles: the shadow side stays readable."""
    normals = np.cross(triangles[:, 1] - triangles[:, 0], triangles[:, 2] - triangles[:, 0])
    normals /= np.maximum(np.linalg.norm(normals, axis=1, keepdims=True), 1e-12)
    light = 0.5 + 0.5 * np.abs(normals @ LIGHT)
    result: Array = np.clip((0.3 + 0.7 * light)[:, None] * tone, 0.0, 1.0)
    return result


def arm_triangles(meshes: list[LinkMesh]) -> Array:
    return np.concatenate([mesh.vertices[mesh.faces.astype(np.intp)] for mesh in meshes])


def box_triangles(pose: Array, size: Array) -> Array:
    """The twelve triangles of a box centred on `pose`."""
    corners = np.array([[x, y, z] for x in (-0.5, 0.5) for y in (-0.5, 0.5) for z in (-0.5, 0.5)]) * size
    world = corners @ pose[:3, :3].T + pose[:3, 3]
    quads = [(0, 1, 3, 2), (4, 6, 7, 5), (0, 4, 5, 1), (2, 3, 7, 6), (0, 2, 6, 4), (1, 5, 7, 3)]
    faces = [(q[0], q[1], q[2]) for q in quads] + [(q[0], q[2], q[3]) for q in quads]
    result: Array = world[np.array(faces)]
    return result


def capsule_triangles(pose: Array, a: Array, b: Array, radius: float, steps: int = 12) -> Array:
    """Triangles of the points within `radius` of the segment a-b (given in the frame `pose`)."""
    axis = np.asarray(b, float) - np.asarray(a, float)
    length = float(np.linalg.norm(axis))
    z = axis / length if length > 1e-9 else np.array([0.0, 0.0, 1.0])
    x = np.cross(z, [1.0, 0.0, 0.0] if abs(z[0]) < 0.9 else [0.0, 1.0, 0.0])
    x /= np.linalg.norm(x)
    y = np.cross(z, x)
    # Rings of a sphere from pole to pole, the upper half moved to b: a cylinder joins the halves.
    polar = np.linspace(0.0, math.pi, steps + 1)
    around = np.linspace(0.0, 2.0 * math.pi, 2 * steps + 1)
    circle = np.outer(np.cos(around), x) + np.outer(np.sin(around), y)
    half = steps // 2
    ends = [b] * (half + 1) + [a] * (steps - half + 1)
    angles = np.concatenate([polar[: half + 1], polar[half:]])
    grid = np.array(
        [np.asarray(e, float) + radius * (math.cos(p) * z + math.sin(p) * circle) for e, p in zip(ends, angles)]
    )
    quads = [
        (grid[i, j], grid[i, j + 1], grid[i + 1, j + 1], grid[i + 1, j])
        for i in range(len(grid) - 1)
        for j in range(2 * steps)
    ]
    local = np.array([tri for q in quads for tri in ((q[0], q[1], q[2]), (q[0], q[2], q[3]))])
    result: Array = local @ pose[:3, :3].T + pose[:3, 3]
    return result


def distinct(rows: Array) -> Array:
    kept: list[Array] = []
    for row in rows:
        if all(np.abs((row - k + 180.0) % 360.0 - 180.0).max() > 1e-6 for k in kept):
            kept.append(row)
    return np.array(kept).reshape(-1, 6)


def render(output: Path) -> tuple[int, int]:
    arm = Arm(CrxModel.Crx10iA, tool=Crx.pose_from_xyzwpr([0, 0, 200, 0, 0, 0]), tool_geometry=GRIPPER)
    meshes = LinkMeshes.load(CrxModel.Crx10iA)
    # Whole-turn variants have the same geometry: each configuration is drawn once.
    solutions = distinct(arm.ik(TARGET))
    colliding = np.atleast_1d(arm.collides(solutions, CELL)) if len(solutions) else np.zeros(0, dtype=bool)
    clearances = arm.clearance(solutions, CELL)[1] if len(solutions) else []
    fixture = box_triangles(*FIXTURE)

    columns = min(4, max(1, len(solutions)))
    rows = max(1, math.ceil(len(solutions) / columns))
    figure = plt.figure(figsize=(3.6 * columns, 4.0 * rows + 0.5), facecolor="white")
    posed = [arm_triangles(meshes.posed(arm.robot, joints)) for joints in solutions]
    points = np.concatenate([t.reshape(-1, 3) for t in posed] + [fixture.reshape(-1, 3)])
    centre = 0.5 * (points.min(axis=0) + points.max(axis=0))
    half = 0.5 * float((points.max(axis=0) - points.min(axis=0)).max())
    for k, (joints, triangles) in enumerate(zip(solutions, posed)):
        axes: Any = figure.add_subplot(rows, columns, k + 1, projection="3d")
        tone = COLLIDING if colliding[k] else CLEAR
        # The gripper's solids ride on the flange; one collection, so that depth sorting covers all.
        flange = arm.robot.fk(joints)
        tool = [box_triangles(flange @ pose, size) for pose, size in GRIPPER.boxes]
        tool += [capsule_triangles(flange, a, b, radius) for a, b, radius in GRIPPER.capsules]
        robot = np.concatenate([triangles, *tool])
        every = np.concatenate([fixture, robot])
        colours = np.concatenate([shaded(fixture, FIXTURE_COLOUR), shaded(robot, tone)])
        axes.add_collection3d(Poly3DCollection(every, facecolors=colours, edgecolors="none", antialiased=False))
        axes.set_xlim(centre[0] - half, centre[0] + half)
        axes.set_ylim(centre[1] - half, centre[1] + half)
        axes.set_zlim(centre[2] - half, centre[2] + half)
        axes.set_box_aspect((1.0, 1.0, 1.0), zoom=1.3)
        axes.view_init(elev=14, azim=-62)
        axes.set_axis_off()
        label = ", ".join(f"{angle:.0f}" for angle in joints)
        verdict = " × ".join(clearances[k]) if colliding[k] else "clear"
        axes.set_title(f"({label})\n{verdict}", fontsize=9, color="tab:red" if colliding[k] else "black")
    hits = int(np.count_nonzero(colliding))
    title = f"CRX-10iA with a gripper over a fixture: {len(solutions)} configurations of one pose, {hits} colliding"
    figure.suptitle(title, fontsize=13)
    figure.subplots_adjust(left=0.0, right=1.0, bottom=0.0, top=0.88, wspace=0.0, hspace=0.15)
    output.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(output, dpi=80)
    plt.close(figure)
    return len(solutions), hits


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-o", "--output", type=Path, default=Path("collisions.png"))
    args = parser.parse_args()
    count, hits = render(args.output)
    print(f"wrote {count} configurations, {hits} colliding, to {args.output}")


if __name__ == "__main__":
    main()
