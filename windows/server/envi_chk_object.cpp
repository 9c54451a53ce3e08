#include "server/envi_chk_object.h"

#include <oleauto.h>

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "windows/platform/wide_text.h"
#include "server/module.h"
#include "vardenix/envi_chk.h"
#include "vardenix_idl.h"

namespace vardenix::com {
namespace {

constexpr DISPID kPingName = 0x68030001;
constexpr DISPID kPingPath = 0x68030000;
constexpr DISPID kResultChk = 0x60030002;
constexpr DISPID kPingEnviChk = 0x60030006;

// Defaults stored in the type library for the optional arguments of PingEnviChk.
constexpr int32_t kDefaultTestOptions = 3;
constexpr int32_t kDefaultContractCode = -1;
constexpr float kDefaultChkRate = 0.1f;

constexpr wchar_t kSource[] = L"Vardenix.ClsEnviChk";

// Hands `description` to the caller's thread as the error object of the failing call.
void SetError(const std::string& description) {
  ICreateErrorInfo* create = nullptr;
  if (FAILED(CreateErrorInfo(&create))) return;
  const std::wstring text = win::Widen(description);
  create->SetGUID(IID__ClsEnviChk);
  create->SetSource(const_cast<LPOLESTR>(kSource));
  create->SetDescription(const_cast<LPOLESTR>(text.c_str()));
  IErrorInfo* info = nullptr;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
    SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
}

// Runs `body`; a failure becomes E_FAIL with its description in `description`.
template <typename Body>
HRESULT Guarded(std::string& description, Body&& body) {
  try {
    body();
    return S_OK;
  } catch (const std::bad_alloc&) {
    description = "Out of memory";
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    description = e.what();
    return E_FAIL;
  } catch (...) {
    description = "unknown failure";
    return E_FAIL;
  }
}

// The variant a reference (VT_VARIANT | VT_BYREF, as VBScript passes) stands for.
VARIANT* Target(VARIANT* v) {
  while (v && V_VT(v) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(v)) v = V_VARIANTREF(v);
  return v;
}

bool IsMissing(VARIANT* v) {
  v = Target(v);
  return v == nullptr || (V_VT(v) == VT_ERROR && V_ERROR(v) == DISP_E_PARAMNOTFOUND);
}

// Coerces an argument to `type` by the Automation rules; false on a type mismatch.
bool Coerce(VARIANT* arg, VARTYPE type, VARIANT& out) {
  VariantInit(&out);
  VARIANT* v = Target(arg);
  if (!v) return false;
  if (V_VT(v) == VT_NULL) return false;
  return SUCCEEDED(VariantChangeType(&out, v, 0, type));
}

bool TextArg(VARIANT* arg, std::string& text) {
  VARIANT v;
  if (!Coerce(arg, VT_BSTR, v)) return false;
  text = win::FromBstr(V_BSTR(&v));
  VariantClear(&v);
  return true;
}

bool ReadSafeArray(SAFEARRAY* array, VARTYPE element, std::vector<uint8_t>& bytes) {
  bytes.clear();
  if (array == nullptr) return true;  // an array never dimensioned holds no bytes
  if (SafeArrayGetDim(array) != 1) return false;
  LONG low = 0;
  LONG high = -1;
  SafeArrayGetLBound(array, 1, &low);
  SafeArrayGetUBound(array, 1, &high);
  if (high < low) return true;
  const size_t count = static_cast<size_t>(high - low) + 1;
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(array, &data))) return false;
  bool ok = true;
  if (element == VT_UI1 || element == VT_I1) {
    const auto* p = static_cast<const uint8_t*>(data);
    bytes.assign(p, p + count);
  } else {
    // A script's array of numbers: each element must convert to a byte.
    auto* p = static_cast<VARIANT*>(data);
    bytes.reserve(count);
    for (size_t i = 0; i < count && ok; ++i) {
      VARIANT b;
      VariantInit(&b);
      ok = SUCCEEDED(VariantChangeType(&b, Target(&p[i]), 0, VT_UI1));
      if (ok) bytes.push_back(V_UI1(&b));
    }
  }
  SafeArrayUnaccessData(array);
  return ok;
}

