// The module entry of tuning.bpc.bpc: a hot pixel calibration of the sample
// capture set with fixed settings, written as static_bad_pixels.json.
#include <filesystem>

#include "bad_pixels.h"

namespace tuning::bpc {

namespace {

constexpr const char* kResultFileName = "static_bad_pixels.json";

}  // namespace

BPCFileParam default_entry_file_param() {
  BPCFileParam p;
  p.inp_file_dir = "./test_data/imx347_blc2/";
  p.out_file_dir = "./test_data/imx347/";
  p.width = 2560;
  p.height = 1440;
  p.bits = 16;
  for (int g : {1, 2, 4, 8}) p.again_list.push_back(Number::of_integer(g));
  for (int e : {20, 20, 20, 20}) p.exp_time_list.push_back(Number::of_integer(e));
  p.bp_type = BPType::Hot;
  p.sensor_mode = SensorMode::LCG;
  return p;
}

BPCTuningParam default_entry_tuning_param() {
  BPCTuningParam p;
  p.dark_thr_ratio = 0.4;
  p.light_thr_ratio = 20.0;
  return p;
}

EntryOutcome run_entry() {
  const BPCFileParam file_param = default_entry_file_param();
  EntryOutcome outcome{gen_bpc_param(file_param, default_entry_tuning_param()),
                       (std::filesystem::path(file_param.out_file_dir) / kResultFileName).string()};
  write_file_atomically(outcome.result_path, python_json_text(to_json(outcome.result)));
  return outcome;
}

}  // namespace tuning::bpc
