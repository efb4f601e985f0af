#include "client/values.h"
#include <oleauto.h>
#include <algorithm>
#include <array>
#include <bit>
#include "automation/error.h"
#include "automation/numeric.h"

namespace velkomb::client {

namespace {

template <class Enum, size_t N>
using NameTable = std::array<std::pair<const wchar_t*, Enum>, N>;

constexpr NameTable<DataType, 6> kDataTypes = {{
    {L"Int16", DataType::Int16},
    {L"UInt16", DataType::UInt16},
    {L"Int32", DataType::Int32},
    {L"UInt32", DataType::UInt32},
    {L"Float32", DataType::Float32},
    {L"Float64", DataType::Float64},
}};

constexpr NameTable<WordOrder, 4> kWordOrders = {{
    {L"ABCD", WordOrder::ABCD},
    {L"CDAB", WordOrder::CDAB},
    {L"BADC", WordOrder::BADC},
    {L"DCBA", WordOrder::DCBA},
}};

template <class Enum, size_t N>
Enum Named(const NameTable<Enum, N>& table, const std::wstring& name)
{
    for (const auto& [text, value] : table)
        if (CompareStringOrdinal(text, -1, name.c_str(), static_cast<int>(name.size()), TRUE) == CSTR_EQUAL)
            return value;
    automation::RaiseRuntime(automation::errInvalidCall);
}

// The register at `position` of the value's own order (most significant
// first), as it stands in `registers` (address order), and the reverse: the
// arrangement is its own inverse.
uint16_t Arranged(std::span<const uint16_t> registers, size_t position, WordOrder order)
{
    const bool reversed = registers.size() > 1 && (order == WordOrder::CDAB || order == WordOrder::DCBA);
    const bool swapped = registers.size() > 1 && (order == WordOrder::BADC || order == WordOrder::DCBA);
    const uint16_t value = registers[reversed ? registers.size() - 1 - position : position];
    return swapped ? static_cast<uint16_t>(value << 8 | value >> 8) : value;
}

// The value's bits, most significant register first.
uint64_t BitsOf(std::span<const uint16_t> registers, WordOrder order)
{
    uint64_t bits = 0;
    for (size_t i = 0; i < registers.size(); ++i) bits = bits << 16 | Arranged(registers, i, order);
    return bits;
}

std::vector<uint16_t> RegistersOf(uint64_t bits, size_t count, WordOrder order)
{
    std::vector<uint16_t> ordered(count);
    for (size_t i = 0; i < count; ++i) ordered[count - 1 - i] = static_cast<uint16_t>(bits >> (16 * i));
    std::vector<uint16_t> registers(count);
    for (size_t i = 0; i < count; ++i) registers[i] = Arranged(ordered, i, order);
    return registers;
}

// The runtime's conversions of a number to the types the client has no
// other use for; each raises overflow (6) outside the type's range.
uint16_t UInt16OfNumber(double number)
{
    USHORT value = 0;
    automation::Check(VarUI2FromR8(number, &value));
    return value;
}

uint32_t UInt32OfNumber(double number)
{
    ULONG value = 0;
    automation::Check(VarUI4FromR8(number, &value));
    return value;
}

float SingleOfNumber(double number)
{
    FLOAT value = 0;
    automation::Check(VarR4FromR8(number, &value));
    return value;
}

uint64_t BitsOfNumber(DataType type, double number)
{
    switch (type) {
    case DataType::Int16: return static_cast<uint16_t>(automation::Int16OfNumber(number));
    case DataType::UInt16: return UInt16OfNumber(number);
    case DataType::Int32: return static_cast<uint32_t>(automation::Int32OfNumber(number));
    case DataType::UInt32: return UInt32OfNumber(number);
    case DataType::Float32: return std::bit_cast<uint32_t>(SingleOfNumber(number));
    case DataType::Float64: return std::bit_cast<uint64_t>(number);
    }
    return 0;
}

} // namespace

DataType DataTypeOf(const std::wstring& name) { return Named(kDataTypes, name); }
WordOrder WordOrderOf(const std::wstring& name) { return Named(kWordOrders, name); }

size_t RegisterCount(DataType type)
{
    switch (type) {
    case DataType::Int16: case DataType::UInt16: return 1;
    case DataType::Int32: case DataType::UInt32: case DataType::Float32: return 2;
    case DataType::Float64: return 4;
    }
    return 0;
}

automation::Variant DecodeValue(DataType type, WordOrder order, std::span<const uint16_t> registers)
{
    const uint64_t bits = BitsOf(registers, order);
    automation::Variant value;
    VARIANT& v = *value.get();
    switch (type) {
    case DataType::Int16:
        V_VT(&v) = VT_I2;
        V_I2(&v) = static_cast<int16_t>(bits);
        break;
    case DataType::UInt16:
    case DataType::Int32:
        V_VT(&v) = VT_I4;
        V_I4(&v) = static_cast<int32_t>(bits);
        break;
    case DataType::UInt32:
        V_VT(&v) = VT_R8;
        V_R8(&v) = static_cast<double>(bits);
        break;
    case DataType::Float32:
        V_VT(&v) = VT_R4;
        V_R4(&v) = std::bit_cast<float>(static_cast<uint32_t>(bits));
        break;
    case DataType::Float64:
        V_VT(&v) = VT_R8;
        V_R8(&v) = std::bit_cast<double>(bits);
        break;
    }
    return value;
}

std::vector<uint16_t> EncodeValue(DataType type, WordOrder order, double number)
{
    return RegistersOf(BitsOfNumber(type, number), RegisterCount(type), order);
}

} // namespace velkomb::client
