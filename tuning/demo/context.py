"""What the demo steps share: the simulated sensor, folders, capture sets."""
import dataclasses
import os
import time

from tuning import sim


@dataclasses.dataclass
class DemoContext:
    out_dir: str
    sensor: sim.SensorModel
    captures_per_condition: int = 4
    _written: dict = dataclasses.field(default_factory=dict)

    @property
    def capture_dir(self) -> str:
        return os.path.join(self.out_dir, "captures")

    @property
    def result_dir(self) -> str:
        return os.path.join(self.out_dir, "results")

    def captures(self, kind: str) -> str:
        """Writes the simulated captures of one kind (once per run); returns their folder."""
        if kind not in self._written:
            started = time.monotonic()
            paths = sim.write_captures(self.sensor, kind, self.capture_dir, self.captures_per_condition)
            self._written[kind] = paths
            print(f"simulated {len(paths)} {kind} captures of {self.sensor.width} x {self.sensor.height} "
                  f"in {time.monotonic() - started:.1f} s -> {self.capture_dir}")
        return self.capture_dir


def table(header, rows):
    """Plain-text table: one header row, right-aligned numeric cells."""
    cells = [header] + [[c if isinstance(c, str) else f"{c:.3f}" for c in row] for row in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(header))]
    lines = ["  ".join(c.rjust(w) for c, w in zip(r, widths)) for r in cells]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)
