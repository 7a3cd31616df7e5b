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

  CaptureSet add(std::vector<std::string> paths) {
    const auto condition = conditions_.size();
    const auto count = static_cast<std::int64_t>(paths.size());
    conditions_.push_back(std::move(paths));
    CaptureSet set;
    set.count = count;
    if (count == 0) return set;
    // The set keeps the files alive; the files never refer back to the set.
    std::shared_ptr<ConditionFiles> self = self_.lock();
    set.read = [self, condition](std::int64_t index, std::int64_t first_row, std::int64_t rows, std::uint16_t* out) {
      check_interrupt();
      self->file(condition, index).read_rows(first_row, rows, out);
    };
    return set;
  }

  static std::shared_ptr<ConditionFiles> make(const CaptureFormat& format, std::int64_t width, std::int64_t height) {
    auto files = std::make_shared<ConditionFiles>(format, width, height);
    files->self_ = files;
    return files;
  }

 private:
  const CaptureFile& file(std::size_t condition, std::int64_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_condition_ != condition || open_.empty()) {
      open_.clear();
      for (const std::string& path : conditions_[condition]) open_.emplace_back(path, format_, width_, height_);
      open_condition_ = condition;
    }
    return open_.at(static_cast<std::size_t>(index));
  }

  CaptureFormat format_;
  std::int64_t width_;
  std::int64_t height_;
  std::vector<std::vector<std::string>> conditions_;
  std::weak_ptr<ConditionFiles> self_;
  std::mutex mutex_;
  std::size_t open_condition_ = 0;
  std::vector<CaptureFile> open_;
};

// The exposures of the flat captures of one gain, by rising value, with their
// text as the names spell them (the first spelling of each value found).
std::vector<std::pair<Number, std::string>> flat_exposures(const std::vector<std::string>& paths) {
  std::map<double, std::pair<Number, std::string>> found;
  for (const std::string& path : paths) {
    const auto name = parse_capture_name(path.substr(path.find_last_of('/') + 1));
    if (!name) continue;
    char* end = nullptr;
    const double value = std::strtod(name->exposure.c_str(), &end);
    if (end == name->exposure.c_str() || *end != '\0') continue;  // an exposure tag that is no number
    const bool integer = name->exposure.find_first_of(".eE") == std::string::npos;
    found.emplace(value, std::make_pair(integer ? Number::of_integer(static_cast<std::int64_t>(value))
                                                : Number::of_real(value),
                                        name->exposure));
  }
  std::vector<std::pair<Number, std::string>> out;
  for (auto& entry : found) out.push_back(entry.second);
  return out;
}

}  // namespace

ModeCaptures file_captures(const CharacterizationFileParam& p) {
  ModeCaptures mode;
  mode.mode = p.sensor_mode;
  mode.height = p.height;
  mode.width = p.width;
  const auto files = ConditionFiles::make(p.capture_format, p.width, p.height);
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
    g.dark = files->add(std::move(dark));
    std::vector<std::pair<Number, std::string>> exposures;
    if (p.flat_exp_list.empty()) {
      exposures = flat_exposures(
          condition_captures(p.inp_file_dir, kFlatKind, p.sensor_mode, "*", gain_text, p.capture_format));
    } else {
      for (const Number& e : p.flat_exp_list) exposures.emplace_back(e, e.text());
    }
    for (const auto& [exposure, text] : exposures) {
      auto paths = condition_captures(p.inp_file_dir, kFlatKind, p.sensor_mode, text, gain_text, p.capture_format);
      if (paths.empty()) continue;  // an exposure listed that this gain lacks
      g.flats.push_back({exposure.value(), files->add(std::move(paths))});
    }
    g.scene =
        files->add(condition_captures(p.inp_file_dir, kSceneKind, p.sensor_mode, "*", gain_text, p.capture_format));
    mode.gains.push_back(std::move(g));
  }
  return mode;
}

}  // namespace tuning::characterize
