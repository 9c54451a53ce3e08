// The Windows host's view of Vardenix.dll, run under Wine by scripts/test-windows.
//
//   com_client typelib DLL       reads the type library and the version resource back from the DLL
//                                and checks them against the COM identity Vardenix documents
//   com_client host FIXTURES     drives the registered ClsEnviChk late-bound, as a Visual Basic host
//                                would, on the inputs and expected reports in FIXTURES (made by the
//                                Linux build, see scripts/test-windows)
//
// Prints one line per failed check and ends with "N passed, N failed"; exits 1 when any failed.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int g_passed = 0;
int g_failed = 0;

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring Wide(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

std::wstring FromBstr(BSTR b) { return b ? std::wstring(b, SysStringLen(b)) : std::wstring(); }

void Check(bool ok, const std::string& what, const std::string& detail = {}) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::printf("FAIL: %s%s%s\n", what.c_str(), detail.empty() ? "" : ": ", detail.c_str());
  }
}

template <typename T>
void Equal(const T& got, const T& want, const std::string& what) {
  Check(got == want, what, "got " + std::to_string(got) + ", want " + std::to_string(want));
}

void EqualText(const std::wstring& got, const std::wstring& want, const std::string& what) {
  Check(got == want, what, "got \"" + Utf8(got) + "\", want \"" + Utf8(want) + "\"");
}

std::string Hex(HRESULT hr) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08lX", static_cast<unsigned long>(hr));
  return b;
}

bool SameGuid(const GUID& g, const wchar_t* text) {
  GUID want;
  return SUCCEEDED(CLSIDFromString(const_cast<LPOLESTR>(text), &want)) && IsEqualGUID(g, want);
}

// The COM identity, as the README documents it.
const wchar_t kLibId[] = L"{6B629B1F-4038-4E2B-BFCF-D90DDF4906CD}";
const wchar_t kClsId[] = L"{07D1FD58-2B03-4551-9EB2-8A45EB49B5C2}";
const wchar_t kIid[] = L"{D740AE4C-2296-4795-8AC0-4EFD1D68E78B}";
const wchar_t kEnumId[] = L"{C8E26BC6-5FDD-460D-B398-61E8E35D07BD}";
const wchar_t kStdOle[] = L"{00020430-0000-0000-C000-000000000046}";
const wchar_t kPingNameHelp[] = L"设置/返回评分控件的名称";
const wchar_t kPingPathHelp[] = L"设置/返回评分文档所在的路径";

// A parameter as the type library should describe it.
struct Param {
  const wchar_t* name;  // nullptr: unnamed
  VARTYPE vt;           // of the type; VT_PTR for a reference
  VARTYPE pointee;      // for VT_PTR: what it points to (VT_SAFEARRAY for the byte array)
  USHORT flags;
  VARTYPE default_vt = VT_EMPTY;  // with PARAMFLAG_FHASDEFAULT
  LONG default_i4 = 0;
  DWORD default_bits = 0;  // of a VT_R4 default
};

struct Member {
  const wchar_t* name;
  INVOKEKIND kind;
  MEMBERID id;
  const wchar_t* help;
  std::vector<Param> params;
};

constexpr USHORT kIn = PARAMFLAG_FIN, kOut = PARAMFLAG_FOUT, kRet = PARAMFLAG_FRETVAL, kOpt = PARAMFLAG_FOPT,
                 kDef = PARAMFLAG_FHASDEFAULT;

