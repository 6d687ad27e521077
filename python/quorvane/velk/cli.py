"""The ``velk`` command.

Exit codes: 0 success, 1 calibration failed (the verdict is printed), 2 bad usage
or unreadable input. Errors are one line on standard error, ``velk: error: ...``;
``--debug`` shows the traceback instead.
"""

from __future__ import annotations

import argparse
import sys

from .commands import errors, output_locks

EXIT_OK = 0
EXIT_FAILED = errors.EXIT_FAILED
EXIT_USAGE = errors.EXIT_USAGE


class _Parser(argparse.ArgumentParser):
    """Reports usage errors as one line and exit code 2."""

    def error(self, message):
        raise errors.UsageError(message)


def _common_options() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--quiet", action="store_true", help="no progress bars")
    common.add_argument("--debug", action="store_true", help="show the traceback of an error")
    return common


def _add_demo(commands, common) -> None:
    demo = commands.add_parser("demo", parents=[common],
                               help="eye-in-hand calibration of a simulated robot camera")
    demo.add_argument("--output", default="velk-demo-output", help="folder for hand_eye.json (default: %(default)s)")
    demo.add_argument("--poses", type=int, default=15, help="number of robot poses (default: %(default)s)")
    demo.add_argument("--method", default="TSAI",
                      choices=["TSAI", "PARK", "HORAUD", "ANDREFF", "DANIILIDIS", "SHAH", "LI"])
    demo.add_argument("--setup", default="eye-in-hand", choices=["eye-in-hand", "eye-to-hand"],
                      help="camera on the flange (default) or a stationary camera with the board on the flange")
    demo.add_argument("--seed", type=int, default=7)
    demo.add_argument("--refine", action=argparse.BooleanOptionalAction, default=True,
                      help="refine the closed-form result over all corners (default: on)")
    demo.add_argument("--camera-model", choices=("pinhole", "fisheye"), default="pinhole",
                      help="simulated lens: a pinhole camera (default) or a 160-degree fisheye lens")
    demo.set_defaults(run=_run_demo)


def _run_demo(args) -> int:
    from .demo import run_demo

    result = run_demo(output_dir=args.output, num_poses=args.poses, method=args.method, seed=args.seed,
                      setup=args.setup, refine=args.refine, camera_model=args.camera_model)
    return EXIT_OK if result.ok else EXIT_FAILED


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``velk`` command and all its subcommands."""
    from .commands import board, cell, check, hand_eye, import_bag, intrinsics, kinematics, plan, poses, rig

    parser = _Parser(prog="velk", description="quorvane-velk camera calibration tools.")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    common = _common_options()
    _add_demo(commands, common)
    for command in (board, poses, import_bag, check, intrinsics, hand_eye, rig, cell, plan, kinematics):
        command.add_parser(commands, common)
    return parser


def _wants_debug(argv) -> bool:
    return "--debug" in (sys.argv[1:] if argv is None else argv)


def main(argv=None) -> int:
    """Entry of the ``velk`` command: parses ``argv`` (default: the process arguments), returns the exit status."""
    try:
        args = build_parser().parse_args(argv)
        return args.run(args)
    except errors.CommandError as error:
        if _wants_debug(argv):
            raise
        print(f"velk: error: {error}", file=sys.stderr)
        return error.exit_code
    except (OSError, ValueError, RuntimeError) as error:
        if _wants_debug(argv):
            raise
        print(f"velk: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    finally:
        output_locks.release_all()


if __name__ == "__main__":
    sys.exit(main())
