"""Mutation fuzzing of what the tool loads from files the user writes: --config files, batch set
lists and tone-mapping presets.

Each input goes through the tool's own loaders in this process, as far as a run would take it
before reading a capture for a result: the config through the command line, the values check and
every calibration's records and capture checks; a set list into the batch's jobs; a preset into
the tone mapping of a small frame. Every outcome must be a run set up or the tool's refusal
(ToolError: a line per refused value); anything else is a finding, kept with the input that caused it.

    /usr/bin/python3 tests/tunekit/cli/config_fuzz.py [--seconds 15] [--seed N] [--keep DIR]
"""
import argparse
import contextlib
import io
import json
import math
import os
import random
import sys
import tempfile
import time
import traceback

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

WIDTH, HEIGHT = 32, 24
GAINS, EXPOSURES = ["1", "2", "4"], ["10", "20"]

NUMBERS = [0, 1, -1, 2, 3, 12, 16, 17, 24, 32, 33, 65535, 65536, 2 ** 31, 2 ** 63 - 1, 2 ** 63, -2 ** 63 - 1,
           2 ** 64, 10 ** 30, -10 ** 30, 0.5, -0.5, 1.0, 32.5, 1e-300, 5e-324, 1e308, -1e308,
           float("nan"), float("inf"), float("-inf")]
TEXTS = ["", " ", "x", "captures", "results", "..", "/nonexistent/folder", "a\0b", "\0", "\udc80", "\ud800",
         "caf\u00e9", "\u2603", "RGGB", "GRBG", "bggr", "HCG", "LCG", "raw16", "mipi10", "dng", "Hot", "Cold",
         "-1", "nan", "1e400", "true", "x" * 3000]
# Text mutations: what a hand edit, another program or a broken disk makes of the file.
NESTING = (64, 1000, 100000)


class Finding(Exception):
    def __init__(self, what: str, data: bytes, details: str):
        super().__init__(f"{what}: {details}")
        self.what, self.data, self.details = what, data, details


def random_value(rng: random.Random, depth: int = 0):
    kind = rng.randrange(10 if depth < 3 else 6)
    if kind < 2:
        return rng.choice(NUMBERS)
    if kind == 2:
        return rng.choice(TEXTS)
    if kind == 3:
        return rng.choice([True, False, None])
    if kind == 4:
        return rng.randrange(-5, 70000) if rng.random() < 0.5 else rng.uniform(-10, 100)
    if kind == 5:
        return [rng.choice(NUMBERS) for _ in range(rng.randrange(6))]
    if kind == 6:
        return [random_value(rng, depth + 1) for _ in range(rng.randrange(5))]
    if kind == 7:
        return {rng.choice(["top", "left", "bottom", "right", "x", ""]): random_value(rng, depth + 1)
                for _ in range(rng.randrange(5))}
    if kind == 8:  # regions as lists of sides, some of them odd
        return [[rng.choice(NUMBERS[:12]) for _ in range(rng.choice((4, 4, 3, 5)))] for _ in range(rng.randrange(4))]
    return [rng.randrange(-3, 40) for _ in range(rng.choice((0, 1, 3, 4, 4, 5)))]


def mutated_object(rng: random.Random, base: dict, keys: list):
    data = dict(base)
    for _ in range(rng.randrange(1, 4)):
        if not isinstance(data, dict):
            break
        action = rng.randrange(10)
        if action < 5:
            data[rng.choice(keys + list(base))] = random_value(rng)
        elif action < 7 and data:
            del data[rng.choice(list(data))]
        elif action == 7:
            data[rng.choice(["Bits", "bits ", "again-list", "", "\udc80", "x" * 200])] = random_value(rng)
        elif action == 8 and data:  # a value nudged off by a little: the refusals' edges
            key = rng.choice(list(data))
            value = data[key]
            if isinstance(value, (int, float)) and not isinstance(value, bool):
                data[key] = value + rng.choice((-1, 1, 0.5, -0.5, -value, value))
            elif isinstance(value, list) and value:
                data[key] = rng.choice((value[:-1], value + value[-1:], value[:1], value[::-1], value * 2))
        else:
            data = rng.choice([[], [data], "text", 3, None, {}]) if rng.random() < 0.2 else data
    return data


