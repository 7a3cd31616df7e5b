// The field table of the capture-set record both noise modules share: the base
// fields, then the module's name, the gains and the exposure times.
#pragma once

#include "../shared/model.h"

namespace tuning::noise {

template <typename FileParamT>
constexpr auto noise_file_fields(const char* name, const char* doc) {
  return record<FileParamT, FileParam>(
      name, doc, field("module", &FileParamT::module, "calibration module short name").host_only(),
      field("again_list", &FileParamT::again_list, "analog gains, in processing order"),
      field("exp_time_list", &FileParamT::exp_time_list,
            "exposure times; carried, not used (the exposure tag is matched by a wildcard)"));
}

}  // namespace tuning::noise