std::vector<Member> ExpectedMembers() {
  const Param ret_bool{nullptr, VT_PTR, VT_BOOL, kOut | kRet};
  return {
      {L"PingName", INVOKE_PROPERTYPUT, 0x68030001, kPingNameHelp, {{nullptr, VT_BSTR, 0, kIn}}},
      {L"PingName", INVOKE_PROPERTYGET, 0x68030001, kPingNameHelp, {{nullptr, VT_PTR, VT_BSTR, kOut | kRet}}},
      {L"PingPath", INVOKE_PROPERTYPUT, 0x68030000, kPingPathHelp, {{nullptr, VT_BSTR, 0, kIn}}},
      {L"PingPath", INVOKE_PROPERTYGET, 0x68030000, kPingPathHelp, {{nullptr, VT_PTR, VT_BSTR, kOut | kRet}}},
      {L"ResultChk", INVOKE_FUNC, 0x60030002, L"",
       {{L"byteArr", VT_PTR, VT_SAFEARRAY, kIn | kOut},
        {L"strRule", VT_BSTR, 0, kIn},
        {L"strErrMsg", VT_PTR, VT_BSTR, kIn | kOut},
        {L"strErrMsgXml", VT_PTR, VT_BSTR, kIn | kOut},
        ret_bool}},
      {L"PingEnviChk", INVOKE_FUNC, 0x60030006, L"",
       {{L"strErrMsg", VT_PTR, VT_BSTR, kIn | kOut},
        {L"strErrMsgXml", VT_PTR, VT_BSTR, kIn | kOut},
        {L"byteArr", VT_PTR, VT_SAFEARRAY, kIn | kOut},
        {L"strRule", VT_BSTR, 0, kIn},
        {L"TestOptions", VT_USERDEFINED, 0, kIn | kOpt | kDef, VT_I4, 3},
        {L"strTotalPath", VT_BSTR, 0, kIn | kOpt},
        {L"strSubjectPath", VT_BSTR, 0, kIn | kOpt},
        {L"strSubjectCode", VT_BSTR, 0, kIn | kOpt},
        {L"lngContractCode", VT_I4, 0, kIn | kOpt | kDef, VT_I4, -1},
        {L"sngChkRate", VT_R4, 0, kIn | kOpt | kDef, VT_R4, 0, 0x3DCCCCCD},
        ret_bool}},
  };
}

void CheckMember(ITypeInfo* info, UINT index, const Member& want) {
  const std::string where = Utf8(want.name) + (want.kind == INVOKE_PROPERTYPUT ? " (put)" : want.kind == INVOKE_PROPERTYGET ? " (get)" : "");
  FUNCDESC* f = nullptr;
  if (FAILED(info->GetFuncDesc(index, &f))) return Check(false, where + ": no function at slot " + std::to_string(index + 1));
  Equal<long>(f->memid, want.id, where + ": DISPID");
  Equal<int>(f->invkind, want.kind, where + ": kind");
  Equal<int>(f->funckind, FUNC_DISPATCH == f->funckind ? FUNC_DISPATCH : FUNC_PUREVIRTUAL, where + ": function kind");
  // Offsets count the pointers of the type library's system (4 bytes in a 32-bit library) or of
  // the process, depending on who reads them; the slot is the same.
  Check(f->oVft == static_cast<long>((7 + index) * 4) || f->oVft == static_cast<long>((7 + index) * sizeof(void*)),
        where + ": slot " + std::to_string(index + 1) + " after IUnknown and IDispatch", "offset " + std::to_string(f->oVft));
  Equal<int>(f->elemdescFunc.tdesc.vt, VT_HRESULT, where + ": returns HRESULT");
  Equal<int>(f->cParams, static_cast<int>(want.params.size()), where + ": parameter count");
  BSTR names[16] = {};
  UINT count = 0;
  info->GetNames(f->memid, names, 16, &count);
  // The put's vData and the retvals are unnamed: only the member's own name comes back.
  UINT named = 1;
  for (const Param& p : want.params) named += p.name ? 1 : 0;
  if (want.kind == INVOKE_PROPERTYGET || want.kind == INVOKE_PROPERTYPUT) {
    EqualText(count > 0 ? FromBstr(names[0]) : L"", want.name, where + ": name");
    if (want.kind == INVOKE_PROPERTYPUT) Equal<unsigned>(count, 1u, where + ": vData is unnamed");
  } else {
    // GetNames takes the first function with this id; both methods have their own id.
    Equal<unsigned>(count, named, where + ": names (member and named parameters)");
    EqualText(count > 0 ? FromBstr(names[0]) : L"", want.name, where + ": name");
    for (UINT i = 1; i < count && i - 1 < want.params.size(); ++i) {
      EqualText(FromBstr(names[i]), want.params[i - 1].name ? want.params[i - 1].name : L"", where + ": parameter " + std::to_string(i) + " name");
    }
  }
  for (UINT i = 0; i < count; ++i) SysFreeString(names[i]);
  BSTR help = nullptr;
  info->GetDocumentation(f->memid, nullptr, &help, nullptr, nullptr);
  EqualText(FromBstr(help), want.help, where + ": help string");
  SysFreeString(help);

  for (size_t i = 0; i < want.params.size() && i < static_cast<size_t>(f->cParams); ++i) {
    const Param& p = want.params[i];
    const ELEMDESC& e = f->lprgelemdescParam[i];
    const std::string pw = where + ": parameter " + std::to_string(i + 1);
    Equal<int>(e.tdesc.vt, p.vt, pw + " type");
    if (p.vt == VT_PTR && e.tdesc.lptdesc) {
      Equal<int>(e.tdesc.lptdesc->vt, p.pointee, pw + " referenced type");
      if (p.pointee == VT_SAFEARRAY && e.tdesc.lptdesc->lptdesc) {
        Equal<int>(e.tdesc.lptdesc->lptdesc->vt, VT_UI1, pw + " array of unsigned bytes");
      }
    }
    if (p.vt == VT_USERDEFINED) {
      ITypeInfo* ref = nullptr;
      if (SUCCEEDED(info->GetRefTypeInfo(e.tdesc.hreftype, &ref))) {
        BSTR name = nullptr;
        ref->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
        EqualText(FromBstr(name), L"ChkPingConstants", pw + " enumeration");
        SysFreeString(name);
        ref->Release();
      } else {
        Check(false, pw + " enumeration reference");
      }
    }
    Equal<int>(e.paramdesc.wParamFlags, p.flags, pw + " flags");
    if ((p.flags & kDef) && e.paramdesc.pparamdescex) {
      const VARIANT& d = e.paramdesc.pparamdescex->varDefaultValue;
      Equal<int>(V_VT(&d), p.default_vt, pw + " default's type");
      if (p.default_vt == VT_I4 && V_VT(&d) == VT_I4) Equal<long>(V_I4(&d), p.default_i4, pw + " default");
      if (p.default_vt == VT_R4 && V_VT(&d) == VT_R4) {
        DWORD bits;
        std::memcpy(&bits, &V_R4(&d), 4);
        Equal<unsigned long>(bits, p.default_bits, pw + " default's bits");
      }
    }
  }
  info->ReleaseFuncDesc(f);
}