def mutated_text(rng: random.Random, data) -> bytes:
    text = json.dumps(data, allow_nan=True, ensure_ascii=rng.random() < 0.7).encode("utf-8", "surrogatepass")
    if rng.random() < 0.6:
        return text
    action = rng.randrange(9)
    at = rng.randrange(len(text) + 1)
    if action == 0:  # bytes that are no UTF-8, a NUL
        return text[:at] + bytes(rng.choice((0x80, 0xC3, 0xFF, 0x00, 0xED)) for _ in range(rng.randrange(1, 4))) \
            + text[at:]
    if action == 1:
        return text[:at]
    if action == 2 and text.startswith(b"{"):  # a key given twice
        key = json.dumps(rng.choice(list(data) if isinstance(data, dict) and data else ["bits"]))
        return b"{" + key.encode() + b": " + json.dumps(random_value(rng)).encode() + b", " + text[1:] \
            if len(text) > 2 else text
    if action == 3:
        depth = rng.choice(NESTING)
        opener, closer = rng.choice(((b"[", b"]"), (b'{"a":', b"}")))
        return text[:at] + opener * depth + b"1" + closer * depth + text[at:]
    if action == 4:
        return text.replace(b": ", b": " + rng.choice((b"9" * 5000, b"-" + b"9" * 400, b"1e99999", b"0x10")), 1)
    if action == 5:
        return b"\xef\xbb\xbf" + text
    if action == 6:
        return text.decode("utf-8", "surrogatepass").encode("utf-16", "surrogatepass")
    if action == 7:
        return text.decode("utf-8", "surrogatepass").encode("latin-1", "replace")
    return text[:at] + bytes(rng.randrange(256) for _ in range(rng.randrange(1, 8))) + text[at:]


def check_sound(file_param, tuning_param) -> None:
    """Values no calibration gives a sound result for, should a set-up let them through."""
    from tuning.cli.calibration import number_text

    problems = []
    bits = getattr(file_param, "bits", 0)
    if bits and not 1 <= bits <= 16:
        problems.append(f"bits {bits}")
    for record in (file_param, tuning_param):
        for name in ("dark_thr_ratio", "light_thr_ratio", "freq_threshold"):
            value = getattr(record, name, 0)
            if not value >= 0:
                problems.append(f"{name} {value}")
    for name in ("again_list", "exp_time_list"):
        numbers = getattr(file_param, name, [])
        texts = [number_text(v) for v in numbers]  # 1 and 1.0 name captures of different tags
        if len(set(texts)) != len(texts) or not all(map(math.isfinite, numbers)):
            problems.append(f"{name} {numbers}")
    black, white = getattr(tuning_param, "black_level", None), getattr(tuning_param, "white_level", None)
    for levels in (black, white):
        if levels and len(levels) != 4:
            problems.append(f"levels {levels}")
    if black and white and any(w <= b for b, w in zip(black, white)):
        problems.append(f"white level {white} not above black level {black}")
    if problems:
        raise AssertionError("set up with unsound values: " + "; ".join(problems))


