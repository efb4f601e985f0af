// Reading the positional arguments of an IDispatch call (they arrive in
// reverse order, script variables by reference) and filling in results.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <string>

namespace velkomb::scripthost {

UINT PositionalCount(const DISPPARAMS& params);
// The index-th positional argument with references followed, or null when it
// was not passed (absent, or omitted as VT_ERROR DISP_E_PARAMNOTFOUND).
const VARIANT* Argument(const DISPPARAMS& params, UINT index);

HRESULT ToText(const VARIANT& value, std::wstring& text);
HRESULT ToLong(const VARIANT& value, long& number);
// Refuses anything but an object (DISP_E_TYPEMISMATCH); the result is AddRef'd.
HRESULT ToDispatch(const VARIANT& value, IDispatch** object);

// Each of these is a no-op for a null result.
void ReturnText(VARIANT* result, const std::wstring& text);
void ReturnLong(VARIANT* result, long number);
// Takes over the caller's reference.
void ReturnDispatch(VARIANT* result, IDispatch* object);

} // namespace velkomb::scripthost
