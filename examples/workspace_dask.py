"""A reachability study spread over Dask workers.

Every worker receives a pickled `Crx` and a chunk of targets, and counts the inverse kinematics
solutions of each with `Crx.ik_many`. Runs on Dask's local scheduler by default; point `DASK_SCHEDULER`
at a cluster's address to spread it wider.

    pip install "dask[distributed]"
    python examples/workspace_dask.py
"""

import os

import numpy as np
import numpy.typing as npt

import ortholink


def solution_counts(robot: ortholink.Crx, targets: npt.NDArray[np.float64]) -> npt.NDArray[np.int64]:
    batch = robot.ik_many(targets)
    counts: npt.NDArray[np.int64] = np.diff(batch.offsets)
    return counts


def grid(spacing: float = 100.0) -> npt.NDArray[np.float64]:
    """Flange positions on a grid around the robot, tool pointing down."""
    axis = np.arange(-1400.0, 1400.0 + spacing, spacing)
    x, y, z = np.meshgrid(axis, axis, np.arange(-600.0, 1600.0 + spacing, spacing), indexing="ij")
    rows = np.stack([x.ravel(), y.ravel(), z.ravel()], axis=1)
    xyzwpr = np.column_stack([rows, np.full(len(rows), 180.0), np.zeros(len(rows)), np.zeros(len(rows))])
    poses: npt.NDArray[np.float64] = ortholink.Crx.pose_from_xyzwpr(xyzwpr)
    return poses


def main() -> None:
    import dask
    from dask import delayed

    robot = ortholink.Crx.crx10ia()
    targets = grid()
    chunks = np.array_split(targets, 16)
    tasks = [delayed(solution_counts)(robot, chunk) for chunk in chunks]
    scheduler = os.environ.get("DASK_SCHEDULER")
    if scheduler:
        from dask.distributed import Client

        with Client(scheduler):
            parts = dask.compute(*tasks)
    else:
        parts = dask.compute(*tasks, scheduler="processes", num_workers=2)
    counts = np.concatenate(parts)
    # The same study on this process gives the same answer.
    assert np.array_equal(counts, solution_counts(robot, targets))
    reachable = counts > 0
    print(f"{len(targets)} poses, {reachable.sum()} reachable with the tool pointing down")
    values, poses = np.unique(counts[reachable], return_counts=True)
    print("solutions per reachable pose:", ", ".join(f"{v} solutions: {p} poses" for v, p in zip(values, poses)))


if __name__ == "__main__":
    main()
