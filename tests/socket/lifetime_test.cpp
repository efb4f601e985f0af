// Objects that go away at awkward moments: inside their own events, while a
// lookup is pending, and many at once.
#include <gtest/gtest.h>
#include <functional>
#include <cstring>
#include <memory>
#include "component/com/module.h"
#include "socket_fixture.h"
#include "support/socket_support.h"

namespace sockettest {
namespace {

using namespace velkomb;

class Lifetime : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0u, support::RegisteredSocketCount()); }
    void TearDown() override
    {
        EXPECT_EQ(0u, support::RegisteredSocketCount());
        EXPECT_EQ(0u, support::PendingLookupCount());
        EXPECT_EQ(nullptr, support::WindowHandle());
    }
};

// The sink drops the test's only reference inside the event that `start`
// leads to; the object must finish the notification and then go.
void ExpectReleasedInside(DISPID event, const std::function<void(TestSocket&)>& start)
{
    auto object = std::make_unique<TestSocket>();
    TestSocket* raw = object.get();
    bool released = false;
    raw->sink().OnEvent([&](const Event& e) {
        if (e.id != event || released) return;
        released = true;
        raw->Drop();
    });
    start(*raw);
    ASSERT_TRUE(PumpUntil([&] { return released && support::RegisteredSocketCount() == 0; }));
    PumpFor(200);  // anything still queued for the socket finds no owner
    object.reset();
}

TEST_F(Lifetime, ReleasedInsideItsOwnOnDataArrival)
{
    ExpectReleasedInside(DISPID_OnDataArrival, [](TestSocket& s) { ASSERT_TRUE(s.ConnectAndWait(SendAndClosePort)); });
}

TEST_F(Lifetime, ReleasedInsideItsOwnOnClose)
{
    ExpectReleasedInside(DISPID_OnClose, [](TestSocket& s) {
        ASSERT_TRUE(s.ConnectAndWait(EchoPort));
        ASSERT_EQ(S_OK, s->CloseSocket());
    });
}

TEST_F(Lifetime, ReleasedInsideItsOwnOnError)
{
    ExpectReleasedInside(DISPID_OnError, [](TestSocket& s) { ASSERT_EQ(S_OK, s.Connect(L"127.0.0.1", RefusedPort)); });
}

// Blocks of the lookup buffer's size, taken right after a buffer was freed
// so that they reuse its memory: a late write of a lookup result into the
// freed buffer shows up as a changed pattern.
class FreedBufferWatch {
public:
    FreedBufferWatch()
    {
        for (HGLOBAL& block : blocks_) {
            block = GlobalAlloc(GMEM_FIXED, 1024);
            std::memset(block, 0xA5, 1024);
        }
    }
    ~FreedBufferWatch()
    {
        for (HGLOBAL block : blocks_) GlobalFree(block);
    }
    bool Intact() const
    {
        for (HGLOBAL block : blocks_) {
            const auto* bytes = static_cast<const unsigned char*>(block);
            for (int i = 0; i < 1024; ++i)
                if (bytes[i] != 0xA5) return false;
        }
        return true;
    }

private:
    HGLOBAL blocks_[8];
};

TEST_F(Lifetime, ReleasedWhileLookupPendingAndWindowStays)
{
    TestSocket keeper;  // keeps the window, so a late completion could arrive
    ASSERT_EQ(S_OK, keeper.Bind(0, L"127.0.0.1"));
    {
        TestSocket resolving;
        ASSERT_EQ(S_OK, resolving.Connect(L"localhost", EchoPort));
        ASSERT_EQ(1u, support::PendingLookupCount());
    }
    FreedBufferWatch watch;
    PumpFor(1000);
    EXPECT_TRUE(watch.Intact()) << "the lookup wrote into a buffer that was already freed";
    EXPECT_EQ(0u, support::PendingLookupCount());
    EXPECT_TRUE(keeper.sink().events().empty());
}

// Without another socket the window stays for the lookup's completion only.
TEST_F(Lifetime, ReleasedWhileLookupPendingAndWindowGoes)
{
    {
        TestSocket resolving;
        ASSERT_EQ(S_OK, resolving.Connect(L"localhost", EchoPort));
    }
    EXPECT_NE(nullptr, support::WindowHandle());
    FreedBufferWatch watch;
    ASSERT_TRUE(PumpUntil([] { return support::WindowHandle() == nullptr; }, 10000));
    EXPECT_TRUE(watch.Intact()) << "the lookup wrote into a buffer that was already freed";
    EXPECT_FALSE(support::ServiceStarted());
}

// No other socket keeps the window: each release leaves a lookup that only
// its completion may end. Every buffer is freed, and the window, the service
// and the lock on the module go with the last completion.
TEST_F(Lifetime, LookupsGivenUpWithTheLastSocketEndWithTheirCompletions)
{
    for (int attempt = 0; attempt < 300; ++attempt) {
        TestSocket resolving;
        ASSERT_EQ(S_OK, resolving.Connect(L"localhost", EchoPort));
        ASSERT_EQ(S_OK, resolving->CloseSocket());
        PumpFor(1);
    }
    ASSERT_TRUE(PumpUntil([] { return support::WindowHandle() == nullptr; }, 10000));
    EXPECT_EQ(0u, support::LookupBufferCount());
    EXPECT_FALSE(support::ServiceStarted());
    EXPECT_TRUE(com::CanUnload());
}

bool IsOpenSocket(SOCKET handle)
{
    int type = 0;
    int length = sizeof type;
    return getsockopt(handle, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) == 0;
}

TEST_F(Lifetime, TwoHundredSocketsOnOneThread)
{
    constexpr int count = 200;
    std::vector<SOCKET> handles;
    {
        std::vector<std::unique_ptr<TestSocket>> sockets;
        for (int i = 0; i < count; ++i) {
            sockets.push_back(std::make_unique<TestSocket>());
            sockets.back()->CollectArrivals();
            ASSERT_EQ(S_OK, sockets.back()->Connect(L"127.0.0.1", EchoPort)) << "socket " << i;
            handles.push_back(static_cast<SOCKET>(sockets.back()->Handle()));
        }
        EXPECT_EQ(static_cast<size_t>(count), support::RegisteredSocketCount());
        ASSERT_TRUE(PumpUntil([&] {
            for (auto& socket : sockets)
                if (socket->State() != sckConnected) return false;
            return true;
        }, 30000));
        for (int i = 0; i < count; ++i) ASSERT_EQ(S_OK, sockets[i]->Send(Text(std::to_wstring(i))));
        ASSERT_TRUE(PumpUntil([&] {
            for (int i = 0; i < count; ++i)
                if (sockets[i]->received() != std::to_string(i)) return false;
            return true;
        }, 30000));
    }
    EXPECT_EQ(nullptr, support::WindowHandle());
    EXPECT_FALSE(support::ServiceStarted());
    int open = 0;
    for (SOCKET handle : handles) open += IsOpenSocket(handle);
    EXPECT_EQ(0, open) << "sockets left open after their objects went";
}

} // namespace
} // namespace sockettest
