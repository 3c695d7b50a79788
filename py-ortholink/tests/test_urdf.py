"""ROS 2 / URDF conventions and the URDF export, checked by a real URDF library."""

import re

import numpy as np
import pytest

from ortholink import Crx

DEG = np.pi / 180.0


def test_joints_to_urdf_radians_with_the_elbow_angle_third():
    q = Crx.joints_to_urdf([10, 20, 30, 40, 50, 60])
    assert q.shape == (6,) and q.dtype == np.float64
    np.testing.assert_allclose(q, np.array([10, 20, 50, 40, 50, 60]) * DEG, rtol=0, atol=1e-15)
    back = Crx.joints_from_urdf(q)
    assert back.shape == (6,)
    np.testing.assert_allclose(back, [10, 20, 30, 40, 50, 60], rtol=0, atol=1e-12)


def test_joint_conversions_of_stacks_and_round_trips():
    rng = np.random.default_rng(14)
    joints = rng.uniform(-270, 270, (50, 6))
    q = Crx.joints_to_urdf(joints)
    assert q.shape == (50, 6)
    for row, converted in zip(joints, q, strict=True):
        np.testing.assert_array_equal(Crx.joints_to_urdf(row), converted)
    np.testing.assert_allclose(Crx.joints_from_urdf(q), joints, rtol=0, atol=1e-11)
    assert Crx.joints_to_urdf(np.empty((0, 6))).shape == (0, 6)
    # Inputs are read, never written.
    before = joints.copy()
    Crx.joints_from_urdf(joints)
    np.testing.assert_array_equal(joints, before)


def test_joint_conversion_errors_name_the_argument():
    with pytest.raises(ValueError, match=r"Expected 6 values, got shape \[5\]"):
        Crx.joints_to_urdf([1, 2, 3, 4, 5])
    with pytest.raises(ValueError, match=r"Expected an \(n, 6\) array, got shape \[2, 7\]"):
        Crx.joints_from_urdf(np.zeros((2, 7)))
    with pytest.raises(TypeError, match=r"^argument 'joints': "):
        Crx.joints_to_urdf(object())
    with pytest.raises(TypeError, match=r"^argument 'q': "):
        Crx.joints_from_urdf(np.zeros((1, 1, 6)))
    assert Crx.joints_from_urdf(q=np.zeros(6)).tolist() == [0.0] * 6


# --- URDF export, read back by yourdfpy -------------------------------------

from ortholink import Arm, CrxModel, LinkMeshes  # noqa: E402

HEIGHTS = [
    (CrxModel.Crx3iA, 161.0),
    (CrxModel.Crx5iA, 185.0),
    (CrxModel.Crx10iA, 245.0),
    (CrxModel.Crx10iAL, 245.0),
    (CrxModel.Crx20iAL, 245.0),
    (CrxModel.Crx30iA, 370.0),
]


def frame(rx, ry, rz, t):
    """A 4x4 pose from fixed-axis angles in degrees and a translation in millimetres."""
    cx, sx = np.cos(np.radians(rx)), np.sin(np.radians(rx))
    cy, sy = np.cos(np.radians(ry)), np.sin(np.radians(ry))
    cz, sz = np.cos(np.radians(rz)), np.sin(np.radians(rz))
    m = np.eye(4)
    m[:3, :3] = (
        np.array([[cz, -sz, 0], [sz, cz, 0], [0, 0, 1]])
        @ np.array([[cy, 0, sy], [0, 1, 0], [-sy, 0, cy]])
        @ np.array([[1, 0, 0], [0, cx, -sx], [0, sx, cx]])
    )
    m[:3, 3] = t
    return m


TOOL = frame(10, -20, 35, [12.5, -30.0, 180.0])
BASE = frame(0, 90, -30, [1500.0, -250.0, 820.0])  # pitch 90: a wall mount, the awkward case for rpy

ARMS = {
    "crx10ia-tool-base": lambda: Arm(CrxModel.Crx10iA, base=BASE, tool=TOOL),
    "crx5ia": lambda: Arm(CrxModel.Crx5iA),
    "crx30ia-no-meshes": lambda: Arm(CrxModel.Crx30iA, tool=TOOL),
    "crx-from-dimensions": lambda: Arm(Crx.from_params(300, 320, 130, 115), base=BASE),
    "mounting-face": lambda: Arm.on_mounting_face(CrxModel.Crx3iA, mount=BASE, tool=TOOL),
}


