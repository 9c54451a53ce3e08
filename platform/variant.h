// Variant: a late-bound value with its OLE Automation type, and the Automation conversions.
//
// Values that cross a late-bound call (a scoring component's member, an archive-control dispatch
// id, a database field) are Variants, so that a test can see that "GetTotalScore" was put as a
// 16-bit 100 and not as a 32-bit one. Variants are plain values; any thread may use its own.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace vardenix {

// Automation type tags; the numbers are those of VARTYPE.
enum class VarType : uint16_t {
  Empty = 0,
  Null = 1,
  I2 = 2,
  I4 = 3,
  R4 = 4,
  R8 = 5,
  Text = 8,   // VT_BSTR; held as UTF-8
  Bool = 11,  // True is -1, False 0
};

const char* VarTypeName(VarType type);

class Variant {
 public:
  Variant() = default;  // Empty
  static Variant Empty() { return Variant(); }
  static Variant Null();
  static Variant Bool(bool value);
  static Variant I2(int16_t value);
  static Variant I4(int32_t value);
  static Variant R4(float value);
  static Variant R8(double value);
  static Variant Text(std::string value);

  VarType type() const { return type_; }
  bool IsEmpty() const { return type_ == VarType::Empty; }
  bool IsNull() const { return type_ == VarType::Null; }

  // Raw accessors; each requires the matching type.
  int16_t bool_value() const { return static_cast<int16_t>(std::get<int32_t>(value_)); }  // -1 or 0
  int16_t i2() const { return static_cast<int16_t>(std::get<int32_t>(value_)); }
  int32_t i4() const { return std::get<int32_t>(value_); }
  float r4() const { return static_cast<float>(std::get<double>(value_)); }
  double r8() const { return std::get<double>(value_); }
  const std::string& text() const { return std::get<std::string>(value_); }

  bool operator==(const Variant& other) const = default;

 private:
  VarType type_ = VarType::Empty;
  std::variant<std::monostate, int32_t, double, std::string> value_;
};

// The Automation conversions. Each throws RuntimeError on failure:
//   Null                       -> "Invalid use of Null"
//   text that is not a number  -> "Type mismatch"
//   a value out of range       -> "Overflow"
// Empty converts to 0 or to the empty text. Numeric text may have leading and trailing spaces.
double ToDouble(const Variant& value);
float ToSingle(const Variant& value);
int16_t ToInt16(const Variant& value);  // rounds half to even
int32_t ToInt32(const Variant& value);  // rounds half to even
// Numbers as Automation writes them: 100 -> "100", 99.5 -> "99.5"; True -> "True".
std::string ToText(const Variant& value);

// A readable form for logs and test failures: "I2 100", "Text \"abc\"".
std::string Describe(const Variant& value);

}  // namespace vardenix
