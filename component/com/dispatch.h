// IDispatch through the type library, with the argument repairs that script
// hosts need before ITypeInfo::Invoke sees their arguments.
#pragma once
#include <windows.h>
#include <oaidl.h>

namespace velkomb::com {

// Calls member `id` of `object` (a pointer to its dual interface) through the
// vtable view `info`. Arguments are first placed (named ones by their ids; a
// required one left out fails with DISP_E_PARAMNOTOPTIONAL, see
// arguments.h), then brought to the parameter types:
// - a variable passed by reference as a variant (VBScript) is re-pointed at
//   the variable's own storage when its type matches, or coerced into a copy;
// - a value for a typed by-reference parameter is coerced into a copy;
// - an omitted typed optional parameter gets a zero or empty value;
// - a value (not a variable) for a VARIANT* parameter is passed as a copy,
//   so the member never writes to storage the caller owns.
// A failure HRESULT of the member is turned into DISP_E_EXCEPTION with the
// member's error info.
HRESULT InvokeMember(ITypeInfo* info, void* object, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                     EXCEPINFO* exception, UINT* argError);

} // namespace velkomb::com