def random_joints(arm, rng, n):
    return rng.uniform(arm.lower, arm.upper, (n, 6))


@pytest.fixture(scope="module")
def yourdfpy():
    return pytest.importorskip("yourdfpy")


@pytest.mark.parametrize("key", list(ARMS))
def test_urdf_forward_kinematics_equals_arm_fk(key, yourdfpy, tmp_path):
    arm = ARMS[key]()
    path = arm.write_urdf(tmp_path)
    urdf = yourdfpy.URDF.load(path, load_meshes=False)
    assert urdf.actuated_joint_names == [f"joint_{j}" for j in range(1, 7)]
    rng = np.random.default_rng(sum(map(ord, key)))
    for joints in random_joints(arm, rng, 60):
        urdf.update_cfg(Crx.joints_to_urdf(joints))
        tcp = urdf.get_transform("tcp", "world")
        expected = arm.fk(joints)
        np.testing.assert_allclose(tcp[:3, 3] * 1000.0, expected[:3, 3], rtol=0, atol=1e-9)
        np.testing.assert_allclose(tcp[:3, :3], expected[:3, :3], rtol=0, atol=1e-12)
        flange = urdf.get_transform("flange", "world")
        np.testing.assert_allclose(flange, urdf.get_transform("tool0", "world"), rtol=0, atol=0)
        np.testing.assert_allclose(
            flange[:3, 3] * 1000.0, (arm.base @ arm.robot.fk(joints))[:3, 3], rtol=0, atol=1e-9
        )
        # And back: the URDF's configuration is the controller's joints.
        np.testing.assert_allclose(Crx.joints_from_urdf(urdf.cfg), joints, rtol=0, atol=1e-10)


@pytest.mark.parametrize("model", [CrxModel.Crx5iA, CrxModel.Crx10iA])
def test_urdf_meshes_are_posed_like_link_meshes(model, yourdfpy, tmp_path):
    arm = Arm(model, base=BASE, tool=TOOL)
    path = arm.write_urdf(tmp_path, name="cell")
    urdf = yourdfpy.URDF.load(path)
    meshes = LinkMeshes.load(model)
    links = ["base_link", "link_1", "link_2", "link_3", "link_4", "link_5", "flange"]
    for joints in random_joints(arm, np.random.default_rng(3), 3):
        urdf.update_cfg(Crx.joints_to_urdf(joints))
        scene = urdf.scene
        for index, (mesh, link) in enumerate(zip(meshes.posed(arm.robot, joints), links, strict=True)):
            node = f"cell_{link}.stl"
            transform, geometry = scene.graph[node]
            drawn = scene.geometry[geometry]
            assert len(drawn.faces) == mesh.face_count, link
            corners = drawn.vertices[drawn.faces] @ transform[:3, :3].T + transform[:3, 3]
            world = mesh.vertices @ arm.base[:3, :3].T + arm.base[:3, 3]
            # STL stores float32 metres: about 1e-4 mm at these sizes.
            np.testing.assert_allclose(corners * 1000.0, world[mesh.faces], rtol=0, atol=2e-4, err_msg=link)
            # Each link's drawn geometry sits on its URDF link frame.
            assert index == 0 or np.allclose(urdf.get_transform(link, "world")[:3, 3] * 1000.0,
                                             (arm.base @ meshes.poses(arm.robot, joints)[index])[:3, 3])


