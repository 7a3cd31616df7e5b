"""Previews of a call: colours land where the Bayer pattern puts them, one exposure, the applied curve."""
import numpy as np
import pytest

from tonewright.python import defaults
from tuning.cli import tonemap_preview as preview

RED_AT = {0: (0, 0), 1: (0, 1), 2: (1, 0), 3: (1, 1)}  # cfa_pattern -> position of red in the cell


@pytest.mark.parametrize("pattern", sorted(RED_AT))
def test_the_picture_shows_red_and_blue_where_the_pattern_puts_them(pattern):
    frame = np.zeros((16, 16), np.int32)
    r, c = RED_AT[pattern]
    frame[r::2, c::2] = 16383
    picture = preview.Display(16383, pattern).picture(frame)
    assert picture.shape == (16, 16, 3)
    b, g, red = picture[4:12, 4:12].reshape(-1, 3).mean(axis=0)
    assert red > 200 and b < 30 and g < 30
    blue = np.zeros_like(frame)
    blue[1 - r::2, 1 - c::2] = 16383
    b, g, red = preview.Display(16383, pattern).picture(blue)[4:12, 4:12].reshape(-1, 3).mean(axis=0)
    assert b > 200 and red < 30 and g < 30


def test_white_balance_scales_only_its_channel_and_the_picture_can_be_scaled_down():
    p = defaults()
    p.wb_gain_r = 2 * p.wb_gain_g
    frame = np.full((32, 48), 2000, np.int32)
    b, g, r = preview.display_for(p).picture(frame, 24)[4:8, 4:8].reshape(-1, 3).mean(axis=0)
    assert abs(b - g) <= 1 and r > g * 1.3  # twice the light, through the display gamma
    assert preview.display_for(p).picture(frame, 24).shape == (16, 24, 3)


def test_the_linear_rescale_and_the_applied_curve():
    frame = np.array([[0, 1023, 1024, (1 << 20) - 1]], np.int64)
    assert preview.linear_rescale(frame, 16383).tolist() == [[0, 15, 16, 16383]]
    cells_in = np.array([[10.0, 10.0, 1000.0]])
    bins = preview.decade_bins(cells_in)
    assert bins.tolist() == [[10, 10, 30]]
    curve = preview.tone_curve(bins, np.array([[100.0, 300.0, 16383.0]]), 16383)
    assert curve[10] == pytest.approx(200 / 16383) and curve[30] == 1.0 and curve[20] is None
    assert len(curve) == len(preview.curve_levels()) == 61
