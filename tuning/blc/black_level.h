// Black level per Bayer cell position from dark captures, swept over every
// (analog gain, exposure time) pair of a capture set.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "../shared/json_text.h"
#include "../shared/model.h"
#include "../shared/raw_capture.h"

namespace tuning::blc {

// Four black levels in cell-position order (raw DN, or 8-bit scale for v2).
using BlackLevel4 = CellValues;

struct BLCFileParam : FileParam {
  std::vector<Number> again_list;
  std::vector<Number> exp_time_list;
};

struct BLCTuningParam {
  std::string module = "blc";
  std::vector<Number> sbl = {Number::of_real(0), Number::of_real(0), Number::of_real(0), Number::of_real(0)};
  std::int64_t with_sbl = 1;
  std::int64_t fpn_sbl = 64;
  std::int64_t kernel_size = 3;
  std::int64_t mesh_table_h = 24;
  std::int64_t mesh_table_w = 24;
};

constexpr auto record_fields_of(RecordTag<BLCFileParam>) {
  return record<BLCFileParam, FileParam>(
      "BLCFileParam", "A dark capture set: the base fields plus the gains and exposure times it holds.",
      field("again_list", &BLCFileParam::again_list, "analog gains, in sweep order"),
      field("exp_time_list", &BLCFileParam::exp_time_list, "exposure times, in sweep order"));
}

// The routines read the dark shading settings only: module and sbl are the host's.
constexpr auto record_fields_of(RecordTag<BLCTuningParam>) {
  return record<BLCTuningParam>(
      "BLCTuningParam", "Black level and dark shading tuning parameters.",
      field("module", &BLCTuningParam::module, "calibration module short name").host_only(),
      field("sbl", &BLCTuningParam::sbl, "static black level per cell position (raw DN)").host_only(),
      field("with_sbl", &BLCTuningParam::with_sbl, "nonzero: dark shading tables keep the black level"),
      field("fpn_sbl", &BLCTuningParam::fpn_sbl,
            "level removed from the dark shading tables when with_sbl is 0 (raw DN)"),
      field("kernel_size", &BLCTuningParam::kernel_size, "smoothing kernel size, reported only"),
      field("mesh_table_h", &BLCTuningParam::mesh_table_h, "dark shading mesh rows"),
      field("mesh_table_w", &BLCTuningParam::mesh_table_w, "dark shading mesh columns"));
}

struct ExposureLevels {
  std::string key;  // "exp_time_<exposure>"
  BlackLevel4 level;
};

struct GainLevels {
  std::string key;  // "again_<gain>"
  std::vector<ExposureLevels> exposures;
};

struct BLCTuningResult {
  std::string module = "blc";
  std::vector<GainLevels> sbl;
  bool has_fixed_sbl = false;
  double fixed_sbl = 0.0;
};

// Per-exposure estimator: the matched capture paths of one pair in, four levels out.
using BlackLevelEstimator = std::function<BlackLevel4(const std::vector<std::string>& files)>;

// The sweep shared by both black level routines. Prints each pair's matches.
BLCTuningResult sweep_dark_captures(const BLCFileParam& file_param, const BlackLevelEstimator& estimate,
                                    const LineSink& print);

// Mean per cell position over frames held in memory (each frame height x width).
BlackLevel4 mean_cell_levels(const std::vector<const std::uint16_t*>& frames, std::int64_t height, std::int64_t width);

// Raw black levels: captures shaped by truncation, averaged one at a time.
BLCTuningResult gen_blc_param(const BLCFileParam& file_param, const LineSink& print);
BlackLevel4 estimate_black_level(const std::vector<std::string>& files, const FileParam& file_param);

// Black levels scaled by 256 / 2^bits; every capture must hold exactly height x width samples.
BLCTuningResult gen_blc_param_v2(const BLCFileParam& file_param, const LineSink& print);
// Mean over the captures of each one's cell-position means, on the 256-scale; at least one capture.
BlackLevel4 mean_capture_levels_256(const std::vector<std::string>& files, const FileParam& file_param);

OrderedJson to_json(const BLCTuningResult& result);

// The module entry: built-in settings, result written to <out_file_dir>/result.json.
struct EntryOutcome {
  BLCTuningResult result;
  std::string result_path;
};
BLCFileParam default_entry_file_param();
EntryOutcome run_entry(const LineSink& print);

}  // namespace tuning::blc
