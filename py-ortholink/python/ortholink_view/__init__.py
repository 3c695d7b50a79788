"""A live 3-D view of an `ortholink.Arm` in the browser, built on viser.

    import ortholink, ortholink_view
    arm = ortholink.Arm(ortholink.CrxModel.Crx10iA)
    ortholink_view.show(arm)            # prints its address, runs until Ctrl-C

The page shows the arm with its embedded meshes (its collision envelopes for models
without meshes), a slider per joint within the arm's limits, and a TCP target to
drag: every solution of the target within the limits is drawn, the selected one
solid, the others as labelled ghosts. A `Trajectory` plays back in real time; a
`PathPlan` (or any (n, 6) array of joint rows) can be played back too. Lengths are
shown in metres; the scene's frame is the arm's world frame.

With a cell (`show(arm, scene=ortholink.Scene(...))`) its solids are drawn, and
every configuration that `Arm.collides` reports as colliding with itself, its
tool or the cell is drawn red, its label naming the nearest pair of bodies
(`Arm.clearance`). The tool's solids (`Arm.tool_geometry`) move with the
flange; the links' envelopes can be shown as well.

Install with the extra: ``pip install "ortholink[view]"``.
"""

from __future__ import annotations

import math
import threading
import time
from collections.abc import Sequence
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

import ortholink

__all__ = ["Viewer", "show"]

_MM = 0.001  # the scene is in metres, ortholink in millimetres
# Labels at one place stack this far apart, per metre of the arm's reach: a line of text and a
# little more at the initial camera's distance.
_LABEL_STEP = 0.065

# Colours of the base and the six moving links (flange last), solid and ghost.
_LINK_COLOURS = [
    (70, 70, 78),
    (60, 170, 110),
    (236, 236, 232),
    (60, 170, 110),
    (236, 236, 232),
    (60, 170, 110),
    (120, 120, 130),
]
_GHOST_COLOUR = (90, 140, 255)
_GHOST_OPACITY = 0.22
_COLLIDING_COLOUR = (225, 40, 40)
_COLLIDING_GHOST_OPACITY = 0.45  # a red ghost must stand out from the blue ones
_SCENE_COLOUR = (240, 165, 30)
_TOOL_COLOUR = (120, 120, 130)
_ENVELOPE_COLOUR = (160, 110, 240)
_ENVELOPE_OPACITY = 0.3
_HALF_SPACE_COLOUR = (190, 180, 165)
_HALF_SPACE_OPACITY = 0.25  # a floor or wall must not hide the arm
_HALF_SPACE_SIDE = 3000.0  # mm: a plane is drawn as a slab this wide around the arm
_HALF_SPACE_DEPTH = 10.0
_MAX_DRAWN = 16  # distinct configurations of one pose
_FRAME = 1.0 / 30.0  # s: the longest wait between two looks at the clock while playing


class _HasJoints(Protocol):
    @property
    def joints(self) -> npt.NDArray[np.float64]: ...


