// VelkoMB end to end against device servers on 127.0.0.1:502: the real ones
// (a pymodbus and a libmodbus server, same register map) and a scriptable
// fake device for what real devices rarely do.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>
#include <algorithm>
#include <functional>
#include <string>
#include <vector>
#include "automation/bstr.h"
#include "automation/safearray.h"
#include "socket/csocket.h"
#include "support/error_texts.h"
#include "support/socket_support.h"
#include "support/timers.h"
#include "support/wakeups.h"
#include "tests/support/client_driver.h"
#include "tests/support/test_support.h"

namespace {

using Client = testsupport::DrivenClient;
using testsupport::Arg;
using testsupport::Control;
using testsupport::PumpFor;

// The runtime's texts of the errors the client raises by itself.
std::wstring RuntimeText(long number)
{
    switch (number) {
    case 5: return L"Invalid procedure call or argument";
    case 6: return L"Overflow";
    case 9: return L"Subscript out of range";
    case 13: return L"Type mismatch";
    default: return L"?";
    }
}

std::vector<long> Range(long first, long count, long step = 1)
{
    std::vector<long> values;
    for (long i = 0; i < count; ++i) values.push_back(first + i * step);
    return values;
}

// Every function code against the register map the device servers share,
// over whatever transport `mb` is connected by.
void ExpectEveryFunctionCode(Client& mb)
{
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

struct Line {
    const wchar_t* transport;
    const wchar_t* port;  // TCP or UDP port, or COM port
};

void ConnectBy(Client& mb, const Line& line, const wchar_t* unit = L"1")
{
    ASSERT_EQ(mb.Let(L"Transport", Arg(line.transport)).hr, S_OK);
    const bool serial = _wcsicmp(line.transport, L"RTU") == 0;
    ASSERT_EQ(mb.Let(serial ? L"SerialPort" : L"Port", Arg(line.port)).hr, S_OK);
    if (serial) {
        ASSERT_EQ(mb.Let(L"SerialSettings", Arg(L"19200,N,8,1")).hr, S_OK);  // a pty takes no parity
    }
    mb.Let(L"UnitId", Arg(unit));
    const testsupport::LateResult connect = mb.Call(L"ConnectAndWait");
    ASSERT_EQ(connect.number, 0) << connect.description;
    ASSERT_EQ(mb.Text(&velkomb::_VelkoMB::get_ConnState), L"7");
}

TEST(RealDevice, ReadsEveryTableAndWritesReadBack)
{
    Client mb;
    ASSERT_TRUE(mb.Connect());
    ExpectEveryFunctionCode(mb);
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
    EXPECT_EQ(mb.Read(L"ExceptText"), L"Illegal data address");
    EXPECT_EQ(mb.Read(L"LastRequest"), L"0B 00 00 00 00 06 01 03 00 FA 00 02");
    EXPECT_EQ(mb.Read(L"LastReply"), L"0B 00 00 00 00 03 01 83 02");
    EXPECT_EQ(mb.Values(), Range(1000, 2));
    mb.Request(L"3", 1, 1);
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ExceptCode), L"0");
    EXPECT_EQ(mb.Read(L"ExceptText"), L"");
}

// The members beyond the type library start where the client always stood:
// port 502, unit 1, nothing traced. A unit id goes into every request and
// the device echoes it; one that is no byte stops the request before it is
// built, and the client stays ready.
TEST(RealDevice, UnitIdGoesOutAndComesBackEchoed)
{
    Client mb;
    for (const auto& [name, initial] : {std::pair{L"Port", L"502"}, {L"UnitId", L"1"}, {L"WordOrder", L"ABCD"},
                                        {L"LastRequest", L""}, {L"LastReply", L""}, {L"ExceptText", L""}})
        EXPECT_EQ(mb.Read(name), initial) << name;
    ASSERT_TRUE(mb.Connect());
    mb.Request(L"3", 0, 2);
    mb->Execute();
    EXPECT_EQ(mb.Read(L"LastRequest"), L"0B 00 00 00 00 06 01 03 00 00 00 02");
    EXPECT_EQ(mb.Read(L"LastReply"), L"0B 00 00 00 00 07 01 03 04 03 E8 03 E9");

    ASSERT_EQ(mb.Let(L"UnitId", Arg(247)).hr, S_OK);
    EXPECT_EQ(mb.Read(L"UnitId"), L"247");
    mb->Execute();
    EXPECT_EQ(mb.Read(L"LastRequest"), L"0B 00 00 00 00 06 F7 03 00 00 00 02");
    EXPECT_EQ(mb.Read(L"LastReply"), L"0B 00 00 00 00 07 F7 03 04 03 E8 03 E9");
    EXPECT_EQ(mb.Values(), Range(1000, 2));

    for (const auto& [unit, number] : {std::pair{L"256", 6L}, {L"-1", 6L}, {L"x", 13L}, {L"", 13L}}) {
        mb.Let(L"UnitId", Arg(unit));
        mb.Request(L"3", 5, 1);
        testsupport::LateResult execute = mb.Call(L"Execute");
        EXPECT_EQ(execute.number, number) << unit;
        EXPECT_EQ(execute.source, L"VelkoMB.Execute") << unit;
        EXPECT_EQ(mb.Read(L"LastRequest"), L"0B 00 00 00 00 06 F7 03 00 00 00 02") << unit;
    }
    mb.Let(L"UnitId", Arg(L"1"));
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(1005, 1));
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

// Mask write: (register AND andMask) OR (orMask AND NOT andMask), read back;
// bad fields raise as the other fields do, and nothing is sent.
TEST(RealDevice, MaskWriteChangesTheBitsItNames)
{
    Client mb;
    ASSERT_TRUE(mb.Connect());
    mb.Write(L"6", 90, {0x12F4});
    mb->Execute();
    ASSERT_EQ(mb.Call(L"MaskWrite", {Arg(90), Arg(0x00F2), Arg(0x0025)}).number, 0);
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"22");
    EXPECT_EQ(mb.Read(L"LastRequest"), L"0C 00 00 00 00 08 01 16 00 5A 00 F2 00 25");
    mb.Request(L"3", 90, 1);
    mb->Execute();
    EXPECT_EQ(mb.Values(), std::vector<long>({0x00F5}));
    for (const auto& [value, number] : {std::pair{L"65536", 6L}, {L"-1", 6L}, {L"mask", 13L}}) {
        const testsupport::LateResult bad = mb.Call(L"MaskWrite", {Arg(90), Arg(value), Arg(0)});
        EXPECT_EQ(bad.number, number) << value;
        EXPECT_EQ(bad.source, L"VelkoMB.MaskWrite") << value;
    }
    mb->Execute();
    EXPECT_EQ(mb.Values(), std::vector<long>({0x00F5}));
}

