// Whether a reply can be the answer to a request, both as Modbus/TCP frames
// (the MBAP header, then the PDU from byte 7). The transaction id is left to
// the caller, which knows every id the request went out with. Plain C++ over
// bytes, free of platform headers.
#pragma once
#include <cstdint>
#include <span>

namespace velkomb::client {

uint16_t TransactionIdOf(std::span<const uint8_t> frame);
// `frame` with its transaction id replaced by `id`, high byte first.
void SetTransactionId(std::span<uint8_t> frame, uint16_t id);

// Protocol id 0, the request's unit id, and either an exception reply to its
// function code or a reply that has the layout the request asks for: a read
// with exactly the byte count asked for, a write that echoes its address
// and value or quantity, a mask write that echoes all of it, a device
// identification of the same MEI type. A function code whose reply layout
// is not known here is taken as it comes.
bool CanAnswer(std::span<const uint8_t> request, std::span<const uint8_t> reply);

} // namespace velkomb::client
