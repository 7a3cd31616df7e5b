// The characterisation as JSON, one object per mode, gain and cell position,
// keys named and ordered as the result records' field tables list them.
#include "../shared/record_json.h"
#include "characterization.h"

namespace tuning::characterize {

OrderedJson to_json(const Characterization& result) { return record_json(result); }

}  // namespace tuning::characterize