// Blocks: a read or write of more items than MaxPerRequest goes as
// consecutive requests, put together as one reply would have them (a coil
// block's padding after its last item); an exception reply to a part ends
// the block there, with the read array as it was and BlockDone telling how
// far it got.
TEST(RealDevice, BlocksGoInPartsAndEndWhereOneFails)
{
    Client mb;
    ASSERT_TRUE(mb.Connect());
    mb.Let(L"MaxPerRequest", Arg(L"15"));
    mb.Request(L"3", 5, 40);
    mb->Execute();
    EXPECT_EQ(mb.events, 1);
    EXPECT_EQ(mb.Values(), Range(1005, 40));
    EXPECT_EQ(mb.Read(L"BlockDone"), L"40");
    EXPECT_EQ(mb.Read(L"LastRequest"), L"0B 00 00 00 00 06 01 03 00 23 00 0A") << "the last part";

    mb.Let(L"MaxPerRequest", Arg(L"7"));
    mb.Request(L"1", 0, 20);
    mb->Execute();
    const std::vector<long> coils = mb.Values();
    ASSERT_EQ(coils.size(), 24u);
    for (long i = 0; i < 20; ++i) EXPECT_EQ(coils[i], i % 3 == 0 ? 1 : 0) << i;
    mb.Write(L"16", 120, Range(1, 10));
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"16");
    EXPECT_EQ(mb.Read(L"BlockDone"), L"10");
    mb.Request(L"3", 120, 10);
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(1, 10));

    mb.Let(L"MaxPerRequest", Arg(L"40"));
    mb.Request(L"3", 100, 150);  // the third part goes beyond the map
    const int before = mb.events;
    mb->Execute();
    EXPECT_EQ(mb.events, before + 1);
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"131");
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ExceptCode), L"2");
    EXPECT_EQ(mb.Read(L"BlockDone"), L"80");
    EXPECT_EQ(mb.Values(), Range(1, 10));

    // Bad texts raise before anything goes out, and the client stays ready.
    for (const auto& [most, number] : {std::pair{L"65536", 6L}, {L"-1", 6L}, {L"few", 13L}}) {
        mb.Let(L"MaxPerRequest", Arg(most));
        for (const wchar_t* method : {L"Execute", L"ExecuteAsync"}) {
            const testsupport::LateResult bad = mb.Call(method);
            EXPECT_EQ(bad.number, number) << most;
            EXPECT_EQ(bad.source, std::wstring(L"VelkoMB.") + method) << most;
            EXPECT_EQ(mb.Read(L"Busy"), L"0") << most;
        }
    }
    mb.Let(L"MaxPerRequest", Arg(L"0"));
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"131") << "the single request goes out";
}

// The client's own socket sends each request at once (Nagle's algorithm
// off); a socket a host creates keeps the platform's default.
TEST(RealDevice, OnlyTheClientsSocketSendsWithoutDelay)
{
    const auto sendsWithoutDelay = [](SOCKET handle) {
        BOOL on = FALSE;
        int length = sizeof on;
        EXPECT_EQ(getsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on), &length), 0);
        return on != FALSE;
    };
    const std::vector<SOCKET> before = velkomb::support::RegisteredSockets();
    Client mb;
    ASSERT_TRUE(mb.Connect());
    std::vector<SOCKET> clients;
    for (SOCKET handle : velkomb::support::RegisteredSockets())
        if (std::find(before.begin(), before.end(), handle) == before.end()) clients.push_back(handle);
    ASSERT_EQ(clients.size(), 1u);
    EXPECT_TRUE(sendsWithoutDelay(clients[0]));

    velkomb::socket::CSocket* host = velkomb::socket::CSocket::Create();
    automation::Variant address = Arg(L"127.0.0.1"), port = Arg(502);
    ASSERT_EQ(host->Connect(address.get(), port.get()), S_OK);
    LONG handle = -1;
    host->get_SocketHandle(&handle);
    EXPECT_FALSE(sendsWithoutDelay(static_cast<SOCKET>(handle)));
    host->Release();
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
        EXPECT_EQ(mb.Read(L"LastReply"), L"0B 00 00 00 00 09 01 03 06 03 F2 03 F3 03 F4") << cuts;
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
    EXPECT_EQ(mb.Read(L"LastReply"), L"0B 00 00 00 00 03 01 83 02") << "the last reply decoded";
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
        const std::wstring lastReply = mb.Read(L"LastReply");
        mb->Execute();
        EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"1") << length;
        EXPECT_EQ(mb.events, before) << length;
        EXPECT_EQ(mb.Read(L"LastReply"), lastReply) << "no frame was decoded";
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

// A reply that arrived before a request went out is never part of the
// request's reply, whether the host pumped in between or not: a byte behind
// a reply (in its segment or a moment later) and a late reply cost nothing
// beyond the transaction during which they arrive.
TEST_F(FakeDevice, WhatArrivedBeforeARequestIsNoPartOfItsReply)
{
    Client mb;
    ASSERT_TRUE(mb.Connect());
    for (const char* pause : {"0", "0.05"}) {
        ASSERT_TRUE(Control(std::string("--mode stray --once --pause ") + pause));
        mb.Request(L"3", 0, 1);
        mb->Execute();
        Sleep(200);  // the host does not pump: the stray byte waits in the queue
        mb.Request(L"3", 5, 2);
        const int before = mb.events;
        mb->Execute();
        EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"0") << pause;
        EXPECT_EQ(mb.events, before + 1) << pause;
        EXPECT_EQ(mb.Values(), Range(1005, 2)) << pause;
    }

    // The register read times out; the device answers it while the coil read
    // after it waits, so that one takes the late reply, and its own reply
    // comes while the host goes straight on without pumping.
    mb.Set(&velkomb::_VelkoMB::put_ResponseWatchdog, L"1");
    ASSERT_TRUE(Control("--mode delay --delay 1.5 --once"));
    mb.Request(L"3", 0, 1);
    mb->Execute();
    ASSERT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"1");
    mb.Request(L"1", 0, 8);
    mb->Execute();
    for (int round = 0; round < 2; ++round) {
        Sleep(100);
        mb.Request(L"3", 7, 2);
        mb->Execute();
        EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"3") << round;
        EXPECT_EQ(mb.Values(), Range(1007, 2)) << round;
        Sleep(100);
        mb.Request(L"1", 1, 8);
        mb->Execute();
        EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"1") << round;
        EXPECT_EQ(mb.Values(), std::vector<long>({0, 1, 0, 1, 0, 1, 0, 1})) << round;
    }
}

