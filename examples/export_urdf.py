"""Export every CRX model as a URDF for ROS 2 tools, simulators and URDF libraries.

Each arm is built on its mounting face, as ROS descriptions place `base_link`, with a
120 mm tool on the flange. The CRX-5iA and CRX-10iA get their embedded meshes as binary
STL files under `meshes/`; the other models get a URDF without geometry. A controller
joint vector is converted to the URDF's joint positions, and each file's `tcp` link is
checked against `Arm.fk` by evaluating the URDF's chain of joint origins directly.

    python examples/export_urdf.py [directory]      (default: ./urdf)
"""

import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import numpy as np

from ortholink import Arm, Crx, CrxModel

MODELS = [CrxModel.Crx3iA, CrxModel.Crx5iA, CrxModel.Crx10iA, CrxModel.Crx10iAL, CrxModel.Crx20iAL, CrxModel.Crx30iA]


def origin(element: ElementTree.Element) -> np.ndarray:
    """The 4x4 transform of a joint's <origin xyz rpy> (fixed X, then Y, then Z)."""
    node = element.find("origin")
    assert node is not None
    x, y, z = (float(v) for v in node.get("xyz", "0 0 0").split())
    roll, pitch, yaw = (float(v) for v in node.get("rpy", "0 0 0").split())
    pose: np.ndarray = translation(x, y, z) @ rotation([0, 0, 1], yaw) @ rotation([0, 1, 0], pitch)
    pose = pose @ rotation([1, 0, 0], roll)
    return pose


def translation(x: float, y: float, z: float) -> np.ndarray:
    m = np.eye(4)
    m[:3, 3] = (x, y, z)
    return m


def rotation(axis: list[float] | np.ndarray, angle: float) -> np.ndarray:
    """Rotation about a unit axis (Rodrigues)."""
    u = np.asarray(axis, dtype=float)
    k = np.array([[0, -u[2], u[1]], [u[2], 0, -u[0]], [-u[1], u[0], 0]])
    m = np.eye(4)
    m[:3, :3] = np.eye(3) + np.sin(angle) * k + (1 - np.cos(angle)) * (k @ k)
    return m


def urdf_tcp(path: str, q: np.ndarray) -> np.ndarray:
    """The `tcp` link in `world` (millimetres): every joint from world to tcp, in chain order."""
    by_child: dict[str, ElementTree.Element] = {}
    for joint in ElementTree.parse(path).iter("joint"):
        child = joint.find("child")
        assert child is not None
        by_child[child.get("link", "")] = joint
    chain = []
    link = "tcp"
    while link in by_child:
        joint = by_child[link]
        chain.append(joint)
        parent = joint.find("parent")
        assert parent is not None
        link = parent.get("link", "")
    pose = np.eye(4)
    for joint in reversed(chain):
        pose = pose @ origin(joint)
        if joint.get("type") in ("revolute", "continuous"):
            axis_node = joint.find("axis")
            assert axis_node is not None
            axis = [float(v) for v in axis_node.get("xyz", "1 0 0").split()]
            index = int(joint.get("name", "").removeprefix("joint_")) - 1
            pose = pose @ rotation(axis, q[index])
    pose[:3, 3] *= 1000.0
    return pose


def main() -> None:
    directory = Path(sys.argv[1] if len(sys.argv) > 1 else "urdf")
    joints = np.array([10.0, 20.0, 30.0, 40.0, 50.0, 60.0])
    q = Crx.joints_to_urdf(joints)
    print(f"controller joints {joints} deg -> URDF joint positions {np.round(q, 6)} rad")
    tool = Crx.pose_from_xyzwpr([0, 0, 120, 0, 0, 0])
    for model in MODELS:
        arm = Arm.on_mounting_face(model, tool=tool)
        path = arm.write_urdf(directory)
        difference = np.abs(urdf_tcp(path, q) - arm.fk(joints)).max()
        meshes = sorted((directory / "meshes").glob(f"{Path(path).stem}_*.stl"))
        print(f"{path}: {len(meshes)} meshes, tcp agrees with Arm.fk to {difference:.1e} (4x4 entries, mm)")
        assert difference < 1e-9


if __name__ == "__main__":
    main()
