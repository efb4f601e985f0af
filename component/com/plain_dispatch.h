// An IDispatch without a type library, for event sinks and small host
// objects: reference counting and QueryInterface from Unknown, no type info,
// no names unless the derived class looks them up itself.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include "component/com/unknown.h"

namespace velkomb::com {

template <class Derived>
class PlainDispatch : public Unknown<Derived, IDispatch> {
public:
    // The interfaces answered besides IUnknown; a derived class that answers
    // more hides this and calls it.
    void* Find(REFIID iid) { return IsEqualIID(iid, IID_IDispatch) ? static_cast<IDispatch*>(this) : nullptr; }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override
    {
        if (info) *info = nullptr;
        return DISP_E_BADINDEX;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override
    {
        return DISP_E_UNKNOWNNAME;
    }
};

} // namespace velkomb::com
