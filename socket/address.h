// The IPv4 socket address record handed to the platform, and dotted text.
#pragma once
#include <winsock2.h>
#include <cstdint>
#include <string>

namespace velkomb::socket {

// Family 2, port (0..65535, else overflow) and address in network order.
sockaddr_in AddressOf(long port, uint32_t address);
// inet_addr of the text: INADDR_NONE when it is no dotted address.
uint32_t ParseAddress(const std::wstring& text);
std::wstring DottedText(in_addr address);
std::wstring DottedText(uint32_t address);

} // namespace velkomb::socket
