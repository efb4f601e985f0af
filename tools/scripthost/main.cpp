// scripthost.exe [//switch ...] script.vbs|script.js [arguments...]
// Host switches (//nologo and the like) before the script are accepted and
// ignored; everything after the script belongs to the script.
#include "tools/scripthost/console_output.h"
#include "tools/scripthost/script_runner.h"
#include <objbase.h>
#include <string>
#include <vector>

namespace {

bool IsHostSwitch(const wchar_t* argument) { return argument[0] == L'/' && argument[1] == L'/'; }

} // namespace

int wmain(int argc, wchar_t** argv)
{
    int first = 1;
    while (first < argc && IsHostSwitch(argv[first])) ++first;
    if (first >= argc) {
        velkomb::scripthost::WriteText(STD_ERROR_HANDLE, L"usage: scripthost [//nologo] script.vbs|script.js [args...]\r\n");
        return 1;
    }
    const std::vector<std::wstring> arguments(argv + first + 1, argv + argc);
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
    const int code = velkomb::scripthost::RunScript(argv[first], arguments);
    CoUninitialize();
    return code;
}
