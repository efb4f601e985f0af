// CSocket under UDP: datagrams both ways with the UDP peers, the sender's
// address after a receive, sending to a name, and the broadcast option.
// Nothing is ever sent to a broadcast address.
#include <gtest/gtest.h>
#include "socket_fixture.h"
#include "support/socket_support.h"

namespace sockettest {
namespace {

using namespace velkomb;

constexpr LONG localUdpPort = 47020;

struct Datagram {
    std::string data;
    LONG port;
    std::wstring hostIP;
    std::wstring host;
};

// A UDP object that records every datagram with its sender's address.
class UdpObject : public TestSocket {
public:
    UdpObject()
    {
        EXPECT_EQ(S_OK, SetProtocol(sckUDPProtocol));
        sink().OnEvent([this](const Event& event) {
            if (event.id != DISPID_OnDataArrival) return;
            automation::Variant data;
            EXPECT_EQ(S_OK, Get(data, Long(VT_ARRAY | VT_UI1), Missing()));
            datagrams.push_back({BytesIn(*data.get()), RemotePort(), RemoteHostIP(), RemoteHost()});
        });
    }
    bool WaitForDatagrams(size_t count)
    {
        return PumpUntil([&] { return datagrams.size() >= count; });
    }
    std::vector<Datagram> datagrams;
};

bool BroadcastOption(LONG handle)
{
    BOOL on = FALSE;
    int length = sizeof on;
    EXPECT_EQ(0, getsockopt(static_cast<SOCKET>(handle), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<char*>(&on),
                            &length));
    return on != FALSE;
}

TEST(Udp, DatagramsBothWaysNameTheirSender)
{
    UdpObject udp;
    ASSERT_EQ(S_OK, udp.Bind(localUdpPort, L"127.0.0.1"));
    EXPECT_EQ(localUdpPort, udp.LocalPort());
    EXPECT_EQ(L"127.0.0.1", udp.LocalIP());
    ASSERT_EQ(S_OK, udp.SetRemoteHost(L"127.0.0.1"));
    ASSERT_EQ(S_OK, udp.SetRemotePort(UdpEchoPort));

    ASSERT_EQ(S_OK, udp.Send(Text(L"ping")));
    const Event* progress = udp.sink().Last(DISPID_OnSendProgress);
    ASSERT_NE(nullptr, progress);
    EXPECT_EQ(4, progress->LongArg(0));
    EXPECT_EQ(0, progress->LongArg(1));
    ASSERT_TRUE(udp.WaitForDatagrams(1));
    EXPECT_EQ("ping", udp.datagrams[0].data);
    EXPECT_EQ(UdpEchoPort, udp.datagrams[0].port);
    EXPECT_EQ(L"127.0.0.1", udp.datagrams[0].hostIP);
    EXPECT_FALSE(udp.datagrams[0].host.empty()) << "the sender's name, or its address";
    EXPECT_EQ(sckClosed, udp.State()) << "a UDP object stays closed while it works";
    EXPECT_EQ(1u, udp.sink().Count(DISPID_OnSendComplete));

    // The send-to peer sends the text from a fresh socket, then answers with
    // that socket's port from its own.
    ASSERT_EQ(S_OK, udp.SetRemotePort(UdpSendToPort));
    ASSERT_EQ(S_OK, udp.Send(Text(L"SEND 47020 hello")));
    ASSERT_TRUE(udp.WaitForDatagrams(3));
    EXPECT_EQ("hello", udp.datagrams[1].data);
    EXPECT_EQ("SENT " + std::to_string(udp.datagrams[1].port), udp.datagrams[2].data);
    EXPECT_NE(UdpSendToPort, udp.datagrams[1].port);
    EXPECT_EQ(UdpSendToPort, udp.datagrams[2].port);
    EXPECT_EQ(UdpSendToPort, udp.RemotePort()) << "the last sender";
}

TEST(Udp, DatagramToNameWaitsForLookup)
{
    // A name written after an address leaves the old address readable, but
    // sends nothing there: nobody listens at 127.0.0.2.
    UdpObject udp;
    ASSERT_EQ(S_OK, udp.SetRemoteHost(L"127.0.0.2"));
    ASSERT_EQ(S_OK, udp.SetRemoteHost(L"localhost"));
    EXPECT_EQ(L"127.0.0.2", udp.RemoteHostIP());
    // A bad port fails at once, not when the lookup completes.
    ASSERT_EQ(S_OK, udp.SetRemotePort(70000));
    const auto refused = testsupport::ErrorOf(udp.Send(Text(L"abc")));
    EXPECT_EQ(testsupport::ErrorNumber(6), refused.hr);
    EXPECT_EQ(L"CSocket.SendData", refused.source);
    EXPECT_EQ(0u, support::PendingLookupCount());
    udp.sink().Clear();
    ASSERT_EQ(S_OK, udp.SetRemotePort(UdpEchoPort));

    ASSERT_EQ(S_OK, udp.Send(Text(L"abc")));
    ASSERT_EQ(1u, udp.sink().events().size());
    const Event& waiting = udp.sink().events()[0];
    EXPECT_EQ(DISPID_OnSendProgress, waiting.id);
    EXPECT_EQ(0, waiting.LongArg(0));
    EXPECT_EQ(3, waiting.LongArg(1));
    EXPECT_EQ(1u, support::PendingLookupCount());

    ASSERT_TRUE(udp.WaitForDatagrams(1));
    EXPECT_EQ("abc", udp.datagrams[0].data);
    EXPECT_EQ(L"127.0.0.1", udp.RemoteHostIP());
    EXPECT_EQ(sckHostResolved, udp.State());
    const Event* sent = udp.sink().Last(DISPID_OnSendProgress);
    EXPECT_EQ(3, sent->LongArg(0));
    EXPECT_EQ(0, sent->LongArg(1));
    EXPECT_EQ(2u, udp.sink().Count(DISPID_OnSendProgress)) << "the lookup was started over";
    EXPECT_EQ(0u, support::PendingLookupCount());
}

TEST(Udp, BroadcastOptionFollowsRemoteHost)
{
    UdpObject udp;
    ASSERT_EQ(S_OK, udp.SetRemoteHost(L"127.0.0.255"));
    ASSERT_NE(-1, udp.Handle()) << "a dotted remote host under UDP makes the socket";
    EXPECT_EQ(L"127.0.0.255", udp.RemoteHostIP());
    EXPECT_TRUE(BroadcastOption(udp.Handle()));

    ASSERT_EQ(S_OK, udp.SetRemoteHost(L"127.0.0.1"));
    EXPECT_FALSE(BroadcastOption(udp.Handle()));

    ASSERT_EQ(S_OK, udp.SetRemoteHost(L"localhost"));
    EXPECT_EQ(L"127.0.0.1", udp.RemoteHostIP()) << "a name leaves the address as it was";
    EXPECT_EQ(L"localhost", udp.RemoteHost());
}

TEST(Udp, RemoteHostUnderTcpMakesNoSocket)
{
    TestSocket tcp;
    ASSERT_EQ(S_OK, tcp.SetRemoteHost(L"127.0.0.255"));
    EXPECT_EQ(L"127.0.0.255", tcp.RemoteHostIP());
    EXPECT_EQ(-1, tcp.Handle());
}

} // namespace
} // namespace sockettest
