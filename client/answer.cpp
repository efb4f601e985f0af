#include "client/answer.h"
#include <algorithm>

namespace velkomb::client {

namespace {

constexpr size_t kUnitIndex = 6;
constexpr size_t kFunctionIndex = 7;
constexpr size_t kDataIndex = 8;
constexpr uint8_t kExceptionMark = 0x80;

uint16_t WordAt(std::span<const uint8_t> frame, size_t index) { return frame[index] * 256u + frame[index + 1]; }

// The reply holds a byte count of exactly `count` and that many bytes.
bool HasCount(std::span<const uint8_t> reply, size_t count)
{
    return reply.size() == kDataIndex + 1 + count && reply[kDataIndex] == count;
}

// The reply repeats the request's first `count` data bytes, and nothing more.
bool Echoes(std::span<const uint8_t> request, std::span<const uint8_t> reply, size_t count)
{
    return request.size() >= kDataIndex + count && reply.size() == kDataIndex + count &&
           std::equal(reply.begin() + kDataIndex, reply.end(), request.begin() + kDataIndex);
}

bool HasLayoutAsked(std::span<const uint8_t> request, std::span<const uint8_t> reply)
{
    const bool hasQuantity = request.size() >= kDataIndex + 4;
    const size_t quantity = hasQuantity ? WordAt(request, kDataIndex + 2) : 0;
    switch (request[kFunctionIndex]) {
    case 1: case 2: return hasQuantity && HasCount(reply, (quantity + 7) / 8);
    case 3: case 4: case 23: return hasQuantity && HasCount(reply, 2 * quantity);
    case 5: case 6: case 15: case 16: return Echoes(request, reply, 4);
    case 22: return Echoes(request, reply, 6);
    case 43: return request.size() > kDataIndex && reply.size() > kDataIndex && reply[kDataIndex] == request[kDataIndex];
    default: return true;
    }
}

} // namespace

uint16_t TransactionIdOf(std::span<const uint8_t> frame) { return frame.size() < 2 ? 0 : WordAt(frame, 0); }

void SetTransactionId(std::span<uint8_t> frame, uint16_t id)
{
    frame[0] = static_cast<uint8_t>(id >> 8);
    frame[1] = static_cast<uint8_t>(id & 0xFF);
}

bool CanAnswer(std::span<const uint8_t> request, std::span<const uint8_t> reply)
{
    if (request.size() <= kFunctionIndex || reply.size() <= kFunctionIndex) return false;
    if (reply[2] != 0 || reply[3] != 0 || reply[kUnitIndex] != request[kUnitIndex]) return false;
    const uint8_t function = request[kFunctionIndex];
    if (reply[kFunctionIndex] == (function | kExceptionMark)) return reply.size() == kDataIndex + 1;
    return reply[kFunctionIndex] == function && HasLayoutAsked(request, reply);
}

} // namespace velkomb::client
