#include "dark_shading.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "../shared/capture_set.h"
#include "../shared/errors.h"
#include "../shared/progress.h"
#include "dark_frame_blocks.h"

namespace tuning::blc {

namespace {

constexpr const char* kDarkKind = "dark";
// The smoothing window is fixed; kernel_size is only reported.
constexpr int kSmoothingWindow = 3;

void require_mesh_size(std::int64_t mesh_table_h, std::int64_t mesh_table_w) {
  if (mesh_table_h <= 0 || mesh_table_w <= 0 || mesh_table_h > INT32_MAX || mesh_table_w > INT32_MAX)
    throw ShapeError("dark shading mesh size must be positive; got mesh_table_h " + std::to_string(mesh_table_h) +
                     " x mesh_table_w " + std::to_string(mesh_table_w));
}

}  // namespace

std::string sample_max_text(std::int64_t bits) {
  if (bits < 0) return float_repr(std::pow(2.0, static_cast<double>(bits)) - 1.0);
  // Decimal digits, least significant first, doubled bits times.
  std::string digits = "1";
  for (std::int64_t b = 0; b < bits; ++b) {
    int carry = 0;
    for (char& d : digits) {
      const int v = (d - '0') * 2 + carry;
      d = static_cast<char>('0' + v % 10);
      carry = v / 10;
    }
    if (carry) digits.push_back(static_cast<char>('0' + carry));
  }
  digits[0] = static_cast<char>(digits[0] - 1);  // 2^b ends in 2, 4, 6 or 8 (or is 1): no borrow
  std::reverse(digits.begin(), digits.end());
  return digits;
}

MeshTable mesh_from_block_means(const std::vector<double>& block_means, std::int64_t block_rows,
                                std::int64_t block_cols, const BLCTuningParam& tuning_param, std::int64_t bits) {
  require_mesh_size(tuning_param.mesh_table_h, tuning_param.mesh_table_w);
  if (block_rows <= 0 || block_cols <= 0 || static_cast<std::size_t>(block_rows * block_cols) != block_means.size())
    throw ShapeError("a block grid of " + std::to_string(block_rows) + " x " + std::to_string(block_cols) +
                     " needs that many block means; got " + std::to_string(block_means.size()));
  const cv::Mat blocks(static_cast<int>(block_rows), static_cast<int>(block_cols), CV_64F,
                       const_cast<double*>(block_means.data()));
  cv::Mat resized;
  cv::resize(blocks, resized,
             cv::Size(static_cast<int>(tuning_param.mesh_table_w), static_cast<int>(tuning_param.mesh_table_h)));

  MeshTable table;
  table.rows = tuning_param.mesh_table_h;
  table.cols = tuning_param.mesh_table_w;
  table.values.resize(static_cast<std::size_t>(table.rows * table.cols));
  cv::Mat smoothed(resized.rows, resized.cols, CV_64F, table.values.data());
  cv::boxFilter(resized, smoothed, -1, cv::Size(kSmoothingWindow, kSmoothingWindow));

  if (tuning_param.with_sbl == 0) {
    const double offset = static_cast<double>(tuning_param.fpn_sbl);
    const double clip_max = std::pow(2.0, static_cast<double>(bits)) - 1.0;
    // min(max(.)) rather than std::clamp: an upper bound below 0 wins, as the
    // element-wise clip of the tables always did.
    for (double& v : table.values) v = std::min(std::max(v - offset, 0.0), clip_max);
  }
  return table;
}

DarkShadingResult dark_shading_tuning(const BLCFileParam& file_param, const BLCTuningParam& tuning_param,
                                      const LineSink& print) {
  ensure_output_dir(file_param.out_file_dir);
  print(std::to_string(tuning_param.with_sbl) + " " + std::to_string(tuning_param.fpn_sbl) + " " +
        std::to_string(tuning_param.kernel_size) + " " + std::to_string(tuning_param.mesh_table_h) + " " +
        std::to_string(tuning_param.mesh_table_w) + " " + std::to_string(file_param.bits) + " 0 " +
        sample_max_text(file_param.bits));

  DarkShadingResult result;
  for (const Number& gain : file_param.again_list) {
    for (const Number& exposure : file_param.exp_time_list) {
      const auto files = glob_files(capture_pattern(file_param.inp_file_dir, kDarkKind, file_param.sensor_mode,
                                                    exposure, gain, file_param.capture_format));
      if (files.empty()) continue;
      if (!frame_size_fits(file_param.height, file_param.width))  // before any size arithmetic
        for (const auto& path : files)
          require_frame_size(path, file_param.capture_format, file_param.height, file_param.width);
      BlockAxis rows, cols;
      try {
        rows = block_axis(file_param.height, tuning_param.mesh_table_h, "height");
        cols = block_axis(file_param.width, tuning_param.mesh_table_w, "width");
      } catch (const ShapeError&) {
        // The captures are averaged before the frame is cut into blocks, so a
        // capture of the wrong size is the failure to report first.
        for (const auto& path : files)
          require_frame_size(path, file_param.capture_format, file_param.height, file_param.width);
        throw;
      }
      require_mesh_size(tuning_param.mesh_table_h, tuning_param.mesh_table_w);  // before reading every capture
      const std::vector<double> means = averaged_block_means(files, rows, cols, file_param.capture_format);
      result.mesh_table.push_back(mesh_from_block_means(means, rows.count, cols.count, tuning_param, file_param.bits));
      report_progress({std::string(kDarkKind) + " " + std::string(sensor_mode_name(file_param.sensor_mode)) + " exp " +
                           exposure.text() + " again " + gain.text(),
                       files.size(), files.size()});
    }
  }
  return result;
}

}  // namespace tuning::blc
