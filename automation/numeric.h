// Numeric texts: every number of the client crosses the interface as text and
// is converted where it is used, with the runtime's own rounding (an exact
// half goes to the even neighbour) and its errors: type mismatch (13) for a
// text that is no number, overflow (6) for a value outside the target type.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <cstdint>
#include <string>

namespace automation {

double NumberOfText(const std::wstring& text);
uint8_t ByteOfText(const std::wstring& text);
int16_t Int16OfText(const std::wstring& text);
int32_t Int32OfText(const std::wstring& text);
std::wstring DecimalText(long long value);

uint8_t ByteOfNumber(double value);
int16_t Int16OfNumber(double value);
int32_t Int32OfNumber(double value);
// The number a variant holds (by reference or not); 13 when it holds none.
double NumberOfVariant(const VARIANT& value);
// True when the variant holds something the runtime reads as a number.
bool IsNumeric(const VARIANT& value);

} // namespace automation
