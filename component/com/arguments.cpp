#include "component/com/arguments.h"
#include <algorithm>

namespace velkomb::com {
namespace {

void Report(UINT* argError, size_t position)
{
    if (argError) *argError = static_cast<UINT>(position);
}

// The parameter a named argument's id stands for; -1 when none.
int NamedParameter(DISPID id, bool propertyPut, size_t parameters)
{
    if (id == DISPID_PROPERTYPUT) return propertyPut && parameters > 0 ? static_cast<int>(parameters - 1) : -1;
    return id >= 0 && static_cast<size_t>(id) < parameters ? static_cast<int>(id) : -1;
}

} // namespace

bool IsMissingMarker(const VARIANT& argument)
{
    return V_VT(&argument) == VT_ERROR && V_ERROR(&argument) == DISP_E_PARAMNOTFOUND;
}

HRESULT PlaceArguments(const DISPPARAMS& params, bool propertyPut, uint32_t optionalParameters, std::span<int> sources,
                       UINT* argError)
{
    const size_t count = params.cArgs, named = params.cNamedArgs;
    if (named > count || (count > 0 && !params.rgvarg) || (named > 0 && !params.rgdispidNamedArgs))
        return E_INVALIDARG;
    if (count > sources.size()) return DISP_E_BADPARAMCOUNT;
    const DISPID* names = params.rgdispidNamedArgs;
    if (propertyPut && count > 0 && std::find(names, names + named, DISPID_PROPERTYPUT) == names + named)
        return DISP_E_PARAMNOTFOUND;

    // rgvarg holds the named arguments first, then the positional ones last
    // to first.
    std::fill(sources.begin(), sources.end(), omittedArgument);
    const size_t positional = count - named;
    for (size_t i = 0; i < positional; ++i) sources[i] = static_cast<int>(count - 1 - i);
    for (size_t j = 0; j < named; ++j) {
        const int parameter = NamedParameter(names[j], propertyPut, sources.size());
        if (parameter < 0 || sources[static_cast<size_t>(parameter)] != omittedArgument) {
            Report(argError, j);
            return DISP_E_PARAMNOTFOUND;
        }
        sources[static_cast<size_t>(parameter)] = static_cast<int>(j);
    }

    for (size_t i = 0; i < sources.size(); ++i) {
        int& source = sources[i];
        if (source != omittedArgument && !IsMissingMarker(params.rgvarg[source])) continue;
        if (i >= 32 || !(optionalParameters & (1u << i))) {
            if (source != omittedArgument) Report(argError, static_cast<size_t>(source));
            return DISP_E_PARAMNOTOPTIONAL;
        }
        source = omittedArgument;
    }
    return S_OK;
}

} // namespace velkomb::com