// A device that closes the connection after its reply: the next Execute
// finds the close handled and sends nothing, rather than sending on the
// closed connection and sitting out the watchdog.
TEST_F(FakeDevice, NothingIsSentOnAConnectionWhoseCloseHasArrived)
{
    Client mb;
    mb.Set(&velkomb::_VelkoMB::put_ResponseWatchdog, L"2");
    ASSERT_TRUE(mb.Connect());
    ASSERT_TRUE(Control("--mode close-after-reply --once"));
    mb.Request(L"3", 0, 1);
    mb->Execute();
    ASSERT_EQ(mb.Values(), Range(1000, 1));
    Sleep(200);
    const ULONGLONG start = GetTickCount64();
    mb->Execute();
    EXPECT_LT(GetTickCount64() - start, 1000u);
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"0");
    EXPECT_EQ(mb.State(), L"0");
}

// The client a host's timer sends a request of its own through.
Client* timerClient = nullptr;

void CALLBACK ExecuteFromTimer(HWND, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(nullptr, timer);
    (*timerClient)->Execute();
}

// Whatever waits in the queue when Execute starts is handled before the
// request goes out, a host's timer that fell due included: a request its
// handler makes is still sent and answered, then Execute's own.
TEST_F(FakeDevice, WhatWaitsWhenExecuteStartsIsHandledFirst)
{
    Client mb;
    ASSERT_TRUE(mb.Connect());
    mb.Request(L"3", 0, 1);
    timerClient = &mb;
    const UINT_PTR timer = SetTimer(nullptr, 0, 1, ExecuteFromTimer);
    Sleep(50);
    const int before = mb.events;
    mb->Execute();
    KillTimer(nullptr, timer);
    EXPECT_EQ(mb.events, before + 2);
    EXPECT_EQ(mb.Values(), Range(1000, 1));
}

// A host that chains every next request from NewDataIn nests one wait a
// transaction: when the stack could not hold another, Execute raises out of
// stack space instead of crashing, and the client goes on working.
TEST_F(FakeDevice, ChainedExecutesRunOutOfStackCleanly)
{
    Client mb;
    ASSERT_TRUE(mb.Connect());
    mb.Request(L"3", 0, 1);
    int depth = 0;
    testsupport::ReportedError failure;
    mb.onNewData = [&] {
        if (failure.hr != S_OK || ++depth > 20000) return;
        const HRESULT hr = mb->Execute();
        if (hr != S_OK && failure.hr == S_OK) failure = testsupport::ErrorOf(hr);
    };
    mb->Execute();
    mb.onNewData = nullptr;
    EXPECT_EQ(failure.hr, testsupport::ErrorNumber(28));
    EXPECT_EQ(failure.source, L"VelkoMB.Execute");
    EXPECT_EQ(failure.description, L"Out of stack space");
    EXPECT_GT(depth, 20);
    EXPECT_LE(depth, 20000);
    mb.Request(L"3", 3, 1);
    EXPECT_EQ(mb->Execute(), S_OK);
    EXPECT_EQ(mb.Values(), Range(1003, 1));
}

// A reply comes after the watchdog ran out, while the next request waits.
// With fixed ids the waiting request takes it for its answer, as it always
// has; with counted ids it is dropped as stale and the request gets its own.
TEST_F(FakeDevice, CountedIdsTellTheAnswerFromALateReply)
{
    ASSERT_TRUE(Control("--mode delay --delay 0.5"));
    for (const wchar_t* ids : {L"Fixed", L"Counted"}) {
        SCOPED_TRACE(testing::Message() << ids);
        Client mb;
        ASSERT_EQ(mb.Let(L"TransactionIds", Arg(ids)).hr, S_OK);
        ASSERT_TRUE(mb.Connect());
        mb.Set(&velkomb::_VelkoMB::put_ResponseWatchdog, L"0");
        mb.Request(L"3", 0, 1);
        mb->Execute();
        ASSERT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"1");
        mb.Set(&velkomb::_VelkoMB::put_ResponseWatchdog, L"3");
        mb.Request(L"3", 100, 1);
        mb->Execute();
        EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"0");
        const bool counted = ids == std::wstring(L"Counted");
        EXPECT_EQ(mb.Values(), Range(counted ? 1100 : 1000, 1));
        EXPECT_EQ(mb.Read(L"StaleReplies"), counted ? L"1" : L"0");
        EXPECT_EQ(mb.Read(L"LastStaleReply"), counted ? L"00 01 00 00 00 05 01 03 02 03 E8" : L"");
        EXPECT_EQ(mb.Read(L"LastRequest"), counted ? L"00 02 00 00 00 06 01 03 00 64 00 01"
                                                   : L"0B 00 00 00 00 06 01 03 00 64 00 01");
    }
}

// Under counted ids only a reply that can answer the awaited request ends
// its wait: each of these stands in front of the right reply in the same
// segment, and is dropped whole without being decoded.
TEST_F(FakeDevice, RepliesThatCannotAnswerAreStale)
{
    Client mb;
    ASSERT_EQ(mb.Let(L"TransactionIds", Arg(L"counted")).hr, S_OK);
    ASSERT_TRUE(mb.Connect());
    mb.Request(L"3", 0, 1);
    const char* stale[] = {
        "0001 0000 0005 02 03 02 1111",      // another unit
        "0009 0000 0005 01 03 02 1111",      // another transaction
        "0003 0000 0005 01 04 02 1111",      // the id of this one, another function
        "0004 0000 0007 01 03 04 1111 1111", // more registers than asked for
        "0005 0001 0005 01 03 02 1111",      // another protocol
    };
    for (int i = 0; i < std::ssize(stale); ++i) {
        const int id = i + 1;
        char good[64];
        snprintf(good, sizeof good, "%04x 0000 0005 01 03 02 00%02x", id, id);
        ASSERT_TRUE(Control(std::string("--mode raw --once --reply '") + stale[i] + " " + good + "'"));
        const int before = mb.events;
        mb->Execute();
        EXPECT_EQ(mb.Values(), std::vector<long>({id})) << stale[i];
        EXPECT_EQ(mb.events, before + 1) << stale[i];
        EXPECT_EQ(mb.Read(L"StaleReplies"), std::to_wstring(id));
    }
    EXPECT_EQ(mb.Read(L"LastStaleReply"), L"00 05 00 01 00 05 01 03 02 11 11");
    // Exception replies answer too; a reconnection starts the count again.
    ASSERT_TRUE(Control("--mode exception --once"));
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"131");
    ASSERT_TRUE(mb.Connect());
    EXPECT_EQ(mb.Read(L"StaleReplies"), L"0");
    mb->Execute();
    EXPECT_EQ(mb.Read(L"LastRequest"), L"00 01 00 00 00 06 01 03 00 00 00 01");
}

