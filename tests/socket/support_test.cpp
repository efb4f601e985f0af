// The per-thread support module seen from outside: the hidden window's life,
// its window procedure, the Winsock service and the lookup table.
#include <gtest/gtest.h>
#include <thread>
#include "automation/error.h"
#include "component/com/module.h"
#include "socket_fixture.h"
#include "support/socket_support.h"

namespace sockettest {
namespace {

using namespace velkomb;

HWND FindSocketWindow() { return FindWindowA("STATIC", "SOCKET_WINDOW"); }

UINT ResolveMessage()
{
    char path[MAX_PATH];
    std::string name(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
    name.erase(0, name.find_last_of("\\/") + 1);
    name.erase(name.find_last_of('.'));
    return RegisterWindowMessageA((name + ".ResolveMessage").c_str());
}

class SupportModule : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0u, support::RegisteredSocketCount()) << "an earlier test left a socket behind";
        ASSERT_EQ(nullptr, support::WindowHandle());
    }
};

TEST_F(SupportModule, WindowLivesFromFirstRegistrationToLast)
{
    EXPECT_EQ(nullptr, FindSocketWindow());
    auto first = std::make_unique<TestSocket>();
    auto second = std::make_unique<TestSocket>();
    EXPECT_EQ(nullptr, support::WindowHandle()) << "objects without sockets need no window";

    ASSERT_EQ(S_OK, first->Bind(0, L"127.0.0.1"));
    const HWND window = support::WindowHandle();
    ASSERT_NE(nullptr, window);
    EXPECT_EQ(window, FindSocketWindow());
    ASSERT_EQ(S_OK, second->Bind(0, L"127.0.0.1"));
    EXPECT_EQ(window, support::WindowHandle());
    EXPECT_EQ(2u, support::RegisteredSocketCount());

    first.reset();
    EXPECT_EQ(window, support::WindowHandle());
    second.reset();
    EXPECT_EQ(nullptr, support::WindowHandle());
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(nullptr, FindSocketWindow());

    TestSocket third;
    ASSERT_EQ(S_OK, third.Bind(0, L"127.0.0.1"));
    EXPECT_NE(nullptr, support::WindowHandle()) << "the next registration makes a new window";
}

TEST_F(SupportModule, WindowProcedureForwardsOtherMessagesUnchanged)
{
    TestSocket owner;
    ASSERT_EQ(S_OK, owner.Bind(0, L"127.0.0.1"));
    const HWND window = support::WindowHandle();
    EXPECT_TRUE(SendMessageA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("forwarded")));
    char text[32] = {};
    EXPECT_EQ(9, SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text)));
    EXPECT_STREQ("forwarded", text);
}

TEST_F(SupportModule, NotificationsReachOnlyTheOwnerOfTheHandle)
{
    TestSocket client;
    ASSERT_TRUE(client.ConnectAndWait(EchoPort));
    client.sink().Clear();
    const HWND window = support::WindowHandle();

    EXPECT_EQ(0, SendMessageA(window, support::WinsockMessage(), 0x7FFF0, MAKELPARAM(FD_CLOSE, 0)));
    EXPECT_EQ(0, SendMessageA(window, support::WinsockMessage(), 0x7FFF0, MAKELPARAM(FD_CONNECT, WSAECONNREFUSED)));
    EXPECT_EQ(0, SendMessageA(window, ResolveMessage(), 0x7FFF0, MAKELPARAM(0, WSAHOST_NOT_FOUND)));
    EXPECT_TRUE(client.sink().events().empty());
    EXPECT_EQ(sckConnected, client.State());

    // The owner's handle: low word event, high word error.
    EXPECT_EQ(0, SendMessageA(window, support::WinsockMessage(), static_cast<WPARAM>(client.Handle()),
                              MAKELPARAM(FD_CONNECT, WSAECONNREFUSED)));
    const Event* error = client.sink().Last(DISPID_OnError);
    ASSERT_NE(nullptr, error);
    EXPECT_EQ(WSAECONNREFUSED, error->LongArg(0));
    EXPECT_EQ(sckError, client.State());
}

