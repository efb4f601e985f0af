#include "tools/scripthost/script_error.h"
#include "tools/scripthost/console_output.h"
#include <cwchar>

namespace velkomb::scripthost {

namespace {

std::wstring Text(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

std::wstring Hex(HRESULT code)
{
    wchar_t digits[16];
    swprintf(digits, 16, L"0x%08lX", static_cast<unsigned long>(code));
    return digits;
}

HRESULT ErrorCode(const EXCEPINFO& error)
{
    return error.scode ? error.scode : MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, error.wCode);
}

} // namespace

void ReportScriptError(const std::wstring& scriptPath, ULONG line, LONG column, EXCEPINFO& error)
{
    if (error.pfnDeferredFillIn) error.pfnDeferredFillIn(&error);
    std::wstring description = Text(error.bstrDescription);
    if (description.empty()) description = Hex(ErrorCode(error));
    const std::wstring source = Text(error.bstrSource);
    const std::wstring position = L"(" + std::to_wstring(line) + L", " + std::to_wstring(column) + L") ";
    WriteText(STD_ERROR_HANDLE,
              scriptPath + position + (source.empty() ? L"" : source + L": ") + description + L"\r\n");
}

void ClearExceptionInfo(EXCEPINFO& error)
{
    SysFreeString(error.bstrSource);
    SysFreeString(error.bstrDescription);
    SysFreeString(error.bstrHelpFile);
    error = EXCEPINFO{};
}

} // namespace velkomb::scripthost
