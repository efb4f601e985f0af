// Registration of the type library and the two classes, machine-wide (the
// DLL's own DllRegisterServer, run by regsvr32) or for the current user only
// (the registration tool, no administrator rights needed).
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <string>

namespace velkomb {

enum class RegistrationScope {
    Machine,  // HKEY_LOCAL_MACHINE\Software\Classes, RegisterTypeLib
    User,     // HKEY_CURRENT_USER\Software\Classes, RegisterTypeLibForUser
};

// Registers the DLL at modulePath, whose type library is library.
HRESULT RegisterModule(const std::wstring& modulePath, ITypeLib* library, RegistrationScope scope);
// Removes what RegisterModule wrote; what is already gone is no failure.
HRESULT UnregisterModule(RegistrationScope scope);

} // namespace velkomb
