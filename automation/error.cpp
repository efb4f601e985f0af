#include "automation/error.h"
#include <oleauto.h>

namespace automation {

std::wstring RuntimeErrorText(long number)
{
    switch (number) {
    case errInvalidCall: return L"Invalid procedure call or argument";
    case errOverflow: return L"Overflow";
    case errOutOfMemory: return L"Out of memory";
    case errSubscriptOutOfRange: return L"Subscript out of range";
    case errArrayLocked: return L"This array is fixed or temporarily locked";
    case errTypeMismatch: return L"Type mismatch";
    case errOutOfStack: return L"Out of stack space";
    case errObjectNotSet: return L"Object variable or With block variable not set";
    default: return L"Application-defined or object-defined error";
    }
}

std::wstring HresultText(HRESULT hr)
{
    // Errors of the platform's own functions are known by their code.
    const DWORD code = HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : static_cast<DWORD>(hr);
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring result = length ? std::wstring(text, length) : L"Automation error";
    LocalFree(text);
    while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r' || result.back() == L' '))
        result.pop_back();
    return result;
}

void Raise(long number, const std::wstring& source, const std::wstring& description)
{
    throw AutomationError{number, source, description};
}

void RaiseRuntime(long number, const std::wstring& source)
{
    Raise(number, source, RuntimeErrorText(number));
}

void RaiseFromHresult(HRESULT hr, const std::wstring& source)
{
    switch (hr) {
    case DISP_E_OVERFLOW: RaiseRuntime(errOverflow, source);
    case DISP_E_TYPEMISMATCH: RaiseRuntime(errTypeMismatch, source);
    case DISP_E_BADINDEX: RaiseRuntime(errSubscriptOutOfRange, source);
    case DISP_E_ARRAYISLOCKED: RaiseRuntime(errArrayLocked, source);
    case E_OUTOFMEMORY: RaiseRuntime(errOutOfMemory, source);
    default:
        if (HRESULT_FACILITY(hr) == FACILITY_CONTROL) RaiseRuntime(HRESULT_CODE(hr), source);
        RaiseRuntime(errInvalidCall, source);
    }
}

void Check(HRESULT hr, const std::wstring& source)
{
    if (FAILED(hr)) RaiseFromHresult(hr, source);
}

HRESULT HresultOf(long number)
{
    if (number < 0) return static_cast<HRESULT>(number);
    return static_cast<HRESULT>(0x800A0000u | (static_cast<unsigned long>(number) & 0xFFFFu));
}

HRESULT Report(const AutomationError& error)
{
    ICreateErrorInfo* create = nullptr;
    if (SUCCEEDED(CreateErrorInfo(&create))) {
        create->SetSource(const_cast<LPOLESTR>(error.source.c_str()));
        create->SetDescription(const_cast<LPOLESTR>(error.description.c_str()));
        create->SetGUID(GUID_NULL);
        IErrorInfo* info = nullptr;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
            SetErrorInfo(0, info);
            info->Release();
        }
        create->Release();
    }
    return HresultOf(error.number);
}

} // namespace automation

namespace automation {

void CheckCall(HRESULT hr)
{
    if (SUCCEEDED(hr)) return;
    AutomationError error{HRESULT_FACILITY(hr) == FACILITY_CONTROL ? static_cast<long>(HRESULT_CODE(hr)) : hr, L"", L""};
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        BSTR source = nullptr, description = nullptr;
        info->GetSource(&source);
        info->GetDescription(&description);
        error.source = source ? source : L"";
        error.description = description ? description : L"";
        SysFreeString(source);
        SysFreeString(description);
        info->Release();
    }
    if (error.description.empty())
        error.description = error.number < 0 ? HresultText(hr) : RuntimeErrorText(error.number);
    throw error;
}

} // namespace automation
