"""Builds the embedded link meshes of the CRX-5iA and the CRX-10iA.

Each link is a union of turned parts (profiles revolved about an axis), hulls of such parts and a few
bosses, sized from the robot's link dimensions and from the axis-aligned extents every link must
have. Each mesh is authored in the frame it moves with: index 0 (the base) in the base frame and
index i in frame i - 1 of fk_all at the zero pose; the flange's mating face is its z = 0 plane.

The meshes are written by tools/write_vntl.cpp (compiled here with one g++ command against the
vantle sources), which renumbers vertices in order of first use, writes one high-water coded mesh
item and reads the stream back. The decoded geometry is checked here: extents within 0.5 mm of the
table below, a closed surface (every edge shared by exactly two triangles, consistently oriented),
no degenerate triangle, 500 to 10,000 vertices, and the flange at z <= 0.

Authoring needs numpy and manifold3d (from PyPI); the package build needs neither, since the
streams under ortholink/assets are committed.

    python tools/generate_link_meshes.py            write ortholink/assets/<model>/link<i>.vntl
    python tools/generate_link_meshes.py --check    rebuild in a temporary folder, report, compare
    python tools/generate_link_meshes.py --preview out.png   also draw the zero pose
"""

from __future__ import annotations

import argparse
import math
import shutil
import struct
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from manifold3d import CrossSection, Manifold

ROOT = Path(__file__).resolve().parent.parent
ASSETS = ROOT / "ortholink" / "assets"

# Largest distance between an authored vertex and its decoded position, mm.
TOLERANCE = 0.01
# How far a decoded extent may lie from its table value, mm.
EXTENT_SLACK = 0.5
# Smallest triangle area still counted as a triangle, mm^2.
MIN_AREA = 1e-6
MIN_VERTICES, MAX_VERTICES = 500, 10_000

# Segments around a full turn; a multiple of 4 puts vertices on the extreme points of every circle.
SEGMENTS = 96
SMALL_SEGMENTS = 48


@dataclass(frozen=True)
class Model:
    name: str  # asset folder
    z1: float
    x1: float
    x2: float
    y1: float
    # Per link: (x min, x max), (y min, y max), (z min, z max) in its authored frame, mm.
    extents: tuple[tuple[tuple[float, float], tuple[float, float], tuple[float, float]], ...]


MODELS = (
    Model(
        "crx5ia", 410, 430, 145, 130,
        (
            ((-100.0, 74.5), (-74.5, 74.5), (-185.0, -125.0)),
            ((-65.0, 65.0), (-90.5, 65.4), (-124.5, 65.4)),
            ((-65.0, 65.0), (-230.4, -67.5), (-65.1, 469.0)),
            ((-61.0, 120.5), (-66.5, 61.0), (-61.0, 61.0)),
            ((121.5, 484.0), (-59.0, 55.8), (-55.8, 55.8)),
            ((-55.6, 84.5), (-55.0, 70.5), (-55.0, 55.0)),
            ((-46.0, 46.0), (-62.5, 54.5), (-60.0, 0.0)),
        ),
    ),
    Model(
        "crx10ia", 540, 540, 160, 150,
        (
            ((-99.1, 95.0), (-95.0, 95.0), (-245.0, -160.0)),
            ((-79.0, 79.0), (-119.0, 80.2), (-159.0, 80.2)),
            ((-79.0, 79.0), (-298.4, -76.0), (-79.5, 608.1)),
            ((-70.5, 153.0), (-75.0, 63.9), (-70.2, 70.2)),
            ((154.0, 593.1), (-64.0, 58.1), (-57.0, 57.0)),
            ((-58.1, 99.5), (-58.1, 85.0), (-57.0, 57.0)),
            ((-46.0, 46.0), (-62.5, 54.6), (-59.5, 0.0)),
        ),
    ),
)


# Building blocks ----------------------------------------------------------------------------------

Profile = list[tuple[float, float]]


