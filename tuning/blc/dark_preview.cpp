#include "dark_preview.h"

#include <cmath>
#include <limits>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "../shared/errors.h"
#include "../shared/json_text.h"
#include "../shared/raw_capture.h"

namespace tuning::blc {

namespace {

// The stretch keeps 5 "deltas" either side of the level it centres on.
constexpr double kHalfRangeInDeltas = 5.0;
constexpr double kPreviewFullScale = 255.0;

void require_preview_frame(const PlaneView& testraw) {
  if (testraw.rows <= 0 || testraw.cols <= 0 || testraw.rows % kPreviewBlock != 0 || testraw.cols % kPreviewBlock != 0)
    throw ShapeError("the dark test frame must be a positive multiple of " + std::to_string(kPreviewBlock) +
                     " samples on each side; got " + std::to_string(testraw.rows) + " x " +
                     std::to_string(testraw.cols));
}

cv::Mat wrap(const PlaneView& plane) {
  return cv::Mat(static_cast<int>(plane.rows), static_cast<int>(plane.cols), CV_64F, const_cast<double*>(plane.data));
}

// Means of the 8 x 8 blocks of a plane whose sides are multiples of 8.
cv::Mat block_means(const cv::Mat& plane) {
  cv::Mat means = cv::Mat::zeros(plane.rows / static_cast<int>(kPreviewBlock),
                                 plane.cols / static_cast<int>(kPreviewBlock), CV_64F);
  for (int y = 0; y < plane.rows; ++y) {
    const double* row = plane.ptr<double>(y);
    double* out = means.ptr<double>(y / static_cast<int>(kPreviewBlock));
    for (int x = 0; x < plane.cols; ++x) out[x / kPreviewBlock] += row[x];
  }
  return means / static_cast<double>(kPreviewBlock * kPreviewBlock);
}

// Population standard deviation of every value, in two passes: a frame with
// no variation must give exactly 0 (a blank preview), which a sum-of-squares
// formula does not promise.
double population_std(const cv::Mat& values) {
  const double mean = cv::mean(values)[0];
  double squares = 0.0;
  for (int y = 0; y < values.rows; ++y) {
    const double* row = values.ptr<double>(y);
    for (int x = 0; x < values.cols; ++x) squares += (row[x] - mean) * (row[x] - mean);
  }
  return std::sqrt(squares / static_cast<double>(values.total()));
}

// clip(values + shift, 0, 10 delta), then scaled so that the largest value is 255.
PreviewImage stretch(const cv::Mat& pool, double shift, double delta) {
  PreviewImage image;
  image.rows = pool.rows;
  image.cols = pool.cols;
  image.values.resize(static_cast<std::size_t>(pool.total()));
  const double upper = 2.0 * kHalfRangeInDeltas * delta;
  double largest = -std::numeric_limits<double>::infinity();
  std::size_t k = 0;
  for (int y = 0; y < pool.rows; ++y)
    for (int x = 0; x < pool.cols; ++x, ++k) {
      const double v = std::min(std::max(pool.at<double>(y, x) + shift, 0.0), upper);
      image.values[k] = v;
      // A NaN anywhere makes the largest value NaN, so the preview is blanked.
      if (std::isnan(v) || std::isnan(largest))
        largest = std::numeric_limits<double>::quiet_NaN();
      else
        largest = std::max(largest, v);
    }
  image.largest = largest;
  image.blank = !(std::isfinite(largest) && largest > 0.0);
  for (double& v : image.values) v = image.blank ? 0.0 : v / largest * kPreviewFullScale;
  return image;
}

std::string png_bytes(const PreviewImage& image) {
  cv::Mat grey;
  cv::Mat(static_cast<int>(image.rows), static_cast<int>(image.cols), CV_64F, const_cast<double*>(image.values.data()))
      .convertTo(grey, CV_8U);
  cv::Mat enlarged;
  cv::resize(grey, enlarged,
             cv::Size(grey.cols * static_cast<int>(kPreviewBlock), grey.rows * static_cast<int>(kPreviewBlock)), 0, 0,
             cv::INTER_NEAREST);
  std::vector<unsigned char> bytes;
  if (!cv::imencode(".png", enlarged, bytes))
    throw std::runtime_error("cannot encode a " + std::to_string(enlarged.cols) + " x " +
                             std::to_string(enlarged.rows) + " dark preview as PNG");
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

DarkPreview dark_preview(PlaneView mesh_table, PlaneView testraw, std::int64_t with_sbl) {
  require_preview_frame(testraw);
  if (mesh_table.rows <= 0 || mesh_table.cols <= 0)
    throw ShapeError("the mesh table must not be empty; got " + std::to_string(mesh_table.rows) + " x " +
                     std::to_string(mesh_table.cols));
  const cv::Mat raw = wrap(testraw);
  cv::Mat apply_mesh;
  cv::resize(wrap(mesh_table), apply_mesh, raw.size());

  const double mean = cv::mean(raw)[0];
  const cv::Mat src_pool = block_means(raw);
  const double delta = std::sqrt(population_std(src_pool));

  cv::Mat ds_correct = raw - apply_mesh;
  if (with_sbl == 0) ds_correct -= mean;
  const cv::Mat correct_pool = block_means(ds_correct);

  const double centre = kHalfRangeInDeltas * delta;
  return {stretch(src_pool, centre - mean, delta), stretch(correct_pool, centre, delta)};
}

PreviewFiles write_dark_preview(const DarkPreview& preview, const std::string& folder, const std::string& name) {
  ensure_output_dir(folder);
  PreviewFiles files{folder + "/" + name + "_before.png", folder + "/" + name + "_after.png"};
  write_file_atomically(files.before_path, png_bytes(preview.before));
  write_file_atomically(files.after_path, png_bytes(preview.after));
  return files;
}

DarkQualityCheck check_tuning_quality_in_dark_img(PlaneView mesh_table, PlaneView testraw, std::int64_t with_sbl,
                                                  const std::string& name, const std::string& path) {
  DarkQualityCheck check;
  check.preview = dark_preview(mesh_table, testraw, with_sbl);
  check.files = write_dark_preview(check.preview, path + "/tmp", name);
  return check;
}

}  // namespace tuning::blc
