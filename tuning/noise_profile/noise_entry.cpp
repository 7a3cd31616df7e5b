#include "noise_entry.h"

#include <filesystem>

namespace tuning::noise {

void set_entry_sweep(std::vector<Number>& again_list, std::vector<Number>& exp_time_list) {
  for (int gain : {1, 2, 4, 8}) {
    again_list.push_back(Number::of_integer(gain));
    exp_time_list.push_back(Number::of_integer(20));
  }
}

std::string write_result_file(const std::string& out_file_dir, const char* name, const OrderedJson& record) {
  const std::string path = (std::filesystem::path(out_file_dir) / name).string();
  write_file_atomically(path, python_json_text(record));
  return path;
}

}  // namespace tuning::noise
