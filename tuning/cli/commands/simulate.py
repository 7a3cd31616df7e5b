"""tunekit simulate OUT: a simulated capture set with its truth and a config to calibrate it."""
import contextlib
import json
import os
import time

from tuning import atomic_write
from tuning.cli import capture_format, parameters

CAPTURE_DIR = "captures"
STAGING_PREFIX = ".tunekit-simulate-"
# Bad pixel thresholds that separate the simulator's planted defects from its noise
# (the record defaults of 0 flag every pixel a test can flag).
DETECTION_RATIOS = {"dark_thr_ratio": 0.4, "light_thr_ratio": 20.0}
RESULT_DIR = "results"



def add_parser(sub) -> None:
    parser = sub.add_parser("simulate", help="write a simulated capture set (known truth) and its config",
                            description=__doc__)
    parser.add_argument("out", metavar="OUT", help="folder for captures/, truth.json and tunekit-config.json")
    parser.add_argument("--captures", type=int, default=4, help="captures per condition (default: %(default)s)")
    parser.add_argument("--kinds", help="capture kinds, comma-separated (default: dark, light and noise; flat, the "
                                        "flat captures at several exposures of a characterisation, when named)")
    parser.add_argument("--width", type=int, help="frame width (default: the simulator's)")
    parser.add_argument("--height", type=int, help="frame height (default: the simulator's)")
    parser.add_argument("--bits", type=int, help="bits per sample (default: the simulator's)")
    parser.add_argument("--again-list", nargs="+", metavar="N", help="analog gains")
    parser.add_argument("--exp-time-list", nargs="+", metavar="N", help="exposure times")
    parser.add_argument("--seed", type=int, help="noise seed")
    sensor = parser.add_argument_group(
        "sensor in electrons (any of these, or the flat kind, adds the characterisation's figures to truth.json)")
    sensor.add_argument("--full-well", type=float, metavar="E", help="saturation capacity in electrons (default: 6000)")
    sensor.add_argument("--quantum-efficiency", type=float, metavar="QE",
                        help="share of the photons that become electrons, above 0 and at most 1 (default: 0.6)")
    sensor.add_argument("--dsnu", type=float, metavar="E",
                        help="dark signal non-uniformity in electrons, a fixed pattern on every kind (default: 0)")
    sensor.add_argument("--prnu", type=float, metavar="PERCENT",
                        help="photo-response non-uniformity of the flat captures in %% (default: 1)")
    sensor.add_argument("--flat-exposures", nargs="+", metavar="N",
                        help="exposures of the flat captures (default: 1 to 125, the full well at 100 at gain 1)")
    sensor.add_argument("--without-dark-pattern", action="store_true",
                        help="no dark shading and no hot pixels: the dark frame is flat but for --dsnu")
    group = parser.add_argument_group("capture format (default: raw16; dng writes the levels and the condition "
                                      "as metadata, the exposure as microseconds)")
    capture_format.add_flags(group)
    parser.set_defaults(command=run)


MAX_SAMPLES = 1 << 32


def model_fields(args):
    """The sensor fields the flags give, refused when no capture set can have them."""
    import argparse

    from tuning.cli import validation
    from tuning.cli.errors import ToolError

    fields = {k: getattr(args, k) for k in ("width", "height", "bits", "seed") if getattr(args, k) is not None}
    origin = {name: "--" + name.replace("_", "-") for name in ("width", "height", "bits", "captures", "again_list",
                                                                "exp_time_list", "seed")}
    for name in ("again_list", "exp_time_list"):
        if getattr(args, name):
            try:
                fields[name] = parameters.parse_numbers(getattr(args, name))
            except argparse.ArgumentTypeError as error:  # the words the calibration commands use
                raise ToolError(f"{origin[name]}: {error}") from None
            validation.check_distinct(name, fields[name], origin)
            low = min(fields[name])
            if low < 0 or (low == 0 and name == "again_list"):  # names, noise and electrons need these
                validation.refuse(name, origin, "gains above 0" if name == "again_list" else "exposures of 0 or more",
                                  low)
    if fields.get("seed", 0) < 0:
        validation.refuse("seed", origin, "a noise seed of 0 or more", fields["seed"])
    for name in ("width", "height"):
        if name in fields and (fields[name] <= 0 or fields[name] % 2):
            validation.refuse(name, origin, "a positive even number (whole 2 x 2 cells)", fields[name])
    if fields.get("width", 1) * fields.get("height", 1) > MAX_SAMPLES:  # the simulator holds whole frames
        validation.refuse("width", origin, f"a frame of at most 2^32 samples, width x height = "
                                           f"{fields['width']} x {fields.get('height', '(default)')}",
                          fields["width"])
    low, high = validation.BITS_RANGE
    if "bits" in fields and not low <= fields["bits"] <= high:
        validation.refuse("bits", origin, f"an integer from {low} to {high}", fields["bits"])
    if args.captures < 1:
        validation.refuse("captures", origin, "1 or more captures per condition", args.captures)
    if args.without_dark_pattern:
        fields.update(shading_gradient=0.0, shading_vignette=0.0, hot_pixels=[])
    return fields


