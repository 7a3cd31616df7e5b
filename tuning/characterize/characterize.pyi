# Type stubs of tuning.characterize.characterize (compiled), written by scripts/gen-stubs from the library's records;
# edit only the part below the routines line.
"""Sensor characterisation: photon transfer curve, conversion gain, noise and non-uniformity in electrons."""

from typing import List, Optional, Union

from pydantic import BaseModel

from tuning.common import CaptureFormat, FileParam, SensorMode, TuningParam, TuningResult

class CharacterizationFileParam(FileParam):
    """Dark, flat and noise captures at several analog gains."""

    module: str = "characterization"  # calibration module short name
    again_list: List[Union[int, float]] = []  # analog gains, in order
    # exposures of the dark captures to read; empty: every exposure, as the read noise calibration reads them
    dark_exp_list: List[Union[int, float]] = []
    # exposures of the flat captures; empty: every exposure the flat captures of a gain have
    flat_exp_list: List[Union[int, float]] = []

class CharacterizationTuningParam(TuningParam):
    """Settings of the sensor characterisation."""

    module: str = "characterization"  # calibration module short name
    # clipping level per cell position, or one for all four (raw DN)
    white_level: List[Union[int, float]] = [65535, 65535, 65535, 65535]
    freq_threshold: int = 100  # least samples (pixels x captures) a scene level needs to enter the curve

class CurvePoint(BaseModel):
    """One point of the photon transfer and signal-to-noise curves."""

    exposure: Optional[float] = None  # exposure of the flat captures behind the point (as named); None for scene levels
    signal: Optional[float] = None  # mean signal above the dark level (DN)
    # variance over the captures (divisor n - 1), averaged over the pixels (DN^2)
    temporal_variance: Optional[float] = None
    # flats: variance of the capture-averaged frame less the temporal part / n (DN^2)
    spatial_variance: Optional[float] = None
    pixels: Optional[float] = None  # pixels behind the point (count)
    samples: Optional[float] = None  # pixels x captures (count)
    snr: Optional[float] = None  # signal / temporal noise (ratio)
    snr_db: Optional[float] = None  # 20 log10(snr) (dB)
    clipped: bool = False  # at the white level, or quieter than the dark frame
    in_fit: bool = False  # in the linear part the conversion gain is fitted to

class QualityFlag(BaseModel):
    """One quality check of a fit."""

    name: str = ""  # levels, span, r_squared, residual, saturation or k_growth
    passed: bool = True  # whether the check is met
    value: Optional[float] = None  # measured value, in the check's unit (count, ratio, DN, DN/e-)
    limit: Optional[float] = None  # the limit it is held against, same unit
    warning: str = ""  # what is wrong and what it means; empty when passed

class CalibrationRelation(BaseModel):
    """What the read and shot noise calibrations should report for the same captures."""

    captures: int = 0  # n: captures per level the shot noise factor is formed over (count)
    # K (n - 1) / n: the shot noise calibration's factor for these captures (DN)
    shot_noise_factor: Optional[float] = None
    # temporal dark variance + DSNU^2: the read noise calibration's variance of the dark plane (DN^2)
    read_noise_variance: Optional[float] = None

class CellCharacterization(BaseModel):
    """The characterisation of one cell position at one gain."""

    dark_level: Optional[float] = None  # mean of the dark captures (DN)
    dark_temporal_variance: Optional[float] = None  # temporal dark variance, divisor n - 1 (DN^2)
    dark_noise: Optional[float] = None  # temporal dark noise (DN)
    # dark signal non-uniformity variance; may dip below 0 by chance when there is none (DN^2)
    dsnu_variance: Optional[float] = None
    dsnu: Optional[float] = None  # dark signal non-uniformity (DN)
    dsnu_e: Optional[float] = None  # dark signal non-uniformity (e-)
    conversion_gain: Optional[float] = None  # K, slope of the photon transfer curve (DN/e-)
    curve_intercept: Optional[float] = None  # variance of the fitted line at zero signal (DN^2)
    read_noise_e: Optional[float] = None  # temporal dark noise in electrons (e-)
    prnu: Optional[float] = None  # photo-response non-uniformity near half saturation; None without flats (%)
    prnu_signal: Optional[float] = None  # signal PRNU was measured at (DN)
    saturation_level: Optional[float] = None  # dark level + saturation signal (DN)
    saturation_signal: Optional[float] = None  # signal where the temporal variance peaks (DN)
    saturation_capacity_e: Optional[float] = None  # saturation capacity (e-)
    dynamic_range_db: Optional[float] = None  # 20 log10(saturation capacity / read noise) (dB)
    # half the peak-to-peak deviation from a line in the exposure, 5 to 95 % of saturation (%)
    linearity_error: Optional[float] = None
    levels: int = 0  # points in the fitted linear part (count)
    span: Optional[float] = None  # highest over lowest signal of the fitted part (ratio)
    r_squared: Optional[float] = None  # coefficient of determination of the fit (ratio)
    residual: Optional[float] = None  # weighted relative residual of the fit (ratio)
    expected_residual: Optional[float] = None  # residual the sample counts alone explain (ratio)
    relation: CalibrationRelation = None  # the calibrations' figures predicted for these captures
    curve: List[CurvePoint] = []  # photon transfer and SNR curve, by rising signal
    flags: List[QualityFlag] = []  # quality checks of the fit

class GainCharacterization(BaseModel):
    """The characterisation of one analog gain."""

    analog_gain: Union[int, float] = 0  # analog gain (as named in the captures)
    dark_captures: int = 0  # dark captures read (count)
    lit_captures: int = 0  # lit captures per curve point (count)
    curve_source: str = ""  # "flat" (flat captures at several exposures) or "scene" (levels of the noise captures)
    cells: List[CellCharacterization] = []  # per cell position, in cell-position order
    warnings: List[str] = []  # every failed check of the cells

class ModeCharacterization(BaseModel):
    """The characterisation of one sensor mode."""

    sensor_mode: SensorMode = SensorMode.LCG  # conversion gain mode
    gains: List[GainCharacterization] = []  # by rising analog gain

class Characterization(TuningResult):
    """Sensor characterisation in physical units by the photon transfer method."""

    module: str = "characterization"  # calibration module short name
    modes: List[ModeCharacterization] = []  # one per sensor mode characterised

# Below, written by hand (the library's routines take and return host objects); scripts/gen-stubs keeps it.
def characterize(
    file_param: CharacterizationFileParam, tuning_param: CharacterizationTuningParam, *,
    capture_format: Optional[CaptureFormat] = None
) -> Characterization:
    """The sensor characterisation of the record's mode: per analog gain and cell position the dark level and noise,
    DSNU, the photon transfer curve (from flat captures when a gain has them, else from the levels of its noise
    captures), conversion gain, read noise in electrons, PRNU, saturation, dynamic range and linearity, with a
    quality check of every fit."""
