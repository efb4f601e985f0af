// VelkoMB end to end against device servers on 127.0.0.1:502: the real ones
// (a pymodbus and a libmodbus server, same register map) and a scriptable
// fake device for what real devices rarely do.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>
#include <functional>
#include <string>
#include <vector>
#include "automation/bstr.h"
#include "automation/safearray.h"
#include "tests/support/client_driver.h"
#include "tests/support/test_support.h"


namespace {

using Client = testsupport::DrivenClient;
using testsupport::Control;
using testsupport::PumpFor;

std::vector<long> Range(long first, long count, long step = 1)
{
    std::vector<long> values;
    for (long i = 0; i < count; ++i) values.push_back(first + i * step);
    return values;
}

TEST(RealDevice, ReadsEveryTableAndWritesReadBack)
{
    Client mb;
    ASSERT_TRUE(mb.Connect());

    mb.Request(L"3", 0, 10);
    int before = mb.events;
    ASSERT_EQ(mb->Execute(), S_OK);
    EXPECT_EQ(mb.events, before + 1) << "NewDataIn before Execute returns";
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"0");
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"3");
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ExceptCode), L"0");
    EXPECT_EQ(mb.Values(), Range(1000, 10));

    mb.Request(L"4", 5, 3);
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(2005, 3));

    mb.Request(L"1", 0, 10);
    mb->Execute();
    std::vector<long> coils = mb.Values();
    ASSERT_EQ(coils.size(), 16u);  // two bytes of coils
    for (long i = 0; i < 10; ++i) EXPECT_EQ(coils[i], i % 3 == 0 ? 1 : 0) << i;

    mb.Request(L"2", 0, 8);
    mb->Execute();
    EXPECT_EQ(mb.Values(), std::vector<long>({1, 0, 1, 0, 1, 0, 1, 0}));

    mb.Write(L"6", 50, {4242});
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"6");
    mb.Write(L"16", 51, {65535, 7});
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"16");
    mb.Request(L"3", 50, 3);
    mb->Execute();
    EXPECT_EQ(mb.Values(), std::vector<long>({4242, 65535, 7}));

    mb.Write(L"5", 20, {65280});
    mb->Execute();
    mb.Write(L"15", 21, {1, 1, 0, 1});
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"15");
    mb.Request(L"1", 20, 5);
    mb->Execute();
    std::vector<long> written = mb.Values();
    ASSERT_GE(written.size(), 5u);
    EXPECT_EQ(std::vector<long>(written.begin(), written.begin() + 5), std::vector<long>({1, 1, 1, 0, 1}));

    mb.Write(L"23", 70, {321});
    mb.Request(L"23", 70, 2);
    mb.Set(&velkomb::_VelkoMB::put_MBFunCode, L"23");
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"23");
    EXPECT_EQ(mb.Values(), std::vector<long>({321, 1071}));
}

TEST(RealDevice, ExceptionReplyKeepsTheLastValues)
{
    Client mb;
    ASSERT_TRUE(mb.Connect());
    mb.Request(L"3", 0, 2);
    mb->Execute();
    mb.Request(L"3", 250, 2);
    int before = mb.events;
    mb->Execute();
    EXPECT_EQ(mb.events, before + 1);
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"131");
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ExceptCode), L"2");
    EXPECT_EQ(mb.Values(), Range(1000, 2));
    mb.Request(L"3", 1, 1);
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ExceptCode), L"0");
}

TEST(RealDevice, DisconnectClosesGracefullyAndConnectComesBack)
{
    Client mb;
    ASSERT_TRUE(mb.Connect());
    ASSERT_EQ(mb->Disconnect(), S_OK);
    EXPECT_EQ(mb.State(), L"8");
    for (int i = 0; i < 100 && mb.State() != L"0"; ++i) PumpFor(20);
    EXPECT_EQ(mb.State(), L"0");
    // Nothing is sent while disconnected.
    mb.Request(L"3", 0, 1);
    EXPECT_EQ(mb->Execute(), S_OK);
    ASSERT_TRUE(mb.Connect());
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(1000, 1));
    // Connect while connected makes way for the new connection.
    ASSERT_TRUE(mb.Connect());
    mb.Request(L"3", 2, 1);
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(1002, 1));
}

TEST(RealDevice, BadSettingsRaiseAndLeaveTheClientReady)
{
    Client mb;
    ASSERT_TRUE(mb.Connect());
    mb.Request(L"abc", 0, 1);
    EXPECT_EQ(mb->Execute(), static_cast<HRESULT>(0x800A000D));
    mb.Request(L"3", 65536, 1);
    EXPECT_EQ(mb->Execute(), static_cast<HRESULT>(0x800A0006));
    mb.Write(L"16", 0, {1});
    mb.Set(&velkomb::_VelkoMB::put_NrWRegisters, L"3");  // more than the array holds
    EXPECT_EQ(mb->Execute(), static_cast<HRESULT>(0x800A0009));
    // Nothing was outstanding: the next request goes out.
    mb.Request(L"3", 3, 1);
    EXPECT_EQ(mb->Execute(), S_OK);
    EXPECT_EQ(mb.Values(), Range(1003, 1));
    mb.Set(&velkomb::_VelkoMB::put_ResponseWatchdog, L"256");
    EXPECT_EQ(mb->Execute(), static_cast<HRESULT>(0x800A0006));
}

