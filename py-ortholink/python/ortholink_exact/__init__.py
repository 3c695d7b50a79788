"""Exact collision answers on the embedded link meshes, with coal.

`Arm.collides(..., exact=True)` checks every configuration with the link envelopes first and
hands only those they flag to `confirm`, which checks them again with coal's BVH collision test
on the meshes (the tool and the scene as coal's primitives), and counts a solid that lies
wholly inside a link's closed mesh as a contact too (coal's test meets only the triangles).
The envelopes contain the meshes, so a configuration they call free is free, and the combined
answer is the meshes' own.

Needs the optional extra: ``pip install 'ortholink[collision]'``.
"""

from __future__ import annotations

import functools
from collections.abc import Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

try:
    import coal
except ModuleNotFoundError as error:  # pragma: no cover - depends on the environment
    raise ModuleNotFoundError(
        "exact=True needs coal: install the extra with pip install 'ortholink[collision]'", name="coal"
    ) from error

import ortholink

__all__ = ["SELF_PAIRS", "TOOL_LINKS", "SCENE_LINKS", "confirm", "link_models", "collides"]

_MODELS = tuple(
    getattr(ortholink.CrxModel, name) for name in ("Crx3iA", "Crx5iA", "Crx10iA", "Crx10iAL", "Crx20iAL", "Crx30iA")
)

# The pairs the envelope check uses: every link pair but the six neighbours.
SELF_PAIRS: tuple[tuple[int, int], ...] = (
    (0, 2), (0, 3), (1, 5), (0, 5), (1, 4), (1, 6), (2, 5), (2, 6), (0, 6),
    (0, 4), (1, 3), (2, 4), (3, 5), (3, 6), (4, 6),
)  # fmt: skip
TOOL_LINKS: tuple[int, ...] = (0, 1, 2, 3, 4, 5)
SCENE_LINKS: tuple[int, ...] = (1, 2, 3, 4, 5, 6)


def link_models(model: ortholink.CrxModel) -> tuple[Any, ...]:
    """The seven link meshes of `model` as coal BVH models (OBBRSS), built once."""
    return _link_models(int(model))


@functools.cache
def _link_models(code: int) -> tuple[Any, ...]:
    model = next(member for member in _MODELS if int(member) == code)
    if not ortholink.LinkMeshes.is_available(model):
        raise ValueError(f"exact=True needs the embedded meshes of the arm's model; {model!r} has none")
    models = []
    for mesh in ortholink.LinkMeshes.load(model).links:
        bvh = coal.BVHModelOBBRSS()
        bvh.beginModel(mesh.face_count, mesh.vertex_count)
        bvh.addVertices(np.ascontiguousarray(mesh.vertices, dtype=np.float64))
        bvh.addTriangles(np.ascontiguousarray(mesh.faces, dtype=np.int32))
        bvh.endModel()
        models.append(bvh)
    return tuple(models)


