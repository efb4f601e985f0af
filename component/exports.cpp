// Entry points of the in-process server.
#include <windows.h>
#include <unknwn.h>
#include <olectl.h>
#include "client/velkomb.h"
#include "component/com/class_factory.h"
#include "component/com/guarded.h"
#include "component/com/module.h"
#include "component/interfaces.h"
#include "component/registration.h"
#include "socket/csocket.h"

using namespace velkomb;

// Nothing to release here: under the loader lock no other library's objects
// may be called, and the cached type library is let go by DllCanUnloadNow.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*)
{
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return com::ReadyToUnload() ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    return com::Guarded([&] {
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
    });
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    wchar_t path[MAX_PATH];
    if (!GetModuleFileNameW(com::ModuleInstance(), path, MAX_PATH)) return SELFREG_E_CLASS;
    // A copy of its own: the cached one is the objects', let go at unloading.
    ITypeLib* library = nullptr;
    if (FAILED(LoadTypeLibEx(path, REGKIND_NONE, &library))) return SELFREG_E_TYPELIB;
    HRESULT hr = com::Guarded([&] { return RegisterModule(path, library, RegistrationScope::Machine); });
    library->Release();
    return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    return com::Guarded([] { return UnregisterModule(RegistrationScope::Machine); });
}
