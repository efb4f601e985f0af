#include "client/serial_texts.h"
#include "automation/error.h"

namespace velkomb::client::rtu {

namespace {

template <class Value>
Value OrInvalidCall(const std::optional<Value>& value)
{
    if (!value) automation::RaiseRuntime(automation::errInvalidCall);
    return *value;
}

} // namespace

SerialSettings SerialSettingsOfText(std::wstring_view text)
{
    return OrInvalidCall(ParseSerialSettings(text));
}

std::wstring DevicePathOfPortName(std::wstring_view name)
{
    return ComDevicePath(OrInvalidCall(ComPortNumber(name)));
}

} // namespace velkomb::client::rtu
