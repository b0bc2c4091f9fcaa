#!/usr/bin/env python3
"""Records a started move of the simulated stage and plots position and speed against time.

    /usr/bin/python3 Python/examples/plot_move.py --output move.png

(Debian's python3, for which python3-matplotlib is installed; another python3 needs matplotlib
of its own.)

The X axis runs 20 mm with the simulated controller's acceleration ramps; the plot shows the
trapezoidal speed profile. Settings stay in memory unless PLINTH_CONFIG says otherwise.
"""

import argparse
import os
import sys
import time

os.environ.setdefault("PLINTH_CONFIG", ":memory:")  # read when the library loads
os.environ.setdefault("MPLBACKEND", "Agg")  # no display needed

try:
    import matplotlib.pyplot as plt  # noqa: E402
except ModuleNotFoundError:
    raise SystemExit(f"plot_move: {sys.executable} has no matplotlib; run it with /usr/bin/python3 "
                     "(Debian's python3-matplotlib) or install matplotlib for this Python") from None

import plinth  # noqa: E402


def record(stage: plinth.Stage, distance: plinth.Quantity, interval_s: float):
    """Starts a move of X by `distance` and samples its position until it has ended."""
    start = stage.position("x")
    times, positions = [], []
    began = time.monotonic()
    move = stage.move(x=start + distance, wait=False)
    while True:
        done = move.done()
        times.append(time.monotonic() - began)
        positions.append(stage.position("x").to("mm").value)
        if done:
            return times, positions
        time.sleep(interval_s)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default="plot_move.png", help="PNG file to write")
    parser.add_argument("--distance", default="20mm", help="how far X moves, with its unit")
    parser.add_argument("--time-scale", type=float, default=4.0, help="simulated seconds per real second")
    args = parser.parse_args()

    with plinth.Stage("sim", settings={plinth.sim.TIME_SCALE: args.time_scale}) as stage:
        stage.set_limits("x", "-50mm", "50mm")
        stage.move(x=0)
        times, positions = record(stage, plinth.Quantity.parse(args.distance), interval_s=0.01)

    simulated = [t * args.time_scale for t in times]
    speeds = [(positions[i + 1] - positions[i]) / (simulated[i + 1] - simulated[i]) for i in range(len(times) - 1)]
    figure, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(7, 5))
    top.plot(simulated, positions, ".-", markersize=3)
    top.set_ylabel("X position (mm)")
    top.set_title(f"Started move of {args.distance} on the simulated stage")
    bottom.step(simulated[1:], speeds, where="pre")
    bottom.set_ylabel("speed (mm/s)")
    bottom.set_xlabel("simulated time (s)")
    figure.tight_layout()
    figure.savefig(args.output, dpi=100)
    print(f"{len(times)} samples over {simulated[-1]:.2f} s simulated; plot saved to {args.output}")


if __name__ == "__main__":
    main()
