// Numeric texts and error conversion, as hosts see them.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <oleauto.h>
#include <functional>
#include <string>
#include <vector>
#include "automation/error.h"
#include "automation/numeric.h"
#include "support/error_texts.h"
#include "support/helpers.h"

using namespace automation;

namespace {

long ErrorNumberOf(const std::function<void()>& body)
{
    try {
        body();
    } catch (const AutomationError& error) {
        return error.number;
    }
    return 0;
}

TEST(NumericTexts, RoundHalfToEvenAndAcceptBlanks)
{
    EXPECT_EQ(ByteOfText(L"2.5"), 2);
    EXPECT_EQ(ByteOfText(L"3.5"), 4);
    EXPECT_EQ(ByteOfText(L" 12 "), 12);
    EXPECT_EQ(ByteOfText(L"255"), 255);
    EXPECT_EQ(Int16OfText(L"-32768"), -32768);
    EXPECT_EQ(Int32OfText(L"70000"), 70000);
    EXPECT_DOUBLE_EQ(NumberOfText(L"-1.25"), -1.25);
}

// Texts of plain digits, which skip the platform's parser, read as it reads
// them in any locale.
TEST(NumericTexts, PlainDigitsReadAsThePlatformReadsThem)
{
    std::vector<std::wstring> texts = {L"0", L"7", L"10", L"255", L"00012", L"65535", L"999999999", L"1234567890"};
    for (unsigned seed = 1; seed < 200; ++seed) texts.push_back(std::to_wstring(seed * 2654435761u % 1000000000u));
    for (const std::wstring& text : texts) {
        for (LCID locale : {LCID{LOCALE_USER_DEFAULT}, LCID{0x407}, LCID{0x40C}, LCID{0x411}}) {
            BSTR value = SysAllocString(text.c_str());
            double expected = 0;
            EXPECT_EQ(S_OK, VarR8FromStr(value, locale, 0, &expected));
            SysFreeString(value);
            EXPECT_EQ(expected, NumberOfText(text)) << text << " in locale " << locale;
        }
    }
}

TEST(NumericTexts, FailWithOverflowOrTypeMismatch)
{
    EXPECT_EQ(ErrorNumberOf([] { ByteOfText(L"256"); }), errOverflow);
    EXPECT_EQ(ErrorNumberOf([] { ByteOfText(L"-1"); }), errOverflow);
    EXPECT_EQ(ErrorNumberOf([] { Int16OfText(L"32768"); }), errOverflow);
    EXPECT_EQ(ErrorNumberOf([] { ByteOfText(L"abc"); }), errTypeMismatch);
    EXPECT_EQ(ErrorNumberOf([] { ByteOfText(L""); }), errTypeMismatch);
    EXPECT_EQ(ErrorNumberOf([] { NumberOfText(L"1 2"); }), errTypeMismatch);
}

// Handles reach hosts as 32-bit numbers: exact for every value a handle
// takes (INVALID_SOCKET included), an overflow for any other.
TEST(HandleNumbers, RoundTripOrOverflow)
{
    for (uintptr_t handle : {uintptr_t{0x4}, uintptr_t{0x7FFFFFFC}, static_cast<uintptr_t>(INVALID_SOCKET)})
        EXPECT_EQ(handle, velkomb::support::NumberToHandle(velkomb::support::HandleToNumber(handle)));
    EXPECT_EQ(-1, velkomb::support::HandleToNumber(INVALID_SOCKET));
    if constexpr (sizeof(uintptr_t) == 8) {
        for (uintptr_t handle : {static_cast<uintptr_t>(0x80000000ull), static_cast<uintptr_t>(0x100000000ull)})
            EXPECT_EQ(errOverflow, ErrorNumberOf([&] { velkomb::support::HandleToNumber(handle); }));
    }
}

TEST(Errors, BoundaryReportsNumberSourceAndDescription)
{
    HRESULT hr = Boundary(L"Test.Method", [] { RaiseRuntime(errOverflow); });
    EXPECT_EQ(hr, static_cast<HRESULT>(0x800A0006));
    IErrorInfo* info = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    BSTR source = nullptr, description = nullptr;
    info->GetSource(&source);
    info->GetDescription(&description);
    EXPECT_STREQ(source, L"Test.Method");
    EXPECT_STREQ(description, L"Overflow");
    SysFreeString(source);
    SysFreeString(description);
    info->Release();

    // A raiser's own source is kept; numbers above 32767 keep all 16 bits.
    EXPECT_EQ(Boundary(L"Outer", [] { Raise(40006, L"CSocket.SendData", L"x"); }), static_cast<HRESULT>(0x800A9C46));
    EXPECT_THROW(CheckCall(HresultOf(9)), AutomationError);
}

// The thread's error info as "source: description".
std::wstring CurrentErrorInfo()
{
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || !info) return L"<none>";
    BSTR source = nullptr, description = nullptr;
    info->GetSource(&source);
    info->GetDescription(&description);
    std::wstring text = std::wstring(source ? source : L"") + L": " + (description ? description : L"");
    SysFreeString(source);
    SysFreeString(description);
    info->Release();
    return text;
}

TEST(Errors, FailuresOfOtherKindsKeepTheirHresultAndGetErrorInfoOfTheirOwn)
{
    // A call on another object that failed with a plain HRESULT and no error
    // info of its own.
    EXPECT_EQ(Boundary(L"VelkoMB.Connect", [] { CheckCall(E_UNEXPECTED); }), E_UNEXPECTED);
    const std::wstring reported = CurrentErrorInfo();
    EXPECT_EQ(reported.rfind(L"VelkoMB.Connect: ", 0), 0u) << std::string(reported.begin(), reported.end());
    EXPECT_GT(reported.size(), std::wstring(L"VelkoMB.Connect: ").size());
    EXPECT_EQ(reported.find(L"Application-defined"), std::wstring::npos);

    // A failure that is no automation error replaces an earlier call's error
    // info instead of leaving it for the caller to misread.
    Boundary(L"Earlier.Call", [] { RaiseRuntime(errOverflow); });
    EXPECT_EQ(Boundary(L"Test.Method", [] { throw 42; }), E_UNEXPECTED);
    EXPECT_EQ(CurrentErrorInfo().rfind(L"Test.Method: ", 0), 0u);
}

TEST(ErrorTexts, TableAndDefault)
{
    using velkomb::support::GetErrorDescription;
    EXPECT_EQ(GetErrorDescription(10061), L"Connection refused.");
    EXPECT_EQ(GetErrorDescription(11001), L"Host not found.");
    EXPECT_EQ(GetErrorDescription(10035), L"Resource temporarily unavailable.");
    EXPECT_EQ(GetErrorDescription(10047), L"Address family not supported by protocol family.");
    EXPECT_EQ(GetErrorDescription(11004), L"Valid name, no data record of requested type.");
    for (long unknown : {0L, -1L, 10059L, 10068L, 40006L, 7L})
        EXPECT_EQ(GetErrorDescription(unknown), L"Unknown error.") << unknown;
}

} // namespace
