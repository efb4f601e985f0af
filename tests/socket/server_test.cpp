// A listening CSocket and the object that accepts its connection request,
// with the connect-back peer as the remote client.
#include <gtest/gtest.h>
#include <memory>
#include "socket_fixture.h"
#include "support/socket_support.h"

namespace sockettest {
namespace {

using namespace velkomb;

LONG BoundPort(LONG handle)
{
    sockaddr_in address{};
    int length = sizeof address;
    if (getsockname(static_cast<SOCKET>(handle), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

bool IsOpenSocket(LONG handle)
{
    int type = 0;
    int length = sizeof type;
    return getsockopt(static_cast<SOCKET>(handle), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) == 0;
}

TEST(Server, AcceptedConnectionCarriesDataBothWays)
{
    TestSocket listener;
    ASSERT_EQ(S_OK, listener->Listen());
    EXPECT_EQ(sckListening, listener.State());
    const LONG port = BoundPort(listener.Handle());
    ASSERT_NE(0, port) << "bound to a port the platform chose";

    // The accepting object owns a socket already: Accept replaces it.
    TestSocket accepted;
    ASSERT_EQ(S_OK, accepted.Bind(0, L"127.0.0.1"));
    const LONG previous = accepted.Handle();
    accepted.CollectArrivals();
    LONG requestID = -1;
    listener.sink().OnEvent([&](const Event& event) {
        if (event.id != DISPID_OnConnectionRequest) return;
        requestID = event.LongArg(0);
        EXPECT_EQ(S_OK, accepted->Accept(&requestID));
    });

    TestSocket client;
    client.CollectArrivals();
    ASSERT_TRUE(client.ConnectAndWait(ConnectBackPort));
    const std::string command = "CONNECT " + std::to_string(port) + "\n";
    ASSERT_EQ(S_OK, client.Send(Text(std::wstring(command.begin(), command.end()))));

    ASSERT_TRUE(listener.WaitForEvent(DISPID_OnConnectionRequest));
    EXPECT_NE(-1, requestID);
    EXPECT_EQ(sckListening, listener.State());
    EXPECT_EQ(sckConnected, accepted.State());
    EXPECT_EQ(requestID, accepted.Handle());
    EXPECT_FALSE(IsOpenSocket(previous)) << "the socket Accept replaced is closed";
    EXPECT_EQ(port, accepted.LocalPort());
    EXPECT_EQ(L"127.0.0.1", accepted.LocalIP());
    EXPECT_EQ(L"127.0.0.1", accepted.RemoteHostIP());
    EXPECT_EQ(L"127.0.0.1", accepted.RemoteHost());
    EXPECT_NE(0, accepted.RemotePort());

    ASSERT_TRUE(PumpUntil([&] { return accepted.received() == "hello server"; }));
    ASSERT_EQ(S_OK, accepted.Send(Text(L"welcome")));
    ASSERT_TRUE(accepted.WaitForEvent(DISPID_OnSendComplete));
    ASSERT_EQ(S_OK, accepted->CloseSocket());
    ASSERT_TRUE(accepted.WaitForEvent(DISPID_OnClose));
    ASSERT_TRUE(client.WaitForEvent(DISPID_OnClose));
    EXPECT_EQ("REPLY 77656c636f6d65\n", client.received());  // hex of "welcome"
    EXPECT_EQ(sckListening, listener.State());
}

// Without Accept the request's handle belongs to nobody; Accept with a handle
// whose registration fails leaves the state alone and raises nothing, and
// -1 (what OnConnectionRequest reports when accepting failed) leaves no
// entry behind that would keep the window, the service and the released
// object's address.
TEST(Server, AcceptOfUnusableHandleKeepsState)
{
    const size_t registered = support::RegisteredSocketCount();
    {
        TestSocket accepted;
        for (LONG unusable : {0x7FFFFFF0L, -1L}) {
            EXPECT_EQ(S_OK, accepted->Accept(&unusable));
            EXPECT_EQ(sckClosed, accepted.State());
            EXPECT_EQ(-1, accepted.Handle());
            EXPECT_EQ(registered, support::RegisteredSocketCount()) << unusable;
        }
    }
    EXPECT_EQ(registered, support::RegisteredSocketCount());
    EXPECT_EQ(registered == 0, support::WindowHandle() == nullptr);
}

// A socket another object owns, as its connection or made by its vbSocket,
// is not taken over: the object that tried goes without closing or
// unregistering it, and the owner goes without failing.
TEST(Server, AcceptLeavesAnotherObjectsSocketAlone)
{
    auto owner = std::make_unique<TestSocket>();
    owner->CollectArrivals();
    ASSERT_TRUE(owner->ConnectAndWait(EchoPort));
    const LONG connection = owner->Handle();
    LONG extra = -1;
    ASSERT_EQ(S_OK, (*owner)->vbSocket(&extra));
    const size_t registered = support::RegisteredSocketCount();
    {
        TestSocket intruder;
        for (LONG owned : {connection, extra}) {
            EXPECT_EQ(S_OK, intruder->Accept(&owned));
            EXPECT_EQ(-1, intruder.Handle());
            EXPECT_EQ(sckClosed, intruder.State());
        }
    }
    EXPECT_EQ(registered, support::RegisteredSocketCount());
    EXPECT_TRUE(IsOpenSocket(connection));
    EXPECT_TRUE(IsOpenSocket(extra));
    ASSERT_EQ(S_OK, owner->Send(Text(L"still mine")));
    ASSERT_TRUE(PumpUntil([&] { return owner->received() == "still mine"; }));
    owner.reset();
    EXPECT_FALSE(IsOpenSocket(extra));
}

} // namespace
} // namespace sockettest
