#include "automation/error.h"
#include "automation/variant.h"

namespace automation {
namespace {

// The array a store would replace must be one the host lets go of: a fixed-
// size array (VB's arrays declared with bounds) or one locked while in use
// belongs to its owner, who frees it. Raises 10 as the platform's own array
// functions refuse it.
void RequireReplaceable(const VARIANT& target)
{
    if (!(V_VT(&target) & VT_ARRAY)) return;
    const SAFEARRAY* array = (V_VT(&target) & VT_BYREF) ? *V_ARRAYREF(&target) : V_ARRAY(&target);
    constexpr USHORT ownedByHost = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED | FADF_FIXEDSIZE;
    if (array && (array->cLocks > 0 || (array->fFeatures & ownedByHost))) RaiseRuntime(errArrayLocked);
}

} // namespace

void StoreInto(VARIANT* target, Variant value)
{
    if (!target) return;
    while (V_VT(target) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(target)) target = V_VARIANTREF(target);
    RequireReplaceable(*target);
    if (!(V_VT(target) & VT_BYREF)) {
        VariantClear(target);
        value.detachTo(target);
        return;
    }
    const VARTYPE type = V_VT(target) & ~VT_BYREF;
    Variant converted;
    Check(VariantChangeType(converted.get(), value.get(), 0, type));
    if (type == VT_BSTR) {
        SysFreeString(*V_BSTRREF(target));
        *V_BSTRREF(target) = V_BSTR(converted.get());
        V_VT(converted.get()) = VT_EMPTY;  // ownership moved to the host's variable
        return;
    }
    if (type & VT_ARRAY) {
        SafeArrayDestroy(*V_ARRAYREF(target));
        *V_ARRAYREF(target) = V_ARRAY(converted.get());
        V_VT(converted.get()) = VT_EMPTY;
        return;
    }
    // Plain values: copy the value field's bytes for the type.
    VARIANT scratch = *converted.get();
    switch (type) {
    case VT_I2: *V_I2REF(target) = V_I2(&scratch); break;
    case VT_I4: *V_I4REF(target) = V_I4(&scratch); break;
    case VT_R4: *V_R4REF(target) = V_R4(&scratch); break;
    case VT_R8: *V_R8REF(target) = V_R8(&scratch); break;
    case VT_CY: *V_CYREF(target) = V_CY(&scratch); break;
    case VT_DATE: *V_DATEREF(target) = V_DATE(&scratch); break;
    case VT_BOOL: *V_BOOLREF(target) = V_BOOL(&scratch); break;
    case VT_UI1: *V_UI1REF(target) = V_UI1(&scratch); break;
    default: RaiseRuntime(errTypeMismatch);
    }
}

} // namespace automation