def test_urdf_limits_speeds_and_frames(yourdfpy, tmp_path):
    arm = Arm(CrxModel.Crx10iA)
    urdf = yourdfpy.URDF.load(arm.write_urdf(tmp_path), load_meshes=False)
    rad = np.radians
    for j in (1, 2, 4, 5, 6):
        limit = urdf.joint_map[f"joint_{j}"].limit
        assert limit.lower == pytest.approx(rad(arm.lower[j - 1]), abs=1e-15)
        assert limit.upper == pytest.approx(rad(arm.upper[j - 1]), abs=1e-15)
        assert limit.velocity == pytest.approx(rad(arm.max_speed[j - 1]), abs=1e-15)
    elbow = urdf.joint_map["joint_3"].limit
    assert (elbow.lower, elbow.upper) == pytest.approx(rad(np.array(arm.elbow)), abs=1e-15)
    assert elbow.velocity == pytest.approx(rad(arm.max_speed[2]), abs=1e-15)
    # base_link is the mounting face, 245 mm below the J2 axis.
    urdf.update_cfg(np.zeros(6))
    assert urdf.get_transform("base_link", "world")[2, 3] == pytest.approx(-0.245, abs=1e-15)
    assert urdf.get_transform("link_2", "world")[2, 3] == pytest.approx(0.0, abs=1e-15)
    assert all(j.type == "fixed" for j in urdf.robot.joints if not j.name.startswith("joint_"))

    # Without an elbow limit, joint_3 is bounded by the sums of the J2 and J3 limits.
    free = Arm(Crx.crx10ia(), lower=[-170, -100, -150, -190, -120, -360], upper=[170, 110, 160, 190, 120, 360])
    urdf = yourdfpy.URDF.load(free.write_urdf(tmp_path / "free"), load_meshes=False)
    limit = urdf.joint_map["joint_3"].limit
    assert (limit.lower, limit.upper) == pytest.approx((rad(-250.0), rad(270.0)), abs=1e-15)


def test_robots_without_meshes_get_no_meshes(yourdfpy, tmp_path):
    for robot in (CrxModel.Crx30iA, Crx.crx5ia()):
        out = tmp_path / type(robot).__name__
        path = Arm(robot).write_urdf(out)
        urdf = yourdfpy.URDF.load(path)
        # Their collision geometry is their envelopes' primitives.
        assert all(not link.visuals and all(c.geometry.mesh is None for c in link.collisions)
                   for link in urdf.robot.links)
        assert not (out / "meshes").exists()
    assert Arm(CrxModel.Crx5iA).write_urdf(tmp_path).endswith("crx5ia.urdf")
    assert sorted(p.name for p in (tmp_path / "meshes").iterdir()) == sorted(
        f"crx5ia_{link}.stl" for link in ["base_link", "link_1", "link_2", "link_3", "link_4", "link_5", "flange"]
    )


def test_write_urdf_names_and_paths(tmp_path):
    arm = Arm(CrxModel.Crx20iAL)
    path = arm.write_urdf(directory=tmp_path / "a" / "b", name="cell-7_left.v2")
    assert path == str(tmp_path / "a" / "b" / "cell-7_left.v2.urdf")
    assert '<robot name="cell-7_left.v2">' in open(path).read()
    assert Arm(Crx.crx20ial()).write_urdf(str(tmp_path)).endswith("/crx.urdf")
    assert Arm(CrxModel.Crx20iAL).write_urdf(tmp_path).endswith("/crx20ial.urdf")
    for bad in ["", "../x", "a/b", ".hidden", "-x", "sp ace", "x" * 65, 'q"uote']:
        with pytest.raises(ValueError, match=r"^argument 'name': "):
            arm.write_urdf(tmp_path, bad)
    with pytest.raises(TypeError, match=r"^argument 'name': expected str, got int"):
        arm.write_urdf(tmp_path, 7)
    with pytest.raises(TypeError, match=r"^argument 'directory': "):
        arm.write_urdf(3.5)
    blocker = tmp_path / "file"
    blocker.write_text("")
    with pytest.raises(OSError, match=r"could not write"):
        arm.write_urdf(blocker / "inside")
    # A folder where the file belongs: the message names the file and why.
    (tmp_path / "taken" / "crx20ial.urdf").mkdir(parents=True)
    taken = re.escape(str(tmp_path / "taken" / "crx20ial.urdf"))
    with pytest.raises(OSError, match=rf"^could not write '{taken}': Is a directory$"):
        arm.write_urdf(tmp_path / "taken")


