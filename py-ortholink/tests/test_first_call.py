"""Each entry point as the first call of a fresh interpreter, before NumPy is loaded by anyone else.

The module loads NumPy's tables on first need; a reader that looked at an array type before that
would crash the process, which no test in a warm interpreter can see.
"""

import os
import subprocess
import sys

import pytest

POSE = "[[1, 0, 0, 500], [0, 1, 0, 0], [0, 0, 1, 500], [0, 0, 0, 1]]"
OTHER = "[[1, 0, 0, 600], [0, 1, 0, 0], [0, 0, 1, 500], [0, 0, 0, 1]]"
ARM = "Arm(CrxModel.Crx10iA)"

CALLS = [
    "Crx.crx10ia().fk([0] * 6)",
    "Crx.crx10ia().fk_all([0] * 6)",
    f"Crx.crx10ia().ik({POSE})",
    f"Crx.crx10ia().ik_closest({POSE}, [0] * 6)",
    "Crx.crx10ia().fk_many([[0] * 6])",
    "Crx.from_params(300, 320, 130, 115)",
    "Crx.pose_from_xyzwpr([500, 0, 500, 180, 0, 0])",
    f"Crx.xyzwpr({POSE})",
    "Crx.expand_turns([[0] * 6], [-360] * 6, [360] * 6)",
    "Crx.within_limits([0] * 6, [-1] * 6, [1] * 6)",
    "Crx.joints_to_urdf([0] * 6)",
    f"Crx.interpolate_poses({POSE}, {OTHER}, 5)",
    "LinkMeshes.load(CrxModel.Crx10iA)",
    "Arm(CrxModel.Crx10iA, max_speed=[100] * 6)",
    f"{ARM}.fk([0] * 6)",
    f"{ARM}.jacobian([0] * 6)",
    f"{ARM}.within_limits([0] * 6)",
    f"{ARM}.ik_closest({POSE}, [0] * 6)",
    f"{ARM}.ik_many([{POSE}])",
    f"{ARM}.plan_path([{POSE}])",
    f"{ARM}.collides([0] * 6, padding=1)",
    f"{ARM}.clearance([0] * 6)",
    f"{ARM}.move_collides([0] * 6, [1] * 6)",
    "Scene(spheres=[((0, 0, 0), 1)], points=[([[0, 0, 0]], 1)])",
    f"Scene(boxes=[({POSE}, (1, 1, 1))])",
    "Arm(CrxModel.Crx10iA, tool_geometry=Scene(spheres=[((0, 0, 0), 1)]))",
    "Arm(CrxModel.Crx10iA, envelopes={1: [((0, 0, 0), 50)]})",
]


@pytest.mark.parametrize("call", CALLS)
def test_first_call_in_a_fresh_interpreter(call):
    environment = dict(os.environ)
    result = subprocess.run(
        [sys.executable, "-c", f"from ortholink import Arm, Crx, CrxModel, LinkMeshes, Scene\n{call}"],
        capture_output=True,
        text=True,
        env=environment,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
