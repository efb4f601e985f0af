// Framing and decoding of Modbus/TCP replies as the client reads them. A
// reply's extent is given by its MBAP header: 6 bytes and then as many as its
// length field (bytes 4-5, high byte first) counts, whatever the function
// code. Within one reply the function code at byte 7 is read, then an
// exception code or a byte count at byte 8 and the data bytes of a read;
// nothing else is checked. Plain C++ over bytes, free of platform headers,
// so it can be built and fuzzed anywhere.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velkomb::client {

enum class FrameState {
    Incomplete,  // the reply's bytes are not all there yet
    Complete,    // `length` bytes make one reply
    Impossible,  // the length field is one no Modbus/TCP reply carries
};

struct Frame {
    FrameState state = FrameState::Incomplete;
    size_t length = 0;  // of the reply, once its header is there (0 before)
};

// Every length from unit id plus function code (2) to unit id plus the
// largest PDU (254).
constexpr size_t kMinFrameLengthField = 2;
constexpr size_t kMaxFrameLengthField = 254;

// The extent of the reply at the start of a received byte stream.
Frame FrameAt(std::span<const uint8_t> stream);

struct DecodedReply {
    // The function code was read, and for an exception reply its code too:
    // ErrCode and ExceptCode change.
    bool hasCodes = false;
    uint8_t functionCode = 0;
    // The exception code of an exception reply (function code above 127), else 0.
    uint8_t exceptionCode = 0;
    // True for the read functions 1, 2, 3, 4 and 23 once their byte count was
    // read: their values replace the client's read array; false leaves that
    // array as it was.
    bool hasRegisters = false;
    // The new read array, indexed from 0; element 0 and elements the data
    // bytes do not reach are empty. Coils 0 or 1, registers 0 to 65535.
    std::vector<std::optional<int32_t>> values;
    // Every byte the reply announces was there (NewDataIn). False when the
    // reply ends before a byte the decoding needs (a byte count claiming more
    // than the reply holds): the decoding stopped there.
    bool complete = false;
};

// Decodes one reply (as FrameAt delimits it); reads no byte beyond it.
DecodedReply DecodeReply(std::span<const uint8_t> reply);

} // namespace velkomb::client
