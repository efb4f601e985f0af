// CSocket objects under test: created in-process with a recording sink, and
// the ports of the loopback peer (tools/peers/socket_peer.py --base 47000).
#pragma once
#include "tests/support/test_support.h"
#include <string>
#include <string_view>
#include "component/interfaces.h"

namespace sockettest {

using testsupport::Event;
using testsupport::EventSink;
using testsupport::PumpFor;
using testsupport::PumpUntil;
using velkomb::StateConstants;

enum PeerPort : LONG {
    EchoPort = 47000,
    RecordPort = 47001,
    SendAndClosePort = 47002,
    ResetPort = 47003,
    UdpEchoPort = 47004,
    ConnectBackPort = 47005,
    UdpSendToPort = 47006,
    SlowReaderPort = 47007,
    RefusedPort = 47009,
};

using testsupport::Boolean;
using testsupport::Bytes;
using testsupport::Double;
using testsupport::Long;
using testsupport::Missing;
using testsupport::Short;
using testsupport::Text;
// The bytes of a byte-array variant.
std::string BytesIn(const VARIANT& value);

class TestSocket {
public:
    TestSocket();
    ~TestSocket();
    TestSocket(const TestSocket&) = delete;
    TestSocket& operator=(const TestSocket&) = delete;

    velkomb::_CSocket* operator->() const { return socket_; }
    velkomb::_CSocket* get() const { return socket_; }
    EventSink& sink() { return *sink_; }
    // Drops the test's reference now (the object may go at once).
    void Drop();

    StateConstants State() const;
    LONG Handle() const;
    LONG LocalPort() const;
    LONG RemotePort() const;
    LONG BytesReceived() const;
    std::wstring LocalIP() const;
    std::wstring LocalHostName() const;
    std::wstring RemoteHost() const;
    std::wstring RemoteHostIP() const;

    HRESULT SetProtocol(velkomb::ProtocolConstants protocol);
    HRESULT SetRemoteHost(std::wstring_view host);
    HRESULT SetRemotePort(LONG port);
    HRESULT Connect(std::wstring_view host, LONG port);
    HRESULT Bind(LONG port, std::wstring_view address);
    HRESULT Send(const automation::Variant& value);
    // GetData/PeekData with the given optional arguments (Missing() to omit).
    HRESULT Get(automation::Variant& data, const automation::Variant& type, const automation::Variant& maxLen);
    HRESULT Peek(automation::Variant& data, const automation::Variant& type, const automation::Variant& maxLen);

    // From now on every OnDataArrival takes all waiting bytes into received().
    void CollectArrivals();
    const std::string& received() const { return received_; }

    // Pumps until the sink has `count` events `id` / the state is reached.
    bool WaitForEvent(DISPID id, size_t count = 1, DWORD timeoutMs = 5000);
    bool WaitForState(StateConstants state, DWORD timeoutMs = 5000);
    // Connects to 127.0.0.1:port and waits for OnConnect.
    bool ConnectAndWait(LONG port);

private:
    velkomb::_CSocket* socket_;
    EventSink* sink_;
    std::string received_;
};

} // namespace sockettest
