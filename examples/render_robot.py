"""Draw every inverse-kinematics solution of one flange pose, side by side, with the embedded meshes.

    python examples/render_robot.py                       writes ik_solutions.png here
    python examples/render_robot.py --model crx5ia -o out.png
    python examples/render_robot.py -o docs/images/ik_solutions.png   the README's picture

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

from ortholink import Crx, CrxModel, LinkMesh, LinkMeshes

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # type: ignore[import-not-found, import-untyped, unused-ignore]  # noqa: E402
from mpl_toolkits.mplot3d.art3d import Poly3DCollection  # type: ignore[import-not-found, import-untyped, unused-ignore]

Array = npt.NDArray[np.float64]

# Every model whose meshes the module embeds: lower-case name ("crx10ia") to member name.
MEMBERS = ("Crx3iA", "Crx5iA", "Crx10iA", "Crx10iAL", "Crx20iAL", "Crx30iA")
MODELS = {name.lower(): name for name in MEMBERS if LinkMeshes.is_available(getattr(CrxModel, name))}
# The pose to reach, given as the joints that produce it.
TARGET_JOINTS = [20.0, 10.0, -20.0, 30.0, -40.0, 50.0]
# Shell colour for the base and joints, accent for the two arm links.
SHELL = np.array([0.93, 0.93, 0.91])
ACCENT = np.array([0.30, 0.68, 0.36])
LIGHT = np.array([0.45, -0.55, 0.70]) / np.linalg.norm([0.45, -0.55, 0.70])


def shaded_triangles(meshes: list[LinkMesh]) -> tuple[Array, Array]:
    """All triangles of the posed links as (k, 3, 3) corners and their (k, 3) colours."""
    corners: list[Array] = []
    colours: list[Array] = []
    for index, mesh in enumerate(meshes):
        triangles = mesh.vertices[mesh.faces.astype(np.intp)]
        normals = np.cross(triangles[:, 1] - triangles[:, 0], triangles[:, 2] - triangles[:, 0])
        normals /= np.maximum(np.linalg.norm(normals, axis=1, keepdims=True), 1e-12)
        # Half-Lambert keeps the shadow side readable.
        light = 0.5 + 0.5 * (normals @ LIGHT)
        tone = ACCENT if index in (2, 4) else SHELL
        colours.append(np.clip((0.25 + 0.75 * light)[:, None] * tone, 0.0, 1.0))
        corners.append(triangles)
    return np.concatenate(corners), np.concatenate(colours)


def draw_frame(axes: Any, pose: Array, length: float) -> None:
    """The flange target as three short axis lines (x red, y green, z blue)."""
    origin = pose[:3, 3]
    for column, colour in enumerate(("tab:red", "tab:green", "tab:blue")):
        tip = origin + length * pose[:3, column]
        axes.plot(*zip(origin, tip), color=colour, linewidth=2.0)


def display_name(member: str) -> str:
    """The catalogue name of a CrxModel member: Crx10iAL is the CRX-10iA/L."""
    name = "CRX-" + member[3:]
    return name[:-1] + "/L" if name.endswith("AL") else name


def render(model_name: str, output: Path) -> int:
    model = getattr(CrxModel, MODELS[model_name])
    robot = Crx.from_model(model)
    meshes = LinkMeshes.load(model)
    target = robot.fk(TARGET_JOINTS)
    solutions = robot.ik(target)

    columns = min(4, max(1, len(solutions)))
    rows = max(1, math.ceil(len(solutions) / columns))
    figure = plt.figure(figsize=(3.6 * columns, 4.0 * rows + 0.4), facecolor="white")
    scenes = [shaded_triangles(meshes.posed(robot, joints)) for joints in solutions]
    # One cube around every pose, so that the panels share a scale.
    points = np.concatenate([corners.reshape(-1, 3) for corners, _ in scenes] or [np.zeros((1, 3))])
    centre = 0.5 * (points.min(axis=0) + points.max(axis=0))
    half = 0.5 * float((points.max(axis=0) - points.min(axis=0)).max())
    for k, (joints, (corners, colours)) in enumerate(zip(solutions, scenes)):
        axes = figure.add_subplot(rows, columns, k + 1, projection="3d")
        axes.add_collection3d(Poly3DCollection(corners, facecolors=colours, edgecolors="none", antialiased=False))
        draw_frame(axes, target, 0.25 * robot.x1)
        axes.set_xlim(centre[0] - half, centre[0] + half)
        axes.set_ylim(centre[1] - half, centre[1] + half)
        axes.set_zlim(centre[2] - half, centre[2] + half)
        axes.set_box_aspect((1.0, 1.0, 1.0), zoom=1.3)
        axes.view_init(elev=16, azim=-58)
        axes.set_axis_off()
        label = ", ".join(f"{angle:.0f}" for angle in joints)
        axes.set_title(f"solution {k + 1}\n({label})", fontsize=9)
    name = display_name(MODELS[model_name])
    title = f"{name}: all {len(solutions)} joint solutions that put the flange on one target"
    figure.suptitle(title, fontsize=13)
    figure.subplots_adjust(left=0.0, right=1.0, bottom=0.0, top=0.88, wspace=0.0, hspace=0.12)
    output.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(output, dpi=80)
    plt.close(figure)
    return len(solutions)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--model", choices=sorted(MODELS), default="crx10ia")
    parser.add_argument("-o", "--output", type=Path, default=Path("ik_solutions.png"))
    args = parser.parse_args()
    count = render(args.model, args.output)
    print(f"wrote {count} solutions to {args.output}")


if __name__ == "__main__":
    main()
