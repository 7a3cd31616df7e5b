// Dark shading mesh tables: how the dark level varies over the image area, one
// coarse table per (analog gain, exposure time) pair of a dark capture set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "black_level.h"

namespace tuning::blc {

// rows x cols dark levels in row-major order (raw DN; relative to fpn_sbl and
// clipped to the sample range when the tables were made with with_sbl = 0).
struct MeshTable {
  std::int64_t rows = 0;
  std::int64_t cols = 0;
  std::vector<double> values;
};

// Tables in sweep order, gain first, then exposure; pairs without captures
// have none.
struct DarkShadingResult {
  std::vector<MeshTable> mesh_table;
};

// The mesh table of one averaged dark frame given as a block grid
// (block_rows x block_cols block means): resampled bilinearly to
// mesh_table_h x mesh_table_w, smoothed by a 3 x 3 box filter (border mirrored
// about the edge sample) and, when with_sbl is 0, made relative to fpn_sbl and
// clipped to [0, 2^bits - 1].
MeshTable mesh_from_block_means(const std::vector<double>& block_means, std::int64_t block_rows,
                                std::int64_t block_cols, const BLCTuningParam& tuning_param, std::int64_t bits);

// Sweeps the dark captures of file_param (each must hold exactly height x width
// samples) and makes one table per pair that has captures. Creates
// out_file_dir but writes nothing into it; prints one line with the effective
// parameters. Shape failures throw ShapeError.
DarkShadingResult dark_shading_tuning(const BLCFileParam& file_param, const BLCTuningParam& tuning_param,
                                      const LineSink& print);

// Largest sample value of a bits-bit capture, 2^bits - 1, as the host writes
// the number (exact integer digits for bits >= 0).
std::string sample_max_text(std::int64_t bits);

}  // namespace tuning::blc
