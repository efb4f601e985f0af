#include "tools/scripthost/dispatch_object.h"

namespace velkomb::scripthost {

HRESULT STDMETHODCALLTYPE DispatchObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids)
{
    if (count == 0) return S_OK;
    // Members take no named arguments: every name after the first is unknown.
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    for (const DispatchMember& member : members_) {
        if (CompareStringOrdinal(names[0], -1, member.name, -1, TRUE) == CSTR_EQUAL) {
            ids[0] = member.id;
            return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
        }
    }
    return DISP_E_UNKNOWNNAME;
}

HRESULT STDMETHODCALLTYPE DispatchObject::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                                 VARIANT* result, EXCEPINFO*, UINT*)
{
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    static DISPPARAMS noParams{};
    if (result) VariantInit(result);
    return Call(id, flags, params ? *params : noParams, result);
}

} // namespace velkomb::scripthost
