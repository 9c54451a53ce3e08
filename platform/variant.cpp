#include "platform/variant.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/text_encoding.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

[[noreturn]] void InvalidUseOfNull() { throw RuntimeError("Invalid use of Null"); }
[[noreturn]] void TypeMismatch() { throw RuntimeError("Type mismatch"); }
[[noreturn]] void Overflow() { throw RuntimeError("Overflow"); }

// Numeric text as Automation reads it: optional spaces around an optional sign and a decimal
// number with optional exponent; "True" and "False" are -1 and 0.
double ParseNumber(const std::string& text) {
  std::string_view s(text);
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) TypeMismatch();
  s = s.substr(first, s.find_last_not_of(" \t") - first + 1);
  if (EqualsIgnoringAsciiCase(s, "true")) return -1.0;
  if (EqualsIgnoringAsciiCase(s, "false")) return 0.0;
  bool negative = false;
  if (s.front() == '+' || s.front() == '-') {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  // from_chars would also take "inf" and "nan"; Automation numbers start with a digit or a point.
  if (s.empty() || !((s.front() >= '0' && s.front() <= '9') || s.front() == '.')) TypeMismatch();
  double value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec == std::errc::result_out_of_range) Overflow();
  if (ec != std::errc() || end != s.data() + s.size()) TypeMismatch();
  return negative ? -value : value;
}

std::string FormatNumber(double value, int digits) {
  if (value == 0) return "0";  // printf would write a negative zero as "-0"
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*G", digits, value);
  return buffer;
}

}  // namespace

const char* VarTypeName(VarType type) {
  switch (type) {
    case VarType::Empty: return "Empty";
    case VarType::Null: return "Null";
    case VarType::I2: return "I2";
    case VarType::I4: return "I4";
    case VarType::R4: return "R4";
    case VarType::R8: return "R8";
    case VarType::Text: return "Text";
    case VarType::Bool: return "Bool";
  }
  return "?";
}

Variant Variant::Null() {
  Variant v;
  v.type_ = VarType::Null;
  return v;
}

Variant Variant::Bool(bool value) {
  Variant v;
  v.type_ = VarType::Bool;
  v.value_ = int32_t{value ? -1 : 0};
  return v;
}

Variant Variant::I2(int16_t value) {
  Variant v;
  v.type_ = VarType::I2;
  v.value_ = int32_t{value};
  return v;
}

Variant Variant::I4(int32_t value) {
  Variant v;
  v.type_ = VarType::I4;
  v.value_ = value;
  return v;
}

Variant Variant::R4(float value) {
  Variant v;
  v.type_ = VarType::R4;
  v.value_ = double{value};
  return v;
}

Variant Variant::R8(double value) {
  Variant v;
  v.type_ = VarType::R8;
  v.value_ = value;
  return v;
}

Variant Variant::Text(std::string value) {
  Variant v;
  v.type_ = VarType::Text;
  v.value_ = std::move(value);
  return v;
}

double ToDouble(const Variant& value) {
  switch (value.type()) {
    case VarType::Empty: return 0.0;
    case VarType::Null: InvalidUseOfNull();
    case VarType::Bool:
    case VarType::I2:
    case VarType::I4: return value.i4();
    case VarType::R4:
    case VarType::R8: return value.r8();
    case VarType::Text: return ParseNumber(value.text());
  }
  TypeMismatch();
}

float ToSingle(const Variant& value) {
  const double d = ToDouble(value);
  if (std::isfinite(d) && std::fabs(d) > static_cast<double>(FLT_MAX)) Overflow();
  return static_cast<float>(d);
}

int16_t ToInt16(const Variant& value) {
  const double rounded = std::nearbyint(ToDouble(value));  // the default mode rounds half to even
  if (!(rounded >= -32768.0 && rounded <= 32767.0)) Overflow();
  return static_cast<int16_t>(rounded);
}

int32_t ToInt32(const Variant& value) {
  const double rounded = std::nearbyint(ToDouble(value));
  if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) Overflow();
  return static_cast<int32_t>(rounded);
}

std::string ToText(const Variant& value) {
  switch (value.type()) {
    case VarType::Empty: return std::string();
    case VarType::Null: InvalidUseOfNull();
    case VarType::Bool: return value.i4() != 0 ? "True" : "False";
    case VarType::I2:
    case VarType::I4: return std::to_string(value.i4());
    case VarType::R4: return FormatNumber(value.r8(), 7);
    case VarType::R8: return FormatNumber(value.r8(), 15);
    case VarType::Text: return value.text();
  }
  TypeMismatch();
}

std::string Describe(const Variant& value) {
  std::string out = VarTypeName(value.type());
  switch (value.type()) {
    case VarType::Empty:
    case VarType::Null: break;
    case VarType::Text: out += " \"" + value.text() + "\""; break;
    default: out += " " + ToText(value); break;
  }
  return out;
}

}  // namespace vardenix
