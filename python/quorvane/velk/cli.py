"""The ``velk`` command."""

from __future__ import annotations

import argparse
import sys


def main(argv=None) -> int:
    """Entry of the ``velk`` command: parses ``argv`` (default: the process arguments), returns the exit status."""
    parser = argparse.ArgumentParser(prog="velk", description="quorvane-velk camera calibration tools.")
    commands = parser.add_subparsers(dest="command", required=True)
    demo = commands.add_parser("demo", help="eye-in-hand calibration of a simulated robot camera")
    demo.add_argument("--output", default="velk-demo-output", help="folder for hand_eye.json (default: %(default)s)")
    demo.add_argument("--poses", type=int, default=15, help="number of robot poses (default: %(default)s)")
    demo.add_argument("--method", default="TSAI",
                      choices=["TSAI", "PARK", "HORAUD", "ANDREFF", "DANIILIDIS", "SHAH", "LI"])
    demo.add_argument("--setup", default="eye-in-hand", choices=["eye-in-hand", "eye-to-hand"],
                      help="camera on the flange (default) or a stationary camera with the board on the flange")
    demo.add_argument("--seed", type=int, default=7)
    args = parser.parse_args(argv)

    from .demo import run_demo

    result = run_demo(output_dir=args.output, num_poses=args.poses, method=args.method, seed=args.seed,
                      setup=args.setup)
    return 0 if result.ok else 1


if __name__ == "__main__":
    sys.exit(main())
