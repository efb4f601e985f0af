#include "client/transport.h"
#include "automation/error.h"

namespace velkomb::client {

TransportKind TransportOf(const std::wstring& text)
{
    static constexpr std::pair<const wchar_t*, TransportKind> kinds[] = {
        {L"TCP", TransportKind::Tcp},
        {L"RTU over TCP", TransportKind::RtuOverTcp},
        {L"UDP", TransportKind::Udp},
        {L"RTU", TransportKind::Rtu},
    };
    for (const auto& [name, kind] : kinds)
        if (CompareStringOrdinal(name, -1, text.c_str(), static_cast<int>(text.size()), TRUE) == CSTR_EQUAL)
            return kind;
    automation::RaiseRuntime(automation::errInvalidCall);
}

} // namespace velkomb::client
