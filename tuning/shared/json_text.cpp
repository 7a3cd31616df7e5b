#include "json_text.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "model.h"

namespace tuning {

namespace {

std::string float_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-Infinity" : "Infinity";
  return float_repr(v);
}

void append_code_unit(std::string& out, unsigned unit) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04x", unit);
  out += buf;
}

// ASCII-only string literal; UTF-8 sequences become \uXXXX escapes (pairs above U+FFFF).
std::string string_text(const std::string& s) {
  std::string out = "\"";
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\b':
        out += "\\b";
        continue;
      case '\f':
        out += "\\f";
        continue;
      default:
        break;
    }
    if (c < 0x20 || c == 0x7f) {
      append_code_unit(out, c);
      continue;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
      continue;
    }
    const int extra = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : 1;
    unsigned code = c & (0x3f >> extra);
    for (int k = 0; k < extra && i + 1 < s.size(); ++k)
      code = (code << 6) | (static_cast<unsigned char>(s[++i]) & 0x3f);
    if (code >= 0x10000) {
      code -= 0x10000;
      append_code_unit(out, 0xd800 + (code >> 10));
      append_code_unit(out, 0xdc00 + (code & 0x3ff));
    } else {
      append_code_unit(out, code);
    }
  }
  return out + "\"";
}

void dump(const OrderedJson& value, int indent, int depth, std::string& out) {
  const std::string pad(static_cast<std::size_t>(indent * (depth + 1)), ' ');
  const std::string close_pad(static_cast<std::size_t>(indent * depth), ' ');
  switch (value.type()) {
    case OrderedJson::value_t::object: {
      if (value.empty()) {
        out += "{}";
        return;
      }
      out += "{\n";
      bool first = true;
      for (const auto& [key, item] : value.items()) {
        if (!first) out += ",\n";
        first = false;
        out += pad + string_text(key) + ": ";
        dump(item, indent, depth + 1, out);
      }
      out += "\n" + close_pad + "}";
      return;
    }
    case OrderedJson::value_t::array: {
      if (value.empty()) {
        out += "[]";
        return;
      }
      out += "[\n";
      for (std::size_t i = 0; i < value.size(); ++i) {
        if (i) out += ",\n";
        out += pad;
        dump(value[i], indent, depth + 1, out);
      }
      out += "\n" + close_pad + "]";
      return;
    }
    case OrderedJson::value_t::string:
      out += string_text(value.get_ref<const std::string&>());
      return;
    case OrderedJson::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return;
    case OrderedJson::value_t::number_integer:
      out += std::to_string(value.get<std::int64_t>());
      return;
    case OrderedJson::value_t::number_unsigned:
      out += std::to_string(value.get<std::uint64_t>());
      return;
    case OrderedJson::value_t::number_float:
      out += float_text(value.get<double>());
      return;
    default:
      out += "null";
      return;
  }
}

}  // namespace

std::string python_json_text(const OrderedJson& value, int indent) {
  std::string out;
  dump(value, indent, 0, out);
  return out;
}

}  // namespace tuning
