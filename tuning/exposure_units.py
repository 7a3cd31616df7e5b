"""How the exposure and gain numbers of capture names relate to the DNG metadata.

Capture names carry the exposure as a plain number (the simulator's and the
lab sets' own numbers); a DNG carries ExposureTime in seconds and the ISO
speed. Writing a DNG from a name, or naming a capture from a DNG, takes the
name's number in one of these units (microseconds unless told otherwise)
and the gain as ISO / BASE_ISO when the DNG has no analog gain of its own.
"""
from typing import Optional

SECONDS_PER_UNIT = {"us": 1e-6, "ms": 1e-3, "s": 1.0}
DEFAULT_UNIT = "us"
BASE_ISO = 100.0  # the ISO speed of analog gain 1


def seconds(exposure, unit: str = DEFAULT_UNIT) -> float:
    """The exposure number of a name as ExposureTime (s)."""
    return float(exposure) * SECONDS_PER_UNIT[unit]


def name_number(value: float):
    """A number as a name carries it: an integer when whole (12000, not 12000.0), else the shortest text."""
    rounded = round(value)
    if abs(value - rounded) <= 1e-9 * max(1.0, abs(value)):
        return int(rounded)
    return float(f"{value:.12g}")


def exposure_in_unit(exposure_time: float, unit: str = DEFAULT_UNIT):
    """ExposureTime (s) as the number of a capture name in unit."""
    return name_number(exposure_time / SECONDS_PER_UNIT[unit])


def gain_of(analog_gain: Optional[float], iso: Optional[float], base_iso: float = BASE_ISO):
    """The analog gain of a name: the DNG's own when it has one, else ISO / base ISO; None when neither."""
    if analog_gain is not None:
        return name_number(analog_gain)
    if iso is not None:
        return name_number(iso / base_iso)
    return None
