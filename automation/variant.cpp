#include "automation/variant.h"
#include "automation/error.h"

namespace automation {

Variant Variant::CopyOf(const VARIANT& source)
{
    Variant copy;
    Check(VariantCopyInd(copy.get(), const_cast<VARIANT*>(&source)));
    return copy;
}

const VARIANT& Deref(const VARIANT& value)
{
    const VARIANT* v = &value;
    while (V_VT(v) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(v)) v = V_VARIANTREF(v);
    return *v;
}

VARIANT MissingArgument()
{
    VARIANT v;
    V_VT(&v) = VT_ERROR;
    V_ERROR(&v) = DISP_E_PARAMNOTFOUND;
    return v;
}

bool IsMissing(const VARIANT* value)
{
    if (!value) return true;
    const VARIANT& v = Deref(*value);
    return V_VT(&v) == VT_ERROR && V_ERROR(&v) == DISP_E_PARAMNOTFOUND;
}

} // namespace automation
