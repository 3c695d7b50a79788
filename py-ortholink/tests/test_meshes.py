import pathlib

import numpy as np
import pytest

from ortholink import Crx, CrxModel, LinkMesh, LinkMeshes

# Our embedded assets: vertices and triangles of links 0..6 (models are unhashable, so no dict).
SMALL = [(2031, 4058), (2618, 5232), (2137, 4270), (1594, 3184), (2175, 4346), (2513, 5022), (1748, 3492)]
LARGE = [(2027, 4050), (2564, 5124), (2135, 4266), (1589, 3174), (2183, 4362), (2568, 5132), (1748, 3492)]
INVENTORY = [(CrxModel.Crx5iA, SMALL), (CrxModel.Crx10iA, LARGE)]
WITHOUT_GEOMETRY = [CrxModel.Crx3iA, CrxModel.Crx10iAL, CrxModel.Crx20iAL, CrxModel.Crx30iA]
JOINTS = [10.0, -20.0, 30.0, 40.0, 50.0, 60.0]


@pytest.fixture(scope="module")
def meshes() -> LinkMeshes:
    return LinkMeshes.load(CrxModel.Crx10iA)


def matrix_move(matrix, vertices):
    return vertices @ matrix[:3, :3].T + matrix[:3, 3]


@pytest.mark.parametrize("model,inventory", INVENTORY)
def test_load_gives_our_inventory(model, inventory):
    loaded = LinkMeshes.load(model)
    assert LinkMeshes.is_available(model) is True
    assert repr(loaded) == "LinkMeshes(links=7)"
    for mesh, (n, m) in zip(loaded.links, inventory, strict=True):
        assert (mesh.vertex_count, mesh.face_count) == (n, m)
        assert mesh.vertices.shape == (n, 3) and mesh.faces.shape == (m, 3)
        assert repr(mesh) == f"LinkMesh(vertices={n}, faces={m})"


@pytest.mark.parametrize("model", WITHOUT_GEOMETRY)
def test_models_without_geometry(model):
    assert LinkMeshes.is_available(model) is False
    name = repr(model).split(".")[1]
    message = f"No link meshes are embedded for the {name}. Geometry is available for the Crx5iA and the Crx10iA only."
    with pytest.raises(ValueError) as raised:
        LinkMeshes.load(model)
    assert str(raised.value) == message


def test_model_arguments_must_be_models():
    for function in (LinkMeshes.load, LinkMeshes.is_available):
        with pytest.raises(TypeError, match=r"^argument 'model': "):
            function(1)
        with pytest.raises(TypeError, match=r"^argument 'model': "):
            function(Crx.crx10ia())
    assert LinkMeshes.is_available(model=CrxModel.Crx5iA)


def test_arrays_are_fresh_owned_and_typed(meshes):
    base = meshes[0]
    vertices = base.vertices
    faces = base.faces
    for array, dtype in ((vertices, np.float64), (faces, np.uint32)):
        assert array.dtype == dtype
        assert array.flags.c_contiguous and array.flags.writeable and array.flags.owndata
    vertices[:] = 0.0
    faces[:] = 0
    assert np.any(base.vertices != 0.0)
    assert np.any(base.faces != 0)
    assert base.vertices is not base.vertices


def test_indexing_and_iteration(meshes):
    first = meshes[0]
    listed = meshes.links[0]
    assert first is not listed
    assert np.array_equal(first.vertices, listed.vertices) and np.array_equal(first.faces, listed.faces)
    assert meshes[np.uint8(6)].vertex_count == LARGE[6][0]
    assert meshes[True].vertex_count == LARGE[1][0]

    with pytest.raises(IndexError, match="^index out of range$"):
        meshes[7]
    with pytest.raises(IndexError, match="^index out of range$"):
        meshes[2**40]
    with pytest.raises(TypeError):
        meshes[1.0]

    # Negative indices count from the end, as in every Python sequence.
    assert len(meshes) == 7
    assert meshes[-1].vertex_count == LARGE[6][0] and meshes[-7].vertex_count == LARGE[0][0]
    for index in (-8, -(2**70), 2**70):
        with pytest.raises(IndexError, match="^index out of range$"):
            meshes[index]
    assert [m.vertex_count for m in reversed(meshes)] == [n for n, _ in reversed(LARGE)]

    items = list(meshes)
    assert len(items) == 7 and all(isinstance(item, LinkMesh) for item in items)
    assert [item.vertex_count for item in items] == [n for n, _ in LARGE]
    links = meshes.links
    assert isinstance(links, list) and len(links) == 7


def test_poses_are_identity_then_fk_all(meshes):
    robot = Crx.crx10ia()
    poses = meshes.poses(robot, JOINTS)
    assert poses.shape == (7, 4, 4) and poses.dtype == np.float64 and poses.flags.c_contiguous
    assert np.array_equal(poses[0], np.eye(4))
    assert np.array_equal(poses[1:], robot.fk_all(JOINTS))
    assert np.array_equal(poses[6], robot.fk(np.array(JOINTS)))
    assert np.array_equal(meshes.poses(robot=robot, joints=tuple(JOINTS)), poses)