TEST(RealDevice, WriteArrayIsCopiedWhenSet)
{
    Client mb;
    ASSERT_TRUE(mb.Connect());
    mb.Set(&velkomb::_VelkoMB::put_MBFunCode, L"16");
    mb.Set(&velkomb::_VelkoMB::put_StartWAddress, L"80");
    mb.Set(&velkomb::_VelkoMB::put_NrWRegisters, L"2");
    automation::Variant array = automation::VariantArray(1);
    VARIANT v;
    V_VT(&v) = VT_I4;
    V_I4(&v) = 11;
    automation::PutElement(*array.get(), 0, v);
    automation::PutElement(*array.get(), 1, v);
    // The host passes its own variable by reference, then changes it.
    VARIANT byRef;
    V_VT(&byRef) = VT_VARIANT | VT_BYREF;
    V_VARIANTREF(&byRef) = array.get();
    ASSERT_EQ(mb->put_arwWReg(&byRef), S_OK);
    V_I4(&v) = 99;
    automation::PutElement(*array.get(), 1, v);
    mb->Execute();
    mb.Request(L"3", 80, 2);
    mb->Execute();
    EXPECT_EQ(mb.Values(), std::vector<long>({11, 11}));
    // arwReg hands out copies too.
    automation::Variant first, second;
    mb->get_arwReg(first.get());
    automation::PutElement(*first.get(), 1, v);
    mb->get_arwReg(second.get());
    EXPECT_EQ(V_I2(automation::ElementOf(*second.get(), 1).get()), 11);
}

TEST(RealDevice, QuitRequestedDuringTheWaitReachesTheHost)
{
    Client mb;
    ASSERT_TRUE(mb.Connect());
    PostQuitMessage(7);
    mb.Request(L"3", 0, 1);
    ASSERT_EQ(mb->Execute(), S_OK);
    EXPECT_EQ(mb.Values(), Range(1000, 1));
    MSG message;
    ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 7u);
}

// --- The fake device, switched through its control port ---

class FakeDevice : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Control("--mode normal")); }
    void TearDown() override { EXPECT_TRUE(Control("--mode normal")); }
};

TEST_F(FakeDevice, SplitReplyIsDecodedWhole)
{
    Client mb;
    ASSERT_TRUE(mb.Connect());
    // The last one delivers the 15-byte reply one byte at a time.
    for (const char* cuts : {"1,8,9", "7,8", "9,10,11,12", "3", "1,2,3,4,5,6,7,8,9,10,11,12,13,14"}) {
        ASSERT_TRUE(Control(std::string("--mode split --pause 0.02 --split-at ") + cuts));
        mb.Request(L"3", 10, 3);
        int before = mb.events;
        mb->Execute();
        EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"0") << cuts;
        EXPECT_EQ(mb.events, before + 1) << cuts;
        EXPECT_EQ(mb.Values(), Range(1010, 3)) << cuts;
    }
}

// The bytes beyond one reply are the next one: both are decoded and
// announced, in order, and the exception keeps the values of the read. The
// start of a reply that never completes is gone after a new Connect.
TEST_F(FakeDevice, MergedRepliesAreDecodedInTurn)
{
    Client mb;
    ASSERT_TRUE(mb.Connect());
    ASSERT_TRUE(Control("--mode merged --once"));
    mb.Request(L"3", 0, 2);
    const int before = mb.events;
    mb->Execute();
    EXPECT_EQ(mb.events, before + 2);
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"131");
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ExceptCode), L"2");
    EXPECT_EQ(mb.Values(), Range(1000, 2));

    ASSERT_TRUE(Control("--mode raw --reply '0b00 0000 0005 01 03 02 0007 0b00 00' --once"));
    mb->Execute();
    EXPECT_EQ(mb.Values(), std::vector<long>({7}));
    ASSERT_TRUE(mb.Connect());
    mb.Request(L"3", 9, 1);
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(1009, 1));
}

// A reply ends where its header's length says, whatever its function code:
// a write reply in two pieces leaves nothing in front of the next reply, and
// a register reply with an odd byte count is complete without a byte more.
TEST_F(FakeDevice, RepliesEndWhereTheirLengthSays)
{
    Client mb;
    ASSERT_TRUE(mb.Connect());
    ASSERT_TRUE(Control("--mode split --split-at 8 --pause 0.05 --once"));
    mb.Write(L"16", 5, {7, 8});
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"16");
    mb.Request(L"3", 20, 2);
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"3");
    EXPECT_EQ(mb.Values(), Range(1020, 2));

    ASSERT_TRUE(Control("--mode raw --reply '0b00 0000 000a 01 03 07 0001 0002 0003 12' --once"));
    const int before = mb.events;
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"0");
    EXPECT_EQ(mb.events, before + 1);
    EXPECT_EQ(mb.Values(), std::vector<long>({1, 2, 3, -1}));
}