class Driver:
    """The tool's loaders, set up once over a small simulated capture set."""

    def __init__(self, folder: str):
        from tuning.cli import library, main, plugins
        from tuning.cli.commands import calibrate

        library.load()
        self.folder = folder
        with contextlib.redirect_stdout(io.StringIO()):
            code = main.main(["simulate", os.path.join(folder, "set"), "--width", str(WIDTH), "--height", str(HEIGHT),
                              "--captures", "1", "--again-list", *GAINS, "--exp-time-list", *EXPOSURES])
        assert code == 0, "the simulated set could not be written"
        self.config_path = os.path.join(folder, "set", "tunekit-config.json")
        with open(self.config_path, encoding="utf-8") as f:
            self.base_config = json.load(f)
        with open(os.path.join(folder, "set", "truth.json"), encoding="utf-8") as f:
            truth = json.load(f)
        # The levels a blc run into the output folder would give the noise calibrations.
        self.base_config.update(black_level=truth["black_level"], white_level=[2 ** truth["bits"] - 1])
        self.calibrations = plugins.available_calibrations()
        self.commands = ["all"] + list(self.calibrations)
        self.parsers = {}
        self.keys = sorted({p.name for c in self.calibrations.values() for p in calibrate.calibration_params([c])})
        # A config beside the simulated one, so its relative folders name the same; lists in the folder above.
        self.config_input = os.path.join(folder, "set", "input.json")
        self.list_input = os.path.join(folder, "sets.txt")
        self.outcomes = {}
        self.preset_base, self.library = self._preset_setup()

    def _preset_setup(self):
        try:
            from tonewright.python import default_library, defaults, preset_json
        except ImportError:
            return None, None
        base = json.loads(preset_json(defaults(16, 16)))
        try:
            library = default_library()
        except OSError:
            library = None  # presets are still loaded; the mapping itself is left out
        return base, library

    def parser(self, command: str):
        from tuning.cli import main

        if command not in self.parsers:
            self.parsers[command] = main.build_parser(self.calibrations, command)
        return self.parsers[command]

    @staticmethod
    def write(path: str, data: bytes) -> str:
        with open(path, "wb") as f:
            f.write(data)
        return path

    def judged(self, what: str, data: bytes, attempt) -> str:
        """'set up' or 'refused'; a Finding for any other outcome."""
        from tuning.cli.errors import ToolError

        try:
            with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
                attempt()
        except ToolError as error:
            # One line per refused value (a preset names each of its fields), each shown as an error line.
            lines = str(error).split("\n")
            if not all(line.strip() for line in lines) or "Traceback" in str(error):
                raise Finding(what, data, f"refusal with empty lines or a traceback: {str(error)[:300]!r}") from None
            return "refused"
        except BaseException:  # noqa: B902 - anything else a loader lets through is a fault
            raise Finding(what, data, traceback.format_exc(limit=6)) from None
        return "set up"

    def count(self, what: str, outcome: str) -> None:
        self.outcomes[(what, outcome)] = self.outcomes.get((what, outcome), 0) + 1

    # --- the three loaders --------------------------------------------------------------------------

    def config(self, data: bytes, command: str) -> str:
        """The run as far as its first capture read: the values check of the whole run, then each
        calibration's own set-up, which fails alone (the others still run)."""
        path = self.write(self.config_input, data)
        run = {}

        def attempt():
            from tuning.cli import validation
            from tuning.cli.commands import calibrate

            args = self.parser(command).parse_args([command, "--config", path])
            values, origin = calibrate.gather_values(args, args.params)
            validation.check_run(args.selected, values, origin)
            run.update(selected=args.selected, values=values, origin=origin)

        outcome = self.judged(f"config for {command}", data, attempt)
        for calibration in run.get("selected", []):
            def one_set_up(calibration=calibration):
                from tuning.cli import checks, runner

                context = runner.set_up(calibration, dict(run["values"]), run["origin"], [])
                from tuning.cli.errors import CaptureSetError

                found = checks.check_capture_set(calibration, context.file_param, context.capture_format)
                if found.errors:  # as the run refuses the set
                    raise CaptureSetError("; ".join(f.text.replace("\n", " ") for f in found.errors))
                check_sound(context.file_param, context.tuning_param)

            self.count(f"config for {calibration.name}", self.judged(f"config for {calibration.name}", data,
                                                                     one_set_up))
        return outcome

    def set_list(self, data: bytes) -> str:
        path = self.write(self.list_input, data)

        def attempt():
            from tuning.cli import validation
            from tuning.cli.commands import batch

            args = self.parser("batch").parse_args(["batch", path, "-o", os.path.join(self.folder, "batch")])
            jobs, out = batch.make_jobs(args, batch.read_list(path))
            validation.check_output_folder("-o/--out-file-dir", out)
            json.dumps(jobs)  # jobs travel to workers as plain JSON values

        return self.judged("set list", data, attempt)

    def preset(self, data: bytes) -> str:
        path = self.write(self.config_input, data)

        def attempt():
            import numpy as np

            from tuning.cli.commands import tonemap as tonemap_cmd
            from tuning.cli.errors import ToolError

            params = tonemap_cmd.load_params(path, 16, 16)
            if params.out_max > 0xFFFF:
                raise ToolError("out_max above 65535")  # the tool's own refusal, as in tonemap_cmd.run
            if self.library is not None:
                frame = np.random.default_rng(1).integers(0, 1 << 20, (16, 16), dtype=np.int32)
                tonemap_cmd.map_frame(self.library, frame, params)

        return self.judged("preset", data, attempt)

    def set_list_text(self, rng: random.Random) -> bytes:
        entries = [os.path.join("set", "captures"), os.path.join("set", "tunekit-config.json"), "set/captures/",
                   os.path.abspath(os.path.join(self.folder, "set", "captures")), "# a comment", "", "  ", "..",
                   "missing", "missing.json", "set/truth.json", "set/input.json", "a\0b", "x" * 300, "set/../set/captures"]
        lines = [rng.choice(entries) for _ in range(rng.randrange(0, 6))]
        data = "\n".join(lines).encode("utf-8")
        if rng.random() < 0.3:
            at = rng.randrange(len(data) + 1)
            data = data[:at] + bytes(rng.choice((0x80, 0xFF, 0x00, 0x0A, 0x0D)) for _ in range(3)) + data[at:]
        return data

    def one(self, rng: random.Random) -> None:
        pick = rng.random()
        if pick < 0.75:
            command = rng.choice(self.commands)
            data = mutated_text(rng, mutated_object(rng, self.base_config, self.keys))
            self.count("config", self.config(data, command))
        elif pick < 0.85 or self.preset_base is None:
            self.count("set list", self.set_list(self.set_list_text(rng)))
        else:
            keys = list(self.preset_base)
            data = mutated_text(rng, mutated_object(rng, self.preset_base, keys))
            self.count("preset", self.preset(data))


