// Text to the process's standard output or error, unbuffered: a console gets
// it as wide text, a file or pipe as UTF-8.
#pragma once
#include <windows.h>
#include <string>

namespace velkomb::scripthost {

// stream is STD_OUTPUT_HANDLE or STD_ERROR_HANDLE.
void WriteText(DWORD stream, const std::wstring& text);

} // namespace velkomb::scripthost