int TypeLibrary(const wchar_t* dll) {
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadTypeLibEx(dll, REGKIND_NONE, &lib);
  if (FAILED(hr)) {
    Check(false, "the DLL carries a type library", Hex(hr));
    return 1;
  }
  TLIBATTR* la = nullptr;
  lib->GetLibAttr(&la);
  Check(SameGuid(la->guid, kLibId), "library ID");
  Equal<int>(la->wMajorVerNum, 1, "library major version");
  Equal<int>(la->wMinorVerNum, 0, "library minor version");
  Equal<unsigned long>(la->lcid, 0, "library locale neutral");
  Equal<int>(la->syskind, SYS_WIN32, "a 32-bit Windows type library");
  lib->ReleaseTLibAttr(la);
  BSTR name = nullptr, doc = nullptr, file = nullptr;
  lib->GetDocumentation(-1, &name, &doc, nullptr, &file);
  EqualText(FromBstr(name), L"Vardenix", "library name");
  EqualText(FromBstr(doc), L"", "library has no help string");
  EqualText(FromBstr(file), L"", "library has no help file");
  SysFreeString(name), SysFreeString(doc), SysFreeString(file);
  Equal<unsigned>(lib->GetTypeInfoCount(), 3u, "three type infos: enumeration, interface, class");

  // The class.
  GUID g;
  CLSIDFromString(const_cast<LPOLESTR>(kClsId), &g);
  ITypeInfo* cls = nullptr;
  if (SUCCEEDED(lib->GetTypeInfoOfGuid(g, &cls))) {
    TYPEATTR* a = nullptr;
    cls->GetTypeAttr(&a);
    Equal<int>(a->typekind, TKIND_COCLASS, "ClsEnviChk is a class");
    Check((a->wTypeFlags & TYPEFLAG_FCANCREATE) != 0, "ClsEnviChk is creatable");
    Equal<int>(a->cImplTypes, 1, "ClsEnviChk implements one interface");
    Equal<int>(a->wMajorVerNum * 100 + a->wMinorVerNum, 100, "ClsEnviChk version 1.0");
    cls->ReleaseTypeAttr(a);
    BSTR n = nullptr;
    cls->GetDocumentation(MEMBERID_NIL, &n, nullptr, nullptr, nullptr);
    EqualText(FromBstr(n), L"ClsEnviChk", "class name");
    SysFreeString(n);
    INT flags = 0;
    cls->GetImplTypeFlags(0, &flags);
    Equal<int>(flags, IMPLTYPEFLAG_FDEFAULT, "_ClsEnviChk is the default interface, no source");
    HREFTYPE ref;
    ITypeInfo* iface = nullptr;
    if (SUCCEEDED(cls->GetRefTypeOfImplType(0, &ref)) && SUCCEEDED(cls->GetRefTypeInfo(ref, &iface))) {
      TYPEATTR* ia = nullptr;
      iface->GetTypeAttr(&ia);
      Check(SameGuid(ia->guid, kIid), "the class implements _ClsEnviChk");
      iface->ReleaseTypeAttr(ia);
      iface->Release();
    } else {
      Check(false, "the class's interface");
    }
    cls->Release();
  } else {
    Check(false, "class ClsEnviChk under its CLSID");
  }

  // The interface: dual, so the library holds its dispatch view, and the vtable view behind it.
  CLSIDFromString(const_cast<LPOLESTR>(kIid), &g);
  ITypeInfo* disp = nullptr;
  if (SUCCEEDED(lib->GetTypeInfoOfGuid(g, &disp))) {
    TYPEATTR* a = nullptr;
    disp->GetTypeAttr(&a);
    Equal<int>(a->typekind, TKIND_DISPATCH, "_ClsEnviChk dispatch view");
    const WORD want = TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
    Equal<int>(a->wTypeFlags & ~TYPEFLAG_FOLEAUTOMATION, want, "_ClsEnviChk dispatch view: hidden, dual, nonextensible");
    Equal<int>(a->wMajorVerNum * 100 + a->wMinorVerNum, 100, "_ClsEnviChk version 1.0");
    disp->ReleaseTypeAttr(a);
    BSTR n = nullptr;
    disp->GetDocumentation(MEMBERID_NIL, &n, nullptr, nullptr, nullptr);
    EqualText(FromBstr(n), L"_ClsEnviChk", "interface name");
    SysFreeString(n);
    // Names resolve to the documented DISPIDs, as a late-bound host asks for them.
    const struct { const wchar_t* name; DISPID id; } ids[] = {
        {L"PingName", 0x68030001}, {L"PingPath", 0x68030000}, {L"ResultChk", 0x60030002}, {L"PingEnviChk", 0x60030006}};
    for (const auto& row : ids) {
      LPOLESTR names[] = {const_cast<LPOLESTR>(row.name)};
      MEMBERID id = 0;
      disp->GetIDsOfNames(names, 1, &id);
      Equal<long>(id, row.id, Utf8(row.name) + ": DISPID by name");
    }
    HREFTYPE ref;
    ITypeInfo* vt = nullptr;
    if (SUCCEEDED(disp->GetRefTypeOfImplType(-1, &ref)) && SUCCEEDED(disp->GetRefTypeInfo(ref, &vt))) {
      TYPEATTR* va = nullptr;
      vt->GetTypeAttr(&va);
      Equal<int>(va->typekind, TKIND_INTERFACE, "_ClsEnviChk vtable view");
      Equal<int>(va->cFuncs, 6, "_ClsEnviChk has six members of its own");
      const WORD vwant = TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
      Equal<int>(va->wTypeFlags, vwant, "_ClsEnviChk: hidden, dual, nonextensible, oleautomation");
      Equal<int>(va->cbSizeVft, 13 * 4, "vtable of a 32-bit library: 3 IUnknown + 4 IDispatch + 6 slots");
      vt->ReleaseTypeAttr(va);
      // Its base is IDispatch from stdole2.tlb 2.0.
      ITypeInfo* base = nullptr;
      if (SUCCEEDED(vt->GetRefTypeOfImplType(0, &ref)) && SUCCEEDED(vt->GetRefTypeInfo(ref, &base))) {
        BSTR bn = nullptr;
        base->GetDocumentation(MEMBERID_NIL, &bn, nullptr, nullptr, nullptr);
        EqualText(FromBstr(bn), L"IDispatch", "base interface");
        SysFreeString(bn);
        ITypeLib* container = nullptr;
        UINT at = 0;
        if (SUCCEEDED(base->GetContainingTypeLib(&container, &at))) {
          TLIBATTR* sa = nullptr;
          container->GetLibAttr(&sa);
          Check(SameGuid(sa->guid, kStdOle) && sa->wMajorVerNum == 2 && sa->wMinorVerNum == 0, "IDispatch comes from stdole2.tlb 2.0");
          container->ReleaseTLibAttr(sa);
          container->Release();
        }
        base->Release();
      } else {
        Check(false, "base interface");
      }
      const std::vector<Member> members = ExpectedMembers();
      for (UINT i = 0; i < members.size(); ++i) CheckMember(vt, i, members[i]);
      vt->Release();
    } else {
      Check(false, "_ClsEnviChk vtable view");
    }
    disp->Release();
  } else {
    Check(false, "interface _ClsEnviChk under its IID");
  }

  // The enumeration.
  CLSIDFromString(const_cast<LPOLESTR>(kEnumId), &g);
  ITypeInfo* en = nullptr;
  if (SUCCEEDED(lib->GetTypeInfoOfGuid(g, &en))) {
    TYPEATTR* a = nullptr;
    en->GetTypeAttr(&a);
    Equal<int>(a->typekind, TKIND_ENUM, "ChkPingConstants is an enumeration");
    Equal<int>(a->cVars, 2, "ChkPingConstants has two members");
    Equal<int>(a->wMajorVerNum * 100 + a->wMinorVerNum, 100, "ChkPingConstants version 1.0");
    const struct { const wchar_t* name; LONG value; } rows[] = {{L"ChkResultDoc", 1}, {L"ChkSubject", 2}};
    for (UINT i = 0; i < 2 && i < a->cVars; ++i) {
      VARDESC* v = nullptr;
      en->GetVarDesc(i, &v);
      BSTR n = nullptr, h = nullptr;
      en->GetDocumentation(v->memid, &n, &h, nullptr, nullptr);
      EqualText(FromBstr(n), rows[i].name, "enumeration member " + std::to_string(i + 1));
      Check(v->varkind == VAR_CONST && V_VT(v->lpvarValue) == VT_I4 && V_I4(v->lpvarValue) == rows[i].value,
            Utf8(rows[i].name) + " is the 32-bit constant " + std::to_string(rows[i].value));
      EqualText(FromBstr(h), rows[i].name, Utf8(rows[i].name) + ": help string is its name");
      SysFreeString(n), SysFreeString(h);
      en->ReleaseVarDesc(v);
    }
    en->ReleaseTypeAttr(a);
    en->Release();
  } else {
    Check(false, "enumeration ChkPingConstants under its GUID");
  }
  lib->Release();

  // The version resource.
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(dll, &handle);
  std::vector<char> block(size ? size : 1);
  if (size == 0 || !GetFileVersionInfoW(dll, 0, size, block.data())) {
    Check(false, "the DLL has a version resource");
  } else {
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &len);
    Check(fixed && fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 3, "numeric file version 1.0.0.3");
    Check(fixed && fixed->dwProductVersionMS == 0x00010000 && fixed->dwProductVersionLS == 3, "numeric product version 1.0.0.3");
    WORD* translation = nullptr;
    VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &len);
    Check(translation && len >= 4 && translation[0] == 0x0804 && translation[1] == 1200, "Chinese (PRC), Unicode");
    const struct { const wchar_t* key; const wchar_t* value; } strings[] = {
        {L"FileVersion", L"1.00.0003"}, {L"ProductVersion", L"1.00.0003"}, {L"InternalName", L"Vardenix"},
        {L"OriginalFilename", L"Vardenix.dll"}, {L"OLESelfRegister", L""}};
    for (const auto& row : strings) {
      wchar_t* value = nullptr;
      const std::wstring path = std::wstring(L"\\StringFileInfo\\080404B0\\") + row.key;
      const BOOL found = VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &len);
      Check(found != FALSE, "version string " + Utf8(row.key) + " is there");
      if (found) EqualText(value ? std::wstring(value) : L"", row.value, "version string " + Utf8(row.key));
    }
  }
  return 0;
}

