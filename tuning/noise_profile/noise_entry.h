// What the two noise module entries share: the gain sweep of their built-in
// settings and how a result file is written.
#pragma once

#include <string>
#include <vector>

#include "../shared/json_text.h"
#include "../shared/model.h"

namespace tuning::noise {

// Gains 1, 2, 4, 8 (integers), each with exposure time 20.
void set_entry_sweep(std::vector<Number>& again_list, std::vector<Number>& exp_time_list);

// <out_file_dir>/<name> holding the record as the host's json.dumps(indent=4)
// writes it, replaced in one step; returns the path. The folder must exist.
std::string write_result_file(const std::string& out_file_dir, const char* name, const OrderedJson& record);

}  // namespace tuning::noise
