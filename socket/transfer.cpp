// Moving data: SendData and its send pump, the receive call, and handing
// buffered bytes to the caller as a requested type.
#include "socket/address.h"
#include "automation/numeric.h"
#include "socket/byte_image.h"
#include "socket/csocket.h"
#include "support/error_texts.h"
#include "support/helpers.h"
#include <algorithm>
#include <climits>
#include <cmath>

namespace velkomb::socket {

using automation::Raise;
using support::GetErrorDescription;

namespace {

const wchar_t sendSource[] = L"CSocket.SendData";
const wchar_t badStateText[] = L"Wrong protocol or connection state for the requested transaction or request.";

// An optional argument left out, or passed Empty.
bool Omitted(const VARIANT* value)
{
    return automation::IsMissing(value) || V_VT(automation::ValueOf(*value)) == VT_EMPTY;
}

// The number of bytes maxLen asks for; 0 (everything) when it is omitted or
// beyond the 32-bit range: above it, it asks for more than any buffer holds,
// and below it, like any number below 1, for everything.
long ChunkLimit(const VARIANT* maxLen)
{
    if (Omitted(maxLen)) return 0;
    const double number = automation::NumberOfVariant(*maxLen);
    if (!(std::fabs(number) < 2147483647.5)) return 0;
    return automation::Int32OfNumber(number);
}

} // namespace

// What SendData does once `fill` has made the pending bytes.
template <class Fill>
void CSocket::Send(Fill fill)
{
    if (IsUdp()) {
        if (!EnsureSocket()) return;
    } else if (socketHandle_ == INVALID_SOCKET) {
        Raise(sckBadState, sendSource, badStateText);
    }
    try {
        fill();
        sendInProgress_ = true;
        SendPump();
    } catch (automation::AutomationError& error) {
        if (WSAGetLastError() == WSAENOTSOCK) Raise(sckBadState, sendSource, badStateText);
        error.source = sendSource;
        throw;
    }
}

void CSocket::SendBytes(std::span<const uint8_t> bytes)
{
    Send([&] { sendBuffer_.assign(bytes.begin(), bytes.end()); });
}

void CSocket::TakeReceivedBytes(std::vector<uint8_t>& into)
{
    if (receiveBuffer_.empty()) return;
    into.insert(into.end(), receiveBuffer_.begin(), receiveBuffer_.end());
    receiveBuffer_.clear();
    bytesReceived_ = 0;
}

// The platform posts a write notification only after a send has failed with
// 10035 (would block), never after a short send that succeeded: so the pump
// keeps offering the rest until everything is handed over or the platform
// would block, and only then waits for that notification.
void CSocket::SendPump()
{
    sendInProgress_ = true;
    if (sendBuffer_.empty()) automation::RaiseRuntime(automation::errSubscriptOutOfRange);
    long sent = 0;
    if (IsUdp() && (remoteHostIP_.empty() || remoteHostIPStale_)) {
        // The datagram waits for the lookup; its completion runs the pump
        // again. A bad port fails now, where the caller hears of it.
        support::UnsignedToInteger(remotePort_);
        resolvePurpose_ = 1;
        AbandonLookup();
        resolveHandle_ = support::ResolveHost(remoteHost_, this);
    } else {
        while (!sendBuffer_.empty()) {
            const int taken = SendOnce(static_cast<int>(std::min<size_t>(sendBuffer_.size(), INT_MAX)));
            if (taken == SOCKET_ERROR) {
                long error = WSAGetLastError();
                if (error != WSAEWOULDBLOCK) Raise(error, sendSource, GetErrorDescription(error));
                if (sent == 0) return;  // nothing moved: the next write notification sends it
                break;
            }
            sendBuffer_.erase(0, static_cast<size_t>(taken));
            sent += taken;
            if (taken == 0) break;
        }
        // Completion is reported from the message loop, after this call chain.
        if (sendBuffer_.empty() && !sendEventsSilenced_)
            PostMessageA(support::WindowHandle(), support::WinsockMessage(), static_cast<WPARAM>(socketHandle_),
                         FD_WRITE);
    }
    if (sendEventsSilenced_) return;
    VARIANT progress[] = {com::EventArg(static_cast<LONG>(sent)), com::EventArg(static_cast<LONG>(sendBuffer_.size()))};
    events().Raise(DISPID_OnSendProgress, progress);
}

// One send call of the first `length` pending bytes.
int CSocket::SendOnce(int length)
{
    if (!IsUdp()) return send(socketHandle_, sendBuffer_.data(), length, 0);
    sockaddr_in record = AddressOf(remotePort_, ParseAddress(remoteHostIP_));
    return sendto(socketHandle_, sendBuffer_.data(), length, 0, reinterpret_cast<sockaddr*>(&record), sizeof record);
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
        if (received != SOCKET_ERROR && keepRemoteAddress_) {
            senderPort_ = support::IntegerToUnsigned(ntohs(sender.sin_port));
            senderIP_ = DottedText(sender.sin_addr);
        } else if (received != SOCKET_ERROR) {
            remotePort_ = support::IntegerToUnsigned(ntohs(sender.sin_port));
            remoteHostIP_ = DottedText(sender.sin_addr);
            const hostent* host = gethostbyaddr(reinterpret_cast<const char*>(&sender.sin_addr), 4, AF_INET);
            remoteHost_ = host ? support::StringFromPointer(host->h_name) : remoteHostIP_;
            remoteHostIPStale_ = false;
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
    const long limit = ChunkLimit(maxLen);
    const double type = Omitted(varType) ? double{VT_BSTR} : automation::NumberOfVariant(*varType);

    const bool part = limit > 0 && static_cast<size_t>(limit) <= receiveBuffer_.size();
    const size_t taken = part ? static_cast<size_t>(limit) : receiveBuffer_.size();
    automation::Variant value;
    if (ValueOfBytes(std::string_view(receiveBuffer_).substr(0, taken), type, value))
        automation::StoreInto(varData, std::move(value));
    // Taken out only once stored: a variable that cannot take the value (a
    // fixed-size array, say) leaves the bytes for the next call.
    if (!peek) receiveBuffer_.erase(0, taken);
    bytesReceived_ = static_cast<long>(receiveBuffer_.size());
}

HRESULT CSocket::SendData(VARIANT* varData)
{
    return Call(sendSource, [&] {
        VARIANT empty;
        VariantInit(&empty);
        Send([&] { sendBuffer_ = BytesOfValue(varData ? *varData : empty); });
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