class _Solid:
    """A link mesh's triangles in the link's frame, for telling whether a point lies inside it.

    coal's BVH test meets a primitive only where it crosses the triangles, so a solid wholly
    inside a link (a ball in the middle of the forearm) never meets one: such a solid has its
    reference point inside the closed mesh, which rays cast from it tell.
    """

    # Rays along directions no face of the meshes is aligned with; a point is inside when
    # most of them cross the surface an odd number of times (a ray through an edge or a
    # vertex can count a crossing twice or not at all, three rays outvote it).
    _RAYS = np.array([[0.5773502691896258, 0.6123724356957945, 0.5400617248673217],
                      [-0.3162277660168379, 0.4472135954999579, 0.8366600265340756],
                      [0.7071067811865475, -0.5, 0.5]])  # fmt: skip

    def __init__(self, mesh: ortholink.LinkMesh) -> None:
        vertices = np.asarray(mesh.vertices, dtype=np.float64)
        triangles = vertices[np.asarray(mesh.faces, dtype=np.intp)]
        self.origin = triangles[:, 0]
        self.edge1 = triangles[:, 1] - self.origin
        self.edge2 = triangles[:, 2] - self.origin
        self.lo = vertices.min(axis=0)
        self.hi = vertices.max(axis=0)

    def contains(self, pose: npt.NDArray[np.float64], point: npt.ArrayLike) -> bool:
        """Whether `point` (in the frame of `pose`, the link's) lies inside the mesh."""
        local = (np.asarray(point, dtype=np.float64) - pose[:3, 3]) @ pose[:3, :3]
        if np.any(local < self.lo) or np.any(local > self.hi):
            return False
        odd = 0
        for ray in self._RAYS:
            # Moller-Trumbore against every triangle at once.
            p = np.cross(ray, self.edge2)
            det = np.einsum("ij,ij->i", self.edge1, p)
            with np.errstate(divide="ignore", invalid="ignore"):
                inv = 1.0 / det
                s = local - self.origin
                u = np.einsum("ij,ij->i", s, p) * inv
                q = np.cross(s, self.edge1)
                v = (q @ ray) * inv
                t = np.einsum("ij,ij->i", self.edge2, q) * inv
            crossed = (det != 0.0) & (u >= 0.0) & (v >= 0.0) & (u + v <= 1.0) & (t > 0.0)
            odd += int(np.count_nonzero(crossed)) % 2
        return odd >= 2


@functools.cache
def _link_solids(code: int) -> tuple[_Solid, ...]:
    model = next(member for member in _MODELS if int(member) == code)
    return tuple(_Solid(mesh) for mesh in ortholink.LinkMeshes.load(model).links)


def _transform(matrix: npt.NDArray[np.float64]) -> Any:
    return coal.Transform3s(np.ascontiguousarray(matrix[:3, :3]), np.ascontiguousarray(matrix[:3, 3]))


def _translation(point: npt.ArrayLike) -> npt.NDArray[np.float64]:
    matrix = np.eye(4)
    matrix[:3, 3] = np.asarray(point, dtype=np.float64)
    return matrix


def _segment_frame(a: npt.NDArray[np.float64], b: npt.NDArray[np.float64]) -> tuple[npt.NDArray[np.float64], float]:
    """A frame at the middle of a-b with its z axis along it, and the segment's length."""
    axis = b - a
    length = float(np.linalg.norm(axis))
    frame = _translation((a + b) / 2.0)
    if length > 0.0:
        z = axis / length
        helper = np.array([1.0, 0.0, 0.0]) if abs(z[0]) < 0.9 else np.array([0.0, 1.0, 0.0])
        x = np.cross(helper, z)
        x /= np.linalg.norm(x)
        frame[:3, 0], frame[:3, 1], frame[:3, 2] = x, np.cross(z, x), z
    return frame, length


def _solids(scene: ortholink.Scene | None) -> Iterator[tuple[Any, npt.NDArray[np.float64], float]]:
    """coal geometries of a scene's solids (its point clouds aside) with their poses in the
    scene's frame and the radius of a ball about the pose's origin that holds them (inf for a
    half-space)."""
    if scene is None:
        return
    for center, radius in scene.spheres:
        yield coal.Sphere(float(radius)), _translation(center), float(radius)
    for a, b, radius in scene.capsules:
        frame, length = _segment_frame(np.asarray(a), np.asarray(b))
        yield coal.Capsule(float(radius), length), frame, float(radius) + 0.5 * length
    for pose, size in scene.boxes:
        yield coal.Box(*(float(s) for s in size)), np.asarray(pose), 0.5 * float(np.linalg.norm(size))
    for pose, radius, length in scene.cylinders:
        yield coal.Cylinder(float(radius), float(length)), np.asarray(pose), float(np.hypot(radius, 0.5 * length))
    for normal, offset in scene.half_spaces:
        n = np.asarray(normal, dtype=np.float64)
        norm = float(np.linalg.norm(n))
        yield coal.Halfspace(n / norm, float(offset) / norm), np.eye(4), np.inf


