// Creation, release, property procedures and the methods that create,
// connect, bind, listen, accept and close the object's socket.
#include "socket/csocket.h"
#include <ws2tcpip.h>
#include "socket/address.h"
#include "automation/numeric.h"
#include "automation/variant.h"
#include "support/error_texts.h"
#include "support/helpers.h"

namespace velkomb::socket {

using automation::Raise;
using automation::WithSource;
using support::GetErrorDescription;

namespace {

[[noreturn]] void RaiseLastError(const std::wstring& source = L"")
{
    long error = WSAGetLastError();
    Raise(error, source, GetErrorDescription(error));
}

// The text of an optional argument; empty when omitted, Empty or Null.
std::wstring OptionalText(const VARIANT* value)
{
    if (automation::IsMissing(value)) return {};
    const automation::ValueOf v(*value);
    if (V_VT(v) == VT_EMPTY || V_VT(v) == VT_NULL) return {};
    automation::Variant text;
    automation::Check(VariantChangeType(text.get(), const_cast<VARIANT*>(&*v), 0, VT_BSTR));
    return automation::TextOf(V_BSTR(text.get()));
}

} // namespace

CSocket* CSocket::Create() { return new CSocket; }

CSocket::CSocket() { maxDatagramSize_ = support::InitWinsockService(); }

CSocket::~CSocket()
{
    // Nothing leaves a destructor: a failing close at release has no one to
    // report to.
    try {
        support::WithdrawLookups(this);
        DestroySocket();
    } catch (...) {
    }
    try {
        for (SOCKET extra : extraSockets_)
            if (support::UnregisterSocket(extra, this)) closesocket(extra);
    } catch (...) {
    }
    support::CleanupWinsockService();
}

// --- Socket creation and release ---

SOCKET CSocket::NewSocket()
{
    SOCKET handle = protocol_ == sckUDPProtocol ? ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)
                                                : ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET) return INVALID_SOCKET;
    if (!support::RegisterSocket(handle, this)) {
        closesocket(handle);
        return INVALID_SOCKET;
    }
    return handle;
}

bool CSocket::EnsureSocket()
{
    if (socketHandle_ != INVALID_SOCKET) return true;
    SOCKET handle = NewSocket();
    if (handle == INVALID_SOCKET) return false;
    socketHandle_ = handle;
    ReadBufferSizes();
    if (noDelay_ && !IsUdp()) {
        BOOL on = TRUE;
        setsockopt(socketHandle_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    }
    return true;
}

void CSocket::ReadBufferSizes()
{
    if (!IsUdp()) {
        int size = 0;
        int length = sizeof size;
        getsockopt(socketHandle_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size), &length);
        receiveBufferSize_ = size;
    } else {
        receiveBufferSize_ = maxDatagramSize_;
    }
    // A receive call asking for nothing would read as the peer's close.
    if (receiveBufferSize_ <= 0) receiveBufferSize_ = 8192;
}

void CSocket::AbandonLookup()
{
    support::WithdrawLookup(resolveHandle_, this);
    resolveHandle_ = 0;
}

// Everything of the connection ends here: unsent bytes and a send in
// progress must not carry over to the object's next connection.
void CSocket::DestroySocket()
{
    receiveBuffer_.clear();
    sendBuffer_.clear();
    sendInProgress_ = false;
    AbandonLookup();  // a lookup for the socket has nothing left to act on
    if (socketHandle_ == INVALID_SOCKET) return;
    support::UnregisterSocket(socketHandle_, this);
    if (closesocket(socketHandle_) == SOCKET_ERROR) RaiseLastError(L"CSocket.DestroySocket");
    socketHandle_ = INVALID_SOCKET;
    isBound_ = false;
    broadcastEnabled_ = false;
}

// --- Connecting, binding, listening, accepting, closing ---

