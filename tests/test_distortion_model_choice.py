"""The distortion model chosen by held-out error on rendered pictures through a lens of known model."""

import pytest

import intrinsic_captures
from quorvane.velk import distortion_model_choice as choice

cv2 = pytest.importorskip("cv2")


def test_the_flags_are_those_of_opencv():
    assert (choice.CALIB_ZERO_TANGENT_DIST, choice.CALIB_FIX_K1, choice.CALIB_FIX_K2, choice.CALIB_FIX_K3,
            choice.CALIB_RATIONAL_MODEL) == (cv2.CALIB_ZERO_TANGENT_DIST, cv2.CALIB_FIX_K1, cv2.CALIB_FIX_K2,
                                             cv2.CALIB_FIX_K3, cv2.CALIB_RATIONAL_MODEL)
    assert choice.model_flags(cv2.CALIB_FIX_ASPECT_RATIO | cv2.CALIB_RATIONAL_MODEL,
                              choice.distortion_model("k1k2")) == (
        cv2.CALIB_FIX_ASPECT_RATIO | cv2.CALIB_FIX_K3 | cv2.CALIB_ZERO_TANGENT_DIST)


@pytest.mark.parametrize("true_model", ["k1k2", "k1k2p"])
def test_the_choice_finds_the_lens_model(true_model):
    """Twenty 480 x 360 pictures: the simpler models predict the held-out pictures far worse, the richer ones no
    better."""
    target, images = intrinsic_captures.lens_capture(true_model, seed=1, views=20, image_size=(480, 360))
    chosen = choice.choose_distortion_model(target, images)
    assert chosen.model.name == true_model, chosen.sentence()
    rms = chosen.held_out_rms_px
    assert set(rms) == set(choice.MODEL_NAMES)
    assert all(rms[name] > rms[true_model] / (1 - choice.CLEAR_IMPROVEMENT) for name in choice.MODEL_NAMES
               if name in ("k1", "k1k2") and name != true_model)
    assert chosen.sentence().startswith(f"distortion model {chosen.model.label}: held-out {rms[true_model]:.3f} px")
    free = [float(s) > 0 for s in chosen.result.std_deviations_intrinsics.ravel()[4:9]]
    assert free == [term in chosen.model.terms for term in ("k1", "k2", "p1", "p2", "k3")]
