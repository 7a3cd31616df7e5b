#include "bad_pixels.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "../shared/capture_set.h"
#include "../shared/progress.h"
#include "../shared/raw_capture.h"
#include "averaged_frame.h"
#include "frame_sum.h"
#include "neighbour_stats.h"

namespace tuning::bpc {

std::string_view bp_type_value(BPType type) { return type == BPType::Hot ? "Hot" : "Cold"; }

namespace {

// An empty out_file_dir names no directory: creating it fails as the host's
// mkdir("") would, before any capture is read.
void create_output_dir(const std::string& out_file_dir) {
  if (out_file_dir.empty())
    throw std::filesystem::filesystem_error("cannot create output directory", std::filesystem::path(out_file_dir),
                                            std::error_code(ENOENT, std::generic_category()));
  ensure_output_dir(out_file_dir);
}

// Averaged values summarised by one maximum for the hot pixel search.
constexpr std::size_t kMaxRun = 1024;

// Largest of n values; averaged captures hold no NaN. Two running maxima of
// two lanes each, so that the loop is not one long dependency chain.
double run_maximum(const double* v, std::size_t n) {
  using Lane2 = double __attribute__((vector_size(16)));
  double m = v[0];
  std::size_t i = 0;
  if (n >= 4) {
    Lane2 a, b;
    std::memcpy(&a, v, sizeof a);
    std::memcpy(&b, v + 2, sizeof b);
    for (i = 4; i + 4 <= n; i += 4) {
      Lane2 x, y;
      std::memcpy(&x, v + i, sizeof x);
      std::memcpy(&y, v + i + 2, sizeof y);
      a = x > a ? x : a;
      b = y > b ? y : b;
    }
    a = b > a ? b : a;
    m = a[1] > a[0] ? a[1] : a[0];
  }
  for (; i < n; ++i) m = v[i] > m ? v[i] : m;
  return m;
}

std::size_t frame_values(std::int64_t height, std::int64_t width) {
  return static_cast<std::size_t>(std::max<std::int64_t>(0, height) * std::max<std::int64_t>(0, width));
}

// Averaged values (raw DN) of the undecided cold pixels, in their order.
std::vector<double> undecided_values(const AveragedCaptures& captures, const ColdCandidates& candidates,
                                     std::int64_t width) {
  std::vector<std::size_t> index;
  const FlaggedPixels& pixels = candidates.pixels;
  for (const auto& u : candidates.undecided)
    index.push_back(static_cast<std::size_t>(pixels.rows[u.slot] * width + pixels.columns[u.slot]));
  std::vector<double> values(index.size());
  if (index.size() <= kSingleValueBudget) {
    for (std::size_t i = 0; i < index.size(); ++i) captures.values(index[i], 1, &values[i]);
    return values;
  }
  const std::vector<double> frame = captures.frame();
  for (std::size_t i = 0; i < index.size(); ++i) values[i] = frame[index[i]];
  return values;
}

// Cold pixels of one gain. The neighbour reads are made as each chunk of the
// averaged frame is final; the frame itself is not kept, only the few pixels
// the reads cannot decide are averaged again.
std::vector<PixelPosition> find_cold_pixels(const std::vector<std::string>& files, std::int64_t height,
                                            std::int64_t width, double light_thr_ratio, std::vector<float>& reads,
                                            const CaptureFormat& format) {
  const AveragedCaptures captures(files, height, width, format);
  reads.resize(frame_values(height, width));
  captures.for_each_chunk([&](std::size_t first, std::size_t end, const double* averaged) {
    cold_neighbour_reads(averaged, end - first, reads.data() + first);
  });
  // An odd frame is averaged first, so an unreadable capture is what gets reported.
  ColdCandidates candidates = cold_candidates(reads.data(), height, width, light_thr_ratio);
  const std::vector<double> values = undecided_values(captures, candidates, width);
  const FlaggedPixels flagged = settle_cold_candidates(std::move(candidates), values);
  std::vector<PixelPosition> out(flagged.rows.size());
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = {flagged.rows[i], flagged.columns[i]};
  return out;
}

// Hot pixels of one gain. The averaged frame is never stored: each chunk
// leaves its block sums for the frame mean and one maximum per run of values,
// and only runs whose maximum is above the threshold are averaged again.
std::vector<PixelPosition> find_hot_pixels(const std::vector<std::string>& files, std::int64_t height,
                                           std::int64_t width, double dark_thr_ratio, const CaptureFormat& format) {
  const AveragedCaptures captures(files, height, width, format);
  const auto values = static_cast<std::size_t>(captures.value_count());
  std::vector<double> block_sums(sum_block_count(values));
  std::vector<double> run_max((values + kMaxRun - 1) / kMaxRun);
  captures.for_each_chunk([&](std::size_t first, std::size_t end, const double* averaged) {
    sum_blocks(averaged, first, end, block_sums.data());
    for (std::size_t run = first; run < end; run += kMaxRun)
      run_max[run / kMaxRun] = run_maximum(averaged + (run - first), std::min(kMaxRun, end - run));
  });
  const double black_level = add_block_sums(block_sums) / static_cast<double>(values);
  const double threshold = black_level * (1.0 + dark_thr_ratio);
  std::vector<PixelPosition> hot;
  std::vector<double> run(kMaxRun);
  for (std::size_t r = 0; r < run_max.size(); ++r) {
    if (!(run_max[r] > threshold)) continue;
    const std::size_t first = r * kMaxRun, n = std::min(kMaxRun, values - first);
    captures.values(first, n, run.data());
    for (std::size_t i = 0; i < n; ++i)
      if (run[i] > threshold)
        hot.emplace_back(static_cast<std::int64_t>(first + i) / width, static_cast<std::int64_t>(first + i) % width);
  }
  return hot;
}

void set_gain_entry(BPCTuningResult& result, const std::string& gain, std::vector<PixelPosition> positions) {
  for (auto& entry : result.static_loc)
    if (entry.gain == gain) {
      entry.positions = std::move(positions);
      return;
    }
  result.static_loc.push_back({gain, std::move(positions)});
}

}  // namespace

BPCTuningResult gen_bpc_param(const BPCFileParam& file_param, const BPCTuningParam& tuning_param) {
  const bool hot = file_param.bp_type == BPType::Hot;
  const double thr_ratio = hot ? tuning_param.dark_thr_ratio : tuning_param.light_thr_ratio;
  const char* kind = hot ? kHotKind : kColdKind;
  create_output_dir(file_param.out_file_dir);

  BPCTuningResult result;
  std::vector<PixelPosition> all_static_bps;
  bool any_gain = false;
  std::vector<float> reads;  // reused from gain to gain
  const CaptureFormat& format = file_param.capture_format;
  for (const Number& gain : file_param.again_list) {
    const std::vector<std::string> files =
        condition_captures(file_param.inp_file_dir, kind, file_param.sensor_mode, "*", gain.text(), format);
    if (files.empty()) continue;
    std::vector<PixelPosition> found =
        hot ? find_hot_pixels(files, file_param.height, file_param.width, thr_ratio, format)
            : find_cold_pixels(files, file_param.height, file_param.width, thr_ratio, reads, format);
    report_progress({std::string(kind) + " " + std::string(sensor_mode_name(file_param.sensor_mode)) + " exp * again " +
                         gain.text(),
                     files.size(), files.size()});
    all_static_bps.insert(all_static_bps.end(), found.begin(), found.end());
    set_gain_entry(result, gain.text(), std::move(found));
    any_gain = true;
  }
  if (any_gain) {
    // One entry per position, rows ascending and columns ascending within a row.
    std::sort(all_static_bps.begin(), all_static_bps.end());
    all_static_bps.erase(std::unique(all_static_bps.begin(), all_static_bps.end()), all_static_bps.end());
    result.static_info = encode_axis_u32(std::move(all_static_bps));
  }
  return result;
}

OrderedJson to_json(const BPCTuningResult& result) {
  OrderedJson static_loc = OrderedJson::object();
  for (const auto& entry : result.static_loc) {
    OrderedJson positions = OrderedJson::array();
    for (const auto& [row, column] : entry.positions) positions.push_back(OrderedJson::array({row, column}));
    static_loc[entry.gain] = std::move(positions);
  }
  OrderedJson out = OrderedJson::object();
  out["module"] = result.module;
  out["static_loc"] = std::move(static_loc);
  out["static_info"] = result.static_info;
  return out;
}

}  // namespace tuning::bpc
