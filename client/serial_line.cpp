#include "client/serial_line.h"
#include <array>

namespace velkomb::client::rtu {

namespace {

constexpr wchar_t kSeparator = L',';
constexpr std::wstring_view kComPrefix = L"COM";
constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";
constexpr unsigned kFastestTimedBaud = 19200;
constexpr double kFastLineSilenceSeconds = 0.00175;
constexpr double kSilenceCharacters = 3.5;

using Parts = std::array<std::wstring_view, 4>;

wchar_t Folded(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

std::wstring_view Trimmed(std::wstring_view text)
{
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

// The comma-separated parts without their blanks; empty unless there are
// exactly four.
std::optional<Parts> SplitParts(std::wstring_view text)
{
    Parts parts;
    for (size_t i = 0; i < parts.size(); ++i) {
        const size_t comma = text.find(kSeparator);
        const bool last = i + 1 == parts.size();
        if ((comma == std::wstring_view::npos) != last) return std::nullopt;
        parts[i] = Trimmed(text.substr(0, comma));
        text.remove_prefix(last ? text.size() : comma + 1);
    }
    return parts;
}

// Decimal digits without a leading zero, 1 to `max`.
std::optional<unsigned> PositiveNumber(std::wstring_view text, unsigned max)
{
    if (text.empty() || text.front() == L'0') return std::nullopt;
    unsigned long long number = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        number = number * 10 + static_cast<unsigned>(c - L'0');
        if (number > max) return std::nullopt;
    }
    return static_cast<unsigned>(number);
}

std::optional<Parity> ParityOf(std::wstring_view text)
{
    if (text.size() != 1) return std::nullopt;
    switch (Folded(text[0])) {
    case L'N': return Parity::None;
    case L'O': return Parity::Odd;
    case L'E': return Parity::Even;
    case L'M': return Parity::Mark;
    case L'S': return Parity::Space;
    default: return std::nullopt;
    }
}

std::optional<unsigned> DataBitsOf(std::wstring_view text)
{
    const std::optional<unsigned> bits = PositiveNumber(text, 8);
    if (bits != 7u && bits != 8u) return std::nullopt;
    return bits;
}

std::optional<StopBits> StopBitsOf(std::wstring_view text)
{
    if (text == L"1") return StopBits::One;
    if (text == L"1.5") return StopBits::OneAndHalf;
    if (text == L"2") return StopBits::Two;
    return std::nullopt;
}

double StopBitCount(StopBits stopBits)
{
    switch (stopBits) {
    case StopBits::OneAndHalf: return 1.5;
    case StopBits::Two: return 2;
    default: return 1;
    }
}

} // namespace

std::optional<SerialSettings> ParseSerialSettings(std::wstring_view text)
{
    const std::optional<Parts> parts = SplitParts(text);
    if (!parts) return std::nullopt;
    const std::optional<unsigned> baud = PositiveNumber((*parts)[0], kMaxBaud);
    const std::optional<Parity> parity = ParityOf((*parts)[1]);
    const std::optional<unsigned> dataBits = DataBitsOf((*parts)[2]);
    const std::optional<StopBits> stopBits = StopBitsOf((*parts)[3]);
    if (!baud || !parity || !dataBits || !stopBits) return std::nullopt;
    return SerialSettings{*baud, *parity, *dataBits, *stopBits};
}

std::optional<unsigned> ComPortNumber(std::wstring_view name)
{
    if (name.size() <= kComPrefix.size()) return std::nullopt;
    for (size_t i = 0; i < kComPrefix.size(); ++i)
        if (Folded(name[i]) != kComPrefix[i]) return std::nullopt;
    return PositiveNumber(name.substr(kComPrefix.size()), kMaxComPort);
}

std::wstring ComDevicePath(unsigned number)
{
    return std::wstring(kDevicePrefix) + std::wstring(kComPrefix) + std::to_wstring(number);
}

double CharacterSeconds(const SerialSettings& settings)
{
    const double parityBits = settings.parity == Parity::None ? 0 : 1;
    const double bits = 1 + settings.dataBits + parityBits + StopBitCount(settings.stopBits);
    return bits / settings.baud;
}

double InterFrameSilence(const SerialSettings& settings)
{
    if (settings.baud > kFastestTimedBaud) return kFastLineSilenceSeconds;
    return kSilenceCharacters * CharacterSeconds(settings);
}

} // namespace velkomb::client::rtu
