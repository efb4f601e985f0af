#include "client/reply.h"
#include <stdexcept>

namespace velkomb::client {

namespace {

constexpr size_t kFunctionCodeIndex = 7;
constexpr size_t kCountIndex = 8;
constexpr size_t kDataIndex = 9;
constexpr uint8_t kExceptionMark = 128;

bool IsCoilRead(uint8_t functionCode) { return functionCode == 1 || functionCode == 2; }
bool IsRegisterRead(uint8_t functionCode) { return functionCode == 3 || functionCode == 4 || functionCode == 23; }

// Half the byte count, an exact half rounded to the even neighbour: an odd
// count sometimes drops its last byte and sometimes reads one past it.
size_t RegisterCount(uint8_t byteCount)
{
    const size_t half = byteCount / 2;
    const bool roundUp = byteCount % 2 == 1 && half % 2 == 1;
    return roundUp ? half + 1 : half;
}

size_t DataBytesRead(uint8_t functionCode, uint8_t byteCount)
{
    return IsCoilRead(functionCode) ? byteCount : 2 * RegisterCount(byteCount);
}

std::vector<std::optional<int32_t>> Coils(std::span<const uint8_t> data)
{
    std::vector<std::optional<int32_t>> values(8 * data.size() + 1);
    for (size_t i = 0; i < data.size(); ++i)
        for (int bit = 0; bit < 8; ++bit) values[8 * i + bit + 1] = (data[i] >> bit) & 1;
    return values;
}

std::vector<std::optional<int32_t>> Registers(std::span<const uint8_t> data)
{
    std::vector<std::optional<int32_t>> values(data.size() / 2 + 1);
    for (size_t j = 1; j < values.size(); ++j) values[j] = data[2 * j - 2] * 256 + data[2 * j - 1];
    return values;
}

} // namespace

size_t ReplyBytesNeeded(std::span<const uint8_t> bytes)
{
    if (bytes.size() <= kFunctionCodeIndex) return kFunctionCodeIndex + 1;
    const uint8_t functionCode = bytes[kFunctionCodeIndex];
    const bool isRead = IsCoilRead(functionCode) || IsRegisterRead(functionCode);
    if (!isRead && functionCode < kExceptionMark) return kFunctionCodeIndex + 1;
    if (!isRead || bytes.size() <= kCountIndex) return kCountIndex + 1;
    return kDataIndex + DataBytesRead(functionCode, bytes[kCountIndex]);
}

DecodedReply DecodeReply(std::span<const uint8_t> bytes)
{
    const size_t needed = ReplyBytesNeeded(bytes);
    if (bytes.size() < needed) throw std::out_of_range("incomplete Modbus reply");
    DecodedReply reply;
    reply.functionCode = bytes[kFunctionCodeIndex];
    if (reply.functionCode >= kExceptionMark) reply.exceptionCode = bytes[kCountIndex];
    if (IsCoilRead(reply.functionCode) || IsRegisterRead(reply.functionCode)) {
        const std::span<const uint8_t> data = bytes.subspan(kDataIndex, needed - kDataIndex);
        reply.values = IsCoilRead(reply.functionCode) ? Coils(data) : Registers(data);
        reply.hasRegisters = true;
    }
    return reply;
}

} // namespace velkomb::client
