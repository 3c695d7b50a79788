"""The browser viewer: its scene from Python, and the page in a real headless Chromium."""

import os
import re
import time

import numpy as np
import pytest

from ortholink import Arm, Crx, CrxModel

viser = pytest.importorskip("viser")
import ortholink_view  # noqa: E402  (shipped in the wheel: its absence is a failure)


def configurations(rows):
    """Rows that differ only by whole turns count once."""
    kept = []
    for row in rows:
        if all(np.abs((row - k + 180.0) % 360.0 - 180.0).max() > 1e-6 for k in kept):
            kept.append(row)
    return len(kept)


@pytest.fixture(scope="module")
def viewer():
    arm = Arm(CrxModel.Crx10iA, tool=np.diag([1.0, 1.0, 1.0, 1.0]) + np.pad([[0], [0], [120.0]], ((0, 1), (3, 0))))
    view = ortholink_view.show(arm, [10, 20, 30, 40, 50, 60], host="127.0.0.1", port=0, block=False)
    yield view
    view.close()


def test_without_viser_the_error_names_the_extra(monkeypatch):
    monkeypatch.setitem(__import__("sys").modules, "viser", None)
    with pytest.raises(ModuleNotFoundError, match=r"pip install 'ortholink\[view\]'"):
        ortholink_view.show(Arm(CrxModel.Crx5iA), port=0, block=False)


def test_show_prints_its_address_and_draws_every_solution(capsys):
    arm = Arm(CrxModel.Crx5iA)
    with ortholink_view.show(arm, port=0, block=False) as view:
        printed = capsys.readouterr().out
        # viser prints its own banner first.
        assert printed.strip().splitlines()[-1] == f"ortholink viewer: {view.url}"
        assert view.url.startswith("http://127.0.0.1:") and not view.url.endswith(":0")
        np.testing.assert_array_equal(view.joints, np.zeros(6))
        np.testing.assert_allclose(view.target, arm.fk(np.zeros(6)), rtol=0, atol=1e-9)
        np.testing.assert_array_equal(view.solutions, arm.ik(view.target))


def test_moving_the_target_redraws_its_solutions(viewer):
    arm = viewer.arm
    rng = np.random.default_rng(11)
    seen = set()
    for joints in rng.uniform(arm.lower * 0.8, arm.upper * 0.8, (12, 6)):
        if not arm.within_limits(joints):
            continue
        target = arm.fk(joints)
        before = viewer.joints.copy()
        viewer.set_target(target)
        expected = arm.ik(target)
        np.testing.assert_array_equal(viewer.solutions, expected)
        drawn = configurations(expected)
        assert len(viewer.drawn) == drawn
        # The solid arm is on the solution nearest where it was; the others are ghosts.
        nearest = int(np.argmin(np.abs(expected - before).max(axis=1)))
        assert viewer.selected == nearest
        np.testing.assert_array_equal(viewer.joints, expected[nearest])
        np.testing.assert_allclose(arm.fk(viewer.joints), target, rtol=0, atol=1e-8)
        assert viewer.ghosts == drawn - 1
        # One label per drawn configuration.
        assert [label.split(":")[0] for label in viewer.labels] == [f"#{k}" for k in viewer.drawn]
        seen.add(drawn)
        # Picking a solution puts the solid arm on it and takes its ghost away.
        viewer.select(viewer.drawn[-1])
        np.testing.assert_array_equal(viewer.joints, expected[viewer.drawn[-1]])
        assert viewer.ghosts == drawn - 1
    assert len(seen) >= 2  # the poses were not all alike

    viewer.set_target(np.diag([1.0, 1.0, 1.0, 1.0]) + np.pad([[5000.0], [0], [0]], ((0, 1), (3, 0))))
    assert len(viewer.solutions) == 0 and viewer.drawn == [] and viewer.ghosts == 0 and viewer.labels == []


