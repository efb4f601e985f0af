// Moving data: SendData and its send pump, the receive call, and handing
// buffered bytes to the caller as a requested type.
#include "socket/address.h"
#include "automation/numeric.h"
#include "socket/byte_image.h"
#include "socket/csocket.h"
#include "support/error_texts.h"
#include "support/helpers.h"

namespace velkomb::socket {

using automation::Raise;
using support::GetErrorDescription;

namespace {

const wchar_t sendSource[] = L"CSocket.SendData";
const wchar_t badStateText[] = L"Wrong protocol or connection state for the requested transaction or request.";

} // namespace

void CSocket::Send(const VARIANT& value)
{
    if (IsUdp()) {
        if (!EnsureSocket()) return;
    } else if (socketHandle_ == INVALID_SOCKET) {
        Raise(sckBadState, sendSource, badStateText);
    }
    try {
        sendBuffer_ = BytesOfValue(value);
        sendInProgress_ = true;
        SendPump();
    } catch (automation::AutomationError& error) {
        if (WSAGetLastError() == WSAENOTSOCK) Raise(sckBadState, sendSource, badStateText);
        error.source = sendSource;
        throw;
    }
}

void CSocket::SendPump()
{
    sendInProgress_ = true;
    if (sendBuffer_.empty()) automation::RaiseRuntime(automation::errSubscriptOutOfRange);
    const int length = static_cast<int>(sendBuffer_.size());
    int sent = 0;
    if (!IsUdp()) {
        sent = send(socketHandle_, sendBuffer_.data(), length, 0);
    } else if (remoteHostIP_.empty()) {
        // The datagram waits for the lookup; its completion runs the pump again.
        resolvePurpose_ = 1;
        resolveHandle_ = support::ResolveHost(remoteHost_, this);
    } else {
        sockaddr_in record = AddressOf(remotePort_, ParseAddress(remoteHostIP_));
        sent = sendto(socketHandle_, sendBuffer_.data(), length, 0, reinterpret_cast<sockaddr*>(&record),
                      sizeof record);
    }
    if (sent == SOCKET_ERROR) {
        long error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) return;  // the next write notification sends it
        Raise(error, sendSource, GetErrorDescription(error));
    }
    if (sent < length) {
        sendBuffer_.erase(0, static_cast<size_t>(sent));
    } else {
        sendBuffer_.clear();
        // Completion is reported from the message loop, after this call chain.
        if (!sendEventsSilenced_)
            PostMessageA(support::WindowHandle(), support::WinsockMessage(), static_cast<WPARAM>(socketHandle_),
                         FD_WRITE);
    }
    if (sendEventsSilenced_) return;
    VARIANT progress[] = {com::EventArg(static_cast<LONG>(sent)), com::EventArg(static_cast<LONG>(sendBuffer_.size()))};
    events().Raise(DISPID_OnSendProgress, progress);
}

long CSocket::RecvToBuffer()
{
    receiveScratch_.resize(static_cast<size_t>(receiveBufferSize_));
    int received = 0;
    if (!IsUdp()) {
        received = recv(socketHandle_, receiveScratch_.data(), receiveBufferSize_, 0);
    } else {
        sockaddr_in sender{};
        int length = sizeof sender;
        received = recvfrom(socketHandle_, receiveScratch_.data(), receiveBufferSize_, 0,
                            reinterpret_cast<sockaddr*>(&sender), &length);
        if (received != SOCKET_ERROR) {
            remotePort_ = support::IntegerToUnsigned(ntohs(sender.sin_port));
            remoteHostIP_ = DottedText(sender.sin_addr);
            const hostent* host = gethostbyaddr(reinterpret_cast<const char*>(&sender.sin_addr), 4, AF_INET);
            remoteHost_ = host ? support::StringFromPointer(host->h_name) : remoteHostIP_;
        }
    }
    if (received == SOCKET_ERROR) {
        long error = WSAGetLastError();
        Raise(error, L"CSocket.RecvToBuffer", GetErrorDescription(error));
    }
    receiveBuffer_.append(receiveScratch_.data(), static_cast<size_t>(received));
    return received;
}

void CSocket::TakeReceivedData(VARIANT* varData, bool peek, const VARIANT* varType, const VARIANT* maxLen)
{
    if (receiveBuffer_.empty()) return;
    const bool noLimit = automation::IsMissing(maxLen) || V_VT(&automation::Deref(*maxLen)) == VT_EMPTY;
    const long limit = noLimit ? 0 : automation::Int32OfNumber(automation::NumberOfVariant(*maxLen));
    const bool noType = automation::IsMissing(varType) || V_VT(&automation::Deref(*varType)) == VT_EMPTY;
    const double type = noType ? double{VT_BSTR} : automation::NumberOfVariant(*varType);

    std::string chunk;
    if (limit > 0 && static_cast<size_t>(limit) <= receiveBuffer_.size()) {
        chunk = receiveBuffer_.substr(0, static_cast<size_t>(limit));
        if (!peek) receiveBuffer_.erase(0, static_cast<size_t>(limit));
    } else {
        chunk = receiveBuffer_;
        if (!peek) receiveBuffer_.clear();
    }

    automation::Variant value;
    if (ValueOfBytes(chunk, type, value)) automation::StoreInto(varData, std::move(value));
    bytesReceived_ = static_cast<long>(receiveBuffer_.size());
}

HRESULT CSocket::SendData(VARIANT* varData)
{
    return Call(sendSource, [&] {
        VARIANT empty;
        VariantInit(&empty);
        Send(varData ? *varData : empty);
    });
}

HRESULT CSocket::GetData(VARIANT* varData, VARIANT* varType, VARIANT* maxLen)
{
    const wchar_t source[] = L"CSocket.GetData";
    return Call(source, [&] {
        automation::WithSource(source, [&] { TakeReceivedData(varData, false, varType, maxLen); });
    });
}

HRESULT CSocket::PeekData(VARIANT* varData, VARIANT* varType, VARIANT* maxLen)
{
    const wchar_t source[] = L"CSocket.PeekData";
    return Call(source, [&] {
        automation::WithSource(source, [&] { TakeReceivedData(varData, true, varType, maxLen); });
    });
}

} // namespace velkomb::socket