bool BytesArg(VARIANT* arg, std::vector<uint8_t>& bytes) {
  VARIANT* v = Target(arg);
  if (!v || !(V_VT(v) & VT_ARRAY)) return false;
  const VARTYPE element = V_VT(v) & VT_TYPEMASK;
  if (element != VT_UI1 && element != VT_I1 && element != VT_VARIANT) return false;
  SAFEARRAY* array = (V_VT(v) & VT_BYREF) ? (V_ARRAYREF(v) ? *V_ARRAYREF(v) : nullptr) : V_ARRAY(v);
  return ReadSafeArray(array, element, bytes);
}

// Writes a report string back through the host's reference; a value passed by value (as JScript
// passes) has no way back and is left alone.
void SetTextOut(VARIANT* arg, const std::string& text) {
  if (V_VT(arg) == (VT_BSTR | VT_BYREF) && V_BSTRREF(arg)) {
    SysFreeString(*V_BSTRREF(arg));
    *V_BSTRREF(arg) = win::MakeBstr(text);
    return;
  }
  VARIANT* v = Target(arg);
  if (v != arg || (V_VT(arg) & VT_BYREF) == 0) {
    if (v == arg) return;
    VariantClear(v);
    V_VT(v) = VT_BSTR;
    V_BSTR(v) = win::MakeBstr(text);
  }
}

// The byte array is not a one-dimensional array of bytes: Visual Basic's "Type mismatch".
HRESULT BadByteArray() {
  SetError("Type mismatch: byteArr must be a one-dimensional array of bytes");
  return DISP_E_TYPEMISMATCH;
}

void SetBool(VARIANT* result, bool value) {
  if (!result) return;
  VariantClear(result);
  V_VT(result) = VT_BOOL;
  V_BOOL(result) = value ? VARIANT_TRUE : VARIANT_FALSE;
}

class EnviChkObject final : public _ClsEnviChk, public ISupportErrorInfo {
 public:
  EnviChkObject() { ObjectCreated(); }
  ~EnviChkObject() { ObjectDestroyed(); }
  EnviChkObject(const EnviChkObject&) = delete;
  EnviChkObject& operator=(const EnviChkObject&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID__ClsEnviChk) {
      *out = static_cast<_ClsEnviChk*>(this);
    } else if (riid == IID_ISupportErrorInfo) {
      *out = static_cast<ISupportErrorInfo*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }

  // ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return riid == IID__ClsEnviChk ? S_OK : S_FALSE;
  }

  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    *info = TypeInfoOf(IID__ClsEnviChk);
    return *info ? S_OK : TYPE_E_CANTLOADLIBRARY;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    ITypeInfo* info = TypeInfoOf(IID__ClsEnviChk);
    if (!info) return TYPE_E_CANTLOADLIBRARY;
    const HRESULT hr = info->GetIDsOfNames(names, count, ids);
    info->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* arg_error) override;

  // _ClsEnviChk
  HRESULT STDMETHODCALLTYPE put_PingName(BSTR value) override {
    core_.PingName(win::FromBstr(value));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_PingName(BSTR* value) override { return TextOut(core_.PingName(), value); }
  HRESULT STDMETHODCALLTYPE put_PingPath(BSTR value) override {
    core_.PingPath(win::FromBstr(value));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_PingPath(BSTR* value) override { return TextOut(core_.PingPath(), value); }

  HRESULT STDMETHODCALLTYPE ResultChk(SAFEARRAY** byteArr, BSTR strRule, BSTR* strErrMsg, BSTR* strErrMsgXml,
                                      VARIANT_BOOL* verdict) override {
    if (!verdict) return E_POINTER;
    *verdict = VARIANT_FALSE;
    std::vector<uint8_t> bytes;
    if (!ReadSafeArray(byteArr ? *byteArr : nullptr, VT_UI1, bytes)) return BadByteArray();
    std::string msg = strErrMsg ? win::FromBstr(*strErrMsg) : std::string();
    std::string xml = strErrMsgXml ? win::FromBstr(*strErrMsgXml) : std::string();
    bool passed = false;
    const HRESULT hr = RunResultChk(bytes, win::FromBstr(strRule), msg, xml, passed);
    WriteBack(strErrMsg, msg);
    WriteBack(strErrMsgXml, xml);
    *verdict = passed ? VARIANT_TRUE : VARIANT_FALSE;
    return hr;
  }

  HRESULT STDMETHODCALLTYPE PingEnviChk(BSTR* strErrMsg, BSTR* strErrMsgXml, SAFEARRAY** byteArr, BSTR strRule,
                                        ::ChkPingConstants TestOptions, BSTR strTotalPath, BSTR strSubjectPath,
                                        BSTR strSubjectCode, LONG lngContractCode, FLOAT sngChkRate,
                                        VARIANT_BOOL* verdict) override {
    if (!verdict) return E_POINTER;
    *verdict = VARIANT_FALSE;
    std::vector<uint8_t> bytes;
    if (!ReadSafeArray(byteArr ? *byteArr : nullptr, VT_UI1, bytes)) return BadByteArray();
    std::string msg;
    std::string xml;
    bool passed = false;
    const HRESULT hr = RunPingEnviChk(msg, xml, bytes, win::FromBstr(strRule), static_cast<int32_t>(TestOptions),
                                      win::FromBstr(strTotalPath), win::FromBstr(strSubjectPath),
                                      win::FromBstr(strSubjectCode), lngContractCode, sngChkRate, passed);
    WriteBack(strErrMsg, msg);
    WriteBack(strErrMsgXml, xml);
    *verdict = passed ? VARIANT_TRUE : VARIANT_FALSE;
    return hr;
  }

 private:
  static HRESULT TextOut(const std::string& text, BSTR* out) {
    if (!out) return E_POINTER;
    *out = win::MakeBstr(text);
    return *out || text.empty() ? S_OK : E_OUTOFMEMORY;
  }
  static void WriteBack(BSTR* out, const std::string& text) {
    if (!out) return;
    SysFreeString(*out);
    *out = win::MakeBstr(text);
  }

  HRESULT RunResultChk(std::vector<uint8_t>& bytes, std::string rule, std::string& msg, std::string& xml, bool& passed) {
    std::string description;
    const HRESULT hr = Guarded(description, [&] { passed = core_.ResultChk(bytes, std::move(rule), msg, xml); });
    if (FAILED(hr)) SetError(description), last_error_ = description;
    return hr;
  }

  HRESULT RunPingEnviChk(std::string& msg, std::string& xml, std::vector<uint8_t>& bytes, std::string rule,
                         int32_t options, std::string total, std::string subject, std::string code, int32_t contract,
                         float rate, bool& passed) {
    std::string description;
    const HRESULT hr = Guarded(description, [&] {
      passed = core_.PingEnviChk(msg, xml, bytes, std::move(rule), static_cast<ChkPingConstants>(options),
                                 std::move(total), std::move(subject), std::move(code), contract, rate);
    });
    if (FAILED(hr)) SetError(description), last_error_ = description;
    return hr;
  }

  LONG refs_ = 1;
  vardenix::ClsEnviChk core_;
  std::string last_error_;  // description of the last failure, for EXCEPINFO

  friend HRESULT FillException(EnviChkObject&, HRESULT, EXCEPINFO*);
};

HRESULT FillException(EnviChkObject& object, HRESULT hr, EXCEPINFO* exception) {
  if (SUCCEEDED(hr)) return hr;
  if (hr == DISP_E_TYPEMISMATCH) return hr;
  if (exception) {
    *exception = EXCEPINFO{};
    exception->bstrSource = SysAllocString(kSource);
    exception->bstrDescription = win::MakeBstr(object.last_error_);
    exception->scode = hr;
  }
  return DISP_E_EXCEPTION;
}

HRESULT STDMETHODCALLTYPE EnviChkObject::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                                VARIANT* result, EXCEPINFO* exception, UINT* arg_error) {
  if (!params) return E_INVALIDARG;
  const UINT count = params->cArgs;
  // The i-th argument in declaration order (arguments arrive last first).
  const auto arg = [&](UINT i) -> VARIANT* { return i < count ? &params->rgvarg[count - 1 - i] : nullptr; };
  const auto mismatch = [&](UINT i) {
    if (arg_error) *arg_error = count - 1 - i;
    return DISP_E_TYPEMISMATCH;
  };
  const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  const bool get = (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) != 0;
  if (params->cNamedArgs > 0 && !(put && params->cNamedArgs == 1 && params->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT)) {
    return DISP_E_NONAMEDARGS;
  }

  switch (id) {
    case kPingName:
    case kPingPath: {
      if (put) {
        if (count != 1) return DISP_E_BADPARAMCOUNT;
        std::string text;
        if (!TextArg(&params->rgvarg[0], text)) {
          if (arg_error) *arg_error = 0;
          return DISP_E_TYPEMISMATCH;
        }
        id == kPingName ? core_.PingName(text) : core_.PingPath(text);
        return S_OK;
      }
      if (!get) return DISP_E_MEMBERNOTFOUND;
      if (count != 0) return DISP_E_BADPARAMCOUNT;
      if (result) {
        VariantClear(result);
        V_VT(result) = VT_BSTR;
        V_BSTR(result) = win::MakeBstr(id == kPingName ? core_.PingName() : core_.PingPath());
      }
      return S_OK;
    }
    case kResultChk: {
      if (!get || put) return DISP_E_MEMBERNOTFOUND;
      if (count != 4) return DISP_E_BADPARAMCOUNT;
      std::vector<uint8_t> bytes;
      std::string rule, msg, xml;
      if (!BytesArg(arg(0), bytes)) return mismatch(0);
      if (!TextArg(arg(1), rule)) return mismatch(1);
      if (!TextArg(arg(2), msg)) return mismatch(2);
      if (!TextArg(arg(3), xml)) return mismatch(3);
      bool passed = false;
      const HRESULT hr = RunResultChk(bytes, rule, msg, xml, passed);
      SetTextOut(arg(2), msg);
      SetTextOut(arg(3), xml);
      SetBool(result, passed);
      return FillException(*this, hr, exception);
    }
    case kPingEnviChk: {
      if (!get || put) return DISP_E_MEMBERNOTFOUND;
      if (count < 4 || count > 10) return DISP_E_BADPARAMCOUNT;
      std::vector<uint8_t> bytes;
      std::string rule, total, subject, code;
      int32_t options = kDefaultTestOptions;
      int32_t contract = kDefaultContractCode;
      float rate = kDefaultChkRate;
      // The two report strings are only written: their incoming values are discarded.
      if (!BytesArg(arg(2), bytes)) return mismatch(2);
      if (!TextArg(arg(3), rule)) return mismatch(3);
      VARIANT v;
      if (!IsMissing(arg(4))) {
        if (!Coerce(arg(4), VT_I4, v)) return mismatch(4);
        options = V_I4(&v);
      }
      if (!IsMissing(arg(5)) && !TextArg(arg(5), total)) return mismatch(5);
      if (!IsMissing(arg(6)) && !TextArg(arg(6), subject)) return mismatch(6);
      if (!IsMissing(arg(7)) && !TextArg(arg(7), code)) return mismatch(7);
      if (!IsMissing(arg(8))) {
        if (!Coerce(arg(8), VT_I4, v)) return mismatch(8);
        contract = V_I4(&v);
      }
      if (!IsMissing(arg(9))) {
        if (!Coerce(arg(9), VT_R4, v)) return mismatch(9);
        rate = V_R4(&v);
      }
      std::string msg, xml;
      bool passed = false;
      const HRESULT hr =
          RunPingEnviChk(msg, xml, bytes, rule, options, total, subject, code, contract, rate, passed);
      SetTextOut(arg(0), msg);
      SetTextOut(arg(1), xml);
      SetBool(result, passed);
      return FillException(*this, hr, exception);
    }
    default:
      return DISP_E_MEMBERNOTFOUND;
  }
}

}  // namespace

HRESULT CreateEnviChk(REFIID riid, void** out) {
  EnviChkObject* object = nullptr;
  try {
    object = new EnviChkObject();
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  const HRESULT hr = object->QueryInterface(riid, out);
  object->Release();
  return hr;
}

}  // namespace vardenix::com
