// Reply decoding over arbitrary bytes, delivered whole and in the pieces TCP
// may cut them into, accumulated the way the client does.
#include <fuzzer/FuzzedDataProvider.h>
#include <cstdlib>
#include <stdexcept>
#include <vector>
#include "client/reply.h"

using velkomb::client::DecodeReply;
using velkomb::client::DecodedReply;
using velkomb::client::ReplyBytesNeeded;

namespace {

void Require(bool condition)
{
    if (!condition) std::abort();
}

// Decodes when the bytes say they are complete, and only then.
void DecodeIfComplete(std::span<const uint8_t> bytes)
{
    const size_t needed = ReplyBytesNeeded(bytes);
    Require(needed >= 8);
    try {
        const DecodedReply reply = DecodeReply(bytes);
        Require(needed <= bytes.size());
        Require(reply.functionCode == bytes[7]);
        Require(reply.exceptionCode == (bytes[7] >= 128 ? bytes[8] : 0));
        Require(reply.hasRegisters == !reply.values.empty());
        if (reply.hasRegisters) Require(!reply.values[0]);
        for (const auto& value : reply.values) Require(!value || (*value >= 0 && *value <= 65535));
    } catch (const std::out_of_range&) {
        Require(needed > bytes.size());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const size_t pieceSize = input.ConsumeIntegralInRange<size_t>(1, 16);
    const std::vector<uint8_t> bytes = input.ConsumeRemainingBytes<uint8_t>();
    DecodeIfComplete(bytes);

    std::vector<uint8_t> partial;
    for (size_t offset = 0; offset < bytes.size(); offset += pieceSize) {
        const size_t end = std::min(bytes.size(), offset + pieceSize);
        partial.insert(partial.end(), bytes.begin() + offset, bytes.begin() + end);
        if (ReplyBytesNeeded(partial) > partial.size()) continue;
        DecodeIfComplete(partial);
        partial.clear();
    }
    return 0;
}
