"""The dark shading mesh a calibration should recover from the simulated dark captures.

The mesh tables hold the absolute dark level (black level plus shading) of
rows x cols equal regions of the frame, smoothed by a 3 x 3 box whose border
mirrors about the edge cell. The truth here is that, computed from the
noise-free dark frame: region means, then the same smoothing, so that what
remains between truth and recovery is capture noise and the resampling of the
block grid onto the mesh.
"""
import numpy as np


def region_means(frame: np.ndarray, rows: int, cols: int) -> np.ndarray:
    """Mean of each of rows x cols regions of frame, region edges at
    i * H / rows (fractional edges weigh the boundary samples pro rata)."""
    def weights(length, parts):
        edges = np.arange(parts + 1) * length / parts
        starts, ends = edges[:-1, None], edges[1:, None]
        index = np.arange(length)[None, :]
        overlap = np.clip(np.minimum(ends, index + 1) - np.maximum(starts, index), 0.0, 1.0)
        return overlap / overlap.sum(axis=1, keepdims=True)

    return weights(frame.shape[0], rows) @ frame @ weights(frame.shape[1], cols).T


def box3(table: np.ndarray) -> np.ndarray:
    """3 x 3 mean with the border mirrored about the edge cell (numpy's 'reflect')."""
    padded = np.pad(table, 1, mode="reflect")
    h, w = table.shape
    return sum(padded[dy:dy + h, dx:dx + w] for dy in range(3) for dx in range(3)) / 9.0


def true_dark_mesh(model, gain, rows: int = 24, cols: int = 24) -> np.ndarray:
    """rows x cols absolute dark level the mesh table of this gain should hold (DN)."""
    frame = np.minimum(model.expected_dark_frame(gain), model.white_level)
    return box3(region_means(frame, rows, cols))


def mesh_deviation(recovered: np.ndarray, truth: np.ndarray):
    """(largest absolute, root mean square) difference between two meshes (DN)."""
    diff = np.asarray(recovered, dtype=np.float64) - truth
    return float(np.abs(diff).max()), float(np.sqrt(np.mean(diff ** 2)))