// No reply carries a length below 2 or above 254: where the next reply
// starts is unknown, so what arrives is dropped, the wait ends by the
// watchdog and the next request starts clean.
TEST_F(FakeDevice, ImpossibleLengthEndsInTheWatchdog)
{
    Client mb;
    ASSERT_TRUE(mb.Connect());
    for (const char* length : {"0000", "012c"}) {
        ASSERT_TRUE(Control(std::string("--mode raw --reply '0b00 0000 ") + length + " 01 03 02 0001' --once"));
        mb.Request(L"3", 0, 1);
        const int before = mb.events;
        mb->Execute();
        EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"1") << length;
        EXPECT_EQ(mb.events, before) << length;
        mb.Request(L"3", 30, 1);
        mb->Execute();
        EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"0") << length;
        EXPECT_EQ(mb.Values(), Range(1030, 1)) << length;
    }
}

// The device drops an idle connection while the host is not pumping, and
// the host connects again before the close was handled: the close belongs
// to the old connection, whatever handle value the new socket gets. Another
// client keeps the hidden window, and so the queued close.
TEST_F(FakeDevice, ReconnectAfterTheDeviceDroppedTheConnection)
{
    Client keeper;
    ASSERT_TRUE(keeper.Connect());
    Client mb;
    ASSERT_TRUE(Control("--mode close-on-accept --delay 0.2 --once"));
    ASSERT_TRUE(mb.Connect());
    Sleep(500);
    ASSERT_TRUE(mb.Connect());
    PumpFor(200);
    EXPECT_EQ(mb.State(), L"7");
    mb.Request(L"3", 40, 1);
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(1040, 1));
}

TEST_F(FakeDevice, SilenceEndsInTheWatchdogAndTheNextRequestRecovers)
{
    Client mb;
    mb.Set(&velkomb::_VelkoMB::put_ResponseWatchdog, L"1");
    ASSERT_TRUE(mb.Connect());
    ASSERT_TRUE(Control("--mode silent"));
    mb.Request(L"3", 0, 1);
    const ULONGLONG start = GetTickCount64();
    mb->Execute();
    const ULONGLONG waited = GetTickCount64() - start;
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"1");
    EXPECT_GE(waited, 1000u);
    EXPECT_LT(waited, 3000u);
    // A reply that never completes ends the same way.
    ASSERT_TRUE(Control("--mode truncated --length 10"));
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"1");
    ASSERT_TRUE(Control("--mode normal"));
    mb.Request(L"3", 4, 1);
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"0");
}

TEST_F(FakeDevice, LateReplyIsNotTakenForTheNextOne)
{
    Client mb;
    mb.Set(&velkomb::_VelkoMB::put_ResponseWatchdog, L"1");
    ASSERT_TRUE(mb.Connect());
    ASSERT_TRUE(Control("--mode delay --delay 1.5"));
    mb.Request(L"3", 0, 1);
    mb->Execute();
    ASSERT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"1");
    ASSERT_TRUE(Control("--mode normal"));
    Sleep(1500);  // the late reply is waiting, not yet handled
    mb.Request(L"3", 100, 1);
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(1100, 1));
}

TEST_F(FakeDevice, ResetMidReplyLeavesAClientThatReconnects)
{
    Client mb;
    mb.Set(&velkomb::_VelkoMB::put_ResponseWatchdog, L"1");
    ASSERT_TRUE(mb.Connect());
    ASSERT_TRUE(Control("--mode reset-mid-reply --length 8 --pause 0.05"));
    mb.Request(L"3", 0, 1);
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"1");
    // Wine reports a reset after data as a close without error, Windows as
    // error 10054: either way the connection is gone.
    EXPECT_NE(mb.State(), L"7");
    ASSERT_TRUE(Control("--mode normal"));
    ASSERT_TRUE(mb.Connect());
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(1000, 1));
}

TEST_F(FakeDevice, NestedExecuteInsideNewDataInReturnsAtOnce)
{
    Client mb;
    ASSERT_TRUE(mb.Connect());
    HRESULT nested = E_FAIL;
    mb.onNewData = [&] {
        mb.onNewData = nullptr;
        nested = mb->Execute();  // the reply was handled: this one is a real request
    };
    mb.Request(L"3", 0, 1);
    mb->Execute();
    EXPECT_EQ(nested, S_OK);
    EXPECT_EQ(mb.Values(), Range(1000, 1));
}

} // namespace
