"""Static bad pixels: hot pixels from the dark captures, cold and stuck pixels
from the lit captures, compared with the pixels the simulator planted."""
import json
import os
import struct
import zlib

import numpy as np

from tuning import atomic_write
from tuning.demo.context import table

TITLE = "Static bad pixels (dark and lit captures)"
DARK_THR_RATIO = 0.4   # hot: above 1.4 x the frame's black level
LIGHT_THR_RATIO = 20.0  # cold: 20 x the narrower neighbourhood spread
# Map colours (RGB): found by the hot test, by the cold test, by both.
HOT_COLOUR, COLD_COLOUR, BOTH_COLOUR = (255, 64, 32), (64, 160, 255), (255, 255, 255)
MARKER = 2  # pixels drawn around each bad pixel so that single pixels show


def run(context):
    from tuning.bpc import bpc
    from tuning.common import SensorMode
    from tuning.sim import kind_light

    sensor = context.sensor
    tuning_param = bpc.BPCTuningParam(dark_thr_ratio=DARK_THR_RATIO, light_thr_ratio=LIGHT_THR_RATIO)

    def calibrate(kind, bp_type):
        file_param = bpc.BPCFileParam(
            inp_file_dir=context.captures(kind), out_file_dir=context.result_dir, width=sensor.width,
            height=sensor.height, bits=sensor.bits, sensor_mode=SensorMode[sensor.sensor_mode],
            again_list=sensor.again_list, exp_time_list=sensor.exp_time_list, bp_type=bp_type)
        return bpc.gen_bpc_param(file_param, tuning_param)

    hot = calibrate("dark", bpc.BPType.Hot)
    cold = calibrate("light", bpc.BPType.Cold)

    planted_hot = sorted((r, c) for r, c, _ in sensor.planted_hot_pixels())
    # Lit captures carry the dark frame too, so hot pixels stand out there as well.
    planted_cold = sorted(set(kind_light.planted_light_defects(sensor)) | set(planted_hot))
    rows = []
    for name, result, planted in (("hot", hot, planted_hot), ("cold", cold, planted_cold)):
        for gain in sensor.again_list:
            found = sorted(tuple(p) for p in result.static_loc.get(str(gain), []))
            missed = sorted(set(planted) - set(found))
            spurious = sorted(set(found) - set(planted))
            rows.append([name, str(gain), str(len(planted)), str(len(found)), describe(missed), describe(spurious)])
    print(f"hot ratio {DARK_THR_RATIO}, cold ratio {LIGHT_THR_RATIO}; found vs planted per gain:")
    print(table(["test", "gain", "planted", "found", "missed", "spurious"], rows))

    merged = merge(bpc, hot, cold, sensor.again_list)
    path = os.path.join(context.result_dir, "static_bad_pixels.json")
    atomic_write.write_bytes_atomically(path, json.dumps(merged.dict(), indent=4).encode())
    print(f"packed table of {len(merged.static_info)} words for {len(all_positions(merged))} pixels; wrote {path}")

    map_path = os.path.join(context.result_dir, "bad_pixel_map.png")
    atomic_write.write_bytes_atomically(map_path, png_bytes(bad_pixel_map(sensor.height, sensor.width, hot, cold)))
    print(f"wrote {map_path} (hot red, cold blue, both white)")


def describe(positions):
    return "none" if not positions else " ".join(f"({r},{c})" for r, c in positions)


def all_positions(result):
    return {tuple(p) for positions in result.static_loc.values() for p in positions}


def merge(bpc, hot, cold, gains):
    """Hot and cold pixels together per gain, and the packed table of their union."""
    static_loc = {}
    for gain in gains:
        key = str(gain)
        if key in hot.static_loc or key in cold.static_loc:
            static_loc[key] = sorted({tuple(p) for p in hot.static_loc.get(key, []) + cold.static_loc.get(key, [])})
    union = sorted({p for positions in static_loc.values() for p in positions})
    return bpc.BPCTuningResult(static_loc=static_loc, static_info=bpc.encode_axis_u32(union))


def bad_pixel_map(height, width, hot, cold):
    """RGB image of the frame with a small square around every bad pixel found."""
    image = np.zeros((height, width, 3), np.uint8)
    hot_set, cold_set = all_positions(hot), all_positions(cold)
    for r, c in sorted(hot_set | cold_set):
        colour = BOTH_COLOUR if (r, c) in hot_set and (r, c) in cold_set else (
            HOT_COLOUR if (r, c) in hot_set else COLD_COLOUR)
        image[max(0, r - MARKER):r + MARKER + 1, max(0, c - MARKER):c + MARKER + 1] = colour
    return image


def png_bytes(image):
    """An 8-bit RGB PNG of an H x W x 3 uint8 array (filter type 0 on every row)."""
    height, width, _ = image.shape

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + image[y].tobytes() for y in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
