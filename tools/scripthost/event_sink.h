// The object that an event source calls: it answers the source interface's
// IID and turns each event into a call of the script procedure
// <prefix><event name>, with the event's arguments passed on untouched so
// that by-reference arguments can be written by the script.
#pragma once
#include "tools/scripthost/host_state.h"
#include <oaidl.h>
#include <string>
#include <wrl/client.h>
#include "component/com/plain_dispatch.h"

namespace velkomb::scripthost {

using Microsoft::WRL::ComPtr;

// The default source interface of object's class (from IProvideClassInfo):
// its IID and the type description that names its events by DISPID.
HRESULT FindDefaultSource(IDispatch* object, IID& source, ComPtr<ITypeInfo>& events);

class EventSink final : public com::PlainDispatch<EventSink> {
public:
    EventSink(const IID& source, ComPtr<ITypeInfo> events, std::wstring prefix, ComPtr<IDispatch> scriptNamespace,
              HostState& host);

    void* Find(REFIID iid);
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override;

private:
    friend class com::Unknown<EventSink, IDispatch>;
    ~EventSink() override = default;
    // The script procedure's DISPID, or DISPID_UNKNOWN when the script has
    // no handler for the event.
    DISPID HandlerOf(DISPID event) const;
    void CallHandler(DISPID handler, DISPPARAMS* params);

    IID source_;
    ComPtr<ITypeInfo> events_;
    std::wstring prefix_;
    ComPtr<IDispatch> scriptNamespace_;
    HostState& host_;
};

} // namespace velkomb::scripthost
