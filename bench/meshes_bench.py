"""Time of loading and posing the embedded link meshes, median of repeated timing runs.

Run after installing the package: python bench/meshes_bench.py
Budgets: LinkMeshes.load(CrxModel.Crx10iA) within 2 ms, posed within 1 ms.
"""

import statistics
import timeit

import ortholink
from ortholink import Crx, CrxModel, LinkMeshes

BUDGETS_MS = {"load": 2.0, "posed": 1.0}


def per_call(stmt: str, env: dict[str, object], number: int, repeat: int = 7) -> float:
    times = timeit.repeat(stmt, globals=env, number=number, repeat=repeat)
    return statistics.median(times) / number


def main() -> None:
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