// Windows fails every socket call after the thread's last WSACleanup (Wine
// does not), so the service must outlive every object that may still call.
TEST_F(SupportModule, ServiceRunsWhileAnObjectLives)
{
    ASSERT_FALSE(support::ServiceStarted());
    auto idle = std::make_unique<TestSocket>();
    EXPECT_TRUE(support::ServiceStarted()) << "started by the first object";
    auto busy = std::make_unique<TestSocket>();
    ASSERT_EQ(S_OK, busy->Bind(0, L"127.0.0.1"));

    idle.reset();
    EXPECT_TRUE(support::ServiceStarted()) << "a socket is still registered";
    busy.reset();
    EXPECT_FALSE(support::ServiceStarted());

    auto first = std::make_unique<TestSocket>();
    auto second = std::make_unique<TestSocket>();
    first.reset();
    EXPECT_TRUE(support::ServiceStarted()) << "the second object has no socket yet, but will need one";
    ASSERT_TRUE(second->ConnectAndWait(EchoPort));
    second.reset();
    EXPECT_FALSE(support::ServiceStarted());
}

TEST_F(SupportModule, EachThreadHasItsOwnServiceAndWindow)
{
    TestSocket here;
    ASSERT_EQ(S_OK, here.Bind(0, L"127.0.0.1"));
    HWND otherWindow = nullptr;
    bool otherStartedBefore = true;
    bool otherStoppedAfter = false;
    std::thread other([&] {
        otherStartedBefore = support::ServiceStarted();
        {
            TestSocket there;
            there.Bind(0, L"127.0.0.1");
            otherWindow = support::WindowHandle();
        }
        otherStoppedAfter = !support::ServiceStarted() && !support::WindowHandle();
    });
    other.join();
    EXPECT_FALSE(otherStartedBefore);
    EXPECT_NE(nullptr, otherWindow);
    EXPECT_NE(support::WindowHandle(), otherWindow);
    EXPECT_TRUE(otherStoppedAfter);
    EXPECT_TRUE(support::ServiceStarted());
    EXPECT_EQ(1u, support::RegisteredSocketCount());
}

TEST_F(SupportModule, TwoObjectsResolveAtOnce)
{
    TestSocket first;
    TestSocket second;
    ASSERT_EQ(S_OK, first.Connect(L"localhost", EchoPort));
    ASSERT_EQ(S_OK, second.Connect(L"localhost", EchoPort));
    EXPECT_EQ(2u, support::PendingLookupCount());
    ASSERT_TRUE(PumpUntil([&] {
        return first.sink().Count(DISPID_OnConnect) && second.sink().Count(DISPID_OnConnect);
    }));
    EXPECT_EQ(0u, support::PendingLookupCount());
    EXPECT_EQ(L"127.0.0.1", first.RemoteHostIP());
    EXPECT_EQ(L"127.0.0.1", second.RemoteHostIP());
}

// An older lookup of the same object completes too, but only the current
// one may act.
TEST_F(SupportModule, OnlyTheLatestLookupOfAnObjectActs)
{
    TestSocket client;
    ASSERT_EQ(S_OK, client.Connect(L"localhost", EchoPort));
    ASSERT_EQ(S_OK, client.Connect(L"localhost", EchoPort));
    EXPECT_EQ(2u, support::PendingLookupCount()) << "each lookup has its own entry and buffer";
    ASSERT_TRUE(client.WaitForEvent(DISPID_OnConnect));
    ASSERT_TRUE(PumpUntil([] { return support::PendingLookupCount() == 0; }));
    PumpFor(200);
    EXPECT_EQ(1u, client.sink().Count(DISPID_OnConnect));
    EXPECT_EQ(0u, client.sink().Count(DISPID_OnError));
    EXPECT_EQ(sckConnected, client.State());
}

struct IdleTarget final : support::SocketEventTarget {
    void KeepAlive() override {}
    void LetGo() override {}
    void PostSocketEvent(SOCKET, long, long) override {}
    void PostGetHostEvent(long, uint32_t, const std::wstring&, long) override {}
};

