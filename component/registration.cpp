#include "component/registration.h"
#include <oleauto.h>
#include <olectl.h>
#include <cwchar>
#include <string>
#include "component/interfaces.h"

// In the platform's oleauto.h and import library, missing from the headers of
// some mingw-w64 versions.
WINOLEAUTAPI RegisterTypeLibForUser(ITypeLib* library, OLECHAR* path, OLECHAR* helpDirectory);
WINOLEAUTAPI UnRegisterTypeLibForUser(REFGUID library, WORD major, WORD minor, LCID locale, SYSKIND kind);

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

// The key the classes are registered under, opened for the scope (and closed
// when it goes). Machine registration names the machine's key: written
// through the merged HKEY_CLASSES_ROOT, Windows would send it to the user's
// keys wherever a per-user registration of the same class exists.
class ClassesRoot {
public:
    explicit ClassesRoot(RegistrationScope scope)
    {
        HKEY base = scope == RegistrationScope::Machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        if (RegCreateKeyExW(base, L"Software\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr) !=
            ERROR_SUCCESS)
            key_ = nullptr;
    }
    ~ClassesRoot()
    {
        if (key_) RegCloseKey(key_);
    }
    ClassesRoot(const ClassesRoot&) = delete;
    ClassesRoot& operator=(const ClassesRoot&) = delete;

    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// While it lives, HKEY_CLASSES_ROOT means `root` in this process, so that the
// platform's type library registration, which writes there, writes to the
// scope's own keys. The user's type library functions do this themselves on
// Windows; Wine's write machine-wide without it.
class ClassesView {
public:
    explicit ClassesView(HKEY root) { mapped_ = RegOverridePredefKey(HKEY_CLASSES_ROOT, root) == ERROR_SUCCESS; }
    ~ClassesView()
    {
        if (mapped_) RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    }
    ClassesView(const ClassesView&) = delete;
    ClassesView& operator=(const ClassesView&) = delete;

    bool mapped() const { return mapped_; }

private:
    bool mapped_ = false;
};

LSTATUS SetValue(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value)
{
    HKEY handle = nullptr;
    LSTATUS status = RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return status;
}

HRESULT RegisterClass(HKEY root, const ClassRecord& record, const std::wstring& modulePath)
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
        if (SetValue(root, key, value.first, value.second) != ERROR_SUCCESS) return SELFREG_E_CLASS;
    return S_OK;
}

void UnregisterClass(HKEY root, const ClassRecord& record)
{
    const std::wstring progId = std::wstring(libraryName) + L"." + record.name;
    RegDeleteTreeW(root, (L"CLSID\\" + TextOf(record.clsid)).c_str());
    RegDeleteTreeW(root, progId.c_str());
    RegDeleteTreeW(root, (progId + classVersion).c_str());
}

// Writes the library's key (version 186.0, locale 0) and the interface keys
// that route the interfaces to the automation marshaller.
HRESULT RegisterLibrary(ITypeLib* library, const std::wstring& modulePath, RegistrationScope scope, HKEY root)
{
    auto path = const_cast<LPOLESTR>(modulePath.c_str());
    ClassesView view(root);
    if (!view.mapped()) return E_ACCESSDENIED;
    return scope == RegistrationScope::Machine ? RegisterTypeLib(library, path, nullptr)
                                               : RegisterTypeLibForUser(library, path, nullptr);
}

bool LibraryRegistered(HKEY root)
{
    HKEY key = nullptr;
    wchar_t version[16];
    std::swprintf(version, 16, L"%x.%x", LibraryMajorVersion, LibraryMinorVersion);  // "ba.0"
    const std::wstring name = L"TypeLib\\" + TextOf(LIBID_VelkoMBDLL) + L"\\" + version;
    if (RegOpenKeyExW(root, name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

HRESULT UnregisterLibrary(RegistrationScope scope, HKEY root)
{
    if (!LibraryRegistered(root)) return S_OK;
    ClassesView view(root);
    if (!view.mapped()) return E_ACCESSDENIED;
    return scope == RegistrationScope::Machine
               ? UnRegisterTypeLib(LIBID_VelkoMBDLL, LibraryMajorVersion, LibraryMinorVersion, 0, LibrarySysKind)
               : UnRegisterTypeLibForUser(LIBID_VelkoMBDLL, LibraryMajorVersion, LibraryMinorVersion, 0,
                                          LibrarySysKind);
}

} // namespace

HRESULT RegisterModule(const std::wstring& modulePath, ITypeLib* library, RegistrationScope scope)
{
    ClassesRoot root(scope);
    if (!root.get()) return SELFREG_E_CLASS;
    if (FAILED(RegisterLibrary(library, modulePath, scope, root.get()))) return SELFREG_E_TYPELIB;
    for (const auto& record : classes) {
        HRESULT hr = RegisterClass(root.get(), record, modulePath);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT UnregisterModule(RegistrationScope scope)
{
    ClassesRoot root(scope);
    if (!root.get()) return SELFREG_E_CLASS;
    for (const auto& record : classes) UnregisterClass(root.get(), record);
    HRESULT hr = UnregisterLibrary(scope, root.get());
    // The containers registration created in the user's classes go too when
    // nothing else is in them (a key with subkeys is not deleted).
    if (scope == RegistrationScope::User)
        for (const wchar_t* container : {L"CLSID", L"Interface", L"TypeLib"}) RegDeleteKeyW(root.get(), container);
    return hr == TYPE_E_REGISTRYACCESS || SUCCEEDED(hr) ? S_OK : hr;
}

} // namespace velkomb
