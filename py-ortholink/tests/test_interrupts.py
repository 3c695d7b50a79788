"""Batches under Ctrl-C and under a memory limit, each in a child interpreter."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

CHILD_PREAMBLE = """
import os, sys, resource
import numpy as np
import ortholink
robot = ortholink.Crx.crx10ia()
joints = np.random.default_rng(7).uniform(-180, 180, (64, 6))
"""

BATCHES = {
    "fk_many": ("data = np.tile(joints, (1_500_000 // 64, 1))", "robot.fk_many(data, threads=2)"),
    "ik_many": (
        "data = np.tile(robot.fk_many(joints), (120_000 // 64, 1, 1))",
        "robot.ik_many(data, threads=2)",
    ),
    "Arm.ik_many": (
        "arm = ortholink.Arm(robot); data = np.tile(robot.fk_many(joints), (100_000 // 64, 1, 1))",
        "arm.ik_many(data, threads=2)",
    ),
    "Arm.plan_path": (
        "arm = ortholink.Arm(robot); data = np.tile(robot.fk_many(joints), (100_000 // 64, 1, 1))",
        "arm.plan_path(data)",
    ),
    "Arm.plan_path, wide limits": (
        "arm = ortholink.Arm(robot, lower=[-7000, -179, -179, -7000, -179, -7000],"
        " upper=[7000, 179, 179, 7000, 179, 7000]); data = robot.fk_many(joints[:6])",
        "arm.plan_path(data)",
    ),
    "ik_path": (
        "data = list(np.tile(robot.fk_many(joints), (60_000 // 64, 1, 1)))",
        "robot.ik_path(data, np.zeros(6))",
    ),
}


def child(script: str) -> subprocess.Popen:
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    return subprocess.Popen(
        [sys.executable, "-c", CHILD_PREAMBLE + textwrap.dedent(script)],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )


@pytest.mark.parametrize("name", sorted(BATCHES))
def test_ctrl_c_stops_a_batch_promptly(name):
    # The child times one whole batch, then runs it again and is sent SIGINT
    # a fifth of the way in: the batch must stop long before it would end,
    # raise KeyboardInterrupt, and leave nothing behind (six more
    # interrupted runs leave the bytes in use unchanged).
    prepare, call = BATCHES[name]
    proc = child(
        f"""
        import threading, time, signal
        {prepare}
        refs = sys.getrefcount(data)
        def timed():
            start = time.perf_counter()
            {call}
            return time.perf_counter() - start

        whole = min(timed(), timed())
        print("whole", whole, flush=True)
        started = time.perf_counter()
        print("ready", flush=True)
        try:
            {call}
            print("finished", time.perf_counter() - started, flush=True)
        except KeyboardInterrupt:
            print("interrupted", time.perf_counter() - started, flush=True)

        import ctypes

        class MallInfo(ctypes.Structure):
            _fields_ = [(name, ctypes.c_size_t) for name in (
                "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                "keepcost")]

        libc = ctypes.CDLL(None)
        libc.mallinfo2.restype = MallInfo

        def live():
            # Bytes in use in every malloc arena (resident size moves with the allocator's caches).
            info = libc.mallinfo2()
            return info.uordblks + info.hblkhd

        sizes = []
        for _ in range(6):
            timer = threading.Timer(whole / 5, lambda: os.kill(os.getpid(), signal.SIGINT))
            timer.start()
            try:
                {call}
                timer.join()
                time.sleep(0.1)  # a signal that came late lands here
            except KeyboardInterrupt:
                pass
            timer.join()
            sizes.append(live())
        print("sizes", *sizes, "refs", sys.getrefcount(data) - refs, flush=True)
        """
    )
    try:
        whole = float(proc.stdout.readline().split()[1])
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(whole / 5)
        proc.send_signal(signal.SIGINT)
        outcome, elapsed = proc.stdout.readline().split()
        sizes = proc.stdout.readline().split()
        proc.wait(timeout=120)
    finally:
        proc.kill()
    assert proc.returncode == 0, proc.stderr.read()
    assert outcome == "interrupted"
    assert float(elapsed) < 0.8 * whole, (elapsed, whole)
    assert sizes[0] == "sizes" and sizes[-2:] == ["refs", "0"]
    live = [int(v) for v in sizes[1:-2]]
    assert max(live) - live[0] < 1 << 20, live


def test_threads_that_cannot_start_do_not_abort():
    # Under an address-space limit most of 1024 thread stacks cannot be
    # mapped: the batch finishes on the threads it has, with the same results.
    proc = child(
        """
        rows = np.random.default_rng(3).uniform(-180, 180, (20000, 6))
        expected = robot.fk_many(rows, threads=1)
        targets = expected[:3000]
        expected_ik = robot.ik_many(targets, threads=1).joints
        with open("/proc/self/status") as f:
            size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
        limit = size + (200 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        for name, run, want in (
            ("fk_many", lambda: robot.fk_many(rows, threads=1024), expected),
            ("ik_many", lambda: robot.ik_many(targets, threads=1024).joints, expected_ik),
        ):
            try:
                print(name, np.array_equal(run(), want))
            except MemoryError:
                print(name, "MemoryError")
        """
    )
    out, err = proc.communicate(timeout=300)
    assert proc.returncode == 0, err
    assert out.split() == ["fk_many", "True", "ik_many", "True"]