// ---- The late-bound host ----

std::wstring g_fixtures;

std::vector<unsigned char> ReadBytes(const std::wstring& name) {
  const std::wstring path = g_fixtures + L"\\" + name;
  std::vector<unsigned char> bytes;
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    Check(false, "read fixture " + Utf8(name));
    return bytes;
  }
  char block[65536];
  DWORD n = 0;
  while (ReadFile(f, block, sizeof block, &n, nullptr) && n > 0) bytes.insert(bytes.end(), block, block + n);
  CloseHandle(f);
  return bytes;
}

std::wstring ReadText(const std::wstring& name) {
  const std::vector<unsigned char> b = ReadBytes(name);
  return Wide(std::string(b.begin(), b.end()));
}

DISPID IdOf(IDispatch* d, const wchar_t* name) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID id = DISPID_UNKNOWN;
  d->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  return id;
}

HRESULT PutText(IDispatch* d, const wchar_t* name, const std::wstring& value) {
  VARIANT arg;
  V_VT(&arg) = VT_BSTR;
  V_BSTR(&arg) = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS p{&arg, &named, 1, 1};
  const HRESULT hr = d->Invoke(IdOf(d, name), IID_NULL, 0, DISPATCH_PROPERTYPUT, &p, nullptr, nullptr, nullptr);
  VariantClear(&arg);
  return hr;
}

