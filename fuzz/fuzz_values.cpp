// Text through the Automation conversions: a number, a 16-bit integer and a single. A conversion
// either succeeds with a consistent value or fails with the library's exception.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/variant.h"
#include "vardenix/error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const vardenix::Variant text =
      vardenix::Variant::Text(std::string(reinterpret_cast<const char*>(data), size));
  double number = 0;
  bool is_number = false;
  try {
    number = vardenix::ToDouble(text);
    is_number = true;
  } catch (const vardenix::RuntimeError&) {
  }
  try {
    const int16_t i2 = vardenix::ToInt16(text);
    if (!is_number || std::fabs(number - i2) > 0.5) std::abort();
  } catch (const vardenix::RuntimeError&) {
  }
  try {
    const float single = vardenix::ToSingle(text);
    if (!is_number) std::abort();
    if (std::isfinite(number) && !std::isfinite(single)) std::abort();
    (void)vardenix::ToText(vardenix::Variant::R4(single));
  } catch (const vardenix::RuntimeError&) {
  }
  return 0;
}
