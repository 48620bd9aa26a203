// The registry entries of the server, machine-wide (HKEY_CLASSES_ROOT, for
// DllRegisterServer) or for the current user only
// (HKEY_CURRENT_USER\Software\Classes, for DllInstall "user").
//
// A 32-bit and a 64-bit build may be registered side by side. Their class
// and interface keys live in separate registry views on 64-bit Windows, but
// the programmatic identifier and the type library's key are shared (and
// under Wine the current user's classes are shared whole), so removing one
// build keeps every shared key that the other build still uses.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <string>

namespace kestrim::automation::registration {

enum class Scope { Machine, User };

// The class, its threading model and the programmatic identifier.
HRESULT WriteClass(Scope scope, const std::wstring& dllPath);
HRESULT RemoveClass(Scope scope);

// Machine-wide, the runtime's RegisterTypeLib writes the type library's
// keys; this removes them without touching those of the other build.
HRESULT RemoveMachineTypeLibrary();

// The type library and its interfaces under the current user's classes, as
// the runtime's RegisterTypeLib writes them machine-wide.
HRESULT WriteUserTypeLibrary(ITypeLib* library, const std::wstring& dllPath);
HRESULT RemoveUserTypeLibrary();

// Whether this build, or the other one (32-bit beside 64-bit), has its
// type library registered in this scope.
bool ThisBuildRegistered(Scope scope);
bool OtherBuildRegistered(Scope scope);

// The platform's key name of this build's type-library file ("win32" or
// "win64").
const wchar_t* PlatformKeyName();

}  // namespace kestrim::automation::registration
