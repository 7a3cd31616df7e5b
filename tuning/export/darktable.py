"""A darktable noise profile file: one maker, one model, one profile per
characterised gain (ISO 100 per unit of gain) with sigma^2 = a x + b on
signal x normalised to 0..1 above black, a and b per R, G, B (greens merged).
The file has the layout of darktable's own noiseprofiles.json, so darktable
can load it in place of its own."""
import json

from tuning import atomic_write
from tuning.export import noise_model
from tuning.export.results import ExportError, Results

FILE_VERSION = 0  # the layout version darktable's noise profile files carry


def profiles(results: Results, maker: str, model: str) -> dict:
    if not maker or not model:
        raise ExportError("the darktable export needs --maker and --model: darktable picks a profile by the "
                          "camera's EXIF make and model")
    colours = results.colours()
    found = []
    for gain, noise in noise_model.per_gain(results).items():
        a, b = noise_model.rgb_pairs(noise, colours)
        iso = gain * noise_model.ISO_PER_GAIN
        iso = int(round(iso)) if abs(iso - round(iso)) < 1e-9 else iso
        found.append({"name": f"{model} iso {iso}", "iso": iso, "a": a, "b": b})
    entry = {"maker": maker, "models": [{"comment": f"tunekit calibration of {results.folder}", "model": model,
                                         "profiles": found}]}
    return {"version": FILE_VERSION, "noiseprofiles": [entry]}


def write(results: Results, out: str, maker: str, model: str) -> str:
    data = profiles(results, maker, model)
    atomic_write.write_text_atomically(out, json.dumps(data, indent=2) + "\n")
    count = len(data["noiseprofiles"][0]["models"][0]["profiles"])
    return f"wrote {out} ({count} profiles of {maker} {model})"
