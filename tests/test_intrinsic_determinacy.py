"""Whether the pictures determine the intrinsics: the verdict's checks of the parameters' 1-sigma, the held-out
error against the fitted one and the distortion beyond the observed corners, on rendered captures."""

import pytest

from quorvane.velk.distortion_model_choice import calibrator_for, distortion_model
from quorvane.velk.verdict import judge_intrinsics

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


@pytest.mark.parametrize("capture, model, failed, named", [
    ("good", "k1k2", set(), None),
    ("good", "k1", {"distortion extrapolation"}, "the k1 model folds back before the picture's corners"),
    ("small tag", "k1k2", {"focal length 1-sigma", "distortion terms"}, "fx = "),
    ("small tag", "k1k2p", {"focal length 1-sigma", "principal point 1-sigma", "distortion terms",
                            "held-out over fitted"}, "cx = "),
    ("central chessboard", "k1k2pk3", {"distortion terms"}, "k3 = "),
])
def test_undetermined_intrinsics_fail_naming_the_parameter(intrinsic_capture, capture, model, failed, named):
    target, images = intrinsic_capture(capture)
    calibrator = calibrator_for(target, distortion_model(model))
    result = calibrator.calibrate(images, validate=True)
    assert result.ok
    verdict = judge_intrinsics(result, len(images), image_size=images[0].shape[1::-1],
                               object_points=calibrator.detections().object_points)
    assert {check.name for check in verdict.failed()} == failed, verdict.summary()
    if not failed:
        assert verdict.ok and len(verdict.checks) == 7
        return
    assert verdict.code == 1 and named in verdict.text
    if "distortion extrapolation" not in failed:
        assert "the pictures do not determine" in verdict.text
        assert any(cause in verdict.text for cause in ("too few pictures", "too little tilt", "not reaching"))
