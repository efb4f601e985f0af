#include "support/helpers.h"
#include "automation/error.h"
#include "automation/narrow.h"
#include <utility>

namespace velkomb::support {

uint16_t UnsignedToInteger(long value)
{
    if (value < 0 || value > 65535) automation::RaiseRuntime(automation::errOverflow);
    return static_cast<uint16_t>(value);
}

long IntegerToUnsigned(uint16_t value) { return static_cast<long>(value); }

long HandleToNumber(uintptr_t handle)
{
    const auto value = static_cast<intptr_t>(handle);
    if (!std::in_range<long>(value)) automation::RaiseRuntime(automation::errOverflow);
    return static_cast<long>(value);
}

std::wstring StringFromPointer(const char* text)
{
    return text ? automation::WideOf(text) : std::wstring();
}

} // namespace velkomb::support
