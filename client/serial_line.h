// The serial line an RTU client talks over: its settings as hosts write them
// ("19200,E,8,1": baud, parity, data bits, stop bits), the COM port names,
// and the character and silence times the line's framing depends on. Plain
// C++, free of platform headers; the enums carry the numbers the system's
// serial port settings use.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace velkomb::client::rtu {

enum class Parity { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };
enum class StopBits { One = 0, OneAndHalf = 1, Two = 2 };

struct SerialSettings {
    unsigned baud = 19200;
    Parity parity = Parity::Even;
    unsigned dataBits = 8;
    StopBits stopBits = StopBits::One;

    bool operator==(const SerialSettings&) const = default;
};

// Baud up to this; any positive whole number below it is taken.
constexpr unsigned kMaxBaud = 4'000'000;
constexpr unsigned kMaxComPort = 256;

// Four parts separated by commas, blanks around each allowed: baud, parity
// letter (N, E, O, M, S in either case), 7 or 8 data bits, 1, 1.5 or 2 stop
// bits. Empty for any other text.
std::optional<SerialSettings> ParseSerialSettings(std::wstring_view text);

// The number of "COM1" to "COM256", in either case; empty for any other text.
std::optional<unsigned> ComPortNumber(std::wstring_view name);
// The device path that opens port `number`, ports above 9 included.
std::wstring ComDevicePath(unsigned number);

// The time of one character: start bit, data bits, parity bit and stop bits.
double CharacterSeconds(const SerialSettings& settings);
// The silence that ends a frame: 3.5 character times, fixed at 1.75 ms above
// 19200 baud, where 3.5 characters would be too short for a receiver's clock.
double InterFrameSilence(const SerialSettings& settings);

} // namespace velkomb::client::rtu
