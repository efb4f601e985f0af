// The client's sink for its socket's events: OnDataArrival, OnConnect,
// OnClose and OnError reach the link, the others are ignored. The sink
// points back at the link without a reference; the link disconnects it
// before it goes away.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include "component/com/plain_dispatch.h"

namespace velkomb::client {

class SocketLink;

class SocketEvents final : public com::PlainDispatch<SocketEvents> {
public:
    explicit SocketEvents(SocketLink* client) : client_(client) {}
    void Detach() { client_ = nullptr; }

    void* Find(REFIID iid);
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                     UINT*) override;

private:
    HRESULT DataArrival(const DISPPARAMS& params);
    HRESULT Error(const DISPPARAMS& params);

    SocketLink* client_;
};

} // namespace velkomb::client