def arc(cr: float, ch: float, radius: float, start_deg: float, end_deg: float, steps: int = 4) -> Profile:
    """Points of a circular arc in the (r, h) plane, both ends included."""
    return [
        (cr + radius * math.cos(math.radians(a)), ch + radius * math.sin(math.radians(a)))
        for a in np.linspace(start_deg, end_deg, steps + 1)
    ]


def rounded_profile(radius: float, h0: float, h1: float, f0: float, f1: float) -> Profile:
    """Profile of a cylinder from h0 to h1 whose rims are rounded by f0 (bottom) and f1 (top)."""
    points: Profile = [(0.0, h0)]
    points += arc(radius - f0, h0 + f0, f0, -90, 0) if f0 > 0 else [(radius, h0)]
    points += arc(radius - f1, h1 - f1, f1, 0, 90) if f1 > 0 else [(radius, h1)]
    points.append((0.0, h1))
    return points


def turned(profile: Profile, axis: str = "z", segments: int = SEGMENTS) -> Manifold:
    """Revolves an (r, h) profile about the given axis through the origin; h runs along +axis."""
    points = [(r if r > 1e-9 else 0.0, h) for r, h in profile]
    solid = Manifold.revolve(CrossSection([points]), segments)
    return along(solid, axis)


def along(solid: Manifold, axis: str) -> Manifold:
    """Turns a solid built about +z so that +z becomes +axis."""
    if axis == "x":
        return solid.rotate((0, 90, 0))
    if axis == "y":
        return solid.rotate((-90, 0, 0))
    return solid


def rounded_cylinder(radius: float, h0: float, h1: float, fillet: float, axis: str = "z",
                     segments: int = SEGMENTS, fillet_top: float | None = None) -> Manifold:
    top = fillet if fillet_top is None else fillet_top
    return turned(rounded_profile(radius, h0, h1, fillet, top), axis, segments)


def dome(radius: float, depth: float, axis: str, segments: int = SEGMENTS) -> Manifold:
    """Half of a spheroid on the +axis side: radius across the axis, depth along it."""
    profile: Profile = [(0.0, 0.0)] + [
        (radius * math.cos(math.radians(a)), depth * math.sin(math.radians(a))) for a in np.linspace(0, 90, 13)
    ]
    return turned(profile, axis, segments)


def union(*parts: Manifold) -> Manifold:
    return Manifold.batch_boolean(list(parts), _add_op())


def _add_op():  # noqa: ANN202 - the enum type is only reachable through the module
    from manifold3d import OpType

    return OpType.Add


# The links ----------------------------------------------------------------------------------------


def base(m: Model) -> Manifold:
    (x0, _), (_, radius), (z0, z1) = m.extents[0]
    height = z1 - z0
    foot = rounded_cylinder(radius, z0, z0 + 0.2 * height, 2.0, fillet_top=4.0)
    body = rounded_cylinder(radius - 7.0, z0 + 0.1 * height, z1 - 0.1 * height, 0.0)
    top = rounded_cylinder(radius - 3.0, z1 - 0.16 * height, z1, 0.0, fillet_top=5.0)
    boss_radius = min(16.0, 0.28 * height)
    boss_z = z0 + 0.5 * height
    boss = rounded_cylinder(boss_radius, radius - 12.0, -x0, 0.0, "x", SMALL_SEGMENTS, fillet_top=2.0)
    boss = boss.mirror((1, 0, 0)).translate((0, 0, boss_z))
    return union(foot, body, top, boss)


def turret(m: Model) -> Manifold:
    (_, r_column), (y0, y1), (z0, z_top) = m.extents[1]
    face = m.extents[2][1][1] + 2.0  # 2 mm clear of the upper arm's inner face
    # The column stays inside the housing's sides so that no two surfaces touch tangentially.
    column = rounded_cylinder(r_column - 2.5, z0, 0.0, 3.0, fillet_top=0.0)
    ring = rounded_cylinder(r_column, z0, z0 + 14.0, 2.0, fillet_top=2.0)
    column = union(column, ring)
    squash = (r_column / z_top, 1.0, 1.0)
    housing = rounded_cylinder(z_top, face, 0.0, 6.0, "y", fillet_top=0.0).scale(squash)
    cap = dome(z_top, y1, "y").scale(squash)
    # The reducer reaches into the upper arm's hub, where it is hidden.
    shaft = rounded_cylinder(0.55 * z_top, y0, face + 1.0, 0.0, "y", SMALL_SEGMENTS)
    return union(column, housing, cap, shaft)


