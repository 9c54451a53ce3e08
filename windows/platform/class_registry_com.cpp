// The class registry on Windows: a scoring component is any COM class registered under its
// ProgID. It is created with CLSIDFromProgID and CoCreateInstance on the local machine and driven
// through IDispatch by member name, each member looked up (GetIDsOfNames) when it is used.
#include <string>

#include "hosting/component_registry.h"
#include "windows/platform/com_variant.h"
#include "windows/platform/wide_text.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

// The error object's description when the member raised one, else the system's text.
std::string CallFailure(const std::string& what, HRESULT hr, EXCEPINFO& info) {
  if (hr == DISP_E_EXCEPTION) {
    if (info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
    std::string description = win::FromBstr(info.bstrDescription);
    const HRESULT code = info.scode ? info.scode : (info.wCode ? MAKE_HRESULT(1, FACILITY_CONTROL, info.wCode) : hr);
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
    return description.empty() ? what + ": " + win::SystemMessage(static_cast<DWORD>(code)) : description;
  }
  return what + ": " + win::SystemMessage(static_cast<DWORD>(hr));
}

class ComObject final : public NamedObject {
 public:
  ComObject(IDispatch* dispatch, std::string prog_id) : dispatch_(dispatch), prog_id_(std::move(prog_id)) {}
  ~ComObject() override { dispatch_->Release(); }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  void Put(const std::string& member, const Variant& value) override {
    const DISPID id = IdOf(member);
    VARIANT arg = win::ToComVariant(value);
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&arg, &named, 1, 1};
    EXCEPINFO info{};
    UINT bad_arg = 0;
    const HRESULT hr = dispatch_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params,
                                         nullptr, &info, &bad_arg);
    VariantClear(&arg);
    if (FAILED(hr)) throw RuntimeError(CallFailure(Describe(member), hr, info));
  }

  Variant Read(const std::string& member) override {
    const DISPID id = IdOf(member);
    DISPPARAMS params{nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO info{};
    UINT bad_arg = 0;
    const HRESULT hr = dispatch_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT,
                                         DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params, &result, &info, &bad_arg);
    if (FAILED(hr)) throw RuntimeError(CallFailure(Describe(member), hr, info));
    try {
      Variant value = win::FromComVariant(result);
      VariantClear(&result);
      return value;
    } catch (...) {
      VariantClear(&result);
      throw;
    }
  }

 private:
  std::string Describe(const std::string& member) const {
    return "member \"" + member + "\" of the scoring component " + prog_id_;
  }

  DISPID IdOf(const std::string& member) {
    std::wstring name = win::Widen(member);
    LPOLESTR names[] = {name.data()};
    DISPID id = DISPID_UNKNOWN;
    const HRESULT hr = dispatch_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) {
      throw RuntimeError("the scoring component " + prog_id_ + " has no member \"" + member + "\"");
    }
    return id;
  }

  IDispatch* dispatch_;
  std::string prog_id_;
};

class ComClassRegistry final : public ClassRegistry {
 public:
  std::unique_ptr<NamedObject> Create(const std::string& prog_id) override {
    CLSID clsid;
    if (prog_id.empty() || FAILED(CLSIDFromProgID(win::Widen(prog_id).c_str(), &clsid))) {
      throw RuntimeError("cannot create the scoring component \"" + prog_id +
                         "\": no class is registered under this ProgID (register its DLL with regsvr32)");
    }
    IDispatch* dispatch = nullptr;
    const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                        reinterpret_cast<void**>(&dispatch));
    if (FAILED(hr) || !dispatch) {
      throw RuntimeError("cannot create the scoring component \"" + prog_id + "\": " +
                         win::SystemMessage(static_cast<DWORD>(hr)));
    }
    return std::make_unique<ComObject>(dispatch, prog_id);
  }
};

}  // namespace

ClassRegistry& SystemClassRegistry() {
  static ComClassRegistry registry;
  return registry;
}

}  // namespace vardenix