std::wstring GetText(IDispatch* d, const wchar_t* name) {
  DISPPARAMS p{nullptr, nullptr, 0, 0};
  VARIANT r;
  VariantInit(&r);
  d->Invoke(IdOf(d, name), IID_NULL, 0, DISPATCH_PROPERTYGET, &p, &r, nullptr, nullptr);
  std::wstring out = V_VT(&r) == VT_BSTR ? FromBstr(V_BSTR(&r)) : L"<not a string>";
  VariantClear(&r);
  return out;
}

// One PingEnviChk or ResultChk call, arguments as Visual Basic passes them: the reports and the
// byte array by reference, everything else by value; omitted optionals as DISP_E_PARAMNOTFOUND.
struct Call {
  std::vector<unsigned char> bytes;
  std::wstring rule;
  std::vector<VARIANT> optionals;  // PingEnviChk's arguments 5.. (VT_ERROR for a left-out one)
  std::wstring msg = L"old text", xml = L"<old/>";
  HRESULT hr = S_OK;
  bool verdict = false;
  std::wstring description;
  bool bytes_unchanged = true;
};

VARIANT Missing() {
  VARIANT v;
  V_VT(&v) = VT_ERROR;
  V_ERROR(&v) = DISP_E_PARAMNOTFOUND;
  return v;
}
VARIANT I4(LONG value) {
  VARIANT v;
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
  return v;
}
VARIANT R4(float value) {
  VARIANT v;
  V_VT(&v) = VT_R4;
  V_R4(&v) = value;
  return v;
}
VARIANT Text(const std::wstring& s) {
  VARIANT v;
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
  return v;
}

