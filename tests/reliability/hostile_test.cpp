// VelkoMB against a hostile device (the fake device switched through its
// control port): over ten thousand replies of random bytes, cut anywhere,
// with lying byte counts and lengths, unknown and exception function codes,
// trickled, flooded, reset or closed at every phase. After each one the client must
// have returned within the watchdog, show consistent status texts, and
// decode the next good reply correctly (after a Connect when the connection
// was broken or the byte stream can no longer be trusted).
#include <gtest/gtest.h>
#include <cstdio>
#include <random>
#include <sstream>
#include "client/reply.h"
#include "tests/support/client_driver.h"
#include "tests/support/test_support.h"

using testsupport::Control;
using testsupport::DrivenClient;
using velkomb::client::DecodedReply;
using velkomb::client::DecodeReply;
using velkomb::client::FrameAt;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr ULONGLONG kWatchdogBoundMs = 2500;  // watchdog "1" plus scheduling slack

enum class Outcome { Decoded, TimedOut, Either };

struct HostileCase {
    std::string name;
    std::string options;  // for the control port; --once is added
    Outcome outcome;
    Bytes reply;          // what is decoded when the outcome is Decoded
    bool breaksStream;    // the connection is gone or may still deliver stale bytes
    bool onNewConnection; // the device misbehaves on the next connection
};

