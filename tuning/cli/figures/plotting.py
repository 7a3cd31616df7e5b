"""Matplotlib on its file-only backend, and figures as embeddable PNG text."""
import base64
import io

import matplotlib

matplotlib.use("Agg")  # no display: the report is written, never shown
import matplotlib.pyplot as plt  # noqa: E402

DPI = 96
CELL_NAMES = {  # channel names of the four cell positions, per colour filter layout
    "RGGB": ("R", "Gr", "Gb", "B"),
    "BGGR": ("B", "Gb", "Gr", "R"),
    "GBRG": ("Gb", "B", "R", "Gr"),
    "GRBG": ("Gr", "R", "B", "Gb"),
}
CHANNEL_COLOURS = ("tab:red", "tab:olive", "tab:green", "tab:blue")


def channel_names(file_param):
    layout = file_param.cfa_type.value
    return [f"{c} ({n})" for c, n in zip(("ch0", "ch1", "ch2", "ch3"), CELL_NAMES.get(layout, ("?",) * 4))]


def new_figure(width=7.5, height=4.0, rows=1, cols=1, **kwargs):
    return plt.subplots(rows, cols, figsize=(width, height), dpi=DPI, **kwargs)


def png_base64(fig) -> str:
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", bbox_inches="tight")
    plt.close(fig)
    return base64.b64encode(buffer.getvalue()).decode("ascii")
