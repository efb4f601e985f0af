// Reference counting and QueryInterface for the component's small COM
// objects: Derived::Find(iid) names the interfaces it answers besides
// IUnknown. Objects start with one reference, owned by their creator.
#pragma once
#include <windows.h>
#include <unknwn.h>

namespace velkomb::com {

template <class Derived, class Primary>
class Unknown : public Primary {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out) return E_POINTER;
        void* found = IsEqualIID(iid, IID_IUnknown) ? static_cast<Primary*>(this)
                                                    : static_cast<Derived*>(this)->Find(iid);
        *out = found;
        if (!found) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG left = InterlockedDecrement(&references_);
        if (left == 0) delete static_cast<Derived*>(this);
        return static_cast<ULONG>(left);
    }

protected:
    virtual ~Unknown() = default;

private:
    LONG references_ = 1;
};

} // namespace velkomb::com