def upper_arm(m: Model) -> Manifold:
    (_, half_width), (y0, y1), (z0, z_top) = m.extents[2]
    r_low = -z0
    r_high = z_top - m.z1
    cover = 16.0  # motor covers on the outer side
    y_outer = y0 + cover
    low = rounded_cylinder(r_low, y_outer, y1, 10.0, "y").scale((half_width / r_low, 1.0, 1.0))
    high = rounded_cylinder(r_high, y_outer, y1, 10.0, "y").translate((0, 0, m.z1))
    body = Manifold.batch_hull([low, high])
    low_cover = rounded_cylinder(0.72 * r_low, y0, y_outer + 1.0, 6.0, "y", fillet_top=0.0)
    high_cover = rounded_cylinder(0.72 * r_high, y0, y_outer + 1.0, 6.0, "y", fillet_top=0.0)
    return union(body, low_cover, high_cover.translate((0, 0, m.z1)))


def elbow(m: Model) -> Manifold:
    (x0, x_end), (y0, y1), (_, z_top) = m.extents[3]
    housing = rounded_cylinder(z_top, y0, y1, 8.0, "y").scale((-x0 / z_top, 1.0, 1.0))
    boss_radius = min(m.extents[4][2][1] + 3.0, 0.9 * z_top)
    boss = rounded_cylinder(boss_radius, 0.0, x_end, 0.0, "x", fillet_top=3.0)
    return union(housing, boss)


def forearm(m: Model) -> Manifold:
    (x_start, x_end), (y0, y1), (_, r_start) = m.extents[4]
    r_joint = x_end - m.x1
    r_tube = min(0.86 * r_start, r_joint - 3.0)
    ring = rounded_cylinder(r_start, x_start, x_start + 22.0, 3.0, "x")
    tube_profile: Profile = [(0.0, x_start + 10.0), (0.93 * r_start, x_start + 10.0), (r_tube, m.x1), (0.0, m.x1)]
    tube = turned(tube_profile, "x")
    joint = rounded_cylinder(r_joint, y0, y1, 7.0, "y").translate((m.x1, 0, 0))
    return union(ring, tube, joint)


def wrist(m: Model) -> Manifold:
    (x0, x_end), (y0, y1), (_, z_top) = m.extents[5]
    squash = (-x0 / z_top, 1.0, 1.0)
    shoulder = 0.4 * y1
    cap = dome(z_top, -y0, "y").mirror((0, 1, 0)).scale(squash)
    housing = rounded_cylinder(z_top, 0.0, shoulder, 0.0, "y", fillet_top=6.0).scale(squash)
    towards_forearm = rounded_cylinder(0.74 * z_top, 0.0, y1, 0.0, "y", fillet_top=5.0)
    flange_radius = m.extents[6][0][1]
    towards_flange = rounded_cylinder(min(flange_radius, 0.84 * z_top), 0.0, x_end, 0.0, "x", fillet_top=2.0)
    return union(cap, housing, towards_forearm, towards_flange)


def flange(m: Model) -> Manifold:
    (_, radius), (y0, y1), (z0, _) = m.extents[6]
    plate = 9.0
    bore_radius, bore_depth = 0.3 * radius, 5.0
    # Body, then the plate whose face is the z = 0 mating plane, with a shallow central bore.
    profile: Profile = [(0.0, z0)]
    profile += arc(radius - 3.0 - 6.0, z0 + 6.0, 6.0, -90, 0)
    profile += [(radius - 3.0, -plate - 1.5), (radius, -plate)]
    profile += arc(radius - 1.5, -1.5, 1.5, 0, 90, 2)
    profile += [(bore_radius, 0.0), (bore_radius, -bore_depth), (0.0, -bore_depth)]
    body = turned(profile, "z")
    mid = z0 + 0.45 * (-z0)
    connector = rounded_cylinder(9.0, radius - 8.0, -y0, 0.0, "y", SMALL_SEGMENTS, fillet_top=1.5)
    connector = connector.mirror((0, 1, 0)).translate((0, 0, mid))
    button = rounded_cylinder(6.5, radius - 8.0, y1, 0.0, "y", SMALL_SEGMENTS, fillet_top=1.5)
    button = button.translate((0, 0, mid))
    return union(body, connector, button)


