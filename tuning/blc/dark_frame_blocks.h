// The averaged dark frame of one capture condition, kept as exact per-block
// sums: the dark shading mesh only ever needs block means, so each capture is
// reduced to its blocks as it is read instead of being added into a
// full-frame running sum.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../shared/capture_format.h"

namespace tuning::blc {

// How a frame dimension is cut for the mesh: `count` blocks of `size` samples.
struct BlockAxis {
  std::int64_t count = 0;
  std::int64_t size = 0;
};

// Number of mesh blocks along a frame dimension of x samples: x is halved
// while it stays even, stopping at the first value below mesh_size, which is
// then doubled back. 1440 with 24 gives 45, 2560 gives 40, 15 gives 30.
std::int64_t mesh_block_count(std::int64_t x, std::int64_t mesh_size);

// Blocks along a dimension of `length` samples for a mesh of `mesh_size`.
// Throws ShapeError naming `what` (e.g. "height") when the length cannot be
// cut into whole, non-empty blocks.
BlockAxis block_axis(std::int64_t length, std::int64_t mesh_size, const char* what);

// Block means of the average of the given captures, rows.count x cols.count
// values in row-major order (raw DN). Every capture must hold exactly one
// frame of rows.count*rows.size x cols.count*cols.size samples (else
// require_frame_size's error). Sums are exact in 64-bit integers, so the
// order of the captures does not change the result. Captures are read in
// bands of rows (see shared/capture_bands.h), so memory stays at a few bands
// whatever the frame size.
std::vector<double> averaged_block_means(const std::vector<std::string>& files, BlockAxis rows, BlockAxis cols,
                                         const CaptureFormat& format = {});

// True when height x width is a frame whose samples and sums can be counted in 64 bits.
bool frame_size_fits(std::int64_t height, std::int64_t width);

// Throws ShapeError naming the file, the expected and the found sample count
// unless the capture holds exactly height x width samples.
void require_frame_samples(const std::string& path, std::uint64_t found, std::int64_t height, std::int64_t width);

// The same check for a capture of any format: today's raw16 captures are
// counted in samples (require_frame_samples), others must have their exact
// size (CaptureSizeError naming the file and both sizes in bytes).
void require_frame_size(const std::string& path, const CaptureFormat& format, std::int64_t height, std::int64_t width);

}  // namespace tuning::blc