void CSocket::ConnectTo(const VARIANT* host, const VARIANT* port)
{
    if (!EnsureSocket()) return;
    if (std::wstring text = OptionalText(host); !text.empty()) remoteHost_ = text;
    if (!automation::IsMissing(port) && automation::IsNumeric(*port))
        remotePort_ = automation::Int32OfNumber(automation::NumberOfVariant(*port));
    if (remoteHost_.empty()) Raise(sckAddressNotAvailable, L"", GetErrorDescription(sckAddressNotAvailable));

    resolvePurpose_ = 0;
    AbandonLookup();  // a new Connect replaces whatever an earlier one started
    uint32_t address = ParseAddress(remoteHost_);
    if (address == INADDR_NONE) {
        // A bad port fails now, as for an address: found only when the
        // lookup completes, it would reach no one.
        support::UnsignedToInteger(remotePort_);
        state_ = sckResolvingHost;
        resolveHandle_ = support::ResolveHost(remoteHost_, this);
        if (resolveHandle_ == 0) {
            DestroySocket();
            support::RaiseRecordedError();
        }
        return;
    }
    sockaddr_in record = AddressOf(remotePort_, address);
    if (connect(socketHandle_, reinterpret_cast<sockaddr*>(&record), sizeof record) == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) RaiseLastError();
        state_ = sckConnecting;
    }
}

void CSocket::Close()
{
    if (socketHandle_ == INVALID_SOCKET) return;
    try {
        if (state_ == sckConnected) {
            state_ = sckClosing;
            shutdown(socketHandle_, SD_SEND);
        } else {
            DestroySocket();
            state_ = sckClosed;
        }
    } catch (...) {
        // Closing never fails for the caller; the state reached so far stays.
    }
}

void CSocket::BindTo(long port, const std::wstring& address)
{
    if (!EnsureSocket()) return;
    if (!address.empty()) localIP_ = address;
    if (port > 0) localPort_ = port;
    uint32_t local = INADDR_ANY;
    if (!localIP_.empty()) {
        local = ParseAddress(localIP_);
        // The parser sets no error of its own: report the address as unusable.
        if (local == INADDR_NONE) Raise(WSAEADDRNOTAVAIL, L"", GetErrorDescription(WSAEADDRNOTAVAIL));
    }
    sockaddr_in record = AddressOf(localPort_, local);
    if (bind(socketHandle_, reinterpret_cast<sockaddr*>(&record), sizeof record) == SOCKET_ERROR) RaiseLastError();
    isBound_ = true;
}

void CSocket::StartListening()
{
    if (!EnsureSocket()) return;
    if (!isBound_) BindTo(0, L"");
    if (listen(socketHandle_, 5) == SOCKET_ERROR) {
        long error = WSAGetLastError();
        state_ = sckError;
        Raise(error, L"", GetErrorDescription(error));
    }
    state_ = sckListening;
}

void CSocket::AcceptConnection(long requestID)
{
    // Only a handle that can be registered for this object is taken over:
    // not -1 (a failed accept), not a socket that an object owns already.
    const SOCKET accepted = support::NumberToHandle(requestID);
    if (!support::RegisterSocket(accepted, this)) return;
    // The old socket goes, so neither its handle nor its entry is left behind.
    try {
        DestroySocket();
    } catch (...) {
    }
    socketHandle_ = accepted;

    sockaddr_in record{};
    int length = sizeof record;
    if (getsockname(socketHandle_, reinterpret_cast<sockaddr*>(&record), &length) == 0) {
        localPort_ = support::IntegerToUnsigned(ntohs(record.sin_port));
        localIP_ = DottedText(record.sin_addr);
        localHostName_ = localIP_;
    }
    length = sizeof record;
    if (getpeername(socketHandle_, reinterpret_cast<sockaddr*>(&record), &length) == 0) {
        remotePort_ = support::IntegerToUnsigned(ntohs(record.sin_port));
        remoteHostIP_ = DottedText(record.sin_addr);
        remoteHost_ = remoteHostIP_;
        remoteHostIPStale_ = false;
    }
    int type = 0;
    length = sizeof type;
    if (getsockopt(socketHandle_, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) != SOCKET_ERROR)
        protocol_ = type == SOCK_STREAM ? sckTCPProtocol : sckUDPProtocol;
    ReadBufferSizes();
    state_ = sckConnected;
}