LINKS = (base, turret, upper_arm, elbow, forearm, wrist, flange)


# Mesh checks --------------------------------------------------------------------------------------


def solid_to_arrays(solid: Manifold) -> tuple[np.ndarray, np.ndarray]:
    mesh = solid.to_mesh64()
    vertices = np.asarray(mesh.vert_properties, dtype=np.float64)[:, :3].copy()
    triangles = np.asarray(mesh.tri_verts, dtype=np.int64).copy()
    vertices, triangles = collapse_short_edges(vertices, triangles, SHORTEST_EDGE)
    return vertices, triangles.astype(np.uint32)


# Booleans leave a few edges of a few micrometres where an intersection curve passes next to a
# vertex; quantising would fold their triangles flat, so such edges are collapsed first.
SHORTEST_EDGE = 0.1


def collapse_short_edges(vertices: np.ndarray, triangles: np.ndarray, shortest: float):
    vertices = vertices.copy()
    triangles = triangles.copy()
    refused: set[tuple[int, int]] = set()
    while True:
        edges = np.sort(np.concatenate([triangles[:, [0, 1]], triangles[:, [1, 2]], triangles[:, [2, 0]]]), axis=1)
        edges = np.unique(edges, axis=0)
        lengths = np.linalg.norm(vertices[edges[:, 0]] - vertices[edges[:, 1]], axis=1)
        order = np.argsort(lengths)
        target = None
        for k in order:
            if lengths[k] >= shortest:
                break
            a, b = int(edges[k, 0]), int(edges[k, 1])
            if (a, b) in refused:
                continue
            # Link condition: a and b may share only the two vertices opposite their edge.
            around_a = set(triangles[(triangles == a).any(axis=1)].ravel())
            around_b = set(triangles[(triangles == b).any(axis=1)].ravel())
            both = (triangles == a).any(axis=1) & (triangles == b).any(axis=1)
            opposite = set(triangles[both].ravel()) - {a, b}
            if (around_a & around_b) - {a, b} == opposite and len(opposite) == 2:
                target = (a, b)
                break
            refused.add((a, b))
        if target is None:
            break
        a, b = target
        vertices[a] = 0.5 * (vertices[a] + vertices[b])
        gone = (triangles == a).any(axis=1) & (triangles == b).any(axis=1)
        triangles = triangles[~gone]
        triangles[triangles == b] = a
    used = np.unique(triangles)
    remap = np.full(len(vertices), -1, dtype=np.int64)
    remap[used] = np.arange(len(used))
    return vertices[used], remap[triangles]


def problems(vertices: np.ndarray, triangles: np.ndarray, extents, flange_link: bool) -> list[str]:
    found: list[str] = []
    if not MIN_VERTICES <= len(vertices) <= MAX_VERTICES:
        found.append(f"{len(vertices)} vertices")
    lo, hi = vertices.min(axis=0), vertices.max(axis=0)
    for axis, (want_lo, want_hi) in enumerate(extents):
        if abs(lo[axis] - want_lo) > EXTENT_SLACK or abs(hi[axis] - want_hi) > EXTENT_SLACK:
            found.append(f"axis {'xyz'[axis]} spans {lo[axis]:.3f} to {hi[axis]:.3f}, want {want_lo} to {want_hi}")
    # Closed and consistently oriented: every directed edge once, and its reverse once.
    directed = np.concatenate([triangles[:, [0, 1]], triangles[:, [1, 2]], triangles[:, [2, 0]]]).astype(np.int64)
    keys = directed[:, 0] * len(vertices) + directed[:, 1]
    reverse = directed[:, 1] * len(vertices) + directed[:, 0]
    if len(np.unique(keys)) != len(keys) or not np.isin(reverse, keys).all():
        found.append("surface is not closed and consistently oriented")
    corners = vertices[triangles.astype(np.int64)]
    areas = 0.5 * np.linalg.norm(np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0]), axis=1)
    if (areas < MIN_AREA).any():
        found.append(f"{int((areas < MIN_AREA).sum())} degenerate triangles")
    used = np.zeros(len(vertices), dtype=bool)
    used[triangles.ravel()] = True
    if not used.all():
        found.append("unused vertices")
    if flange_link and hi[2] > 0.0:
        found.append(f"flange reaches z = {hi[2]}")
    return found