def test_dragging_the_target_keeps_the_arm_in_its_configuration(viewer):
    from ortholink_view import _matrix_to_wxyz, _wxyz_to_matrix

    arm = viewer.arm
    start = np.array([5.0, 15.0, 25.0, 35.0, 45.0, 55.0])
    viewer.set_joints(start)
    for step in range(1, 6):
        # What the page's transform gizmo reports: a position in metres and a quaternion.
        target = arm.fk(start + step)
        viewer._target.position = target[:3, 3] / 1000.0
        viewer._target.wxyz = _matrix_to_wxyz(target)
        viewer._target_moved()
        np.testing.assert_allclose(viewer.target, target, rtol=0, atol=1e-9)
        # The nearest solution is the one the small move came from.
        np.testing.assert_allclose(viewer.joints, start + step, rtol=0, atol=1e-6)
        assert viewer.ghosts == len(viewer.drawn) - 1
    rng = np.random.default_rng(2)
    for q in rng.normal(size=(200, 4)):
        q /= np.linalg.norm(q)
        m = np.eye(4)
        m[:3, :3] = _wxyz_to_matrix(q)
        np.testing.assert_allclose(np.abs(_matrix_to_wxyz(m) @ q), 1.0, rtol=0, atol=1e-12)


def test_joints_move_the_arm_and_the_target(viewer):
    joints = np.array([-30.0, 10.0, -20.0, 90.0, -45.0, 180.0])
    viewer.set_joints(joints)
    np.testing.assert_array_equal(viewer.joints, joints)
    np.testing.assert_allclose(viewer.target, viewer.arm.fk(joints), rtol=0, atol=1e-9)
    assert viewer.selected is not None
    np.testing.assert_allclose(viewer.solutions[viewer.selected], joints, rtol=0, atol=1e-6)
    assert viewer.ghosts == len(viewer.drawn) - 1


def test_a_path_plays_to_its_end(viewer):
    arm = viewer.arm
    line = np.linspace([0, 0, 0, 0, 0, 0], [40, -20, 30, 10, 60, -90], 25)
    targets = arm.fk_many(line)
    targets[12, 0, 3] += 5000.0  # one waypoint out of reach
    plan = arm.plan_path(targets, start=line[0])
    assert plan.unreachable.tolist() == [12]
    viewer.play(plan, seconds=0.25)
    viewer.wait_playing(timeout=30)
    np.testing.assert_array_equal(viewer.joints, plan.joints[-1])
    assert np.isfinite(viewer.joints).all()

    viewer.play(line[:3], seconds=0.1)
    viewer.wait_playing(timeout=30)
    np.testing.assert_array_equal(viewer.joints, line[2])
    with pytest.raises(ValueError, match=r"^argument 'path': expected joint rows of shape \(n, 6\)"):
        viewer.play(np.zeros((3, 5)))
    for seconds in (0, -1.0, float("inf"), float("nan"), "1"):
        with pytest.raises(ValueError, match=r"^argument 'seconds': expected a positive, finite number"):
            viewer.play(plan, seconds=seconds)
    assert viewer._playing is None or not viewer._playing.is_alive()


def test_joints_and_targets_that_cannot_be_shown_are_refused(viewer):
    before = viewer.joints.copy()
    with pytest.raises(ValueError, match="argument 'joints': expected six finite joint angles"):
        viewer.set_joints([np.nan] * 6)
    with pytest.raises(ValueError, match="argument 'pose'"):
        viewer.set_target(np.eye(4) * 2)
    np.testing.assert_array_equal(viewer.joints, before)


def test_a_viewer_that_cannot_be_built_leaves_no_server():
    import socket

    arm = Arm(CrxModel.Crx5iA)
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    for joints, path, error in (([1, 2, 3], None, ValueError), ([np.nan] * 6, None, ValueError),
                                (None, np.zeros((3, 5)), ValueError)):
        with pytest.raises(error):
            ortholink_view.show(arm, joints, port=port, block=False, path=path)
    with pytest.raises(TypeError, match="argument 'arm'"):
        ortholink_view.show("arm", port=port, block=False)
    # The port is free again: each failed viewer stopped its server.
    with socket.socket() as again:
        again.bind(("127.0.0.1", port))


def test_a_trajectory_plays_in_real_time_and_ends_on_its_last_sample(viewer):
    arm = viewer.arm
    line = np.linspace([0, 0, 0, 0, 0, 0], [40, -20, 30, 10, 60, -90], 25)
    trajectory = arm.plan_path(arm.fk_many(line), start=line[0]).trajectory(arm)
    begin = time.monotonic()
    viewer.play(trajectory)
    viewer.wait_playing(timeout=60)
    # The clock paces the samples: the motion cannot end before its duration has passed.
    assert time.monotonic() - begin >= trajectory.duration * 0.99
    np.testing.assert_array_equal(viewer.joints, trajectory.joints[-1])

    viewer.play(trajectory, seconds=0.1)  # seconds rescales the clock
    viewer.wait_playing(timeout=30)
    np.testing.assert_array_equal(viewer.joints, trajectory.joints[-1])

    viewer.set_joints(line[0])
    viewer.play(trajectory, seconds=30.0)
    time.sleep(0.2)
    viewer.stop_playing()
    assert not np.array_equal(viewer.joints, trajectory.joints[-1])


