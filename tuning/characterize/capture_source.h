// Where the characterisation gets its frames: a condition (one kind of capture
// at one gain and exposure) is a count of captures and a reader of rows. The
// core never opens a file, so a reader of capture files, the simulator or a
// test can each serve frames through a small adapter.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tuning::characterize {

// Writes rows [first_row, first_row + rows) of capture `index` (0 <= index <
// count), row-major and `width` samples per row, to out. The core asks for
// every capture's rows of one band before it moves on, and may ask for
// several bands at once from different threads: a reader must allow
// concurrent calls (positioned reads of files, copies from memory). A reader
// reports a failure (an unreadable file, a request to stop) by throwing; the
// exception reaches the caller unchanged.
using RowReader =
    std::function<void(std::int64_t index, std::int64_t first_row, std::int64_t rows, std::uint16_t* out)>;

struct CaptureSet {
  std::int64_t count = 0;  // captures of the condition; 0: the condition is absent
  RowReader read;
};

// Most captures one condition may have: per-pixel moments are formed in
// 64-bit integers, exact up to this count.
constexpr std::int64_t kMaxCaptures = 32767;

}  // namespace tuning::characterize
