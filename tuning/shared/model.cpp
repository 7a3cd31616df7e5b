#include "model.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tuning {

std::string_view sensor_mode_name(SensorMode mode) { return mode == SensorMode::LCG ? "LCG" : "HCG"; }

std::string_view cfa_type_value(CFAType type) {
  switch (type) {
    case CFAType::RGGB:
      return "RGGB";
    case CFAType::BGGR:
      return "BGGR";
    case CFAType::GBRG:
      return "GBRG";
    case CFAType::GRGB:
      return "GRBG";
  }
  return "RGGB";
}

std::string Number::text() const { return is_integer ? std::to_string(integer) : float_repr(real); }

namespace {

// Decimal exponents outside [-4, 16) switch the host's float text to scientific form.
constexpr int kMinFixedExponent = -4;
constexpr int kMaxFixedExponent = 16;

std::string exponent_text(int exponent) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
  return buf;
}

}  // namespace

std::string float_repr(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

  // Shortest round-trip digits, then laid out by the host's rules.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string sci(buf, res.ptr);
  std::string sign;
  if (sci[0] == '-') {
    sign = "-";
    sci.erase(0, 1);
  }
  const auto e_pos = sci.find('e');
  const int exponent = std::atoi(sci.c_str() + e_pos + 1);
  std::string digits;
  for (std::size_t i = 0; i < e_pos; ++i)
    if (sci[i] != '.') digits += sci[i];

  if (exponent < kMinFixedExponent || exponent >= kMaxFixedExponent) {
    std::string mantissa = digits.substr(0, 1);
    if (digits.size() > 1) mantissa += "." + digits.substr(1);
    return sign + mantissa + exponent_text(exponent);
  }
  const int point = exponent + 1;  // digits before the decimal point
  std::string out;
  if (point <= 0) {
    out = "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  } else if (static_cast<std::size_t>(point) >= digits.size()) {
    out = digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0') + ".0";
  } else {
    out = digits.substr(0, point) + "." + digits.substr(point);
  }
  return sign + out;
}

namespace {

std::string str_repr(const std::string& s) {
  const bool use_double = s.find('\'') != std::string::npos && s.find('"') == std::string::npos;
  const char quote = use_double ? '"' : '\'';
  std::string out(1, quote);
  for (unsigned char c : s) {
    if (c == quote || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += quote;
  return out;
}

}  // namespace

std::string path_list_repr(const std::vector<std::string>& paths) {
  std::string out = "[";
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (i) out += ", ";
    out += str_repr(paths[i]);
  }
  return out + "]";
}

}  // namespace tuning