// AutoReconnect: a connection the device closed is made again before the
// request goes out; a device that is gone raises what connecting raises, as
// Execute's error; a connection lost while a reply is awaited ends the wait
// at once, and the next Execute reconnects. Nothing is ever sent twice.
TEST_F(FakeDevice, AutoReconnectMakesTheConnectionAgain)
{
    Client mb;
    mb.Let(L"AutoReconnect", Arg(L"1"));
    mb.Set(&velkomb::_VelkoMB::put_ResponseWatchdog, L"3");
    ASSERT_TRUE(mb.Connect());
    ASSERT_TRUE(Control("--mode close-after-reply --once"));
    mb.Request(L"3", 1, 1);
    mb->Execute();
    Sleep(200);
    mb.Request(L"3", 2, 1);
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(1002, 1));
    EXPECT_EQ(mb.State(), L"7");

    ASSERT_EQ(testsupport::ControlAnswer("restart 1"), "OK\n");
    Sleep(200);
    mb.Request(L"3", 3, 1);
    const HRESULT refused = mb->Execute();
    const testsupport::ReportedError error = testsupport::ErrorOf(refused);
    EXPECT_EQ(refused, testsupport::ErrorNumber(10061));
    EXPECT_EQ(error.source, L"VelkoMB.Execute");
    EXPECT_EQ(error.description, velkomb::support::GetErrorDescription(10061));
    EXPECT_EQ(mb.Values(), Range(1002, 1)) << "nothing was sent";
    Sleep(1200);
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(1003, 1));

    ASSERT_TRUE(Control("--mode close-mid-reply --length 8 --pause 0.05 --once"));
    mb.Request(L"3", 4, 1);
    const ULONGLONG start = GetTickCount64();
    mb->Execute();
    EXPECT_LT(GetTickCount64() - start, 1500u);
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"1");
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"0");
    EXPECT_EQ(mb.Values(), Range(1004, 1));
}

// Retries: a request the device dropped goes out again after the watchdog;
// a late reply to the first try answers the request as well, also under
// counted ids, where the second try's reply then comes as a stale one.
TEST_F(FakeDevice, RetriesSendAgainAfterTheWatchdog)
{
    Client mb;  // ResponseWatchdog "1"
    mb.Let(L"Retries", Arg(L"1"));
    mb.Let(L"TransactionIds", Arg(L"Counted"));
    ASSERT_TRUE(mb.Connect());
    ASSERT_TRUE(Control("--mode silent --once"));
    mb.Request(L"3", 8, 1);
    const ULONGLONG start = GetTickCount64();
    mb->Execute();
    EXPECT_GE(GetTickCount64() - start, 1000u);
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"0");
    EXPECT_EQ(mb.Values(), Range(1008, 1));
    EXPECT_EQ(mb.Read(L"LastRequest"), L"00 02 00 00 00 06 01 03 00 08 00 01");

    ASSERT_TRUE(Control("--mode delay --delay 1.5 --once"));
    mb.Request(L"3", 9, 1);
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"0");
    EXPECT_EQ(mb.Read(L"LastReply"), L"00 03 00 00 00 05 01 03 02 03 F1") << "the first try's";
    Sleep(200);
    mb.Request(L"3", 10, 1);
    mb->Execute();
    EXPECT_EQ(mb.Read(L"StaleReplies"), L"1");
    EXPECT_EQ(mb.Values(), Range(1010, 1));

    // Out of tries: the watchdog ends it after each of them.
    ASSERT_TRUE(Control("--mode silent"));
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"1");
}

// Requests nobody waits for: each reply reaches its own client from
// whatever loop dispatches it, here the host's (the device answers lower
// addresses first, so the last one sent comes back first); a NewDataIn
// handler may wait for another client's reply; a busy client sends nothing
// more; the reply for a client that was released reaches nobody.
TEST_F(FakeDevice, AsyncRepliesReachTheirOwnClients)
{
    ASSERT_TRUE(Control("--mode address-delay"));
    Client first, second, third, released;
    Client* clients[] = {&first, &second, &third};
    const long addresses[] = {300, 200, 100};
    std::vector<int> order;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(clients[i]->Connect());
        clients[i]->Request(L"3", addresses[i], 1);
        clients[i]->onNewData = [&order, i] { order.push_back(i); };
    }
    third.onNewData = [&] {
        order.push_back(2);
        second.Call(L"WaitForReply");
        EXPECT_EQ(second.Read(L"Busy"), L"0");
    };
    ASSERT_TRUE(released.Connect());
    released.Request(L"3", 150, 1);
    ASSERT_EQ(released.Call(L"ExecuteAsync").number, 0);
    EXPECT_EQ(velkomb::support::ArmedTimerCount(), 1u);
    released.ReleaseObject();
    EXPECT_EQ(velkomb::support::ArmedTimerCount(), 0u) << "the watchdog's timer goes with its client";
    for (Client* mb : clients) {
        ASSERT_EQ(mb->Call(L"ExecuteAsync").number, 0);
        EXPECT_EQ(mb->Read(L"Busy"), L"1");
    }
    first.Request(L"3", 0, 1);
    EXPECT_EQ(first.Call(L"ExecuteAsync").number, 0);
    EXPECT_EQ(first.Read(L"LastRequest"), L"0B 00 00 00 00 06 01 03 01 2C 00 01") << "nothing more sent";
    testsupport::PumpUntil([&] { return first.Read(L"Busy") == L"0"; }, 3000);
    EXPECT_EQ(order, std::vector<int>({2, 1, 0}));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(clients[i]->Values(), Range(1000 + addresses[i], 1)) << i;
        EXPECT_EQ(clients[i]->Text(&velkomb::_VelkoMB::get_WatchdogError), L"0") << i;
    }
}

// The watchdog holds with nobody waiting: a timer ends the request from the
// host's loop. WaitForReply with seconds leaves it outstanding; Disconnect
// ends one without an event.
TEST_F(FakeDevice, AsyncRequestsEndByTheWatchdogOrDisconnect)
{
    Client mb;  // ResponseWatchdog "1"
    ASSERT_TRUE(mb.Connect());
    ASSERT_TRUE(Control("--mode silent"));
    mb.Request(L"3", 0, 1);
    ASSERT_EQ(mb.Call(L"ExecuteAsync").number, 0);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(mb.Call(L"WaitForReply", {Arg(0.2)}).number, 0);
    EXPECT_LT(GetTickCount64() - start, 900u);
    EXPECT_EQ(mb.Read(L"Busy"), L"1");
    PumpFor(1500);
    EXPECT_EQ(mb.Read(L"Busy"), L"0");
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"1");
    EXPECT_EQ(velkomb::support::ArmedTimerCount(), 0u);

    ASSERT_EQ(mb.Call(L"ExecuteAsync").number, 0);
    EXPECT_EQ(mb.Read(L"Busy"), L"1");
    EXPECT_EQ(mb->Disconnect(), S_OK);
    EXPECT_EQ(mb.Read(L"Busy"), L"0");
    PumpFor(1200);  // the watchdog's time passes
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"0");
    EXPECT_EQ(velkomb::support::ArmedTimerCount(), 0u);
    EXPECT_EQ(mb.events, 0);

    ASSERT_TRUE(Control("--mode normal"));
    ASSERT_TRUE(mb.Connect());
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(1000, 1));
    EXPECT_EQ(mb.Read(L"BlockDone"), L"1");
}

