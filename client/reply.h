// Decoding of a Modbus/TCP reply as the client reads it: the function code at
// byte 7, then an exception code or a byte count at byte 8 and the data bytes
// of a read. Nothing else of the reply is checked. Plain C++ over bytes, free
// of platform headers, so it can be built and fuzzed anywhere.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velkomb::client {

struct DecodedReply {
    uint8_t functionCode = 0;
    // The exception code of an exception reply (function code above 127), else 0.
    uint8_t exceptionCode = 0;
    // True for the read functions 1, 2, 3, 4 and 23, whose values replace the
    // client's read array; false leaves that array as it was.
    bool hasRegisters = false;
    // The new read array, indexed from 0; element 0 and elements the decoding
    // does not reach are empty. Coils 0 or 1, registers 0 to 65535.
    std::vector<std::optional<int32_t>> values;
};

// How many bytes the decoding of the reply that starts with `bytes` reads,
// as far as the bytes so far tell: a reply split by TCP is complete once
// this is no larger than the number of bytes received.
size_t ReplyBytesNeeded(std::span<const uint8_t> bytes);

// Decodes a complete reply; bytes beyond the ones it needs are ignored.
// Throws std::out_of_range when the reply is incomplete.
DecodedReply DecodeReply(std::span<const uint8_t> bytes);

} // namespace velkomb::client
