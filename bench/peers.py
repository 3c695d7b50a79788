"""ortholink's inverse kinematics side by side with two general-purpose solvers.

Peers:
  - IK-Geo (PyPI `ik-geo`), its 1-D search solver for 6R arms with two parallel axes
    (`Robot.two_parallel`): every solution it finds.
  - roboticstoolbox-python, the C++ Levenberg-Marquardt solver (`ETS.ik_LM`, Chan's damping) on a
    model built here from the link dimensions: one solution, from one fixed seed configuration.

Every solver sees the same targets: the flange poses of uniformly random joint vectors (fixed seed),
so each is reachable. A peer solution is valid when our `Crx.fk` maps it to the target with a pose
error of at most 1e-8 (largest absolute difference over the 3x4 part of the matrix, mm for the
translation). A valid peer solution agrees with ortholink when one of ours lies within 1e-6 rad of
it (largest joint difference with whole turns ignored); one that does not is a completeness gap,
printed in full and written to --gaps-out.

Times are per target, the best of --repeat calls, with all solvers interleaved target by target so
that load from other processes falls on all of them alike. "ours" is `Crx.ik` from Python; when the
C++ benchmark is built, its median for the core `ik` (CRX-10iA, its own random targets) is shown too.

Install and run, from the root of a clone (Linux x86-64, Python 3.11+, a C++20 compiler, CMake):

    python3 -m venv .venv-peers
    .venv-peers/bin/pip install . ik-geo==1.0.3 roboticstoolbox-python==1.5.0
    cmake -S . -B build-peers -G Ninja -DORTHOLINK_BENCH=ON && cmake --build build-peers -j2 --target ik_bench
    .venv-peers/bin/python bench/peers.py               # 10,000 targets per model, a few minutes
    .venv-peers/bin/python bench/peers.py --count 500   # a quick look
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import platform
import re
import subprocess
import sys
import time
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass, field
from importlib import metadata
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

import ortholink

ROOT = Path(__file__).resolve().parent.parent

ACCEPT = 1e-8  # pose error for a solution to count as valid
NEAR = 1e-5  # pose error under which an invalid peer solution is polished and checked anyway
SAME = 1e-6  # joint distance (rad) under which two solutions are the same one
DEG = 0.017453292519943295

MODELS = ["Crx3iA", "Crx5iA", "Crx10iA", "Crx10iAL", "Crx20iAL", "Crx30iA"]

# Joint axes in the frame of the link before each joint, and the fixed flange rotation.
AXES = np.array([[0, 0, 1], [0, 1, 0], [0, -1, 0], [-1, 0, 0], [0, -1, 0], [-1, 0, 0]], dtype=float)

Array = npt.NDArray[np.float64]


def to_kinematic(joints: Array) -> Array:
    """Controller degrees to the rotation angles of the chain (rad): J3 turns by J2 + J3."""
    a = np.asarray(joints, dtype=float) * DEG
    a[2] = a[1] + a[2]
    return a


def to_controller(angles: Array) -> Array:
    a = np.array(angles, dtype=float)
    a[2] = a[2] - a[1]
    return a / DEG


def pose_error(a: Array, b: Array) -> float:
    return float(np.max(np.abs(a[:3, :] - b[:3, :])))


def joint_distance(a: Array, b: Array) -> float:
    d = (np.asarray(a) - np.asarray(b)) * DEG
    return float(np.max(np.abs(np.mod(d + math.pi, 2 * math.pi) - math.pi)))


def nearest(joints: Array, others: Array) -> float:
    if len(others) == 0:
        return math.inf
    d = (others - joints) * DEG
    return float(np.min(np.max(np.abs(np.mod(d + math.pi, 2 * math.pi) - math.pi), axis=1)))


def polish(robot: ortholink.Crx, joints: Array, target: Array, steps: int = 10) -> Array:
    """Gauss-Newton on our fk with a central-difference Jacobian: settles a nearly valid peer
    solution on the exact one next to it, so that near misses are checked for gaps too."""
    q = np.array(joints, dtype=float)
    h = 1e-5
    for _ in range(steps):
        residual = (robot.fk(q) - target)[:3, :].ravel()
        if np.max(np.abs(residual)) <= 1e-13:
            break
        jacobian = np.empty((12, 6))
        for k in range(6):
            step = np.zeros(6)
            step[k] = h
            jacobian[:, k] = (robot.fk(q + step) - robot.fk(q - step))[:3, :].ravel() / (2 * h)
        q -= np.linalg.lstsq(jacobian, residual, rcond=None)[0]
    return q


def best_of(call: Callable[[], Any], repeat: int) -> tuple[Any, float]:
    best = math.inf
    result = None
    for _ in range(repeat):
        start = time.perf_counter_ns()
        result = call()
        best = min(best, time.perf_counter_ns() - start)
    return result, best * 1e-3


class IkGeoPeer:
    """IK-Geo's two-parallel-axes solver on a product-of-exponentials model of one robot.

    IK-Geo wants the two parallel axes (J2, J3) pointing the same way, so the J3 axis is turned
    over and its angle negated. Its zero configuration is placed at J4 = 30, J5 = 60 (rotation
    angles, degrees): at our zero pose the J4 and J6 axes coincide in direction, a degenerate case
    in which its search finds nothing. Lengths are given in units of 1e-4 mm because its search stops
    on an absolute tolerance: in millimetres its solutions are off by about 3e-5, in these units by
    less than 1e-8. The 3x3 rotation crosses its Python boundary transposed (as its own
    forward_kinematics shows), so it is passed that way.
    """

    name = "IK-Geo two_parallel"
    SIGNS = np.array([1.0, 1.0, -1.0, 1.0, 1.0, 1.0])
    OFFSET = np.array([0.0, 0.0, 0.0, 30.0, 60.0, 0.0]) * DEG
    SCALE = 1e4

    def __init__(self, robot: ortholink.Crx) -> None:
        import ik_geo

        self.robot = robot
        frames = robot.fk_all(to_controller(self.OFFSET))
        rotations = [np.eye(3)] + [f[:3, :3] for f in frames[:5]]
        axes = np.array([self.SIGNS[k] * rotations[k] @ AXES[k] for k in range(6)])
        # Points on the axes: the frame origins, with the J6 axis taken through the J5 origin.
        points = [frames[k][:3, 3] for k in range(5)] + [frames[4][:3, 3]]
        offsets = [points[0]] + [points[k] - points[k - 1] for k in range(1, 6)] + [frames[5][:3, 3] - points[5]]
        self.tool = frames[5][:3, :3]
        self.solver = ik_geo.Robot.two_parallel(axes, np.array(offsets) * self.SCALE)
        self.panics = 0

    def check_model(self, rng: np.random.Generator, count: int = 20) -> float:
        """Largest difference between its forward kinematics and ours on random joints."""
        worst = 0.0
        for _ in range(count):
            q = rng.uniform(-math.pi, math.pi, 6)
            rotation, translation = self.solver.forward_kinematics(q)
            target = self.robot.fk(self.to_joints(q))
            worst = max(
                worst,
                float(np.max(np.abs(np.array(rotation).T @ self.tool - target[:3, :3]))),
                float(np.max(np.abs(np.array(translation) / self.SCALE - target[:3, 3]))),
            )
        return worst

    def to_joints(self, q: Array) -> Array:
        return to_controller(self.SIGNS * np.asarray(q) + self.OFFSET)

    def prepare(self, target: Array) -> tuple[Array, Array]:
        return (target[:3, :3] @ self.tool.T).T.copy(), target[:3, 3] * self.SCALE

    def solve(self, prepared: tuple[Array, Array]) -> list[Any]:
        try:
            return list(self.solver.get_ik(prepared[0], prepared[1]))
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException:  # a Rust panic surfaces as pyo3's PanicException
            self.panics += 1
            return []

    def joints(self, raw: list[Any]) -> list[Array]:
        return [self.to_joints(np.array(q)) for q, _ in raw]


class RtbPeer:
    """roboticstoolbox-python's C++ Levenberg-Marquardt solver, one solve from a fixed seed.

    The model is an elementary-transform sequence in metres with the same axes and offsets as ours,
    flipped axes for J3 to J6 and our fixed flange rotation at the end. Its stop test is on
    0.5 e'e with e the 6-vector of position (m) and rotation error, so the tolerance is set far
    below ours; validity is still judged by our fk.
    """

    name = "roboticstoolbox ik_LM"
    SEED_JOINTS = np.array([0.0, 0.0, 0.0, 0.0, -90.0, 0.0])
    SCALE = 1e-3
    ILIMIT = 100
    TOL = 1e-24

    def __init__(self, robot: ortholink.Crx) -> None:
        import roboticstoolbox as rtb
        from roboticstoolbox import ET

        s = self.SCALE
        ets = (
            ET.Rz()
            * ET.Ry()
            * ET.tz(robot.z1 * s)
            * ET.Ry(flip=True)
            * ET.Rx(flip=True)
            * ET.tx(robot.x1 * s)
            * ET.ty(-robot.y1 * s)
            * ET.Ry(flip=True)
            * ET.tx(robot.x2 * s)
            * ET.Rx(flip=True)
            * ET.Ry(math.pi / 2)
            * ET.Rz(math.pi)
        )
        self.robot = robot
        self.model = rtb.Robot(ets)
        self.ets = self.model.ets()
        self.q0 = to_kinematic(self.SEED_JOINTS)

    def check_model(self, rng: np.random.Generator, count: int = 20) -> float:
        worst = 0.0
        for _ in range(count):
            joints = rng.uniform(-180, 180, 6)
            pose = np.array(self.model.fkine(to_kinematic(joints)).A)
            pose[:3, 3] /= self.SCALE
            worst = max(worst, pose_error(pose, self.robot.fk(joints)))
        return worst

    def prepare(self, target: Array) -> Array:
        scaled = target.copy()
        scaled[:3, 3] *= self.SCALE
        return scaled

    def solve(self, prepared: Array) -> Any:
        return self.ets.ik_LM(
            prepared, q0=self.q0, ilimit=self.ILIMIT, slimit=1, tol=self.TOL, joint_limits=False, method="chan"
        )

    def joints(self, raw: Any) -> list[Array]:
        # Judged by our fk like every peer, whatever its own success flag says.
        return [to_controller(np.array(raw.q))]


@dataclass
class Tally:
    """What one solver did on one model."""

    times: list[float] = field(default_factory=list)
    returned: int = 0  # solutions handed back
    valid: int = 0  # of those, reproducing the target within ACCEPT
    near: int = 0  # not valid but within NEAR; polished and checked for gaps as well
    near_polished: int = 0  # of those, valid after polishing
    near_agree: int = 0  # of those, among ortholink's
    agree: int = 0  # of the valid ones, among ortholink's
    agree_polished: int = 0  # of those, only once polished onto the exact solution
    targets_with_valid: int = 0
    found_ours: int = 0  # ortholink solutions this peer also found (valid, within SAME)
    worst_error: float = 0.0
    counts: Counter[int] = field(default_factory=Counter)


@dataclass
class Gap:
    model: str
    peer: str
    target: list[list[float]]
    peer_joints: list[float]
    peer_error: float
    distance: float
    polished: bool
    ours: list[list[float]]


def percentile(values: list[float], p: float) -> float:
    return float(np.percentile(np.array(values), p)) if values else math.nan


def run_model(
    model: str, count: int, seed: int, repeat: int, peers_wanted: list[str], gaps: list[Gap]
) -> dict[str, Any]:
    robot = ortholink.Crx.from_model(getattr(ortholink.CrxModel, model))
    rng = np.random.default_rng([seed, MODELS.index(model)])
    generators = rng.uniform(-180.0, 180.0, (count, 6))
    targets = [robot.fk(j) for j in generators]

    peers: list[Any] = []
    checks: dict[str, float] = {}
    check_rng = np.random.default_rng([seed, MODELS.index(model), 1])
    if "ikgeo" in peers_wanted:
        peers.append(IkGeoPeer(robot))
    if "rtb" in peers_wanted:
        peers.append(RtbPeer(robot))
    solved_checks: dict[str, str] = {}
    for peer in peers:
        checks[peer.name] = peer.check_model(check_rng)
        if checks[peer.name] > 1e-9:
            sys.exit(f"{model}: the {peer.name} model disagrees with Crx.fk by {checks[peer.name]:.3g}")
        # Before timing: its solutions must reproduce targets through our fk, or the mapping is wrong.
        found = [(t, j) for t in targets[:20] for j in peer.joints(peer.solve(peer.prepare(t)))]
        valid = sum(pose_error(robot.fk(j), t) <= ACCEPT for t, j in found)
        solved_checks[peer.name] = f"{valid} of {len(found)} solutions on {min(20, count)} targets valid"
        if valid == 0:
            sys.exit(f"{model}: no {peer.name} solution reproduces a target through Crx.fk")

    ours = Tally()
    generator_missed = 0
    tallies = {peer.name: Tally() for peer in peers}
    gc.disable()
    try:
        for index, target in enumerate(targets):
            solutions, elapsed = best_of(lambda: robot.ik(target), repeat)
            ours.times.append(elapsed)
            ours.returned += len(solutions)
            ours.counts[len(solutions)] += 1
            for s in solutions:
                error = pose_error(robot.fk(s), target)
                ours.worst_error = max(ours.worst_error, error)
                ours.valid += error <= ACCEPT
            if nearest(generators[index], solutions) >= SAME:
                generator_missed += 1

            for peer in peers:
                tally = tallies[peer.name]
                prepared = peer.prepare(target)
                raw, elapsed = best_of(lambda: peer.solve(prepared), repeat)
                tally.times.append(elapsed)
                found = peer.joints(raw)
                tally.returned += len(found)
                tally.counts[len(found)] += 1
                matched: set[int] = set()
                any_valid = False
                for joints in found:
                    error = pose_error(robot.fk(joints), target)
                    polished = False
                    if ACCEPT < error <= NEAR:
                        tally.near += 1
                        joints = polish(robot, joints, target)
                        error = pose_error(robot.fk(joints), target)
                        if error > ACCEPT:
                            continue
                        tally.near_polished += 1
                        polished = True
                        if nearest(joints, solutions) < SAME:
                            tally.near_agree += 1
                        else:
                            gaps.append(Gap(model, peer.name, target.tolist(), joints.tolist(), error,
                                            nearest(joints, solutions), True, solutions.tolist()))
                        continue
                    if error > ACCEPT:
                        continue
                    any_valid = True
                    tally.valid += 1
                    tally.worst_error = max(tally.worst_error, error)
                    distance = nearest(joints, solutions)
                    if distance >= SAME:
                        # Near a singular configuration a pose error under 1e-8 still allows joints
                        # well over 1e-6 rad off the exact solution: compare the exact one.
                        exact = polish(robot, joints, target)
                        if pose_error(robot.fk(exact), target) <= ACCEPT and nearest(exact, solutions) < SAME:
                            tally.agree_polished += 1
                            joints, distance = exact, nearest(exact, solutions)
                    if distance < SAME:
                        tally.agree += 1
                        d = (solutions - joints) * DEG
                        dist = np.max(np.abs(np.mod(d + math.pi, 2 * math.pi) - math.pi), axis=1)
                        matched.add(int(np.argmin(dist)))
                    else:
                        gaps.append(
                            Gap(model, peer.name, target.tolist(), joints.tolist(), error, distance, polished,
                                solutions.tolist())
                        )
                tally.found_ours += len(matched)
                tally.targets_with_valid += any_valid
    finally:
        gc.enable()

    return {
        "model": model,
        "count": count,
        "ours": ours,
        "generator_missed": generator_missed,
        "peers": tallies,
        "checks": checks,
        "solved_checks": solved_checks,
        "panics": {peer.name: getattr(peer, "panics", 0) for peer in peers},
    }


def run_core_bench(binary: Path, count: int) -> str | None:
    if not binary.exists():
        return None
    out = subprocess.run([str(binary), str(count)], check=True, capture_output=True, text=True).stdout
    return out.strip()


def machine() -> list[str]:
    cpu = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    os_name = platform.platform()
    try:
        release = dict(
            line.split("=", 1) for line in Path("/etc/os-release").read_text().splitlines() if "=" in line
        )
        os_name = f"{release.get('PRETTY_NAME', '').strip(chr(34))}, Linux {platform.release()}"
    except OSError:
        pass

    def version(name: str) -> str:
        try:
            return metadata.version(name)
        except metadata.PackageNotFoundError:
            return "not installed"

    try:
        revision = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"], capture_output=True,
                                  text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        revision = "unknown"
    return [
        f"CPU: {cpu}, {os.cpu_count()} logical cores",
        f"OS: {os_name}",
        f"Python {platform.python_version()}, NumPy {np.__version__}",
        f"ortholink {version('ortholink')} (clone at {revision}), ik-geo {version('ik-geo')}, "
        f"roboticstoolbox-python {version('roboticstoolbox-python')}",
    ]


def fmt_us(value: float) -> str:
    return f"{value:,.1f}" if value < 100 else f"{value:,.0f}"


def report(results: list[dict[str, Any]], core: str | None, args: argparse.Namespace) -> None:
    print()
    for line in machine():
        print(f"- {line}")
    print(f"- {args.count} targets per model, seed {args.seed}, best of {args.repeat} calls per target")
    print()
    print("| Model | Solver | Median (us) | p99 (us) | Time / ours | Solutions per target | Valid | Agree with ours "
          "| Ours found |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|")
    for r in results:
        ours: Tally = r["ours"]
        median_ours = percentile(ours.times, 50)
        print(
            f"| {r['model']} | ortholink Crx.ik | {fmt_us(median_ours)} | {fmt_us(percentile(ours.times, 99))} | 1 "
            f"| {ours.returned / r['count']:.2f} | {ours.valid / max(ours.returned, 1):.2%} | - | - |"
        )
        for name, tally in r["peers"].items():
            median = percentile(tally.times, 50)
            print(
                f"| {r['model']} | {name} | {fmt_us(median)} | {fmt_us(percentile(tally.times, 99))} "
                f"| {median / median_ours:.1f} | {tally.returned / r['count']:.2f} "
                f"| {tally.valid / max(tally.returned, 1):.2%} | {tally.agree / max(tally.valid, 1):.2%} "
                f"| {tally.found_ours / max(ours.returned, 1):.1%} |"
            )
    print()
    print("Valid: share of the solutions returned that reproduce the target within 1e-8 through Crx.fk.")
    print("Agree with ours: share of the valid ones that ortholink also returns (within 1e-6 rad).")
    print("Ours found: share of ortholink's solutions that the peer also found.")
    print()
    for r in results:
        ours = r["ours"]
        hist = ", ".join(f"{n}: {c}" for n, c in sorted(ours.counts.items()))
        extra = [f"ortholink solution counts {{{hist}}}", f"worst residual {ours.worst_error:.1e}",
                 f"generating vector missed {r['generator_missed']}"]
        for name, tally in r["peers"].items():
            if name.startswith("roboticstoolbox"):
                extra.append(f"{name} success {tally.targets_with_valid / r['count']:.1%}")
            else:
                extra.append(f"{name}: a valid solution on {tally.targets_with_valid / r['count']:.1%} of targets")
            if tally.agree_polished:
                extra.append(f"{name}: {tally.agree_polished} valid solutions more than 1e-6 rad from ours that "
                             "land on one of ours once polished")
            if tally.near:
                extra.append(f"{name}: {tally.near} nearly valid solutions, {tally.near_polished} valid after "
                             f"polishing, {tally.near_agree} of them among ours")
            if r["panics"].get(name):
                extra.append(f"{name} raised on {r['panics'][name]} targets")
        checks = ", ".join(f"{k} {v:.0e} ({r['solved_checks'][k]})" for k, v in r["checks"].items())
        print(f"- {r['model']}: " + "; ".join(extra) + f"; model check against Crx.fk: {checks}")
    if core is not None:
        print()
        print("C++ core ik (bench/ik_bench):")
        for line in core.splitlines():
            print(f"    {line}")
        # Best-of-several lines when the benchmark prints them (the Python times are best-of too);
        # the lower median of the two runs is the one less disturbed by other processes.
        medians = [float(m) for m in re.findall(r"best of.*?median ([0-9.]+) us", core)] or [
            float(m) for m in re.findall(r"median ([0-9.]+) us", core)
        ]
        tenia = next((r for r in results if r["model"] == "Crx10iA"), None)
        if medians and tenia is not None:
            core_median = min(medians)
            print(f"  core median used for the ratios: {core_median:.2f} us")
            ratio = percentile(tenia["ours"].times, 50) / core_median
            print(f"  Crx.ik from Python on CRX-10iA: {ratio:.2f} x the core")
            for name, tally in tenia["peers"].items():
                print(f"  {name} on CRX-10iA: {percentile(tally.times, 50) / core_median:.0f} x the core")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=10_000, help="targets per model (default 10000)")
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--repeat", type=int, default=3, help="calls per target, the fastest is kept")
    parser.add_argument("--models", nargs="+", choices=MODELS, default=MODELS)
    parser.add_argument("--peers", nargs="+", choices=["ikgeo", "rtb"], default=["ikgeo", "rtb"])
    parser.add_argument("--ik-bench", type=Path, default=ROOT / "build-peers" / "bench" / "ik_bench",
                        help="the built C++ benchmark (skipped when missing)")
    parser.add_argument("--gaps-out", type=Path, help="write completeness gaps here as JSON")
    args = parser.parse_args()
    if args.count < 1 or args.repeat < 1:
        parser.error("--count and --repeat must be positive")

    # The core benchmark runs before and after the Python timings: on a shared machine the load can change.
    core_before = run_core_bench(args.ik_bench, args.count)
    gaps: list[Gap] = []
    results = []
    for model in args.models:
        start = time.perf_counter()
        results.append(run_model(model, args.count, args.seed, args.repeat, args.peers, gaps))
        print(f"{model}: {time.perf_counter() - start:.0f} s", file=sys.stderr, flush=True)
    core_after = run_core_bench(args.ik_bench, args.count)
    core = None
    if core_before is not None and core_after is not None:
        core = core_before + "\n(run again afterwards)\n" + core_after
    report(results, core, args)

    print()
    print(f"Completeness gaps (a valid peer solution that ortholink does not return): {len(gaps)}")
    for gap in gaps:
        how = "after polishing, " if gap.polished else ""
        print(f"- {gap.model}, {gap.peer}: joints {gap.peer_joints!r}, {how}error {gap.peer_error:.2e}, "
              f"nearest of ours {gap.distance:.2e} rad")
        print(f"  target {gap.target!r}")
    if args.gaps_out is not None and gaps:
        args.gaps_out.write_text(json.dumps([gap.__dict__ for gap in gaps], indent=1) + "\n")


if __name__ == "__main__":
    main()