// A device that closes the connection in the middle of a block ends it at
// once under AutoReconnect, the read array as it was; the next Execute
// connects again and reads the whole block, also when nobody waits for it.
TEST_F(FakeDevice, BlockEndsWhereTheDeviceClosed)
{
    Client mb;
    mb.Let(L"AutoReconnect", Arg(L"1"));
    mb.Let(L"MaxPerRequest", Arg(L"10"));
    ASSERT_TRUE(mb.Connect());
    mb.Request(L"3", 0, 10);
    mb->Execute();
    ASSERT_TRUE(Control("--mode close-after-reply --once"));
    mb.Request(L"3", 100, 30);
    const ULONGLONG start = GetTickCount64();
    mb->Execute();
    EXPECT_LT(GetTickCount64() - start, 900u);
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"1");
    EXPECT_EQ(mb.Read(L"BlockDone"), L"10");
    EXPECT_EQ(mb.Values(), Range(1000, 10));
    EXPECT_EQ(mb.events, 1);

    ASSERT_EQ(mb.Call(L"ExecuteAsync").number, 0);
    EXPECT_EQ(mb.Call(L"WaitForReply").number, 0);
    EXPECT_EQ(mb.Values(), Range(1100, 30));
    EXPECT_EQ(mb.Read(L"BlockDone"), L"30");
    EXPECT_EQ(mb.events, 2);
}

// What only a scripted device does over the other transports: an RTU reply
// with a broken CRC, over TCP and on the serial line COM7, is dropped and
// counted (the wait runs into the watchdog), one in pieces is read whole; a
// datagram from another address is no reply, and a lost one is sent again;
// a device named after another address is asked at its name's.
TEST_F(FakeDevice, OtherTransportsDropWhatIsNoReply)
{
    Client mb;
    for (const Line& line : {Line{L"RTU over TCP", L"5023"}, Line{L"RTU", L"COM7"}}) {
        SCOPED_TRACE(line.transport);
        ConnectBy(mb, line);
        ASSERT_TRUE(Control("--mode raw --once --reply '01 03 02 11 11 00 00'"));
        mb.Request(L"3", 0, 1);
        mb->Execute();
        EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"1");
        EXPECT_NE(mb.Values(), std::vector<long>({0x1111}));
        EXPECT_EQ(mb.Read(L"FrameErrors"), L"1");
        EXPECT_EQ(mb.Read(L"LastStaleReply"), L"01 03 02 11 11 00 00");
        ASSERT_TRUE(Control("--mode split --split-at 1,2,3,6 --pause 0.02 --once"));
        mb.Request(L"3", 2, 2);
        mb->Execute();
        EXPECT_EQ(mb.Values(), Range(1002, 2));
    }

    mb.Let(L"Transport", Arg(L"UDP"));
    mb.Let(L"Port", Arg(5024));
    mb.Let(L"Retries", Arg(1));
    // Named after another address, the device is asked by its name's
    // address: nobody answers at 127.0.0.2.
    mb.Set(&velkomb::_VelkoMB::put_IPAddress, L"127.0.0.2");
    ASSERT_EQ(mb.Call(L"ConnectAndWait").number, 0);
    mb.Set(&velkomb::_VelkoMB::put_IPAddress, L"localhost");
    ASSERT_EQ(mb.Call(L"ConnectAndWait").number, 0);
    ASSERT_TRUE(Control("--mode foreign --once"));
    mb.Request(L"3", 5, 1);
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(1005, 1)) << "not the stranger's 0x1111";
    ASSERT_TRUE(Control("--mode silent --once"));
    mb.Request(L"3", 6, 1);
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"0");
    EXPECT_EQ(mb.Values(), Range(1006, 1));
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

TEST_F(FakeDevice, ExecuteInsideNewDataInSendsARequestOfItsOwn)
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

// The port and the unit id as the device sees them: a second port of the
// fake device, and every byte it received.
TEST_F(FakeDevice, PortAndUnitIdReachTheDevice)
{
    Client mb;
    mb.Let(L"Port", Arg(5021));
    mb.Let(L"UnitId", Arg(L"247"));
    ASSERT_EQ(mb.Call(L"ConnectAndWait").number, 0);
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ConnState), L"7");
    mb.Request(L"3", 100, 10);
    mb->Execute();
    EXPECT_EQ(testsupport::ControlAnswer("last-request"), "5021 0b 00 00 00 00 06 f7 03 00 64 00 0a\n");
    EXPECT_EQ(mb.Read(L"LastRequest"), L"0B 00 00 00 00 06 F7 03 00 64 00 0A");
    EXPECT_EQ(mb.Values(), Range(1100, 10));
}

// ConnectAndWait returns once the connection is up, or raises what stopped
// it as its own error: the socket's (a refused port, a name that does not
// resolve) or a time-out on a device that never accepts. A port that is no
// port stops it before anything happens.
TEST_F(FakeDevice, ConnectAndWaitRaisesWhatStoppedTheConnection)
{
    Client mb;  // ResponseWatchdog "1"
    struct Case {
        const wchar_t* host;
        const wchar_t* port;
        long number;  // 0: any lookup failure
        const wchar_t* state;  // ConnState afterwards (left as it was by 6 and 13)
    };
    for (const Case& c : {Case{L"127.0.0.1", L"1", 10061, L"9"}, Case{L"no-such-device.invalid", L"502", 0, L"9"},
                          Case{L"127.0.0.1", L"5022", 10060, L"0"}, Case{L"127.0.0.1", L"65536", 6, L"0"},
                          Case{L"127.0.0.1", L"port", 13, L"0"}}) {
        SCOPED_TRACE(testing::Message() << c.host << ":" << c.port);
        mb.Set(&velkomb::_VelkoMB::put_IPAddress, c.host);
        mb.Let(L"Port", Arg(c.port));
        testsupport::LateResult connect = mb.Call(L"ConnectAndWait");
        if (c.number == 0) {
            EXPECT_GE(connect.number, 11001);
            EXPECT_LE(connect.number, 11004);
        } else {
            EXPECT_EQ(connect.number, c.number);
        }
        const bool socketError = connect.number > 10000;
        EXPECT_EQ(connect.description, socketError ? velkomb::support::GetErrorDescription(connect.number)
                                                   : RuntimeText(c.number));
        EXPECT_EQ(connect.source, L"VelkoMB.ConnectAndWait");
        EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ConnState), c.state);
    }
    // A name, and the device's port: connected, and the client works.
    mb.Set(&velkomb::_VelkoMB::put_IPAddress, L"localhost");
    mb.Let(L"Port", Arg(L"502"));
    EXPECT_EQ(mb.Call(L"ConnectAndWait").number, 0);
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ConnState), L"7");
    mb.Request(L"3", 6, 1);
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(1006, 1));
}

