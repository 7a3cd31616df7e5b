// A struct with a field table as JSON: one key per field of its record (the
// base's first), in table order, each value as the record holds it: numbers,
// flags and text as they are (a NaN figure as the writer writes NaN), a Number
// as an integer or a real as given, a sensor mode by its name, lists and
// fixed arrays as arrays, nested records as objects.
#pragma once

#include <string>
#include <type_traits>

#include "json_text.h"
#include "model.h"
#include "record_fields.h"

namespace tuning {

template <typename Struct>
OrderedJson record_json(const Struct& value);

template <typename T>
OrderedJson json_value(const T& value) {
  if constexpr (kHasFields<T>) {
    return record_json(value);
  } else if constexpr (std::is_same_v<T, Number>) {
    return value.is_integer ? OrderedJson(value.integer) : OrderedJson(value.real);
  } else if constexpr (std::is_same_v<T, SensorMode>) {
    return std::string(sensor_mode_name(value));
  } else if constexpr (std::is_same_v<T, CFAType>) {
    return std::string(cfa_type_value(value));
  } else if constexpr (std::is_arithmetic_v<T> || std::is_same_v<T, std::string>) {
    return OrderedJson(value);
  } else {
    OrderedJson out = OrderedJson::array();
    for (const auto& item : value) out.push_back(json_value(item));
    return out;
  }
}

template <typename Struct>
OrderedJson record_json(const Struct& value) {
  OrderedJson out = OrderedJson::object();
  for_each_field<Struct>([&](const auto& f) { out[f.name] = json_value(f.of(value)); });
  return out;
}

}  // namespace tuning
