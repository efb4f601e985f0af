// VelkoMBReg.exe [/u] [path\VelkoMB.dll]
// Registers VelkoMB.dll for the current user only, so no administrator
// rights are needed; /u removes that registration. Without a path it takes
// the VelkoMB.dll beside the program. Each build has its own copy: the
// 32-bit program registers the 32-bit DLL, the 64-bit one the 64-bit DLL.
#include <windows.h>
#include <oleauto.h>
#include <cstdio>
#include <string>
#include "component/registration.h"

namespace {

constexpr WORD nativeMachine = sizeof(void*) == 8 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
constexpr const wchar_t* nativeBits = sizeof(void*) == 8 ? L"64-bit" : L"32-bit";

void Print(const std::wstring& text)
{
    // Console output in the console's code page, as any Windows tool does.
    DWORD written = 0;
    const std::wstring line = text + L"\r\n";
    if (!WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), line.c_str(), static_cast<DWORD>(line.size()), &written, nullptr))
        std::fputws(line.c_str(), stdout);
}

std::wstring FullPath(const std::wstring& path)
{
    wchar_t full[MAX_PATH];
    DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return length && length < MAX_PATH ? std::wstring(full, length) : path;
}

std::wstring DllBesideProgram()
{
    wchar_t program[MAX_PATH];
    std::wstring path(program, GetModuleFileNameW(nullptr, program, MAX_PATH));
    return path.substr(0, path.find_last_of(L"\\/") + 1) + L"VelkoMB.dll";
}

// The machine field of a Windows executable's header; 0 when the file is none.
WORD MachineOf(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    auto read = [file](LONG offset, void* into, DWORD size) {
        DWORD done = 0;
        return SetFilePointer(file, offset, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
               ReadFile(file, into, size, &done, nullptr) && done == size;
    };
    IMAGE_DOS_HEADER dos{};
    DWORD signature = 0;
    IMAGE_FILE_HEADER header{};
    const bool executable = read(0, &dos, sizeof dos) && dos.e_magic == IMAGE_DOS_SIGNATURE &&
                            read(dos.e_lfanew, &signature, sizeof signature) && signature == IMAGE_NT_SIGNATURE &&
                            read(dos.e_lfanew + static_cast<LONG>(sizeof signature), &header, sizeof header);
    CloseHandle(file);
    return executable ? header.Machine : 0;
}

std::wstring HexOf(HRESULT hr)
{
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

int Register(const std::wstring& path)
{
    const WORD machine = MachineOf(path);
    if (machine == 0) {
        Print(L"Not registered: " + path + L" is missing or is not a Windows DLL.");
        return 1;
    }
    if (machine != nativeMachine) {
        const std::wstring other = machine == IMAGE_FILE_MACHINE_AMD64 ? L"64-bit" : L"32-bit";
        Print(L"Not registered: " + path + L" is a " + other + L" DLL and this is the " + nativeBits +
              L" VelkoMBReg.exe. Use the VelkoMBReg.exe that came with it.");
        return 1;
    }
    ITypeLib* library = nullptr;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
    if (FAILED(hr)) {
        Print(L"Not registered: " + path + L" holds no readable type library (" + HexOf(hr) + L").");
        return 1;
    }
    hr = velkomb::RegisterModule(path, library, velkomb::RegistrationScope::User);
    library->Release();
    if (FAILED(hr)) {
        Print(L"Registration failed (" + HexOf(hr) + L").");
        return 1;
    }
    Print(L"Registered " + path + L" for the current user (" + nativeBits + L" programs).");
    return 0;
}

int Unregister()
{
    HRESULT hr = velkomb::UnregisterModule(velkomb::RegistrationScope::User);
    if (FAILED(hr)) {
        Print(L"Unregistration failed (" + HexOf(hr) + L").");
        return 1;
    }
    Print(std::wstring(L"Removed the current user's registration (") + nativeBits + L" programs).");
    return 0;
}

bool IsSwitch(const std::wstring& argument, const wchar_t* name)
{
    return (argument[0] == L'/' || argument[0] == L'-') && _wcsicmp(argument.c_str() + 1, name) == 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    bool remove = false;
    std::wstring path;
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        if (argument.empty()) continue;
        if (IsSwitch(argument, L"u")) {
            remove = true;
        } else if (IsSwitch(argument, L"?") || IsSwitch(argument, L"h") || !path.empty()) {
            Print(L"usage: VelkoMBReg [/u] [path\\VelkoMB.dll]");
            return IsSwitch(argument, L"?") || IsSwitch(argument, L"h") ? 0 : 1;
        } else {
            path = argument;
        }
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
    const int code = remove ? Unregister() : Register(FullPath(path.empty() ? DllBesideProgram() : path));
    CoUninitialize();
    return code;
}