@pytest.mark.parametrize("robot", [CrxModel.Crx30iA, Crx.from_params(300, 320, 130, 115)])
def test_robots_without_meshes_are_drawn_as_their_envelopes(robot):
    with ortholink_view.show(Arm(robot), [0, 30, 10, 0, 45, 0], port=0, block=False) as view:
        assert len(view.drawn) >= 2
        assert view.ghosts == len(view.drawn) - 1


# --- the page in a real browser -------------------------------------------------------

from headless_chromium import Browser, colourful_pixels, find_chromium  # noqa: E402


def test_the_page_draws_the_arm_in_headless_chromium(tmp_path):
    executable = find_chromium()
    if executable is None:
        pytest.skip("chromium is not installed (scripts/test.sh installs it)")
    pytest.importorskip("websocket")
    arm = Arm(CrxModel.Crx10iA)
    with ortholink_view.show(arm, [10, 20, 30, 40, 50, 60], port=0, block=False) as view, Browser(executable) as page:
        page.navigate(view.url)
        assert page.wait_for_text("Connected", timeout=60), "the page did not connect to the viewer"
        # The scene fades in: wait for two drawn frames in a row.
        deadline = time.monotonic() + 60
        counts = []
        png = None
        while time.monotonic() < deadline:
            png = page.canvas_png()
            counts.append(colourful_pixels(png) if png else 0)
            if len(counts) >= 2 and min(counts[-2:]) >= 2000:
                break
            time.sleep(0.5)
        assert png is not None
        (tmp_path / "viewer.png").write_bytes(png)
        # ORTHOLINK_VIEWER_SCREENSHOT=path keeps a picture of the whole page (how the README's was taken).
        if os.environ.get("ORTHOLINK_VIEWER_SCREENSHOT"):
            page.evaluate("document.querySelectorAll('.mantine-Notification-root').forEach(n => n.remove())")
            with open(os.environ["ORTHOLINK_VIEWER_SCREENSHOT"], "wb") as out:
                out.write(page.screenshot())
        assert min(counts[-2:]) >= 2000, f"the arm is not drawn: colourful pixels per frame {counts}"
        assert "solutions within the limits" in page.evaluate("document.body.innerText")


# --- collisions: the cell, red configurations and the colliding pair -----------------

from ortholink import Scene  # noqa: E402

BENT = np.array([0.0, 170.0, 0.0, 0.0, 0.0, 0.0])  # the upper arm folded down through the base
CELL = Scene(
    boxes=[(np.diag([1.0, 1.0, 1.0, 1.0]) + np.pad([[650.0], [550.0], [100.0]], ((0, 1), (3, 0))), [260, 260, 260])],
    spheres=[([-500.0, 600.0, 300.0], 80.0)],
    capsules=[([400.0, -700.0, 0.0], [400.0, -700.0, 500.0], 40.0)],
    cylinders=[(np.eye(4), 50.0, 30.0)],
    half_spaces=[([0.0, 0.0, 1.0], -400.0)],
    points=[(np.random.default_rng(0).uniform(-50, 50, (40, 3)) + [-600, -400, 200], 5.0)],
)


class StandInChecks:
    """The arm, with checks that call every configuration with |J2| > 150 degrees a collision of
    base_link and link_2, for builds whose envelopes and distance kernels are still placeholders."""

    def __init__(self, arm):
        self._arm = arm

    def __getattr__(self, name):
        return getattr(self._arm, name)

    def collides(self, joints, scene=None):
        hit = np.abs(np.asarray(joints, dtype=np.float64)[..., 1]) > 150.0
        return bool(hit) if hit.ndim == 0 else hit

    def clearance(self, joints, scene=None):
        rows = np.asarray(joints, dtype=np.float64)
        distance = np.where(np.abs(rows[..., 1]) > 150.0, -10.0, 100.0)
        if rows.ndim == 1:
            return float(distance), ("base_link", "link_2")
        return distance, [("base_link", "link_2")] * len(rows)


