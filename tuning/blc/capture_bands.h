// Reading a list of captures as bands of whole rows, small enough to stay in
// cache, on a helper thread: the caller works on one band while the next is
// read, so summing a capture costs little more than reading it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tuning::blc {

// visit(samples, first_row, row_count) for consecutive bands of each capture,
// captures in list order. Every capture must hold exactly height x width
// samples: otherwise ShapeError naming the file, the expected and the found
// count is thrown before any band of it is visited. I/O failures throw
// std::filesystem::filesystem_error naming the file. An exception thrown by
// visit stops the reading and reaches the caller.
using BandVisitor = std::function<void(const std::uint16_t* samples, std::int64_t first_row, std::int64_t row_count)>;
void for_each_capture_band(const std::vector<std::string>& files, std::int64_t height, std::int64_t width,
                           const BandVisitor& visit);

// Throws ShapeError naming the file, the expected and the found sample count
// unless the capture holds exactly height x width samples.
void require_frame_samples(const std::string& path, std::uint64_t found, std::int64_t height, std::int64_t width);

}  // namespace tuning::blc