def test_posed_moves_each_link_to_its_pose(meshes):
    robot = Crx.crx10ia()
    posed = meshes.posed(robot, JOINTS)
    poses = meshes.poses(robot, JOINTS)
    assert isinstance(posed, list) and len(posed) == 7
    assert all(isinstance(mesh, LinkMesh) for mesh in posed)
    for i, (moved, authored) in enumerate(zip(posed, meshes.links, strict=True)):
        assert np.array_equal(moved.faces, authored.faces)
        np.testing.assert_allclose(moved.vertices, matrix_move(poses[i], authored.vertices), rtol=0, atol=1e-9)
    assert np.array_equal(posed[0].vertices, meshes[0].vertices)

    # The flange's authored z = 0 face lands on the flange plane that fk reports.
    flange = robot.fk(JOINTS)
    authored = meshes[6].vertices
    heights = (posed[6].vertices - flange[:3, 3]) @ flange[:3, 2]
    assert np.all(heights <= 1e-9)
    face = authored[:, 2] == 0.0
    assert face.any()
    np.testing.assert_allclose(heights[face], 0.0, atol=1e-9)


def test_posing_on_another_models_kinematics():
    small = LinkMeshes.load(CrxModel.Crx5iA)
    posed = small.posed(Crx.crx10ia(), JOINTS)
    assert [mesh.vertex_count for mesh in posed] == [n for n, _ in SMALL]


def test_pose_argument_errors(meshes):
    robot = Crx.crx10ia()
    for method in (meshes.posed, meshes.poses):
        with pytest.raises(TypeError, match=r"^argument 'robot': "):
            method(CrxModel.Crx10iA, JOINTS)
        with pytest.raises(TypeError, match=r"^argument 'joints': "):
            method(robot, None)
        with pytest.raises(TypeError, match=r"^argument 'joints': "):
            method(robot, [[0.0] * 6])
        with pytest.raises(ValueError, match="^Expected 6 joint angles, got 5$"):
            method(robot, [0.0] * 5)
        with pytest.raises(TypeError):
            method(robot)


def test_transformed(meshes):
    mesh = meshes[3]
    same = mesh.transformed(np.eye(4))
    assert isinstance(same, LinkMesh)
    assert np.array_equal(same.vertices, mesh.vertices) and np.array_equal(same.faces, mesh.faces)

    class Wrapped:
        def __init__(self, matrix):
            self.matrix = matrix

        def as_numpy(self):
            return self.matrix

    target = Crx.crx10ia().fk(JOINTS)
    moved = mesh.transformed(Wrapped(target))
    np.testing.assert_allclose(moved.vertices, matrix_move(target, mesh.vertices), rtol=0, atol=1e-9)
    assert np.array_equal(mesh.transformed(transform=target).vertices, moved.vertices)
    assert np.array_equal(meshes[3].vertices, mesh.vertices)

    with pytest.raises(ValueError, match="^Failed to convert matrix to isometry$"):
        mesh.transformed(np.diag([2.0, 1.0, 1.0, 1.0]))
    with pytest.raises(ValueError, match=r"^Expected a 4x4 transformation matrix, got shape \[3, 3\]$"):
        mesh.transformed(np.eye(3))


def test_instances_are_immutable(meshes):
    mesh = meshes[0]
    for target, name in ((mesh, "vertices"), (mesh, "vertex_count"), (meshes, "links"), (mesh, "colour")):
        with pytest.raises(AttributeError):
            setattr(target, name, None)


def test_docstrings_and_signatures():
    assert LinkMesh.__doc__ == "The visual geometry of one robot link, as arrays a mesh library can consume directly."
    assert LinkMeshes.__doc__ == (
        "The seven meshes that draw one robot: the stationary base and the six moving links.\n\n"
        "Index 0 is the base and index `i` is the link that moves with frame `i - 1` of `fk_all`. The\n"
        "last one is the flange, whose mating face lies on the z = 0 plane of the pose `fk` reports.\n"
        "Coordinates are in millimeters.\n\n"
        "Geometry is embedded for the CRX-5iA and the CRX-10iA only."
    )
    assert LinkMesh.vertices.__doc__.startswith("The vertex positions in millimeters, as an (n, 3) array of float64.")
    assert LinkMesh.faces.__doc__.endswith("writing into it does not change the mesh.")
    assert LinkMesh.transformed.__doc__.startswith("Return a copy of this mesh with every vertex moved")
    assert LinkMeshes.load.__doc__.startswith("Decode the seven meshes for a model.")
    assert LinkMeshes.posed.__doc__.splitlines()[0] == (
        "Copies of the seven meshes, each moved to its pose for a joint configuration."
    )
    signatures = {
        LinkMesh.transformed: "($self, transform)",
        LinkMeshes.load: "(model)",
        LinkMeshes.is_available: "(model)",
        LinkMeshes.posed: "($self, robot, joints)",
        LinkMeshes.poses: "($self, robot, joints)",
    }
    for function, signature in signatures.items():
        assert function.__text_signature__ == signature


def test_meshes_feed_trimesh(meshes):
    trimesh = pytest.importorskip("trimesh")
    for mesh in meshes.posed(Crx.crx10ia(), JOINTS):
        shape = trimesh.Trimesh(mesh.vertices, mesh.faces, process=False)
        assert shape.is_watertight and shape.is_winding_consistent
        assert shape.volume > 0


def test_the_models_with_meshes_are_the_asset_folders():
    # The build embeds the models of one list; the generator writes one folder per model.
    assets = pathlib.Path(__file__).resolve().parents[2] / "ortholink" / "assets"
    folders = {path.name for path in assets.iterdir() if path.is_dir()}
    names = ["Crx3iA", "Crx5iA", "Crx10iA", "Crx10iAL", "Crx20iAL", "Crx30iA"]
    assert {name.lower() for name in names if LinkMeshes.is_available(getattr(CrxModel, name))} == folders