def test_on_mounting_face_puts_the_world_on_the_mounting_face():
    for model, height in HEIGHTS:
        arm = Arm.on_mounting_face(model)
        expected = np.eye(4)
        expected[2, 3] = height
        np.testing.assert_array_equal(arm.base, expected)
        assert arm == Arm(model, base=expected)
        # With the world on the mounting face, the zero pose's flange is `height` higher.
        np.testing.assert_allclose(arm.fk(np.zeros(6)), Crx.from_model(model).fk(np.zeros(6)) + np.pad(
            [[0.0], [0.0], [height]], ((0, 1), (3, 0))), rtol=0, atol=1e-12)
    mounted = Arm.on_mounting_face(CrxModel.Crx10iA, mount=BASE, tool=TOOL, elbow=None, lower=[-90] * 6)
    lifted = np.eye(4)
    lifted[2, 3] = 245.0
    np.testing.assert_allclose(mounted.base, BASE @ lifted, rtol=0, atol=1e-12)
    np.testing.assert_allclose(mounted.tool, TOOL, rtol=0, atol=1e-12)
    assert mounted.elbow is None and mounted.lower.tolist() == [-90.0] * 6
    assert Arm.on_mounting_face(CrxModel.Crx10iA).elbow == Arm(CrxModel.Crx10iA).elbow
    with pytest.raises(TypeError, match=r"^argument 'robot': expected ortholink.CrxModel"):
        Arm.on_mounting_face(Crx.crx10ia())
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'base'"):
        Arm.on_mounting_face(CrxModel.Crx10iA, base=np.eye(4))
    # Every other argument of Arm is taken as Arm takes it.
    tool = Scene(spheres=[((0, 0, 50), 20)])
    extras = {"tool_geometry": tool, "envelopes": {6: [((0, 0, 0), 70.0)]}, "max_acceleration": [100] * 6}
    assert Arm.on_mounting_face(CrxModel.Crx10iA, **extras) == Arm(CrxModel.Crx10iA, base=lifted, **extras)
    with pytest.raises(ValueError, match=r"mount"):
        Arm.on_mounting_face(CrxModel.Crx10iA, mount=np.ones((4, 4)))


# --- collision geometry: the envelopes and the tool's solids as URDF primitives ---------

from ortholink import Scene  # noqa: E402

LINKS = ["base_link", "link_1", "link_2", "link_3", "link_4", "link_5", "flange"]
TOOL_GEOMETRY = Scene(
    spheres=[([0.0, 0.0, 160.0], 30.0)],
    capsules=[([0.0, -40.0, 40.0], [0.0, 40.0, 90.0], 18.0), ([5.0, 5.0, 5.0], [5.0, 5.0, 5.0], 12.0)],
    boxes=[(frame(20, 0, -45, [10.0, 0.0, 60.0]), [50.0, 70.0, 110.0])],
)
# Every direction a capsule can take, the awkward ones (along -z, along z) included.
ENVELOPES = {
    0: [([0.0, 0.0, -200.0], [0.0, 0.0, -120.0], 95.0)],
    2: [([0.0, -120.0, 0.0], [0.0, -120.0, 600.0], 80.0), ([0.0, 0.0, 0.0], 70.0)],
    4: [([150.0, 0.0, 0.0], [590.0, -5.0, 3.0], 60.0)],
    5: [([10.0, 0.0, 30.0], [10.0, 0.0, -30.0], 58.0)],
    6: [([0.0, 0.0, -60.0], [0.0, 0.0, 0.0], 47.0)],
}
COLLISION_ARMS = {
    "crx10ia-meshes": lambda: Arm(CrxModel.Crx10iA, base=BASE, tool=TOOL, tool_geometry=TOOL_GEOMETRY,
                                  envelopes=ENVELOPES),
    "crx30ia-no-meshes": lambda: Arm(CrxModel.Crx30iA, tool_geometry=TOOL_GEOMETRY, envelopes=ENVELOPES),
    "crx-from-dimensions": lambda: Arm(Crx.from_params(300, 320, 130, 115), base=BASE, envelopes=ENVELOPES),
    "mounting-face": lambda: Arm.on_mounting_face(CrxModel.Crx5iA, mount=BASE),  # the arm's own envelopes
}


def primitives(urdf, link):
    """The named collision primitives of a URDF link: name to (origin, geometry)."""
    return {c.name: (c.origin, c.geometry) for c in urdf.link_map[link].collisions if c.geometry.mesh is None}


