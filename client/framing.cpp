#include "client/framing.h"
#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <span>
#include "automation/error.h"
#include "automation/numeric.h"

namespace velkomb::client {

namespace {

using automation::ByteOfNumber;
using automation::ByteOfText;
using automation::Int16OfText;
using automation::Int32OfNumber;
using automation::NumberOfText;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kBitsPerCoilByte = 8;

// The integer part of number / divisor, taken downwards, as a byte.
uint8_t FlooredQuotientByte(double number, double divisor)
{
    return ByteOfNumber(std::floor(number / divisor));
}

// A 16-bit field, high byte first. The number is brought to a whole number
// (an exact half to the even neighbour) once for both bytes: converted each
// on its own, a fraction just below a multiple of 256 would send the high
// byte of one value and the low byte of the next ("255.5" as 0). Overflow
// (6) outside 0 to 65535.
void AppendWord(Bytes& out, double number)
{
    const int32_t whole = Int32OfNumber(number);
    if (whole < 0 || whole > 0xFFFF) automation::RaiseRuntime(automation::errOverflow);
    out.push_back(static_cast<uint8_t>(whole >> 8));
    out.push_back(static_cast<uint8_t>(whole & 0xFF));
}

void AppendWord(Bytes& out, const std::wstring& text) { AppendWord(out, NumberOfText(text)); }

// The MBAP header and the function code; the caller computes the length
// byte first, which is the first byte that can fail, and the unit id is next.
Bytes Header(const std::wstring& unitId, uint8_t functionCode, uint8_t lengthLow)
{
    const uint8_t transactionHigh = functionCode <= 4 ? 11 : 12;
    return {transactionHigh, 0, 0, 0, 0, lengthLow, ByteOfText(unitId), functionCode};
}

Bytes Header(const RequestFields& fields, uint8_t functionCode, uint8_t lengthLow)
{
    return Header(fields.unitId, functionCode, lengthLow);
}

Bytes ReadBits(uint8_t functionCode, const RequestFields& fields)
{
    Bytes out = Header(fields, functionCode, 6);
    AppendWord(out, fields.startAddress);
    AppendWord(out, fields.nrRegisters);
    return out;
}

Bytes ReadRegisters(uint8_t functionCode, const RequestFields& fields)
{
    Bytes out = Header(fields, functionCode, 6);
    AppendWord(out, fields.startAddress);
    out.push_back(0);
    out.push_back(ByteOfText(fields.nrRegisters));
    return out;
}

Bytes WriteSingle(uint8_t functionCode, const RequestFields& fields, const WriteValues& values)
{
    Bytes out = Header(fields, functionCode, 6);
    AppendWord(out, fields.startWAddress);
    AppendWord(out, values.value(0));
    return out;
}

// Quantity, byte count and values of a register write. The byte count comes
// from the number of the text, not from the rounded quantity.
void AppendRegisterWrite(Bytes& out, const std::wstring& nrWRegisters, uint8_t count, const WriteValues& values)
{
    out.push_back(0);
    out.push_back(count);
    out.push_back(ByteOfNumber(NumberOfText(nrWRegisters) * 2));
    for (long i = 0; i < count; ++i) AppendWord(out, values.value(i));
}

Bytes WriteMultipleRegisters(const RequestFields& fields, const WriteValues& values)
{
    const uint8_t count = ByteOfText(fields.nrWRegisters);
    Bytes out = Header(fields, 16, ByteOfNumber(2.0 * count + 7));
    AppendWord(out, fields.startWAddress);
    AppendRegisterWrite(out, fields.nrWRegisters, count, values);
    return out;
}

Bytes ReadWriteMultipleRegisters(const RequestFields& fields, const WriteValues& values)
{
    const uint8_t count = ByteOfText(fields.nrWRegisters);
    Bytes out = Header(fields, 23, ByteOfNumber(2.0 * count + 11));
    AppendWord(out, fields.startAddress);
    out.push_back(0);
    out.push_back(ByteOfText(fields.nrRegisters));
    AppendWord(out, fields.startWAddress);
    AppendRegisterWrite(out, fields.nrWRegisters, count, values);
    return out;
}

// A coil value as copied from the host's array; empty when it is no number.
// All coils are copied before any is packed, so a missing element (9) is
// reported ahead of a value that is not a number (13).
using CoilValue = std::optional<double>;

CoilValue CopyCoil(const WriteValues& values, long index)
{
    try {
        return values.value(index);
    } catch (const automation::AutomationError& error) {
        if (error.number != automation::errTypeMismatch) throw;
        return std::nullopt;
    }
}

// 8 × byteCount coils: the ones the host gives, then zeros.
std::vector<CoilValue> WorkingCoils(const std::wstring& nrWRegisters, uint8_t byteCount, const WriteValues& values)
{
    if (byteCount == 0) automation::RaiseRuntime(automation::errSubscriptOutOfRange);
    std::vector<CoilValue> coils(size_t{kBitsPerCoilByte} * byteCount, 0.0);
    const long given = Int16OfText(nrWRegisters);
    for (long i = 0; i < given; ++i) {
        if (static_cast<size_t>(i) >= coils.size()) automation::RaiseRuntime(automation::errSubscriptOutOfRange);
        coils[i] = CopyCoil(values, i);
    }
    return coils;
}

double Weighted(const CoilValue& coil, int weight)
{
    if (!coil) automation::RaiseRuntime(automation::errTypeMismatch);
    return *coil * weight;
}

// The OR of each coil times its bit weight, the products taken as whole
// numbers. The chain is evaluated from the left, so both products of the
// first OR are computed before either is made whole.
uint8_t PackedCoilByte(std::span<const CoilValue> coils)
{
    const double first = Weighted(coils[0], 1);
    const double second = Weighted(coils[1], 2);
    int32_t packed = Int32OfNumber(first) | Int32OfNumber(second);
    for (int bit = 2; bit < kBitsPerCoilByte; ++bit) packed |= Int32OfNumber(Weighted(coils[bit], 1 << bit));
    return ByteOfNumber(packed);
}

Bytes WriteMultipleCoils(const RequestFields& fields, const WriteValues& values)
{
    const uint8_t byteCount = FlooredQuotientByte(NumberOfText(fields.nrWRegisters) + 7, kBitsPerCoilByte);
    Bytes out = Header(fields, 15, ByteOfNumber(byteCount + 7.0));
    AppendWord(out, fields.startWAddress);
    AppendWord(out, fields.nrWRegisters);
    out.push_back(byteCount);
    const std::vector<CoilValue> coils = WorkingCoils(fields.nrWRegisters, byteCount, values);
    for (size_t first = 0; first < coils.size(); first += kBitsPerCoilByte)
        out.push_back(PackedCoilByte(std::span(coils).subspan(first, kBitsPerCoilByte)));
    return out;
}

constexpr std::array<uint8_t, 9> kSupportedCodes = {1, 2, 3, 4, 5, 6, 15, 16, 23};

} // namespace

std::vector<uint8_t> FrameRequest(const std::wstring& unitId, std::span<const uint8_t> pdu)
{
    if (pdu.empty() || pdu.size() > kMaxPdu) automation::RaiseRuntime(automation::errOverflow);
    Bytes out = Header(unitId, pdu[0], static_cast<uint8_t>(pdu.size() + 1));
    out.insert(out.end(), pdu.begin() + 1, pdu.end());
    return out;
}

std::vector<uint8_t> MaskWritePdu(double address, double andMask, double orMask)
{
    Bytes pdu = {22};
    AppendWord(pdu, address);
    AppendWord(pdu, andMask);
    AppendWord(pdu, orMask);
    return pdu;
}

uint8_t FunctionCodeOf(const std::wstring& funCode)
{
    return ByteOfText(funCode);
}

bool IsSupported(uint8_t functionCode)
{
    return std::find(kSupportedCodes.begin(), kSupportedCodes.end(), functionCode) != kSupportedCodes.end();
}

std::vector<uint8_t> BuildRequest(const RequestFields& fields, const WriteValues& values)
{
    const uint8_t functionCode = FunctionCodeOf(fields.funCode);
    switch (functionCode) {
    case 1: case 2: return ReadBits(functionCode, fields);
    case 3: case 4: return ReadRegisters(functionCode, fields);
    case 5: case 6: return WriteSingle(functionCode, fields, values);
    case 15: return WriteMultipleCoils(fields, values);
    case 16: return WriteMultipleRegisters(fields, values);
    case 23: return ReadWriteMultipleRegisters(fields, values);
    default: return {};
    }
}

} // namespace velkomb::client
