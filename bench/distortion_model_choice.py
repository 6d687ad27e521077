"""The distortion model chosen by held-out error, and the intrinsics verdict's limits, on rendered captures with a
known lens and on the real stereo photographs.

Choice: for each true distortion model (the lenses of tests/intrinsic_captures.py: k1; k1 k2; k1 k2 p1 p2;
k1 k2 p1 p2 k3 at 520 px and a wide rational lens at 300 px, 640 x 480), --seeds captures of --views pictures of a
9 x 6 chessboard reaching the picture's corners, each calibrated with every candidate model and validated view by
view; the model choose_distortion_model keeps is tallied against the true one (target: the true model in at least
90 % of the seeds for at least three true models). From the same calibrations: the held-out RMS of a richer model
over a simpler one when the simpler already holds the lens's terms (what a term the lens does not have gains) and
when the richer one adds terms the lens has (what a needed term gains); CLEAR_IMPROVEMENT must lie between them.
Every choice is then judged by the intrinsics verdict (target: no FAIL), with its held-out over fitted RMS and the
growth of its distortion beyond the observed corners, whose limits must lie above these.

Poor captures: --poor-seeds captures of 8 pictures of one 48 mm tag and of 6 and of 7 pictures of a chessboard near
the picture's centre (tests/intrinsic_captures.py), judged with the chosen model and with k1 k2 p1 p2 k3 and the
rational model given: how many FAIL, and which parameters their verdicts name.

Demos: --demo-seeds captures of each demo set-up (quorvane.velk.demo, 15 pictures of a ChArUco board at 1280 x 960),
judged with the chosen model (target: no FAIL).

Real: the left and right cameras of the stereo photographs (13 pictures each), with the chosen model and every
model given (target: the chosen model passes).

    python bench/distortion_model_choice.py [--seeds 30] [--views 24] [--poor-seeds 10] [--demo-seeds 5]
        [--skip-choice] [--skip-demos] [--skip-poor] [--skip-real]
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import math
import sys
import time
from collections import Counter
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import intrinsic_captures as captures  # noqa: E402
from conftest import STEREO_DIR  # noqa: E402
from quorvane.velk import distortion_model_choice as choice  # noqa: E402
from quorvane.velk.distortion_field import extrapolation  # noqa: E402
from quorvane.velk.verdict import (  # noqa: E402
    MAX_EXTRAPOLATION_GROWTH,
    MAX_HELD_OUT_OVER_FITTED,
    held_out_ratio,
    judge_intrinsics,
)

ORDER = choice.MODEL_NAMES


@contextlib.contextmanager
def quiet():
    """The library's log lines (pictures without the board, ...) kept off the tables."""
    from quorvane.velk import logs

    console = logs.CONSOLE in logs.LOGGER.handlers
    silent = logging.NullHandler()
    if console:
        logs.LOGGER.removeHandler(logs.CONSOLE)
    logs.LOGGER.addHandler(silent)
    try:
        yield
    finally:
        logs.LOGGER.removeHandler(silent)
        if console:
            logs.LOGGER.addHandler(logs.CONSOLE)


def judged(result, calibrator, images):
    return judge_intrinsics(result, len(images), image_size=images[0].shape[1::-1],
                            object_points=calibrator.detections().object_points)


def growth(result, images) -> float:
    spread = extrapolation(result.intrinsic_matrix, result.distortion_coefficients, images[0].shape[1::-1],
                           result.image_points)
    return spread.growth if spread is not None else float("nan")


def pair_ratios(rms_px: dict, truth: str):
    """(ratios where the richer model adds terms the lens does not have, ratios where it adds terms it has)."""
    true_rank = ORDER.index(truth)
    unneeded, needed = [], []
    for simpler in range(len(ORDER)):
        for richer in range(simpler + 1, len(ORDER)):
            ratio = rms_px[ORDER[richer]] / rms_px[ORDER[simpler]]
            if simpler >= true_rank:
                unneeded.append(ratio)
            elif richer <= true_rank:
                needed.append(ratio)
    return unneeded, needed


