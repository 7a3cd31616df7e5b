// The averaged frame of one capture condition: the running sum of
// frame / N over the N captures in file order, in double precision.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tuning::bpc {

// Fills mean_img (resized to height x width) with the average of the first
// height x width samples of every file. Rows are read and accumulated in
// parallel bands; each value sees the same additions in the same order as a
// single pass would. Throws CalibrationError("invalid image shape, check your
// file param") for a capture that cannot be read (the I/O error nested) or
// holds fewer samples than the frame.
void average_captures(const std::vector<std::string>& files, std::int64_t height, std::int64_t width,
                      std::vector<double>& mean_img);

}  // namespace tuning::bpc
