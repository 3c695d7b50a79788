"""Peak memory of the batch methods, and the cost of reading an IkBatch's arrays.

    python bench/memory_bench.py [--count 1000000] [--threads 2]

`plan_path` runs on a line of a tenth as many waypoints and reports its peak per graph node.
Each measurement runs in a fresh interpreter: the input is built, the peak resident size is reset
(/proc/self/clear_refs), the call runs, and the rise of the peak over the resident size before the
call is compared with the bytes of the arrays the call returns. Linux only.
"""

import argparse
import json
import subprocess
import sys
import textwrap

CHILD = """
import json, sys, time
import numpy as np
import ortholink

def rss():
    with open("/proc/self/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    return int(fields["VmRSS"].split()[0]) * 1024, int(fields["VmHWM"].split()[0]) * 1024

def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")

count, threads, case = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
robot = ortholink.Crx.crx10ia()
arm = ortholink.Arm(ortholink.CrxModel.Crx10iA)
rng = np.random.default_rng(7)
joints = rng.uniform(-180.0, 180.0, (count, 6))
if case in ("ik_many", "Arm.ik_many", "joints"):
    data = robot.fk_many(joints)
    del joints
elif case == "plan_path":
    # A line of `count` waypoints over 400 mm with the flange pointing down (about 21 solutions each).
    data = np.repeat(arm.fk([0.0, 10.0, -20.0, 0.0, -70.0, 0.0])[None], count, axis=0)
    data[:, 1, 3] += np.linspace(-200.0, 200.0, count)
    del joints
else:
    data = joints
call = {
    "fk_many": lambda: robot.fk_many(data, threads=threads),
    "Arm.fk_many": lambda: arm.fk_many(data, threads=threads),
    "ik_many": lambda: robot.ik_many(data, threads=threads),
    "Arm.ik_many": lambda: arm.ik_many(data, threads=threads),
    "joints": lambda: robot.ik_many(data, threads=threads),
    "plan_path": lambda: arm.plan_path(data),
}[case]

def nbytes(result):
    if isinstance(result, np.ndarray):
        return result.nbytes
    return sum(getattr(result, name).nbytes for name in ("joints", "residual", "theta", "kind", "offsets"))

before, _ = rss()
reset_peak()
start = time.perf_counter()
result = call()
seconds = time.perf_counter() - start
_, peak = rss()
out = {"case": case, "seconds": seconds, "peak": peak - before}
if case == "joints":
    # A property read against a NumPy copy of the same array.
    first = result.joints
    out["solutions"] = len(first)
    reads, copies = [], []
    for _ in range(3):
        before, _ = rss()
        reset_peak()
        start = time.perf_counter()
        again = result.joints
        reads.append(time.perf_counter() - start)
        out["property_peak"] = rss()[1] - before
        del again
        start = time.perf_counter()
        copy = first.copy()
        copies.append(time.perf_counter() - start)
        del copy
    out["property_seconds"] = min(reads)
    out["copy_seconds"] = min(copies)
    out["result"] = first.nbytes
elif case == "plan_path":
    out["nodes"] = result.nodes
    out["result"] = result.joints.nbytes
else:
    out["result"] = nbytes(result)
print(json.dumps(out))
"""


def run(case: str, count: int, threads: int) -> dict:
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(CHILD), str(count), str(threads), case],
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--count", type=int, default=1_000_000, help="rows or targets per call")
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    mb = 1e6
    for case in ("fk_many", "Arm.fk_many", "ik_many", "Arm.ik_many"):
        r = run(case, args.count, args.threads)
        print(
            f"{case:12} {args.count} rows: {r['seconds']:6.2f} s, result {r['result'] / mb:7.1f} MB, "
            f"peak +{r['peak'] / mb:7.1f} MB = {r['peak'] / r['result']:.2f}x the result"
        )
    r = run("plan_path", args.count // 10, args.threads)
    print(
        f"plan_path    {args.count // 10} waypoints: {r['seconds']:6.2f} s, {r['nodes']} nodes, "
        f"peak +{r['peak'] / 1e6:7.1f} MB = {r['peak'] / r['nodes']:.0f} bytes per node"
    )
    r = run("joints", args.count, args.threads)
    print(  # the fastest of three reads and of three copies
        f"IkBatch.joints at {r['solutions']} solutions ({r['result'] / mb:.1f} MB): "
        f"{r['property_seconds'] * 1e3:.1f} ms, peak +{r['property_peak'] / mb:.1f} MB; "
        f"NumPy copy {r['copy_seconds'] * 1e3:.1f} ms"
    )


if __name__ == "__main__":
    main()