def choice_run(seeds, views):
    """Per true model: the tally of the chosen models, the verdicts failed, the chosen models' held-out over fitted
    RMS and extrapolation growth; and the pair ratios over all of them."""
    tallies = {truth: Counter() for truth in ORDER}
    failed, ratios, growths = Counter(), {truth: [] for truth in ORDER}, {truth: [] for truth in ORDER}
    unneeded, needed = [], []
    for truth in ORDER:
        begin = time.perf_counter()
        for seed in range(seeds):
            target, images = captures.lens_capture(truth, seed, views)
            with quiet():
                candidates = choice.calibrate_candidates(target, images)
            rms_px = choice.common_held_out_rms_px(candidates)
            chosen, _ = choice.chosen_candidate(candidates, rms_px, images[0].shape[1::-1])
            tallies[truth][chosen.model.name] += 1
            low, high = pair_ratios(rms_px, truth)
            unneeded += low
            needed += high
            verdict = judged(chosen.result, chosen.calibrator, images)
            ratios[truth].append(held_out_ratio(chosen.result.validation))
            growths[truth].append(growth(chosen.result, images))
            if not verdict.ok:
                failed[truth] += 1
                print(f"    FAIL {truth} seed {seed}: {', '.join(named_parameters(verdict))}", flush=True)
        print(f"  {truth}: {time.perf_counter() - begin:.0f} s", flush=True)
    return tallies, failed, ratios, growths, unneeded, needed


def print_choice(args):
    print(f"\nChoice among {', '.join(ORDER)}: {args.seeds} seeds of {args.views} pictures per true model "
          f"(CLEAR_IMPROVEMENT {choice.CLEAR_IMPROVEMENT:g})", flush=True)
    tallies, failed, ratios, growths, unneeded, needed = choice_run(args.seeds, args.views)
    print(f"\n  {'true model':<10} " + " ".join(f"{name:>9}" for name in ORDER)
          + "   true  FAIL  held-out/fitted  growth  folds")
    for truth in ORDER:
        finite = [g for g in growths[truth] if math.isfinite(g)]
        print(f"  {truth:<10} " + " ".join(f"{tallies[truth][name]:9d}" for name in ORDER)
              + f"  {100 * tallies[truth][truth] / args.seeds:4.0f} %  {failed[truth]:4d}  {max(ratios[truth]):15.3f}"
              f"  {max(finite) if finite else math.nan:6.2f}  {len(growths[truth]) - len(finite):5d}")
    print("  (held-out/fitted and growth: the highest of the chosen models, growth over those mapping the picture's "
          f"corners; limits {MAX_HELD_OUT_OVER_FITTED:g} and {MAX_EXTRAPOLATION_GROWTH:g})")
    print("\n  held-out RMS of a richer model over a simpler one:")
    print(f"    terms the lens does not have: lowest {min(unneeded):.3f}, 1 % {np.percentile(unneeded, 1):.3f}, "
          f"median {np.median(unneeded):.3f} ({len(unneeded)} pairs)")
    print(f"    terms the lens has:           median {np.median(needed):.3f}, 95 % {np.percentile(needed, 95):.3f}, "
          f"highest {max(needed):.3f} ({len(needed)} pairs)")


def named_parameters(verdict) -> list:
    """The parameters a failed verdict names, and the other checks it failed."""
    names = []
    for check in verdict.failed():
        if check.name == "focal length 1-sigma":
            names.append("fx")
        elif check.name == "principal point 1-sigma":
            names.append("cx/cy")
        elif check.name == "distortion terms":
            names += [part.split(" = ")[0].strip() for part in check.figures.split(";") if " = " in part]
        else:
            names.append(check.name)
    return list(dict.fromkeys(names))


def judge_models(target, images, models):
    """(model shown, verdict, held-out over fitted, growth) for each model given ('auto' chooses)."""
    rows = []
    for name in models:
        with quiet():
            if name == "auto":
                picked = choice.choose_distortion_model(target, images)
                calibrator, result, shown = picked.calibrator, picked.result, f"auto={picked.model.name}"
            else:
                calibrator = choice.calibrator_for(target, choice.distortion_model(name))
                result, shown = calibrator.calibrate(images, validate=True), name
        rows.append((shown, judged(result, calibrator, images), held_out_ratio(result.validation),
                     growth(result, images)))
    return rows


