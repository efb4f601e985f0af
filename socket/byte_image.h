// Byte images of the automation values a socket sends and returns, little
// endian throughout (the fixed-width images are in socket/fixed_image.h);
// text goes through the narrow code page.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <string>
#include <string_view>
#include "automation/variant.h"

namespace velkomb::socket {

// The bytes of a value (by-reference values count as their base type); no
// bytes for a type without an image.
std::string BytesOfValue(const VARIANT& value);

// The value of type code `type` read from the start of chunk; bytes beyond
// the chunk count as zero, bytes beyond the type's width are dropped. False
// when the type code has no image.
bool ValueOfBytes(std::string_view chunk, double type, automation::Variant& value);

} // namespace velkomb::socket
