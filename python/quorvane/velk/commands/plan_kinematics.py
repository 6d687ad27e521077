"""``velk plan --model FILE``: joint configurations chosen for the hand-eye calibration through the arm's chain,
with the predicted 1-sigma of the chain's corrections and of the two mounts.

The configurations are written as a joint table (row k pairs with image_k) and, beside it, as the flange
poses of the nominal chain in the pose file format, so the arm can be driven either way.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np

from .. import kinematic_planning, planning
from ..joint_table import ANGLE_UNITS, write_joint_table
from ..kinematic_models import UrdfChain, load_model
from . import numbers
from .errors import UsageError

DEFAULT_SPREAD_DEG = 30.0


def add_options(parser) -> None:
    """The options of a plan of joint configurations."""
    group = parser.add_argument_group("joint configurations (plan through the arm's kinematic chain)")
    group.add_argument("--model", metavar="FILE",
                       help="plan joint configurations through this chain: a DH table (.yaml) or a URDF "
                            "(with --base-link, --flange-link)")
    group.add_argument("--base-link", help="URDF link the chain starts from")
    group.add_argument("--flange-link", help="URDF link the chain ends at")
    group.add_argument("--home", type=numbers.finite, nargs="+", metavar="Q",
                       help="the configuration the pictures are taken about, one value per joint")
    group.add_argument("--joint-units", default="rad", choices=tuple(ANGLE_UNITS),
                       help="units of the revolute joints in --home (prismatic joints in m; default: rad)")
    group.add_argument("--joint-spread", type=numbers.positive, nargs="+", default=[DEFAULT_SPREAD_DEG], metavar="DEG",
                       help="how far each joint moves either way from home: one value or one per joint, deg for "
                            "a revolute joint, mm for a prismatic one (default: %(default)s)")
    group.add_argument("--kinematics", default="offsets", choices=("offsets", "full"),
                       help="offsets: the joints' zero offsets; full: the links' geometry as well (default: offsets)")


def _refuse_pose_options(args) -> None:
    for name, given in (("--predict", args.predict), ("--next", args.next), ("--candidate-file", args.candidate_file),
                        ("--report", args.report)):
        if given:
            raise UsageError(f"plan: {name} plans flange poses; it does not combine with --model")
    if not args.output:
        raise UsageError("plan: -o JOINTS_CSV is required to plan joint configurations")
    if args.poses < 3:
        raise UsageError("plan: a plan of joint configurations needs at least 3 of them")


def _chain(args):
    try:
        model = load_model(args.model, args.base_link, args.flange_link)
    except (OSError, ValueError) as error:
        raise UsageError(f"plan: {error}") from None
    return model.chain if isinstance(model, UrdfChain) else model


def _per_joint(values, count: int, what: str) -> np.ndarray:
    if len(values) not in (1, count):
        raise UsageError(f"plan: {what} takes one value or one per joint ({count}), got {len(values)}")
    return np.broadcast_to(np.asarray(values, dtype=np.float64), (count,)).copy()


def joint_ranges(args, chain) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Home and the lowest and highest value of every joint (rad, m)."""
    links = list(chain.links)
    if args.home is None or len(args.home) != len(links):
        given = 0 if args.home is None else len(args.home)
        raise UsageError(f"plan: --home takes one value per joint of the chain ({len(links)}), got {given}")
    revolute = np.array([link.type == "revolute" for link in links])
    home = np.asarray(args.home, dtype=np.float64)
    home[revolute] *= ANGLE_UNITS[args.joint_units]
    spread = _per_joint(args.joint_spread, len(links), "--joint-spread")
    spread = np.where(revolute, np.radians(spread), spread / 1000.0)
    if np.any(spread <= 0):
        raise UsageError("plan: --joint-spread must be positive")
    low, high = kinematic_planning.joint_ranges(home, spread)
    return home, low, high


def _value_text(parameter) -> str:
    if not parameter.determined:
        return f"not determined: {parameter.reason}"
    unit, scale = ("deg", np.degrees(1.0)) if parameter.angular else ("mm", 1000.0)
    return f"{parameter.sigma * scale:.4f} {unit}"


def _print_plan(plan, eye_to_hand: bool, mode: str) -> None:
    print(f"{plan.usable_candidates} of {plan.candidates} drawn joint configurations see enough of the board")
    for k, corners in enumerate(plan.corners_seen):
        print(f"  configuration {k + 1:3d}: {corners} corners seen")
    camera, target = ("robot_T_camera", "tcp_T_target") if eye_to_hand else ("tcp_T_camera", "world_T_target")
    print(f"Predicted 1-sigma after the {len(plan.joints)} configurations (corrections: {mode}; the intrinsics "
          "taken as given):")
    print(f"  {camera}: {planning.sigma_text(plan.camera_sigma)}")
    print(f"  {target}: {planning.sigma_text(plan.target_sigma)}")
    width = max(len(p.name) for p in plan.parameters)
    for parameter in plan.parameters:
        print(f"  {parameter.name:{width}s}  {_value_text(parameter)}")
    if not any(p.determined for p in plan.parameters):
        print("No correction of the chain is determined by these configurations: widen --joint-spread")


def flange_pose_file(table) -> Path:
    """The flange poses written beside the joint table ``table``."""
    table = Path(table)
    return table.with_name(f"{table.stem}-flange-poses.csv")


def _write(args, chain, plan) -> None:
    table = Path(args.output)
    table.parent.mkdir(parents=True, exist_ok=True)
    names = [link.name for link in chain.links]
    write_joint_table(table, plan.joints, names if all(names) else None)
    poses = planning.write_poses(flange_pose_file(table), plan.robot_T_tcp, args.format)
    print(f"Joint table written to {table} (row k pairs with image_k; revolute joints in rad)")
    print(f"Flange poses through the nominal chain written to {poses} (velk poses import {poses} --format "
          f"{args.format} -o DATASET_DIR)")


def run(args, scene) -> int:
    """Plans the joint configurations, prints their predicted 1-sigma and writes the joint table and poses."""
    _refuse_pose_options(args)
    chain = _chain(args)
    _, low, high = joint_ranges(args, chain)
    try:
        plan = kinematic_planning.plan_configurations(chain, scene, low, high, args.poses, args.kinematics,
                                                      args.candidates)
    except ValueError as error:
        raise UsageError(f"plan: {error}") from None
    _print_plan(plan, scene.eye_to_hand, args.kinematics)
    _write(args, chain, plan)
    return 0
