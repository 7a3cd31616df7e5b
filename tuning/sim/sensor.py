"""The simulated sensor and the truth every calibration is checked against."""
import dataclasses
import json
from typing import List, Optional, Tuple

import numpy as np

from tuning import atomic_write

from . import photon

CELL_POSITIONS = 4


@dataclasses.dataclass
class SensorModel:
    """A Bayer sensor with known black level, read noise, dark shading and hot pixels.

    Levels are raw DN of a `bits`-bit sensor; cell positions are in the order
    even/even, even/odd, odd/even, odd/odd of each 2 x 2 cell.
    """

    width: int = 512
    height: int = 384
    bits: int = 12
    sensor_mode: str = "LCG"
    again_list: List[int] = dataclasses.field(default_factory=lambda: [1, 2, 4, 8])
    exp_time_list: List[int] = dataclasses.field(default_factory=lambda: [10, 20])
    # Black level per cell position at gain 1 (DN) and its rise per unit of gain (DN).
    black_level: Tuple[float, ...] = (64.0, 65.5, 63.25, 66.75)
    black_level_per_gain: float = 0.5
    # Read noise variance (DN^2) = c0 + c1 * gain + c2 * gain^2.
    read_noise_coeffs: Tuple[float, float, float] = (0.6, 0.35, 0.04)
    # Dark shading: a smooth offset (DN) over the frame, a linear gradient plus
    # a vignette, scaled with the gain: gain * (gradient * x/W + vignette * r^2).
    shading_gradient: float = 2.0
    shading_vignette: float = 3.0
    # Hot pixels: (row, column, extra dark level in DN at gain 1, scaled with gain).
    hot_pixels: List[Tuple[int, int, float]] = dataclasses.field(
        default_factory=lambda: [(37, 101, 900.0), (200, 333, 1500.0), (301, 44, 700.0), (120, 470, 2500.0)])
    seed: int = 2026
    # The sensor in electrons (quantum efficiency, full well, DSNU, PRNU), for
    # the flat captures and the characterisation's truth; None: not simulated,
    # and the other kinds are written as they always were.
    electrons: Optional[photon.ElectronModel] = None

    def __post_init__(self):
        if isinstance(self.electrons, dict):  # as read back from a truth file
            known = {f.name for f in dataclasses.fields(photon.ElectronModel)}
            self.electrons = photon.ElectronModel(**{k: v for k, v in self.electrons.items() if k in known})

    @property
    def white_level(self) -> int:
        return 2 ** self.bits - 1

    def black_level_at(self, gain) -> np.ndarray:
        """Black level per cell position at this gain, without shading or defects (DN)."""
        return np.asarray(self.black_level) + self.black_level_per_gain * gain

    def read_noise_variance(self, gain) -> float:
        c0, c1, c2 = self.read_noise_coeffs
        return c0 + c1 * gain + c2 * gain * gain

    def dark_shading(self, gain) -> np.ndarray:
        """Dark shading offset over the frame at this gain (DN, H x W)."""
        y = (np.arange(self.height) + 0.5) / self.height - 0.5
        x = (np.arange(self.width) + 0.5) / self.width - 0.5
        r2 = (y[:, None] ** 2 + x[None, :] ** 2) / 0.5
        return gain * (self.shading_gradient * (x[None, :] + 0.5) + self.shading_vignette * r2)

    def expected_dark_frame(self, gain) -> np.ndarray:
        """Noise-free dark frame at this gain (DN, H x W, float64)."""
        frame = self.dark_shading(gain)
        frame[0::2, 0::2] += self.black_level_at(gain)[0]
        frame[0::2, 1::2] += self.black_level_at(gain)[1]
        frame[1::2, 0::2] += self.black_level_at(gain)[2]
        frame[1::2, 1::2] += self.black_level_at(gain)[3]
        for row, col, level in self.planted_hot_pixels():
            frame[row, col] += level * gain
        if self.electrons is not None and self.electrons.dsnu_e > 0.0:
            frame += self.electrons.conversion_gain(gain) * photon.dsnu_map(self)
        return frame

    def planted_hot_pixels(self):
        """The hot pixels that fall inside the frame (a small model drops the others)."""
        return [(r, c, v) for r, c, v in self.hot_pixels if r < self.height and c < self.width]

    def true_dark_level(self, gain) -> np.ndarray:
        """Mean per cell position of the noise-free dark frame: what black level calibration recovers (DN)."""
        frame = np.minimum(self.expected_dark_frame(gain), self.white_level)
        return np.array([frame[0::2, 0::2].mean(), frame[0::2, 1::2].mean(),
                         frame[1::2, 0::2].mean(), frame[1::2, 1::2].mean()])

    def rng(self, *condition) -> np.random.Generator:
        """A generator seeded from the model seed and a capture condition, so
        every file is reproducible on its own."""
        return np.random.default_rng([self.seed, *[int(round(c * 1000)) for c in condition]])

    def quantise(self, frame: np.ndarray) -> np.ndarray:
        return np.clip(np.rint(frame), 0, self.white_level).astype("<u2")

    def save_truth(self, path: str, *, captures: Optional[int] = None) -> None:
        """The model's fields; with an electron model also the characterisation's figures for `captures`
        captures per condition."""
        fields = dataclasses.asdict(self)
        if self.electrons is None:
            del fields["electrons"]  # the truth of a set without it stays as it was
        elif captures is not None:
            fields["characterization"] = photon.truth(self, captures)
        atomic_write.write_text_atomically(path, json.dumps(fields, indent=4))