void Invoke(IDispatch* d, const wchar_t* method, Call& c) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(c.bytes.size()));
  if (!c.bytes.empty()) {
    void* data = nullptr;
    SafeArrayAccessData(array, &data);
    std::memcpy(data, c.bytes.data(), c.bytes.size());
    SafeArrayUnaccessData(array);
  }
  BSTR msg = SysAllocStringLen(c.msg.data(), static_cast<UINT>(c.msg.size()));
  BSTR xml = SysAllocStringLen(c.xml.data(), static_cast<UINT>(c.xml.size()));
  std::vector<VARIANT> args;  // in declaration order, reversed below
  VARIANT a;
  const bool ping = std::wcscmp(method, L"PingEnviChk") == 0;
  VARIANT array_ref, msg_ref, xml_ref;
  V_VT(&array_ref) = VT_ARRAY | VT_UI1 | VT_BYREF;
  V_ARRAYREF(&array_ref) = &array;
  V_VT(&msg_ref) = VT_BSTR | VT_BYREF;
  V_BSTRREF(&msg_ref) = &msg;
  V_VT(&xml_ref) = VT_BSTR | VT_BYREF;
  V_BSTRREF(&xml_ref) = &xml;
  a = Text(c.rule);
  if (ping) {
    args = {msg_ref, xml_ref, array_ref, a};
    for (const VARIANT& o : c.optionals) args.push_back(o);
  } else {
    args = {array_ref, a, msg_ref, xml_ref};
  }
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPPARAMS p{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO info{};
  UINT bad = 0;
  c.hr = d->Invoke(IdOf(d, method), IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &p, &result, &info, &bad);
  c.verdict = V_VT(&result) == VT_BOOL && V_BOOL(&result) == VARIANT_TRUE;
  Check(c.hr != S_OK || V_VT(&result) == VT_BOOL, Utf8(method) + " answers a VARIANT_BOOL");
  Check(c.hr != S_OK || V_BOOL(&result) == VARIANT_TRUE || V_BOOL(&result) == VARIANT_FALSE, Utf8(method) + ": True is -1");
  if (c.hr == DISP_E_EXCEPTION) {
    if (info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
    c.description = FromBstr(info.bstrDescription);
    SysFreeString(info.bstrDescription), SysFreeString(info.bstrSource), SysFreeString(info.bstrHelpFile);
  }
  c.msg = FromBstr(msg);
  c.xml = FromBstr(xml);
  // The check never changes the host's array.
  void* data = nullptr;
  LONG high = -1;
  SafeArrayGetUBound(array, 1, &high);
  SafeArrayAccessData(array, &data);
  c.bytes_unchanged = static_cast<size_t>(high + 1) == c.bytes.size() &&
                      (c.bytes.empty() || std::memcmp(data, c.bytes.data(), c.bytes.size()) == 0);
  SafeArrayUnaccessData(array);
  SafeArrayDestroy(array);
  SysFreeString(msg), SysFreeString(xml);
  VariantClear(&a);
  for (VARIANT& o : c.optionals) VariantClear(&o);
}

IDispatch* NewCheckObject() {
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(L"Vardenix.ClsEnviChk", &clsid);
  Check(SUCCEEDED(hr) && SameGuid(clsid, kClsId), "ProgID Vardenix.ClsEnviChk names the class", Hex(hr));
  IDispatch* d = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&d));
  Check(SUCCEEDED(hr) && d, "CoCreateInstance(ClsEnviChk)", Hex(hr));
  return SUCCEEDED(hr) ? d : nullptr;
}

