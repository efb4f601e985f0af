#include "tools/scripthost/event_connections.h"

namespace velkomb::scripthost {

namespace {

ComPtr<IUnknown> IdentityOf(IDispatch* object)
{
    ComPtr<IUnknown> identity;
    object->QueryInterface(IID_PPV_ARGS(&identity));
    return identity;
}

} // namespace

HRESULT EventConnections::Connect(IDispatch* object, const std::wstring& prefix, IDispatch* scriptNamespace)
{
    IID source{};
    ComPtr<ITypeInfo> events;
    HRESULT hr = FindDefaultSource(object, source, events);
    if (FAILED(hr)) return hr;
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    if (FAILED(hr = object->QueryInterface(IID_PPV_ARGS(&container)))) return hr;
    if (FAILED(hr = container->FindConnectionPoint(source, &point))) return hr;
    ComPtr<IDispatch> sink;
    sink.Attach(new EventSink(source, events, prefix, scriptNamespace, host_));
    DWORD cookie = 0;
    if (FAILED(hr = point->Advise(sink.Get(), &cookie))) return hr;
    connections_.push_back({IdentityOf(object), point, cookie});
    return S_OK;
}

void EventConnections::Disconnect(IDispatch* object)
{
    const ComPtr<IUnknown> identity = IdentityOf(object);
    std::vector<Connection> removed;
    for (auto connection = connections_.begin(); connection != connections_.end();) {
        if (connection->identity != identity) {
            ++connection;
            continue;
        }
        removed.push_back(std::move(*connection));
        connection = connections_.erase(connection);
    }
    Unadvise(removed);
}

void EventConnections::DisconnectAll()
{
    std::vector<Connection> connections = std::move(connections_);
    connections_.clear();
    Unadvise(connections);
}

// Called on connections already out of the list: an Unadvise may release
// objects whose teardown runs script that connects or disconnects again.
void EventConnections::Unadvise(std::vector<Connection>& connections)
{
    for (Connection& connection : connections) connection.point->Unadvise(connection.cookie);
}

} // namespace velkomb::scripthost
