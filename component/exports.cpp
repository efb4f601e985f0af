// Entry points of the in-process server.
#include <windows.h>
#include <unknwn.h>
#include <olectl.h>
#include "client/velkomb.h"
#include "component/com/class_factory.h"
#include "component/com/module.h"
#include "component/interfaces.h"
#include "component/registration.h"
#include "socket/csocket.h"

using namespace velkomb;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved)
{
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    // At process exit (reserved set) other DLLs may be gone already.
    if (reason == DLL_PROCESS_DETACH && !reserved) com::ReleaseTypeLibrary();
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return com::CanUnload() ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    IClassFactory* factory = nullptr;
    if (IsEqualCLSID(clsid, CLSID_VelkoMB))
        factory = new com::ClassFactory<client::VelkoMB>;
    else if (IsEqualCLSID(clsid, CLSID_CSocket))
        factory = new com::ClassFactory<socket::CSocket>;
    else
        return CLASS_E_CLASSNOTAVAILABLE;
    HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    wchar_t path[MAX_PATH];
    if (!GetModuleFileNameW(com::ModuleInstance(), path, MAX_PATH)) return SELFREG_E_CLASS;
    ITypeLib* library = nullptr;
    try {
        library = com::TypeLibrary();
    } catch (...) {
        return SELFREG_E_TYPELIB;
    }
    return RegisterModule(path, library, RegistrationScope::Machine);
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    return UnregisterModule(RegistrationScope::Machine);
}
