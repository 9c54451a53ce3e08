// VardenixFileCheck.dll: the sample scoring component Vardenix.FileCheck as a COM class, so that a
// Windows host (and the Wine tests) can run real checks end to end.
//
// The component is the Linux module's own code (scorers/filecheck/filecheck.cpp, compiled into this
// DLL): this file only puts a late-bound IDispatch in front of the module's class. Member names are
// matched without regard to case; each member has a fixed DISPID. A failing member answers
// DISP_E_EXCEPTION with the component's message as the description. Registration writes the
// CLSID (InprocServer32, ThreadingModel Apartment, ProgID) and the ProgID; unregistration removes them.
#include <windows.h>
#include <olectl.h>
#include <oleauto.h>

#include <atomic>
#include <string>

#include "windows/platform/com_variant.h"
#include "windows/platform/wide_text.h"
#include "vardenix/component.h"
#include "vardenix/error.h"

extern "C" const vx_module* VX_MODULE_ENTRY(void);

namespace {

// {8DE85373-B49D-4323-B7A7-F178020E5568}
const CLSID kClsid = {0x8de85373, 0xb49d, 0x4323, {0xb7, 0xa7, 0xf1, 0x78, 0x02, 0x0e, 0x55, 0x68}};
constexpr wchar_t kProgId[] = L"Vardenix.FileCheck";

HMODULE g_module = nullptr;
std::atomic<long> g_live{0};

const wchar_t* const kMembers[] = {L"TestPath", L"AnsCont", L"GetTotalScore", L"ErrInfoType",
                                   L"ping", L"ShowErr", L"ErrMsgXml"};
constexpr DISPID kFirstId = 1;

const vx_class& TheClass() { return *VX_MODULE_ENTRY()->get_class(0); }

HRESULT Exception(EXCEPINFO* info, const std::string& description) {
  if (info) {
    *info = EXCEPINFO{};
    info->bstrSource = SysAllocString(kProgId);
    info->bstrDescription = vardenix::win::MakeBstr(description);
    info->scode = E_FAIL;
  }
  return DISP_E_EXCEPTION;
}

class FileCheckObject final : public IDispatch {
 public:
  explicit FileCheckObject(void* object) : object_(object) { ++g_live; }
  ~FileCheckObject() {
    TheClass().release(object_);
    --g_live;
  }
  FileCheckObject(const FileCheckObject&) = delete;
  FileCheckObject& operator=(const FileCheckObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return DISP_E_BADINDEX;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (!names || !ids) return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    for (UINT k = 0; k < sizeof kMembers / sizeof kMembers[0]; ++k) {
      if (count > 0 && _wcsicmp(names[0], kMembers[k]) == 0) ids[0] = kFirstId + static_cast<DISPID>(k);
    }
    if (count == 0 || ids[0] == DISPID_UNKNOWN || count > 1) hr = DISP_E_UNKNOWNNAME;
    return hr;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* info, UINT* arg_error) override {
    const DISPID index = id - kFirstId;
    if (!params || index < 0 || index >= static_cast<DISPID>(sizeof kMembers / sizeof kMembers[0])) {
      return DISP_E_MEMBERNOTFOUND;
    }
    const std::string member = vardenix::win::Narrow(kMembers[index]);
    const char* message = nullptr;
    try {
      if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
        const vardenix::Variant value = vardenix::win::FromComVariant(params->rgvarg[0]);
        vx_value v{};
        v.type = static_cast<uint16_t>(value.type());
        switch (value.type()) {
          case vardenix::VarType::Bool: v.i = value.bool_value(); break;
          case vardenix::VarType::I2: v.i = value.i2(); break;
          case vardenix::VarType::I4: v.i = value.i4(); break;
          case vardenix::VarType::R4: v.r = value.r4(); break;
          case vardenix::VarType::R8: v.r = value.r8(); break;
          case vardenix::VarType::Text: v.text = value.text().data(); v.text_len = value.text().size(); break;
          default: break;
        }
        const int32_t rc = TheClass().put(object_, member.c_str(), &v, &message);
        if (rc == VX_UNKNOWN_MEMBER) return DISP_E_MEMBERNOTFOUND;
        if (rc != VX_OK) return Exception(info, message ? message : member + " failed");
        return S_OK;
      }
      if (params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
      vx_value v{};
      const int32_t rc = TheClass().read(object_, member.c_str(), &v, &message);
      if (rc == VX_UNKNOWN_MEMBER) return DISP_E_MEMBERNOTFOUND;
      if (rc != VX_OK) return Exception(info, message ? message : member + " failed");
      vardenix::Variant value;
      switch (v.type) {
        case VX_NULL: value = vardenix::Variant::Null(); break;
        case VX_BOOL: value = vardenix::Variant::Bool(v.i != 0); break;
        case VX_I2: value = vardenix::Variant::I2(static_cast<int16_t>(v.i)); break;
        case VX_I4: value = vardenix::Variant::I4(v.i); break;
        case VX_R4: value = vardenix::Variant::R4(static_cast<float>(v.r)); break;
        case VX_R8: value = vardenix::Variant::R8(v.r); break;
        case VX_TEXT: value = vardenix::Variant::Text(std::string(v.text ? v.text : "", v.text_len)); break;
        default: break;
      }
      if (result) {
        VariantClear(result);
        *result = vardenix::win::ToComVariant(value);
      }
      return S_OK;
    } catch (const std::exception& e) {
      if (arg_error) *arg_error = 0;
      return Exception(info, e.what());
    }
  }

