// Modbus RTU framing: a PDU behind its unit id with a CRC-16 behind it, and
// the extent of a reply told from its function code's layout, so a reader
// knows how many bytes to wait for without timing the gaps between them.
// Plain C++ over bytes, free of platform headers, so it can be built and
// fuzzed anywhere.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velkomb::client::rtu {

// Unit id, PDU and CRC: no RTU frame is longer.
constexpr size_t kMaxFrameSize = 256;
constexpr size_t kCrcSize = 2;

// CRC-16 as RTU frames carry it: reflected polynomial 0xA001, start 0xFFFF.
uint16_t Crc16(std::span<const uint8_t> bytes);

// Unit id, PDU, then the CRC of both, low byte first.
std::vector<uint8_t> Frame(uint8_t unit, std::span<const uint8_t> pdu);

// True when the frame's last two bytes are the CRC of the bytes before them.
bool CrcIsGood(std::span<const uint8_t> frame);

enum class ExtentState {
    Incomplete,  // more bytes are needed: `length` is how many the frame has at least
    Complete,    // the first `length` bytes make the reply
    NoLayout,    // the function code does not tell the length: the caller ends the
                 // frame at the silence after it (`length` 0)
    Impossible,  // the layout gives a length beyond kMaxFrameSize (`length` 0)
};

struct Extent {
    ExtentState state = ExtentState::Incomplete;
    size_t length = 0;  // counting unit id and CRC
};

// The extent of the reply at the start of `stream` (its unit id first) to the
// request whose PDU is `requestPdu` (a diagnostics reply echoes its request).
// While Incomplete, `length` never exceeds the shortest reply that starts
// with the bytes seen, so a reader may ask for exactly the missing bytes:
// 2 until the function code is there, then the fixed part of its layout,
// then what the counts in it add.
Extent ReplyExtent(std::span<const uint8_t> stream, std::span<const uint8_t> requestPdu);

} // namespace velkomb::client::rtu
