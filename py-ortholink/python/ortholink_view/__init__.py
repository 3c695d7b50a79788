"""A live 3-D view of an `ortholink.Arm` in the browser, built on viser.

    import ortholink, ortholink_view
    arm = ortholink.Arm(ortholink.CrxModel.Crx10iA)
    ortholink_view.show(arm)            # prints its address, runs until Ctrl-C

The page shows the arm with its embedded meshes (simple link shapes for models
without meshes), a slider per joint within the arm's limits, and a TCP target to
drag: every solution of the target within the limits is drawn, the selected one
solid, the others as labelled ghosts. A `PathPlan` (or any (n, 6) array of joint
rows) can be played back. Lengths are shown in metres; the scene's frame is the
arm's world frame.

Install with the extra: ``pip install "ortholink[view]"``.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Sequence
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

import ortholink

__all__ = ["Viewer", "show"]

_MM = 0.001  # the scene is in metres, ortholink in millimetres

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
_MAX_DRAWN = 16  # distinct configurations of one pose


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


def _segment_mesh(
    segments: list[tuple[tuple[float, float, float], tuple[float, float, float], float]],
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.uint32]]:
    """Closed cylinders (millimetres) joined into one mesh; a zero-length segment is skipped."""
    import trimesh.creation

    vertices: list[npt.NDArray[np.float64]] = []
    faces: list[npt.NDArray[np.int64]] = []
    offset = 0
    for start, end, radius in segments:
        if np.linalg.norm(np.subtract(end, start)) < 1e-9:
            continue
        cylinder = trimesh.creation.cylinder(radius=radius, segment=[start, end], sections=24)
        vertices.append(np.asarray(cylinder.vertices, dtype=np.float64))
        faces.append(np.asarray(cylinder.faces, dtype=np.int64) + offset)
        offset += len(cylinder.vertices)
    return np.concatenate(vertices), np.concatenate(faces).astype(np.uint32)


def _link_shapes(robot: ortholink.Crx) -> list[tuple[npt.NDArray[np.float64], npt.NDArray[np.uint32]]]:
    """Cylinders along the links of the chain, in the frames the meshes use (base, fk_all frames)."""
    z1, x1, x2, y1 = robot.z1, robot.x1, robot.x2, robot.y1
    r = max(0.14 * z1, 20.0)
    return [
        _segment_mesh([((0.0, 0.0, -0.45 * z1), (0.0, 0.0, -0.2 * z1), 1.1 * r)]),
        _segment_mesh([((0.0, 0.0, -0.2 * z1), (0.0, 0.0, 0.0), r), ((0.0, r, 0.0), (0.0, -r, 0.0), r)]),
        _segment_mesh([((0.0, -r, 0.0), (0.0, -r, z1), 0.8 * r)]),
        _segment_mesh([((0.0, -r, 0.0), (0.0, r, 0.0), 0.9 * r)]),
        _segment_mesh(
            [((0.0, 0.0, 0.0), (x1 - 0.7 * r, 0.0, 0.0), 0.7 * r), ((x1, 0.0, 0.0), (x1, -y1, 0.0), 0.7 * r)]
        ),
        _segment_mesh(
            [((0.0, 0.7 * r, 0.0), (0.0, -0.7 * r, 0.0), 0.7 * r), ((0.0, 0.0, 0.0), (x2 - 0.2 * r, 0.0, 0.0), 0.6 * r)]
        ),
        _segment_mesh([((0.0, 0.0, -0.2 * r), (0.0, 0.0, 0.0), 0.6 * r)]),
    ]


def _link_geometry(arm: ortholink.Arm) -> list[tuple[npt.NDArray[np.float64], npt.NDArray[np.uint32]]]:
    model = arm.model
    if model is not None and ortholink.LinkMeshes.is_available(model):
        return [(mesh.vertices, mesh.faces) for mesh in ortholink.LinkMeshes.load(model)]
    return _link_shapes(arm.robot)


def _distinct(rows: npt.NDArray[np.float64]) -> list[int]:
    """Indices of the first row of each configuration; rows that differ by whole turns look the same."""
    kept: list[int] = []
    for i, row in enumerate(rows):
        wrapped = [np.abs((rows[k] - row + 180.0) % 360.0 - 180.0).max() for k in kept]
        if all(d > 1e-6 for d in wrapped):
            kept.append(i)
    return kept


class _Body:
    """Seven scene meshes posed together: the solid arm or one ghost."""

    def __init__(
        self,
        server: Any,
        name: str,
        geometry: list[tuple[npt.NDArray[np.float64], npt.NDArray[np.uint32]]],
        ghost: bool,
    ) -> None:
        self.handles = []
        for index, (vertices, faces) in enumerate(geometry):
            if ghost and index == 0:
                continue  # the base does not move: one is drawn
            colour = _GHOST_COLOUR if ghost else _LINK_COLOURS[index]
            self.handles.append(
                server.scene.add_mesh_simple(
                    f"{name}/link_{index}",
                    vertices * _MM,
                    faces,
                    color=colour,
                    opacity=_GHOST_OPACITY if ghost else None,
                    cast_shadow=not ghost,
                    receive_shadow=not ghost,
                    visible=not ghost,
                )
            )

    def pose(self, world_poses: npt.NDArray[np.float64]) -> None:
        for handle, pose in zip(self.handles, world_poses[-len(self.handles):], strict=True):
            handle.position = pose[:3, 3] * _MM
            handle.wxyz = _matrix_to_wxyz(pose)

    def show(self, visible: bool) -> None:
        for handle in self.handles:
            handle.visible = visible


class Viewer:
    """A running viewer; `show` returns one when asked not to block.

    Attributes worth reading: `url`, `joints` (the solid arm's joints, degrees),
    `target` (the TCP target, 4x4 in millimetres), `solutions` (every solution of
    the target within the limits, as `Arm.ik` gives them) and `drawn` (the
    indices into `solutions` of the configurations drawn; rows that differ only
    by whole turns share one drawing).
    """

    def __init__(self, arm: ortholink.Arm, joints: Any = None, *, host: str = "127.0.0.1", port: int = 8080) -> None:
        try:
            import viser
        except ModuleNotFoundError as error:
            raise ModuleNotFoundError(
                "ortholink_view needs viser, which the extra installs: pip install 'ortholink[view]'",
                name=error.name,
            ) from error

        self.arm = arm
        self._lock = threading.RLock()
        self._busy = False
        self._playing: threading.Thread | None = None
        self._stop_playing = threading.Event()
        self.server = viser.ViserServer(host=host, port=port, verbose=False)
        shown = "localhost" if host in ("0.0.0.0", "::", "") else host  # every address: this machine's will do
        self.url = f"http://{shown}:{self.server.get_port()}"

        start = np.zeros(6) if joints is None else np.asarray(joints, dtype=np.float64).reshape(6)
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
        # The floor is the underside of the base, in the world frame.
        base = np.asarray(arm.base, dtype=np.float64)
        floor = base @ np.array([0.0, 0.0, float(geometry[0][0][:, 2].min()), 1.0])
        server.scene.add_grid("/floor", width=3.0, height=3.0, cell_size=0.1, section_size=0.5,
                              position=floor[:3] * _MM, wxyz=_matrix_to_wxyz(base))
        robot = arm.robot
        reach = (robot.z1 + robot.x1 + robot.x2) * _MM
        centre = base[:3, 3] * _MM
        server.initial_camera.position = tuple(centre + np.array([1.1, -1.3, 0.75]) * reach)
        server.initial_camera.look_at = tuple(centre + np.array([0.25, 0.0, 0.3]) * reach)
        self._solid = _Body(server, "/arm", geometry, ghost=False)
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
        with gui.add_folder("Path"):
            self._path_rows: npt.NDArray[np.float64] | None = None
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

    def set_joints(self, joints: Any) -> None:
        """Put the solid arm on `joints` (degrees) and the target on its TCP."""
        with self._lock:
            self.joints = np.asarray(joints, dtype=np.float64).reshape(6).copy()
            self._show_joints_on_sliders()
            tcp = self.arm.fk(self.joints)
            self._place_target(tcp)
            self._pose_solid()
            self._solve(tcp)

    def set_target(self, pose: Any) -> None:
        """Move the TCP target (4x4, millimetres, world frame), solve it and put the solid arm on the
        solution nearest its current joints (it stays where it is when the target has none)."""
        with self._lock:
            tcp = np.asarray(pose, dtype=np.float64).reshape(4, 4).copy()
            self._place_target(tcp)
            self._solve(tcp)
            self._select_nearest()

    def select(self, index: int) -> None:
        """Make solution `index` (a row of `solutions`) the solid arm."""
        with self._lock:
            self._select(index)

    def play(self, path: _HasJoints | npt.ArrayLike | None = None, *, seconds: float | None = None) -> None:
        """Play a `PathPlan` (or an (n, 6) array of joint rows) on the solid arm, in the background.

        Without `seconds`, a plan takes its `duration` at the rated speeds (at least a second),
        other paths four seconds. Rows of NaN (unreachable waypoints) are skipped.
        """
        if path is not None:
            self.load_path(path)
        if self._path_rows is None or len(self._path_rows) == 0:
            return
        self.stop_playing()
        rows = self._path_rows
        total = seconds if seconds is not None else self._path_seconds
        self._stop_playing.clear()

        def run() -> None:
            pause = total / max(len(rows), 1)
            for row in rows:
                if self._stop_playing.is_set():
                    return
                self.set_joints(row)
                time.sleep(pause)

        self._playing = threading.Thread(target=run, daemon=True)
        self._playing.start()

    def load_path(self, path: _HasJoints | npt.ArrayLike) -> None:
        """Keep a path for the "Play path" button."""
        rows = getattr(path, "joints", path)
        array = np.asarray(rows, dtype=np.float64)
        if array.ndim != 2 or array.shape[1] != 6:
            raise ValueError(f"argument 'path': expected joint rows of shape (n, 6), got shape {array.shape}")
        array = array[np.isfinite(array).all(axis=1)]
        duration = float(getattr(path, "duration", np.nan))
        # A plan with breaks lasts forever at the rated speeds; show it in a few seconds.
        self._path_seconds = max(duration, 1.0) if np.isfinite(duration) else 4.0
        self._path_rows = array.copy()
        self._play_button.disabled = len(array) == 0

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
        self._solid.pose(self._world_poses(self.joints))

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
                ghost.show(not self._same_configuration(index, self.selected))
                elbow = 0.5 * (poses[3, :3, 3] + poses[5, :3, 3])
                crowd = sum(1 for place in places if np.linalg.norm(place - elbow) < 60.0)
                places.append(elbow)
                position = elbow * _MM + np.array([0.0, 0.0, 0.05 * (1 + crowd)])
                self._labels.append(self.server.scene.add_label(f"/labels/{slot}", f"#{index}", position=position))
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

    def _show_joints_on_sliders(self) -> None:
        # The sliders' callbacks would move the arm again: they are told to wait.
        self._busy = True
        try:
            for slider, value in zip(self._sliders, self.joints, strict=True):
                slider.value = float(np.clip(value, slider.min, slider.max))
        finally:
            self._busy = False

    def _describe(self, k: int) -> str:
        return f"#{k}: " + " ".join(f"{v:.1f}" for v in self.solutions[k])

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
            self.set_joints([slider.value for slider in self._sliders])

    def _target_moved(self) -> None:
        if self._busy:
            return
        with self._lock:
            tcp = np.eye(4)
            tcp[:3, :3] = _wxyz_to_matrix(self._target.wxyz)
            tcp[:3, 3] = np.asarray(self._target.position, dtype=np.float64) / _MM
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
) -> Viewer:
    """Open `arm` in a browser view at http://host:port (printed).

    `joints` (degrees) is the starting configuration; `path` (a `PathPlan` or an
    (n, 6) array of joint rows) can then be played from the page. With
    `block=True` this serves until interrupted (Ctrl-C) and then stops the
    server; with `block=False` it returns the running `Viewer` at once. The
    default host only accepts connections from this machine; pass "0.0.0.0"
    to share the view on a network.
    """
    viewer = Viewer(arm, joints, host=host, port=port)
    if path is not None:
        viewer.load_path(path)
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
