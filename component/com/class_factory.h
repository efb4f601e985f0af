// The class factory of a creatable class: T::Create() makes a new object
// with one reference, and may raise when the object cannot start. A factory
// keeps the module loaded while a host holds it.
#pragma once
#include <windows.h>
#include <unknwn.h>
#include "automation/error.h"
#include "component/com/module.h"
#include "component/com/unknown.h"

namespace velkomb::com {

template <class T>
class ClassFactory final : public Unknown<ClassFactory<T>, IClassFactory> {
public:
    void* Find(REFIID iid) { return IsEqualIID(iid, IID_IClassFactory) ? static_cast<IClassFactory*>(this) : nullptr; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        T* object = nullptr;
        HRESULT hr = automation::Boundary(L"", [&] { object = T::Create(); });
        if (FAILED(hr)) return hr;
        hr = object->QueryInterface(iid, out);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        LockModule(lock != FALSE);
        return S_OK;
    }

private:
    LiveObject live_;
};

} // namespace velkomb::com
