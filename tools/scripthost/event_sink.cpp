#include "tools/scripthost/event_sink.h"
#include "tools/scripthost/script_error.h"
#include <ocidl.h>

namespace velkomb::scripthost {

namespace {

constexpr int kDefaultSource = IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE;

ComPtr<ITypeInfo> ClassInfoOf(IDispatch* object)
{
    ComPtr<ITypeInfo> info;
    ComPtr<IProvideClassInfo> provider;
    if (SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(&provider)))) provider->GetClassInfo(&info);
    return info;
}

// Events are called through IDispatch::Invoke: a dispinterface, or the
// dispatch view of a dual interface.
bool IsDispatchable(ITypeInfo& info)
{
    TYPEATTR* attributes = nullptr;
    if (FAILED(info.GetTypeAttr(&attributes))) return false;
    const bool dispatchable =
        attributes->typekind == TKIND_DISPATCH ||
        (attributes->typekind == TKIND_INTERFACE && (attributes->wTypeFlags & TYPEFLAG_FDUAL));
    info.ReleaseTypeAttr(attributes);
    return dispatchable;
}

HRESULT InterfaceId(ITypeInfo& info, IID& id)
{
    TYPEATTR* attributes = nullptr;
    const HRESULT hr = info.GetTypeAttr(&attributes);
    if (FAILED(hr)) return hr;
    id = attributes->guid;
    info.ReleaseTypeAttr(attributes);
    return S_OK;
}

} // namespace

HRESULT FindDefaultSource(IDispatch* object, IID& source, ComPtr<ITypeInfo>& events)
{
    const ComPtr<ITypeInfo> coclass = ClassInfoOf(object);
    if (!coclass) return E_NOINTERFACE;
    TYPEATTR* attributes = nullptr;
    HRESULT hr = coclass->GetTypeAttr(&attributes);
    if (FAILED(hr)) return hr;
    const UINT implemented = attributes->cImplTypes;
    coclass->ReleaseTypeAttr(attributes);
    for (UINT i = 0; i < implemented; ++i) {
        int flags = 0;
        HREFTYPE reference = 0;
        if (FAILED(coclass->GetImplTypeFlags(i, &flags)) || (flags & kDefaultSource) != kDefaultSource) continue;
        if (FAILED(hr = coclass->GetRefTypeOfImplType(i, &reference))) return hr;
        if (FAILED(hr = coclass->GetRefTypeInfo(reference, &events))) return hr;
        if (!IsDispatchable(*events.Get())) return E_NOINTERFACE;
        return InterfaceId(*events.Get(), source);
    }
    return E_NOINTERFACE;
}

EventSink::EventSink(const IID& source, ComPtr<ITypeInfo> events, std::wstring prefix,
                     ComPtr<IDispatch> scriptNamespace, HostState& host)
    : source_(source), events_(std::move(events)), prefix_(std::move(prefix)),
      scriptNamespace_(std::move(scriptNamespace)), host_(host)
{
}

void* EventSink::Find(REFIID iid)
{
    return IsEqualIID(iid, source_) ? static_cast<IDispatch*>(this) : PlainDispatch::Find(iid);
}

HRESULT STDMETHODCALLTYPE EventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                                            EXCEPINFO*, UINT*)
{
    if (result) VariantInit(result);
    if (host_.quitting) return S_OK;
    const DISPID handler = HandlerOf(id);
    if (handler != DISPID_UNKNOWN) CallHandler(handler, params);
    // What the handler raised is the script's business, not the source's.
    return S_OK;
}

DISPID EventSink::HandlerOf(DISPID event) const
{
    BSTR name = nullptr;
    UINT count = 0;
    if (FAILED(events_->GetNames(event, &name, 1, &count)) || count == 0) return DISPID_UNKNOWN;
    std::wstring handlerName = prefix_ + std::wstring(name, SysStringLen(name));
    SysFreeString(name);
    LPOLESTR names[] = {handlerName.data()};
    DISPID handler = DISPID_UNKNOWN;
    if (FAILED(scriptNamespace_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &handler))) {
        return DISPID_UNKNOWN;
    }
    return handler;
}

void EventSink::CallHandler(DISPID handler, DISPPARAMS* params)
{
    static DISPPARAMS noParams{};
    EXCEPINFO error{};
    const HRESULT hr = scriptNamespace_->Invoke(handler, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                                params ? params : &noParams, nullptr, &error, nullptr);
    if (FAILED(hr) && !host_.quitting) {
        if (!error.scode && !error.wCode) error.scode = hr;
        ReportScriptError(host_.scriptFullName, 0, 0, error);
        host_.Quit(1);
    }
    ClearExceptionInfo(error);
}

} // namespace velkomb::scripthost
