// Preview of how well a dark shading mesh table corrects a dark test frame:
// contrast-stretched 8 x 8 block means of the frame before and after the
// table is subtracted, on one common scale, written as PNG images for people
// to look at.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tuning::blc {

// Side of the square blocks whose means the previews show, in samples.
inline constexpr std::int64_t kPreviewBlock = 8;

// A row-major rows x cols array of doubles, borrowed from the caller.
struct PlaneView {
  const double* data = nullptr;
  std::int64_t rows = 0;
  std::int64_t cols = 0;
};

// One preview on the 0..255 scale, (rows / 8) x (cols / 8) values.
struct PreviewImage {
  std::vector<double> values;
  std::int64_t rows = 0;
  std::int64_t cols = 0;
  // Largest value before the stretch to 255. When it is 0 or not finite the
  // stretch is undefined and the preview is left black.
  double largest = 0.0;
  bool blank = false;
};

struct DarkPreview {
  PreviewImage before;  // the test frame as captured
  PreviewImage after;   // the test frame minus the mesh table
};

// Both previews of a test frame (raw DN) corrected by a mesh table made with
// the given with_sbl. The frame's sides must be positive multiples of 8
// (ShapeError otherwise).
DarkPreview dark_preview(PlaneView mesh_table, PlaneView testraw, std::int64_t with_sbl);

struct PreviewFiles {
  std::string before_path;
  std::string after_path;
};

// Writes the previews as 8-bit grey PNG files <folder>/<name>_before.png and
// <name>_after.png, each block enlarged back to 8 x 8 pixels; creates folder
// (one level) when it is missing. Each file appears whole or not at all.
PreviewFiles write_dark_preview(const DarkPreview& preview, const std::string& folder, const std::string& name);

// The routine as the host calls it: previews of testraw written into
// <path>/tmp, named after name (e.g. LCG_exp_10_again_2_before.png).
struct DarkQualityCheck {
  DarkPreview preview;
  PreviewFiles files;
};
DarkQualityCheck check_tuning_quality_in_dark_img(PlaneView mesh_table, PlaneView testraw, std::int64_t with_sbl,
                                                  const std::string& name, const std::string& path);

}  // namespace tuning::blc
