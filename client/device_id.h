// Read device identification (function 43, MEI type 14): the request PDUs
// the client sends and the objects it reads from the replies. Plain C++ over
// bytes, free of platform headers.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace velkomb::client {

// Read device id codes: the regular category (which holds the basic one)
// from an object on, and one object alone.
constexpr uint8_t kRegularStream = 2;
constexpr uint8_t kOneObject = 4;

std::vector<uint8_t> DeviceIdRequest(uint8_t readCode, uint8_t objectId);

struct DeviceIdReply {
    bool wellFormed = false;  // every object it announces is there
    bool moreFollows = false;
    uint8_t nextObjectId = 0;
    std::vector<std::pair<uint8_t, std::string>> objects;  // id and value bytes
};

// The data of a reply, after its function code: MEI type on.
DeviceIdReply ParseDeviceIdReply(std::span<const uint8_t> data);

} // namespace velkomb::client