 private:
  LONG refs_ = 1;
  void* object_;
};

class Factory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    void* object = nullptr;
    const char* message = nullptr;
    if (TheClass().create(TheClass().context, &object, &message) != VX_OK) return E_FAIL;
    FileCheckObject* com = new (std::nothrow) FileCheckObject(object);
    if (!com) {
      TheClass().release(object);
      return E_OUTOFMEMORY;
    }
    const HRESULT hr = com->QueryInterface(riid, out);
    com->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    lock ? ++g_live : --g_live;
    return S_OK;
  }
};

Factory g_factory;

std::wstring ClsidKey() {
  wchar_t text[40];
  StringFromGUID2(kClsid, text, 40);
  return std::wstring(L"CLSID\\") + text;
}

LONG SetValue(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY h;
  LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(h);
  return rc;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_module = instance;
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (clsid != kClsid) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, out);
}

STDAPI DllCanUnloadNow() { return g_live == 0 ? S_OK : S_FALSE; }

STDAPI DllUnregisterServer() {
  RegDeleteTreeW(HKEY_CLASSES_ROOT, ClsidKey().c_str());
  RegDeleteKeyW(HKEY_CLASSES_ROOT, ClsidKey().c_str());
  RegDeleteTreeW(HKEY_CLASSES_ROOT, kProgId);
  RegDeleteKeyW(HKEY_CLASSES_ROOT, kProgId);
  return S_OK;
}

STDAPI DllRegisterServer() {
  wchar_t path[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameW(g_module, path, MAX_PATH * 4);
  if (n == 0 || n >= MAX_PATH * 4) return SELFREG_E_CLASS;
  wchar_t clsid[40];
  StringFromGUID2(kClsid, clsid, 40);
  const std::wstring key = ClsidKey();
  LONG rc = SetValue(key, nullptr, kProgId);
  if (rc == ERROR_SUCCESS) rc = SetValue(key + L"\\InprocServer32", nullptr, path);
  if (rc == ERROR_SUCCESS) rc = SetValue(key + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
  if (rc == ERROR_SUCCESS) rc = SetValue(key + L"\\ProgID", nullptr, kProgId);
  if (rc == ERROR_SUCCESS) rc = SetValue(kProgId, nullptr, kProgId);
  if (rc == ERROR_SUCCESS) rc = SetValue(std::wstring(kProgId) + L"\\Clsid", nullptr, clsid);
  if (rc != ERROR_SUCCESS) {
    DllUnregisterServer();
    return SELFREG_E_CLASS;
  }
  return S_OK;
}

}  // extern "C"