int Host(const std::wstring& fixtures) {
  g_fixtures = fixtures;
  const std::wstring work = fixtures + L"\\工作 目录";
  CreateDirectoryW(work.c_str(), nullptr);
  IDispatch* chk = NewCheckObject();
  if (!chk) return 1;

  // Properties: empty at first, then any text unchanged, Chinese and spaces included.
  EqualText(GetText(chk, L"PingName"), L"", "PingName is empty on a fresh object");
  EqualText(GetText(chk, L"PingPath"), L"", "PingPath is empty on a fresh object");
  const std::wstring odd = L" C:\\考生\\第一题 目录/ ";
  Check(PutText(chk, L"PingPath", odd) == S_OK, "PingPath put");
  EqualText(GetText(chk, L"PingPath"), odd, "PingPath reads back a Chinese path unchanged");
  Check(PutText(chk, L"PingName", L" 评分.控件 ") == S_OK, "PingName put");
  EqualText(GetText(chk, L"PingName"), L" 评分.控件 ", "PingName reads back unchanged");
  PutText(chk, L"PingPath", work);
  PutText(chk, L"PingName", L"Vardenix.FileCheck");

  const std::wstring rule = ReadText(L"typical.rule");
  const std::wstring total = fixtures + L"\\total.db";

  struct Case {
    const char* name;
    const wchar_t* archive;
    std::vector<VARIANT> optionals;
    bool verdict;
    const wchar_t* expected;  // base name of the expected reports, or nullptr for empty reports
  };
  std::vector<Case> cases;
  cases.push_back({"optionals omitted: both checks, no bank given", L"pass.zip", {}, false, L""});
  cases.push_back({"typical document passes (ChkResultDoc)", L"pass.zip", {I4(1)}, true, nullptr});
  cases.push_back({"typical document fails", L"fail.zip", {I4(1)}, false, L"typical-fail"});
  cases.push_back({"healthy bank passes", L"pass.zip",
                   {I4(3), Text(total), Text(fixtures + L"\\subject-ok.db"), Text(L"JSJ01"), Missing(), R4(1.0f)}, true, nullptr});
  cases.push_back({"failing bank fails", L"pass.zip",
                   {I4(2), Text(total), Text(fixtures + L"\\subject-bad.db"), Text(L"JSJ01"), I4(-1), R4(1.0f)}, false, L"bank-fail"});
  for (Case& row : cases) {
    Call c;
    c.bytes = ReadBytes(row.archive);
    c.rule = rule;
    c.optionals = row.optionals;
    Invoke(chk, L"PingEnviChk", c);
    Check(c.hr == S_OK, std::string(row.name) + ": call succeeds", Hex(c.hr) + " " + Utf8(c.description));
    Check(c.verdict == row.verdict, std::string(row.name) + ": verdict");
    Check(c.bytes_unchanged, std::string(row.name) + ": byte array unchanged");
    if (row.expected && !*row.expected) {
      // What the subject check reports without banks is its own business; the verdict is False.
    } else if (row.expected) {
      // Reports byte for byte as the Linux build gives them for the same inputs.
      EqualText(c.msg, ReadText(std::wstring(row.expected) + L".txt"), std::string(row.name) + ": error text as on Linux");
      EqualText(c.xml, ReadText(std::wstring(row.expected) + L".xml"), std::string(row.name) + ": RuleErrs report as on Linux");
      Check(!c.msg.empty(), std::string(row.name) + ": a report");
    } else {
      EqualText(c.msg, L"", std::string(row.name) + ": empty error text");
      EqualText(c.xml, L"", std::string(row.name) + ": empty RuleErrs report");
    }
  }
  // The archive was extracted with its Chinese names into the working folder.
  Check(GetFileAttributesW((work + L"\\考生\\报告.txt").c_str()) != INVALID_FILE_ATTRIBUTES, "extracted file with a Chinese name");

  // ResultChk on its own writes the component's texts into the by-reference strings.
  {
    Call c;
    c.bytes = ReadBytes(L"fail.zip");
    c.rule = rule;
    Invoke(chk, L"ResultChk", c);
    Check(c.hr == S_OK && !c.verdict, "ResultChk on a failing document answers False");
    EqualText(c.msg, ReadText(L"typical-fail-component.txt"), "ResultChk: the component's error text");
  }
  // A call that fails reaches the host as a failing HRESULT with its description.
  {
    Call c;
    c.rule = rule;
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    SAFEARRAY* two = SafeArrayCreate(VT_UI1, 2, bounds);
    BSTR msg = SysAllocString(L""), xml = SysAllocString(L"");
    VARIANT_BOOL verdict = VARIANT_TRUE;
    // The dual interface's vtable, as an early-bound host calls it: slot 11 is ResultChk.
    using ResultChkFn = HRESULT(STDMETHODCALLTYPE*)(IDispatch*, SAFEARRAY**, BSTR, BSTR*, BSTR*, VARIANT_BOOL*);
    IDispatch* iface = nullptr;
    IID iid;
    CLSIDFromString(const_cast<LPOLESTR>(kIid), &iid);
    chk->QueryInterface(iid, reinterpret_cast<void**>(&iface));
    BSTR r = SysAllocString(L"1 exists x");
    const auto fn = reinterpret_cast<ResultChkFn>((*reinterpret_cast<void***>(iface))[11]);
    const HRESULT hr = fn(iface, &two, r, &msg, &xml, &verdict);
    Check(FAILED(hr), "a two-dimensional byte array fails the call", Hex(hr));
    IErrorInfo* info = nullptr;
    GetErrorInfo(0, &info);
    BSTR desc = nullptr;
    if (info) info->GetDescription(&desc);
    Check(info && SysStringLen(desc) > 0, "the error object has the failure's description", Utf8(FromBstr(desc)));
    Check(verdict == VARIANT_FALSE, "the verdict of a failed call is False");
    ISupportErrorInfo* support = nullptr;
    chk->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support));
    Check(support && support->InterfaceSupportsErrorInfo(iid) == S_OK, "ISupportErrorInfo for _ClsEnviChk");
    if (support) support->Release();
    if (info) info->Release();
    SysFreeString(desc), SysFreeString(r), SysFreeString(msg), SysFreeString(xml);
    SafeArrayDestroy(two);
    iface->Release();
  }
  chk->Release();
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::printf("usage: com_client typelib DLL | host FIXTURES\n");
    return 2;
  }
  CoInitialize(nullptr);
  const std::wstring mode = argv[1];
  if (mode == L"typelib") {
    TypeLibrary(argv[2]);
  } else if (mode == L"host") {
    Host(argv[2]);
  } else {
    std::printf("unknown mode\n");
    return 2;
  }
  CoUninitialize();
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
