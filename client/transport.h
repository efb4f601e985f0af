// The client's one seam to its device. A transport is a link that carries
// bytes (a TCP connection, UDP datagrams, a serial line) and the framing of
// requests and replies on it (MBAP or RTU). The client builds every request
// as an MBAP frame and reads every reply as one, whatever goes over the
// line: the framing turns them into wire frames and back, so ids, retries,
// typed values and the trace work the same over every transport.
#pragma once
#include <windows.h>
#include <cstdint>
#include <span>
#include <string>
#include <vector>
#include "component/interfaces.h"

namespace velkomb::client {

enum class TransportKind { Tcp, RtuOverTcp, Udp, Rtu };

// "TCP", "RTU over TCP", "UDP" or "RTU", in either case; 5 for another text.
TransportKind TransportOf(const std::wstring& text);

// Where the link goes: the device's host and port, or its serial line.
struct LinkTarget {
    TransportKind kind;
    std::wstring host;
    long port;
    std::wstring serialPort;
    std::wstring serialSettings;
};

// What a link reports to the client, which it keeps alive for the call of
// a report it makes on its own (not inside a call of the client).
class LinkEvents {
public:
    virtual void KeepAlive() = 0;
    virtual void LetGo() = 0;
    virtual void LinkReceived(std::span<const uint8_t> bytes) = 0;
    virtual void LinkConnected() = 0;
    virtual void LinkFailed(long number, const std::wstring& description) = 0;
    // The device closed the connection.
    virtual void LinkClosed() = 0;

protected:
    ~LinkEvents() = default;
};

class Link {
public:
    virtual ~Link() = default;
    // Starts the connection (a socket's completes later) or opens the port.
    virtual void Open(const LinkTarget& target) = 0;
    // Ends the connection as Disconnect does.
    virtual void Close() = 0;
    // 7 while the device can be reached, 0 once closed, the socket's state
    // in between.
    virtual StateConstants State() const = 0;
    // Drops what arrived and was not asked for: a request is about to go.
    virtual void Discard() {}
    virtual void Send(std::span<const uint8_t> frame) = 0;
    // The reply is `count` more bytes at least: a line that reads by count
    // asks for them; a socket takes whatever comes.
    virtual void Expect(size_t count) {}
    // Waits of the client wait on this beside the messages (null: only
    // messages); once it is signalled, Poll reports what arrived.
    virtual HANDLE WaitHandle() const { return nullptr; }
    virtual void Poll() {}
    // The silence that ends a frame of no known layout, and that comes
    // before each request; 0 where the line has none.
    virtual double Silence() const { return 0; }
};

// How far the frame at the start of the received bytes goes.
struct WireFrame {
    enum class State {
        Incomplete,  // `length` bytes at least
        Complete,    // `length` bytes make the reply
        Impossible,  // no reply looks like this: where the next starts is unknown
        Silent,      // its end is the silence after it
        Corrupt,     // `length` bytes make a reply whose check fails
    };
    State state = State::Incomplete;
    size_t length = 0;
};

class Framing {
public:
    virtual ~Framing() = default;
    // The wire frame of a request built as an MBAP frame.
    virtual std::vector<uint8_t> WireOf(std::span<const uint8_t> request) const = 0;
    // The frame at the start of `stream`, received after `request`; with
    // `silent`, the line has been quiet since its last byte.
    virtual WireFrame Next(std::span<const uint8_t> stream, std::span<const uint8_t> request, bool silent) const = 0;
    // A complete wire frame as the MBAP frame the client reads (RTU: with
    // the request's transaction id).
    virtual std::vector<uint8_t> ReplyOf(std::span<const uint8_t> frame, std::span<const uint8_t> request) const = 0;
};

const Framing& MbapFraming();
const Framing& RtuFraming();

} // namespace velkomb::client
