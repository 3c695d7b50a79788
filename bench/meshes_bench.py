"""Time of loading and posing the embedded link meshes, median of repeated timing runs.

Run after installing the package: python bench/meshes_bench.py
Budgets: LinkMeshes.load(CrxModel.Crx10iA) within 2 ms, posed within 1 ms.

The first figures are for a fresh process. glibc then returns the freed top of its heap to the
system after every call, so each call page-faults its ~700 KB of vertices and faces back in; the
first time a block of 128 KB or more is freed (which any program handling real arrays soon does)
glibc raises its thresholds and the heap stays. The steady-state figures follow that.
"""

import statistics
import timeit

import numpy as np

import ortholink
from ortholink import Crx, CrxModel, LinkMeshes

BUDGETS_MS = {"load": 2.0, "posed": 1.0}


def per_call(stmt: str, env: dict[str, object], number: int, repeat: int = 7) -> float:
    times = timeit.repeat(stmt, globals=env, number=number, repeat=repeat)
    return statistics.median(times) / number


def cold() -> None:
    robot = Crx.crx10ia()
    joints = [10.0, 20.0, 30.0, 40.0, 50.0, 60.0]
    meshes = LinkMeshes.load(CrxModel.Crx10iA)
    env: dict[str, object] = {
        "LinkMeshes": LinkMeshes, "CrxModel": CrxModel, "meshes": meshes, "robot": robot, "joints": joints,
    }
    print("fresh process, CrxModel.Crx10iA:")
    for label, stmt in (("load", "LinkMeshes.load(CrxModel.Crx10iA)"), ("posed", "meshes.posed(robot, joints)")):
        ms = per_call(stmt, env, 20, repeat=3) * 1e3
        print(f"  {label:20s} {ms:9.4f} ms per call")


def main() -> None:
    cold()
    # Free one large block so that glibc keeps its heap between calls (see the module docstring).
    block = np.ones(1 << 18)
    del block
    print("steady state:")
    joints = [10.0, 20.0, 30.0, 40.0, 50.0, 60.0]
    for model, robot in ((CrxModel.Crx10iA, Crx.crx10ia()), (CrxModel.Crx5iA, Crx.crx5ia())):
        meshes = LinkMeshes.load(model)
        env: dict[str, object] = {
            "LinkMeshes": LinkMeshes, "model": model, "meshes": meshes, "robot": robot, "joints": joints,
        }
        vertices = sum(mesh.vertex_count for mesh in meshes)
        faces = sum(mesh.face_count for mesh in meshes)
        print(f"{model!r}: {vertices} vertices, {faces} triangles")
        rows = [
            ("load", "LinkMeshes.load(model)", 200),
            ("posed", "meshes.posed(robot, joints)", 500),
            ("poses", "meshes.poses(robot, joints)", 20_000),
            ("links", "meshes.links", 500),
            ("vertices of link 2", "meshes[2].vertices", 2_000),
        ]
        for label, stmt, number in rows:
            ms = per_call(stmt, env, number) * 1e3
            budget = BUDGETS_MS.get(label)
            verdict = "" if budget is None else f"  (budget {budget} ms: {'ok' if ms <= budget else 'OVER'})"
            print(f"  {label:20s} {ms:9.4f} ms per call{verdict}")
    print(f"ortholink from {ortholink.__file__}")


if __name__ == "__main__":
    main()
