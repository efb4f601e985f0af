// A type-library-free IDispatch: names are looked up case-insensitively in a
// fixed table, calls go to one virtual function that switches on the DISPID.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <span>
#include "component/com/plain_dispatch.h"

namespace velkomb::scripthost {

struct DispatchMember {
    const wchar_t* name;
    DISPID id;
};

class DispatchObject : public com::PlainDispatch<DispatchObject> {
public:
    explicit DispatchObject(std::span<const DispatchMember> members) : members_(members) {}

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override;

protected:
    // result may be null when the caller wants none.
    virtual HRESULT Call(DISPID id, WORD flags, const DISPPARAMS& params, VARIANT* result) = 0;

private:
    std::span<const DispatchMember> members_;
};

} // namespace velkomb::scripthost
