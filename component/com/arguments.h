// Which argument of an IDispatch call goes to which parameter of the member,
// by the platform's own rules: positional arguments fill the parameters from
// the first, named ones go where their ids say, and only optional parameters
// may be left out.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <cstdint>
#include <span>

namespace velkomb::com {

// The parameter has no argument: the caller left it out.
inline constexpr int omittedArgument = -1;

// Fills `sources` (one entry per parameter the caller supplies, in
// declaration order) with the index into params.rgvarg of each parameter's
// argument, or omittedArgument. Bit i of `optionalParameters` marks parameter
// i optional. The value of a property put must be named DISPID_PROPERTYPUT;
// it goes to the last parameter. An argument passed as the missing marker
// (VT_ERROR, DISP_E_PARAMNOTFOUND) counts as left out.
// Fails, with *argError the position in rgvarg where there is one, with
// - E_INVALIDARG for DISPPARAMS that do not hold together;
// - DISP_E_BADPARAMCOUNT for more arguments than parameters;
// - DISP_E_PARAMNOTFOUND for a name that is no parameter, or one that an
//   earlier argument already filled, and for a put's value not so named;
// - DISP_E_PARAMNOTOPTIONAL for a required parameter left out.
HRESULT PlaceArguments(const DISPPARAMS& params, bool propertyPut, uint32_t optionalParameters, std::span<int> sources,
                       UINT* argError);

// True when the argument is the marker hosts pass for a left-out argument.
bool IsMissingMarker(const VARIANT& argument);

} // namespace velkomb::com
