// The characterisation's captures found in a folder by the capture naming
// rule: per analog gain, the dark captures, the flat captures of each
// exposure and the scene (noise) captures of the record's sensor mode.
#pragma once

#include <vector>

#include "../shared/model.h"
#include "characterization.h"

namespace tuning::characterize {

struct CharacterizationFileParam : FileParam {
  std::vector<Number> again_list;           // gains to characterise, in order
  std::vector<Number> dark_exp_list;        // exposures of the dark captures to read; empty: every exposure
  std::vector<Number> flat_exp_list;        // exposures of the flat captures; empty: every exposure found
  std::string module = "characterization";  // the record's tag; not read
};

constexpr auto record_fields_of(RecordTag<CharacterizationFileParam>) {
  return record<CharacterizationFileParam, FileParam>(
      "CharacterizationFileParam", "Dark, flat and noise captures at several analog gains.",
      field("module", &CharacterizationFileParam::module, "calibration module short name").host_only(),
      field("again_list", &CharacterizationFileParam::again_list, "analog gains, in order"),
      field("dark_exp_list", &CharacterizationFileParam::dark_exp_list,
            "exposures of the dark captures to read; empty: every exposure, as the read noise calibration reads them"),
      field("flat_exp_list", &CharacterizationFileParam::flat_exp_list,
            "exposures of the flat captures; empty: every exposure the flat captures of a gain have"));
}

// Kind words of the three capture sets.
inline constexpr const char* kDarkKind = "dark";
inline constexpr const char* kFlatKind = "flat";
inline constexpr const char* kSceneKind = "noise";

// Lists the folder (no capture is opened yet). Each condition's files are
// opened when the core first reads it and closed when it moves on to the next,
// so however many conditions a set has, one condition's files are open at a
// time. Reads check for a stop request (Ctrl-C) before every band.
ModeCaptures file_captures(const CharacterizationFileParam& file_param);

}  // namespace tuning::characterize
