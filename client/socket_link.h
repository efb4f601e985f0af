// The client's socket, tcpSock: a TCP connection (Modbus/TCP, or RTU frames
// passed through) or UDP datagrams to the device. Made by the first Connect
// with the sink of its events, and kept until the client goes.
#pragma once
#include <string>
#include <vector>
#include "client/transport.h"

namespace velkomb::socket {
class CSocket;
}

namespace velkomb::client {

class SocketEvents;

class SocketLink final : public Link {
public:
    explicit SocketLink(LinkEvents& events) : events_(events) {}
    ~SocketLink() override;
    SocketLink(const SocketLink&) = delete;
    SocketLink& operator=(const SocketLink&) = delete;

    void Open(const LinkTarget& target) override;
    void Close() override;
    StateConstants State() const override;
    void Send(std::span<const uint8_t> frame) override;

    // The socket's events, through the sink: OnDataArrival hands the bytes
    // on; OnConnect and OnError are reported for ConnectAndWait, OnClose for
    // the request it ends.
    void tcpSock_OnDataArrival(long bytesTotal);
    void tcpSock_OnConnect() { events_.LinkConnected(); }
    void tcpSock_OnClose() { events_.LinkClosed(); }
    void tcpSock_OnError(long number, const std::wstring& description) { events_.LinkFailed(number, description); }

private:
    void CreateSocket();
    socket::CSocket& Socket() const;
    void CloseSocketOnce();

    LinkEvents& events_;
    // Both or neither: the socket and the sink connected to it.
    socket::CSocket* tcpSock_ = nullptr;
    SocketEvents* sink_ = nullptr;
    DWORD sinkCookie_ = 0;
    bool udp_ = false;
    long remotePort_ = 0;
    std::vector<uint8_t> received_;
};

} // namespace velkomb::client