TEST_F(FakeDevice, ExceptionCodesHaveTheirNames)
{
    Client mb;
    ASSERT_TRUE(mb.Connect());
    mb.Request(L"3", 0, 1);
    for (const auto& [code, name] :
         {std::pair{1, L"Illegal function"}, {2, L"Illegal data address"}, {3, L"Illegal data value"},
          {4, L"Server device failure"}, {5, L"Acknowledge"}, {6, L"Server device busy"},
          {8, L"Memory parity error"}, {10, L"Gateway path unavailable"},
          {11, L"Gateway target device failed to respond"}, {7, L"Unknown exception"}, {9, L"Unknown exception"},
          {255, L"Unknown exception"}}) {
        ASSERT_TRUE(Control("--mode exception --once --exception-code " + std::to_string(code)));
        mb->Execute();
        EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ExceptCode), std::to_wstring(code));
        EXPECT_EQ(mb.Read(L"ExceptText"), name) << code;
    }
    mb->Execute();
    EXPECT_EQ(mb.Read(L"ExceptText"), L"");
}

// --- The simulator's gateway: unit 17 on port 1502 ---

// The value of each type that pymodbus wrote in each word order, at
// 16 * type + 4 * order.
struct TypedValue {
    const wchar_t* type;
    double value;
    VARTYPE returnedAs;
    long registers;
};
constexpr TypedValue kValueTable[] = {
    {L"Int16", -12345, VT_I2, 1},           {L"UInt16", 54321, VT_I4, 1},      {L"Int32", -123456789, VT_I4, 2},
    {L"UInt32", 3000000000.0, VT_R8, 2}, {L"Float32", 12345.678, VT_R4, 2}, {L"Float64", -2.718281828459045, VT_R8, 4},
};
constexpr const wchar_t* kWordOrders[] = {L"ABCD", L"CDAB", L"BADC", L"DCBA"};
constexpr long kScratch = 100;  // writable registers the table does not use

double NumberOf(const automation::Variant& value)
{
    automation::Variant number;
    VariantChangeType(number.get(), const_cast<VARIANT*>(value.get()), 0, VT_R8);
    return V_R8(number.get());
}

class Gateway : public ::testing::Test {
protected:
    void SetUp() override
    {
        mb.Let(L"Port", Arg(1502));
        mb.Let(L"UnitId", Arg(17));
        ASSERT_EQ(mb.Call(L"ConnectAndWait").number, 0);
    }
    void WriteRegisters(long start, long count)
    {
        mb.Set(&velkomb::_VelkoMB::put_MBFunCode, L"16");
        mb.Set(&velkomb::_VelkoMB::put_StartWAddress, std::to_wstring(start));
        mb.Set(&velkomb::_VelkoMB::put_NrWRegisters, std::to_wstring(count));
        mb->Execute();
    }
    Client mb;
};

// Every type in every word order: GetValue decodes what pymodbus encoded,
// SetValue encodes the registers pymodbus wrote, and the value comes back
// through the device.
TEST_F(Gateway, EveryTypeInEveryWordOrder)
{
    for (long t = 0; t < std::ssize(kValueTable); ++t) {
        const TypedValue& typed = kValueTable[t];
        const long count = typed.registers;
        const double expected = typed.returnedAs == VT_R4 ? static_cast<float>(typed.value) : typed.value;
        for (long o = 0; o < std::ssize(kWordOrders); ++o) {
            SCOPED_TRACE(testing::Message() << t << " " << o);
            ASSERT_EQ(mb.Let(L"WordOrder", Arg(kWordOrders[o])).hr, S_OK);
            const long address = 16 * t + 4 * o;
            mb.Request(L"3", address, count);
            mb->Execute();
            const std::vector<long> written = mb.Values();
            testsupport::LateResult read = mb.Call(L"GetValue", {Arg(1), Arg(typed.type)});
            ASSERT_EQ(read.number, 0);
            EXPECT_EQ(read.value.type(), typed.returnedAs);
            EXPECT_EQ(NumberOf(read.value), expected);

            ASSERT_EQ(mb.Call(L"SetValue", {Arg(0), Arg(typed.type), Arg(typed.value)}).number, 0);
            WriteRegisters(kScratch + address, count);
            mb.Request(L"3", kScratch + address, count);
            mb->Execute();
            EXPECT_EQ(mb.Values(), written);
            EXPECT_EQ(NumberOf(mb.Call(L"GetValue", {Arg(1), Arg(typed.type)}).value), expected);
        }
    }
}

TEST_F(Gateway, BadArgumentsRaiseTheClientsOwnErrors)
{
    mb.Request(L"3", 64, 2);  // Float32 in ABCD: arwReg holds elements 0 to 2
    mb->Execute();
    struct Case {
        const wchar_t* member;
        long index;
        const wchar_t* type;
        double value;
        long number;
    };
    for (const Case& c : {
             Case{L"GetValue", 2, L"Float32", 0, 9},      // element 3 is not there
             Case{L"GetValue", 0, L"Int16", 0, 13},       // element 0 is Empty
             Case{L"GetValue", 1, L"Float16", 0, 5},
             Case{L"SetValue", 0, L"Int16", 32768, 6},
             Case{L"SetValue", 0, L"UInt16", -1, 6},
             Case{L"SetValue", 0, L"UInt32", 4294967296.0, 6},
             Case{L"SetValue", 0, L"Float32", 1e39, 6},
             Case{L"SetValue", -1, L"Int16", 1, 9},
             Case{L"SetValue", 65535, L"Int32", 1, 9},
             Case{L"SetValue", 0, L"Byte", 1, 5},
         }) {
        SCOPED_TRACE(testing::Message() << c.index << " " << c.number);
        std::vector<automation::Variant> args;
        args.push_back(Arg(static_cast<int>(c.index)));
        args.push_back(Arg(c.type));
        if (std::wstring(c.member) == L"SetValue") args.push_back(Arg(c.value));
        testsupport::LateResult result = mb.Call(c.member, std::move(args));
        EXPECT_EQ(result.number, c.number);
        EXPECT_EQ(result.source, std::wstring(L"VelkoMB.") + c.member);
        EXPECT_EQ(result.description, RuntimeText(c.number));
    }
    EXPECT_EQ(mb.Call(L"GetValue", {Arg(L"one"), Arg(L"Int16")}).number, 13);
    EXPECT_EQ(mb.Call(L"SetValue", {Arg(0), Arg(L"Int16"), Arg(L"many")}).number, 13);
    // The word order is checked where it is used; names in either case.
    mb.Let(L"WordOrder", Arg(L"ABDC"));
    EXPECT_EQ(mb.Read(L"WordOrder"), L"ABDC");
    EXPECT_EQ(mb.Call(L"GetValue", {Arg(1), Arg(L"Float32")}).number, 5);
    EXPECT_EQ(mb.Call(L"SetValue", {Arg(0), Arg(L"Int16"), Arg(1)}).number, 5);
    mb.Let(L"WordOrder", Arg(L"abcd"));
    EXPECT_EQ(NumberOf(mb.Call(L"GetValue", {Arg(1), Arg(L"float32")}).value), static_cast<float>(12345.678));
}

