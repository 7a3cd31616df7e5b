// Result files: JSON text laid out exactly as the Python host's
// json.dumps(record, indent=4) lays it out, written atomically.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "atomic_file.h"

namespace tuning {

using OrderedJson = nlohmann::ordered_json;

// 4-space indentation, ", "-free item separators, ": " after keys, "[]" and
// "{}" for empty containers, non-ASCII escaped, floats in the host's shortest
// form (0.0, 12.5, 1e-05, NaN, Infinity), no newline at the end.
std::string python_json_text(const OrderedJson& value, int indent = 4);

}  // namespace tuning