def print_poor(args):
    print(f"\nPoor captures, {args.poor_seeds} seeds each", flush=True)
    kinds = {"one 48 mm tag, 8 pictures": lambda seed: captures.small_tag_capture(seed, 8),
             "central chessboard, 6 pictures": lambda seed: captures.central_chessboard_capture(seed, 6),
             "central chessboard, 7 pictures": lambda seed: captures.central_chessboard_capture(seed, 7)}
    models = ("auto", "k1k2pk3", "rational")
    for kind, make in kinds.items():
        outcomes = {model: [] for model in models}
        for seed in range(args.poor_seeds):
            target, images = make(seed)
            for model, (shown, verdict, ratio, grown) in zip(models, judge_models(target, images, models)):
                outcomes[model].append((shown, verdict, ratio, grown))
        print(f"  {kind}")
        for model in models:
            rows = outcomes[model]
            fails = sum(not verdict.ok for _, verdict, _, _ in rows)
            named = Counter(name for _, verdict, _, _ in rows for name in named_parameters(verdict))
            chosen = Counter(shown for shown, *_ in rows) if model == "auto" else None
            ratios = [r for _, _, r, _ in rows if math.isfinite(r)]
            print(f"    {model:<9} FAIL {fails:2d} of {len(rows)}; named {dict(named.most_common())}; held-out/fitted "
                  f"median {np.median(ratios):.2f}, highest {max(ratios):.2f}"
                  + (f"; chosen {dict(chosen)}" if chosen else ""), flush=True)


def print_demos(args):
    from quorvane.velk import demo

    print(f"\nDemo captures (15 pictures, 1280 x 960, ChArUco; the demo lens k1 -0.1, k2 0.02), {args.demo_seeds} "
          "seeds each, the model chosen")
    for name, simulate in (("eye-in-hand", demo.simulate_eye_in_hand), ("eye-to-hand", demo.simulate_eye_to_hand)):
        rows = []
        for seed in range(args.demo_seeds):
            scene = simulate(seed=seed)
            rows += judge_models(scene.target, list(scene.images), ("auto",))
        fails = [verdict for _, verdict, _, _ in rows if not verdict.ok]
        print(f"  {name}: FAIL {len(fails)} of {len(rows)}; chosen {dict(Counter(shown for shown, *_ in rows))}; "
              f"held-out/fitted highest {max(r for _, _, r, _ in rows):.3f}; growth highest "
              f"{max(g for _, _, _, g in rows):.2f}" + "".join(f"\n    {v.text}" for v in fails), flush=True)


def print_real(args):
    import cv2

    target_of = __import__("_velk").ChessboardTarget((9, 6), 0.025)
    print("\nReal stereo photographs (13 pictures per camera, 640 x 480)")
    for side in ("left", "right"):
        images = [cv2.imread(str(path)) for path in sorted(STEREO_DIR.glob(f"{side}*.jpg"))]
        if not images:
            print(f"  no {side} photographs in {STEREO_DIR}")
            continue
        for shown, verdict, ratio, grown in judge_models(target_of, images, ("auto", *ORDER)):
            failed = ", ".join(check.name for check in verdict.failed()) or "-"
            print(f"  {side:<5} {shown:<15} {'PASS' if verdict.ok else 'FAIL'}  held-out/fitted {ratio:.3f}  "
                  f"growth {grown:.2f}  failed: {failed}; named: {', '.join(named_parameters(verdict)) or '-'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seeds", type=int, default=30)
    parser.add_argument("--views", type=int, default=24)
    parser.add_argument("--poor-seeds", type=int, default=10)
    parser.add_argument("--demo-seeds", type=int, default=5)
    parser.add_argument("--skip-choice", action="store_true")
    parser.add_argument("--skip-demos", action="store_true")
    parser.add_argument("--skip-poor", action="store_true")
    parser.add_argument("--skip-real", action="store_true")
    args = parser.parse_args()
    if not args.skip_real:
        print_real(args)
    if not args.skip_demos:
        print_demos(args)
    if not args.skip_poor:
        print_poor(args)
    if not args.skip_choice:
        print_choice(args)


if __name__ == "__main__":
    main()