ELECTRON_FLAGS = {"full_well": "full_well_e", "quantum_efficiency": "quantum_efficiency", "dsnu": "dsnu_e",
                  "prnu": "prnu", "flat_exposures": "flat_exposures"}


def electron_model(args, kinds):
    """The sensor in electrons the flags give, or None when neither they nor the flat kind ask for one."""
    import argparse

    from tuning import sim
    from tuning.cli.errors import ToolError

    given = {flag: getattr(args, flag) for flag in ELECTRON_FLAGS if getattr(args, flag) is not None}
    if not given and "flat" not in kinds:
        return None
    values = {}
    for flag, value in given.items():
        if flag == "flat_exposures":
            try:
                value = parameters.parse_numbers(value)
            except argparse.ArgumentTypeError as error:
                raise ToolError(f"--flat-exposures: {error}") from None
        values[ELECTRON_FLAGS[flag]] = value / 100.0 if flag == "prnu" else value
    try:
        return sim.ElectronModel(**values)
    except ValueError as error:  # "<field>: expected ..., found ..."
        field, text = str(error).split(": ", 1)
        flag = next(f for f, name in ELECTRON_FLAGS.items() if name == field)
        if flag == "prnu":
            text = f"expected 0 or more (%), found {args.prnu:g}"
        raise ToolError(f"--{flag.replace('_', '-')}: {text}") from None


def run(args) -> int:
    from tuning import sim
    from tuning.cli.errors import ToolError

    fields = model_fields(args)
    kinds = sim.capture_kinds()
    wanted = args.kinds.split(",") if args.kinds else sim.default_kinds()
    unknown = [k for k in wanted if k not in kinds]
    if unknown:
        raise ToolError(f"unknown capture kind {', '.join(unknown)}; the simulator has {', '.join(sorted(kinds))}")
    model = sim.SensorModel(electrons=electron_model(args, wanted), **fields)
    fmt = capture_format.from_args(args)
    started = time.monotonic()
    try:
        count, config_path = write_set(model, wanted, args, fmt)
    except ValueError as error:  # a layout that cannot hold the samples, a frame size it cannot pack
        raise ToolError(f"cannot simulate {capture_format.describe(fmt)} captures: {error}") from None
    except OSError as error:
        where = f" {error.filename}:" if error.filename else ""
        raise ToolError(f"cannot write the simulated set into {args.out}:{where} {error.strerror or error}") from None
    print(f"simulated {count} captures ({', '.join(wanted)}) of {model.width} x {model.height}, {model.bits} bits "
          f"as {capture_format.describe(fmt)} in {time.monotonic() - started:.1f} s -> "
          f"{os.path.join(args.out, CAPTURE_DIR)}")
    print(f"settings: wrote {config_path} (calibrate with: tunekit all --config {config_path} --report)")
    return 0


def write_set(model, kinds, args, fmt):
    """Captures, truth and config: the captures land as a set, the truth and config are written whole."""
    from tuning import sim
    from tuning.cli import runner

    capture_dir = os.path.join(args.out, CAPTURE_DIR)
    truth_path = os.path.join(args.out, runner.TRUTH_FILE)
    config_path = os.path.join(args.out, runner.CONFIG_FILE)

    def forget_the_old_set():
        # A truth or config left from an earlier run would describe captures that are being replaced.
        for path in (truth_path, config_path):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)

    made = not os.path.isdir(args.out)
    os.makedirs(args.out, exist_ok=True)
    # The captures land together once all are written: a failure or a stop leaves the folder as it was.
    try:
        with atomic_write.staged_folder(capture_dir, STAGING_PREFIX, before_landing=forget_the_old_set) as staging:
            count = sum(len(sim.write_captures(model, k, staging, args.captures, fmt)) for k in kinds)
    except BaseException:
        if made:
            with contextlib.suppress(OSError):
                os.rmdir(args.out)  # the folder this run made, empty again
        raise
    model.save_truth(truth_path, captures=args.captures)
    config = {"inp_file_dir": CAPTURE_DIR, "out_file_dir": RESULT_DIR, "width": model.width,
              "height": model.height, "bits": model.bits, "sensor_mode": model.sensor_mode,
              "again_list": model.again_list, "exp_time_list": model.exp_time_list}
    config.update(DETECTION_RATIOS)
    config.update({k: getattr(v, "value", v) for k, v in capture_format.config_values(fmt).items()})
    atomic_write.write_text_atomically(config_path, json.dumps(config, indent=4) + "\n")
    return count, config_path
