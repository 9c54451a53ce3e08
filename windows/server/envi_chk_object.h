// The COM class ClsEnviChk: the check object of the core (vardenix::ClsEnviChk) behind the dual
// interface _ClsEnviChk of the type library.
//
// Early-bound hosts call the interface's slots; late-bound ones (Visual Basic, VBScript, JScript)
// go through IDispatch, whose names and ids come from the type library and whose Invoke coerces
// each argument to the type the library gives it, following references (VBScript passes every
// variable as VT_VARIANT | VT_BYREF) and taking the stored default for an optional argument that is
// left out. The by-reference report strings are written back through the reference the host
// passed; the byte array is only read. A failing call answers E_FAIL with an error object
// (IErrorInfo, and EXCEPINFO through Invoke) whose description is the run-time failure's.
// Apartment-threaded: one call at a time, on the thread of the object's apartment.
#pragma once

#include <windows.h>

namespace vardenix::com {

// A new object, answering the interface `riid` in `out`.
HRESULT CreateEnviChk(REFIID riid, void** out);

}  // namespace vardenix::com