def _hit(a: Any, pose_a: Any, b: Any, pose_b: Any, padding: float) -> bool:
    """coal's collide of two posed geometries (poses as 4x4 arrays or coal transforms)."""
    request = coal.CollisionRequest()
    request.security_margin = padding
    result = coal.CollisionResult()
    tf_a = pose_a if isinstance(pose_a, coal.Transform3s) else _transform(pose_a)
    tf_b = pose_b if isinstance(pose_b, coal.Transform3s) else _transform(pose_b)
    return bool(coal.collide(a, tf_a, b, tf_b, request, result))


def _near(
    points: npt.NDArray[np.float64], radius: float, lo: npt.NDArray[np.float64], hi: npt.NDArray[np.float64]
) -> npt.NDArray[np.float64]:
    """The points whose balls reach into the box lo..hi."""
    inside = np.all((points >= lo - radius) & (points <= hi + radius), axis=1)
    return points[inside]


def collides(
    arm: ortholink.Arm, joints: npt.ArrayLike, scene: ortholink.Scene | None = None, padding: float = 0.0
) -> bool:
    """coal's answer for one configuration: the same pairs as `Arm.collides`, links as their meshes."""
    models = link_models(_model_of(arm))
    world = np.asarray(arm.base)
    to_base = np.linalg.inv(world)
    frames = arm.robot.fk_all(joints)
    poses = [np.eye(4)] + [frames[k] for k in range(6)]
    transforms = [_transform(pose) for pose in poses]
    for i, j in SELF_PAIRS:
        if _hit(models[i], transforms[i], models[j], transforms[j], padding):
            return True
    tool = list(_solids(arm.tool_geometry))
    solids = _link_solids(int(_model_of(arm)))
    flange = poses[6]

    def meets_link(link: int, geometry: Any, pose: npt.NDArray[np.float64]) -> bool:
        # A solid clear of a link's surface can still lie wholly inside it.
        if _hit(models[link], transforms[link], geometry, pose, padding):
            return True
        return not isinstance(geometry, coal.Halfspace) and solids[link].contains(poses[link], pose[:3, 3])

    for geometry, pose, _ in tool:
        for link in TOOL_LINKS:
            if meets_link(link, geometry, flange @ pose):
                return True
    if scene is None:
        return False
    for geometry, pose, _ in _solids(scene):
        placed = to_base @ pose
        if any(meets_link(link, geometry, placed) for link in SCENE_LINKS):
            return True
        if any(_hit(g, flange @ p, geometry, placed, padding) for g, p, _ in tool):
            return True
    if scene.points:
        # Only the points near a body's box (a tool solid's ball) are handed to coal.
        meshes = ortholink.LinkMeshes.load(_model_of(arm)).links
        for points, radius in scene.points:
            local = points @ to_base[:3, :3].T + to_base[:3, 3]
            ball = coal.Sphere(float(radius))
            for link in SCENE_LINKS:
                vertices = meshes[link].vertices @ poses[link][:3, :3].T + poses[link][:3, 3]
                for point in _near(local, float(radius) + padding, vertices.min(axis=0), vertices.max(axis=0)):
                    if meets_link(link, ball, _translation(point)):
                        return True
            for geometry, pose, reach in tool:
                placed = flange @ pose
                near = np.linalg.norm(local - placed[:3, 3], axis=1) <= reach + float(radius) + padding
                for point in local[near]:
                    if _hit(geometry, placed, ball, _translation(point), padding):
                        return True
    return False


def _model_of(arm: ortholink.Arm) -> ortholink.CrxModel:
    model = arm.model
    if model is None:
        raise ValueError("exact=True needs the embedded meshes of a CrxModel arm; this arm was made from a Crx")
    return model


def confirm(
    arm: ortholink.Arm, scene: ortholink.Scene | None, joints: npt.ArrayLike, padding: float
) -> npt.NDArray[np.bool_]:
    """coal's answer for each row of an (n, 6) array of configurations."""
    rows = np.asarray(joints, dtype=np.float64).reshape(-1, 6)
    return np.array([collides(arm, row, scene, padding) for row in rows], dtype=bool)
