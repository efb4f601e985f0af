#include "socket/address.h"
#include "automation/narrow.h"
#include "support/helpers.h"

namespace velkomb::socket {

sockaddr_in AddressOf(long port, uint32_t address)
{
    sockaddr_in record{};
    record.sin_family = AF_INET;
    record.sin_port = htons(support::UnsignedToInteger(port));
    record.sin_addr.s_addr = address;
    return record;
}

uint32_t ParseAddress(const std::wstring& text) { return inet_addr(automation::NarrowOf(text).c_str()); }

std::wstring DottedText(in_addr address) { return support::StringFromPointer(inet_ntoa(address)); }

std::wstring DottedText(uint32_t address)
{
    in_addr record{};
    record.s_addr = address;
    return DottedText(record);
}

} // namespace velkomb::socket
