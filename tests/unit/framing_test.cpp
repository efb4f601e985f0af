#include "client/framing.h"
#include <gtest/gtest.h>
#include <variant>
#include "automation/error.h"
#include "automation/numeric.h"

namespace {

using velkomb::client::BuildRequest;
using velkomb::client::RequestFields;
using Bytes = std::vector<uint8_t>;
using automation::errOverflow;
using automation::errSubscriptOutOfRange;
using automation::errTypeMismatch;

// The host's write array: numbers, or texts that are read as numbers the way
// the runtime reads them.
class FakeValues : public velkomb::client::WriteValues {
public:
    using Item = std::variant<double, std::wstring>;
    FakeValues(std::initializer_list<Item> items) : items_(items) {}
    FakeValues(size_t count, double value) : items_(count, value) {}

    double value(long index) const override
    {
        if (index < 0 || static_cast<size_t>(index) >= items_.size())
            automation::RaiseRuntime(errSubscriptOutOfRange);
        const Item& item = items_[index];
        if (const auto* text = std::get_if<std::wstring>(&item)) return automation::NumberOfText(*text);
        return std::get<double>(item);
    }

private:
    std::vector<Item> items_;
};

RequestFields Read(const wchar_t* code, const wchar_t* start, const wchar_t* count)
{
    return {code, start, count, L"", L""};
}

RequestFields Write(const wchar_t* code, const wchar_t* start, const wchar_t* count)
{
    return {code, L"", L"", start, count};
}

// The automation error number a request raises, 0 when it is built.
long ErrorOf(const RequestFields& fields, const FakeValues& values)
{
    try {
        BuildRequest(fields, values);
        return 0;
    } catch (const automation::AutomationError& error) {
        return error.number;
    }
}

struct RequestCase {
    const char* name;
    RequestFields fields;
    FakeValues values;
    Bytes expected;
};

TEST(BuildRequest, LaysOutEveryFunctionCode)
{
    const RequestCase cases[] = {
        {"read holding registers", Read(L"3", L"100", L"10"), {},
         {0x0B, 0, 0, 0, 0, 6, 1, 3, 0x00, 0x64, 0x00, 0x0A}},
        {"read input registers, 255 of them", Read(L"4", L"65535", L"255"), {},
         {0x0B, 0, 0, 0, 0, 6, 1, 4, 0xFF, 0xFF, 0x00, 0xFF}},
        {"read coils, 16-bit quantity", Read(L"1", L"19", L"2000"), {},
         {0x0B, 0, 0, 0, 0, 6, 1, 1, 0x00, 0x13, 0x07, 0xD0}},
        {"read discrete inputs", Read(L"2", L"256", L"65535"), {},
         {0x0B, 0, 0, 0, 0, 6, 1, 2, 0x01, 0x00, 0xFF, 0xFF}},
        {"write single coil, value sent as given", Write(L"5", L"7", L""), {65280.0},
         {0x0C, 0, 0, 0, 0, 6, 1, 5, 0x00, 0x07, 0xFF, 0x00}},
        {"write single register 65535", Write(L"6", L"1", L""), {65535.0},
         {0x0C, 0, 0, 0, 0, 6, 1, 6, 0x00, 0x01, 0xFF, 0xFF}},
        {"write multiple registers", Write(L"16", L"1", L"2"), {4660.0, 65534.0},
         {0x0C, 0, 0, 0, 0, 0x0B, 1, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x12, 0x34, 0xFF, 0xFE}},
        {"write no registers", Write(L"16", L"5", L"0"), {},
         {0x0C, 0, 0, 0, 0, 7, 1, 0x10, 0x00, 0x05, 0x00, 0x00, 0x00}},
        {"values beyond the count are not read", Write(L"16", L"0", L"1"), {1.0, L"abc"},
         {0x0C, 0, 0, 0, 0, 9, 1, 0x10, 0, 0, 0, 1, 2, 0x00, 0x01}},
        {"byte count from the unrounded count", Write(L"16", L"0", L"2.5"), {1.0, 2.0},
         {0x0C, 0, 0, 0, 0, 0x0B, 1, 0x10, 0, 0, 0, 2, 5, 0, 1, 0, 2}},
        {"register value rounded half to even", Write(L"6", L"0", L""), {2.5},
         {0x0C, 0, 0, 0, 0, 6, 1, 6, 0, 0, 0x00, 0x02}},
        {"write multiple coils", Write(L"15", L"0", L"10"), {1.0, 0.0, 1.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 1.0},
         {0x0C, 0, 0, 0, 0, 9, 1, 0x0F, 0x00, 0x00, 0x00, 0x0A, 0x02, 0x0D, 0x03}},
        {"coil bytes padded with zero bits", Write(L"15", L"0", L"9"), FakeValues(9, 1.0),
         {0x0C, 0, 0, 0, 0, 9, 1, 0x0F, 0, 0, 0, 9, 2, 0xFF, 0x01}},
        {"coil values of 2 or more spill into higher bits", Write(L"15", L"0", L"1"), {2.0},
         {0x0C, 0, 0, 0, 0, 8, 1, 0x0F, 0, 0, 0, 1, 1, 0x02}},
        {"coil products are OR'ed, not added", Write(L"15", L"0", L"4"), {3.0, 1.0, 3.0, 1.0},
         {0x0C, 0, 0, 0, 0, 8, 1, 0x0F, 0, 0, 0, 4, 1, 0x0F}},
        {"coil products, not values, are rounded", Write(L"15", L"0", L"2"), {0.0, 1.5},
         {0x0C, 0, 0, 0, 0, 8, 1, 0x0F, 0, 0, 0, 2, 1, 0x03}},
        {"read/write multiple registers", {L"23", L"0", L"2", L"16", L"1"}, {258.0},
         {0x0C, 0, 0, 0, 0, 0x0D, 1, 0x17, 0, 0, 0, 2, 0x00, 0x10, 0, 1, 2, 0x01, 0x02}},
        {"read/write without registers to write", {L"23", L"1", L"3", L"2", L"0"}, {},
         {0x0C, 0, 0, 0, 0, 0x0B, 1, 0x17, 0, 1, 0, 3, 0, 2, 0, 0, 0}},
        {"blanks around a number", Read(L"3", L" 12 ", L"1"), {},
         {0x0B, 0, 0, 0, 0, 6, 1, 3, 0x00, 0x0C, 0x00, 0x01}},
        {"fractions rounded half to even", Read(L"1", L"2.5", L"3.5"), {},
         {0x0B, 0, 0, 0, 0, 6, 1, 1, 0x00, 0x02, 0x00, 0x04}},
        {"both bytes of a field from one rounded value", Read(L"1", L"255.5", L"65535.4"), {},
         {0x0B, 0, 0, 0, 0, 6, 1, 1, 0x01, 0x00, 0xFF, 0xFF}},
        {"both bytes of a register value too", Write(L"6", L"0", L""), {511.5},
         {0x0C, 0, 0, 0, 0, 6, 1, 6, 0, 0, 0x02, 0x00}},
        {"function code 3.5 is 4", Read(L"3.5", L"0", L"1"), {},
         {0x0B, 0, 0, 0, 0, 6, 1, 4, 0, 0, 0, 1}},
        {"unsupported 7", Read(L"7", L"0", L"1"), {}, {}},
        {"unsupported 0", Read(L"0", L"0", L"1"), {}, {}},
        {"unsupported 255", Read(L"255", L"0", L"1"), {}, {}},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(BuildRequest(c.fields, c.values), c.expected);
    }
}

struct LimitCase {
    const char* name;
    RequestFields fields;
    FakeValues values;
    size_t size;
};

// The largest write counts whose length byte is 255.
TEST(BuildRequest, AcceptsLargestWrites)
{
    const LimitCase cases[] = {
        {"124 registers", Write(L"16", L"0", L"124"), FakeValues(124, 1.0), 13 + 248},
        {"122 registers read/write", {L"23", L"0", L"255", L"0", L"122"}, FakeValues(122, 1.0), 17 + 244},
        {"1984 coils", Write(L"15", L"0", L"1984"), FakeValues(1984, 1.0), 13 + 248},
    };
    for (const LimitCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes request = BuildRequest(c.fields, c.values);
        ASSERT_EQ(request.size(), c.size);
        EXPECT_EQ(request[5], 255);
        EXPECT_EQ(request.back(), c.fields.funCode == L"15" ? 0xFF : 0x01);
    }
}

struct FailureCase {
    const char* name;
    RequestFields fields;
    FakeValues values;
    long error;
};

TEST(BuildRequest, RaisesTheFirstFailingConversion)
{
    const FailureCase cases[] = {
        {"function code empty", Read(L"", L"0", L"1"), {}, errTypeMismatch},
        {"function code abc", Read(L"abc", L"0", L"1"), {}, errTypeMismatch},
        {"function code 256", Read(L"256", L"0", L"1"), {}, errOverflow},
        {"address 65536", Read(L"3", L"65536", L"1"), {}, errOverflow},
        {"address -1", Read(L"3", L"-1", L"1"), {}, errOverflow},
        {"address 65535.5, which rounds to 65536", Read(L"3", L"65535.5", L"1"), {}, errOverflow},
        {"address empty", Read(L"3", L"", L"1"), {}, errTypeMismatch},
        {"write address abc", Write(L"6", L"abc", L""), {1.0}, errTypeMismatch},
        {"256 registers", Read(L"3", L"0", L"256"), {}, errOverflow},
        {"coil quantity 65536", Read(L"1", L"0", L"65536"), {}, errOverflow},
        {"125 registers", Write(L"16", L"0", L"125"), FakeValues(125, 1.0), errOverflow},
        {"123 registers read/write", {L"23", L"0", L"1", L"0", L"123"}, FakeValues(123, 1.0), errOverflow},
        {"read count 256 of read/write", {L"23", L"0", L"256", L"0", L"1"}, {1.0}, errOverflow},
        {"1985 coils", Write(L"15", L"0", L"1985"), FakeValues(1985, 1.0), errOverflow},
        {"no coils", Write(L"15", L"0", L"0"), {}, errSubscriptOutOfRange},
        {"coil -1", Write(L"15", L"0", L"1"), {-1.0}, errOverflow},
        {"coil abc", Write(L"15", L"0", L"1"), {L"abc"}, errTypeMismatch},
        {"register -1", Write(L"16", L"0", L"1"), {-1.0}, errOverflow},
        {"register 65536", Write(L"6", L"0", L""), {65536.0}, errOverflow},
        {"register abc", Write(L"16", L"0", L"1"), {L"abc"}, errTypeMismatch},
        {"no single value", Write(L"5", L"0", L""), {}, errSubscriptOutOfRange},
        {"too few registers", Write(L"16", L"0", L"2"), {1.0}, errSubscriptOutOfRange},
        {"too few coils", Write(L"15", L"0", L"10"), FakeValues(9, 1.0), errSubscriptOutOfRange},
        // Order of evaluation: the length byte before the address,
        {"length before address", Write(L"16", L"abc", L"125"), {}, errOverflow},
        // the write count of 23 (in its length byte) before its read fields,
        {"write count before read address", {L"23", L"65536", L"1", L"0", L"abc"}, {}, errTypeMismatch},
        {"read count before write address", {L"23", L"0", L"256", L"abc", L"1"}, {1.0}, errOverflow},
        // every coil copied before any is packed,
        {"missing coil before bad coil", Write(L"15", L"0", L"2"), {L"abc"}, errSubscriptOutOfRange},
        // and 8.6 coils round to 9, more than the one coil byte holds.
        {"more coils than coil bytes", Write(L"15", L"0", L"8.6"), FakeValues(9, 1.0), errSubscriptOutOfRange},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ErrorOf(c.fields, c.values), c.error);
    }
}

TEST(BuildRequest, BuildsExactlyTheSupportedCodes)
{
    const FakeValues values = {0.0};
    for (int code = 0; code <= 255; ++code) {
        const std::wstring text = std::to_wstring(code);
        const bool built = !BuildRequest({text, L"0", L"1", L"0", L"1"}, values).empty();
        const bool listed = (code >= 1 && code <= 6) || code == 15 || code == 16 || code == 23;
        EXPECT_EQ(built, listed) << code;
        EXPECT_EQ(velkomb::client::IsSupported(velkomb::client::FunctionCodeOf(text)), listed) << code;
    }
}

} // namespace
