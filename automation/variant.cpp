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

ValueOf::ValueOf(const VARIANT& argument) : value_(&Deref(argument))
{
    if (!(V_VT(value_) & VT_BYREF)) return;
    copy_ = Variant::CopyOf(*value_);
    value_ = copy_.get();
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
    const ValueOf v(*value);
    return V_VT(v) == VT_ERROR && V_ERROR(v) == DISP_E_PARAMNOTFOUND;
}

} // namespace automation
