// Small conversions between the platform's values and the object's.
#pragma once
#include <windows.h>
#include <cstdint>
#include <string>

namespace velkomb::support {

inline long LoWord(LPARAM value) { return static_cast<long>(value & 0xFFFF); }
inline long HiWord(LPARAM value) { return static_cast<long>((static_cast<uint32_t>(value) >> 16) & 0xFFFF); }

// 0..65535 to the 16-bit pattern handed to htons; anything else is an
// overflow (6).
uint16_t UnsignedToInteger(long value);
// A 16-bit value read back from the platform as 0..65535.
long IntegerToUnsigned(uint16_t value);
// The text of a NUL-terminated narrow string; empty for a null pointer.
std::wstring StringFromPointer(const char* text);

} // namespace velkomb::support
