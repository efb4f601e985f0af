// CSocket: one TCP or UDP socket with an event-driven state machine. Methods
// start operations and return at once; completions, arriving data, closes and
// errors come back as notifications on the object's thread and are raised as
// events.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>
#include "component/com/object.h"
#include "component/interfaces.h"
#include "support/socket_support.h"

namespace velkomb::socket {

class CSocket final
    : public com::AutomationObject<CSocket, _CSocket, IID__CSocket, CLSID_CSocket, DIID___CSocket>,
      public support::SocketEventTarget {
public:
    static CSocket* Create();
    ~CSocket() override;

    // _CSocket
    HRESULT STDMETHODCALLTYPE SendData(VARIANT* varData) override;
    HRESULT STDMETHODCALLTYPE PeekData(VARIANT* varData, VARIANT* varType, VARIANT* maxLen) override;
    HRESULT STDMETHODCALLTYPE Listen() override;
    HRESULT STDMETHODCALLTYPE GetData(VARIANT* varData, VARIANT* varType, VARIANT* maxLen) override;
    HRESULT STDMETHODCALLTYPE Connect(VARIANT* strRemoteHost, VARIANT* lngRemotePort) override;
    HRESULT STDMETHODCALLTYPE CloseSocket() override;
    HRESULT STDMETHODCALLTYPE Bind(LONG* lngLocalPort, BSTR* strLocalIP) override;
    HRESULT STDMETHODCALLTYPE Accept(LONG* requestID) override;
    HRESULT STDMETHODCALLTYPE get_State(StateConstants* value) override;
    HRESULT STDMETHODCALLTYPE get_SocketHandle(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_RemotePort(LONG* value) override;
    HRESULT STDMETHODCALLTYPE put_RemotePort(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_RemoteHostIP(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE get_RemoteHost(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE put_RemoteHost(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE get_Protocol(ProtocolConstants* value) override;
    HRESULT STDMETHODCALLTYPE put_Protocol(ProtocolConstants* value) override;
    HRESULT STDMETHODCALLTYPE get_LocalPort(LONG* value) override;
    HRESULT STDMETHODCALLTYPE put_LocalPort(LONG* value) override;
    HRESULT STDMETHODCALLTYPE get_LocalIP(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE get_LocalHostName(BSTR* value) override;
    HRESULT STDMETHODCALLTYPE get_BytesReceived(LONG* value) override;
    HRESULT STDMETHODCALLTYPE vbSocket(LONG* result) override;

    // SocketEventTarget: notifications from the hidden window.
    void KeepAlive() override { AddRef(); }
    void LetGo() override { Release(); }
    void PostSocketEvent(SOCKET handle, long event, long error) override;
    void PostGetHostEvent(long lookup, uint32_t address, const std::wstring& hostName, long error) override;

    // For a socket whose owner listens to OnDataArrival alone (the Modbus
    // client's own): sends raise no OnSendProgress and post no completion,
    // which would cost a round trip through the message queue per send.
    void SilenceSendEvents() { sendEventsSilenced_ = true; }
    // For the same owner: its TCP sockets send each request at once, without
    // waiting for the previous segment's acknowledgement (Nagle's algorithm
    // off), as a Modbus client should.
    void SendWithoutDelay() { noDelay_ = true; }
    // For the same owner's UDP socket: a datagram's sender is kept apart
    // (SentFrom), so the remote address stays the device's whoever sends,
    // and no reverse lookup is made for it.
    void KeepRemoteAddress() { keepRemoteAddress_ = true; }
    bool SentFrom(const std::wstring& address, long port) const
    {
        return senderIP_ == address && senderPort_ == port;
    }
    // Empty while RemoteHost names a host not yet looked up.
    std::wstring RemoteAddress() const { return remoteHostIPStale_ ? std::wstring() : remoteHostIP_; }
    // The same owner's way to send and take bytes without automation values:
    // as SendData of a byte array, and as GetData of everything received as
    // a byte array (appended to `into`).
    void SendBytes(std::span<const uint8_t> bytes);
    void TakeReceivedBytes(std::vector<uint8_t>& into);

private:
    CSocket();

    // Lifecycle
    SOCKET NewSocket();
    bool EnsureSocket();
    void ReadBufferSizes();
    void DestroySocket();
    // Withdraws the pending lookup: its completion no longer acts here.
    void AbandonLookup();
    void ConnectTo(const VARIANT* host, const VARIANT* port);
    void Close();
    void BindTo(long port, const std::wstring& address);
    void StartListening();
    void AcceptConnection(long requestID);
    void SetRemoteHost(const std::wstring& value);
    bool IsUdp() const { return protocol_ != sckTCPProtocol; }

    // Data transfer
    template <class Fill>
    void Send(Fill fill);
    void SendPump();
    int SendOnce(int length);
    long RecvToBuffer();
    void TakeReceivedData(VARIANT* varData, bool peek, const VARIANT* varType, const VARIANT* maxLen);

    // Events
    void HandleRead();
    void HandleWrite();
    void HandleAccept();
    void HandleConnect();
    void HandleClose();
    void RaiseError(long number, const std::wstring& source);
    void FillLocalAddress(const sockaddr_in& address);

    long resolvePurpose_ = 0;
    ProtocolConstants protocol_ = sckTCPProtocol;
    StateConstants state_ = sckClosed;
    long bytesReceived_ = 0;
    std::wstring localHostName_;
    std::wstring localIP_;
    long localPort_ = 0;
    std::wstring remoteHost_;
    std::wstring remoteHostIP_;
    // RemoteHost names a host that RemoteHostIP may not be (a name written
    // after an address): the old address still reads back, but a datagram
    // waits for the name's lookup rather than going to the old host.
    bool remoteHostIPStale_ = false;
    long remotePort_ = 0;
    SOCKET socketHandle_ = INVALID_SOCKET;
    long resolveHandle_ = 0;
    std::string sendBuffer_;
    std::string receiveBuffer_;
    long receiveBufferSize_ = 0;
    long maxDatagramSize_ = 0;
    bool isBound_ = false;
    bool sendInProgress_ = false;
    bool broadcastEnabled_ = false;
    // Sockets made by a host's own vbSocket call: registered for this object
    // but never its socket; closed when the object goes.
    std::set<SOCKET> extraSockets_;
    std::string receiveScratch_;  // reused by every receive call
    bool sendEventsSilenced_ = false;
    bool noDelay_ = false;
    bool keepRemoteAddress_ = false;
    std::wstring senderIP_;
    long senderPort_ = 0;
};

} // namespace velkomb::socket
