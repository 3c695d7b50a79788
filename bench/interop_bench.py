"""Time of the ROS 2 / URDF conversions, the URDF export and a viewer update, medians of repeated runs.

Run after installing the package (with the view extra for the viewer figures):
python bench/interop_bench.py

A viewer update is what dragging the TCP target costs on the Python side: `Arm.ik` of the
target, the ghosts of every configuration posed, labels and the GUI redrawn (messages queued
for the browser; no browser needs to be connected).
"""

import importlib.util
import statistics
import tempfile
import time
import timeit

import numpy as np

from ortholink import Arm, Crx, CrxModel


def per_call(stmt: str, env: dict[str, object], number: int, repeat: int = 7) -> float:
    times = timeit.repeat(stmt, globals=env, number=number, repeat=repeat)
    return statistics.median(times) / number


def main() -> None:
    rng = np.random.default_rng(14)
    joints = rng.uniform(-170, 170, (1000, 6))
    arm10 = Arm(CrxModel.Crx10iA)
    arm30 = Arm(CrxModel.Crx30iA)
    out = tempfile.mkdtemp()
    env: dict[str, object] = {"Crx": Crx, "one": joints[0], "rows": joints, "arm10": arm10, "arm30": arm30,
                              "out": out}
    print(f"{'Crx.joints_to_urdf, one vector':45s} {per_call('Crx.joints_to_urdf(one)', env, 20000) * 1e9:9.0f} ns")
    print(f"{'Crx.joints_to_urdf, 1000 rows':45s} {per_call('Crx.joints_to_urdf(rows)', env, 2000) * 1e6:9.1f} µs")
    print(f"{'Arm.write_urdf, CRX-10iA (URDF + 7 STL)':45s} {per_call('arm10.write_urdf(out)', env, 10) * 1e3:9.2f} ms")
    print(f"{'Arm.write_urdf, CRX-30iA (URDF only)':45s} {per_call('arm30.write_urdf(out)', env, 200) * 1e3:9.3f} ms")

    if importlib.util.find_spec("viser") is None:
        print("viser is not installed: no viewer figures")
        return
    import ortholink_view

    view = ortholink_view.show(arm10, port=0, block=False)
    try:
        reachable = [j for j in rng.uniform(arm10.lower * 0.9, arm10.upper * 0.9, (400, 6)) if arm10.within_limits(j)]
        targets = arm10.fk_many(np.array(reachable[:200]))
        times = []
        for target in targets:
            start = time.perf_counter()
            view.set_target(target)
            times.append(time.perf_counter() - start)
        drawn = statistics.mean(len(view.drawn) for _ in [0])
        print(f"{'viewer: move the target (ik + redraw)':45s} {statistics.median(times) * 1e3:9.2f} ms"
              f"   ({len(targets)} targets; last drew {drawn:.0f} configurations)")
        times = []
        for row in reachable[:200]:
            start = time.perf_counter()
            view.set_joints(row)
            times.append(time.perf_counter() - start)
        print(f"{'viewer: move a slider (fk + ik + redraw)':45s} {statistics.median(times) * 1e3:9.2f} ms")
    finally:
        view.close()


if __name__ == "__main__":
    main()
