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
// Socket and lookup handles reach hosts as 32-bit integers. Windows keeps
// handle values within 32 bits (sign-extended) in 64-bit processes too, so
// both conversions are exact; a handle that ever does not fit is an overflow
// (6), never a truncated handle. INVALID_SOCKET is -1 either way.
long HandleToNumber(uintptr_t handle);
inline uintptr_t NumberToHandle(long number) { return static_cast<uintptr_t>(static_cast<intptr_t>(number)); }
// The text of a NUL-terminated narrow string; empty for a null pointer.
std::wstring StringFromPointer(const char* text);

} // namespace velkomb::support
