#include "platform/variant.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vardenix/error.h"

namespace vardenix {
namespace {

enum class To { Single, Int16, Text };

struct Conversion {
  const char* name;
  Variant input;
  To to;
  double number;      // expected from Single (as a float) and Int16
  std::string text;   // expected from Text
  const char* error;  // expected description of the failure, or null
};

std::vector<Conversion> Conversions() {
  return {
      // to single
      {"single from I2", Variant::I2(100), To::Single, 100, "", nullptr},
      {"single from spaced text", Variant::Text(" 12 "), To::Single, 12, "", nullptr},
      {"single from decimal text", Variant::Text("99.5"), To::Single, 99.5, "", nullptr},
      {"single from R8 rounds to nearest float", Variant::R8(0.1), To::Single, 0.1, "", nullptr},
      {"single from True", Variant::Bool(true), To::Single, -1, "", nullptr},
      {"single from Empty", Variant::Empty(), To::Single, 0, "", nullptr},
      {"single from word", Variant::Text("abc"), To::Single, 0, "", "Type mismatch"},
      {"single from empty text", Variant::Text(""), To::Single, 0, "", "Type mismatch"},
      {"single from trailing junk", Variant::Text("12abc"), To::Single, 0, "", "Type mismatch"},
      {"single from inf", Variant::Text("inf"), To::Single, 0, "", "Type mismatch"},
      {"single from Null", Variant::Null(), To::Single, 0, "", "Invalid use of Null"},
      {"single from R8 beyond float", Variant::R8(1e39), To::Single, 0, "", "Overflow"},
      {"single from huge text", Variant::Text("1e999"), To::Single, 0, "", "Overflow"},
      // to a 16-bit integer: half to even, overflow fails
      {"int16 2.5 to even", Variant::R8(2.5), To::Int16, 2, "", nullptr},
      {"int16 3.5 to even", Variant::R8(3.5), To::Int16, 4, "", nullptr},
      {"int16 -2.5 to even", Variant::R8(-2.5), To::Int16, -2, "", nullptr},
      {"int16 0.5 to even", Variant::R8(0.5), To::Int16, 0, "", nullptr},
      {"int16 2.6 up", Variant::R8(2.6), To::Int16, 3, "", nullptr},
      {"int16 from R4 2.5", Variant::R4(2.5f), To::Int16, 2, "", nullptr},
      {"int16 from text 2.5", Variant::Text("2.5"), To::Int16, 2, "", nullptr},
      {"int16 from spaced text", Variant::Text(" 12 "), To::Int16, 12, "", nullptr},
      {"int16 32767.4 fits", Variant::R8(32767.4), To::Int16, 32767, "", nullptr},
      {"int16 32767.5 overflows", Variant::R8(32767.5), To::Int16, 0, "", "Overflow"},
      {"int16 I4 32768 overflows", Variant::I4(32768), To::Int16, 0, "", "Overflow"},
      {"int16 -32768.5 to even fits", Variant::R8(-32768.5), To::Int16, -32768, "", nullptr},
      {"int16 -32769 overflows", Variant::I4(-32769), To::Int16, 0, "", "Overflow"},
      {"int16 from True", Variant::Bool(true), To::Int16, -1, "", nullptr},
      {"int16 from text True", Variant::Text("True"), To::Int16, -1, "", nullptr},
      {"int16 from Empty", Variant::Empty(), To::Int16, 0, "", nullptr},
      {"int16 from word", Variant::Text("abc"), To::Int16, 0, "", "Type mismatch"},
      {"int16 from Null", Variant::Null(), To::Int16, 0, "", "Invalid use of Null"},
      // to text, as Automation writes numbers
      {"text from I2 100", Variant::I2(100), To::Text, 0, "100", nullptr},
      {"text from I4 -5", Variant::I4(-5), To::Text, 0, "-5", nullptr},
      {"text from R8 99.5", Variant::R8(99.5), To::Text, 0, "99.5", nullptr},
      {"text from R8 100", Variant::R8(100), To::Text, 0, "100", nullptr},
      {"text from R4 0.1", Variant::R4(0.1f), To::Text, 0, "0.1", nullptr},
      {"text from R8 0.1+0.2", Variant::R8(0.1 + 0.2), To::Text, 0, "0.3", nullptr},
      {"text from R8 1e20", Variant::R8(1e20), To::Text, 0, "1E+20", nullptr},
      {"text from negative zero", Variant::R8(-0.0), To::Text, 0, "0", nullptr},
      {"text from True", Variant::Bool(true), To::Text, 0, "True", nullptr},
      {"text from False", Variant::Bool(false), To::Text, 0, "False", nullptr},
      {"text from Empty", Variant::Empty(), To::Text, 0, "", nullptr},
      {"text from text", Variant::Text(" abc "), To::Text, 0, " abc ", nullptr},
      {"text from Null", Variant::Null(), To::Text, 0, "", "Invalid use of Null"},
  };
}

TEST(VariantTest, AutomationConversions) {
  for (const Conversion& row : Conversions()) {
    auto convert = [&] {
      switch (row.to) {
        case To::Single: EXPECT_EQ(ToSingle(row.input), static_cast<float>(row.number)) << row.name; break;
        case To::Int16: EXPECT_EQ(ToInt16(row.input), static_cast<int16_t>(row.number)) << row.name; break;
        case To::Text: EXPECT_EQ(ToText(row.input), row.text) << row.name; break;
      }
    };
    if (row.error == nullptr) {
      EXPECT_NO_THROW(convert()) << row.name;
      continue;
    }
    try {
      convert();
      ADD_FAILURE() << row.name << ": no failure";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.Description(), row.error) << row.name;
    }
  }
}

TEST(VariantTest, KeepsTheAutomationTypeOfEqualNumbers) {
  EXPECT_EQ(Variant::I2(100).type(), VarType::I2);
  EXPECT_NE(Variant::I2(100), Variant::I4(100));
  EXPECT_NE(Variant::R4(100.0f), Variant::R8(100.0));
  EXPECT_EQ(Variant::Bool(true).bool_value(), -1);
  EXPECT_EQ(Describe(Variant::I2(100)), "I2 100");
}

}  // namespace
}  // namespace vardenix
