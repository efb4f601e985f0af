#include "component/registration.h"
#include <oleauto.h>
#include <olectl.h>
#include <string>
#include "component/com/module.h"
#include "component/interfaces.h"

namespace velkomb {
namespace {

// One creatable class as the registry knows it.
struct ClassRecord {
    const wchar_t* name;
    const CLSID& clsid;
};

// CSocket first, then VelkoMB, as the class table of the library orders them.
const ClassRecord classes[] = {
    {L"CSocket", CLSID_CSocket},
    {L"VelkoMB", CLSID_VelkoMB},
};

const wchar_t libraryName[] = L"VelkoMBDLL";
const wchar_t classVersion[] = L".1";

std::wstring TextOf(REFGUID guid)
{
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return text;
}

std::wstring ModulePath()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(com::ModuleInstance(), path, MAX_PATH);
    return path;
}

LSTATUS SetValue(const std::wstring& key, const wchar_t* name, const std::wstring& value)
{
    HKEY handle = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return status;
}

HRESULT RegisterClass(const ClassRecord& record, const std::wstring& modulePath)
{
    const std::wstring clsid = L"CLSID\\" + TextOf(record.clsid);
    const std::wstring progId = std::wstring(libraryName) + L"." + record.name;
    const std::wstring versionedProgId = progId + classVersion;
    const std::pair<std::wstring, std::pair<const wchar_t*, std::wstring>> values[] = {
        {clsid, {nullptr, progId}},
        {clsid + L"\\InprocServer32", {nullptr, modulePath}},
        {clsid + L"\\InprocServer32", {L"ThreadingModel", L"Apartment"}},
        {clsid + L"\\ProgID", {nullptr, versionedProgId}},
        {clsid + L"\\VersionIndependentProgID", {nullptr, progId}},
        {clsid + L"\\TypeLib", {nullptr, TextOf(LIBID_VelkoMBDLL)}},
        {clsid + L"\\Version", {nullptr, L"186.0"}},
        {clsid + L"\\Programmable", {nullptr, L""}},
        {progId, {nullptr, progId}},
        {progId + L"\\CLSID", {nullptr, TextOf(record.clsid)}},
        {progId + L"\\CurVer", {nullptr, versionedProgId}},
        {versionedProgId, {nullptr, progId}},
        {versionedProgId + L"\\CLSID", {nullptr, TextOf(record.clsid)}},
    };
    for (const auto& [key, value] : values)
        if (SetValue(key, value.first, value.second) != ERROR_SUCCESS) return SELFREG_E_CLASS;
    return S_OK;
}

void UnregisterClass(const ClassRecord& record)
{
    const std::wstring progId = std::wstring(libraryName) + L"." + record.name;
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + TextOf(record.clsid)).c_str());
    RegDeleteTreeW(HKEY_CLASSES_ROOT, progId.c_str());
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (progId + classVersion).c_str());
}

} // namespace

HRESULT RegisterServer()
{
    const std::wstring path = ModulePath();
    ITypeLib* library = nullptr;
    try {
        library = com::TypeLibrary();
    } catch (...) {
        return SELFREG_E_TYPELIB;
    }
    // Writes the library's key (version 186.0, locale 0) and the interface
    // keys that route the interfaces to the automation marshaller.
    if (FAILED(RegisterTypeLib(library, const_cast<LPOLESTR>(path.c_str()), nullptr))) return SELFREG_E_TYPELIB;
    for (const auto& record : classes) {
        HRESULT hr = RegisterClass(record, path);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT UnregisterServer()
{
    for (const auto& record : classes) UnregisterClass(record);
    HRESULT hr = UnRegisterTypeLib(LIBID_VelkoMBDLL, LibraryMajorVersion, LibraryMinorVersion, 0, SYS_WIN32);
    return hr == TYPE_E_REGISTRYACCESS || SUCCEEDED(hr) ? S_OK : hr;
}

} // namespace velkomb