def run(seconds: float, seed: int, limit: int = 0, keep: str = ""):
    """Fuzzes for `seconds` (or `limit` inputs); returns (inputs tried, {(loader, outcome): count}).
    Raises Finding at the first fault, after saving its input into `keep` (when given)."""
    rng = random.Random(seed)
    with tempfile.TemporaryDirectory() as folder:
        os.chdir(folder)  # relative folders of the inputs stay inside it
        driver = Driver(folder)
        tried, until = 0, time.monotonic() + seconds
        try:
            while time.monotonic() < until and (not limit or tried < limit):
                driver.one(rng)
                tried += 1
        except Finding as finding:
            if keep:
                os.makedirs(keep, exist_ok=True)
                name = os.path.join(keep, f"config-finding-{seed}-{tried}")
                with open(name, "wb") as f:
                    f.write(finding.data)
                finding.details += f"\n(input kept as {name})"
            raise
        finally:
            os.chdir(ROOT)
    return tried, driver.outcomes


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=15.0, help="how long to fuzz (default: %(default)s)")
    parser.add_argument("--seed", type=int, default=None, help="random seed (default: from the clock, printed)")
    parser.add_argument("--keep", default="", metavar="DIR", help="folder for the input of a finding")
    args = parser.parse_args(argv)
    seed = args.seed if args.seed is not None else int(time.time())
    import tuning.tunekit

    with contextlib.redirect_stdout(io.StringIO()):
        tuning.tunekit.bootstrap_cython_submodules()
    try:
        tried, outcomes = run(args.seconds, seed, keep=args.keep)
    except Finding as finding:
        sys.stderr.write(f"config fuzz (seed {seed}): {finding.what}: input {finding.data[:200]!r}\n"
                         f"{finding.details}\n")
        return 1
    counts = ", ".join(f"{what} {outcome}: {n}" for (what, outcome), n in sorted(outcomes.items()))
    sys.stderr.write(f"config fuzz (seed {seed}): {tried} inputs in {args.seconds:g} s, no finding ({counts})\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
