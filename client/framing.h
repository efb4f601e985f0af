// Modbus/TCP requests of the client, built from its text properties and the
// values of its write array. Every number is converted where it is used, with
// the automation runtime's rounding and errors, so a bad setting fails with
// type mismatch (13), overflow (6) or subscript out of range (9).
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace velkomb::client {

// The client's texts that a request is built from.
struct RequestFields {
    std::wstring funCode;
    std::wstring startAddress;
    std::wstring nrRegisters;
    std::wstring startWAddress;
    std::wstring nrWRegisters;
    std::wstring unitId = L"1";
};

// The values to write, element by element, as the host's array holds them.
class WriteValues {
public:
    virtual ~WriteValues() = default;
    // The number held by element `index`. Subscript out of range (9) for an
    // index outside the array or when there is no array; type mismatch (13)
    // for an element that is not a number.
    virtual double value(long index) const = 0;
};

// The function code of a text: its byte.
uint8_t FunctionCodeOf(const std::wstring& funCode);
// True for the function codes the client can send: 1-6, 15, 16 and 23.
bool IsSupported(uint8_t functionCode);

// The complete request (MBAP header and PDU) for the function code in
// `fields`, its bytes converted in ascending index order so the first failing
// field is the one that raises. Empty for an unsupported function code.
std::vector<uint8_t> BuildRequest(const RequestFields& fields, const WriteValues& values);

// The largest PDU a request or reply carries (function code and data).
constexpr size_t kMaxPdu = 253;

// The complete request for a PDU of any function code (its first byte),
// with the header BuildRequest gives its own: overflow (6) for an empty PDU
// or one longer than kMaxPdu.
std::vector<uint8_t> FrameRequest(const std::wstring& unitId, std::span<const uint8_t> pdu);
// The PDU of a mask write (function 22): 13 or 6 for a number that is no
// 16-bit value, as for the other fields.
std::vector<uint8_t> MaskWritePdu(double address, double andMask, double orMask);

} // namespace velkomb::client
