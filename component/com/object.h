// The base of both creatable classes: reference counting, QueryInterface,
// IDispatch from a table read once from the embedded type library, error
// info, class info and one connection point for the class's event interface.
// The classes only implement their dual interface's members (and any members
// beyond it).
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <string>
#include <vector>
#include "automation/bstr.h"
#include "automation/error.h"
#include "component/com/connection_point.h"
#include "component/com/dispatch.h"
#include "component/com/enumerator.h"
#include "component/com/guarded.h"
#include "component/com/module.h"

namespace velkomb::com {

template <class Derived, class Dual, const IID& DualIid, const CLSID& Clsid, const IID& EventsIid>
class AutomationObject : public Dual,
                         public ISupportErrorInfo,
                         public IProvideClassInfo2,
                         public IConnectionPointContainer {
public:
    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out) return E_POINTER;
        *out = Find(iid);
        if (!*out) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references_); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG left = --references_;
        if (left == 0) delete static_cast<Derived*>(this);
        return static_cast<ULONG>(left);
    }

    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        return Referenced([] { return TypeInfoOf(DualIid); }, out);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override
    {
        const DispatchTable* table = Table();
        if (!table) return TYPE_E_CANTLOADLIBRARY;
        return Guarded([&] { return table->GetIDsOfNames(names, count, ids); });
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* exception, UINT* argError) override
    {
        if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        const DispatchTable* table = Table();
        if (!table) return TYPE_E_CANTLOADLIBRARY;
        AddRef();  // the call may drop the host's last reference
        HRESULT hr = Guarded([&] {
            return table->Invoke(static_cast<Dual*>(this), static_cast<Derived*>(this)->ExtraInterface(), id, flags,
                                 params, result, exception, argError);
        });
        Release();
        return hr;
    }

    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override
    {
        return IsEqualIID(iid, DualIid) ? S_OK : S_FALSE;
    }

    // IProvideClassInfo2
    HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        return Referenced([] { return TypeInfoOf(Clsid); }, out);
    }
    HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* guid) override
    {
        if (!guid) return E_POINTER;
        if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
        *guid = EventsIid;
        return S_OK;
    }

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        return Guarded([&] {
            *out = new ConnectionPointEnumerator({&events_});
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(iid, EventsIid)) return CONNECT_E_NOCONNECTION;
        *out = &events_;
        events_.AddRef();
        return S_OK;
    }

    // Members beyond the type library, reachable by name through IDispatch:
    // a class that has them hides these two with its own records and the
    // interface that implements them, in the records' order.
    static std::vector<typelib::Function> ExtraMembers() { return {}; }
    void* ExtraInterface() { return nullptr; }

protected:
    AutomationObject() : events_(static_cast<IConnectionPointContainer*>(this), EventsIid) {}
    virtual ~AutomationObject() = default;

    ConnectionPoint& events() { return events_; }

    // Runs one public operation: the object stays alive while it runs, and a
    // failure becomes the HRESULT and error info the host sees.
    template <class Body>
    HRESULT Call(const wchar_t* source, Body&& body)
    {
        AddRef();
        HRESULT hr = automation::Boundary(source, body);
        Release();
        return hr;
    }

    // The value of a property read, as its [out, retval] parameter.
    static HRESULT PutOut(BSTR* out, const std::wstring& text)
    {
        if (!out) return E_POINTER;
        *out = automation::AllocBstr(text);
        return *out ? S_OK : E_OUTOFMEMORY;
    }
    template <class T>
    static HRESULT PutOut(T* out, T value)
    {
        if (!out) return E_POINTER;
        *out = value;
        return S_OK;
    }

private:
    void* Find(REFIID iid)
    {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, DualIid))
            return static_cast<Dual*>(this);
        if (IsEqualIID(iid, IID_ISupportErrorInfo)) return static_cast<ISupportErrorInfo*>(this);
        if (IsEqualIID(iid, IID_IProvideClassInfo) || IsEqualIID(iid, IID_IProvideClassInfo2))
            return static_cast<IProvideClassInfo2*>(this);
        if (IsEqualIID(iid, IID_IConnectionPointContainer)) return static_cast<IConnectionPointContainer*>(this);
        return nullptr;
    }

    // Built at the first call from the dual interface's type information;
    // null while the library cannot be read (tried again at the next call).
    static const DispatchTable* Table() noexcept
    {
        try {
            static const DispatchTable table(TypeInfoOf(DualIid, true), Derived::ExtraMembers());
            return &table;
        } catch (...) {
            return nullptr;
        }
    }

    template <class Get>
    static HRESULT Lookup(Get get, ITypeInfo** out)
    {
        try {
            *out = get();
            return S_OK;
        } catch (...) {
            return TYPE_E_CANTLOADLIBRARY;
        }
    }
    template <class Get>
    static HRESULT Referenced(Get get, ITypeInfo** out)
    {
        HRESULT hr = Lookup(get, out);
        if (SUCCEEDED(hr)) (*out)->AddRef();
        return hr;
    }

    LiveObject live_;
    LONG references_ = 1;  // apartment objects: used on one thread only
    ConnectionPoint events_;
};

} // namespace velkomb::com
