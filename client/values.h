// Typed values in holding registers: 16-bit values in one register, 32-bit
// values in two and 64-bit values in four, in one of four byte orders. The
// order names the value's bytes from the most significant (A) on, as they
// stand in the registers in address order, each register high byte first:
//   ABCD  most significant register first (the Modbus convention)
//   CDAB  the registers in reverse order
//   BADC  the bytes swapped within each register
//   DCBA  both
// A 64-bit value follows the same rule over four registers. The order only
// applies to values wider than one register.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>
#include "automation/variant.h"

namespace velkomb::client {

enum class DataType { Int16, UInt16, Int32, UInt32, Float32, Float64 };
enum class WordOrder { ABCD, CDAB, BADC, DCBA };

// By name, in either case; any other text raises 5.
DataType DataTypeOf(const std::wstring& name);
WordOrder WordOrderOf(const std::wstring& name);

size_t RegisterCount(DataType type);

// The value that `registers` (in address order) hold, as the host gets it:
// Int16 a 16-bit integer, UInt16 and Int32 a 32-bit integer, UInt32 and
// Float64 a double, Float32 a single.
automation::Variant DecodeValue(DataType type, WordOrder order, std::span<const uint16_t> registers);

// The registers (in address order) that hold `number` as `type`: whole types
// round it as the runtime does (an exact half to the even neighbour); a
// number outside the type's range raises overflow (6).
std::vector<uint16_t> EncodeValue(DataType type, WordOrder order, double number);

} // namespace velkomb::client
