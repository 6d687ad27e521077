"""The hand-eye options that give translations of the flange-side transform the robot's motions cannot
determine (--fix, --prior), and the lines that say how each was set."""

from __future__ import annotations

import argparse
import math
from types import SimpleNamespace

from . import numbers
from .errors import UsageError

COMPONENTS = ("tx", "ty", "tz")


def _component(text: str) -> tuple[str, str]:
    name, equals, value = text.partition("=")
    if not equals or name not in COMPONENTS:
        raise argparse.ArgumentTypeError(f"{text!r} is not COMPONENT=VALUE with COMPONENT one of "
                                         f"{', '.join(COMPONENTS)}")
    return name, value


def fixed_component(text: str) -> tuple[str, float]:
    """``tz=0.052``: the component and its value in metres."""
    name, value = _component(text)
    return name, numbers.finite(value)


def prior_component(text: str) -> tuple[str, tuple[float, float]]:
    """``tz=0.052:0.002``: the component, its value and its 1-sigma in metres."""
    name, value = _component(text)
    centre, colon, sigma = value.partition(":")
    if not colon:
        raise argparse.ArgumentTypeError(f"{text!r} is not COMPONENT=VALUE:SIGMA")
    return name, (numbers.finite(centre), numbers.positive(sigma))


def add_options(parser) -> None:
    parser.add_argument("--fix", action="append", type=fixed_component, default=[], metavar="COMPONENT=M",
                        help="hold a translation of tcp_T_camera (eye-to-hand: tcp_T_target) at a value measured "
                             "elsewhere, in metres, e.g. tz=0.052: for what the robot's motions cannot determine "
                             "(an arm that turns about one axis); repeatable")
    parser.add_argument("--prior", action="append", type=prior_component, default=[], metavar="COMPONENT=M:SIGMA",
                        help="tie such a translation to a measured value with its 1-sigma, in metres, e.g. "
                             "tz=0.052:0.002; repeatable")


def given(args) -> tuple[dict, dict]:
    """(fix, prior) as the calibrators take them; a component given twice is a usage error."""
    names = [name for name, _ in args.fix + args.prior]
    twice = sorted({name for name in names if names.count(name) > 1})
    if twice:
        raise UsageError(f"--fix and --prior give {', '.join(twice)} more than once")
    return dict(args.fix), dict(args.prior)


def _length(metres: float) -> str:
    return f"{metres * 1000:.2f} mm"


def component_line(outcome) -> str:
    """How one component was set, for the headline."""
    name = f"{outcome.component} of {outcome.transform}"
    if outcome.source == "held":
        where = "" if outcome.component.startswith("r") else f" at the closed form's {_length(outcome.value)}"
        return f"  {name}: NOT DETERMINED, held{where} and not measured; {outcome.measurement}"
    if outcome.source == "fixed":
        return f"  {name}: fixed at {_length(outcome.value)} (given)"
    sigma = f"{outcome.sigma * 1000:.2f} mm" if math.isfinite(outcome.sigma) else "unknown"
    return f"  {name}: {_length(outcome.value)} (1-sigma {sigma}, from the given prior)"


def component_lines(refinement) -> list[str]:
    if refinement is None:
        return []
    return [component_line(outcome) for outcome in refinement.mount_components]


def held_axes(refinement, transform: str) -> set:
    """The components of ``transform`` held where the closed form put them ("tx" ... "rz"), or moving with one that
    is: their 1-sigma is no measurement."""
    if refinement is None:
        return set()
    held = [o for o in refinement.mount_components if o.source == "held"]
    return ({o.component for o in held if o.transform == transform}
            | {o.coupled_component for o in held if o.coupled_transform == transform})


def measured_sigma(refinement, transform: str, sigma):
    """``sigma`` (translation_mm and rotation_deg, three each) with NaN along the components of ``transform`` the
    robot's motions leave undetermined; ``sigma`` itself when there are none."""
    held = held_axes(refinement, transform)
    if sigma is None or not held:
        return sigma
    return SimpleNamespace(
        translation_mm=[math.nan if f"t{a}" in held else v for a, v in zip("xyz", sigma.translation_mm)],
        rotation_deg=[math.nan if f"r{a}" in held else v for a, v in zip("xyz", sigma.rotation_deg)])


def sigma_texts(values, digits: int) -> str:
    """The 1-sigma of each axis, "not determined" for NaN."""
    return ", ".join(f"{value:.{digits}f}" if math.isfinite(value) else "not determined" for value in values)
