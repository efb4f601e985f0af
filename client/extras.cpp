// The client's members beyond its type library that work on what it holds:
// typed values in the read and write arrays, the frame trace and the name of
// the exception code. Port, UnitId and ConnectAndWait live with the
// connection and the request they shape.
#include <algorithm>
#include <climits>
#include <span>
#include "automation/numeric.h"
#include "automation/safearray.h"
#include "client/values.h"
#include "client/velkomb.h"

namespace velkomb::client {

namespace {

using automation::RaiseRuntime;

// SetValue writes within the register address space.
constexpr long long kWriteArrayLength = 65536;

// An element number as the host gives it, rounded as the runtime rounds
// indices: 13 when it is no number, 6 beyond 32 bits.
long IndexOf(const VARIANT& index) { return automation::Int32OfNumber(automation::NumberOfVariant(index)); }

// The text of an argument; 13 when it has none (Null, an array).
std::wstring TextOfArgument(const VARIANT& value)
{
    automation::Variant text;
    automation::Check(VariantChangeType(text.get(), const_cast<VARIANT*>(&*automation::ValueOf(value)), 0, VT_BSTR));
    return automation::TextOf(V_BSTR(text.get()));
}

// The register an element of the read array holds; 13 for anything else
// (Empty, as element 0 and the elements a short reply left).
uint16_t RegisterOf(const automation::Variant& element)
{
    const VARIANT& v = *element.get();
    if (V_VT(&v) == VT_I2 && V_I2(&v) >= 0) return static_cast<uint16_t>(V_I2(&v));
    if (V_VT(&v) == VT_I4 && V_I4(&v) >= 0 && V_I4(&v) <= 0xFFFF) return static_cast<uint16_t>(V_I4(&v));
    RaiseRuntime(automation::errTypeMismatch);
}

// `count` registers from element `first` of the read array: 9 unless all of
// them are in it, then 13 for one that holds no register.
std::vector<uint16_t> RegistersAt(const VARIANT& array, long first, size_t count)
{
    long lower = 0, upper = -1;
    const long long last = static_cast<long long>(first) + static_cast<long long>(count) - 1;
    if (!automation::BoundsOf(array, lower, upper) || first < lower || last > upper)
        RaiseRuntime(automation::errSubscriptOutOfRange);
    std::vector<uint16_t> registers;
    for (long i = first; i <= last; ++i) registers.push_back(RegisterOf(automation::ElementOf(array, i)));
    return registers;
}

// A new write array from element 0, long enough for `registers` from element
// `first` on, keeping what the old one held at 0 and above (when it held a
// one-dimensional array).
automation::Variant WithRegisters(const VARIANT& old, long first, std::span<const uint16_t> registers)
{
    long lower = 0, upper = -1;
    const bool hadArray = automation::BoundsOf(old, lower, upper);
    const long last = first + static_cast<long>(registers.size()) - 1;
    automation::Variant array = automation::VariantArray(std::max(hadArray ? upper : -1L, last));
    for (long i = std::max(lower, 0L); hadArray && i <= upper; ++i)
        automation::PutElement(*array.get(), i, *automation::ElementOf(old, i).get());
    for (size_t k = 0; k < registers.size(); ++k) {
        VARIANT value;
        V_VT(&value) = VT_I4;
        V_I4(&value) = registers[k];
        automation::PutElement(*array.get(), first + static_cast<long>(k), value);
    }
    return array;
}

// Two upper-case hexadecimal digits a byte, single blanks between.
std::wstring HexText(std::span<const uint8_t> bytes)
{
    static constexpr wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring text;
    text.reserve(bytes.size() * 3);
    for (uint8_t byte : bytes) {
        if (!text.empty()) text += L' ';
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

// The standard name of an exception code, as ExceptCode holds it.
const wchar_t* ExceptionName(const std::wstring& code)
{
    static constexpr std::pair<const wchar_t*, const wchar_t*> names[] = {
        {L"1", L"Illegal function"},
        {L"2", L"Illegal data address"},
        {L"3", L"Illegal data value"},
        {L"4", L"Server device failure"},
        {L"5", L"Acknowledge"},
        {L"6", L"Server device busy"},
        {L"8", L"Memory parity error"},
        {L"10", L"Gateway path unavailable"},
        {L"11", L"Gateway target device failed to respond"},
    };
    if (code.empty() || code == L"0") return L"";
    for (const auto& [number, name] : names)
        if (code == number) return name;
    return L"Unknown exception";
}

} // namespace

HRESULT VelkoMB::GetValue(VARIANT* index, VARIANT* dataType, VARIANT* result)
{
    if (!index || !dataType || !result) return E_POINTER;
    return Call(L"VelkoMB.GetValue", [&] {
        const long first = IndexOf(*index);
        const DataType type = DataTypeOf(TextOfArgument(*dataType));
        const WordOrder order = WordOrderOf(wordOrder_);
        const std::vector<uint16_t> registers = RegistersAt(*arwReg_.get(), first, RegisterCount(type));
        DecodeValue(type, order, registers).detachTo(result);
    });
}

HRESULT VelkoMB::SetValue(VARIANT* index, VARIANT* dataType, VARIANT* value)
{
    if (!index || !dataType || !value) return E_POINTER;
    return Call(L"VelkoMB.SetValue", [&] {
        const long first = IndexOf(*index);
        const DataType type = DataTypeOf(TextOfArgument(*dataType));
        const WordOrder order = WordOrderOf(wordOrder_);
        if (first < 0 || first + static_cast<long long>(RegisterCount(type)) > kWriteArrayLength)
            RaiseRuntime(automation::errSubscriptOutOfRange);
        const std::vector<uint16_t> registers = EncodeValue(type, order, automation::NumberOfVariant(*value));
        arwWReg_ = WithRegisters(*arwWReg_.get(), first, registers);
    });
}

// The trace is formatted when it is read, so transactions do not pay for it.
HRESULT VelkoMB::get_LastRequest(BSTR* value) { return PutOut(value, HexText(requestBytes_)); }
HRESULT VelkoMB::get_LastReply(BSTR* value) { return PutOut(value, HexText(lastReply_)); }
HRESULT VelkoMB::get_LastStaleReply(BSTR* value) { return PutOut(value, HexText(lastStaleReply_)); }

HRESULT VelkoMB::get_ExceptText(BSTR* value) { return PutOut(value, ExceptionName(exceptCode_)); }

} // namespace velkomb::client
