// Conversions between the core's Variant and COM's VARIANT.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "platform/variant.h"

namespace vardenix::win {

// A VARIANT of the same automation type; the caller clears it (VariantClear).
VARIANT ToComVariant(const Variant& value);
// The value of a VARIANT, by reference or not. Empty, Null, Boolean, 16- and 32-bit integers,
// single, double and text keep their type; other numbers become doubles, dates and currency text.
// Throws RuntimeError("Type mismatch") for objects, arrays and errors.
Variant FromComVariant(const VARIANT& value);

}  // namespace vardenix::win
