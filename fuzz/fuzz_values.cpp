// Text through the Automation conversions: a number, a 16-bit integer and a single. A conversion
// either succeeds with a consistent value or fails with the library's exception, and it succeeds
// where it must: a number that rounds (half to even) into the 16-bit range converts to exactly that
// integer, text comes back from ToText unchanged, and a 16-bit integer survives a trip through text.
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
  if (vardenix::ToText(text) != std::string(reinterpret_cast<const char*>(data), size)) std::abort();
  const double rounded = is_number ? std::nearbyint(number) : 0;  // the default mode rounds half to even
  const bool must_fit = is_number && std::isfinite(number) && rounded >= -32768 && rounded <= 32767;
  try {
    const int16_t i2 = vardenix::ToInt16(text);
    if (!must_fit || i2 != rounded) std::abort();
    if (vardenix::ToInt16(vardenix::Variant::Text(vardenix::ToText(vardenix::Variant::I2(i2)))) != i2) std::abort();
  } catch (const vardenix::RuntimeError&) {
    if (must_fit) std::abort();
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
