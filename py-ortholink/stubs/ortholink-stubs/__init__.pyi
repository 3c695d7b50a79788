"""Forward and inverse kinematics for the FANUC CRX series of collaborative robots."""

import os
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any, ClassVar, Protocol, SupportsFloat, SupportsIndex, final, overload

import numpy as np
import numpy.typing as npt

__all__ = ["Crx", "CrxModel", "IkSolution", "LinkMesh", "LinkMeshes", "SolutionKind", "Arm"]
__version__: str

class _AsNumpy(Protocol):
    def as_numpy(self) -> npt.ArrayLike: ...

_Pose = npt.ArrayLike | _AsNumpy
_Joints = npt.ArrayLike
_Float = SupportsFloat | SupportsIndex
_Point = npt.ArrayLike
_Array = npt.NDArray[np.float64]
# A link envelope's capsule: (a, b, radius), or (center, radius) for a sphere.
_EnvelopeCapsule = tuple[_Point, _Point, _Float] | tuple[_Point, _Float]

@final
class Crx:
    """A FANUC CRX robot defined by the four link dimensions that distinguish the models."""

    @staticmethod
    def from_params(z1: _Float, x1: _Float, x2: _Float, y1: _Float) -> Crx:
        """Build a robot from its four link dimensions, in millimeters.

        Each must be positive and finite (ValueError naming it otherwise).
        """
    @staticmethod
    def from_model(model: CrxModel) -> Crx: ...
    @staticmethod
    def crx3ia() -> Crx: ...
    @staticmethod
    def crx5ia() -> Crx: ...
    @staticmethod
    def crx10ia() -> Crx: ...
    @staticmethod
    def crx10ial() -> Crx: ...
    @staticmethod
    def crx20ial() -> Crx: ...
    @staticmethod
    def crx30ia() -> Crx: ...
    @property
    def z1(self) -> float: ...
    @property
    def x1(self) -> float: ...
    @property
    def x2(self) -> float: ...
    @property
    def y1(self) -> float: ...
    def fk(self, joints: _Joints) -> npt.NDArray[np.float64]: ...
    def fk_all(self, joints: _Joints) -> npt.NDArray[np.float64]: ...
    def ik(self, target: _Pose) -> npt.NDArray[np.float64]: ...
    def ik_detailed(self, target: _Pose) -> list[IkSolution]: ...
    def ik_closest(self, target: _Pose, reference: _Joints) -> IkSolution | None:
        """The solution whose joints are nearest to `reference`, or None if the target is unreachable.

        The distance is the largest wrapped joint difference. A NaN (or infinite) joint of the
        reference is left out of it, so a reference of six NaN picks the first solution of `ik`.
        """
    def fk_many(self, joints: npt.ArrayLike, threads: int | None = None) -> npt.NDArray[np.float64]: ...
    def ik_many(self, targets: npt.ArrayLike | Sequence[_Pose], threads: int | None = None) -> IkBatch: ...
    def ik_path(self, targets: npt.ArrayLike | Sequence[_Pose], start: _Joints) -> npt.NDArray[np.float64]:
        """Follow a path of poses, taking at each the solution nearest the previous joints.

        Rows are unwrapped: each is the whole-turn variant of its solution nearest the previous
        row (the first nearest `start`), so a joint turning past 180 degrees goes on to 190.
        Ctrl-C stops the batch within milliseconds (KeyboardInterrupt).
        """
    @staticmethod
    def expand_turns(joints: npt.ArrayLike, lower: _Joints, upper: _Joints) -> npt.NDArray[np.float64]:
        """Every whole-turn variant of the solutions within the limits (degrees, inclusive).

        Raises ValueError for an infinite limit, a value or limit beyond 2**28 degrees, more than
        65,536 variants of one solution or more than 4,194,304 rows in all.
        """
    @staticmethod
    def within_limits(joints: npt.ArrayLike, lower: _Joints, upper: _Joints) -> npt.NDArray[np.bool_] | bool: ...
    @staticmethod
    def pose_from_xyzwpr(xyzwpr: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
    @staticmethod
    def interpolate_poses(
        a: _Pose, b: _Pose, n: int | None = None, *, step: tuple[float, float] | None = None
    ) -> npt.NDArray[np.float64]: ...
    @staticmethod
    def xyzwpr(pose: _Pose) -> npt.NDArray[np.float64]: ...
    @staticmethod
    def joints_to_urdf(joints: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
    @staticmethod
    def joints_from_urdf(q: npt.ArrayLike) -> npt.NDArray[np.float64]: ...

@final
class CrxModel:
    """One of the models in the FANUC CRX series."""

    Crx3iA: ClassVar[CrxModel]
    Crx5iA: ClassVar[CrxModel]
    Crx10iA: ClassVar[CrxModel]
    Crx10iAL: ClassVar[CrxModel]
    Crx20iAL: ClassVar[CrxModel]
    Crx30iA: ClassVar[CrxModel]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class IkSolution:
    """One inverse kinematics solution and its diagnostics."""

    @property
    def joints(self) -> npt.NDArray[np.float64]: ...
    @property
    def residual(self) -> float: ...
    @property
    def kind(self) -> SolutionKind: ...
    @property
    def theta(self) -> float: ...

@final
class SolutionKind:
    """The configuration category of a solution."""

    Regular: ClassVar[SolutionKind]
    AxisDegenerate: ClassVar[SolutionKind]
    SingularFamily: ClassVar[SolutionKind]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class LinkMesh:
    """The visual geometry of one robot link, as arrays a mesh library can consume directly."""

    @property
    def vertices(self) -> npt.NDArray[np.float64]: ...
    @property
    def faces(self) -> npt.NDArray[np.uint32]: ...
    @property
    def vertex_count(self) -> int: ...
    @property
    def face_count(self) -> int: ...
    def transformed(self, transform: _Pose) -> LinkMesh: ...

@final
class LinkMeshes:
    """The seven meshes that draw one robot: the stationary base and the six moving links."""

    @staticmethod
    def load(model: CrxModel) -> LinkMeshes: ...
    @staticmethod
    def is_available(model: CrxModel) -> bool: ...
    @property
    def links(self) -> list[LinkMesh]: ...
    def posed(self, robot: Crx, joints: _Joints) -> list[LinkMesh]: ...
    def poses(self, robot: Crx, joints: _Joints) -> npt.NDArray[np.float64]: ...
    def __getitem__(self, key: SupportsIndex, /) -> LinkMesh:
        """Mesh `key` (0 the base, 6 the flange); negative indices count from the end."""
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[LinkMesh]: ...

@final
class IkBatch:
    """Every inverse kinematics solution of many targets, as flat arrays."""

    @property
    def joints(self) -> npt.NDArray[np.float64]: ...
    @property
    def residual(self) -> npt.NDArray[np.float64]: ...
    @property
    def theta(self) -> npt.NDArray[np.float64]: ...
    @property
    def kind(self) -> npt.NDArray[np.uint8]:
        """Every solution's `SolutionKind` code: 0 Regular, 1 AxisDegenerate, 2 SingularFamily."""
    @property
    def offsets(self) -> npt.NDArray[np.int64]: ...
    def __len__(self) -> int: ...
    def __getitem__(self, key: SupportsIndex, /) -> npt.NDArray[np.float64]: ...
    def __iter__(self) -> Iterator[npt.NDArray[np.float64]]: ...

@final
class Scene:
    """Solids of a robot cell, in millimetres, in the world frame of the `Arm` they are checked with"""

    def __new__(
        cls,
        *,
        spheres: Sequence[tuple[_Point, _Float]] | None = (),
        capsules: Sequence[tuple[_Point, _Point, _Float]] | None = (),
        boxes: Sequence[tuple[_Pose, _Point]] | None = (),
        cylinders: Sequence[tuple[_Pose, _Float, _Float]] | None = (),
        half_spaces: Sequence[tuple[_Point, _Float]] | None = (),
        points: Sequence[tuple[npt.ArrayLike, _Float]] | None = (),
    ) -> Scene: ...
    @property
    def spheres(self) -> tuple[tuple[_Array, float], ...]: ...
    @property
    def capsules(self) -> tuple[tuple[_Array, _Array, float], ...]: ...
    @property
    def boxes(self) -> tuple[tuple[_Array, _Array], ...]:
        """(4x4 pose, size) of every box."""
    @property
    def cylinders(self) -> tuple[tuple[_Array, float, float], ...]:
        """(4x4 pose, radius, length) of every cylinder."""
    @property
    def half_spaces(self) -> tuple[tuple[_Array, float], ...]: ...
    @property
    def points(self) -> tuple[tuple[_Array, float], ...]:
        """((n, 3) points, radius) of every point cloud."""
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Arm:
    """A robot as installed: its tool, its place in the cell, its joint limits and rated speeds."""

    def __new__(
        cls,
        robot: Crx | CrxModel,
        *,
        base: _Pose | None = None,
        tool: _Pose | None = None,
        lower: _Joints | None = None,
        upper: _Joints | None = None,
        elbow: tuple[float, float] | None = None,
        max_speed: _Joints | None = None,
        max_acceleration: _Joints | None = None,
        tool_geometry: Scene | None = None,
        envelopes: Mapping[int, Sequence[_EnvelopeCapsule]] | Sequence[Sequence[_EnvelopeCapsule] | None] | None = None,
    ) -> Arm: ...
    @property
    def robot(self) -> Crx: ...
    @property
    def model(self) -> CrxModel | None: ...
    @property
    def base(self) -> npt.NDArray[np.float64]: ...
    @property
    def tool(self) -> npt.NDArray[np.float64]: ...
    @property
    def lower(self) -> npt.NDArray[np.float64]: ...
    @property
    def upper(self) -> npt.NDArray[np.float64]: ...
    @property
    def elbow(self) -> tuple[float, float] | None: ...
    @property
    def max_speed(self) -> npt.NDArray[np.float64]: ...
    @property
    def max_acceleration(self) -> npt.NDArray[np.float64]: ...
    @property
    def tool_geometry(self) -> Scene: ...
    @property
    def envelopes(self) -> tuple[_Array, _Array, _Array, _Array, _Array, _Array, _Array]:
        """Seven (k, 7) arrays (base_link, link_1 ... link_5, flange): a, b, radius per capsule."""
    def fk(self, joints: _Joints) -> npt.NDArray[np.float64]: ...
    def fk_many(self, joints: npt.ArrayLike, threads: int | None = None) -> npt.NDArray[np.float64]: ...
    def ik(
        self, pose: _Pose, scene: Scene | None = None, *, collision_free: bool = False
    ) -> npt.NDArray[np.float64]: ...
    def ik_many(
        self,
        poses: npt.ArrayLike | Sequence[_Pose],
        threads: int | None = None,
        *,
        scene: Scene | None = None,
        collision_free: bool = False,
    ) -> IkBatch: ...
    def ik_closest(
        self, pose: _Pose, reference: _Joints, scene: Scene | None = None, *, collision_free: bool = False
    ) -> IkSolution | None: ...
    @overload
    def collides(
        self,
        joints: Sequence[_Float],
        scene: Scene | None = None,
        *,
        padding: _Float = 0.0,
        exact: bool = False,
        threads: int | None = None,
    ) -> bool: ...
    @overload
    def collides(
        self,
        joints: npt.ArrayLike,
        scene: Scene | None = None,
        *,
        padding: _Float = 0.0,
        exact: bool = False,
        threads: int | None = None,
    ) -> npt.NDArray[np.bool_] | bool: ...
    @overload
    def clearance(
        self, joints: Sequence[_Float], scene: Scene | None = None, *, threads: int | None = None
    ) -> tuple[float, tuple[str, str]]: ...
    @overload
    def clearance(
        self, joints: npt.ArrayLike, scene: Scene | None = None, *, threads: int | None = None
    ) -> tuple[float, tuple[str, str]] | tuple[_Array, list[tuple[str, str]]]: ...
    def motion_radii(self, *, scene: Scene | None = None) -> _Array: ...
    def move_collides(
        self, start: _Joints, end: _Joints, scene: Scene | None = None, *, padding: _Float = 0.0
    ) -> bool: ...
    def jacobian(self, joints: _Joints) -> npt.NDArray[np.float64]: ...
    def manipulability(self, joints: _Joints) -> float: ...
    def within_limits(self, joints: npt.ArrayLike) -> npt.NDArray[np.bool_] | bool: ...
    def write_urdf(self, directory: str | os.PathLike[str], name: str | None = None) -> str: ...
    @staticmethod
    def on_mounting_face(
        robot: CrxModel,
        *,
        mount: _Pose | None = None,
        tool: _Pose | None = None,
        lower: _Joints | None = None,
        upper: _Joints | None = None,
        elbow: tuple[float, float] | None = None,
        max_speed: _Joints | None = None,
        tool_geometry: Scene | None = None,
        envelopes: Mapping[int, Sequence[_EnvelopeCapsule]] | Sequence[Sequence[_EnvelopeCapsule] | None] | None = None,
        max_acceleration: _Joints | None = None,
    ) -> Arm: ...
    def plan_path(
        self,
        targets: npt.ArrayLike | Sequence[_Pose],
        start: _Joints | None = None,
        *,
        max_step: float = 10.0,
        check: Callable[[npt.NDArray[np.float64]], npt.ArrayLike] | None = None,
        scene: Scene | None = None,
        collision_free: bool = True,
        free_axis: tuple[_Float, _Float, _Float] | npt.ArrayLike | None = None,
        max_step_per_mm: float = 5.0,
    ) -> PathPlan: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class PathPlan:
    """The plan of `Arm.plan_path`: one joint vector per waypoint, where it breaks, what it"""

    @property
    def joints(self) -> npt.NDArray[np.float64]: ...
    @property
    def breaks(self) -> npt.NDArray[np.int64]: ...
    @property
    def unreachable(self) -> npt.NDArray[np.int64]: ...
    @property
    def duration(self) -> float: ...
    @property
    def travel(self) -> float: ...
    @property
    def nodes(self) -> int: ...
    @property
    def edges(self) -> int: ...
    @property
    def tool_rotation(self) -> npt.NDArray[np.float64]: ...
    @property
    def segments(self) -> list[tuple[int, int, float]]: ...
    @property
    def approach(self) -> tuple[float, float] | None: ...
    def trajectory(
        self,
        arm: Arm,
        *,
        max_acceleration: _Joints | None = None,
        tcp_speed: _Float | None = None,
        period: _Float = 0.008,
        scene: Scene | None = None,
        collision_free: bool = True,
    ) -> Trajectory: ...

@final
class Trajectory:
    """The timed motion of `PathPlan.trajectory`: joints, velocities and accelerations sampled every"""

    @property
    def time(self) -> npt.NDArray[np.float64]: ...
    @property
    def joints(self) -> npt.NDArray[np.float64]: ...
    @property
    def velocity(self) -> npt.NDArray[np.float64]: ...
    @property
    def acceleration(self) -> npt.NDArray[np.float64]: ...
    @property
    def waypoint_times(self) -> npt.NDArray[np.float64]: ...
    @property
    def duration(self) -> float: ...
    @property
    def period(self) -> float: ...
    @property
    def deviation(self) -> float: ...
    @property
    def max_speed(self) -> npt.NDArray[np.float64]: ...
    @property
    def max_acceleration(self) -> npt.NDArray[np.float64]: ...
    @property
    def tcp_speed(self) -> float | None: ...
    def to_joint_trajectory(self) -> dict[str, Any]: ...
    def to_csv(self, path: str | os.PathLike[str]) -> None: ...
    def plot(self, path: str | os.PathLike[str] | None = None) -> Any: ...
