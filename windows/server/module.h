// What the parts of Vardenix.dll share: the module handle, the count of live objects and locks
// (DllCanUnloadNow), and the type library carried as resource 1.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

namespace vardenix::com {

HMODULE Module();
void ObjectCreated();
void ObjectDestroyed();
void LockServer(bool lock);
bool CanUnload();

// The full path of this DLL.
std::wstring ModulePath();
// The type information of a member of the type library (loaded once, kept for the process);
// null when the library cannot be loaded. The caller releases it.
ITypeInfo* TypeInfoOf(REFGUID guid);

}  // namespace vardenix::com
