#include "noise_entry.h"

#include <filesystem>
#include <system_error>

namespace tuning::noise {

void set_entry_sweep(std::vector<Number>& again_list, std::vector<Number>& exp_time_list) {
  for (int gain : {1, 2, 4, 8}) {
    again_list.push_back(Number::of_integer(gain));
    exp_time_list.push_back(Number::of_integer(20));
  }
}

std::string write_result_file(const std::string& out_file_dir, const char* name, const OrderedJson& record) {
  // Checked here so the error names the folder, not the temporary file.
  std::error_code ec;
  if (!std::filesystem::is_directory(out_file_dir, ec))
    throw std::filesystem::filesystem_error("result folder does not exist", std::filesystem::path(out_file_dir),
                                            std::make_error_code(std::errc::no_such_file_or_directory));
  const std::string path = (std::filesystem::path(out_file_dir) / name).string();
  write_file_atomically(path, python_json_text(record));
  return path;
}

}  // namespace tuning::noise
