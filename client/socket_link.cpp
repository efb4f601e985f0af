#include "client/socket_link.h"
#include <memory>
#include "automation/bstr.h"
#include "automation/error.h"
#include "automation/variant.h"
#include "client/socket_events.h"
#include "socket/csocket.h"

namespace velkomb::client {

using automation::CheckCall;

namespace {

// Releases a COM reference when it goes.
struct ReleaseReference {
    template <class T>
    void operator()(T* object) const { object->Release(); }
};
template <class T>
using Reference = std::unique_ptr<T, ReleaseReference>;

// The connection point of the socket's events, referenced for the caller.
HRESULT FindSocketEvents(_CSocket* socket, IConnectionPoint** point)
{
    IConnectionPointContainer* container = nullptr;
    HRESULT hr = socket->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    if (FAILED(hr)) return hr;
    hr = container->FindConnectionPoint(DIID___CSocket, point);
    container->Release();
    return hr;
}

} // namespace

SocketLink::~SocketLink()
{
    if (!tcpSock_) return;
    IConnectionPoint* point = nullptr;
    if (SUCCEEDED(FindSocketEvents(tcpSock_, &point))) {
        point->Unadvise(sinkCookie_);
        point->Release();
    }
    sink_->Detach();
    sink_->Release();
    tcpSock_->Release();
}

// The socket with the sink connected to it, made whole or not at all: a
// failure leaves neither behind, and the next Connect starts afresh.
void SocketLink::CreateSocket()
{
    Reference<socket::CSocket> created(socket::CSocket::Create());
    created->SilenceSendEvents();  // the sink below handles OnDataArrival only
    created->SendWithoutDelay();
    created->KeepRemoteAddress();
    Reference<SocketEvents> sink(new SocketEvents(this));
    IConnectionPoint* point = nullptr;
    automation::Check(FindSocketEvents(created.get(), &point));
    Reference<IConnectionPoint> events(point);
    DWORD cookie = 0;
    automation::Check(events->Advise(sink.get(), &cookie));
    tcpSock_ = created.release();
    sink_ = sink.release();
    sinkCookie_ = cookie;
}

socket::CSocket& SocketLink::Socket() const
{
    if (!tcpSock_) automation::RaiseRuntime(automation::errObjectNotSet);
    return *tcpSock_;
}

StateConstants SocketLink::State() const
{
    StateConstants state = sckClosed;
    CheckCall(Socket().get_State(&state));
    // A datagram socket has no connection: it is there or not, also while a
    // datagram waits for the device's name to be looked up, and after.
    if (udp_ && (state == sckClosed || state == sckResolvingHost || state == sckHostResolved)) {
        LONG handle = -1;
        CheckCall(Socket().get_SocketHandle(&handle));
        if (handle != -1) return sckConnected;
    }
    return state;
}

void SocketLink::CloseSocketOnce() { CheckCall(Socket().CloseSocket()); }

// Protocol, host and port first, then the old connection makes way (closing
// a live one only shuts its sending side; the second close releases it).
// A TCP connection completes later; a datagram socket is there at once.
void SocketLink::Open(const LinkTarget& target)
{
    if (!tcpSock_) CreateSocket();
    udp_ = target.kind == TransportKind::Udp;
    remotePort_ = target.port;
    ProtocolConstants protocol = udp_ ? sckUDPProtocol : sckTCPProtocol;
    CheckCall(Socket().put_Protocol(&protocol));
    automation::Bstr host(target.host);
    BSTR hostValue = host.get();
    CheckCall(Socket().put_RemoteHost(&hostValue));
    LONG remotePort = target.port;
    CheckCall(Socket().put_RemotePort(&remotePort));
    if (State() != sckClosed) {
        CloseSocketOnce();
        if (State() != sckClosed) CloseSocketOnce();
    }
    CheckCall(Socket().put_Protocol(&protocol));  // taken only without a socket
    received_.clear();
    if (udp_) {
        LONG anyPort = 0;
        automation::Bstr anyAddress(L"");
        BSTR anyAddressValue = anyAddress.get();
        CheckCall(Socket().Bind(&anyPort, &anyAddressValue));
        CheckCall(Socket().put_RemoteHost(&hostValue));  // the socket now exists: a dotted host is taken as is
        events_.LinkConnected();
        return;
    }
    VARIANT noHost = automation::MissingArgument(), noPort = automation::MissingArgument();
    CheckCall(Socket().Connect(&noHost, &noPort));
}

void SocketLink::Close()
{
    if (State() != sckClosed) CloseSocketOnce();
}

void SocketLink::Send(std::span<const uint8_t> frame) { Socket().SendBytes(frame); }

// A datagram from any other address than the device's is no reply: dropped.
void SocketLink::tcpSock_OnDataArrival(long)
{
    received_.clear();
    Socket().TakeReceivedBytes(received_);
    if (udp_ && !Socket().SentFrom(Socket().RemoteAddress(), remotePort_)) return;
    events_.LinkReceived(received_);
}

} // namespace velkomb::client