long RecordedErrorNumber()
{
    try {
        support::RaiseRecordedError();
    } catch (const automation::AutomationError& error) {
        return error.number;
    }
}

struct RecordingTarget final : support::SocketEventTarget {
    void KeepAlive() override {}
    void LetGo() override {}
    void PostSocketEvent(SOCKET, long event, long) override { events.push_back(event); }
    void PostGetHostEvent(long, uint32_t, const std::wstring&, long) override {}
    std::vector<long> events;
};

// Whatever handle value the platform gives the next socket (Wine gives the
// last one's at once), what was queued for a socket before it was
// unregistered reaches no one, and what is queued after reaches the new
// owner. Another socket keeps the window, and so the queue.
TEST_F(SupportModule, QueuedNotificationsEndWithTheirRegistration)
{
    IdleTarget keeperTarget;
    RecordingTarget closed, next;
    const SOCKET keeper = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const SOCKET reused = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_TRUE(support::RegisterSocket(keeper, &keeperTarget));
    ASSERT_TRUE(support::RegisterSocket(reused, &closed));
    PostMessageA(support::WindowHandle(), support::WinsockMessage(), reused, MAKELPARAM(FD_CLOSE, 0));
    ASSERT_TRUE(support::UnregisterSocket(reused, &closed));
    ASSERT_TRUE(support::RegisterSocket(reused, &next));
    PostMessageA(support::WindowHandle(), support::WinsockMessage(), reused, MAKELPARAM(FD_READ, 0));
    PumpFor(100);
    EXPECT_TRUE(closed.events.empty());
    EXPECT_EQ(std::vector<long>{FD_READ}, next.events);
    EXPECT_TRUE(support::UnregisterSocket(reused, &next));
    EXPECT_TRUE(support::UnregisterSocket(keeper, &keeperTarget));
    closesocket(reused);
    closesocket(keeper);
}

// The hidden window's procedure is the module's: while the window exists the
// host must not unload the module, also when no object is left.
TEST_F(SupportModule, WindowKeepsTheModuleLoaded)
{
    IdleTarget target;
    const SOCKET raw = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(INVALID_SOCKET, raw);
    ASSERT_TRUE(com::CanUnload()) << "an earlier test left an object or lock behind";
    ASSERT_TRUE(support::RegisterSocket(raw, &target));
    EXPECT_NE(nullptr, support::WindowHandle());
    EXPECT_FALSE(com::CanUnload());
    EXPECT_TRUE(support::UnregisterSocket(raw, &target));
    EXPECT_EQ(nullptr, support::WindowHandle());
    EXPECT_TRUE(com::CanUnload());
    closesocket(raw);
}

// A handle that is no socket: the asynchronous selection fails, and the
// registration must not keep its entry (a second attempt would otherwise
// find the key taken).
TEST_F(SupportModule, FailedSelectionWithdrawsTheEntry)
{
    IdleTarget target;
    const SOCKET notASocket = 0x7FFF0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_FALSE(support::RegisterSocket(notASocket, &target));
        EXPECT_EQ(WSAENOTSOCK, RecordedErrorNumber()) << "attempt " << attempt;
        EXPECT_EQ(0u, support::RegisteredSocketCount());
        EXPECT_EQ(nullptr, support::WindowHandle());
    }
}

// The error recorded by a failed call is not the one a later call reports:
// whoever starts an operation that may record one clears it.
TEST_F(SupportModule, RecordedErrorBelongsToTheLastCall)
{
    TestSocket client;
    ASSERT_EQ(S_OK, client.Bind(0, L"127.0.0.1"));
    IdleTarget target;
    EXPECT_FALSE(support::RegisterSocket(0x7FFF0, &target));
    ASSERT_EQ(WSAENOTSOCK, RecordedErrorNumber());
    ASSERT_EQ(S_OK, client.Connect(L"localhost", EchoPort));  // a lookup that starts
    EXPECT_EQ(5, RecordedErrorNumber()) << "nothing recorded";
    ASSERT_TRUE(client.WaitForEvent(DISPID_OnConnect));
}

} // namespace
} // namespace sockettest
