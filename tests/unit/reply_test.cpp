#include "client/reply.h"
#include <gtest/gtest.h>

namespace {

using velkomb::client::DecodeReply;
using velkomb::client::DecodedReply;
using velkomb::client::FrameAt;
using velkomb::client::FrameState;
using Bytes = std::vector<uint8_t>;
using Values = std::vector<std::optional<int32_t>>;
constexpr std::nullopt_t kEmpty = std::nullopt;

// A reply with an MBAP header in front of its function code and data; its
// length field counts the unit id and `pdu`.
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
        {"7 register bytes leave the fourth empty", Reply({4, 7, 0, 1, 0, 2, 0, 3, 0x12}), 0, true,
         {kEmpty, 1, 2, 3, kEmpty}},
        {"nor does a byte behind the data fill it", Reply({4, 7, 0, 1, 0, 2, 0, 3, 0x12, 0x34}), 0, true,
         {kEmpty, 1, 2, 3, kEmpty}},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const DecodedReply reply = DecodeReply(c.bytes);
        EXPECT_TRUE(reply.complete);
        EXPECT_TRUE(reply.hasCodes);
        EXPECT_EQ(reply.functionCode, c.bytes[7]);
        EXPECT_EQ(reply.exceptionCode, c.exceptionCode);
        EXPECT_EQ(reply.hasRegisters, c.hasRegisters);
        EXPECT_EQ(reply.values, c.values);
    }
}

// A reply that ends before a byte the decoding needs: what was reached
// stands, and the reply does not count as complete.
TEST(DecodeReply, StopsAtTheFirstByteTheReplyLacks)
{
    const DecodedReply exception = DecodeReply(Reply({131}));
    EXPECT_FALSE(exception.hasCodes);
    EXPECT_FALSE(exception.complete);

    const DecodedReply noCount = DecodeReply(Reply({3}));
    EXPECT_TRUE(noCount.hasCodes);
    EXPECT_EQ(noCount.functionCode, 3);
    EXPECT_FALSE(noCount.hasRegisters);
    EXPECT_FALSE(noCount.complete);

    const DecodedReply lyingCount = DecodeReply(Reply({3, 6, 0x00, 0x2A, 0x01}));
    EXPECT_TRUE(lyingCount.hasRegisters);
    EXPECT_EQ(lyingCount.values, (Values{kEmpty, 42, kEmpty, kEmpty}));
    EXPECT_FALSE(lyingCount.complete);

    const DecodedReply coils = DecodeReply(Reply({1, 2, 0x01}));
    EXPECT_EQ(coils.values.size(), 17u);
    EXPECT_EQ(coils.values[1], 1);
    EXPECT_EQ(coils.values[9], kEmpty);
    EXPECT_FALSE(coils.complete);
}

struct FrameCase {
    const char* name;
    Bytes bytes;
};

// TCP may cut a reply anywhere: its header's length tells where it ends,
// whatever its function code.
TEST(FrameAt, KnowsTheReplyLengthAtEverySplitPoint)
{
    const FrameCase cases[] = {
        {"register read", Reply({3, 6, 0x12, 0x34, 0x7F, 0xFF, 0x80, 0x00})},
        {"coil read", Reply({1, 2, 0x05, 0x80})},
        {"odd register count", Reply({3, 7, 0, 1, 0, 2, 0, 3, 0x12})},
        {"exception", Reply({0x97, 4})},
        {"write reply", Reply({16, 0, 1, 0, 2})},
        {"count claiming more than the reply holds", Reply({3, 200, 1, 2})},
    };
    for (const FrameCase& c : cases) {
        for (size_t length = 0; length <= c.bytes.size(); ++length) {
            SCOPED_TRACE(testing::Message() << c.name << ", " << length << " bytes");
            const auto frame = FrameAt(std::span<const uint8_t>(c.bytes.data(), length));
            EXPECT_EQ(frame.state, length == c.bytes.size() ? FrameState::Complete : FrameState::Incomplete);
            EXPECT_EQ(frame.length, length < 6 ? 0 : c.bytes.size());
        }
    }
}

TEST(FrameAt, LengthsNoReplyCarriesAreImpossible)
{
    for (int length : {0, 1, 255, 300, 65535}) {
        Bytes bytes = Reply({3, 2, 0, 1});
        bytes[4] = static_cast<uint8_t>(length >> 8);
        bytes[5] = static_cast<uint8_t>(length);
        EXPECT_EQ(FrameAt(bytes).state, FrameState::Impossible) << length;
    }
    const Bytes shortest = {0, 0, 0, 0, 0, 2, 1, 6};
    EXPECT_EQ(FrameAt(shortest).state, FrameState::Complete);
}

// Two replies in one arrival: the first ends where its length says.
TEST(FrameAt, EndsTheFirstOfMergedReplies)
{
    const Bytes first = Reply({16, 0, 1, 0, 2});
    Bytes merged = first;
    const Bytes second = Reply({3, 2, 0x00, 0x2A});
    merged.insert(merged.end(), second.begin(), second.end());

    const auto frame = FrameAt(merged);
    ASSERT_EQ(frame.state, FrameState::Complete);
    EXPECT_EQ(frame.length, first.size());
    EXPECT_EQ(FrameAt(std::span<const uint8_t>(merged).subspan(frame.length)).length, second.size());
}

} // namespace