std::string Hex(const Bytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

uint8_t RandomFunctionCode(std::mt19937& rng)
{
    static const uint8_t reads[] = {1, 2, 3, 4, 23}, writes[] = {5, 6, 15, 16};
    switch (rng() % 4) {
    case 0: return reads[rng() % std::size(reads)];
    case 1: return static_cast<uint8_t>(128 + rng() % 128);
    case 2: return writes[rng() % std::size(writes)];
    default: return static_cast<uint8_t>(rng());
    }
}

// A random reply whose length field counts its bytes: random ids and unit,
// a random function code, then either a byte count with that many random
// bytes or a few random bytes (whose byte count, if any, may claim more or
// fewer than follow).
Bytes RandomReply(std::mt19937& rng)
{
    Bytes pdu = {RandomFunctionCode(rng)};
    if (rng() % 2 == 0) {
        const auto count = static_cast<uint8_t>(rng() % 252);  // the longest reply carries 251
        pdu.push_back(count);
        for (unsigned n = count; n > 0; --n) pdu.push_back(static_cast<uint8_t>(rng()));
    } else {
        for (unsigned n = rng() % 12; n > 0; --n) pdu.push_back(static_cast<uint8_t>(rng()));
    }
    Bytes bytes(7);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    bytes[4] = 0;
    bytes[5] = static_cast<uint8_t>(pdu.size() + 1);
    bytes.insert(bytes.end(), pdu.begin(), pdu.end());
    return bytes;
}

// The reply whole, or cut into up to four pieces.
std::string Delivery(std::mt19937& rng, const Bytes& reply)
{
    const std::string bytes = " --reply " + Hex(reply);
    if (rng() % 2 == 0) return "--mode raw" + bytes;
    std::ostringstream cuts;
    for (unsigned n = 1 + rng() % 3; n > 0; --n) cuts << (n < 3 ? "," : "") << 1 + rng() % (reply.size() - 1);
    std::string list = cuts.str();
    if (list.front() == ',') list.erase(0, 1);
    return "--mode split --pause 0 --split-at " + list + bytes;
}

Bytes Header(uint8_t functionCode) { return {11, 0, 0, 0, 0, 5, 1, functionCode}; }

Bytes WithLengthField(Bytes reply, unsigned length)
{
    reply[4] = static_cast<uint8_t>(length >> 8);
    reply[5] = static_cast<uint8_t>(length);
    return reply;
}

Bytes TwoRegisters() { return {11, 0, 0, 0, 0, 7, 1, 3, 4, 0x12, 0x34, 0xAB, 0xCD}; }

// The cases that cannot end before the watchdog, or that break the
// connection, and lies about the reply's size.
std::vector<HostileCase> SlowCases()
{
    std::vector<HostileCase> cases;
    const Bytes registers = TwoRegisters();
    const Bytes exception = {11, 0, 0, 0, 0, 3, 1, 0x83, 2};
    for (const Bytes& reply : {registers, exception})
        for (size_t length = 1; length < reply.size(); ++length)
            cases.push_back({"truncated at " + std::to_string(length),
                             "--mode truncated --reply " + Hex(reply) + " --length " + std::to_string(length),
                             Outcome::TimedOut, {}, false, false});
    for (uint8_t code : {1, 3, 23}) {
        Bytes lying = Header(code);
        lying.push_back(255);  // a byte count of 255 and no data
        cases.push_back({"count 255 with no data", "--mode raw --reply " + Hex(lying), Outcome::TimedOut, {}, false, false});
        // The same in a reply whose length says it ends there: decoded as
        // far as it goes, without NewDataIn.
        lying = WithLengthField(lying, 3);
        cases.push_back({"count 255 in a reply of 9 bytes", "--mode raw --reply " + Hex(lying), Outcome::Decoded, lying,
                         false, false});
    }
    // Lengths no reply carries: dropped, so the wait ends by the watchdog and
    // the next request starts clean.
    for (unsigned length : {0u, 1u, 255u, 300u})
        cases.push_back({"length field " + std::to_string(length),
                         "--mode raw --reply " + Hex(WithLengthField(registers, length)), Outcome::TimedOut, {}, false,
                         false});
    cases.push_back({"accepts and never answers", "--mode silent", Outcome::TimedOut, {}, false, false});
    cases.push_back({"one byte every 100 ms", "--mode trickle --pause 0.1 --reply " + Hex(registers),
                     Outcome::TimedOut, {}, true, false});
    for (int seed : {1, 2})
        cases.push_back({"1 MB of garbage", "--mode flood --length 1048576 --seed " + std::to_string(seed),
                         Outcome::Either, {}, true, false});
    for (const char* ending : {"reset", "close"})
        for (size_t length : {0u, 1u, 7u, 8u, 9u, 12u, 13u}) {
            const bool whole = length == registers.size();
            cases.push_back({std::string(ending) + " mid-reply after " + std::to_string(length),
                             std::string("--mode ") + ending + "-mid-reply --pause 0 --length " +
                                 std::to_string(length) + " --reply " + Hex(registers),
                             whole ? Outcome::Decoded : Outcome::TimedOut, whole ? registers : Bytes{}, true, false});
        }
    for (const char* mode : {"close-on-accept", "reset-on-accept", "close-mid-request", "reset-mid-request"})
        cases.push_back({mode, std::string("--mode ") + mode, Outcome::Either, {}, true, true});
    return cases;
}

std::vector<long> Expected(const DecodedReply& reply)
{
    std::vector<long> values;
    for (size_t i = 1; i < reply.values.size(); ++i) values.push_back(reply.values[i] ? *reply.values[i] : -1);
    return values;
}

bool IsByteText(const std::wstring& text)
{
    return !text.empty() && text.size() <= 3 && text.find_first_not_of(L"0123456789") == std::wstring::npos &&
           std::stoi(text) <= 255;
}

class HostileDevice : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Control("--mode normal")); }
    void TearDown() override { Control("--mode normal"); }

    // Runs the case and checks the client's state right after it.
    void Drive(DrivenClient& mb, const HostileCase& c)
    {
        ASSERT_TRUE(Control(c.options + " --once")) << c.name;
        if (c.onNewConnection) mb.Connect(1000);
        mb.Request(L"3", 0, 2);
        const std::vector<long> before = mb.Values();
        const std::wstring errBefore = mb.Text(&velkomb::_VelkoMB::get_ErrCode);
        const std::wstring exceptBefore = mb.Text(&velkomb::_VelkoMB::get_ExceptCode);
        const int events = mb.events;
        const ULONGLONG start = GetTickCount64();
        const HRESULT hr = mb->Execute();
        const ULONGLONG took = GetTickCount64() - start;
        ++driven_;

        EXPECT_LE(took, kWatchdogBoundMs) << c.name;
        EXPECT_TRUE(hr == S_OK || HRESULT_FACILITY(hr) == FACILITY_CONTROL) << c.name << std::hex << hr;
        const std::wstring watchdog = mb.Text(&velkomb::_VelkoMB::get_WatchdogError);
        EXPECT_TRUE(watchdog == L"0" || watchdog == L"1") << c.name;
        const std::wstring errCode = mb.Text(&velkomb::_VelkoMB::get_ErrCode);
        const std::wstring exceptCode = mb.Text(&velkomb::_VelkoMB::get_ExceptCode);
        // Both are empty until the first reply.
        const bool noReplyYet = mb.events == 0 && errCode.empty() && exceptCode.empty();
        EXPECT_TRUE(noReplyYet || (IsByteText(errCode) && IsByteText(exceptCode))) << c.name;
        if (IsByteText(errCode) && std::stoi(errCode) < 128) {
            EXPECT_EQ(exceptCode, L"0") << c.name;
        }

        if (c.outcome == Outcome::Decoded) {
            ++decoded_;
            // A reply that ends before a byte its decoding needs ends the wait
            // all the same, keeps what it did not reach and raises no event.
            const DecodedReply reply = DecodeReply(std::span(c.reply).first(FrameAt(c.reply).length));
            EXPECT_EQ(hr, S_OK) << c.name;
            EXPECT_EQ(watchdog, L"0") << c.name;
            EXPECT_EQ(mb.events, events + (reply.complete ? 1 : 0)) << c.name;
            EXPECT_EQ(errCode, reply.hasCodes ? std::to_wstring(reply.functionCode) : errBefore) << c.name;
            EXPECT_EQ(exceptCode, reply.hasCodes ? std::to_wstring(reply.exceptionCode) : exceptBefore) << c.name;
            EXPECT_EQ(mb.Values(), reply.hasRegisters ? Expected(reply) : before) << c.name;
        } else if (c.outcome == Outcome::TimedOut) {
            ++timedOut_;
            EXPECT_EQ(watchdog, L"1") << c.name;
            EXPECT_EQ(mb.events, events) << c.name;
            EXPECT_GE(took, 1000u) << c.name;
        } else {
            ++faults_;
        }
    }

    // The next good reply decodes correctly, after a Connect where needed.
    void Recover(DrivenClient& mb, const HostileCase& c, long round)
    {
        if (c.breaksStream || mb.State() != L"7") {
            ASSERT_TRUE(mb.Connect()) << c.name;
        }
        const long start = round % 100, count = 1 + round % 4;
        mb.Request(L"3", start, count);
        const int events = mb.events;
        ASSERT_EQ(mb->Execute(), S_OK) << c.name;
        ASSERT_EQ(mb.Text(&velkomb::_VelkoMB::get_WatchdogError), L"0") << "after " << c.name;
        ASSERT_EQ(mb.events, events + 1) << "after " << c.name;
        ASSERT_EQ(mb.Text(&velkomb::_VelkoMB::get_ErrCode), L"3") << "after " << c.name;
        std::vector<long> expected;
        for (long i = 0; i < count; ++i) expected.push_back(1000 + start + i);
        ASSERT_EQ(mb.Values(), expected) << "after " << c.name;
    }

    void Report(const char* what)
    {
        std::printf("%s: %d hostile replies driven (%d decoded at once, %d timed out, %d connection faults)\n", what,
                    driven_, decoded_, timedOut_, faults_);
    }

    int driven_ = 0, decoded_ = 0, timedOut_ = 0, faults_ = 0;
};

TEST_F(HostileDevice, TenThousandRandomRepliesLeaveTheClientSound)
{
    constexpr long kReplies = 10000;
    DrivenClient mb;
    ASSERT_TRUE(mb.Connect());
    std::mt19937 rng(20240601);
    for (long round = 0; round < kReplies; ++round) {
        const Bytes reply = RandomReply(rng);
        const HostileCase c{"random reply " + Hex(reply), Delivery(rng, reply), Outcome::Decoded, reply, false, false};
        Drive(mb, c);
        Recover(mb, c, round);
        if (HasFatalFailure() || HasFailure()) break;
    }
    Report("random complete replies");
}

TEST_F(HostileDevice, CutsLiesSilenceFloodsAndBrokenConnectionsLeaveTheClientSound)
{
    DrivenClient mb;
    ASSERT_TRUE(mb.Connect());
    long round = 0;
    for (const HostileCase& c : SlowCases()) {
        Drive(mb, c);
        Recover(mb, c, round++);
        if (HasFatalFailure()) break;
    }
    Report("slow and breaking cases");
}

} // namespace