def _matrix_to_wxyz(matrix: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Unit quaternion (w, x, y, z) of a rotation block (Shepperd's method)."""
    r = matrix[:3, :3]
    trace = r[0, 0] + r[1, 1] + r[2, 2]
    candidates = [trace, r[0, 0], r[1, 1], r[2, 2]]
    k = int(np.argmax(candidates))
    if k == 0:
        s = 2.0 * np.sqrt(1.0 + trace)
        q = [0.25 * s, (r[2, 1] - r[1, 2]) / s, (r[0, 2] - r[2, 0]) / s, (r[1, 0] - r[0, 1]) / s]
    elif k == 1:
        s = 2.0 * np.sqrt(1.0 + r[0, 0] - r[1, 1] - r[2, 2])
        q = [(r[2, 1] - r[1, 2]) / s, 0.25 * s, (r[0, 1] + r[1, 0]) / s, (r[0, 2] + r[2, 0]) / s]
    elif k == 2:
        s = 2.0 * np.sqrt(1.0 + r[1, 1] - r[0, 0] - r[2, 2])
        q = [(r[0, 2] - r[2, 0]) / s, (r[0, 1] + r[1, 0]) / s, 0.25 * s, (r[1, 2] + r[2, 1]) / s]
    else:
        s = 2.0 * np.sqrt(1.0 + r[2, 2] - r[0, 0] - r[1, 1])
        q = [(r[1, 0] - r[0, 1]) / s, (r[0, 2] + r[2, 0]) / s, (r[1, 2] + r[2, 1]) / s, 0.25 * s]
    out = np.array(q, dtype=np.float64)
    return out / np.linalg.norm(out)


def _wxyz_to_matrix(wxyz: Sequence[float] | npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    w, x, y, z = (float(v) for v in wxyz)
    n = np.sqrt(w * w + x * x + y * y + z * z)
    w, x, y, z = w / n, x / n, y / n, z / n
    return np.array(
        [
            [1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
            [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
            [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)],
        ]
    )


Mesh = tuple[npt.NDArray[np.float64], npt.NDArray[np.uint32]]


def _merge(meshes: Sequence[Mesh]) -> Mesh:
    vertices: list[npt.NDArray[np.float64]] = []
    faces: list[npt.NDArray[np.int64]] = []
    offset = 0
    for v, f in meshes:
        vertices.append(np.asarray(v, dtype=np.float64))
        faces.append(np.asarray(f, dtype=np.int64) + offset)
        offset += len(v)
    if not vertices:
        return np.empty((0, 3)), np.empty((0, 3), dtype=np.uint32)
    return np.concatenate(vertices), np.concatenate(faces).astype(np.uint32)


def _z_onto(axis: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """A rotation matrix that turns z onto the unit vector `axis`."""
    helper = np.array([1.0, 0.0, 0.0]) if abs(axis[0]) < 0.9 else np.array([0.0, 1.0, 0.0])
    x = np.cross(helper, axis)
    x /= np.linalg.norm(x)
    return np.column_stack([x, np.cross(axis, x), axis])


def _capsule_mesh(a: npt.ArrayLike, b: npt.ArrayLike, radius: float) -> Mesh:
    """The points within `radius` of the segment a-b (millimetres); a sphere when a == b."""
    import trimesh.creation

    start = np.asarray(a, dtype=np.float64)
    end = np.asarray(b, dtype=np.float64)
    length = float(np.linalg.norm(end - start))
    if length < 1e-9:
        mesh = trimesh.creation.icosphere(subdivisions=2, radius=radius)
        return np.asarray(mesh.vertices) + start, np.asarray(mesh.faces, dtype=np.uint32)
    mesh = trimesh.creation.capsule(height=length, radius=radius, count=[16, 16])
    rotation = _z_onto((end - start) / length)
    vertices = np.asarray(mesh.vertices) @ rotation.T + 0.5 * (start + end)
    return vertices, np.asarray(mesh.faces, dtype=np.uint32)


def _solid_meshes(scene: ortholink.Scene) -> list[tuple[str, Mesh]]:
    """The spheres, capsules, boxes, cylinders and half-spaces of a scene as meshes in its frame (mm)."""
    import trimesh.creation

    out: list[tuple[str, Mesh]] = []
    for k, (centre, radius) in enumerate(scene.spheres):
        out.append((f"spheres[{k}]", _capsule_mesh(centre, centre, radius)))
    for k, (a, b, radius) in enumerate(scene.capsules):
        out.append((f"capsules[{k}]", _capsule_mesh(a, b, radius)))
    for k, (pose, size) in enumerate(scene.boxes):
        mesh = trimesh.creation.box(extents=size, transform=pose)
        out.append((f"boxes[{k}]", (np.asarray(mesh.vertices), np.asarray(mesh.faces, dtype=np.uint32))))
    for k, (pose, radius, length) in enumerate(scene.cylinders):
        mesh = trimesh.creation.cylinder(radius=radius, height=length, sections=32, transform=pose)
        out.append((f"cylinders[{k}]", (np.asarray(mesh.vertices), np.asarray(mesh.faces, dtype=np.uint32))))
    for k, (normal, offset) in enumerate(scene.half_spaces):
        # A slab whose top face lies on the plane.
        n = np.asarray(normal, dtype=np.float64) / np.linalg.norm(normal)
        pose = np.eye(4)
        pose[:3, :3] = _z_onto(n)
        pose[:3, 3] = n * (offset - 0.5 * _HALF_SPACE_DEPTH)
        mesh = trimesh.creation.box(extents=[_HALF_SPACE_SIDE, _HALF_SPACE_SIDE, _HALF_SPACE_DEPTH], transform=pose)
        out.append((f"half_spaces[{k}]", (np.asarray(mesh.vertices), np.asarray(mesh.faces, dtype=np.uint32))))
    return out


def _envelope_geometry(arm: ortholink.Arm) -> list[Mesh]:
    """Each link's envelope capsules as one mesh in the frame its link mesh uses."""
    return [_merge([_capsule_mesh(row[:3], row[3:6], float(row[6])) for row in rows]) for rows in arm.envelopes]


def _link_geometry(arm: ortholink.Arm) -> list[tuple[npt.NDArray[np.float64], npt.NDArray[np.uint32]]]:
    model = arm.model
    if model is not None and ortholink.LinkMeshes.is_available(model):
        return [(mesh.vertices, mesh.faces) for mesh in ortholink.LinkMeshes.load(model)]
    # Without meshes the arm is drawn as what the collision checks know of it.
    return _envelope_geometry(arm)


def _distinct(rows: npt.NDArray[np.float64]) -> list[int]:
    """Indices of the first row of each configuration; rows that differ by whole turns look the same."""
    kept: list[int] = []
    for i, row in enumerate(rows):
        wrapped = [np.abs((rows[k] - row + 180.0) % 360.0 - 180.0).max() for k in kept]
        if all(d > 1e-6 for d in wrapped):
            kept.append(i)
    return kept


class _Body:
    """Seven scene meshes posed together: the solid arm, one ghost, or the envelopes."""

    def __init__(
        self,
        server: Any,
        name: str,
        geometry: list[tuple[npt.NDArray[np.float64], npt.NDArray[np.uint32]]],
        ghost: bool,
        envelopes: bool = False,
    ) -> None:
        self.ghost = ghost
        self.handles = []
        self.indices: list[int] = []
        self._colours: list[tuple[int, int, int]] = []
        for index, (vertices, faces) in enumerate(geometry):
            if ghost and index == 0:
                continue  # the base does not move: one is drawn
            if len(faces) == 0:
                continue  # a link without an envelope
            if envelopes:
                colour, opacity = _ENVELOPE_COLOUR, _ENVELOPE_OPACITY
            else:
                colour, opacity = (_GHOST_COLOUR, _GHOST_OPACITY) if ghost else (_LINK_COLOURS[index], None)
            self._colours.append(colour)
            self.indices.append(index)
            self.handles.append(
                server.scene.add_mesh_simple(
                    f"{name}/link_{index}",
                    vertices * _MM,
                    faces,
                    color=colour,
                    opacity=opacity,
                    cast_shadow=opacity is None,
                    receive_shadow=opacity is None,
                    visible=not ghost,
                )
            )

    def pose(self, world_poses: npt.NDArray[np.float64]) -> None:
        for handle, index in zip(self.handles, self.indices, strict=True):
            pose = world_poses[index]
            handle.position = pose[:3, 3] * _MM
            handle.wxyz = _matrix_to_wxyz(pose)

    def mark_colliding(self, colliding: bool) -> None:
        """Red while the configuration collides, its own colours otherwise."""
        for handle, colour in zip(self.handles, self._colours, strict=True):
            handle.color = _COLLIDING_COLOUR if colliding else colour
            if self.ghost:
                handle.opacity = _COLLIDING_GHOST_OPACITY if colliding else _GHOST_OPACITY

    def show(self, visible: bool) -> None:
        for handle in self.handles:
            handle.visible = visible


class Viewer:
    """A running viewer; `show` returns one when asked not to block.

    Attributes worth reading: `url`, `joints` (the solid arm's joints, degrees),
    `target` (the TCP target, 4x4 in millimetres), `solutions` (every solution of
    the target within the limits, as `Arm.ik` gives them) and `drawn` (the
    indices into `solutions` of the configurations drawn; rows that differ only
    by whole turns share one drawing). `scene` is the cell checked against,
    `colliding` maps the index of each solution that collides to the nearest
    pair of bodies, and `collision` is that pair for the solid arm (None while
    it is clear).
    """

    def __init__(
        self,
        arm: ortholink.Arm,
        joints: Any = None,
        *,
        host: str = "127.0.0.1",
        port: int = 8080,
        scene: ortholink.Scene | None = None,
        envelopes: bool = False,
    ) -> None:
        if scene is not None and not isinstance(scene, ortholink.Scene):
            raise TypeError(f"argument 'scene': expected ortholink.Scene or None, got {type(scene).__name__}")
        try:
            import viser
        except ModuleNotFoundError as error:
            raise ModuleNotFoundError(
                "ortholink_view needs viser, which the extra installs: pip install 'ortholink[view]'",
                name=error.name,
            ) from error

        self.arm = arm
        self.scene = scene
        self.colliding: dict[int, tuple[str, str]] = {}
        self.collision: tuple[str, str] | None = None
        self._lock = threading.RLock()
        self._busy = False
        self._playing: threading.Thread | None = None
        self._stop_playing = threading.Event()
        if not isinstance(arm, ortholink.Arm):
            raise TypeError(f"argument 'arm': expected ortholink.Arm, got {type(arm).__name__}")
        start = np.zeros(6) if joints is None else np.asarray(joints, dtype=np.float64).ravel()
        if start.shape != (6,) or not np.isfinite(start).all():
            raise ValueError(f"argument 'joints': expected six finite joint angles, got {np.asarray(joints)!r}")
        self.server = viser.ViserServer(host=host, port=port, verbose=False)
        try:
            self._build(arm, scene, envelopes, host, start)
        except BaseException:
            # Nothing else holds the server: a viewer that failed to build stops it.
            self.server.stop()
            raise

    def _build(self, arm: ortholink.Arm, scene: ortholink.Scene | None, envelopes: bool, host: str,
               start: npt.NDArray[np.float64]) -> None:
        shown = "localhost" if host in ("0.0.0.0", "::", "") else host  # every address: this machine's will do
        self.url = f"http://{shown}:{self.server.get_port()}"

        self.joints = start.copy()
        self.solutions = np.empty((0, 6))
        self.drawn: list[int] = []
        self.selected: int | None = None

        server = self.server
        # Whatever the arm's base, a grid on the world's floor and a frame on the base help reading the view.
        server.scene.set_up_direction("+z")
        # Our own lights: the default environment map is downloaded, and the view must work offline.
        server.scene.configure_environment_map(hdri=None)
        server.scene.add_light_ambient("/lights/ambient", intensity=0.9)
        server.scene.add_light_hemisphere("/lights/sky", sky_color=(255, 255, 255), ground_color=(90, 90, 100),
                                          intensity=1.2)
        server.scene.add_light_directional("/lights/key", intensity=2.0, position=(2.0, -3.0, 4.0))
        geometry = _link_geometry(arm)
        # The tool's solids move with the flange, drawn as part of it.
        tool = [mesh for _, mesh in _solid_meshes(arm.tool_geometry)]
        if tool:
            geometry[6] = _merge([geometry[6], *tool])
        # The floor is the underside of the base, in the world frame.
        base = np.asarray(arm.base, dtype=np.float64)
        floor = base @ np.array([0.0, 0.0, float(geometry[0][0][:, 2].min()), 1.0])
        server.scene.add_grid("/floor", width=3.0, height=3.0, cell_size=0.1, section_size=0.5,
                              position=floor[:3] * _MM, wxyz=_matrix_to_wxyz(base))
        robot = arm.robot
        reach = (robot.z1 + robot.x1 + robot.x2) * _MM
        # The camera stands back in proportion to the reach, so labels are spaced in proportion too.
        self._label_step = _LABEL_STEP * reach
        centre = base[:3, 3] * _MM
        server.initial_camera.position = tuple(centre + np.array([1.1, -1.3, 0.75]) * reach)
        server.initial_camera.look_at = tuple(centre + np.array([0.25, 0.0, 0.3]) * reach)
        self._solid = _Body(server, "/arm", geometry, ghost=False)
        self._envelopes = _Body(server, "/envelopes", _envelope_geometry(arm), ghost=False, envelopes=True)
        self._envelopes.show(envelopes)
        self._draw_scene(scene)
        self._ghosts = [_Body(server, f"/solutions/{k}", geometry, ghost=True) for k in range(_MAX_DRAWN)]
        self._labels: list[Any] = []

        self._target = server.scene.add_transform_controls("/target", scale=0.2, line_width=3.0)
        self._target.on_update(lambda _event: self._target_moved())

        gui = server.gui
        with gui.add_folder("Joints (degrees)"):
            self._sliders: list[Any] = []  # viser types value as read-only; it is settable
            for j in range(6):
                lower, upper = float(arm.lower[j]), float(arm.upper[j])
                slider = gui.add_slider(f"J{j + 1}", min=lower, max=upper, step=0.1,
                                        initial_value=float(np.clip(start[j], lower, upper)))
                slider.on_update(lambda _event: self._slider_moved())
                self._sliders.append(slider)
        with gui.add_folder("Target"):
            self._status = gui.add_markdown("")
            self._choice: Any = gui.add_dropdown("Solution", ["none"], initial_value="none")
            self._choice.on_update(lambda _event: self._solution_chosen())
        with gui.add_folder("Collisions"):
            self._envelope_box = gui.add_checkbox("Link envelopes", initial_value=envelopes)
            self._envelope_box.on_update(lambda _event: self.show_envelopes(bool(self._envelope_box.value)))
        with gui.add_folder("Path"):
            self._path_rows: npt.NDArray[np.float64] | None = None
            self._path_times: npt.NDArray[np.float64] | None = None
            self._path_seconds = 4.0
            self._play_button = gui.add_button("Play path", disabled=True)
            self._play_button.on_click(lambda _event: self.play())

        self.set_joints(start)

    # -- state changes, callable from Python as well as from the page ----------

    @property
    def ghosts(self) -> int:
        """The number of configurations drawn as ghosts (every drawn one but the solid arm's)."""
        return sum(1 for ghost in self._ghosts if ghost.handles[0].visible)

    @property
    def labels(self) -> list[str]:
        """The texts of the solution labels in the scene."""
        return [str(label.text) for label in self._labels]

    def show_envelopes(self, visible: bool = True) -> None:
        """Show or hide the capsules that envelope the links (`Arm.envelopes`) on the solid arm."""
        with self._lock:
            self._envelopes.show(visible)
            if bool(self._envelope_box.value) != visible:
                self._envelope_box.value = visible

    @property
    def envelopes_shown(self) -> bool:
        return bool(self._envelope_box.value)

    def set_joints(self, joints: Any) -> None:
        """Put the solid arm on `joints` (degrees) and the target on its TCP."""
        values = np.asarray(joints, dtype=np.float64).ravel()
        if values.shape != (6,) or not np.isfinite(values).all():
            raise ValueError(f"argument 'joints': expected six finite joint angles, got {np.asarray(joints)!r}")
        with self._lock:
            self.joints = values.copy()
            self._show_joints_on_sliders()
            tcp = self.arm.fk(self.joints)
            self._place_target(tcp)
            self._pose_solid()
            self._solve(tcp)

    def set_target(self, pose: Any) -> None:
        """Move the TCP target (4x4, millimetres, world frame), solve it and put the solid arm on the
        solution nearest its current joints (it stays where it is when the target has none)."""
        tcp = np.asarray(pose, dtype=np.float64).reshape(4, 4).copy()
        self.arm.ik(tcp)  # a pose the arm cannot solve (not rigid, not finite) raises here, before anything moves
        with self._lock:
            self._place_target(tcp)
            self._solve(tcp)
            self._select_nearest()

    def select(self, index: int) -> None:
        """Make solution `index` (a row of `solutions`) the solid arm."""
        with self._lock:
            self._select(index)

    def play(self, path: _HasJoints | npt.ArrayLike | None = None, *, seconds: float | None = None) -> None:
        """Play a `Trajectory`, a `PathPlan` (or an (n, 6) array of joint rows) on the solid arm, in the background.

        A `Trajectory` plays in real time: the arm shows the sample due at each moment of
        the clock, so it takes the trajectory's `duration` (frames the page cannot keep up
        with are dropped, the last sample is always shown). Without `seconds`, a plan takes
        its `duration` at the rated speeds (at least a second), other paths four seconds;
        `seconds` stretches or shrinks any of them. Rows of NaN (unreachable waypoints) are
        skipped.
        """
        if seconds is not None and not (isinstance(seconds, (int, float)) and 0.0 < seconds < math.inf):
            raise ValueError(f"argument 'seconds': expected a positive, finite number of seconds, got {seconds!r}")
        if path is not None:
            self.load_path(path)
        if self._path_rows is None or len(self._path_rows) == 0:
            return
        self.stop_playing()
        rows = self._path_rows
        if self._path_times is not None:
            times = self._path_times
        else:
            times = np.arange(len(rows), dtype=np.float64) * (self._path_seconds / max(len(rows), 1))
        total = float(times[-1]) if len(times) else 0.0
        scale = 1.0 if seconds is None or total <= 0.0 else float(seconds) / total
        if seconds is not None and total <= 0.0:
            times = np.arange(len(rows), dtype=np.float64) * (float(seconds) / max(len(rows), 1))
        self._stop_playing.clear()

        def run() -> None:
            clock = time.monotonic()
            shown = -1
            while shown < len(rows) - 1:
                if self._stop_playing.is_set():
                    return
                elapsed = (time.monotonic() - clock) / scale
                due = int(np.searchsorted(times, elapsed, side="right")) - 1
                due = min(max(due, 0), len(rows) - 1)
                if due > shown:
                    self.set_joints(rows[due])
                    shown = due
                if shown < len(rows) - 1:
                    wait = (times[shown + 1] * scale) - (time.monotonic() - clock)
                    self._stop_playing.wait(min(max(wait, 0.0), _FRAME))

        self._playing = threading.Thread(target=run, daemon=True)
        self._playing.start()

    def load_path(self, path: _HasJoints | npt.ArrayLike) -> None:
        """Keep a path (a `Trajectory`, a `PathPlan` or joint rows) for the "Play path" button."""
        rows = getattr(path, "joints", path)
        array = np.asarray(rows, dtype=np.float64)
        if array.ndim != 2 or array.shape[1] != 6:
            raise ValueError(f"argument 'path': expected joint rows of shape (n, 6), got shape {array.shape}")
        times = getattr(path, "time", None)
        if isinstance(path, ortholink.Trajectory) and times is not None:
            self._path_times = np.asarray(times, dtype=np.float64).copy()
            self._path_rows = array.copy()
            self._path_seconds = float(self._path_times[-1]) if len(self._path_times) else 0.0
        else:
            finite = np.isfinite(array).all(axis=1)
            array = array[finite]
            duration = float(getattr(path, "duration", np.nan))
            # A plan pickled before break moves were timed may last forever; show it in a few seconds.
            self._path_seconds = max(duration, 1.0) if np.isfinite(duration) else 4.0
            self._path_times = None
            self._path_rows = array.copy()
        self._play_button.disabled = len(self._path_rows) == 0

    def wait_playing(self, timeout: float | None = None) -> None:
        if self._playing is not None:
            self._playing.join(timeout)

    def stop_playing(self) -> None:
        self._stop_playing.set()
        if self._playing is not None and self._playing is not threading.current_thread():
            self._playing.join()
        self._playing = None

    def close(self) -> None:
        self.stop_playing()
        self.server.stop()

    def __enter__(self) -> Viewer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- internals -------------------------------------------------------------

    def _world_poses(self, joints: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        """The seven link poses in the world frame (millimetres)."""
        frames = self.arm.robot.fk_all(joints)
        base = self.arm.base
        poses = np.empty((7, 4, 4))
        poses[0] = base
        poses[1:] = base @ frames
        return poses

    def _pose_solid(self) -> None:
        poses = self._world_poses(self.joints)
        self._solid.pose(poses)
        self._envelopes.pose(poses)
        self.collision = None
        if np.isfinite(self.joints).all() and self.arm.collides(self.joints, self.scene):
            _, pair = self.arm.clearance(self.joints, self.scene)
            self.collision = (str(pair[0]), str(pair[1]))
        self._solid.mark_colliding(self.collision is not None)

    def _draw_scene(self, scene: ortholink.Scene | None) -> None:
        """The cell's solids in the world frame; point clouds as points of their radius."""
        if scene is None:
            return
        for name, (vertices, faces) in _solid_meshes(scene):
            plane = name.startswith("half_spaces")
            self.server.scene.add_mesh_simple(f"/scene/{name}", vertices * _MM, faces,
                                              color=_HALF_SPACE_COLOUR if plane else _SCENE_COLOUR,
                                              opacity=_HALF_SPACE_OPACITY if plane else None)
        for k, (points, radius) in enumerate(scene.points):
            self.server.scene.add_point_cloud(f"/scene/points[{k}]", np.asarray(points) * _MM,
                                              colors=_SCENE_COLOUR, point_size=max(2.0 * radius, 2.0) * _MM)

    def _find_collisions(self) -> None:
        """Which solutions collide, each with the pair of bodies nearest each other."""
        self.colliding = {}
        if len(self.solutions) == 0:
            return
        hits = np.asarray(self.arm.collides(self.solutions, self.scene), dtype=bool)
        if not hits.any():
            return
        _, pairs = self.arm.clearance(self.solutions[hits], self.scene)
        for index, pair in zip(np.flatnonzero(hits), pairs, strict=True):
            self.colliding[int(index)] = (str(pair[0]), str(pair[1]))

    def _label_part(self, index: int) -> str:
        pair = self.colliding.get(index)
        return f"#{index}" if pair is None else f"#{index}: {pair[0]} × {pair[1]}"

    def _place_target(self, tcp: npt.NDArray[np.float64]) -> None:
        self._busy = True
        try:
            self._target.position = tcp[:3, 3] * _MM
            self._target.wxyz = _matrix_to_wxyz(tcp)
        finally:
            self._busy = False
        self.target = tcp

    def _solve(self, tcp: npt.NDArray[np.float64]) -> None:
        try:
            self.solutions = np.asarray(self.arm.ik(tcp))
        except ValueError:
            self.solutions = np.empty((0, 6))
        self.drawn = _distinct(self.solutions)[:_MAX_DRAWN]
        self._find_collisions()
        # The solution the solid arm is on, if any.
        self.selected = None
        for k, row in enumerate(self.solutions):
            if np.abs(row - self.joints).max() < 1e-6:
                self.selected = k
                break
        for label in self._labels:
            label.remove()
        self._labels = []
        # One label per drawn configuration, on the middle of its forearm; where forearms nearly
        # coincide (a solution and its wrist mirror) the later labels are stacked above.
        places: list[npt.NDArray[np.float64]] = []
        with self.server.atomic():
            for slot, ghost in enumerate(self._ghosts):
                if slot >= len(self.drawn):
                    ghost.show(False)
                    continue
                index = self.drawn[slot]
                poses = self._world_poses(self.solutions[index])
                ghost.pose(poses)
                ghost.mark_colliding(index in self.colliding)
                ghost.show(not self._same_configuration(index, self.selected))
                elbow = 0.5 * (poses[3, :3, 3] + poses[5, :3, 3])
                crowd = sum(1 for place in places if np.linalg.norm(place - elbow) * _MM < self._label_step)
                places.append(elbow)
                position = elbow * _MM + np.array([0.0, 0.0, self._label_step * (1 + crowd)])
                text = self._label_part(index)
                self._labels.append(self.server.scene.add_label(f"/labels/{slot}", text, position=position))
        self._update_choices()

    def _same_configuration(self, a: int, b: int | None) -> bool:
        if b is None:
            return False
        d = (self.solutions[a] - self.solutions[b] + 180.0) % 360.0 - 180.0
        return bool(np.abs(d).max() < 1e-6)

    def _update_choices(self) -> None:
        options = [self._describe(k) for k in range(len(self.solutions))] or ["none"]
        self._busy = True
        try:
            self._choice.options = options
            self._choice.value = options[self.selected] if self.selected is not None else options[0]
        finally:
            self._busy = False
        count = len(self.solutions)
        within = bool(self.arm.within_limits(self.joints))
        self._status.content = (
            f"**{count}** solution{'s' if count != 1 else ''} within the limits, "
            f"**{len(self.drawn)}** configuration{'s' if len(self.drawn) != 1 else ''} drawn.  \n"
            f"Arm {'within' if within else '**outside**'} its limits."
        )
        if self.colliding or self.collision is not None:
            hit = "clear" if self.collision is None else f"**colliding**: {self.collision[0]} × {self.collision[1]}"
            self._status.content += f"  \n**{len(self.colliding)}** colliding (red); the arm is {hit}."

    def _show_joints_on_sliders(self) -> None:
        # The sliders' callbacks would move the arm again: they are told to wait.
        self._busy = True
        try:
            for slider, value in zip(self._sliders, self.joints, strict=True):
                slider.value = float(np.clip(value, slider.min, slider.max))
        finally:
            self._busy = False

    def _describe(self, k: int) -> str:
        text = f"#{k}: " + " ".join(f"{v:.1f}" for v in self.solutions[k])
        return text + " (collides)" if k in self.colliding else text

    def _select(self, index: int) -> None:
        if not 0 <= index < len(self.solutions):
            raise IndexError(f"argument 'index': expected 0 to {len(self.solutions) - 1}, got {index}")
        self.joints = self.solutions[index].copy()
        self._show_joints_on_sliders()
        self._pose_solid()
        self.selected = index
        for slot, ghost in enumerate(self._ghosts):
            ghost.show(slot < len(self.drawn) and not self._same_configuration(self.drawn[slot], index))
        self._update_choices()

    def _slider_moved(self) -> None:
        if self._busy:
            return
        with self._lock:
            # The page may send anything: a non-finite value is ignored, the
            # others are held to the limits the sliders show.
            values = np.array([float(slider.value) for slider in self._sliders])
            if not np.isfinite(values).all():
                self._show_joints_on_sliders()
                return
            self.set_joints(np.clip(values, self.arm.lower, self.arm.upper))

    def _target_moved(self) -> None:
        if self._busy:
            return
        with self._lock:
            wxyz = np.asarray(self._target.wxyz, dtype=np.float64)
            position = np.asarray(self._target.position, dtype=np.float64)
            if not (np.isfinite(wxyz).all() and np.isfinite(position).all() and np.linalg.norm(wxyz) > 0):
                self._place_target(self.target)
                return
            tcp = np.eye(4)
            tcp[:3, :3] = _wxyz_to_matrix(wxyz)
            tcp[:3, 3] = position / _MM
            self.target = tcp
            self._solve(tcp)
            self._select_nearest()

    def _select_nearest(self) -> None:
        # Stay in the current configuration where the target allows it.
        if len(self.solutions) == 0:
            return
        distance = np.abs(self.solutions - self.joints).max(axis=1)
        self._select(int(np.argmin(distance)))

    def _solution_chosen(self) -> None:
        if self._busy:
            return
        value = str(self._choice.value)
        if value.startswith("#"):
            with self._lock:
                self._select(int(value[1:].split(":")[0]))


def show(
    arm: ortholink.Arm,
    joints: Any = None,
    *,
    port: int = 8080,
    host: str = "127.0.0.1",
    path: _HasJoints | npt.ArrayLike | None = None,
    block: bool = True,
    scene: ortholink.Scene | None = None,
    envelopes: bool = False,
) -> Viewer:
    """Open `arm` in a browser view at http://host:port (printed).

    `joints` (degrees) is the starting configuration; `path` (a `PathPlan` or an
    (n, 6) array of joint rows) can then be played from the page. With
    `block=True` this serves until interrupted (Ctrl-C) and then stops the
    server; with `block=False` it returns the running `Viewer` at once. The
    default host only accepts connections from this machine; pass "0.0.0.0"
    to share the view on a network.

    `scene` (an `ortholink.Scene` in the arm's world frame) is drawn and checked
    against: colliding configurations are drawn red, labelled with the colliding
    pair. `envelopes=True` shows the links' envelopes from the start (the page
    has a checkbox for them).
    """
    viewer = Viewer(arm, joints, host=host, port=port, scene=scene, envelopes=envelopes)
    if path is not None:
        try:
            viewer.load_path(path)
        except BaseException:
            viewer.close()
            raise
    print(f"ortholink viewer: {viewer.url}", flush=True)
    if not block:
        return viewer
    try:
        while True:
            time.sleep(1.0)
    except KeyboardInterrupt:
        pass
    finally:
        viewer.close()
    return viewer
