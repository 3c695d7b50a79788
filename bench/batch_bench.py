"""Batch inverse kinematics: ik_many on many random reachable targets, against a Python loop of ik.

    python bench/batch_bench.py [--count 1000000] [--loop-count 20000]

Prints the time per target of a Python loop over `Crx.ik`, of `Crx.ik_many` with one thread and with
two, the speed-up over the loop and the scaling from one thread to two.
"""

import argparse
import time

import numpy as np

import ortholink


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--count", type=int, default=1_000_000, help="targets for ik_many")
    parser.add_argument("--loop-count", type=int, default=20_000, help="targets for the Python loop")
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()

    robot = ortholink.Crx.crx10ia()
    rng = np.random.default_rng(args.seed)
    targets = robot.fk_many(rng.uniform(-180.0, 180.0, (args.count, 6)))

    loop_targets = targets[: args.loop_count]
    start = time.perf_counter()
    for target in loop_targets:
        robot.ik(target)
    loop = (time.perf_counter() - start) / len(loop_targets)

    results = {}
    for threads in (1, 2):
        start = time.perf_counter()
        batch = robot.ik_many(targets, threads=threads)
        results[threads] = (time.perf_counter() - start) / len(targets)
        solutions = len(batch.joints)

    print(f"targets: {args.count:,} (CRX-10iA, random joints through fk), solutions: {solutions:,}")
    print(f"Python loop of Crx.ik : {loop * 1e6:8.2f} us per target")
    for threads, seconds in results.items():
        print(f"Crx.ik_many, {threads} thread{'s' if threads > 1 else ' '}: {seconds * 1e6:8.2f} us per target "
              f"({loop / seconds:.1f}x the loop)")
    print(f"scaling from 1 to 2 threads: {results[1] / results[2]:.2f}x")


if __name__ == "__main__":
    main()
