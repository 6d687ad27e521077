"""``velk kinematics``: a chain's zero offsets (and link corrections) with the two unknown transforms,
from measured poses."""

from __future__ import annotations

from pathlib import Path

import numpy as np

from ..kinematic_models import (
    GUESSES_FILE,
    MEASUREMENTS_FILE,
    UrdfChain,
    calibrate,
    load_measured_poses,
    load_model,
    load_pose_guesses,
    write_corrected_urdf,
    write_corrections_yaml,
)
from ..verdict import judge_kinematics
from . import output_paths
from .errors import UsageError


def add_parser(commands, common) -> None:
    parser = commands.add_parser("kinematics", parents=[common],
                                 help="calibrate a chain's kinematics and its two transforms from measured poses")
    parser.add_argument("measurements", metavar="MEASUREMENTS",
                        help="measurements.yaml, or the folder holding it (and pose_initial_guesses.yaml)")
    parser.add_argument("--model", required=True, metavar="FILE",
                        help="the nominal chain: a DH table (.yaml) or a URDF (with --base-link, --flange-link)")
    parser.add_argument("--base-link", help="URDF link the chain starts from")
    parser.add_argument("--flange-link", help="URDF link the chain ends at")
    parser.add_argument("--kinematics", default="offsets", choices=("offsets", "full"),
                        help="offsets: the joints' zero offsets; full: the links' geometry as well (default: offsets)")
    parser.add_argument("--guesses", metavar="FILE",
                        help=f"starting values of the two transforms (default: {GUESSES_FILE} beside the measurements)")
    parser.add_argument("--folds", type=int, default=5, help="folds of the held-out prediction (default: 5)")
    parser.add_argument("-o", "--output", metavar="FILE", help="write the corrections and transforms as YAML")
    parser.add_argument("--urdf-output", metavar="FILE", help="write the URDF with corrected joint origins")
    parser.set_defaults(run=run)


def _guesses_path(args) -> Path:
    if args.guesses:
        return Path(args.guesses)
    folder = Path(args.measurements)
    folder = folder if folder.is_dir() else folder.parent
    if not (folder / GUESSES_FILE).is_file():
        raise UsageError(f"no {GUESSES_FILE} beside {args.measurements}: give the starting values with --guesses")
    return folder / GUESSES_FILE


def parameter_line(parameter) -> str:
    """A correction with its 1-sigma, in deg or mm."""
    unit, scale = ("deg", np.degrees(1.0)) if parameter.angular else ("mm", 1000.0)
    return f"  {parameter.name}: {parameter.value * scale:+.4f} {unit} +- {parameter.sigma * scale:.4f} {unit}"


def _transform_line(name: str, transform, sigma) -> str:
    t = np.asarray(transform)[:3, 3] * 1000.0
    return (f"  {name}: translation [{t[0]:.2f}, {t[1]:.2f}, {t[2]:.2f}] mm +- {sigma.translation_norm_mm:.3f} mm, "
            f"rotation +- {sigma.rotation_norm_deg:.4f} deg")


def _error_rows(result) -> list[str]:
    rows = [f"  {'errors':34s} {'mean mm':>8s} {'RMS mm':>8s} {'mean deg':>9s} {'RMS deg':>8s}"]
    for label, s in (("fit, nominal", result.nominal_fit), ("fit, calibrated", result.calibrated_fit),
                     (f"held out ({result.folds} folds), nominal", result.nominal_held_out),
                     (f"held out ({result.folds} folds), calibrated", result.calibrated_held_out)):
        rows.append(f"  {label:34s} {s.mean_position_mm:8.3f} {s.rms_position_mm:8.3f} "
                    f"{s.mean_orientation_deg:9.4f} {s.rms_orientation_deg:8.4f}")
    return rows


def check_outputs(args) -> None:
    """Refuses outputs that would overwrite an input or each other, before any work."""
    measurements = Path(args.measurements)
    folder = measurements if measurements.is_dir() else measurements.parent
    inputs = {"the measurements": folder / MEASUREMENTS_FILE if measurements.is_dir() else measurements,
              "the --model file": args.model, "the starting values": args.guesses or folder / GUESSES_FILE}
    output_paths.check_outputs("kinematics", {"-o": args.output, "--urdf-output": args.urdf_output}, inputs)


def run(args) -> int:
    check_outputs(args)
    if args.urdf_output and Path(args.model).suffix.lower() in (".yaml", ".yml"):
        raise UsageError("--urdf-output needs a URDF model")
    model = load_model(args.model, args.base_link, args.flange_link)
    measured = load_measured_poses(args.measurements)
    mount, carrier = load_pose_guesses(_guesses_path(args))
    result = calibrate(model, measured, mount, carrier, args.kinematics, args.folds)
    where = "fixed sensor, target on the chain" if measured.setup == "sensor_fixed" else "sensor on the chain"
    print(f"Kinematic calibration ({args.kinematics}) of {args.model} from {len(measured.keys)} measured poses "
          f"({where})")
    estimated = [p for p in result.parameters if p.estimated]
    held = [p for p in result.parameters if not p.estimated]
    print("Estimated corrections (1-sigma):" if estimated else "Estimated corrections: none")
    for parameter in estimated:
        print(parameter_line(parameter))
    if held:
        print("Undetermined, held at their nominal values:")
        for parameter in held:
            print(f"  {parameter.name}: {parameter.held_reason}")
    print("Transforms (1-sigma):")
    print(_transform_line(result.mount_name, result.mount, result.mount_sigma))
    print(_transform_line(result.carrier_name, result.carrier, result.carrier_sigma))
    print(f"Noise per axis estimated from the residuals: {result.translation_noise_mm:.3f} mm, "
          f"{result.rotation_noise_deg:.4f} deg")
    print("\n".join(_error_rows(result)))
    if args.output:
        write_corrections_yaml(args.output, result, args.kinematics)
        print(f"Wrote {args.output}")
    if args.urdf_output:
        assert isinstance(model, UrdfChain)
        write_corrected_urdf(args.urdf_output, model, result.corrected_chain)
        print(f"Wrote {args.urdf_output}")
    verdict = judge_kinematics(result)
    print(verdict.summary(), end="")
    return verdict.code