# Writing ------------------------------------------------------------------------------------------


def build_writer(folder: Path) -> Path:
    compiler = shutil.which("g++") or "g++"
    program = folder / "write_vntl"
    sources = sorted(str(p) for p in (ROOT / "vantle" / "src").glob("*.cpp"))
    command = [
        compiler, "-std=c++20", "-O2", "-ffp-contract=off", "-fno-fast-math",
        f"-I{ROOT / 'vantle' / 'include'}", f"-I{ROOT / 'vantle' / 'src'}",
        str(ROOT / "tools" / "write_vntl.cpp"), *sources, "-o", str(program),
    ]
    subprocess.run(command, check=True)
    return program


def write_raw(path: Path, vertices: np.ndarray, triangles: np.ndarray) -> None:
    with path.open("wb") as out:
        out.write(struct.pack("<II", len(vertices), len(triangles)))
        out.write(np.ascontiguousarray(vertices, dtype="<f8").tobytes())
        out.write(np.ascontiguousarray(triangles, dtype="<u4").tobytes())


def read_raw(path: Path) -> tuple[np.ndarray, np.ndarray]:
    data = path.read_bytes()
    nv, nt = struct.unpack_from("<II", data)
    vertices = np.frombuffer(data, dtype="<f8", count=3 * nv, offset=8).reshape(nv, 3)
    triangles = np.frombuffer(data, dtype="<u4", count=3 * nt, offset=8 + 24 * nv).reshape(nt, 3)
    return vertices.astype(np.float64), triangles.astype(np.uint32)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", action="store_true", help="build and report without touching the assets")
    parser.add_argument("--preview", type=Path, help="draw both models at the zero pose to this PNG")
    parser.add_argument("--writer", type=Path, help="use this already built write_vntl instead of compiling it")
    parser.add_argument("--shapes-only", action="store_true", help="check the authored shapes, write nothing")
    args = parser.parse_args()
    if args.shapes_only:
        return check_shapes(args.preview)

    failed = False
    decoded_meshes: dict[str, list[tuple[np.ndarray, np.ndarray]]] = {}
    with tempfile.TemporaryDirectory() as temp:
        work = Path(temp)
        writer = args.writer.resolve() if args.writer else build_writer(work)
        print(f"{'mesh':19s} {'verts':>6s} {'tris':>6s} {'bytes':>7s}  extents (x, y, z)")
        for model in MODELS:
            out_dir = (work / "assets" if args.check else ASSETS) / model.name
            out_dir.mkdir(parents=True, exist_ok=True)
            decoded_meshes[model.name] = []
            for index, make in enumerate(LINKS):
                vertices, triangles = solid_to_arrays(make(model))
                raw_in, raw_out = work / "in.raw", work / "out.raw"
                stream = out_dir / f"link{index}.vntl"
                write_raw(raw_in, vertices, triangles)
                subprocess.run([str(writer), str(raw_in), str(stream), str(raw_out), str(TOLERANCE)], check=True)
                dv, dt = read_raw(raw_out)
                decoded_meshes[model.name].append((dv, dt))
                issues = problems(dv, dt, model.extents[index], index == 6)
                lo, hi = dv.min(axis=0), dv.max(axis=0)
                spans = ", ".join(f"{a:.1f}..{b:.1f}" for a, b in zip(lo, hi))
                print(f"{model.name}/link{index}.vntl {len(dv):6d} {len(dt):6d} {stream.stat().st_size:7d}  {spans}")
                committed = ASSETS / model.name / stream.name
                if args.check and (not committed.exists() or committed.read_bytes() != stream.read_bytes()):
                    print("    differs from the committed stream")
                for issue in issues:
                    print(f"    problem: {issue}")
                failed |= bool(issues)
    if args.preview:
        preview(decoded_meshes, args.preview)
    return 1 if failed else 0


