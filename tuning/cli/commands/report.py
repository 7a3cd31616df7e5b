"""The HTML report: one self-contained file, every figure embedded as PNG."""
import datetime
import html
import json
from typing import List

from tuning import atomic_write
from tuning.cli.calibration import Section

STYLE = """
body { font-family: sans-serif; margin: 2em auto; max-width: 72em; color: #222; }
h1 { font-size: 1.5em; } h2 { font-size: 1.2em; border-bottom: 1px solid #ccc; margin-top: 2em; }
figure { margin: 1.5em 0; } figure img { max-width: 100%; }
figcaption { font-size: 0.9em; color: #444; }
table { border-collapse: collapse; font-size: 0.85em; margin: 1em 0; }
td, th { border: 1px solid #ccc; padding: 0.2em 0.5em; text-align: right; }
caption { text-align: left; font-weight: bold; padding: 0.3em 0; }
.failed { color: #a00; } .skipped { color: #666; } pre { white-space: pre-wrap; }
"""


def figure_html(f) -> str:
    return (f'<figure><img alt="{html.escape(f.title)}" src="data:image/png;base64,{f.png_base64}">'
            f"<figcaption><b>{html.escape(f.title)}.</b> {html.escape(f.caption)}</figcaption></figure>")


def section_html(section: Section) -> str:
    return (f"<section><h2>{html.escape(section.title)}</h2>"
            + "".join(figure_html(f) for f in section.figures) + section.table_html + "</section>")


def outcome_sections(outcomes) -> List[str]:
    parts = []
    for o in outcomes:
        if o.status != "ok":
            parts.append(f'<section><h2>{html.escape(o.calibration.summary)}</h2>'
                         f'<p class="{o.status}">{html.escape(o.calibration.name)} {o.status}:</p>'
                         f"<pre>{html.escape(o.message)}</pre></section>")
            continue
        try:
            parts.append(section_html(o.calibration.report(o.context)))
        except Exception as error:  # a figure that cannot be drawn must not cost the result or the others
            parts.append(f"<section><h2>{html.escape(o.calibration.summary)}</h2>"
                         f'<p class="failed">figures could not be drawn: {html.escape(repr(error))}</p></section>')
    return parts


TRUTH_TITLE = "Comparison with the simulator's truth"


def value_text(value) -> str:
    """A number, a sequence of numbers (one per cell position, comma-separated) or text."""
    if isinstance(value, str):
        return value
    if value is None:
        return "unknown"
    if isinstance(value, (list, tuple)) or hasattr(value, "tolist"):
        return ", ".join(value_text(v) for v in list(value))
    if isinstance(value, (int,)) and not isinstance(value, bool):
        return str(value)
    return f"{float(value):.5g}"


def difference(row):
    """result - truth, number by number, unless the row says otherwise."""
    if row.difference is not None:
        return row.difference
    if isinstance(row.truth, str) or isinstance(row.result, str):
        return ""
    if row.truth is None or row.result is None:
        return None
    if isinstance(row.truth, (int, float)) and isinstance(row.result, (int, float)):
        return row.result - row.truth
    return [None if r is None or t is None else r - t for r, t in zip(list(row.result), list(row.truth))]


def truth_section(outcomes) -> str:
    """Per calibration with a comparison: quantity, truth, result and difference; empty without truth."""
    rows = []
    for o in outcomes:
        if o.status != "ok" or o.context is None or o.context.truth is None or not o.calibration.compare:
            continue
        name = f"<td style='text-align:left'>{html.escape(o.calibration.name)}</td>"
        try:
            compared = o.calibration.compare(o.context)
        except Exception as error:  # a comparison that cannot be made must not cost the report
            rows.append(f"<tr>{name}<td colspan='4' class='failed' style='text-align:left'>"
                        f"cannot be compared: {html.escape(repr(error))}</td></tr>")
            continue
        for r in compared:
            cells = "".join(f"<td>{html.escape(value_text(v))}</td>" for v in (r.truth, r.result, difference(r)))
            rows.append(f"<tr>{name}<td style='text-align:left'>{html.escape(r.quantity)}</td>{cells}</tr>")
    if not rows:
        return ""
    return (f"<section><h2>{html.escape(TRUTH_TITLE)}</h2><table><caption>{html.escape(TRUTH_TITLE)}</caption>"
            "<tr><th>calibration</th><th>quantity</th><th>truth</th><th>result</th><th>difference</th></tr>"
            f"{''.join(rows)}</table></section>")


def settings_table(values: dict) -> str:
    rows = "".join(f"<tr><th>{html.escape(k)}</th><td style='text-align:left'>{html.escape(json.dumps(v))}</td></tr>"
                   for k, v in values.items())
    return f"<table><caption>Settings</caption>{rows}</table>"


def duration_text(seconds: float) -> str:
    """Milliseconds below a second, so that quick calibrations do not read as 0.00 s."""
    return f"{seconds * 1000:.1f} ms" if seconds < 1 else f"{seconds:.2f} s"


def status_table(outcomes) -> str:
    rows = []
    for o in outcomes:
        detail = o.result_path or (o.message.splitlines()[0] if o.message else "")
        rows.append(f"<tr><td style='text-align:left'>{html.escape(o.calibration.name)}</td>"
                    f"<td class='{o.status}'>{o.status}</td><td>{duration_text(o.seconds)}</td>"
                    f"<td style='text-align:left'>{html.escape(detail)}</td></tr>")
    return ("<table><caption>Calibrations</caption><tr><th>name</th><th>status</th><th>time</th>"
            f"<th>result</th></tr>{''.join(rows)}</table>")


def render(title: str, outcomes, settings: dict, truth_path: str = "") -> str:
    stamp = datetime.datetime.now().isoformat(timespec="seconds")
    truth = f"<p>Simulated truth from {html.escape(truth_path)} is drawn beside the results.</p>" if truth_path else ""
    return ("<!DOCTYPE html><html lang='en'><head><meta charset='utf-8'>"
            f"<title>{html.escape(title)}</title><style>{STYLE}</style></head><body>"
            f"<h1>{html.escape(title)}</h1><p>Written {stamp}.</p>{truth}"
            + status_table(outcomes) + settings_table(settings) + truth_section(outcomes)
            + "".join(outcome_sections(outcomes)) + "</body></html>\n")


def write(path: str, title: str, outcomes, settings: dict, truth_path: str = "") -> None:
    atomic_write.write_text_atomically(path, render(title, outcomes, settings, truth_path))
