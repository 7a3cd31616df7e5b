"""Flat captures: a uniformly lit field at several exposures, for the photon transfer curve.

Written only when asked for (not among the default kinds), at the electron
model's flat exposures rather than the model's exposure list.
"""
from . import photon
from .capture_files import write_conditions

KIND = "flat"
DEFAULT = False


def write(model, folder, captures_per_condition, capture_format=None):
    response = photon.response_map(model)
    return write_conditions(model, KIND, folder, captures_per_condition,
                            lambda m, gain, exposure, index: photon.flat_capture(m, gain, exposure, index, response),
                            capture_format, exposures=photon.of(model).flat_exposures)
