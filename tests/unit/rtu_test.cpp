#include "client/rtu.h"
#include <gtest/gtest.h>
#include "automation/error.h"
#include "client/serial_line.h"
#include "client/serial_texts.h"

namespace {

using namespace velkomb::client::rtu;
using Bytes = std::vector<uint8_t>;
using Lengths = std::vector<size_t>;

TEST(Crc16, FramesCarryTheKnownCrcLowByteFirst)
{
    EXPECT_EQ(Frame(0x01, Bytes{0x03, 0x00, 0x00, 0x00, 0x0A}), (Bytes{1, 3, 0, 0, 0, 0x0A, 0xC5, 0xCD}));
    EXPECT_EQ(Frame(0x11, Bytes{0x03, 0x00, 0x6B, 0x00, 0x03}), (Bytes{0x11, 3, 0, 0x6B, 0, 3, 0x76, 0x87}));
    const std::string check = "123456789";
    EXPECT_EQ(Crc16(Bytes(check.begin(), check.end())), 0x4B37);
}

TEST(Crc16, EveryFlippedBitAndSwappedCrcIsBad)
{
    const Bytes frame = Frame(0x11, Bytes{0x03, 0x00, 0x6B, 0x00, 0x03});
    EXPECT_TRUE(CrcIsGood(frame));
    for (size_t bit = 0; bit < 8 * frame.size(); ++bit) {
        Bytes damaged = frame;
        damaged[bit / 8] ^= static_cast<uint8_t>(1 << bit % 8);
        EXPECT_FALSE(CrcIsGood(damaged)) << bit;
    }
    Bytes swapped = frame;
    std::swap(swapped[6], swapped[7]);
    EXPECT_FALSE(CrcIsGood(swapped));
    EXPECT_FALSE(CrcIsGood(Bytes{0xFF}));
}

// The lengths a reader asks for when it reads exactly the missing bytes each
// time, starting from none, until the reply is Complete.
Lengths ReadSteps(const Bytes& reply, const Bytes& request)
{
    Lengths steps;
    size_t have = 0;
    for (;;) {
        const Extent extent = ReplyExtent(std::span(reply).first(have), request);
        if (extent.state == ExtentState::Complete && extent.length == have) return steps;
        steps.push_back(extent.length);
        if (extent.state != ExtentState::Incomplete || extent.length <= have || extent.length > reply.size())
            return steps;
        have = extent.length;
    }
}

struct LayoutCase {
    const char* name;
    Bytes pdu;
    Lengths steps;
    Bytes request = {};
};

TEST(ReplyExtent, ReadsEachLayoutInSteps)
{
    const Bytes diagnostics = {8, 0, 0, 0xA5, 0x37};
    const Bytes longDiagnostics = {8, 0, 0, 1, 2, 3, 4, 5};
    const LayoutCase cases[] = {
        {"exception", {0x83, 2}, {2, 5}},
        {"coils", {1, 1, 0x05}, {2, 5, 6}},
        {"inputs", {2, 2, 0x80, 0x01}, {2, 5, 7}},
        {"registers", {3, 6, 0x12, 0x34, 0x7F, 0xFF, 0x80, 0x00}, {2, 5, 11}},
        {"no register bytes", {3, 0}, {2, 5}},
        {"input registers", {4, 2, 0xFF, 0xFF}, {2, 5, 7}},
        {"read/write registers", {23, 2, 0, 1}, {2, 5, 7}},
        {"single coil", {5, 0, 7, 0xFF, 0}, {2, 8}},
        {"single register", {6, 0, 1, 0x12, 0x34}, {2, 8}},
        {"multiple coils", {15, 0, 0, 0, 10}, {2, 8}},
        {"multiple registers", {16, 0, 1, 0, 2}, {2, 8}},
        {"mask write", {22, 0, 4, 0, 0xF2, 0, 0x25}, {2, 10}},
        {"exception status", {7, 0x6D}, {2, 5}},
        {"diagnostics echo", diagnostics, {2, 8}, diagnostics},
        {"longer diagnostics echo", longDiagnostics, {2, 11}, longDiagnostics},
        {"event counter", {11, 0xFF, 0xFF, 0, 0x10}, {2, 8}},
        {"event log", {12, 6, 0, 0, 0, 1, 0, 2}, {2, 5, 11}},
        {"server id", {17, 3, 0x42, 0xFF, 0x01}, {2, 5, 8}},
        {"file record read", {20, 4, 3, 6, 0, 1}, {2, 5, 9}},
        {"file record write", {21, 2, 6, 0}, {2, 5, 7}},
        {"FIFO queue", {24, 0, 6, 0, 2, 0, 1, 0, 2}, {2, 6, 12}},
        {"device identification, no objects", {0x2B, 0x0E, 1, 1, 0, 0, 0}, {2, 3, 10}},
        {"device identification, two objects", {0x2B, 0x0E, 1, 1, 0, 0, 2, 0, 3, 'A', 'B', 'C', 1, 2, 'X', 'Y'},
         {2, 3, 10, 17, 19}},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes reply = Frame(0x11, c.pdu);
        EXPECT_EQ(ReadSteps(reply, c.request), c.steps);
        for (size_t have = 0; have < reply.size(); ++have) {
            const Extent extent = ReplyExtent(std::span(reply).first(have), c.request);
            EXPECT_EQ(extent.state, ExtentState::Incomplete) << have;
            EXPECT_GT(extent.length, have);
            EXPECT_LE(extent.length, reply.size());
        }
        Bytes merged = reply;
        merged.insert(merged.end(), reply.begin(), reply.end());
        const Extent extent = ReplyExtent(merged, c.request);
        EXPECT_EQ(extent.state, ExtentState::Complete);
        EXPECT_EQ(extent.length, reply.size());
    }
}

TEST(ReplyExtent, CodesWithoutLayoutAreLeftToTheSilence)
{
    const std::pair<Bytes, Bytes> cases[] = {
        {{1, 9, 0, 0}, {}},
        {{1, 0x41, 0}, {}},
        {{1, 0x2B, 0x0D, 0}, {}},
        {{1, 8, 0, 0}, {}},
        {{1, 8, 0, 0}, {3, 0, 0, 0, 1}},
    };
    for (const auto& [stream, request] : cases) {
        const Extent extent = ReplyExtent(stream, request);
        EXPECT_EQ(extent.state, ExtentState::NoLayout) << int{stream[1]};
        EXPECT_EQ(extent.length, 0u);
    }
}

// A count or an echo that would pass kMaxFrameSize, and the largest that do not.
TEST(ReplyExtent, LengthsBeyondTheLargestFrameAreImpossible)
{
    const auto stateOf = [](const Bytes& head, const Bytes& request = {}) {
        return ReplyExtent(head, request).state;
    };
    EXPECT_EQ(stateOf({1, 3, 251}), ExtentState::Incomplete);
    EXPECT_EQ(stateOf({1, 3, 252}), ExtentState::Impossible);
    EXPECT_EQ(stateOf({1, 24, 0, 250}), ExtentState::Incomplete);
    EXPECT_EQ(stateOf({1, 24, 0, 251}), ExtentState::Impossible);
    EXPECT_EQ(stateOf({1, 24, 1, 0}), ExtentState::Impossible);
    EXPECT_EQ(stateOf({1, 8}, Bytes(253, 8)), ExtentState::Incomplete);
    EXPECT_EQ(stateOf({1, 8}, Bytes(254, 8)), ExtentState::Impossible);
    const Bytes identification = {1, 0x2B, 0x0E, 1, 1, 0, 0};
    Bytes objects = identification;
    objects.push_back(123);
    EXPECT_EQ(stateOf(objects), ExtentState::Incomplete);
    objects.back() = 124;
    EXPECT_EQ(stateOf(objects), ExtentState::Impossible);
    Bytes longObject = identification;
    longObject.insert(longObject.end(), {1, 0, 244});
    EXPECT_EQ(stateOf(longObject), ExtentState::Incomplete);
    longObject.back() = 245;
    EXPECT_EQ(stateOf(longObject), ExtentState::Impossible);
}

// The automation error number a text raises, 0 when it is taken.
template <class Taking>
long ErrorOf(Taking take, const wchar_t* text)
{
    try {
        take(text);
        return 0;
    } catch (const automation::AutomationError& error) {
        return error.number;
    }
}

struct SettingsCase {
    const wchar_t* text;
    SerialSettings settings;
};

TEST(SerialSettings, ReadsEveryPartInEachForm)
{
    const SettingsCase good[] = {
        {L"19200,E,8,1", {19200, Parity::Even, 8, StopBits::One}},
        {L"9600,n,8,2", {9600, Parity::None, 8, StopBits::Two}},
        {L" 115200 , o ,\t7 , 1.5 ", {115200, Parity::Odd, 7, StopBits::OneAndHalf}},
        {L"110,M,7,1", {110, Parity::Mark, 7, StopBits::One}},
        {L"4000000,s,8,1", {4000000, Parity::Space, 8, StopBits::One}},
        {L"1234,N,8,1", {1234, Parity::None, 8, StopBits::One}},
    };
    for (const SettingsCase& c : good) {
        EXPECT_EQ(ParseSerialSettings(c.text), c.settings) << c.text;
        EXPECT_EQ(SerialSettingsOfText(c.text), c.settings) << c.text;
    }
}

TEST(SerialSettings, OtherFormsRaiseInvalidCall)
{
    for (const wchar_t* text : {L"", L"19200", L"19200,E,8", L"19200,E,8,1,", L"19200,E,8,1,1", L"19200;E;8;1",
                                L"0,E,8,1", L"-9600,E,8,1", L"+9600,E,8,1", L"09600,E,8,1", L"4000001,E,8,1",
                                L"99999999999999999999,E,8,1", L"19200.0,E,8,1", L"19 200,E,8,1", L",E,8,1",
                                L"19200,,8,1", L"19200,X,8,1", L"19200,EE,8,1", L"19200,E,6,1", L"19200,E,9,1",
                                L"19200,E,08,1", L"19200,E,8,0", L"19200,E,8,3", L"19200,E,8,1.0", L"19200,E,8,"}) {
        EXPECT_FALSE(ParseSerialSettings(text)) << text;
        EXPECT_EQ(ErrorOf(SerialSettingsOfText, text), automation::errInvalidCall) << text;
    }
}

TEST(ComPort, NamesOneTo256InEitherCase)
{
    EXPECT_EQ(ComPortNumber(L"COM1"), 1u);
    EXPECT_EQ(ComPortNumber(L"com12"), 12u);
    EXPECT_EQ(ComPortNumber(L"Com256"), 256u);
    EXPECT_EQ(ComDevicePath(12), L"\\\\.\\COM12");
    EXPECT_EQ(DevicePathOfPortName(L"cOm3"), L"\\\\.\\COM3");
    for (const wchar_t* name : {L"", L"COM", L"COM0", L"COM257", L"COM01", L"COM-1", L"COM1 ", L" COM1", L"COM1:",
                                L"LPT1", L"CON1", L"COMX", L"\\\\.\\COM1"}) {
        EXPECT_FALSE(ComPortNumber(name)) << name;
        EXPECT_EQ(ErrorOf(DevicePathOfPortName, name), automation::errInvalidCall) << name;
    }
}

TEST(SerialTiming, CountsEveryBitAndFixesTheSilenceOnFastLines)
{
    EXPECT_DOUBLE_EQ(CharacterSeconds({9600, Parity::None, 8, StopBits::One}), 10.0 / 9600);
    EXPECT_DOUBLE_EQ(CharacterSeconds({9600, Parity::Even, 8, StopBits::Two}), 12.0 / 9600);
    EXPECT_DOUBLE_EQ(CharacterSeconds({1200, Parity::Odd, 7, StopBits::OneAndHalf}), 10.5 / 1200);
    EXPECT_DOUBLE_EQ(InterFrameSilence({9600, Parity::Even, 8, StopBits::One}), 3.5 * 11 / 9600);
    EXPECT_DOUBLE_EQ(InterFrameSilence({19200, Parity::None, 8, StopBits::Two}), 3.5 * 11 / 19200);
    EXPECT_DOUBLE_EQ(InterFrameSilence({19201, Parity::Even, 8, StopBits::One}), 0.00175);
    EXPECT_DOUBLE_EQ(InterFrameSilence({921600, Parity::None, 8, StopBits::One}), 0.00175);
}

} // namespace
