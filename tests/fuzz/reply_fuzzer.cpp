// Reply framing and decoding over arbitrary bytes, delivered whole and in the
// pieces TCP may cut them into, consumed the way the client does: reply after
// reply as their lengths complete, everything dropped when a length is one no
// reply carries.
#include <fuzzer/FuzzedDataProvider.h>
#include <cstdlib>
#include <vector>
#include "client/reply.h"

using velkomb::client::DecodeReply;
using velkomb::client::DecodedReply;
using velkomb::client::FrameAt;
using velkomb::client::FrameState;

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
    return 0;
}
