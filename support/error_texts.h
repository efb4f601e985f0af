// English texts of the Windows Sockets error numbers.
#pragma once
#include <string>

namespace velkomb::support {

// The text of a Windows Sockets error number, "Unknown error." for any other.
std::wstring GetErrorDescription(long number);

} // namespace velkomb::support
