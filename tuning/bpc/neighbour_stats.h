// Same-colour neighbourhood statistics of a Bayer frame and the cold pixel
// outlier test built on them. Every pixel is judged against the eight nearest
// pixels of its own colour (two rows and/or two columns away); edges mirror
// inside the colour plane without repeating the edge sample.
//
// All statistics are single precision and computed in one fixed order, so the
// results are reproducible bit for bit: the neighbour reads equal a 3 x 3
// single-tap correlation of each colour plane with reflect-101 borders, and
// the sum of the eight neighbours is taken in slot order (see kNeighbourSlots).
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace tuning::bpc {

// Neighbour offsets (plane rows, plane columns) in summation order: the 3 x 3
// window in row-major order with the centre replaced by the last position.
inline constexpr std::array<std::pair<int, int>, 8> kNeighbourSlots = {
    {{-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {1, 1}, {0, 1}, {1, -1}, {1, 0}}};

// Per-pixel minimum, maximum and trimmed mean (one largest and one smallest
// neighbour dropped) of the eight neighbours, in full-frame positions.
struct NeighbourStats {
  std::int64_t height = 0;
  std::int64_t width = 0;
  std::vector<float> min_val;
  std::vector<float> max_val;
  std::vector<float> mean_val;
};

// Flagged pixel positions in row-major order, as two parallel lists.
struct FlaggedPixels {
  std::vector<std::int64_t> rows;
  std::vector<std::int64_t> columns;
};

// Statistics of a row-major height x width frame (raw DN or any real scale).
// Throws ShapeError unless both sizes are even and positive.
NeighbourStats win_ave(const double* img, std::int64_t height, std::int64_t width);

// Cold pixel test: with s = img / 256, a pixel is flagged when
// |s - trimmed mean| >= cold_bad_ratio x (the narrower side of the neighbour
// spread around the trimmed mean). The deviation is zero in a two-pixel border
// band, so border pixels are flagged only where that threshold is <= 0. The
// ratio is taken in single precision, like the spread it scales.
FlaggedPixels get_dark_bad(const double* img, std::int64_t height, std::int64_t width, double cold_bad_ratio);

// The same test in two steps, for callers that make the neighbour reads
// (cold_neighbour_reads over the whole frame) while the frame is in cache
// and would rather not keep the frame itself.
void cold_neighbour_reads(const double* values, std::size_t count, float* reads);

// Step one decides every pixel from the reads alone, except the few whose
// threshold lies within rounding distance of their deviation: those are
// listed among the flagged pixels, and in `undecided` with what settles them.
struct ColdCandidates {
  struct Undecided {
    std::size_t slot;  // index into pixels
    float mean;        // trimmed mean of the neighbours (scaled frame)
    float thr;         // threshold on the deviation (scaled frame)
  };
  FlaggedPixels pixels;  // flagged and undecided, row-major
  std::vector<Undecided> undecided;
};
ColdCandidates cold_candidates(const float* reads, std::int64_t height, std::int64_t width, double cold_bad_ratio);

// Step two: values[i] is the frame value (unscaled) of undecided pixel i;
// returns the flagged pixels, row-major.
FlaggedPixels settle_cold_candidates(ColdCandidates candidates, const std::vector<double>& values);

}  // namespace tuning::bpc
