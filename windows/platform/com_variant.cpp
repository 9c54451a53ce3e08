#include "windows/platform/com_variant.h"

#include "windows/platform/wide_text.h"
#include "vardenix/error.h"

namespace vardenix::win {

VARIANT ToComVariant(const Variant& value) {
  VARIANT v;
  VariantInit(&v);
  switch (value.type()) {
    case VarType::Empty: break;
    case VarType::Null: V_VT(&v) = VT_NULL; break;
    case VarType::Bool: V_VT(&v) = VT_BOOL; V_BOOL(&v) = value.bool_value() ? VARIANT_TRUE : VARIANT_FALSE; break;
    case VarType::I2: V_VT(&v) = VT_I2; V_I2(&v) = value.i2(); break;
    case VarType::I4: V_VT(&v) = VT_I4; V_I4(&v) = value.i4(); break;
    case VarType::R4: V_VT(&v) = VT_R4; V_R4(&v) = value.r4(); break;
    case VarType::R8: V_VT(&v) = VT_R8; V_R8(&v) = value.r8(); break;
    case VarType::Text:
      V_VT(&v) = VT_BSTR;
      V_BSTR(&v) = MakeBstr(value.text());
      if (!V_BSTR(&v)) throw RuntimeError("Out of memory");
      break;
  }
  return v;
}

Variant FromComVariant(const VARIANT& in) {
  VARIANT v;
  VariantInit(&v);
  if (FAILED(VariantCopyInd(&v, const_cast<VARIANT*>(&in)))) throw RuntimeError("Type mismatch");
  struct Clear {
    VARIANT* v;
    ~Clear() { VariantClear(v); }
  } clear{&v};
  switch (V_VT(&v)) {
    case VT_EMPTY: return Variant::Empty();
    case VT_NULL: return Variant::Null();
    case VT_BOOL: return Variant::Bool(V_BOOL(&v) != VARIANT_FALSE);
    case VT_I2: return Variant::I2(V_I2(&v));
    case VT_I4: return Variant::I4(V_I4(&v));
    case VT_R4: return Variant::R4(V_R4(&v));
    case VT_R8: return Variant::R8(V_R8(&v));
    case VT_BSTR: return Variant::Text(FromBstr(V_BSTR(&v)));
    case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8: case VT_INT:
    case VT_UINT: case VT_DECIMAL:
      if (SUCCEEDED(VariantChangeType(&v, &v, 0, VT_R8))) return Variant::R8(V_R8(&v));
      break;
    case VT_CY: case VT_DATE:
      if (SUCCEEDED(VariantChangeType(&v, &v, 0, VT_BSTR))) return Variant::Text(FromBstr(V_BSTR(&v)));
      break;
    default: break;
  }
  throw RuntimeError("Type mismatch");
}

}  // namespace vardenix::win