def check_shapes(preview_path: Path | None) -> int:
    failed = False
    meshes: dict[str, list[tuple[np.ndarray, np.ndarray]]] = {}
    for model in MODELS:
        meshes[model.name] = []
        for index, make in enumerate(LINKS):
            vertices, triangles = solid_to_arrays(make(model))
            meshes[model.name].append((vertices, triangles))
            issues = problems(vertices, triangles, model.extents[index], index == 6)
            lo, hi = vertices.min(axis=0), vertices.max(axis=0)
            spans = ", ".join(f"{a:.2f}..{b:.2f}" for a, b in zip(lo, hi))
            print(f"{model.name}/link{index} {len(vertices):6d} {len(triangles):6d}  {spans}")
            for issue in issues:
                print(f"    problem: {issue}")
            failed |= bool(issues)
    if preview_path:
        preview(meshes, preview_path)
    return 1 if failed else 0


# Preview ------------------------------------------------------------------------------------------


def zero_pose_frames(m: Model) -> list[tuple[np.ndarray, np.ndarray]]:
    """Rotation and origin of each mesh's frame at the zero pose."""
    eye = np.eye(3)
    flange_rotation = np.array([[0.0, 0.0, 1.0], [0.0, -1.0, 0.0], [1.0, 0.0, 0.0]])
    origins = [(0, 0, 0), (0, 0, 0), (0, 0, 0), (0, 0, m.z1), (0, 0, m.z1), (m.x1, -m.y1, m.z1),
               (m.x1 + m.x2, -m.y1, m.z1)]
    return [(flange_rotation if i == 6 else eye, np.array(o, dtype=float)) for i, o in enumerate(origins)]


def preview(meshes: dict[str, list[tuple[np.ndarray, np.ndarray]]], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from mpl_toolkits.mplot3d.art3d import Poly3DCollection

    fig = plt.figure(figsize=(16, 8))
    for k, model in enumerate(MODELS):
        ax = fig.add_subplot(1, 2, k + 1, projection="3d")
        light = np.array([0.4, -0.6, 0.7]) / np.linalg.norm([0.4, -0.6, 0.7])
        frames = zero_pose_frames(model)
        for i, ((vertices, triangles), (rotation, origin)) in enumerate(zip(meshes[model.name], frames)):
            placed = vertices @ rotation.T + origin
            tris = placed[triangles.astype(np.int64)]
            normals = np.cross(tris[:, 1] - tris[:, 0], tris[:, 2] - tris[:, 0])
            normals /= np.linalg.norm(normals, axis=1, keepdims=True) + 1e-12
            shade = 0.35 + 0.65 * np.clip(normals @ light, 0, 1)
            base_colour = np.array([0.35, 0.75, 0.35]) if i in (2, 4) else np.array([0.92, 0.92, 0.9])
            colours = np.clip(shade[:, None] * base_colour, 0, 1)
            ax.add_collection3d(Poly3DCollection(tris, facecolors=colours, edgecolors="none"))
        ax.set_xlim(-200, 800)
        ax.set_ylim(-550, 450)
        ax.set_zlim(-250, 750)
        ax.set_box_aspect((1, 1, 1))
        ax.view_init(elev=18, azim=-60)
        ax.set_title(model.name)
    fig.tight_layout()
    fig.savefig(path, dpi=100)


if __name__ == "__main__":
    sys.exit(main())
