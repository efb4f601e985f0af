// Reply framing and decoding over arbitrary bytes, delivered whole and in the
// pieces TCP may cut them into, consumed the way the client does: reply after
// reply as their lengths complete, everything dropped when a length is one no
// reply carries. The same bytes are read as RTU replies too: the first byte
// tells how many of the next ones make the request PDU, the rest are replies
// read as a serial reader does, asking for exactly the bytes still missing.
#include <fuzzer/FuzzedDataProvider.h>
#include <algorithm>
#include <cstdlib>
#include <vector>
#include "client/reply.h"
#include "client/rtu.h"

using velkomb::client::DecodeReply;
using velkomb::client::DecodedReply;
using velkomb::client::FrameAt;
using velkomb::client::FrameState;
using velkomb::client::rtu::Extent;
using velkomb::client::rtu::ExtentState;
using velkomb::client::rtu::kMaxFrameSize;
using velkomb::client::rtu::ReplyExtent;

namespace {

void Require(bool condition)
{
    if (!condition) std::abort();
}

void CheckDecoded(std::span<const uint8_t> bytes)
{
    const DecodedReply reply = DecodeReply(bytes);
    Require(reply.hasCodes || !reply.complete);
    if (reply.hasCodes) {
        Require(reply.functionCode == bytes[7]);
        Require(reply.exceptionCode == (bytes[7] >= 128 ? bytes[8] : 0));
    }
    Require(reply.hasRegisters == !reply.values.empty());
    if (reply.hasRegisters) Require(!reply.values[0]);
    for (const auto& value : reply.values) Require(!value || (*value >= 0 && *value <= 65535));
}

// Decodes every complete reply at the start of `stream` and removes it; false
// when the stream is out of step.
bool DecodeComplete(std::vector<uint8_t>& stream)
{
    for (;;) {
        const auto frame = FrameAt(stream);
        if (frame.state == FrameState::Impossible) return false;
        if (frame.state == FrameState::Incomplete) {
            Require(frame.length == 0 || frame.length > stream.size());
            return true;
        }
        Require(frame.length >= 8 && frame.length <= 260 && frame.length <= stream.size());
        // A copy of exactly the reply: the sanitizers catch any read beyond it.
        const std::vector<uint8_t> reply(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(frame.length));
        CheckDecoded(reply);
        stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(frame.length));
    }
}

void CheckExtent(const Extent& extent, size_t seen)
{
    switch (extent.state) {
    case ExtentState::Incomplete: Require(extent.length > seen && extent.length >= 2); break;
    case ExtentState::Complete: Require(extent.length >= 4 && extent.length <= seen); break;
    default: Require(extent.length == 0); break;
    }
    Require(extent.length <= kMaxFrameSize);
}

// A reply's CRC is good exactly when framing its PDU again gives its bytes.
void CheckCrc(const std::vector<uint8_t>& reply)
{
    const std::span<const uint8_t> pdu = std::span(reply).subspan(1, reply.size() - 3);
    Require(velkomb::client::rtu::CrcIsGood(reply) == (velkomb::client::rtu::Frame(reply[0], pdu) == reply));
}

// Asks for the missing bytes of the reply at the start of `stream` until its
// extent is known or the stream has no more; no step asks for a byte beyond
// a reply the whole stream completes, and every step agrees with the whole.
Extent ReadRtuReply(std::span<const uint8_t> stream, std::span<const uint8_t> request)
{
    const Extent whole = ReplyExtent(stream, request);
    CheckExtent(whole, stream.size());
    for (size_t have = 0;;) {
        // A copy of exactly the bytes read: the sanitizers catch any read beyond them.
        const std::vector<uint8_t> seen(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(have));
        const Extent extent = ReplyExtent(seen, request);
        CheckExtent(extent, have);
        if (extent.state != ExtentState::Incomplete) {
            Require(extent.state == whole.state && extent.length == whole.length);
            if (extent.state == ExtentState::Complete) CheckCrc(seen);
            return whole;
        }
        Require(whole.state != ExtentState::Complete || extent.length <= whole.length);
        if (extent.length > stream.size()) return whole;
        have = extent.length;
    }
}

void ReadRtuReplies(std::span<const uint8_t> bytes)
{
    if (bytes.empty()) return;
    const size_t requestSize = std::min<size_t>(bytes[0], bytes.size() - 1);
    const std::span<const uint8_t> request = bytes.subspan(1, requestSize);
    std::span<const uint8_t> stream = bytes.subspan(1 + requestSize);
    while (!stream.empty()) {
        const Extent extent = ReadRtuReply(stream, request);
        if (extent.state != ExtentState::Complete) return;
        stream = stream.subspan(extent.length);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const size_t pieceSize = input.ConsumeIntegralInRange<size_t>(1, 16);
    const std::vector<uint8_t> bytes = input.ConsumeRemainingBytes<uint8_t>();
    CheckDecoded(bytes);

    std::vector<uint8_t> stream;
    for (size_t offset = 0; offset < bytes.size(); offset += pieceSize) {
        const size_t end = std::min(bytes.size(), offset + pieceSize);
        stream.insert(stream.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                      bytes.begin() + static_cast<std::ptrdiff_t>(end));
        if (!DecodeComplete(stream)) stream.clear();
    }
    ReadRtuReplies(bytes);
    return 0;
}
