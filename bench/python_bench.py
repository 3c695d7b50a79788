"""Per-call time of the Python methods, median of repeated timing runs.

Run after installing the package: python bench/python_bench.py
"""

import statistics
import timeit

import numpy as np

import ortholink


def per_call(stmt: str, env: dict[str, object], number: int = 200_000, repeat: int = 7) -> float:
    times = timeit.repeat(stmt, globals=env, number=number, repeat=repeat)
    return statistics.median(times) / number


def main() -> None:
    robot = ortholink.Crx.crx10ia()
    as_list = [10.0, 20.0, 30.0, 40.0, 50.0, 60.0]
    as_array = np.array(as_list)
    rng = np.random.default_rng(1)
    targets = [robot.fk(rng.uniform(-180, 180, 6)) for _ in range(2000)]
    env: dict[str, object] = {"robot": robot, "as_list": as_list, "as_array": as_array, "targets": targets}
    rows = [
        ("Crx.fk(list)", "robot.fk(as_list)", 200_000),
        ("Crx.fk(array)", "robot.fk(as_array)", 200_000),
        ("Crx.fk_all(list)", "robot.fk_all(as_list)", 200_000),
        ("Crx.fk_all(array)", "robot.fk_all(as_array)", 200_000),
        ("Crx.ik(array), 2000 targets", "for t in targets: robot.ik(t)", 5),
    ]
    for label, stmt, number in rows:
        seconds = per_call(stmt, env, number=number)
        if "targets" in stmt:
            seconds /= len(targets)
        print(f"{label:32s} {seconds * 1e9:10.0f} ns per call")


if __name__ == "__main__":
    main()
