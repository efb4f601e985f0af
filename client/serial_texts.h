// The serial line texts a host sets (the port name and the settings), checked
// where they are taken: a text of any other form raises invalid procedure
// call (5). Kept apart from serial_line.h, which stays free of the automation
// runtime.
#pragma once
#include <string>
#include <string_view>
#include "client/serial_line.h"

namespace velkomb::client::rtu {

SerialSettings SerialSettingsOfText(std::wstring_view text);
// The device path of a port name such as "COM12".
std::wstring DevicePathOfPortName(std::wstring_view name);

} // namespace velkomb::client::rtu
