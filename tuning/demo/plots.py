"""Figures of the demo steps: PNG files drawn without a display."""


def pyplot():
    """matplotlib's pyplot on the Agg backend (no window, no display needed)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def finish(fig, ax, path, xlabel, ylabel, title):
    """Labels, grid and legend, then the PNG at path; returns path."""
    ax.set_xlabel(xlabel)
    ax.set_ylabel(ylabel)
    ax.set_title(title)
    ax.grid(alpha=0.3)
    ax.legend(fontsize=8, ncol=2)
    fig.tight_layout()
    from tuning import atomic_write

    with atomic_write.atomic_output(path) as f:
        fig.savefig(f, dpi=100, format="png")
    pyplot().close(fig)
    return path
