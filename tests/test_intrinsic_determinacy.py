"""Whether the pictures determine the intrinsics: the verdict's checks of the parameters' 1-sigma, the held-out
error against the fitted one and the distortion beyond the observed corners, on rendered captures."""

import pytest

from quorvane.velk.distortion_model_choice import calibrator_for, distortion_model
from quorvane.velk.verdict import judge_intrinsics

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


@pytest.mark.parametrize("capture, model, failed, named", [
    ("good", "k1k2", set(), None),
    ("good", "k1k2pk3", set(), None),
    ("small tag", "k1k2", {"focal length 1-sigma"}, "fx = "),
    ("central chessboard", "k1k2pk3", {"distortion terms"}, "k3 = "),
    ("central chessboard", "rational", {"distortion terms"}, "k3 = "),
])
def test_undetermined_parameters_fail_by_name(intrinsic_capture, capture, model, failed, named):
    target, images = intrinsic_capture(capture)
    calibrator = calibrator_for(target, distortion_model(model))
    result = calibrator.calibrate(images, validate=True)
    assert result.ok
    verdict = judge_intrinsics(result, len(images), image_size=images[0].shape[1::-1],
                               object_points=calibrator.detections().object_points)
    assert {check.name for check in verdict.failed()} >= failed
    if not failed:
        assert verdict.ok, verdict.summary()
        return
    assert verdict.code == 1 and named in verdict.text and "the pictures do not determine" in verdict.text
    assert any(cause in verdict.text for cause in ("too few pictures", "too little tilt", "not reaching"))
