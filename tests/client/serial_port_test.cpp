// The client's serial port against real RTU devices on pseudo-terminal lines
// (tools/devices/serial_line.sh): the pymodbus simulator on COM5 (units 1,
// 2 and 17) and the libmodbus server on COM12 (unit 1), both with the
// register map of the TCP devices. Replies are read as the client reads
// them: the header first, then the rest by its length, each read waited for
// together with the thread's messages.
#include <gtest/gtest.h>
#include <windows.h>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>
#include "automation/error.h"
#include "client/serial_port.h"

namespace {

using Bytes = std::vector<uint8_t>;
using velkomb::client::SerialPort;

constexpr DWORD kBaud = 19200;
constexpr DWORD kReplyWaitMs = 2000;
constexpr DWORD kSilenceMs = 200;
// Unit, function code and byte count (or exception code) of a reply.
constexpr size_t kReplyHeader = 3;
constexpr size_t kCrcBytes = 2;

void OpenLine(SerialPort& port, const std::wstring& path) { port.Open(path, kBaud, NOPARITY, 8, ONESTOPBIT); }

uint16_t Crc(const Bytes& bytes)
{
    uint16_t crc = 0xFFFF;
    for (uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = crc & 1 ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

Bytes WithCrc(Bytes frame)
{
    const uint16_t crc = Crc(frame);
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

void DispatchMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

// Reads exactly `count` bytes within timeoutMs, dispatching messages while
// it waits; cancels the read and returns nothing when they do not come.
std::optional<Bytes> ReadExactly(SerialPort& port, size_t count, DWORD timeoutMs)
{
    port.StartRead(count);
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    HANDLE event = port.ReadEvent();
    for (ULONGLONG now = GetTickCount64(); now < deadline; now = GetTickCount64()) {
        const DWORD woke = MsgWaitForMultipleObjectsEx(1, &event, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                                       MWMO_INPUTAVAILABLE);
        if (woke == WAIT_OBJECT_0) {
            Bytes got;
            port.FinishRead(got);
            return got;
        }
        DispatchMessages();
    }
    port.CancelRead();
    return std::nullopt;
}

// What follows a reply's header: an exception's CRC, the address and count
// (or value) of a write, or the data of a read, each with the CRC.
size_t RestOf(const Bytes& header)
{
    constexpr size_t kWriteEcho = 4;
    if (header[1] & 0x80) return kCrcBytes;
    switch (header[1]) {
    case 5: case 6: case 15: case 16: return kWriteEcho - 1 + kCrcBytes;
    default: return header[2] + kCrcBytes;
    }
}

// Sends a request and reads its reply, the header first, then the rest.
Bytes Transact(SerialPort& port, const Bytes& request)
{
    port.Write(request);
    std::optional<Bytes> reply = ReadExactly(port, kReplyHeader, kReplyWaitMs);
    if (!reply) return {};
    std::optional<Bytes> rest = ReadExactly(port, RestOf(*reply), kReplyWaitMs);
    if (rest) reply->insert(reply->end(), rest->begin(), rest->end());
    return *reply;
}

// Unit 1, read holding registers 0 and 1 (1000 and 1001).
const Bytes kReadTwo = {0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B};
const Bytes kTwoRegisters = WithCrc({0x01, 0x03, 0x04, 0x03, 0xE8, 0x03, 0xE9});

TEST(SerialPort, MissingPortRaisesTheSystemsError)
{
    SerialPort port;
    try {
        OpenLine(port, L"\\\\.\\COM99");
        FAIL() << "a port that does not exist opened";
    } catch (const automation::AutomationError& error) {
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, error.number);
        EXPECT_EQ(automation::HresultText(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), error.description);
        EXPECT_NE(L"Automation error", error.description);
    }
    EXPECT_FALSE(port.IsOpen());
}

// Each line with a real device on its other end.
class SerialLine : public ::testing::TestWithParam<const wchar_t*> {
protected:
    void SetUp() override { ASSERT_NO_THROW(OpenLine(port_, GetParam())); }

    SerialPort port_;
};

TEST_P(SerialLine, RequestIsAnsweredHeaderFirstThenByLength)
{
    EXPECT_EQ(kTwoRegisters, Transact(port_, kReadTwo));
    EXPECT_FALSE(port_.ReadPending());
}

TEST_P(SerialLine, ReadThatGetsNothingIsCancelledCleanly)
{
    EXPECT_FALSE(ReadExactly(port_, 1, kSilenceMs)) << "bytes arrived unasked";
    EXPECT_FALSE(port_.ReadPending());
    EXPECT_EQ(kTwoRegisters, Transact(port_, kReadTwo)) << "the line works after the cancel";

    // A reply left unread is dropped by a purge.
    port_.Write(kReadTwo);
    Sleep(kSilenceMs);
    port_.Purge();
    EXPECT_FALSE(ReadExactly(port_, 1, kSilenceMs));
}

TEST_P(SerialLine, ClosedPortOpensAgain)
{
    port_.StartRead(kReplyHeader);
    port_.Close();
    EXPECT_FALSE(port_.IsOpen());
    EXPECT_FALSE(port_.ReadPending());
    ASSERT_NO_THROW(OpenLine(port_, GetParam()));
    EXPECT_EQ(kTwoRegisters, Transact(port_, kReadTwo));
}

// Values made of bytes that a text-mode line or software flow control would
// change or swallow (CR LF, XON XOFF, EOF, FF) are written, read back and
// come with a correct CRC.
TEST_P(SerialLine, BinaryBytesPassUnchanged)
{
    const Bytes values = {0x0D, 0x0A, 0x11, 0x13, 0x1A, 0xFF};
    Bytes write = {0x01, 0x10, 0x00, 0x0A, 0x00, 0x03, 0x06};
    write.insert(write.end(), values.begin(), values.end());
    EXPECT_EQ(WithCrc({0x01, 0x10, 0x00, 0x0A, 0x00, 0x03}), Transact(port_, WithCrc(write)));

    Bytes expected = {0x01, 0x03, 0x06};
    expected.insert(expected.end(), values.begin(), values.end());
    EXPECT_EQ(WithCrc(expected), Transact(port_, WithCrc({0x01, 0x03, 0x00, 0x0A, 0x00, 0x03})));
}

INSTANTIATE_TEST_SUITE_P(Devices, SerialLine, ::testing::Values(L"\\\\.\\COM5", L"\\\\.\\COM12"),
                         [](const auto& info) { return info.index == 0 ? "pymodbus_COM5" : "libmodbus_COM12"; });

} // namespace
