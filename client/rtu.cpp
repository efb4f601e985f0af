#include "client/rtu.h"
#include <array>

namespace velkomb::client::rtu {

namespace {

constexpr uint16_t kCrcPolynomial = 0xA001;
constexpr size_t kHeadSize = 2;  // unit id, function code
constexpr size_t kFunctionCodeIndex = 1;
constexpr size_t kCountIndex = 2;
constexpr uint8_t kExceptionMark = 0x80;
constexpr uint8_t kDiagnostics = 8;

// Read device identification: unit id, function code, MEI type, read device
// id code, conformity level, more follows, next object id, number of objects;
// then each object as id, length and value bytes.
constexpr size_t kMeiTypeIndex = 2;
constexpr uint8_t kReadDeviceIdentification = 14;
constexpr size_t kObjectCountIndex = 7;
constexpr size_t kObjectHeadSize = 2;

// The CRC of each byte value alone, shifted through all eight bits.
constexpr std::array<uint16_t, 256> kCrcTable = [] {
    std::array<uint16_t, 256> table{};
    for (unsigned value = 0; value < table.size(); ++value) {
        uint16_t crc = static_cast<uint16_t>(value);
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ kCrcPolynomial : crc >> 1;
        table[value] = crc;
    }
    return table;
}();

// A reply of `length` bytes of which `seen` are there.
Extent Needing(size_t length, size_t seen)
{
    if (length > kMaxFrameSize) return {ExtentState::Impossible, 0};
    return {seen < length ? ExtentState::Incomplete : ExtentState::Complete, length};
}

// A fixed part of `fixedLength` bytes plus as many as the count of
// `countSize` bytes (high byte first) behind the function code says.
Extent Counted(std::span<const uint8_t> stream, size_t countSize, size_t fixedLength)
{
    if (stream.size() < kCountIndex + countSize) return {ExtentState::Incomplete, fixedLength};
    size_t count = 0;
    for (size_t i = 0; i < countSize; ++i) count = count * 256 + stream[kCountIndex + i];
    return Needing(fixedLength + count, stream.size());
}

// A diagnostics reply repeats its request behind the unit id.
Extent Echo(std::span<const uint8_t> requestPdu, size_t seen)
{
    if (requestPdu.empty() || requestPdu[0] != kDiagnostics) return {ExtentState::NoLayout, 0};
    return Needing(1 + requestPdu.size() + kCrcSize, seen);
}

// Walks the objects as far as their heads have arrived; the shortest reply
// still possible gives every object not seen yet an empty value.
Extent DeviceIdentification(std::span<const uint8_t> stream)
{
    if (stream.size() <= kMeiTypeIndex) return {ExtentState::Incomplete, kMeiTypeIndex + 1};
    if (stream[kMeiTypeIndex] != kReadDeviceIdentification) return {ExtentState::NoLayout, 0};
    size_t end = kObjectCountIndex + 1;
    if (stream.size() < end) return {ExtentState::Incomplete, end + kCrcSize};
    for (size_t left = stream[kObjectCountIndex]; left > 0; --left) {
        const size_t shortest = end + kObjectHeadSize * left + kCrcSize;
        if (shortest > kMaxFrameSize) return {ExtentState::Impossible, 0};
        if (stream.size() < end + kObjectHeadSize) return {ExtentState::Incomplete, shortest};
        end += kObjectHeadSize + stream[end + 1];
    }
    return Needing(end + kCrcSize, stream.size());
}

} // namespace

// Byte by byte from the table: the CRC runs over every request and reply,
// and bit by bit it would be most of what RTU framing adds to a transaction.
uint16_t Crc16(std::span<const uint8_t> bytes)
{
    uint16_t crc = 0xFFFF;
    for (const uint8_t byte : bytes) crc = (crc >> 8) ^ kCrcTable[(crc ^ byte) & 0xFF];
    return crc;
}

std::vector<uint8_t> Frame(uint8_t unit, std::span<const uint8_t> pdu)
{
    std::vector<uint8_t> frame;
    frame.reserve(1 + pdu.size() + kCrcSize);
    frame.push_back(unit);
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    const uint16_t crc = Crc16(frame);
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

bool CrcIsGood(std::span<const uint8_t> frame)
{
    if (frame.size() < kCrcSize) return false;
    const size_t crcIndex = frame.size() - kCrcSize;
    const uint16_t crc = Crc16(frame.first(crcIndex));
    return frame[crcIndex] == (crc & 0xFF) && frame[crcIndex + 1] == crc >> 8;
}

// Lengths count the unit id and the CRC.
Extent ReplyExtent(std::span<const uint8_t> stream, std::span<const uint8_t> requestPdu)
{
    if (stream.size() < kHeadSize) return {ExtentState::Incomplete, kHeadSize};
    const size_t seen = stream.size();
    const uint8_t functionCode = stream[kFunctionCodeIndex];
    if (functionCode & kExceptionMark) return Needing(5, seen);
    switch (functionCode) {
    case 1: case 2: case 3: case 4: case 12: case 17: case 20: case 21: case 23: return Counted(stream, 1, 5);
    case 5: case 6: case 11: case 15: case 16: return Needing(8, seen);
    case 7: return Needing(5, seen);
    case 8: return Echo(requestPdu, seen);
    case 22: return Needing(10, seen);
    case 24: return Counted(stream, 2, 6);
    case 43: return DeviceIdentification(stream);
    default: return {ExtentState::NoLayout, 0};
    }
}

} // namespace velkomb::client::rtu
