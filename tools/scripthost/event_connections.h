// The event connections that WScript.ConnectObject / CreateObject(progid,
// prefix) made: each object's default source advised to an EventSink.
#pragma once
#include "tools/scripthost/event_sink.h"
#include <ocidl.h>
#include <vector>

namespace velkomb::scripthost {

class EventConnections {
public:
    explicit EventConnections(HostState& host) : host_(host) {}
    ~EventConnections() { DisconnectAll(); }

    HRESULT Connect(IDispatch* object, const std::wstring& prefix, IDispatch* scriptNamespace);
    // Every connection of the object; none is no error.
    void Disconnect(IDispatch* object);
    void DisconnectAll();

private:
    struct Connection {
        ComPtr<IUnknown> identity;
        ComPtr<IConnectionPoint> point;
        DWORD cookie;
    };

    static void Unadvise(std::vector<Connection>& connections);

    HostState& host_;
    std::vector<Connection> connections_;
};

} // namespace velkomb::scripthost
