#include "client/socket_events.h"
#include "automation/bstr.h"
#include "automation/error.h"
#include "automation/variant.h"
#include "client/socket_link.h"
#include "component/interfaces.h"

namespace velkomb::client {

namespace {

// Argument `position` of an event, counted in declaration order, converted
// to `type`; false when it does not convert.
bool ArgumentAs(const DISPPARAMS& params, UINT position, VARTYPE type, automation::Variant& value)
{
    const VARIANT& arg = params.rgvarg[params.cArgs - 1 - position];
    return SUCCEEDED(VariantChangeType(value.get(), const_cast<VARIANT*>(&automation::Deref(arg)), 0, type));
}

} // namespace

void* SocketEvents::Find(REFIID iid)
{
    return IsEqualIID(iid, DIID___CSocket) ? static_cast<IDispatch*>(this) : PlainDispatch::Find(iid);
}

HRESULT SocketEvents::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*)
{
    if (!client_ || !params) return S_OK;
    switch (id) {
    case DISPID_OnDataArrival: return DataArrival(*params);
    case DISPID_OnConnect: client_->tcpSock_OnConnect(); return S_OK;
    case DISPID_OnClose: client_->tcpSock_OnClose(); return S_OK;
    case DISPID_OnError: return Error(*params);
    default: return S_OK;
    }
}

HRESULT SocketEvents::DataArrival(const DISPPARAMS& params)
{
    if (params.cArgs != 1) return S_OK;
    automation::Variant total;
    if (!ArgumentAs(params, 0, VT_I4, total)) return DISP_E_TYPEMISMATCH;
    // A failure of the handler goes back to the socket, which drops it.
    return automation::Boundary(L"VelkoMB.tcpSock_OnDataArrival",
                                [&] { client_->tcpSock_OnDataArrival(V_I4(total.get())); });
}

// Number and Description, the first two of OnError's seven arguments.
HRESULT SocketEvents::Error(const DISPPARAMS& params)
{
    if (params.cArgs != 7) return S_OK;
    automation::Variant number, description;
    if (!ArgumentAs(params, 0, VT_I4, number) || !ArgumentAs(params, 1, VT_BSTR, description))
        return DISP_E_TYPEMISMATCH;
    return automation::Boundary(L"VelkoMB.tcpSock_OnError", [&] {
        client_->tcpSock_OnError(V_I4(number.get()), automation::TextOf(V_BSTR(description.get())));
    });
}

} // namespace velkomb::client