def checked_arm():
    """A CRX-10iA whose own checks are used where they see the folded arm collide."""
    arm = Arm(CrxModel.Crx10iA, tool_geometry=Scene(spheres=[([0.0, 0.0, 80.0], 40.0)]))
    return arm if arm.collides(BENT) else StandInChecks(arm)


def test_colliding_solutions_are_found_by_the_arms_checks():
    arm = Arm(CrxModel.Crx10iA)
    if not any(len(e) for e in arm.envelopes):
        pytest.skip("this build's link envelopes are placeholders: nothing collides")
    assert arm.collides(BENT)
    with ortholink_view.show(arm, BENT, port=0, block=False, scene=CELL) as view:
        assert view.collision == tuple(arm.clearance(BENT, CELL)[1])
        assert view.colliding.keys() == {i for i, row in enumerate(view.solutions) if arm.collides(row, CELL)}
        for index, pair in view.colliding.items():
            assert pair == tuple(arm.clearance(view.solutions[index], CELL)[1])
            if index in view.drawn:
                assert any(f"#{index}: {pair[0]} × {pair[1]}" in label for label in view.labels)
        # Labels still name every drawn configuration.
        assert sorted(int(t) for label in view.labels for t in re.findall(r"#(\d+)", label)) == view.drawn


def test_collision_state_follows_the_solid_arm_and_the_target():
    arm = checked_arm()
    with ortholink_view.show(arm, [10, 20, 30, 40, 50, 60], port=0, block=False, scene=CELL) as view:
        assert view.scene is CELL
        if isinstance(arm, StandInChecks):
            assert view.collision is None and view.colliding == {}
        view.set_joints(BENT)
        assert view.collision is not None and view.collision == tuple(arm.clearance(BENT, CELL)[1])
        assert view.selected in view.colliding
        assert any(f"× {view.collision[1]}" in label for label in view.labels)
        assert view._choice.options[view.selected].endswith("(collides)")
        view.show_envelopes(True)
        assert view.envelopes_shown
        view.show_envelopes(False)
        assert not view.envelopes_shown
    with pytest.raises(TypeError, match=r"^argument 'scene': expected ortholink.Scene or None, got list"):
        ortholink_view.Viewer(Arm(CrxModel.Crx5iA), port=0, scene=[])


def red_and_amber_pixels(png):
    """Pixels of the colliding red and of the scene's amber solids."""
    import io

    from PIL import Image

    image = np.asarray(Image.open(io.BytesIO(png)).convert("RGB")).astype(np.int32)
    r, g, b = image[..., 0], image[..., 1], image[..., 2]
    red = (r > 110) & (r > 2 * g) & (r > 2 * b)
    amber = (r > 150) & (g > 0.45 * r) & (g < 0.85 * r) & (b < 0.4 * r)
    return int(red.sum()), int(amber.sum())


def settled_counts(page, timeout=60.0):
    """Red and amber pixel counts once two frames in a row agree (the scene fades in and redraws)."""
    deadline = time.monotonic() + timeout
    counts = []
    while time.monotonic() < deadline:
        png = page.canvas_png()
        counts.append(red_and_amber_pixels(png) if png else (0, 0))
        if len(counts) >= 2 and counts[-1] == counts[-2] and colourful_pixels(png) >= 2000:
            return counts[-1], png
        time.sleep(0.5)
    return counts[-1], png


def test_the_page_draws_the_cell_and_colliding_configurations_red(tmp_path):
    executable = find_chromium()
    if executable is None:
        pytest.skip("chromium is not installed (scripts/test.sh installs it)")
    pytest.importorskip("websocket")
    arm = checked_arm()
    clear = [-60.0, 10.0, 0.0, 0.0, -60.0, 0.0]
    box = Scene(boxes=CELL.boxes)
    with ortholink_view.show(arm, clear, port=0, block=False, scene=box) as view, Browser(executable) as page:
        page.navigate(view.url)
        assert page.wait_for_text("Connected", timeout=60), "the page did not connect to the viewer"
        (red_before, amber), png = settled_counts(page)
        (tmp_path / "clear.png").write_bytes(png)
        assert amber >= 1500, f"the cell's box is not drawn: {amber} amber pixels"
        view.set_joints(BENT)
        assert view.collision is not None
        (red_after, _), png = settled_counts(page)
        (tmp_path / "colliding.png").write_bytes(png)
        assert red_after >= red_before + 2000, f"the colliding arm is not red: {red_before} -> {red_after} red pixels"
        assert "colliding (red)" in page.evaluate("document.body.innerText")
