// The four entry points of Vardenix.dll and its class factory.
//
// Registration writes, under HKEY_CLASSES_ROOT: CLSID\{clsid} (InprocServer32 with this DLL and
// ThreadingModel Apartment, ProgID, VERSION, TypeLib, Programmable), the ProgID Vardenix.ClsEnviChk
// with its CLSID, and the type library (RegisterTypeLib, which also registers the interface for
// marshalling). Unregistration removes every one of these keys.
#include <windows.h>
#include <olectl.h>

#include <atomic>
#include <new>
#include <string>

#include "server/envi_chk_object.h"
#include "server/module.h"
#include "vardenix_idl.h"

namespace vardenix::com {
namespace {

HMODULE g_module = nullptr;
std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

constexpr wchar_t kProgId[] = L"Vardenix.ClsEnviChk";
constexpr wchar_t kClassName[] = L"Vardenix.ClsEnviChk";

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40];
  StringFromGUID2(guid, text, 40);
  return text;
}

class ClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }   // static object
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return CreateEnviChk(riid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    com::LockServer(lock != FALSE);
    return S_OK;
  }
};

ClassFactory g_factory;

LONG SetValue(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY h;
  LONG rc = RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(h);
  return rc;
}

LONG MakeKey(HKEY root, const std::wstring& key) {
  HKEY h;
  const LONG rc = RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr);
  if (rc == ERROR_SUCCESS) RegCloseKey(h);
  return rc;
}

void DeleteTree(HKEY root, const std::wstring& key) { RegDeleteTreeW(root, key.c_str()), RegDeleteKeyW(root, key.c_str()); }

HRESULT Unregister() {
  const std::wstring clsid_key = L"CLSID\\" + GuidText(CLSID_ClsEnviChk);
  DeleteTree(HKEY_CLASSES_ROOT, clsid_key);
  DeleteTree(HKEY_CLASSES_ROOT, kProgId);
  // The type library and the interface keys it registered.
  UnRegisterTypeLib(LIBID_Vardenix, 1, 0, LOCALE_NEUTRAL, SYS_WIN32);
  DeleteTree(HKEY_CLASSES_ROOT, L"Interface\\" + GuidText(IID__ClsEnviChk));
  DeleteTree(HKEY_CLASSES_ROOT, L"TypeLib\\" + GuidText(LIBID_Vardenix));
  return S_OK;
}

HRESULT Register() {
  const std::wstring path = ModulePath();
  const std::wstring clsid_key = L"CLSID\\" + GuidText(CLSID_ClsEnviChk);
  const std::wstring libid = GuidText(LIBID_Vardenix);
  LONG rc = SetValue(HKEY_CLASSES_ROOT, clsid_key, nullptr, kClassName);
  if (rc == ERROR_SUCCESS) rc = SetValue(HKEY_CLASSES_ROOT, clsid_key + L"\\InprocServer32", nullptr, path);
  if (rc == ERROR_SUCCESS) rc = SetValue(HKEY_CLASSES_ROOT, clsid_key + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
  if (rc == ERROR_SUCCESS) rc = SetValue(HKEY_CLASSES_ROOT, clsid_key + L"\\ProgID", nullptr, kProgId);
  if (rc == ERROR_SUCCESS) rc = SetValue(HKEY_CLASSES_ROOT, clsid_key + L"\\VERSION", nullptr, L"1.0");
  if (rc == ERROR_SUCCESS) rc = SetValue(HKEY_CLASSES_ROOT, clsid_key + L"\\TypeLib", nullptr, libid);
  if (rc == ERROR_SUCCESS) rc = MakeKey(HKEY_CLASSES_ROOT, clsid_key + L"\\Programmable");
  if (rc == ERROR_SUCCESS) rc = SetValue(HKEY_CLASSES_ROOT, kProgId, nullptr, kClassName);
  if (rc == ERROR_SUCCESS) rc = SetValue(HKEY_CLASSES_ROOT, std::wstring(kProgId) + L"\\Clsid", nullptr, GuidText(CLSID_ClsEnviChk));
  if (rc != ERROR_SUCCESS) {
    Unregister();
    return SELFREG_E_CLASS;
  }
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib);
  if (SUCCEEDED(hr)) {
    std::wstring folder = path.substr(0, path.find_last_of(L'\\') + 1);
    std::wstring full = path;
    hr = RegisterTypeLib(lib, full.data(), folder.empty() ? nullptr : folder.data());
    lib->Release();
  }
  if (FAILED(hr)) {
    Unregister();
    return SELFREG_E_TYPELIB;
  }
  return S_OK;
}

}  // namespace

HMODULE Module() { return g_module; }
void ObjectCreated() { ++g_objects; }
void ObjectDestroyed() { --g_objects; }
void LockServer(bool lock) { lock ? ++g_locks : --g_locks; }
bool CanUnload() { return g_objects == 0 && g_locks == 0; }

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

ITypeInfo* TypeInfoOf(REFGUID guid) {
  static ITypeLib* library = [] {
    ITypeLib* lib = nullptr;
    if (FAILED(LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, &lib))) lib = nullptr;
    return lib;
  }();
  ITypeInfo* info = nullptr;
  if (!library || FAILED(library->GetTypeInfoOfGuid(guid, &info))) return nullptr;
  return info;
}

}  // namespace vardenix::com

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    vardenix::com::g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (clsid != CLSID_ClsEnviChk) return CLASS_E_CLASSNOTAVAILABLE;
  return vardenix::com::g_factory.QueryInterface(riid, out);
}

STDAPI DllCanUnloadNow() { return vardenix::com::CanUnload() ? S_OK : S_FALSE; }
STDAPI DllRegisterServer() { return vardenix::com::Register(); }
STDAPI DllUnregisterServer() { return vardenix::com::Unregister(); }

}  // extern "C"