// SetValue extends the host's write array and keeps its other elements.
TEST_F(Gateway, SetValueExtendsTheWriteArray)
{
    automation::Variant array = automation::VariantArray(1);
    automation::PutElement(*array.get(), 0, *Arg(1).get());
    automation::PutElement(*array.get(), 1, *Arg(2).get());
    ASSERT_EQ(mb->put_arwWReg(array.get()), S_OK);
    ASSERT_EQ(mb.Call(L"SetValue", {Arg(3), Arg(L"Int32"), Arg(-2)}).number, 0);
    WriteRegisters(150, 5);
    EXPECT_EQ(mb.Read(L"LastRequest"), L"0C 00 00 00 00 11 11 10 00 96 00 05 0A 00 01 00 02 00 00 FF FF FF FE");
    mb.Request(L"3", 150, 5);
    mb->Execute();
    EXPECT_EQ(mb.Values(), std::vector<long>({1, 2, 0, 65535, 65534}));
}

// A unit the gateway does not have: its exception, in the trace too.
TEST_F(Gateway, AnotherUnitGetsTheGatewaysException)
{
    mb.Let(L"UnitId", Arg(5));
    mb.Request(L"3", 0, 1);
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ExceptCode), L"11");
    EXPECT_EQ(mb.Read(L"ExceptText"), L"Gateway target device failed to respond");
    EXPECT_EQ(mb.Read(L"LastReply"), L"0B 00 00 00 00 03 05 83 0B");
}

// A port that is no port is refused before Connect does anything: the
// connection stays up.
TEST_F(Gateway, BadPortLeavesTheConnectionAlone)
{
    for (const auto& [port, number] : {std::pair{L"0", 6L}, {L"65536", 6L}, {L"-502", 6L}, {L"abc", 13L}, {L"", 13L}}) {
        mb.Let(L"Port", Arg(port));
        testsupport::LateResult connect = mb.Call(L"Connect");
        EXPECT_EQ(connect.number, number) << port;
        EXPECT_EQ(connect.source, L"VelkoMB.Connect") << port;
        EXPECT_EQ(mb.State(), L"7") << port;
    }
    mb.Request(L"3", 32, 2);  // Int32 in ABCD
    mb->Execute();
    EXPECT_EQ(NumberOf(mb.Call(L"GetValue", {Arg(1), Arg(L"Int32")}).value), -123456789);
}

// Request sends any function code with the bytes given and returns the
// reply's data bytes: diagnostics echo (8, sub-function 0), report server id
// (17), an exception reply (empty), a code the device does not know, and
// arguments that are no request.
TEST_F(Gateway, RequestSendsAnyFunctionCode)
{
    const auto bytes = [](const testsupport::LateResult& result) {
        EXPECT_EQ(result.value.type(), VT_ARRAY | VT_UI1);
        return result.value.type() == (VT_ARRAY | VT_UI1) ? automation::BytesOf(V_ARRAY(result.value.get()))
                                                          : std::vector<uint8_t>{};
    };
    const int before = mb.events;
    testsupport::LateResult echo = mb.Call(L"Request", {Arg(8), testsupport::Bytes(std::string("\0\0\x12\x34", 4))});
    EXPECT_EQ(bytes(echo), std::vector<uint8_t>({0, 0, 0x12, 0x34}));
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"8");
    EXPECT_EQ(mb.Read(L"LastRequest"), L"0C 00 00 00 00 06 11 08 00 00 12 34");
    EXPECT_EQ(mb.events, before + 1);

    automation::Variant numbers = automation::VariantArray(-1);
    const std::vector<uint8_t> id = bytes(mb.Call(L"Request", {Arg(17), numbers}));
    const std::string text = "Loopback Devices-SIM-200-3.0";
    ASSERT_EQ(id.size(), text.size() + 2);
    EXPECT_EQ(id[0], text.size() + 1);
    EXPECT_EQ(std::string(id.begin() + 1, id.end() - 1), text);
    EXPECT_EQ(mb.Call(L"Request", {Arg(17)}).value.type(), VT_ARRAY | VT_UI1) << "data may be left out";

    mb.Request(L"3", 0, 2);
    mb->Execute();
    const std::vector<long> values = mb.Values();
    EXPECT_TRUE(bytes(mb.Call(L"Request", {Arg(100)})).empty());
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"228");
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ExceptCode), L"1");
    EXPECT_EQ(mb.Values(), values) << "arwReg is left alone";

    automation::Variant tooLong = automation::VariantArray(252);
    for (const auto& [code, data, number] :
         {std::tuple{Arg(0), Arg(1), 6L}, {Arg(128), Arg(1), 6L}, {Arg(L"x"), Arg(1), 13L}, {Arg(8), Arg(1), 13L},
          {Arg(8), tooLong, 6L}}) {
        std::vector<automation::Variant> args;
        args.push_back(code);
        args.push_back(data);
        const testsupport::LateResult bad = mb.Call(L"Request", std::move(args));
        EXPECT_EQ(bad.number, number);
        EXPECT_EQ(bad.source, L"VelkoMB.Request");
    }
}

