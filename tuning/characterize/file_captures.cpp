#include "file_captures.h"

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "../shared/capture_reader.h"
#include "../shared/capture_set.h"
#include "../shared/interrupt.h"

namespace tuning::characterize {

namespace {

// The files of every condition of one call; the core reads one condition at a
// time (its threads all within it), so opening one closes the one before.
class ConditionFiles {
 public:
  ConditionFiles(const CaptureFormat& format, std::int64_t width, std::int64_t height)
      : format_(format), width_(width), height_(height) {}

  std::size_t add(std::vector<std::string> paths) {
    conditions_.push_back(std::move(paths));
    return conditions_.size() - 1;
  }

  const CaptureFile& file(std::size_t condition, std::int64_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_condition_ != condition || open_.empty()) {
      open_.clear();
      for (const std::string& path : conditions_[condition]) open_.emplace_back(path, format_, width_, height_);
      open_condition_ = condition;
    }
    return open_.at(static_cast<std::size_t>(index));
  }

 private:
  CaptureFormat format_;
  std::int64_t width_;
  std::int64_t height_;
  std::vector<std::vector<std::string>> conditions_;
  std::mutex mutex_;
  std::size_t open_condition_ = 0;
  std::vector<CaptureFile> open_;
};

// A condition's captures read through the call's files, which the reader keeps alive.
CaptureSet condition_set(const std::shared_ptr<ConditionFiles>& files, std::vector<std::string> paths) {
  CaptureSet set;
  set.count = static_cast<std::int64_t>(paths.size());
  if (set.count == 0) return set;
  const std::size_t condition = files->add(std::move(paths));
  set.read = [files, condition](std::int64_t index, std::int64_t first_row, std::int64_t rows, std::uint16_t* out) {
    check_interrupt();
    files->file(condition, index).read_rows(first_row, rows, out);
  };
  return set;
}

// The exposures of the flat captures of one gain, by rising value, with their
// text as the names spell them (the first spelling of each value found).
std::map<double, std::string> flat_exposures(const std::vector<std::string>& paths) {
  std::map<double, std::string> found;
  for (const std::string& path : paths) {
    const auto name = parse_capture_name(path.substr(path.find_last_of('/') + 1));
    if (!name) continue;
    char* end = nullptr;
    const double value = std::strtod(name->exposure.c_str(), &end);
    if (end == name->exposure.c_str() || *end != '\0') continue;  // an exposure tag that is no number
    found.emplace(value, name->exposure);
  }
  return found;
}

}  // namespace

ModeCaptures file_captures(const CharacterizationFileParam& p) {
  ModeCaptures mode;
  mode.mode = p.sensor_mode;
  mode.height = p.height;
  mode.width = p.width;
  const auto files = std::make_shared<ConditionFiles>(p.capture_format, p.width, p.height);
  std::vector<std::string> dark_exposures;
  for (const Number& e : p.dark_exp_list) dark_exposures.push_back(e.text());
  if (dark_exposures.empty()) dark_exposures.push_back("*");
  for (const Number& gain : p.again_list) {
    GainCaptures g;
    g.analog_gain = gain;
    const std::string gain_text = gain.text();
    std::vector<std::string> dark;
    for (const std::string& exposure : dark_exposures) {
      auto paths = condition_captures(p.inp_file_dir, kDarkKind, p.sensor_mode, exposure, gain_text, p.capture_format);
      dark.insert(dark.end(), paths.begin(), paths.end());
    }
    g.dark = condition_set(files, std::move(dark));
    std::map<double, std::string> exposures;
    if (p.flat_exp_list.empty()) {
      exposures = flat_exposures(
          condition_captures(p.inp_file_dir, kFlatKind, p.sensor_mode, "*", gain_text, p.capture_format));
    } else {
      for (const Number& e : p.flat_exp_list) exposures.emplace(e.value(), e.text());
    }
    for (const auto& [exposure, text] : exposures) {
      auto paths = condition_captures(p.inp_file_dir, kFlatKind, p.sensor_mode, text, gain_text, p.capture_format);
      if (paths.empty()) continue;  // an exposure listed that this gain lacks
      g.flats.push_back({exposure, condition_set(files, std::move(paths))});
    }
    g.scene = condition_set(
        files, condition_captures(p.inp_file_dir, kSceneKind, p.sensor_mode, "*", gain_text, p.capture_format));
    mode.gains.push_back(std::move(g));
  }
  return mode;
}

}  // namespace tuning::characterize
