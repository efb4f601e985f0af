// Faults and lifetimes against the fake device: a device that drops the
// connection in a poll loop, many connect/close cycles on one object, the host releasing the object from inside NewDataIn, nested
// calls from inside NewDataIn, many objects on one thread, and objects on
// several threads at once, each thread with its own window and service.
#include <gtest/gtest.h>
#include <atomic>
#include <memory>
#include <thread>
#include "tests/support/client_driver.h"
#include "tests/support/test_support.h"

using testsupport::DrivenClient;

namespace {

// One FC3 transaction; true when it decoded the device's registers.
bool ReadsRegisters(DrivenClient& mb, long start, long count)
{
    mb.Request(L"3", start, count);
    if (mb->Execute() != S_OK || mb.Text(&velkomb::_VelkoMB::get_WatchdogError) != L"0") return false;
    std::vector<long> expected;
    for (long i = 0; i < count; ++i) expected.push_back(1000 + start + i);
    return mb.Values() == expected;
}

bool WaitForState(DrivenClient& mb, const wchar_t* state, DWORD milliseconds)
{
    const ULONGLONG end = GetTickCount64() + milliseconds;
    while (mb.State() != state && GetTickCount64() < end) testsupport::PumpFor(1);
    return mb.State() == state;
}

class Lifetimes : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(testsupport::Control("--mode normal")); }
};

TEST_F(Lifetimes, ThousandConnectCloseCyclesOnOneObject)
{
    DrivenClient mb;
    for (int cycle = 0; cycle < 1000; ++cycle) {
        ASSERT_TRUE(mb.Connect()) << cycle;
        ASSERT_EQ(mb->Disconnect(), S_OK) << cycle;
        ASSERT_TRUE(WaitForState(mb, L"0", 2000)) << cycle;
    }
    ASSERT_TRUE(mb.Connect());
    EXPECT_TRUE(ReadsRegisters(mb, 5, 3));
}

TEST_F(Lifetimes, DeviceRestartsDuringAPollLoop)
{
    // A poll loop as users write it: reconnect whenever the connection is
    // gone. Twice the device drops the connection instead of answering.
    DrivenClient mb;
    ASSERT_TRUE(mb.Connect());
    int decoded = 0, reconnects = 0;
    for (long poll = 0; poll < 30; ++poll) {
        if (poll == 10 || poll == 20) {
            ASSERT_TRUE(testsupport::Control("--mode close-mid-reply --length 0 --once"));
        }
        if (mb.State() != L"7") {
            ++reconnects;
            ASSERT_TRUE(mb.Connect()) << poll;
        }
        if (ReadsRegisters(mb, poll, 1)) ++decoded;
    }
    EXPECT_EQ(reconnects, 2);
    EXPECT_EQ(decoded, 28);
}

TEST_F(Lifetimes, ReleasingTheObjectInsideNewDataInEndsExecuteCleanly)
{
    auto mb = std::make_unique<DrivenClient>();
    ASSERT_TRUE(mb->Connect());
    mb->onNewData = [&] { mb->ReleaseObject(); };
    mb->Request(L"3", 0, 1);
    EXPECT_EQ((*mb)->Execute(), S_OK);  // the call holds the object until it returns
}

TEST_F(Lifetimes, NestedCallsInsideNewDataIn)
{
    DrivenClient mb;
    ASSERT_TRUE(mb.Connect());
    HRESULT nestedConnect = E_FAIL, nestedExecute = E_FAIL, nestedDisconnect = E_FAIL;
    int depth = 0;
    mb.onNewData = [&] {
        if (++depth > 1) return;  // the nested Execute raises NewDataIn itself
        nestedExecute = mb->Execute();
        nestedDisconnect = mb->Disconnect();
        nestedConnect = mb->Connect();
    };
    mb.Request(L"3", 0, 1);
    EXPECT_EQ(mb->Execute(), S_OK);
    EXPECT_EQ(nestedExecute, S_OK);
    EXPECT_EQ(nestedDisconnect, S_OK);
    EXPECT_EQ(nestedConnect, S_OK);
    mb.onNewData = nullptr;
    ASSERT_TRUE(WaitForState(mb, L"7", 2000));
    EXPECT_TRUE(ReadsRegisters(mb, 7, 2));
}

TEST_F(Lifetimes, TwoHundredObjectsOnOneThread)
{
    std::vector<std::unique_ptr<DrivenClient>> objects;
    for (int i = 0; i < 200; ++i) {
        objects.push_back(std::make_unique<DrivenClient>());
        ASSERT_TRUE(objects.back()->Connect()) << i;
    }
    for (size_t i = 0; i < objects.size(); ++i) EXPECT_TRUE(ReadsRegisters(*objects[i], i % 100, 2)) << i;
    // Released in creation order, the rest keep working.
    for (size_t i = 0; i < objects.size(); i += 2) objects[i].reset();
    for (size_t i = 1; i < objects.size(); i += 2) EXPECT_TRUE(ReadsRegisters(*objects[i], 3, 1)) << i;
}

TEST_F(Lifetimes, ObjectsOnSeveralThreadsEachWithTheirOwnService)
{
    constexpr int kThreads = 4, kObjects = 5, kTransactions = 50;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            {
                std::vector<std::unique_ptr<DrivenClient>> objects;
                for (int i = 0; i < kObjects; ++i) {
                    objects.push_back(std::make_unique<DrivenClient>());
                    if (!objects.back()->Connect()) return;
                }
                for (int n = 0; n < kTransactions; ++n)
                    for (auto& mb : objects) good += ReadsRegisters(*mb, (t * 10 + n) % 100, 1 + n % 3);
            }
            CoUninitialize();
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(good, kThreads * kObjects * kTransactions);
}

} // namespace
