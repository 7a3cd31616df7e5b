// Static bad pixels per analog gain: hot pixels from averaged dark captures
// (a global threshold on the black level), cold pixels from averaged lit
// captures (the same-colour neighbourhood test), and the union of all gains
// packed into the ISP's static bad pixel table.
#pragma once

#include <string>
#include <vector>

#include "../shared/json_text.h"
#include "../shared/model.h"
#include "axis_table.h"

namespace tuning::bpc {

enum class BPType { Hot, Cold };

std::string_view bp_type_value(BPType type);

struct BPCFileParam : FileParam {
  std::vector<Number> again_list;
  std::vector<Number> exp_time_list;  // carried along; every exposure is taken together
  BPType bp_type = BPType::Hot;
};

struct BPCTuningParam {
  std::string module = "bpc";
  double dark_thr_ratio = 0.0;   // hot: margin above the black level, as a fraction of it
  double light_thr_ratio = 0.0;  // cold: multiple of the neighbourhood spread
};

constexpr auto record_fields_of(RecordTag<BPCFileParam>) {
  return record<BPCFileParam, FileParam>(
      "BPCFileParam", "A bad pixel capture set: the base fields plus its gains and the detection it is for.",
      field("again_list", &BPCFileParam::again_list, "analog gains, in processing order"),
      field("exp_time_list", &BPCFileParam::exp_time_list,
            "exposure times; not read: captures of every exposure are taken together"),
      field("bp_type", &BPCFileParam::bp_type, "Hot (dark captures) or Cold (lit captures)"));
}

constexpr auto record_fields_of(RecordTag<BPCTuningParam>) {
  return record<BPCTuningParam>(
      "BPCTuningParam", "Bad pixel thresholds.",
      field("module", &BPCTuningParam::module, "calibration module short name"),
      field("dark_thr_ratio", &BPCTuningParam::dark_thr_ratio,
            "hot margin: a pixel is hot above black level x (1 + ratio) (fraction of the black level)"),
      field("light_thr_ratio", &BPCTuningParam::light_thr_ratio,
            "cold factor: multiple of the narrower neighbourhood spread (dimensionless)"));
}

struct GainBadPixels {
  std::string gain;                      // the gain as text, e.g. "1"
  std::vector<PixelPosition> positions;  // row-major order
};

struct BPCTuningResult {
  std::string module = "bpc";
  std::vector<GainBadPixels> static_loc;  // in again_list order, gains with captures only
  std::vector<std::string> static_info;   // packed table words
};

constexpr auto record_fields_of(RecordTag<BPCTuningResult>) {
  return record<BPCTuningResult>(
      "BPCTuningResult", "Bad pixels per analog gain and the packed table of their union.",
      field("module", &BPCTuningResult::module, "calibration module short name"),
      field("static_loc", &BPCTuningResult::static_loc,
            "gain text -> bad pixel positions (row, column) in full-frame pixels, row-major order"),
      field("static_info", &BPCTuningResult::static_info,
            "packed table: '0x' + 8 hex digits per 32-bit word, rows ascending"));
}

// Capture kind words of the two detections.
inline constexpr const char* kHotKind = "dark";
inline constexpr const char* kColdKind = "light";

// Cold pixels the neighbour reads leave undecided are averaged again one by
// one from the captures; beyond this many, the whole frame is averaged again.
inline constexpr std::size_t kSingleValueBudget = 4096;

// Runs the detection bp_type selects on every gain of again_list that has
// captures (of any exposure) and packs the union. Creates out_file_dir (one
// level) and writes nothing into it.
BPCTuningResult gen_bpc_param(const BPCFileParam& file_param, const BPCTuningParam& tuning_param);

OrderedJson to_json(const BPCTuningResult& result);

// The module entry: built-in settings, result written to
// <out_file_dir>/static_bad_pixels.json.
struct EntryOutcome {
  BPCTuningResult result;
  std::string result_path;
};
BPCFileParam default_entry_file_param();
BPCTuningParam default_entry_tuning_param();
EntryOutcome run_entry();

}  // namespace tuning::bpc
