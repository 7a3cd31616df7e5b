// Reading a list of captures as bands of whole rows, small enough to stay in
// cache, on a helper thread: the caller works on one band while the next is
// read, so summing a capture costs little more than reading it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "capture_reader.h"

namespace tuning {

// visit(samples, first_row, row_count) for consecutive bands of each capture,
// captures in list order, samples unpacked from the format. Each capture is
// opened with open_capture and the rule before any band of it is visited
// (CaptureSizeError when its size breaks the rule); I/O failures throw
// std::filesystem::filesystem_error naming the file. An exception thrown by
// visit stops the reading and reaches the caller. height and width must be
// positive.
using BandVisitor = std::function<void(const std::uint16_t* samples, std::int64_t first_row, std::int64_t row_count)>;
void for_each_capture_band(const std::vector<std::string>& files, const CaptureFormat& format, std::int64_t height,
                           std::int64_t width, ShapeRule rule, const BandVisitor& visit);

}  // namespace tuning
