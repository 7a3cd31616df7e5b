// Host records of the black level module as core structs (binding side only).
#pragma once

#include "../tunekit/host.h"
#include "black_level.h"

namespace tunekit {

inline tuning::blc::BLCFileParam blc_file_param_from(py::handle record) {
  tuning::blc::BLCFileParam p;
  static_cast<tuning::FileParam&>(p) = file_param_from(record);
  p.again_list = numbers_from(record.attr("again_list"), "again_list");
  p.exp_time_list = numbers_from(record.attr("exp_time_list"), "exp_time_list");
  return p;
}

}  // namespace tunekit
