"""Drawing of an ortholink `Trajectory` with matplotlib (which ortholink itself does not need).

`Trajectory.plot(path=None)` calls `plot_trajectory`: joint angles, velocities and accelerations
against time, one colour per joint, with each joint's velocity and acceleration limits drawn as
dashed lines of its colour.
"""

from __future__ import annotations

import os
from typing import Any

__all__ = ["plot_trajectory"]


def plot_trajectory(trajectory: Any, path: str | os.PathLike[str] | None = None) -> Any:
    """The figure of `trajectory`; with `path`, also saved there (the format from its suffix).

    Without `path` the figure is pyplot's, for `plt.show()`; with one it is a figure of its own,
    which pyplot does not keep open, so that saving many leaves nothing behind.
    """
    if path is not None and os.path.isdir(path):
        raise IsADirectoryError(f"argument 'path': {os.fspath(path)!r} is a directory, expected a file name")
    try:
        import matplotlib

        if path is None:
            import matplotlib.pyplot as plt
        else:
            from matplotlib.figure import Figure
    except ModuleNotFoundError as error:  # pragma: no cover - depends on the environment
        message = "Trajectory.plot needs matplotlib: pip install matplotlib"
        raise ModuleNotFoundError(message, name="matplotlib") from error

    time = trajectory.time
    if path is None:
        figure, axes = plt.subplots(3, 1, sharex=True, figsize=(10, 8), constrained_layout=True)
    else:
        figure = Figure(figsize=(10, 8), constrained_layout=True)
        axes = figure.subplots(3, 1, sharex=True)
    colours = matplotlib.rcParams["axes.prop_cycle"].by_key()["color"]
    panels = (
        (trajectory.joints, None, "joint (°)"),
        (trajectory.velocity, trajectory.max_speed, "velocity (°/s)"),
        (trajectory.acceleration, trajectory.max_acceleration, "acceleration (°/s²)"),
    )
    for axis, (values, limits, label) in zip(axes, panels):
        for j in range(6):
            colour = colours[j % len(colours)]
            axis.plot(time, values[:, j], color=colour, linewidth=1.2, label=f"J{j + 1}")
            if limits is not None:
                for sign in (1.0, -1.0):
                    axis.axhline(sign * limits[j], color=colour, linestyle="--", linewidth=0.7, alpha=0.7)
        axis.set_ylabel(label)
        axis.grid(True, alpha=0.3)
    axes[0].legend(loc="upper right", ncol=6, fontsize="small")
    title = f"{trajectory.duration:.3f} s, sampled every {trajectory.period * 1000:g} ms"
    if trajectory.tcp_speed is not None:
        title += f", TCP at most {trajectory.tcp_speed:g} mm/s"
    axes[0].set_title(title + " (dashed: limits)")
    axes[-1].set_xlabel("time (s)")
    if path is not None:
        figure.savefig(os.fspath(path), dpi=100)
    return figure