// Device identification: the regular category, which this device sends in
// two replies, as texts by object id; one object on its own.
TEST_F(Gateway, ReadDeviceIdFollowsMoreFollows)
{
    testsupport::LateResult all = mb.Call(L"ReadDeviceId");
    ASSERT_EQ(all.number, 0);
    ASSERT_EQ(all.value.type(), VT_ARRAY | VT_VARIANT);
    long lower = 0, upper = -1;
    ASSERT_TRUE(automation::BoundsOf(*all.value.get(), lower, upper));
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 6);
    const auto text = [&](long index) {
        automation::Variant element = automation::ElementOf(*all.value.get(), index);
        return element.type() == VT_BSTR ? automation::TextOf(V_BSTR(element.get())) : L"<not text>";
    };
    EXPECT_EQ(text(0), L"Loopback Devices");
    EXPECT_EQ(text(1), L"SIM-200");
    EXPECT_EQ(text(2), L"3.0");
    EXPECT_EQ(text(6), L"Tests that need a device they can predict " + std::wstring(20, L'w'));
    EXPECT_EQ(mb.Read(L"LastRequest").substr(21), L"2B 0E 02 06") << "the second part starts at object 6";

    EXPECT_EQ(mb.Call(L"ReadDeviceId", {Arg(4)}).Text(), L"Register map simulator for client tests " + std::wstring(20, L'y'));
}

// --- The other transports: RTU over TCP, UDP, serial RTU ---

class Transport : public ::testing::TestWithParam<Line> {};

// Every function code, an exception reply and the trace, over each: the
// pymodbus simulator over RTU over TCP and UDP and on COM5, the libmodbus
// server on COM12. The trace shows the frames as they went over the line.
TEST_P(Transport, CarriesEveryFunctionCode)
{
    Client mb;
    ConnectBy(mb, GetParam());
    ExpectEveryFunctionCode(mb);
    mb.Request(L"3", 250, 2);
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_ExceptCode), L"2");
    const bool rtu = _wcsicmp(GetParam().transport, L"UDP") != 0;
    EXPECT_EQ(mb.Read(L"LastRequest"), rtu ? L"01 03 00 FA 00 02 E4 3A" : L"0B 00 00 00 00 06 01 03 00 FA 00 02");
    EXPECT_EQ(mb.Read(L"LastReply"), rtu ? L"01 83 02 C0 F1" : L"0B 00 00 00 00 03 01 83 02");
    EXPECT_EQ(mb.Read(L"FrameErrors"), L"0");
    // Counted ids and a request of any code work the same.
    mb.Let(L"TransactionIds", Arg(L"Counted"));
    mb.Request(L"3", 3, 2);
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(1003, 2));
    mb.Call(L"Request", {Arg(3), testsupport::Bytes(std::string("\0\x04\0\x01", 4))});
    EXPECT_EQ(mb.Read(L"LastReply").substr(rtu ? 0 : 6), rtu ? L"01 03 02 03 EC B9 39" : L"00 00 00 05 01 03 02 03 EC");
    // A block nobody waits for is answered through the host's own loop,
    // long before its watchdog.
    mb.Set(&velkomb::_VelkoMB::put_ResponseWatchdog, L"5");
    mb.Let(L"MaxPerRequest", Arg(L"4"));
    mb.Request(L"3", 0, 10);
    ASSERT_EQ(mb.Call(L"ExecuteAsync").number, 0);
    EXPECT_TRUE(testsupport::PumpUntil([&] { return mb.Read(L"Busy") == L"0"; }, 3000));
    EXPECT_EQ(mb.Values(), Range(1000, 10));
    EXPECT_EQ(mb.Read(L"BlockDone"), L"10");
    EXPECT_EQ(velkomb::support::ArmedWakeCount(), 0u);
    ASSERT_EQ(mb->Disconnect(), S_OK);
    PumpFor(100);
    EXPECT_NE(mb.State(), L"7");
}

INSTANTIATE_TEST_SUITE_P(Lines, Transport,
                         ::testing::Values(Line{L"RTU over TCP", L"1503"}, Line{L"udp", L"1504"},
                                           Line{L"RTU", L"COM5"}, Line{L"rtu", L"COM12"}));

// The serial line: typed values and several units on one line, a broadcast
// that every unit takes and none answers, a unit that does not answer (the
// watchdog, without using the processor meanwhile), Disconnect and Connect
// again, and ports that cannot be opened.
TEST(Transports, SerialLineServesSeveralUnits)
{
    Client mb;
    ConnectBy(mb, {L"RTU", L"COM5"}, L"17");
    mb.Request(L"3", 32, 2);  // Int32 in ABCD
    mb->Execute();
    EXPECT_EQ(NumberOf(mb.Call(L"GetValue", {Arg(1), Arg(L"Int32")}).value), -123456789);

    mb.Let(L"UnitId", Arg(0));
    mb.Write(L"6", 60, {777});
    const int before = mb.events;
    mb->Execute();
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"0");
    EXPECT_EQ(mb.events, before);
    for (const wchar_t* unit : {L"1", L"2"}) {
        mb.Let(L"UnitId", Arg(unit));
        mb.Request(L"3", 60, 1);
        mb->Execute();
        EXPECT_EQ(mb.Values(), std::vector<long>({777})) << unit;
    }

    mb.Let(L"UnitId", Arg(9));
    mb.Set(&velkomb::_VelkoMB::put_ResponseWatchdog, L"1");
    FILETIME created, exited, kernelBefore, userBefore, kernelAfter, userAfter;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernelBefore, &userBefore);
    mb->Execute();
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernelAfter, &userAfter);
    EXPECT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"1");
    const auto ticks = [](const FILETIME& t) { return (ULONGLONG{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
    const ULONGLONG cpu = ticks(kernelAfter) - ticks(kernelBefore) + ticks(userAfter) - ticks(userBefore);
    EXPECT_LT(cpu, 2'500'000u) << "CPU (100 ns units) while waiting a second";

    ASSERT_EQ(mb->Disconnect(), S_OK);
    EXPECT_EQ(mb.State(), L"0");
    mb.Let(L"UnitId", Arg(2));
    ASSERT_EQ(mb->Connect(), S_OK);
    EXPECT_EQ(mb.State(), L"7");
    mb.Request(L"4", 1, 1);
    mb->Execute();
    EXPECT_EQ(mb.Values(), Range(2001, 1));

    for (const auto& [port, settings, number] :
         {std::tuple{L"COM99", L"19200,N,8,1", 2L}, {L"COM0", L"19200,N,8,1", 5L}, {L"LPT1", L"19200,N,8,1", 5L},
          {L"COM5", L"19200,X,8,1", 5L}, {L"COM5", L"fast", 5L}}) {
        mb.Let(L"SerialPort", Arg(port));
        mb.Let(L"SerialSettings", Arg(settings));
        const testsupport::LateResult connect = mb.Call(L"Connect");
        EXPECT_EQ(connect.number, number) << port << " " << settings;
        EXPECT_EQ(connect.source, L"VelkoMB.Connect") << port;
    }
    mb.Let(L"Transport", Arg(L"RS-485"));
    EXPECT_EQ(mb.Call(L"Connect").number, 5);
}

} // namespace
