"""C source of a camera HAL's noise model: per channel R, Gr, Gb, B the lines
S = A g + B and O = C g^2 + D of the sensitivity g (ISO, 100 per unit of
analog gain), fitted over the characterised gains, and the black level
pattern (2 x 2, row-major as the colour filter lies)."""
from typing import Optional

from tuning import atomic_write
from tuning.export import noise_model
from tuning.export.results import Results, comment_text, gain_text, gains_text


def numbers(values) -> str:
    return ", ".join(repr(float(v)) for v in values)


def source(results: Results, gain: Optional[float], maker: str, model: str) -> str:
    fit = noise_model.android_model(results)
    black_gain, black = results.black_level_at(gain)
    camera = comment_text(" ".join(p for p in (maker, model) if p) or "the calibrated sensor")
    return f"""/* Noise model and black level of {camera}, written by tunekit export from {comment_text(results.folder)}.
 *
 * Noise of a sample x normalised to 0..1 above black: variance = S x + O, with
 *   S = A * sensitivity + B,  O = C * sensitivity^2 + D,
 * sensitivity as ISO (100 per unit of analog gain), fitted over ISO {gains_text(fit.sensitivities)}.
 * Channels in the order R, Gr, Gb, B.
 */
#include <stdint.h>

static const double kNoiseModelA[4] = {{{numbers(fit.a)}}};
static const double kNoiseModelB[4] = {{{numbers(fit.b)}}};
static const double kNoiseModelC[4] = {{{numbers(fit.c)}}};
static const double kNoiseModelD[4] = {{{numbers(fit.d)}}};

/* S of a channel (0..3 = R, Gr, Gb, B) at a sensitivity (ISO). */
static inline double noise_model_s(int channel, int sensitivity) {{
  return kNoiseModelA[channel] * sensitivity + kNoiseModelB[channel];
}}

/* O of a channel (0..3 = R, Gr, Gb, B) at a sensitivity (ISO). */
static inline double noise_model_o(int channel, int sensitivity) {{
  return kNoiseModelC[channel] * sensitivity * sensitivity + kNoiseModelD[channel];
}}

/* Black level pattern at analog gain {gain_text(black_gain)} (raw DN of {results.bits}-bit samples, rounded),
 * 2 x 2 row-major as the {results.cfa_type} colour filter lies. */
static const int32_t kBlackLevelPattern[4] = {{{", ".join(str(int(round(v))) for v in black)}}};
"""


def write(results: Results, gain: Optional[float], out: str, maker: str, model: str) -> str:
    atomic_write.write_text_atomically(out, source(results, gain, maker, model))
    return f"wrote {out}"