def check_capsule(found, name, placed, a, b, radius):
    """A capsule posed by `placed` (URDF link to world, metres) against its ends a, b in the world (mm)."""
    if np.array_equal(a, b):
        origin, geometry = found.pop(name)
        np.testing.assert_allclose((placed @ origin)[:3, 3] * 1000.0, a, rtol=0, atol=1e-6, err_msg=name)
        assert geometry.sphere.radius == pytest.approx(radius / 1000.0, rel=1e-15), name
        return
    for end, centre in (("a", a), ("b", b)):
        origin, geometry = found.pop(f"{name}.{end}")
        np.testing.assert_allclose((placed @ origin)[:3, 3] * 1000.0, centre, rtol=0, atol=1e-6, err_msg=name)
        assert geometry.sphere.radius == pytest.approx(radius / 1000.0, rel=1e-15), name
    origin, geometry = found.pop(name)
    world = placed @ origin
    np.testing.assert_allclose(world[:3, 3] * 1000.0, 0.5 * (a + b), rtol=0, atol=1e-6, err_msg=name)
    axis = (b - a) / np.linalg.norm(b - a)
    np.testing.assert_allclose(abs(world[:3, 2] @ axis), 1.0, rtol=0, atol=1e-12, err_msg=name)
    assert geometry.cylinder.radius == pytest.approx(radius / 1000.0, rel=1e-15), name
    assert geometry.cylinder.length * 1000.0 == pytest.approx(np.linalg.norm(b - a), abs=1e-9), name


@pytest.mark.parametrize("key", list(COLLISION_ARMS))
def test_urdf_collision_primitives_are_the_posed_envelopes_and_tool(key, yourdfpy, tmp_path):
    arm = COLLISION_ARMS[key]()
    urdf = yourdfpy.URDF.load(arm.write_urdf(tmp_path), load_meshes=False)
    assert not primitives(urdf, "link_6") and not primitives(urdf, "tcp")
    tool = arm.tool_geometry
    for joints in random_joints(arm, np.random.default_rng(sum(map(ord, key))), 4):
        urdf.update_cfg(Crx.joints_to_urdf(joints))
        # Body i moves with the base (i = 0) or frame i - 1 of fk_all, as the checks pose it.
        frames = [arm.base, *(arm.base @ arm.robot.fk_all(joints))]
        for body, link in enumerate(LINKS):
            found = primitives(urdf, link)
            placed = urdf.get_transform(link, "world")
            pose = frames[body]
            for k, row in enumerate(arm.envelopes[body]):
                a = pose[:3, :3] @ row[:3] + pose[:3, 3]
                b = pose[:3, :3] @ row[3:6] + pose[:3, 3]
                check_capsule(found, f"{link}.capsules[{k}]", placed, a, b, row[6])
            if link == "flange":
                for k, (centre, radius) in enumerate(tool.spheres):
                    origin, geometry = found.pop(f"tool.spheres[{k}]")
                    np.testing.assert_allclose((placed @ origin)[:3, 3] * 1000.0, pose[:3, :3] @ centre + pose[:3, 3],
                                               rtol=0, atol=1e-6)
                    assert geometry.sphere.radius == pytest.approx(radius / 1000.0, rel=1e-15)
                for k, (a, b, radius) in enumerate(tool.capsules):
                    check_capsule(found, f"tool.capsules[{k}]", placed, pose[:3, :3] @ a + pose[:3, 3],
                                  pose[:3, :3] @ b + pose[:3, 3], radius)
                for k, (box_pose, size) in enumerate(tool.boxes):
                    origin, geometry = found.pop(f"tool.boxes[{k}]")
                    world = placed @ origin
                    expected = pose @ box_pose
                    np.testing.assert_allclose(world[:3, 3] * 1000.0, expected[:3, 3], rtol=0, atol=1e-6)
                    np.testing.assert_allclose(world[:3, :3], expected[:3, :3], rtol=0, atol=1e-12)
                    np.testing.assert_allclose(np.asarray(geometry.box.size) * 1000.0, size, rtol=0, atol=1e-9)
            assert not found, f"{link}: primitives the arm does not have: {sorted(found)}"
