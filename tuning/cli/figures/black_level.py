"""Report figures shared by the two black level calibrations."""
import html

from tuning.cli.calibration import Figure, RunContext, Section, number_text


def levels_table(context: RunContext):
    """(gains, exposures, levels[gain][exposure] -> 4 values or None) in sweep order."""
    p = context.file_param
    gains, exposures = list(p.again_list), list(p.exp_time_list)
    sbl = context.result.sbl
    levels = [[sbl.get(f"again_{number_text(g)}", {}).get(f"exp_time_{number_text(e)}") for e in exposures]
              for g in gains]
    return gains, exposures, levels


def section(context: RunContext, title: str, unit: str, scale: float) -> Section:
    """scale: from raw DN to the result's unit (1 for raw black levels)."""
    import numpy as np

    from tuning.cli.figures import plotting

    p = context.file_param
    gains, exposures, levels = levels_table(context)
    names = plotting.channel_names(p)
    truth = None
    if context.truth is not None:
        truth = np.array([context.truth.true_dark_level(g) for g in gains]) * scale

    fig, axes = plotting.new_figure(9.0, 5.5, 2, 2, sharex=True)
    for c, ax in enumerate(axes.flat):
        for j, e in enumerate(exposures):
            ys = [row[j][c] if row[j] is not None else np.nan for row in levels]
            ax.plot(gains, ys, "o-", label=f"exp {number_text(e)}")
        if truth is not None:
            ax.plot(gains, truth[:, c], "k--", lw=1, label="simulated truth")
        ax.set_title(names[c], fontsize=10)
        ax.set_xscale("log", base=2)
        ax.set_ylabel(unit)
        ax.grid(alpha=0.3)
    for ax in axes[-1]:
        ax.set_xlabel("analog gain")
    axes.flat[0].legend(fontsize=8)
    per_channel = Figure("Black level per channel over gain",
                         f"Black level per cell position ({unit}) against analog gain, one line per exposure time"
                         + ("; dashed: the simulator's true dark level" if truth is not None else "") + ".",
                         plotting.png_base64(fig))

    grid = np.array([[np.mean(v) if v is not None else np.nan for v in row] for row in levels], dtype=float)
    fig, ax = plotting.new_figure(6.5, 0.6 + 0.45 * max(len(gains), 2))
    image = ax.imshow(grid, cmap="viridis", aspect="auto")
    ax.set_xticks(range(len(exposures)), [number_text(e) for e in exposures])
    ax.set_yticks(range(len(gains)), [number_text(g) for g in gains])
    ax.set_xlabel("exposure time")
    ax.set_ylabel("analog gain")
    middle = np.nanmean(grid) if np.isfinite(grid).any() else 0.0
    for i in range(len(gains)):
        for j in range(len(exposures)):
            text = "none" if np.isnan(grid[i, j]) else f"{grid[i, j]:.2f}"
            # Dark text on the bright end of the colour map, light text on the dark end.
            colour = "k" if not np.isnan(grid[i, j]) and grid[i, j] > middle else "w"
            ax.text(j, i, text, ha="center", va="center", color=colour, fontsize=8)
    fig.colorbar(image, ax=ax, label=unit)
    fixed = context.result.fixed_sbl.get("fixed_sbl")
    heat = Figure("Four-channel mean over gain and exposure",
                  f"Mean of the four cell positions per (gain, exposure) pair ({unit}); 'none': no captures. "
                  f"Fixed static black level: {fixed:.3f} {unit}." if fixed is not None else
                  f"Mean of the four cell positions per (gain, exposure) pair ({unit}).",
                  plotting.png_base64(fig))
    return Section(title, [per_channel, heat], table(gains, exposures, levels, names, truth, unit))


def table(gains, exposures, levels, names, truth, unit) -> str:
    head = "".join(f"<th>{html.escape(n)}</th>" for n in names)
    rows = []
    for i, g in enumerate(gains):
        for j, e in enumerate(exposures):
            if levels[i][j] is None:
                continue
            cells = "".join(f"<td>{v:.3f}</td>" if truth is None else f"<td>{v:.3f} <small>({t:.3f})</small></td>"
                            for v, t in zip(levels[i][j], truth[i] if truth is not None else levels[i][j]))
            rows.append(f"<tr><td>{number_text(g)}</td><td>{number_text(e)}</td>{cells}</tr>")
    note = " (simulated truth in brackets)" if truth is not None else ""
    return (f"<table><caption>Black level per pair, {html.escape(unit)}{note}</caption>"
            f"<tr><th>gain</th><th>exposure</th>{head}</tr>{''.join(rows)}</table>")

