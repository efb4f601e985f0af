// The one failure type of the component: an automation error with number,
// source and description. It is thrown inside the component and turned into
// an HRESULT plus IErrorInfo at the interface boundary only.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <new>
#include <string>

namespace automation {

// Standard numbers of the automation runtime's own errors.
enum RuntimeError : long {
    errInvalidCall = 5,
    errOutOfMemory = 7,
    errOverflow = 6,
    errSubscriptOutOfRange = 9,
    errArrayLocked = 10,
    errTypeMismatch = 13,
    errOutOfStack = 28,
    errObjectNotSet = 91,
};

// `number` is the runtime's error number, or a failure HRESULT of another
// kind kept whole (a negative number, as hosts show it).
struct AutomationError {
    long number = 0;
    std::wstring source;
    std::wstring description;
};

// Standard English text of a runtime error number ("Overflow", ...).
std::wstring RuntimeErrorText(long number);
// The system's text for a failure HRESULT of another kind, or "Automation
// error" when it has none.
std::wstring HresultText(HRESULT hr);

[[noreturn]] void Raise(long number, const std::wstring& source, const std::wstring& description);
// Raises a runtime error with its standard text.
[[noreturn]] void RaiseRuntime(long number, const std::wstring& source = L"");
// Raises the runtime error that corresponds to a failed oleaut32 call.
[[noreturn]] void RaiseFromHresult(HRESULT hr, const std::wstring& source = L"");
// Throws when hr is a failure, as RaiseFromHresult.
void Check(HRESULT hr, const std::wstring& source = L"");

// The HRESULT that automation hosts read as error `number` (0x800A0000 |
// number); a number that is a failure HRESULT itself stays as it is.
HRESULT HresultOf(long number);

// Records the error as the thread's current error info (source, description)
// and returns its HRESULT. Used by the interface boundary only.
HRESULT Report(const AutomationError& error);

// Runs body; any failure becomes a reported HRESULT. `source` fills in errors
// raised without one. Nothing escapes: this is the only boundary conversion.
template <class Body>
HRESULT Boundary(const wchar_t* source, Body&& body) noexcept
{
    try {
        try {
            body();
            return S_OK;
        } catch (AutomationError& error) {
            if (error.source.empty()) error.source = source;
            return Report(error);
        } catch (const std::bad_alloc&) {
            return Report({errOutOfMemory, source, RuntimeErrorText(errOutOfMemory)});
        } catch (...) {
            // Reported like any other failure, so that no caller reads an
            // earlier call's error info as this one's.
            return Report({E_UNEXPECTED, source, HresultText(E_UNEXPECTED)});
        }
    } catch (...) {
        // Reporting needs memory too: without it the bare failure goes back.
        SetErrorInfo(0, nullptr);
        return E_OUTOFMEMORY;
    }
}

// Runs body and re-raises any failure with `source`, keeping number and
// description: the re-raise of every public socket method.
template <class Body>
decltype(auto) WithSource(const wchar_t* source, Body&& body)
{
    try {
        return body();
    } catch (AutomationError& error) {
        error.source = source;
        throw;
    }
}

} // namespace automation

namespace automation {

// Turns the failure of a call on another automation object back into the
// error it reported (number, source and description), so it travels on as
// if raised here.
void CheckCall(HRESULT hr);

} // namespace automation
