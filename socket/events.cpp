// Notifications from the hidden window: they advance the state machine,
// fetch what they announce and raise the events.
#include "automation/bstr.h"
#include "socket/address.h"
#include "socket/csocket.h"
#include "support/error_texts.h"
#include "support/helpers.h"

namespace velkomb::socket {

void CSocket::PostSocketEvent(SOCKET handle, long event, long error)
{
    // A socket the host made with vbSocket is not this object's connection.
    if (handle != socketHandle_) return;
    automation::WithSource(L"CSocket.PostSocketEvent", [&] {
        if (error > 0) {
            state_ = sckError;
            DestroySocket();
            RaiseError(error, L"");
            return;
        }
        switch (event) {
        case FD_READ: HandleRead(); break;
        case FD_WRITE: HandleWrite(); break;
        case FD_ACCEPT: HandleAccept(); break;
        case FD_CONNECT: HandleConnect(); break;
        case FD_CLOSE: HandleClose(); break;
        default: break;
        }
    });
}

void CSocket::HandleRead()
{
    long received = RecvToBuffer();
    if (received > LONG_MAX - bytesReceived_) automation::RaiseRuntime(automation::errOverflow);
    bytesReceived_ += received;
    if (received > 0) {
        VARIANT total[] = {com::EventArg(static_cast<LONG>(receiveBuffer_.size()))};
        events().Raise(DISPID_OnDataArrival, total);
    }
}

void CSocket::HandleWrite()
{
    // A datagram waiting for its lookup is sent by the completion; pumping
    // now would only start the lookup over.
    if (resolveHandle_ != 0) return;
    if (!sendBuffer_.empty()) {
        SendPump();
    } else if (sendInProgress_) {
        sendInProgress_ = false;
        events().Raise(DISPID_OnSendComplete);
    }
}

void CSocket::HandleAccept()
{
    sockaddr_in peer{};
    int length = sizeof peer;
    SOCKET accepted = accept(socketHandle_, reinterpret_cast<sockaddr*>(&peer), &length);
    long requestID = 0;
    try {
        requestID = support::HandleToNumber(accepted);
    } catch (...) {
        closesocket(accepted);  // a request the host could not name is refused
        throw;
    }
    VARIANT request[] = {com::EventArg(static_cast<LONG>(requestID))};
    events().Raise(DISPID_OnConnectionRequest, request);
}

void CSocket::FillLocalAddress(const sockaddr_in& address)
{
    localPort_ = support::IntegerToUnsigned(ntohs(address.sin_port));
    localIP_ = DottedText(address.sin_addr);
    const hostent* host = gethostbyaddr(reinterpret_cast<const char*>(&address.sin_addr), 4, AF_INET);
    localHostName_ = host ? support::StringFromPointer(host->h_name) : localIP_;
}

void CSocket::HandleConnect()
{
    sockaddr_in local{};
    int length = sizeof local;
    if (getsockname(socketHandle_, reinterpret_cast<sockaddr*>(&local), &length) == 0) FillLocalAddress(local);
    state_ = sckConnected;
    events().Raise(DISPID_OnConnect);
}

void CSocket::HandleClose()
{
    // Read what the platform still holds; a failing read ends the drain.
    for (;;) {
        long received = 0;
        try {
            received = RecvToBuffer();
        } catch (const automation::AutomationError&) {
            break;
        }
        if (received <= 0) break;
        VARIANT total[] = {com::EventArg(static_cast<LONG>(receiveBuffer_.size()))};
        events().Raise(DISPID_OnDataArrival, total);
    }
    if (state_ != sckClosing) {
        state_ = sckClosing;
        if (!sendBuffer_.empty()) SendPump();
    }
    DestroySocket();
    state_ = sckClosed;
    events().Raise(DISPID_OnClose);
}

void CSocket::RaiseError(long number, const std::wstring& source)
{
    if (number > 32767) automation::RaiseRuntime(automation::errOverflow);
    automation::Bstr description(support::GetErrorDescription(number));
    automation::Bstr sourceText(source);
    automation::Bstr helpFile(L"");
    BSTR descriptionRef = description.Detach();
    VARIANT_BOOL cancelDisplay = VARIANT_FALSE;
    VARIANT arguments[] = {
        com::EventArg(static_cast<SHORT>(number)), com::EventArgRef(&descriptionRef), com::EventArg(0L),
        com::EventArg(sourceText.get()),           com::EventArg(helpFile.get()),     com::EventArg(0L),
        com::EventArgRef(&cancelDisplay),
    };
    events().Raise(DISPID_OnError, arguments);
    // Whatever the handlers wrote back is not used.
    SysFreeString(descriptionRef);
}

void CSocket::PostGetHostEvent(long lookup, uint32_t address, const std::wstring& hostName, long error)
{
    // Only the lookup the object still waits for acts, failed or not.
    if (lookup == 0 || lookup != resolveHandle_) return;
    resolveHandle_ = 0;
    automation::WithSource(L"CSocket.PostGetHostEvent", [&] {
        if (error > 0) {
            uint32_t parsed = ParseAddress(hostName);
            if (parsed == INADDR_NONE) {
                state_ = sckError;
                RaiseError(error, L"");
                return;
            }
            address = parsed;
        }
        state_ = sckHostResolved;
        remoteHost_ = hostName;
        remoteHostIP_ = DottedText(address);
        remoteHostIPStale_ = false;
        if (resolvePurpose_ == 0) {
            sockaddr_in record = AddressOf(remotePort_, address);
            if (connect(socketHandle_, reinterpret_cast<sockaddr*>(&record), sizeof record) == SOCKET_ERROR) {
                long failure = WSAGetLastError();
                if (failure == WSAEWOULDBLOCK)
                    state_ = sckConnecting;
                else
                    RaiseError(failure, L"CSocket.PostGetHostEvent");
            }
        } else if (resolvePurpose_ == 1) {
            SendPump();
        }
    });
}

} // namespace velkomb::socket
