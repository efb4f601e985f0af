#include "client/reply.h"
#include <algorithm>

namespace velkomb::client {

namespace {

constexpr size_t kLengthIndex = 4;
constexpr size_t kHeaderSize = 6;  // the bytes in front of those the length field counts
constexpr size_t kFunctionCodeIndex = 7;
constexpr size_t kCountIndex = 8;
constexpr size_t kDataIndex = 9;
constexpr uint8_t kExceptionMark = 128;

bool IsCoilRead(uint8_t functionCode) { return functionCode == 1 || functionCode == 2; }
bool IsRegisterRead(uint8_t functionCode) { return functionCode == 3 || functionCode == 4 || functionCode == 23; }

// Half the byte count, an exact half rounded to the even neighbour: an odd
// count sometimes drops its last byte and sometimes asks for one past it,
// which leaves the last element empty.
size_t RegisterCount(uint8_t byteCount)
{
    const size_t half = byteCount / 2;
    const bool roundUp = byteCount % 2 == 1 && half % 2 == 1;
    return roundUp ? half + 1 : half;
}

// `data` holds the data bytes that arrived, at most as many as announced.
std::vector<std::optional<int32_t>> Coils(uint8_t byteCount, std::span<const uint8_t> data)
{
    std::vector<std::optional<int32_t>> values(8 * size_t{byteCount} + 1);
    for (size_t i = 0; i < data.size(); ++i)
        for (int bit = 0; bit < 8; ++bit) values[8 * i + bit + 1] = (data[i] >> bit) & 1;
    return values;
}

std::vector<std::optional<int32_t>> Registers(uint8_t byteCount, std::span<const uint8_t> data)
{
    std::vector<std::optional<int32_t>> values(RegisterCount(byteCount) + 1);
    for (size_t j = 1; j < values.size() && 2 * j <= data.size(); ++j)
        values[j] = data[2 * j - 2] * 256 + data[2 * j - 1];
    return values;
}

} // namespace

Frame FrameAt(std::span<const uint8_t> stream)
{
    if (stream.size() < kHeaderSize) return {};
    const size_t lengthField = stream[kLengthIndex] * 256u + stream[kLengthIndex + 1];
    if (lengthField < kMinFrameLengthField || lengthField > kMaxFrameLengthField) return {FrameState::Impossible, 0};
    const size_t length = kHeaderSize + lengthField;
    return {stream.size() < length ? FrameState::Incomplete : FrameState::Complete, length};
}

DecodedReply DecodeReply(std::span<const uint8_t> reply)
{
    DecodedReply decoded;
    if (reply.size() <= kFunctionCodeIndex) return decoded;
    const uint8_t functionCode = reply[kFunctionCodeIndex];
    const bool isRead = IsCoilRead(functionCode) || IsRegisterRead(functionCode);
    const bool hasCount = reply.size() > kCountIndex;
    if (functionCode >= kExceptionMark && !hasCount) return decoded;

    decoded.hasCodes = true;
    decoded.functionCode = functionCode;
    if (functionCode >= kExceptionMark) decoded.exceptionCode = reply[kCountIndex];
    if (!isRead) {
        decoded.complete = true;
        return decoded;
    }
    if (!hasCount) return decoded;

    const uint8_t byteCount = reply[kCountIndex];
    const size_t arrived = std::min<size_t>(byteCount, reply.size() - kDataIndex);
    const std::span<const uint8_t> data = reply.subspan(kDataIndex, arrived);
    decoded.values = IsCoilRead(functionCode) ? Coils(byteCount, data) : Registers(byteCount, data);
    decoded.hasRegisters = true;
    decoded.complete = arrived == byteCount;
    return decoded;
}

} // namespace velkomb::client
