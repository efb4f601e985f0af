#include "client/device_id.h"

namespace velkomb::client {

namespace {

constexpr uint8_t kFunction = 43;
constexpr uint8_t kMeiType = 14;
constexpr uint8_t kMoreFollows = 0xFF;
// MEI type, read code, conformity, more follows, next id, count.
constexpr size_t kHeaderSize = 6;

} // namespace

std::vector<uint8_t> DeviceIdRequest(uint8_t readCode, uint8_t objectId)
{
    return {kFunction, kMeiType, readCode, objectId};
}

DeviceIdReply ParseDeviceIdReply(std::span<const uint8_t> data)
{
    DeviceIdReply reply;
    if (data.size() < kHeaderSize || data[0] != kMeiType) return reply;
    reply.moreFollows = data[3] == kMoreFollows;
    reply.nextObjectId = data[4];
    size_t at = kHeaderSize;
    for (uint8_t i = 0; i < data[5]; ++i) {
        if (at + 2 > data.size() || at + 2 + data[at + 1] > data.size()) return reply;
        const auto value = data.subspan(at + 2, data[at + 1]);
        reply.objects.emplace_back(data[at], std::string(value.begin(), value.end()));
        at += 2 + data[at + 1];
    }
    reply.wellFormed = true;
    return reply;
}

} // namespace velkomb::client
