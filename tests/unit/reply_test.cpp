#include "client/reply.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <stdexcept>

namespace {

using velkomb::client::DecodeReply;
using velkomb::client::DecodedReply;
using velkomb::client::ReplyBytesNeeded;
using Bytes = std::vector<uint8_t>;
using Values = std::vector<std::optional<int32_t>>;
constexpr std::nullopt_t kEmpty = std::nullopt;

// A reply with a fixed MBAP header in front of its function code and data.
Bytes Reply(std::initializer_list<uint8_t> pdu)
{
    Bytes bytes = {0x0B, 0x00, 0x00, 0x00, 0x00, static_cast<uint8_t>(pdu.size() + 1), 0x01};
    bytes.reserve(bytes.size() + pdu.size());
    bytes.insert(bytes.end(), pdu);
    return bytes;
}

struct DecodeCase {
    const char* name;
    Bytes bytes;
    uint8_t exceptionCode;
    bool hasRegisters;
    Values values;
};

TEST(DecodeReply, DecodesEveryKindOfReply)
{
    const DecodeCase cases[] = {
        {"exception to a register read", Reply({131, 2}), 2, false, {}},
        {"exception code 128", Reply({128, 1}), 1, false, {}},
        {"write single coil", Reply({5, 0, 7, 0xFF, 0}), 0, false, {}},
        {"write single register", Reply({6, 0, 1, 0x12, 0x34}), 0, false, {}},
        {"write multiple coils", Reply({15, 0, 0, 0, 10}), 0, false, {}},
        {"write multiple registers", Reply({16, 0, 1, 0, 2}), 0, false, {}},
        {"unknown function", Reply({7, 3}), 0, false, {}},
        {"one coil byte, least significant bit first", Reply({1, 1, 0x05}), 0, true,
         {kEmpty, 1, 0, 1, 0, 0, 0, 0, 0}},
        {"two input bytes", Reply({2, 2, 0x80, 0x01}), 0, true,
         {kEmpty, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0}},
        {"registers high byte first, unsigned", Reply({3, 6, 0x12, 0x34, 0x7F, 0xFF, 0x80, 0x00}), 0, true,
         {kEmpty, 4660, 32767, 32768}},
        {"input register 65535", Reply({4, 2, 0xFF, 0xFF}), 0, true, {kEmpty, 65535}},
        {"read/write registers", Reply({23, 2, 0x01, 0x02}), 0, true, {kEmpty, 258}},
        {"no coil bytes", Reply({1, 0}), 0, true, {kEmpty}},
        {"no register bytes", Reply({3, 0}), 0, true, {kEmpty}},
        {"1 register byte reads none", Reply({3, 1, 0xAA}), 0, true, {kEmpty}},
        {"5 register bytes ignore the last", Reply({3, 5, 0, 1, 0, 2, 0xAA}), 0, true, {kEmpty, 1, 2}},
        {"7 register bytes read one past them", Reply({4, 7, 0, 1, 0, 2, 0, 3, 0x12, 0x34}), 0, true,
         {kEmpty, 1, 2, 3, 0x1234}},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const DecodedReply reply = DecodeReply(c.bytes);
        EXPECT_EQ(reply.functionCode, c.bytes[7]);
        EXPECT_EQ(reply.exceptionCode, c.exceptionCode);
        EXPECT_EQ(reply.hasRegisters, c.hasRegisters);
        EXPECT_EQ(reply.values, c.values);
    }
}

struct SplitCase {
    const char* name;
    Bytes bytes;
    size_t complete;
};

// TCP may cut a reply anywhere: every prefix must ask for what the decoding
// will read, and only the whole reply may be decoded.
TEST(ReplyBytesNeeded, KnowsTheReplyLengthAtEverySplitPoint)
{
    const SplitCase cases[] = {
        {"register read", Reply({3, 6, 0x12, 0x34, 0x7F, 0xFF, 0x80, 0x00}), 15},
        {"coil read", Reply({1, 2, 0x05, 0x80}), 11},
        {"odd register count rounded up", Reply({3, 7, 0, 1, 0, 2, 0, 3, 0x12, 0x34}), 17},
        {"odd register count rounded down", Reply({3, 5, 0, 1, 0, 2, 0xAA}), 13},
        {"no data", Reply({2, 0}), 9},
        {"exception", Reply({0x97, 4}), 9},
        {"write reply", Reply({16, 0, 1, 0, 2}), 8},
    };
    for (const SplitCase& c : cases) {
        for (size_t length = 0; length <= c.bytes.size(); ++length) {
            SCOPED_TRACE(testing::Message() << c.name << ", " << length << " bytes");
            const std::span<const uint8_t> prefix(c.bytes.data(), length);
            const size_t expected = length < 8 ? std::min<size_t>(c.complete, 8)
                                  : length < 9 ? std::min<size_t>(c.complete, 9)
                                               : c.complete;
            EXPECT_EQ(ReplyBytesNeeded(prefix), expected);
            if (length < c.complete) {
                EXPECT_THROW(DecodeReply(prefix), std::out_of_range);
            }
        }
    }
}

// Two replies in one arrival: the first is decoded, the rest is not read.
TEST(DecodeReply, DecodesOnlyTheFirstOfMergedReplies)
{
    const Bytes first = Reply({3, 2, 0x00, 0x2A});
    Bytes merged = first;
    const Bytes second = Reply({1, 1, 0xFF});
    merged.insert(merged.end(), second.begin(), second.end());

    EXPECT_EQ(ReplyBytesNeeded(merged), first.size());
    const DecodedReply reply = DecodeReply(merged);
    EXPECT_EQ(reply.functionCode, 3);
    EXPECT_EQ(reply.values, (Values{kEmpty, 42}));
}

} // namespace
