#include "client/socket_events.h"
#include "automation/error.h"
#include "client/velkomb.h"
#include "component/interfaces.h"

namespace velkomb::client {

void* SocketEvents::Find(REFIID iid)
{
    return IsEqualIID(iid, DIID___CSocket) ? static_cast<IDispatch*>(this) : PlainDispatch::Find(iid);
}

HRESULT SocketEvents::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*)
{
    if (id != DISPID_OnDataArrival || !client_ || !params || params->cArgs != 1) return S_OK;
    VARIANT total;
    VariantInit(&total);
    if (FAILED(VariantChangeType(&total, &params->rgvarg[0], 0, VT_I4))) return DISP_E_TYPEMISMATCH;
    // A failure of the handler goes back to the socket, which drops it.
    return automation::Boundary(L"VelkoMB.tcpSock_OnDataArrival", [&] { client_->tcpSock_OnDataArrival(V_I4(&total)); });
}

} // namespace velkomb::client