void CSocket::SetRemoteHost(const std::wstring& value)
{
    remoteHost_ = value;
    if (value.empty()) return;
    remoteHostIPStale_ = ParseAddress(value) == INADDR_NONE;
    if (remoteHostIPStale_) return;
    remoteHostIP_ = value;
    if (protocol_ != sckUDPProtocol || !EnsureSocket()) return;

    const bool broadcast = value.size() >= 4 && value.compare(value.size() - 4, 4, L".255") == 0;
    if (broadcast == broadcastEnabled_) return;
    BOOL on = broadcast ? TRUE : FALSE;
    if (setsockopt(socketHandle_, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on) ==
        SOCKET_ERROR)
        RaiseLastError();
    broadcastEnabled_ = broadcast;
}

// --- Methods ---

HRESULT CSocket::Listen()
{
    return Call(L"CSocket.Listen", [&] { WithSource(L"CSocket.Listen", [&] { StartListening(); }); });
}

HRESULT CSocket::Connect(VARIANT* strRemoteHost, VARIANT* lngRemotePort)
{
    const wchar_t source[] = L"CSocket.CSocket.Connect";
    return Call(source, [&] { WithSource(source, [&] { ConnectTo(strRemoteHost, lngRemotePort); }); });
}

HRESULT CSocket::CloseSocket()
{
    return Call(L"CSocket.CloseSocket", [&] { Close(); });
}

HRESULT CSocket::Bind(LONG* lngLocalPort, BSTR* strLocalIP)
{
    return Call(L"CSocket.Bind", [&] {
        WithSource(L"CSocket.Bind", [&] {
            BindTo(lngLocalPort ? *lngLocalPort : 0, strLocalIP ? automation::TextOf(*strLocalIP) : L"");
        });
    });
}

HRESULT CSocket::Accept(LONG* requestID)
{
    if (!requestID) return E_POINTER;
    return Call(L"CSocket.Accept", [&] { WithSource(L"CSocket.Accept", [&] { AcceptConnection(*requestID); }); });
}

HRESULT CSocket::vbSocket(LONG* result)
{
    if (!result) return E_POINTER;
    *result = -1;
    return Call(L"CSocket.vbSocket", [&] {
        SOCKET handle = NewSocket();
        if (handle == INVALID_SOCKET) return;
        extraSockets_.insert(handle);
        *result = support::HandleToNumber(handle);
    });
}

// --- Properties ---

HRESULT CSocket::get_State(StateConstants* value) { return PutOut(value, state_); }
HRESULT CSocket::get_SocketHandle(LONG* value)
{
    if (!value) return E_POINTER;
    return Call(L"CSocket.SocketHandle", [&] { *value = support::HandleToNumber(socketHandle_); });
}
HRESULT CSocket::get_RemotePort(LONG* value) { return PutOut(value, static_cast<LONG>(remotePort_)); }
HRESULT CSocket::put_RemotePort(LONG* value)
{
    if (!value) return E_POINTER;
    remotePort_ = *value;
    return S_OK;
}
HRESULT CSocket::get_RemoteHostIP(BSTR* value) { return PutOut(value, remoteHostIP_); }
HRESULT CSocket::get_RemoteHost(BSTR* value) { return PutOut(value, remoteHost_); }
HRESULT CSocket::put_RemoteHost(BSTR* value)
{
    if (!value) return E_POINTER;
    return Call(L"CSocket.RemoteHost", [&] {
        WithSource(L"CSocket.RemoteHost", [&] { SetRemoteHost(automation::TextOf(*value)); });
    });
}
HRESULT CSocket::get_Protocol(ProtocolConstants* value) { return PutOut(value, protocol_); }
HRESULT CSocket::put_Protocol(ProtocolConstants* value)
{
    if (!value) return E_POINTER;
    if (socketHandle_ == INVALID_SOCKET) protocol_ = *value;
    return S_OK;
}
HRESULT CSocket::get_LocalPort(LONG* value) { return PutOut(value, static_cast<LONG>(localPort_)); }
HRESULT CSocket::put_LocalPort(LONG* value)
{
    if (!value) return E_POINTER;
    localPort_ = *value;
    return S_OK;
}
HRESULT CSocket::get_LocalIP(BSTR* value) { return PutOut(value, localIP_); }
HRESULT CSocket::get_LocalHostName(BSTR* value) { return PutOut(value, localHostName_); }
HRESULT CSocket::get_BytesReceived(LONG* value) { return PutOut(value, static_cast<LONG>(bytesReceived_)); }

} // namespace velkomb::socket
